#include "devices/uplinkdecoder.h"

#include "app/constants.h"
#include "app/globaldata.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace Decoder {

namespace {

const QString QS_WARN_UNKNOWN_CODE
    = QStringLiteral("WARNING: [CAllDeviceHandler::processDataSlot] Uncknown DataCode [%1]!");
const QString QS_WARN_UNKNOWN_TYPE
    = QStringLiteral("WARNING: [CAllDeviceHandler::processDataSlot] Uncknown packet type [%1]");
const QString QS_WARN_PACKET_SIZE = QStringLiteral(
    "WARNING: [CAllDeviceHandler::processDataSlot] Invalid size of packet [%1]. Expect [%2], real [%3]");
const QString QS_ERR_UNALIGNED
    = QStringLiteral("ERROR: [CAllDeviceHandler::processDataSlot] Unsupport functional");
const QString QS_WARN_DATA_SIZE
    = QStringLiteral("WARNING: [CAllDeviceHandler::processDataSlot] Unsupport size of data [%1]");
const QString QS_WARN_DATA_TYPE
    = QStringLiteral("WARNING: [CAllDeviceHandler::processDataSlot] Unsupport type of data [%1], size [%2]");
const QString QS_WARN_OUTSIDE = QStringLiteral("WARNING: [CAllDeviceHandler::processDataSlot] Field [%1] is "
                                               "outside the packet: bias [%2], size [%3], packet size "
                                               "[%4]. Skip");

// Registers with an empty text are never written.
void addRegister(QList<SRegisterValue> &registers, const QString &value, const QString &fullValue,
                 int64_t offset)
{
    if (value.isEmpty())
        return;
    SRegisterValue reg;
    reg.value = value;
    reg.fullValue = fullValue;
    reg.offset = static_cast<int32_t>(offset);
    registers.append(reg);
}

// Four characters of `text` per register, most significant first; the whole
// text is the first register's full value.
void addChunks(QList<SRegisterValue> &registers, const QString &text, int count, int64_t first)
{
    for (int i = 0; i < count; ++i)
        addRegister(registers, text.mid(4 * i, 4), i == 0 ? text : QString(), first + i);
}

// Numbers: four hex digits per register. Most significant word first unless
// the field asks for the least significant first; the full value on the first
// register is always the whole number in natural order, so views read it the
// same whichever order is served.
void addWords(QList<SRegisterValue> &registers, const QString &hex, int count, int64_t first, bool lowFirst)
{
    for (int i = 0; i < count; ++i) {
        const int word = lowFirst ? count - 1 - i : i;
        addRegister(registers, hex.mid(4 * word, 4), i == 0 ? hex : QString(), first + i);
    }
}

// snr arrives as a double; halves round toward plus infinity, and values far
// outside the int range (which no radio reports) are clamped rather than
// converted with undefined behaviour.
int32_t roundSnr(double snr)
{
    const double rounded = std::floor(snr + 0.5);
    if (std::isnan(rounded))
        return 0;
    if (rounded <= double(std::numeric_limits<int32_t>::min()))
        return std::numeric_limits<int32_t>::min();
    if (rounded >= double(std::numeric_limits<int32_t>::max()))
        return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(rounded);
}

// 32-bit values: the low half alone up to 16 bits of register width, both
// halves (high first) above that.
void add32(QList<SRegisterValue> &registers, const QString &x, int regBitSize, int64_t first)
{
    if (regBitSize > 16) {
        addChunks(registers, x, 2, first);
    } else {
        const QString low = x.mid(4, 4);
        addRegister(registers, low, low, first);
    }
}

// Identifiers keep their last 4n characters of the expected 16.
void addIdentifier(QList<SRegisterValue> &registers, const QString &text, int regBitSize, int64_t first)
{
    const int n = regBitSize > 48 ? 4 : regBitSize > 32 ? 3 : regBitSize > 16 ? 2 : 1;
    for (int i = 0; i < n; ++i) {
        const QString full = i != 0 ? QString() : n == 4 ? text : text.mid(16 - 4 * n, 4 * n);
        addRegister(registers, text.mid(16 - 4 * n + 4 * i, 4), full, first + i);
    }
}

bool addServerValue(QList<SRegisterValue> &registers, const SServerData &data,
                    const API::SApiDeviceData &uplink)
{
    const int64_t r = data.reg_map_bias;
    const QString &code = data.data_code;
    if (code == QS_SRV_TS) {
        const QString x = hexText(static_cast<int64_t>(uplink.ts / 1000u), 8);
        addRegister(registers, x.left(4), x, r);
        addRegister(registers, x.right(4), QString(), r + 1);
    } else if (code == QS_SRV_RSSI) {
        const QString x = hexText(uplink.rssi, 4).right(4);
        addRegister(registers, x, x, r);
    } else if (code == QS_SRV_SNR) {
        add32(registers, hexText(roundSnr(uplink.snr), 8).right(8), data.reg_bit_size, r);
    } else if (code == QS_SRV_FCNT) {
        add32(registers, hexText(uplink.fcnt, 8).right(8), data.reg_bit_size, r);
    } else if (code == QS_SRV_GATEWAY_ID) {
        addIdentifier(registers, uplink.gatewayId, data.reg_bit_size, r);
    } else if (code == QS_SRV_DEV_EUI) {
        addIdentifier(registers, uplink.devEui, data.reg_bit_size, r);
    } else {
        return false;
    }
    return true;
}

uint64_t readLittleEndian(const char *bytes, int n)
{
    uint64_t value = 0;
    for (int i = n - 1; i >= 0; --i)
        value = (value << 8) | static_cast<uint8_t>(bytes[i]);
    return value;
}

// Scaling wraps in the width the value has: 32 bits for fields up to four
// bytes, 64 bits for eight; unsigned arithmetic keeps the wrap defined.
QString scaledNumber(const char *bytes, int n, bool isSigned, const SRegisterParam &param)
{
    const uint64_t raw = readLittleEndian(bytes, n);
    if (n == 8) {
        const uint64_t v = raw * static_cast<uint64_t>(int64_t(param.gratingPeriod))
            + static_cast<uint64_t>(int64_t(param.startValue));
        return hexText(static_cast<int64_t>(v), 16);
    }
    uint32_t raw32 = static_cast<uint32_t>(raw);
    if (isSigned && n < 4) {
        const int shift = 32 - 8 * n;
        raw32 = static_cast<uint32_t>(static_cast<int32_t>(raw32 << shift) >> shift);
    }
    const uint32_t v
        = raw32 * static_cast<uint32_t>(param.gratingPeriod) + static_cast<uint32_t>(param.startValue);
    if (n == 4)
        return hexText(v, 8);
    return hexText(v & 0xffffu, 4);
}

// IEEE 754 single, bytes little-endian like the integers. Neutral scaling
// serves the sensor's bits untouched (NaN payloads, negative zero); any other
// is applied in double precision and rounded once to single.
QString scaledFloat(const char *bytes, const SRegisterParam &param)
{
    uint32_t bits = static_cast<uint32_t>(readLittleEndian(bytes, 4));
    if (param.gratingPeriod != 1 || param.startValue != 0) {
        float value = 0;
        std::memcpy(&value, &bits, sizeof value);
        const auto scaled = static_cast<float>(double(value) * param.gratingPeriod + param.startValue);
        std::memcpy(&bits, &scaled, sizeof bits);
    }
    return hexText(bits, 8);
}

void addField(QList<SRegisterValue> &registers, const SDevicePacketField &field, const QByteArray &payload,
              int32_t startAddr, const ScalingReader &scaling, const LogWriter &log)
{
    const QString skipped = fieldSkipLine(field, payload.size());
    if (!skipped.isEmpty()) {
        log(skipped);
        return;
    }
    const int n = field.data_bit_size / 8;
    const char *bytes = payload.constData() + field.packet_bias;
    const int registerCount = n <= 2 ? 1 : n / 2;
    const int64_t first = field.reg_map_bias;
    if (field.data_type == QS_TYPE_TEXT) {
        const QString text = QString::fromUtf8(bytes, int(qstrnlen(bytes, uint(n))));
        addChunks(registers, text, registerCount, first);
        return;
    }
    const SRegisterParam param = scaling(static_cast<uint32_t>(int64_t(startAddr) + first));
    const QString hex = field.data_type == QS_TYPE_FLOAT
        ? scaledFloat(bytes, param)
        : scaledNumber(bytes, n, field.data_type == QS_TYPE_INTEGER, param);
    addWords(registers, hex, registerCount, first, field.lowWordFirst());
}

STemplateIssue fieldIssue(const SDevicePacket &packet, const SDevicePacketField &field, const QString &reason,
                          bool note)
{
    return { QStringLiteral("packet [%1] field [%2]").arg(packet.packet_type).arg(field.data_name), reason,
             note };
}

} // namespace

