#pragma once

// The API's JSON shapes, built from the gateway's face: one place for each,
// shared by the answers and the event streams.

#include "core/gatewayrecords.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>

class CGateway;

namespace WebJson {

QJsonValue time(qint64 msSinceEpoch); // ISO 8601 UTC; null when < 0
QJsonObject serverStatus(const CGateway &gateway);
QJsonObject device(const CGateway &gateway, const SRegisteredDevice &device);
QJsonObject deviceRegister(const SDeviceRegister &reg);
QJsonArray registers(const CGateway &gateway, const SRegisteredDevice &device);
// Device + its registers.
QJsonObject deviceDetail(const CGateway &gateway, const SRegisteredDevice &device);
QJsonObject silence(const CGateway &gateway, const QString &devEui, bool silent);
// A register event's data: {"devEui", "registers": [deviceRegister...]},
// written straight to compact JSON text (byte for byte what QJsonDocument
// writes for the same object, keys in its order) because the event streams
// send one for every device several times a second, and building it through
// QJsonObject cost more than reading the registers.
QByteArray registerEvent(const CGateway &gateway, const QString &devEui);
// The same of registers already read.
QByteArray registerEvent(const QString &devEui, const QList<SDeviceRegister> &registers);
QJsonObject counters(const CGateway &gateway);
QJsonObject deviceType(const SDeviceType &type);

} // namespace WebJson
