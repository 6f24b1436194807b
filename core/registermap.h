#pragma once

// Whether a device's register map fits on its port: every register it would
// hold (each entry's first register and its continuation registers; gaps
// between entries do not count) must lie at or below 65535 and be held by no
// other device on the port. Every front end adds devices through the core,
// which asks this before it stores anything.

#include "storage/dbrecords.h"

#include <QList>
#include <QPair>
#include <QString>

#include <cstdint>
#include <functional>

struct SRegisterMapConflict
{
    enum EKind { None, PastEnd, Overlap };
    EKind kind = None;
    int64_t lastAddress = 0; // PastEnd: the highest address the map would hold
    uint32_t otherDevice = 0; // Overlap: the device holding the shared registers
    QString otherName; // Overlap: its name, filled in by the core
    QList<QPair<int64_t, int64_t>> shared; // Overlap: the shared addresses, ascending ranges

    bool fits() const { return kind == None; }
};

namespace RegisterMap {

// The addresses the map holds from `startAddr`, ascending and without
// repeats, as the register store writes its rows.
QList<int64_t> addresses(const QList<SRegisterDescription> &registers, int64_t startAddr);

// `owner(address)` names the device holding an address on the port (0: none).
// Of several other devices, the one met at the lowest shared address is named.
SRegisterMapConflict check(const QList<SRegisterDescription> &registers, int64_t startAddr,
                           const std::function<uint32_t(uint16_t)> &owner);

// "0..13" or "5, 7..9".
QString rangesText(const QList<QPair<int64_t, int64_t>> &ranges);

// The ranges covering ascending addresses.
QList<QPair<int64_t, int64_t>> ranges(const QList<int64_t> &addresses);

} // namespace RegisterMap
