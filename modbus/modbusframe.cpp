#include "modbus/modbusframe.h"

#include "modbus/modbusstats.h"

#include <QList>

namespace Modbus {

namespace {

constexpr int MbapSize = 6;
// Unit id, function code, start address and quantity.
constexpr int MinRequestLength = 6;
// Unit id, function code, MEI type, read code and object id.
constexpr int IdentificationRequestLength = 5;
// Function code, MEI type, read code, conformity level, more follows, next
// object id and number of objects.
constexpr int IdentificationHeaderSize = 7;
// Largest PDU of any Modbus frame.
constexpr int MaxPduSize = 253;

uint16_t readBigEndian16(const char *data)
{
    return static_cast<uint16_t>((static_cast<uint8_t>(data[0]) << 8) | static_cast<uint8_t>(data[1]));
}

void appendBigEndian16(QByteArray &out, uint16_t value)
{
    out.append(static_cast<char>(value >> 8));
    out.append(static_cast<char>(value & 0xff));
}

void appendFrameStart(QByteArray &out, const SModbusMBAP &mbap, const SModbusTcpPacketHeader &header,
                      uint16_t length, uint8_t functionCode)
{
    appendBigEndian16(out, mbap.transactionId);
    appendBigEndian16(out, mbap.protocolId);
    appendBigEndian16(out, length);
    out.append(static_cast<char>(header.unitId));
    out.append(static_cast<char>(functionCode));
}

} // namespace

SModbusMBAP decodeMbap(const char *data)
{
    SModbusMBAP mbap;
    mbap.transactionId = readBigEndian16(data);
    mbap.protocolId = readBigEndian16(data + 2);
    mbap.length = readBigEndian16(data + 4);
    return mbap;
}

SModbusTcpPacketHeader decodeHeader(const char *data)
{
    SModbusTcpPacketHeader header;
    header.unitId = static_cast<uint8_t>(data[6]);
    header.functionCode = static_cast<uint8_t>(data[7]);
    header.startAddress = readBigEndian16(data + 8);
    header.quantity = readBigEndian16(data + 10);
    return header;
}

QByteArray buildReadAnswer(const SModbusMBAP &mbap, const SModbusTcpPacketHeader &header,
                           const QMap<uint16_t, uint16_t> &registers)
{
    const int byteCount = 2 * registers.size();
    QByteArray out;
    out.reserve(MbapSize + 3 + byteCount);
    appendFrameStart(out, mbap, header, static_cast<uint16_t>(3 + byteCount), header.functionCode);
    out.append(static_cast<char>(byteCount & 0xff));
    for (auto it = registers.cbegin(); it != registers.cend(); ++it)
        appendBigEndian16(out, it.value());
    return out;
}

QByteArray buildReadAnswer(const SModbusMBAP &mbap, const SModbusTcpPacketHeader &header,
                           const uint16_t *values, int count)
{
    const int byteCount = 2 * count;
    QByteArray out;
    out.reserve(MbapSize + 3 + byteCount);
    appendFrameStart(out, mbap, header, static_cast<uint16_t>(3 + byteCount), header.functionCode);
    out.append(static_cast<char>(byteCount & 0xff));
    for (int i = 0; i < count; ++i)
        appendBigEndian16(out, values[i]);
    return out;
}

QByteArray buildException(const SModbusMBAP &mbap, const SModbusTcpPacketHeader &header,
                          uint8_t exceptionCode)
{
    QByteArray out;
    out.reserve(MbapSize + 3);
    appendFrameStart(out, mbap, header, 3, static_cast<uint8_t>(header.functionCode | 0x80));
    out.append(static_cast<char>(exceptionCode));
    return out;
}

QByteArray answerRequest(const SModbusMBAP &mbap, const SModbusTcpPacketHeader &header,
                         const RegisterReader &readRegisters)
{
    SStatistics &counters = statistics();
    counters.countRequest(header.functionCode);
    const auto refuse = [&](uint8_t code) {
        counters.countException(code);
        return buildException(mbap, header, code);
    };
    if (header.functionCode != ReadHoldingRegisters && header.functionCode != ReadInputRegisters)
        return refuse(IllegalFunction);
    // A larger read would wrap the one-byte byte count; an empty one is no read.
    if (header.quantity == 0 || header.quantity > MaxReadQuantity)
        return refuse(IllegalDataValue);
    if (uint32_t(header.startAddress) + header.quantity > 0x10000u)
        return refuse(IllegalDataAddress);
    uint16_t values[MaxReadQuantity] = {};
    const uint8_t exception = readRegisters(header.unitId, header.startAddress, header.quantity, values);
    if (exception != 0)
        return refuse(exception);
    return buildReadAnswer(mbap, header, values, header.quantity);
}

QByteArray answerIdentification(const SModbusMBAP &mbap, uint8_t unitId, const QByteArray &pdu,
                                const IdentityReader &identify)
{
    SModbusTcpPacketHeader header;
    header.unitId = unitId;
    header.functionCode = EncapsulatedInterface;
    SStatistics &counters = statistics();
    counters.countRequest(EncapsulatedInterface);
    const auto refuse = [&](uint8_t code) {
        counters.countException(code);
        return buildException(mbap, header, code);
    };
    if (!identify || pdu.size() < 2 || uint8_t(pdu[1]) != ReadDeviceIdentification)
        return refuse(IllegalFunction);
    if (pdu.size() < 4)
        return refuse(IllegalDataValue);
    const uint8_t readCode = uint8_t(pdu[2]);
    uint8_t objectId = uint8_t(pdu[3]);
    if (readCode < 1 || readCode > 4)
        return refuse(IllegalDataValue);
    IdentityObjects objects;
    const uint8_t exception = identify(unitId, &objects);
    if (exception != 0)
        return refuse(exception);

    // Objects of each category: basic 0..2, regular up to 0x7F, extended up
    // to 0xFF; a stream of a higher category carries the lower ones first.
    const int last = readCode == 1 ? MajorMinorRevision : readCode == 2 ? 0x7F : 0xFF;
    QList<uint8_t> sent;
    if (readCode == 4) {
        if (!objects.contains(objectId))
            return refuse(IllegalDataAddress);
        sent << objectId;
    } else {
        // A stream that names an object it does not have starts again at the first.
        if (objectId > last || !objects.contains(objectId))
            objectId = 0;
        for (auto it = objects.lowerBound(objectId); it != objects.cend() && it.key() <= last; ++it)
            sent << it.key();
    }

    QByteArray body;
    int count = 0;
    bool more = false;
    uint8_t next = 0;
    int room = MaxPduSize - IdentificationHeaderSize;
    for (uint8_t id : qAsConst(sent)) {
        // One object that alone fills the answer is cut to fit.
        const QByteArray value = objects.value(id).left(MaxPduSize - IdentificationHeaderSize - 2);
        if (2 + value.size() > room) {
            more = true;
            next = id;
            break;
        }
        body.append(char(id));
        body.append(char(value.size()));
        body.append(value);
        room -= 2 + value.size();
        ++count;
    }

    QByteArray out;
    out.reserve(MbapSize + 1 + IdentificationHeaderSize + body.size());
    appendFrameStart(out, mbap, header, uint16_t(1 + IdentificationHeaderSize + body.size()),
                     EncapsulatedInterface);
    out.append(char(ReadDeviceIdentification));
    out.append(char(readCode));
    out.append(char(IdentificationConformity));
    out.append(char(more ? 0xFF : 0x00));
    out.append(char(next));
    out.append(char(count));
    out.append(body);
    return out;
}

bool hasCompleteFrame(const QByteArray &buffer)
{
    return buffer.size() >= MbapSize && MbapSize + decodeMbap(buffer.constData()).length <= buffer.size();
}

bool canProceed(const QByteArray &buffer)
{
    return hasCompleteFrame(buffer)
        || (buffer.size() >= MbapSize && decodeMbap(buffer.constData()).length > MaxMbapLength);
}

SFramingResult processBuffer(QByteArray &buffer, QByteArray &answers, const RegisterReader &readRegisters,
                             const LogWriter &log, int maxFrames, const IdentityReader &identify)
{
    SFramingResult result;
    // Frames are consumed by moving `pos`; the buffer is shortened once at the end.
    int pos = 0;
    for (;;) {
        const int left = buffer.size() - pos;
        if (left < MbapSize) {
            log(QS_LOG_INCOMPLETE_1);
            break;
        }
        const char *frame = buffer.constData() + pos;
        const SModbusMBAP mbap = decodeMbap(frame);
        if (mbap.length > MaxMbapLength) {
            log(QS_LOG_FRAME_TOO_LONG.arg(mbap.length));
            result.close = true;
            break;
        }
        const int frameSize = MbapSize + mbap.length;
        if (frameSize > left) {
            log(QS_LOG_INCOMPLETE_2);
            break;
        }
        // Dropped frames count too, so a junk stream cannot hold the others back.
        if (result.frames == maxFrames)
            break;
        ++result.frames;
        // Read Device Identification is one byte shorter than a register read.
        if (mbap.length >= IdentificationRequestLength && uint8_t(frame[7]) == EncapsulatedInterface) {
            answers += answerIdentification(mbap, uint8_t(frame[6]), QByteArray(frame + 7, mbap.length - 1),
                                            identify);
            pos += frameSize;
            if (pos == buffer.size())
                break;
            continue;
        }
        if (mbap.length < MinRequestLength) {
            log(QS_LOG_INCOMPLETE_3);
            pos += frameSize;
            continue;
        }
        answers += answerRequest(mbap, decodeHeader(frame), readRegisters);
        pos += frameSize;
        if (pos == buffer.size())
            break;
    }
    buffer.remove(0, pos);
    return result;
}

} // namespace Modbus
