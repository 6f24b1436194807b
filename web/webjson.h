#pragma once

// The API's JSON shapes, built from the gateway's face: one place for each,
// shared by the answers and the event streams.

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include <functional>

class CGateway;
class QObject;

namespace WebJson {

QJsonValue time(qint64 msSinceEpoch); // ISO 8601 UTC, null when < 0
QJsonObject serverStatus(const CGateway &gateway);
QJsonObject silence(const CGateway &gateway, const QString &devEui, bool silent);
QJsonObject registerEvent(const CGateway &gateway, const QString &devEui);
QJsonObject counters(const CGateway &gateway);
// Calls `send` with device-added and device-removed events.
void connectDeviceNotices(CGateway &gateway, QObject *context,
                          std::function<void(const QString &, const QJsonObject &)> send);

} // namespace WebJson
