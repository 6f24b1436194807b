#pragma once

#include <QByteArray>
#include <QString>

class CGateway;

// Monitoring: the Prometheus text format of the gateway's counters, and the
// health check's verdict.
namespace WebMetrics {

// A lost server link counts as healthy for this long, while it reconnects.
constexpr qint64 ReconnectGraceMs = 5 * 60 * 1000;

// Every known series, at 0 before anything happened; the per-device series
// only when asked for.
QByteArray text(const CGateway &gateway, bool perDevice);
// Empty when healthy: the store is usable, every device's port is open and
// the server link is logged in (or was, and has been reconnecting for less
// than ReconnectGraceMs); else the reason.
QString unhealthy(const CGateway &gateway, qint64 nowMs = -1);

} // namespace WebMetrics
