#include "core/registermap.h"

#include <QStringList>

#include <algorithm>

namespace RegisterMap {

namespace {

constexpr int64_t kLastAddress = 65535;

// Rows the store writes for an entry of that many bits.
int64_t rowsOf(uint32_t bitSize)
{
    return bitSize > 16 ? (int64_t(bitSize) + 15) / 16 : 1;
}

} // namespace

QList<int64_t> addresses(const QList<SRegisterDescription> &registers, int64_t startAddr)
{
    QList<int64_t> result;
    for (const SRegisterDescription &reg : registers) {
        // The store's 32-bit sum: a negative offset lands below the start.
        const int64_t first = startAddr + int64_t(int32_t(reg.offset));
        for (int64_t i = 0; i < rowsOf(reg.bitSize); ++i)
            result.append(first + i);
    }
    std::sort(result.begin(), result.end());
    result.erase(std::unique(result.begin(), result.end()), result.end());
    return result;
}

QList<QPair<int64_t, int64_t>> ranges(const QList<int64_t> &addresses)
{
    QList<QPair<int64_t, int64_t>> result;
    for (const int64_t address : addresses) {
        if (!result.isEmpty() && result.last().second + 1 == address)
            result.last().second = address;
        else
            result.append({ address, address });
    }
    return result;
}

SRegisterMapConflict check(const QList<SRegisterDescription> &registers, int64_t startAddr,
                           const std::function<uint32_t(uint16_t)> &owner)
{
    SRegisterMapConflict conflict;
    const QList<int64_t> held = addresses(registers, startAddr);
    if (!held.isEmpty() && (held.last() > kLastAddress || held.first() < 0)) {
        conflict.kind = SRegisterMapConflict::PastEnd;
        conflict.lastAddress = held.last() > kLastAddress ? held.last() : held.first();
        return conflict;
    }
    QList<int64_t> shared;
    for (const int64_t address : held) {
        const uint32_t device = owner(uint16_t(address));
        if (device == 0 || (conflict.otherDevice != 0 && device != conflict.otherDevice))
            continue;
        conflict.otherDevice = device;
        shared.append(address);
    }
    if (conflict.otherDevice != 0) {
        conflict.kind = SRegisterMapConflict::Overlap;
        conflict.shared = ranges(shared);
    }
    return conflict;
}

QString rangesText(const QList<QPair<int64_t, int64_t>> &ranges)
{
    QStringList parts;
    for (const auto &range : ranges)
        parts << (range.first == range.second ? QString::number(range.first)
                                              : QStringLiteral("%1..%2").arg(range.first).arg(range.second));
    return parts.join(QStringLiteral(", "));
}

} // namespace RegisterMap
