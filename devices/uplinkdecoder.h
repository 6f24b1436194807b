#pragma once

// Turns one uplink into register texts by a device type template: server
// values first, then the fields of the packet selected by the first payload
// byte. Pure apart from the two callbacks, so it is tested without a store.

#include "app/logwriter.h"
#include "devices/devicetemplate.h"
#include "serverlink/apirecords.h"
#include "storage/dbrecords.h"

#include <cstdint>
#include <functional>

namespace Decoder {

// Scaling of the device's register at an absolute address.
using ScalingReader = std::function<SRegisterParam(uint32_t regAddr)>;

// hex(v, n): lowercase, zero-padded to n digits; negative numbers as their
// 64-bit two's complement.
QString hexText(int64_t value, int digits);

// The log line for a field the decoder skips in a payload of that size (the
// packet's size), or an empty text when the field is decoded.
QString fieldSkipLine(const SDevicePacketField &field, int payloadSize);

// What decoding would make of a template without an uplink: problems for
// fields it skips and packets no payload can match, notes for keys it ignores.
QList<STemplateIssue> templateIssues(const SDeviceTemplate &deviceTemplate);

// Fills `batch` (devEui, startAddr, registers). Returns false when the uplink
// is discarded as a whole (unknown packet type, wrong size): then nothing may
// be stored.
bool decodeUplink(const API::SApiDeviceData &uplink, const SDeviceTemplate &deviceTemplate, int32_t startAddr,
                  const ScalingReader &scaling, const LogWriter &log, SDeviceRegisterData &batch);

} // namespace Decoder
