#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

// What the simulated network server knows: accounts, devices and the payloads
// each device sends in turn.
//
// Scenario file (JSON object):
//   "accounts":  [{"login": "demo", "password": "demo"}, ...]
//   "devices":   [{"devEui": "0011223344550001", "devName": "Boiler room",
//                  "appEui": "A1B2C3D400000001",   (OTAA AppEUI; absent = no OTAA)
//                  "payloads": ["0155080000", ...],  (hex, sent in turn)
//                  "periodMs": 5000,               (optional, else the global one)
//                  "port": 2,                      (optional LoRaWAN port, default 2)
//                  "confirmed": false}]            (optional: CONF_UP instead of UNCONF_UP)
//   "periodMs":  5000                 (optional default period)
//   "gatewayId": "00aa11bb22cc33dd+0" (optional, sent as is)
//   "listAll":   false                (optional: device lists ignore the AppEUI filter)
struct SSimAccount
{
    QString login;
    QString password;
};

struct SSimDevice
{
    QString devEui;
    QString devName;
    QString appEui;
    QList<QByteArray> payloads;
    int periodMs = 5000;
    int port = 2;
    bool confirmed = false;
};

struct SSimScenario
{
    QList<SSimAccount> accounts;
    QList<SSimDevice> devices;
    QString gatewayId = QStringLiteral("00aa11bb22cc33dd+0");
    bool listAll = false;

    // Null when unknown; case-insensitive.
    const SSimDevice *device(const QString &devEui) const;

    // Empty error text on success.
    static SSimScenario fromJson(const QJsonObject &object, QString *error);
    static SSimScenario fromFile(const QString &path, QString *error);
};
