#pragma once

// Modbus TCP framing and answers as functions over bytes, so the socket class
// stays thin and the protocol can be tested and fuzzed without sockets.

#include "app/logwriter.h"
#include <QByteArray>
#include <QMap>
#include <QString>

#include <cstdint>
#include <functional>
#include <limits>

// MBAP header of a Modbus TCP frame; big-endian on the wire.
struct SModbusMBAP
{
    uint16_t transactionId = 0;
    uint16_t protocolId = 0;
    uint16_t length = 0; // bytes after the length field: unit id and PDU
};

// Start of a request PDU.
struct SModbusTcpPacketHeader
{
    uint8_t unitId = 0;
    uint8_t functionCode = 0;
    uint16_t startAddress = 0;
    uint16_t quantity = 0;
};

namespace Modbus {

enum EFunction : uint8_t {
    ReadHoldingRegisters = 3,
    ReadInputRegisters = 4,
    EncapsulatedInterface = 43, // with MEI type 14: Read Device Identification
};

enum EException : uint8_t {
    IllegalFunction = 1,
    IllegalDataAddress = 2,
    IllegalDataValue = 3,
    ServerDeviceFailure = 4,
    // No device answers to the request's unit id on this port.
    GatewayPathUnavailable = 10,
};

// MEI type of Read Device Identification.
constexpr uint8_t ReadDeviceIdentification = 14;
// Extended identification, stream and individual access.
constexpr uint8_t IdentificationConformity = 0x83;
// Object ids of Read Device Identification.
enum EIdentificationObject : uint8_t {
    VendorName = 0,
    ProductCode = 1,
    MajorMinorRevision = 2,
    VendorUrl = 3,
    ProductName = 4,
    ModelName = 5,
    UserApplicationName = 6,
};

// Most registers one read answer can carry (its byte count is one byte).
constexpr int MaxReadQuantity = 125;
// Largest MBAP length of any Modbus frame (a 253-byte PDU and the unit id).
constexpr int MaxMbapLength = 254;

inline const QString QS_LOG_INCOMPLETE_1
    = QStringLiteral("[CConnectionHandler] Incomplete packet [1]. Wait for continue...");
inline const QString QS_LOG_INCOMPLETE_2
    = QStringLiteral("[CConnectionHandler] Incomplete packet [2]. Wait for continue...");
inline const QString QS_LOG_INCOMPLETE_3
    = QStringLiteral("[CConnectionHandler] Incomplete packet [3]. Clear buffer...");
// %1: the length field
inline const QString QS_LOG_FRAME_TOO_LONG
    = QStringLiteral("WARNING: [CConnectionHandler] Frame length [%1] is over 254 bytes. Connection closed");

// Fills out[0..quantity) with registers start .. start+quantity-1 of what the
// unit id addresses; returns 0, or the exception code to answer with instead
// (see IRegisterSource).
using RegisterReader
    = std::function<uint8_t(uint8_t unitId, uint16_t start, uint16_t quantity, uint16_t *out)>;
// Identification objects by object id, of what the unit id addresses.
using IdentityObjects = QMap<uint8_t, QByteArray>;
// Fills `objects` for the unit id; returns 0, or the exception code to answer
// with instead.
using IdentityReader = std::function<uint8_t(uint8_t unitId, IdentityObjects *objects)>;

SModbusMBAP decodeMbap(const char *data);
SModbusTcpPacketHeader decodeHeader(const char *data);

// Answer frame of a register read: the registers in ascending address order.
QByteArray buildReadAnswer(const SModbusMBAP &mbap, const SModbusTcpPacketHeader &header,
                           const QMap<uint16_t, uint16_t> &registers);
QByteArray buildReadAnswer(const SModbusMBAP &mbap, const SModbusTcpPacketHeader &header,
                           const uint16_t *values, int count);
QByteArray buildException(const SModbusMBAP &mbap, const SModbusTcpPacketHeader &header,
                          uint8_t exceptionCode);

// The answer to one complete request.
QByteArray answerRequest(const SModbusMBAP &mbap, const SModbusTcpPacketHeader &header,
                         const RegisterReader &readRegisters);

// The answer to one Read Device Identification request (function 43, any MEI
// type): `pdu` is what follows the unit id (function code onwards).
QByteArray answerIdentification(const SModbusMBAP &mbap, uint8_t unitId, const QByteArray &pdu,
                                const IdentityReader &identify);

// What one call of processBuffer did.
struct SFramingResult
{
    int frames = 0; // frames taken from the buffer, answered or dropped as too short
    // A length no request can have: the stream cannot be resynchronised, so
    // the connection is to be closed (after the answers already produced).
    bool close = false;
};

// Consumes the complete frames at the front of `buffer`, appending their
// answers to `answers` in order; an incomplete frame stays in the buffer for
// the next read. Stops quietly after `maxFrames` frames (answered or dropped),
// leaving the rest for a later call. Without `identify`, function 43 is
// answered with exception 1 like any other function not served.
SFramingResult processBuffer(QByteArray &buffer, QByteArray &answers, const RegisterReader &readRegisters,
                             const LogWriter &log, int maxFrames = std::numeric_limits<int>::max(),
                             const IdentityReader &identify = IdentityReader());

// Whether the buffer starts with a whole frame.
bool hasCompleteFrame(const QByteArray &buffer);
// Whether processBuffer has something to do at the front of the buffer now:
// a whole frame, or a header whose length means closing.
bool canProceed(const QByteArray &buffer);

} // namespace Modbus
