#pragma once

// What the gateway tells its front ends (the window, the HTTP API) and what
// they hand it: plain records, so that no front end needs the store, the
// registry or the server session.

#include <QColor>
#include <QList>
#include <QMap>
#include <QString>

#include <cstdint>

// A part of a template file that the loader refused or skipped, as
// `tidewell-template check` reports it.
struct STemplateProblem
{
    QString part; // e.g. "packet [1] field [Pressure]"; empty: the file as a whole
    QString reason;
};

// One device type of the catalogue.
struct SDeviceType
{
    QString appEui;
    QString devType;
    QColor color; // invalid: the template gives none
    int silentAfterS = 0; // 0: never taken for silent
    bool silentException = false; // reads of a silent device answer exception 11
    // Registers a device of the type occupies from its start register: the
    // last offset plus the size of what lies there.
    uint32_t registerSpan = 0;
    QString file; // file name in deviceFolder
    QList<STemplateProblem> problems;
};

// One registered device and its state.
struct SRegisteredDevice
{
    uint32_t id = 0; // 0: no such device
    QString devEui;
    QString name;
    QString appEui;
    uint16_t port = 0;
    int32_t startAddr = 0;
    int unitId = 0; // Modbus unit id 1..247; 0: none
    bool served = false; // its port is open
    qint64 lastUplinkMs = -1; // ms since the epoch of the last stored uplink; -1: none
    qint64 silentSinceMs = -1; // ms since the epoch; -1: not silent
};

// One field of a registered device's register map (the first register of a
// value that may span several), with its scaling and last value.
struct SDeviceRegister
{
    uint32_t address = 0;
    QString name;
    QString dataType;
    uint32_t bitSize = 0;
    uint32_t source = 0; // 1: payload field, 0: value supplied by the server
    QString raw; // hex of the register(s), most significant first; empty: never received
    QString value; // as the register view shows it ("NEVER RECEIVING" before the first)
    QString unit;
    int32_t multiplier = 1;
    int32_t extraValue = 0;
    qint64 updatedMs = -1; // ms since the epoch; -1: never
    bool numeric = false; // integer or float: scaling applies
};

// One row of the register map that SCADA engineers import as tags: one per
// field served (its first register), ordered by port, unit id and address.
struct SRegisterMapRow
{
    uint16_t port = 0;
    uint32_t address = 0;
    QString deviceName;
    QString devEui;
    QString field;
    QString dataType;
    uint32_t bitSize = 0;
    QString wordOrder; // "high_first" or "low_first"
    QString unit;
    int32_t multiplier = 1;
    int32_t extraValue = 0;
    uint8_t unitId = 0; // the device's Modbus unit id; 0: none
};

// Where a walk over the register map goes on: pass the same cursor again for
// the next chunk. It names the last row handed out (device and field), so
// devices added or removed between chunks neither repeat nor skip a row of
// the others.
struct SRegisterMapCursor
{
    int port = -1; // only this port; -1: every port
    bool started = false;
    bool done = false;
    uint16_t lastPort = 0;
    uint8_t lastUnitId = 0;
    int32_t lastStart = 0;
    uint32_t lastDevice = 0;
    int lastField = -1; // index into the device type's fields in offset order
};

// A device to add: a device of the server's list with its Modbus place.
struct SNewDevice
{
    QString devEui;
    QString appEui; // empty: taken from the server's device list
    QString name; // empty: the server's name
    qint64 port = 0;
    qint64 startAddr = 0;
    qint64 unitId = 0; // Modbus unit id 1..247; 0: none
};

// Why a device cannot be added.
struct SAddProblem
{
    int index = -1; // in the list handed over
    QString field; // "devEui", "port", "startRegister", "unitId"; empty: the store
    QString error;
    // It clashes with what the gateway holds (a device registered already, a
    // port in use elsewhere, registers taken) rather than being bad input.
    bool conflict = false;
};

// Counters since the start.
struct SGatewayCounters
{
    quint64 uplinksDecoded = 0;
    quint64 uplinksRejected = 0;
    QMap<uint16_t, int> connectionsByPort; // every open port, with its Modbus connections
    quint64 serverReconnects = 0; // attempts scheduled after a lost link or an unanswered handshake
    // Modbus requests by function (3, 4, any other), exception answers by
    // code, connections closed at once at the connection cap.
    quint64 modbusReadHolding = 0;
    quint64 modbusReadInput = 0;
    quint64 modbusOtherRequests = 0;
    QMap<int, quint64> modbusExceptions; // codes answered at least once
    quint64 modbusRejectedConnections = 0;
};