QString fieldSkipLine(const SDevicePacketField &field, int payloadSize)
{
    if (field.data_bit_bias % 8 != 0 || field.data_bit_size % 8 != 0)
        return QS_ERR_UNALIGNED;
    const int n = field.data_bit_size / 8;
    if (n != 1 && n != 2 && n != 4 && n != 8)
        return QS_WARN_DATA_SIZE.arg(n);
    const QString &type = field.data_type;
    const bool known = type == QS_TYPE_TEXT || type == QS_TYPE_INTEGER || type == QS_TYPE_UINTEGER
        || (type == QS_TYPE_FLOAT && n == 4);
    if (!known)
        return QS_WARN_DATA_TYPE.arg(type).arg(n);
    // Templates are trusted to keep fields inside the packet; one that does
    // not is skipped rather than read past the payload.
    if (field.packet_bias < 0 || int64_t(field.packet_bias) + n > payloadSize)
        return QS_WARN_OUTSIDE.arg(field.data_name).arg(field.packet_bias).arg(n).arg(payloadSize);
    return {};
}

QList<STemplateIssue> templateIssues(const SDeviceTemplate &deviceTemplate)
{
    QList<STemplateIssue> issues;
    for (const SDevicePacket &packet : deviceTemplate.device_packets) {
        const QString where = QStringLiteral("packet [%1]").arg(packet.packet_type);
        // The type byte is read signed, the size must equal the payload's.
        if (packet.packet_type < -128 || packet.packet_type > 127)
            issues.append(
                { where,
                  QStringLiteral("packet_type [%1] never matches: first payload bytes 0x80..0xFF are "
                                 "types -128..-1")
                      .arg(packet.packet_type),
                  false });
        if (packet.packet_size < 1)
            issues.append(
                { where, QStringLiteral("packet_size [%1] never matches a payload").arg(packet.packet_size),
                  false });
        for (const SDevicePacketField &field : packet.packet_fields) {
            const QString skipped = fieldSkipLine(field, packet.packet_size);
            if (!skipped.isEmpty()) {
                issues.append(fieldIssue(packet, field, skipped, false));
                continue;
            }
            if (field.data_bit_bias != 0)
                issues.append(
                    fieldIssue(packet, field,
                               QStringLiteral("data_bit_bias [%1] is ignored: the field is read from "
                                              "packet_bias [%2]")
                                   .arg(field.data_bit_bias)
                                   .arg(field.packet_bias),
                               true));
            if (field.reg_bit_bias != 0)
                issues.append(
                    fieldIssue(packet, field,
                               QStringLiteral("reg_bit_bias [%1] is ignored").arg(field.reg_bit_bias), true));
            const int registers = field.data_bit_size <= 16 ? 1 : field.data_bit_size / 16;
            if (field.lowWordFirst() && (registers < 2 || field.data_type == QS_TYPE_TEXT))
                issues.append(
                    fieldIssue(packet, field,
                               QStringLiteral("reg_word_order is ignored: it orders numbers of two or "
                                              "more registers"),
                               true));
            // The register map holds (reg_bit_size + 15) / 16 registers; the rest are not stored.
            if ((field.reg_bit_size + 15) / 16 < registers)
                issues.append(
                    fieldIssue(packet, field,
                               QStringLiteral("reg_bit_size [%1] holds fewer registers than the value "
                                              "fills (%2); the others are not served")
                                   .arg(field.reg_bit_size)
                                   .arg(registers),
                               true));
        }
    }
    return issues;
}

