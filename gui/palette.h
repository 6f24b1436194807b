#pragma once

#include <QColor>
#include <QList>
#include <QString>

// The fixed colour palette. The names double as placeholders in the style
// sheet; applyColorPalette() swaps them for their #rrggbb values.

inline const QColor QC_GLOB_BLACK6C_80(0x41, 0x49, 0x51);
inline const QColor QC_GLOB_BLACK6C_65(0x65, 0x6b, 0x72);
inline const QColor QC_GLOB_BLACK6C_45(0x94, 0x99, 0x9d);
inline const QColor QC_GLOB_BLACK6C_28(0xbd, 0xbf, 0xc2);
inline const QColor QC_GLOB_BLACK6C_25(0xc4, 0xc6, 0xc9);
inline const QColor QC_GLOB_BLACK6C_13(0xe0, 0xe1, 0xe3);
inline const QColor QC_GLOB_BLACK6C_10(0xe7, 0xe8, 0xea);
inline const QColor QC_GLOB_WHITE1_D1(0xb2, 0xb4, 0xb5);
inline const QColor QC_GLOB_WHITE1_D2(0x4c, 0x7a, 0x9d);
inline const QColor QC_GLOB_WHITE1_L1(0xf3, 0xf6, 0xf9);
inline const QColor QC_GLOB_WHITE1_L2(0xf5, 0xf7, 0xf9);
inline const QColor QC_GLOB_WHITE1(0xeb, 0xef, 0xf2);
inline const QColor QC_GLOB_BLACK1_D2(0x07, 0x11, 0x14);
inline const QColor QC_GLOB_BLACK1_D1(0x13, 0x16, 0x17);
inline const QColor QC_GLOB_BLACK1_L0(0x26, 0x30, 0x34);
inline const QColor QC_GLOB_BLACK1_L1(0x73, 0x88, 0x8f);
inline const QColor QC_GLOB_BLACK1_L2(0x7b, 0x8a, 0x8f);
inline const QColor QC_GLOB_BLACK1_E1B(0x1a, 0x1b, 0x22);
inline const QColor QC_GLOB_BLACK1_E2G(0x1b, 0x24, 0x1e);
inline const QColor QC_GLOB_BLACK1(0x17, 0x1d, 0x1f);
inline const QColor QC_GLOB_RED1_D2(0x9f, 0x18, 0x1b);
inline const QColor QC_GLOB_RED1_D1(0xb8, 0x57, 0x59);
inline const QColor QC_GLOB_RED1_L1(0xfa, 0x76, 0x7a);
inline const QColor QC_GLOB_RED1_L2(0xfa, 0x99, 0x9c);
inline const QColor QC_GLOB_RED1(0xf5, 0x49, 0x4d);
inline const QColor QC_GLOB_GREEN1_D2(0x13, 0x78, 0x54);
inline const QColor QC_GLOB_GREEN1_D1(0x43, 0x8a, 0x71);
inline const QColor QC_GLOB_GREEN1_L1(0x6a, 0xdc, 0xb3);
inline const QColor QC_GLOB_GREEN1_L2(0x88, 0xdc, 0xbe);
inline const QColor QC_GLOB_GREEN1_L3(0x92, 0xfd, 0xd8);
inline const QColor QC_GLOB_GREEN1_L4(0xb3, 0xff, 0xe4);
inline const QColor QC_GLOB_GREEN1(0x39, 0xb8, 0x8c);
inline const QColor QC_GLOB_GREEN2_D2(0x40, 0x8a, 0x6a);
inline const QColor QC_GLOB_GREEN2_D1(0x03, 0x5b, 0x2c);
inline const QColor QC_GLOB_GREEN2_L1(0x3c, 0xc6, 0x7c);
inline const QColor QC_GLOB_GREEN2_L2(0x61, 0xc6, 0x8f);
inline const QColor QC_GLOB_GREEN2_L3(0x8c, 0xe3, 0xb4);
inline const QColor QC_GLOB_GREEN2(0x0a, 0x8c, 0x46);
inline const QColor QC_GLOB_BLUE1_D2(0x15, 0x46, 0x75);
inline const QColor QC_GLOB_BLUE1_D1(0x46, 0x67, 0x87);
inline const QColor QC_GLOB_BLUE1_L1(0x71, 0xa6, 0xd9);
inline const QColor QC_GLOB_BLUE1_L2(0x8d, 0xb4, 0xd9);
inline const QColor QC_GLOB_BLUE1_L3(0xae, 0xce, 0xec);
inline const QColor QC_GLOB_BLUE1(0x41, 0x7b, 0xb3);
inline const QColor QC_GLOB_ORANGE1_D2(0xa1, 0x50, 0x04);
inline const QColor QC_GLOB_ORANGE1_D1(0xb9, 0x76, 0x35);
inline const QColor QC_GLOB_ORANGE1_L1(0xfb, 0x9f, 0x48);
inline const QColor QC_GLOB_ORANGE1_L2(0xfb, 0xb8, 0x78);
inline const QColor QC_GLOB_ORANGE1_L3(0xfd, 0xca, 0x9a);
inline const QColor QC_GLOB_ORANGE1(0xf7, 0x7f, 0x0c);
inline const QColor QC_GLOB_PINK1_L1(0xff, 0x7e, 0x7b);
inline const QColor QC_GLOB_PINK1_L2(0xff, 0xa1, 0x9e);
inline const QColor QC_GLOB_PINK1_D1(0xbf, 0x5f, 0x5c);
inline const QColor QC_GLOB_PINK1_D2(0xa6, 0x1d, 0x1a);
inline const QColor QC_GLOB_PINK1(0xff, 0x53, 0x4f);
inline const QColor QC_GLOB_LILAC1_L1(0xb2, 0x6c, 0xd6);
inline const QColor QC_GLOB_LILAC1_L2(0xbb, 0x88, 0xd6);
inline const QColor QC_GLOB_LILAC1_D1(0x6c, 0x41, 0x81);
inline const QColor QC_GLOB_LILAC1_D2(0x50, 0x13, 0x70);
inline const QColor QC_GLOB_LILAC1(0x86, 0x3b, 0xac);
inline const QColor QC_GLOB_YELLOW1_L1(0xfb, 0xea, 0x50);
inline const QColor QC_GLOB_YELLOW1_L2(0xfb, 0xee, 0x7e);
inline const QColor QC_GLOB_YELLOW1_D1(0xb9, 0xac, 0x3b);
inline const QColor QC_GLOB_YELLOW1_D2(0xa1, 0x91, 0x07);
inline const QColor QC_GLOB_YELLOW1(0xf7, 0xe0, 0x17);
inline const QColor QC_GLOB_LOGO1_D2(0x10, 0x40, 0x4d);
inline const QColor QC_GLOB_LOGO1_D1(0x31, 0x50, 0x59);
inline const QColor QC_GLOB_LOGO1_L1(0x67, 0xa9, 0xbb);
inline const QColor QC_GLOB_LOGO1_L2(0x7e, 0xad, 0xbb);
inline const QColor QC_GLOB_LOGO1(0x30, 0x67, 0x77);
inline const QColor QC_GRAPH_BACK_GR2(0x3a, 0x43, 0x4b);
inline const QColor QC_GRAPH_BACK(0x41, 0x49, 0x51);
inline const QColor QC_GRAPH_AXIS(0xc4, 0xc6, 0xc9);
inline const QColor QC_GRAPH_GRID(0x8c, 0x8c, 0x8c);
inline const QColor QC_STAT_TOTAL(0x00, 0x38, 0xa8);
inline const QColor QC_STAT_VALID(0x00, 0x9e, 0x0f);
inline const QColor QC_STAT_INVALID(0xd8, 0x1e, 0x05);
inline const QColor QC_STAT_BUSY(0xf7, 0xb5, 0x0c);
inline const QColor QCT_GLOB_BLUE1_LIKE_D2(0x03, 0x3e, 0x6b);
inline const QColor QCT_GLOB_BLUE1_LIKE_D1(0x25, 0x56, 0x7b);
inline const QColor QCT_GLOB_BLUE1_LIKE_L2(0x66, 0xa3, 0xd2);
inline const QColor QCT_GLOB_BLUE1_LIKE_L1(0x3f, 0x92, 0xd2);
inline const QColor QCT_GLOB_BLUE1_LIKE(0x0b, 0x61, 0xa4);
inline const QColor QCT_GLOB_BLUE1_D1(0x27, 0x42, 0x4c);
inline const QColor QCT_GLOB_BLUE1_D2(0x0c, 0x33, 0x42);
inline const QColor QCT_GLOB_BLUE1_L1(0x5c, 0x9a, 0xb2);
inline const QColor QCT_GLOB_BLUE1_L2(0x73, 0xa1, 0xb2);
inline const QColor QCT_GLOB_BLUE1_L3(0xd9, 0xe1, 0xe4);
inline const QColor QCT_GLOB_BLUE1_L4(0xeb, 0xef, 0xf2);
inline const QColor QCT_GLOB_BLUE1(0x24, 0x53, 0x65);

struct SPaletteEntry
{
    const char *name;
    const QColor *color;
};

// Palette names in replacement order: a suffixed name always comes before the
// bare family name it starts with.
const QList<SPaletteEntry> &paletteEntries();

// Replaces every palette name in the style sheet by its lower-case #rrggbb
// colour, in place. Unknown names are left as they are.
void applyColorPalette(QString &styleSheet);
