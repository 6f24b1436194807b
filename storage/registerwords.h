#pragma once

// How the stored text of a register becomes the word a Modbus client reads.
// Numbers are stored as four hexadecimal digits per register; a text field
// from the payload keeps its characters (a few per register, the whole text
// on its first register), and is served as its UTF-8 bytes instead.

#include <QString>
#include <QVector>

#include <cstdint>

namespace RegisterWords {

// Four hexadecimal digits; a NULL, empty or unparsable text reads 0.
uint16_t numberWord(const QString &value);

// The text's UTF-8 bytes, two per register, high byte first, zero-padded and
// cut to `count` registers: "A1B2" in two registers reads 0x4131 0x4232.
QVector<uint16_t> textWords(const QString &text, int count);

// Registers held by a field of `bitSize` bits.
inline int registerCount(int bitSize)
{
    return bitSize <= 16 ? 1 : (bitSize + 15) / 16;
}

} // namespace RegisterWords
