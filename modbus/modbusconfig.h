#pragma once

// Settings and limits of the Modbus service: what settings.conf may change in
// its [modbus] group (handed to the gateway, which hands it to its Modbus
// service), and the open-file limit it lives within.

#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>

class QSettings;

struct SModbusConfig
{
    // [modbus] max_connections: open Modbus connections over all ports together.
    int maxConnections = 1000;
    // [modbus] bind: the interface the listeners use; Any is every interface,
    // IPv4 and IPv6.
    QHostAddress bindAddress { QHostAddress::Any };
    // [modbus] allow: the clients that may connect, as address and prefix
    // length; only used when `restricted` (the key is set).
    bool restricted = false;
    QList<QPair<QHostAddress, int>> allow;
    // Why [modbus] allow cannot be used (names the entry); the gateway does
    // not start with it. Empty when it can.
    QString allowError;
};

namespace Modbus {

// Descriptors kept for everything but Modbus connections (store, log,
// server session, listeners are counted apart).
constexpr int ReservedDescriptors = 64;

// Raises the soft open-file limit to the hard one (Debian's soft 1,024 runs
// out long before the default connection cap). Returns the soft limit in
// force afterwards, -1 when it cannot be read.
long long raiseOpenFileLimit();

// Reads [modbus] max_connections, bind and allow; a missing key keeps its
// default, an invalid max_connections or bind is logged and keeps it too, an
// invalid allow entry is named in allowError.
SModbusConfig configFromSettings(QSettings &settings);

// Adds the rule of [modbus] allow to the settings check (SettingsCheck), so
// that an entry that is no address or range stops the start, named.
void addSettingsRules();

// Whether the configuration's allow list admits a client from `peer` (IPv4
// peers reaching a dual-stack listener as mapped IPv6 compare as IPv4).
bool isAllowed(const SModbusConfig &config, const QHostAddress &peer);

// The cap in force: the configured one, lowered so that the connections,
// the listeners, the reserve and the descriptors set aside for other services
// fit the soft open-file limit.
int effectiveMaxConnections(int configured);

// Sets aside descriptors for another service of the process (the HTTP server
// sets its connection limit here), out of what Modbus connections may take.
void setDescriptorsSetAside(int count);

} // namespace Modbus