QString hexText(int64_t value, int digits)
{
    return QString::number(static_cast<quint64>(value), 16).rightJustified(digits, QLatin1Char('0'));
}

bool decodeUplink(const API::SApiDeviceData &uplink, const SDeviceTemplate &deviceTemplate, int32_t startAddr,
                  const ScalingReader &scaling, const LogWriter &log, SDeviceRegisterData &batch)
{
    batch.devEui = uplink.devEui;
    batch.startAddr = startAddr;
    batch.registers.clear();
    batch.extraRegisters.clear();

    for (auto it = deviceTemplate.server_data.cbegin(); it != deviceTemplate.server_data.cend(); ++it) {
        if (!QM_GLOB_SERVER_DATA.contains(it->data_code) || !addServerValue(batch.registers, *it, uplink))
            log(QS_WARN_UNKNOWN_CODE.arg(it->data_code));
    }

    const QByteArray &payload = uplink.data;
    // The type byte is signed: 0x80..0xFF match packet types -128..-1.
    const int32_t type = payload.isEmpty() ? 0 : static_cast<int8_t>(payload.at(0));
    const auto packet = deviceTemplate.device_packets.constFind(static_cast<uint32_t>(type));
    if (packet == deviceTemplate.device_packets.cend()) {
        log(QS_WARN_UNKNOWN_TYPE.arg(type, 2, 10, QLatin1Char('0')));
        batch.registers.clear();
        return false;
    }
    if (packet->packet_size != payload.size()) {
        log(QS_WARN_PACKET_SIZE.arg(type, 2, 10, QLatin1Char('0'))
                .arg(static_cast<uint32_t>(packet->packet_size))
                .arg(payload.size()));
        batch.registers.clear();
        return false;
    }
    for (const SDevicePacketField &field : packet->packet_fields)
        addField(batch.registers, field, payload, startAddr, scaling, log);
    return true;
}

} // namespace Decoder
