#pragma once

#include "core/gatewayrecords.h"

#include <QByteArray>

class CGateway;
class QIODevice;

// The register map as SCADA engineers import it as tags (one row per served
// field: port, address, device, DevEUI, field, data type, bit size, word
// order, unit, multiplier, extra value, unit id), in CSV or JSON. Written in chunks
// from the gateway's cursor, so that neither the HTTP API nor the window
// ever holds the whole map.
namespace RegisterMapExport {

constexpr int ChunkRows = 500;
// What an exporter on the event loop takes at a time before it asks whether
// Modbus is waiting (a few microseconds of work).
constexpr int StepRows = 16;

// The next piece: the header line (CSV) or "[" (JSON) before the first rows,
// "]" after the last; empty once the cursor is done.
QByteArray csvChunk(const CGateway &gateway, SRegisterMapCursor &cursor, int maxRows = ChunkRows);
QByteArray jsonChunk(const CGateway &gateway, SRegisterMapCursor &cursor, int maxRows = ChunkRows);

// The whole CSV into `out` (the window's export), chunk by chunk; `port` -1
// for every port. False when writing failed.
bool writeCsv(const CGateway &gateway, int port, QIODevice &out);

} // namespace RegisterMapExport
