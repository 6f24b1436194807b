#pragma once

#include "app/settings.h"
#include "core/gatewayrecords.h"
#include "core/registermap.h"
#include "serverlink/apirecords.h"
#include "serverlink/serverstatus.h"
#include "storage/dbrecords.h"

#include <QByteArray>
#include <QMap>

#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>
#include <QVector>

#include <cstdint>
#include <functional>
#include <memory>
#include <tuple>

class CAllDeviceHandler;
class CDataBaseHandler;
class CModbusService;
class CScalingTable;
struct SModbusConfig;
class CServerHandler;
class QSqlQueryModel;

namespace Modbus {
using IdentityObjects = QMap<uint8_t, QByteArray>;
}

// The running gateway without its window: owns the register store, the server
// session, the device registry and the Modbus service, makes every connection
// between them, and offers what a front end (the window and its dialogs, the
// headless service, the HTTP API) reads and does. Front ends use this face
// only; tests reach the parts through core/gatewayinternals.h.
//
// The two flows:
// - Uplink to registers: CServerHandler::newPacketReceived ->
//   CAllDeviceHandler::newPacketReceivedSlot (registered devices only, a few
//   per event-loop pass) -> processDataSlot, which decodes with the scaling
//   this gateway keeps in memory (CScalingTable) ->
//   CDataBaseHandler::queueRegisterData ->
//   registerDataSaved (committed) or registerDataDropped -> batchSaved /
//   batchDropped here, which change the register image first and then emit
//   newDataForDevice, once per batch.
// - Modbus request to answer: CModbusPoller (one epoll set) ->
//   CDeviceHandler::descriptorReady accepts -> CConnectionHandler::serve
//   frames the requests -> CRegisterImage::readRegisters -> one send for all
//   answers. Nothing on this road touches SQLite.
//
// Everything, the store included, lives on the thread that builds the
// gateway. Each operation on the store is a short statement; a second thread
// would only add locking and rule out the window's query models, which Qt SQL
// allows on the connection's own thread alone.
class CGateway : public QObject
{
    Q_OBJECT

public:
    // Opens the register store on dataBaseFile under its own connection name
    // and loads the templates from ./deviceFolder; check failed().
    // The Modbus service listens and caps its connections as `modbus` says
    // (settings.conf's [modbus] group, Modbus::configFromSettings).
    CGateway(const QString &dataBaseFile, const QString &connectionName, const SModbusConfig &modbus,
             QObject *parent = nullptr);
    explicit CGateway(const QString &dataBaseFile, const QString &connectionName, QObject *parent = nullptr);
    // Closes the store, so that the database file alone holds every write.
    ~CGateway() override;

    // The store could not be opened: nothing can be listed or served.
    bool failed() const;
    // Why, in SQLite's words where it has them.
    QString failureText() const;

    // Gives every stored device its Modbus service back; returns how many.
    // Devices whose stored rows cannot be served (a port outside 1..65535,
    // registers past 65535, a DevEUI that a device with a lower id has) are
    // left out, each named once in the log.
    int restoreStoredDevices();
    // Why a stored device is not served; empty when it is.
    QString notServedReason(uint32_t deviceId) const { return m_notServed.value(deviceId); }

    // --- Device types (the catalogue, fixed after start) ---
    QList<SDeviceType> deviceTypes() const;
    // appEui empty in the result when the type is unknown.
    SDeviceType deviceType(const QString &appEui) const;
    bool knowsType(const QString &appEui) const;
    // The register map a new device of the type gets, with neutral scaling.
    QList<SRegisterDescription> typeRegisters(const QString &appEui) const;

    // --- Registered devices ---
    // By name; a non-empty search keeps the names that contain it.
    QList<SRegisteredDevice> devices(const QString &search = QString()) const;
    // id 0 when the device is not registered.
    SRegisteredDevice device(const QString &devEui) const;
    bool isRegistered(const QString &devEui) const;
    // Its fields in address order, with scaling and the last values.
    QList<SDeviceRegister> deviceRegisters(uint32_t deviceId) const;
    // Takes an uplink's stored values (valuesStored) into a list that
    // deviceRegisters gave for its device, as reading it again would give
    // them: the rest of a register changes only with its scaling
    // (scalingChanged). False, leaving the list as it was, when the list has
    // registers outside 0..65535 (rows that earlier builds left, which such a
    // batch may or may not have written): it is then to be read again.
    bool takeStoredValues(const SDeviceRegisterData &batch, QList<SDeviceRegister> &registers) const;
    // The window's list models: read-only queries over the stored rows, in the
    // stored column order (core/gatewayschema.h), filled on this thread.
    void showDevices(QSqlQueryModel &model, const QString &search) const;
    void showRegisters(QSqlQueryModel &model, uint32_t deviceId) const;
    // The next at most maxRows rows of the register map after the cursor;
    // empty (and cursor.done) at the end. Read from memory (the device list,
    // the device types and the scaling table), never from the store, so a
    // chunk of a few rows costs microseconds and an export can give way to
    // Modbus between any two chunks (modbusWaiting).
    QList<SRegisterMapRow> registerMap(SRegisterMapCursor &cursor, int maxRows) const;

    // A Modbus request (or connection) is waiting to be served. Long work on
    // this thread (an export, a burst of events) asks between small steps and
    // gives way, so that Modbus answers never wait behind it.
    bool modbusWaiting() const;

    // --- Server's device list ---
    // Asks the server for its devices of every type in the catalogue; false
    // when the request cannot be sent (the answer comes as serverDevicesReceived).
    bool requestServerDevices();
    // Those of the list that may be added: of a known type, not registered.
    QList<API::SServerDeviceInfo> addableDevices(const QList<API::SServerDeviceInfo> &serverList) const;
    // The same of the server's last answer.
    QList<API::SServerDeviceInfo> addableServerDevices() const { return addableDevices(m_serverDevices); }

    // --- Operations ---
    // Every problem of every row, without adding anything: a known type, not
    // registered (nor twice in the list), a port this machine lets us serve,
    // the device's registers inside 0..65535.
    QList<SAddProblem> checkNewDevices(const QList<SNewDevice> &devices) const;
    // Adds the devices with their types' register maps in one store
    // transaction, and serves them once it has committed. Nothing is added
    // when any row has a problem; the first one is returned through `problem`.
    bool addDevices(const QList<SNewDevice> &devices, SAddProblem *problem = nullptr);
    // Whether a device with these registers from startAddr fits on the port:
    // every register it would hold (continuation registers included, gaps
    // not) inside 0..65535 and held by no device registered there. Adding a
    // device asks this first, whichever front end adds it.
    // Devices with a unit id have an address space of their own on the port
    // (unitId 0: the space of the devices without one).
    SRegisterMapConflict checkRegisterMap(const QList<SRegisterDescription> &registers, qint64 startAddr,
                                          uint16_t port, int unitId = 0) const;
    // The conflict in words, for log lines and the front ends.
    static QString conflictText(const SRegisterMapConflict &conflict, uint16_t port, int unitId = 0);
    // "port P", or "port P unit U" for a unit id.
    static QString placeText(uint16_t port, int unitId);
    // Stores the device with its register map (scaling as given) and serves
    // its port; false (with a log line) when it could not be stored or its
    // registers do not fit (checkRegisterMap).
    bool registerDevice(const DB::SDeviceRegMapDescription &description, uint16_t port);
    // Stops serving the device and deletes it with its registers.
    bool removeDevice(uint32_t deviceId, const QString &devEui, uint16_t port);
    bool removeDevice(const QString &devEui);
    // New multiplier, extra value and unit of some of a device's registers:
    // stored, and used from the next uplink on.
    void updateScaling(const SDeviceRegUpdate &update);
    // Whether a new device may take the port: the gateway serves it already,
    // or this machine lets us listen on it.
    bool portUsable(uint16_t port) const;
    // [modbus] allow read again: the allow list of `config` applies to every
    // port from now on, and the open connections it does not admit are
    // closed; returns how many.
    int setModbusAllowList(const SModbusConfig &config);
    // Gives a registered device a Modbus unit id (1..247), or takes it away
    // (0): stored, and served from the device's own address space at once.
    // False with the reason in `problem` (field "unitId") when it cannot be.
    bool setUnitId(const QString &devEui, qint64 unitId, SAddProblem *problem = nullptr);
    // Why the unit id cannot go to a device on the port (empty when it can):
    // outside 1..247, or another device of the port has it. `devEui` names
    // the device itself, which does not count as another.
    QString unitIdProblem(qint64 port, qint64 unitId, const QString &devEui = QString()) const;
    // The registered devices that share one address space with a device at
    // (port, unitId): those of the port with that unit id (0: those without
    // one). Register ranges of these must not overlap.
    QList<SRegisteredDevice> devicesSharingSpace(uint16_t port, int unitId) const;

    // --- Server session ---
    // Logs into the server with these settings (reconnection and the extra CA
    // included); the status follows as serverStatusChanged.
    void connectToServer(const SServerSettings &server);
    const SServerSettings &serverSettings() const { return m_server; }
    COMM::EServerStatus serverStatus() const { return m_serverStatus; }
    // The session stopped retrying (refused login, untrusted certificate)
    // until connectToServer is called again.
    bool serverWaitsForOperator() const;

    // --- State ---
    SGatewayCounters counters() const;
    // When this gateway was built, ms since the epoch.
    qint64 startedAtMs() const { return m_startedAtMs; }
    // The store's files (database and write-ahead log), in bytes.
    qint64 databaseBytes() const;
    // When the server status last changed, ms since the epoch.
    qint64 serverStatusSinceMs() const { return m_serverStatusSinceMs; }
    // When a logged-in server link was lost, ms since the epoch; -1 while
    // logged in and before the first login.
    qint64 serverLinkLostMs() const { return m_serverLinkLostMs; }
    // Sets descriptors aside for another service of this process (the HTTP
    // server's connections) out of the open-file limit the Modbus connection
    // cap lives within.
    void setDescriptorsSetAside(int count);
    // A device is silent when its type gives a longest silence (silent_after_s)
    // and no uplink of it was decoded for longer, counted from its
    // registration or from the gateway's start when it never sent one. The
    // stored time of the last uplink carries the silence over a restart.
    // Returns how long the device has been quiet, in ms; -1 when not silent.
    qint64 silentForMs(const QString &devEui) const;
    // Looks at every device now; the gateway also does it every second.
    void checkSilence();
    // Tests move time on by hand (ms since the epoch).
    void setClockForTesting(std::function<qint64()> clock) { m_clock = std::move(clock); }

signals:
    void serverStatusChanged(COMM::EServerStatus _status);
    void serverDevicesReceived(bool status, QList<API::SServerDeviceInfo> _devices);
    // Comes before a failed serverDevicesReceived when the server refused the
    // request rather than leaving it unanswered.
    void serverDevicesRefused();
    // An uplink's batch was decided (stored, or dropped), after the register
    // image took it.
    void newDataForDevice(QString _devEui);
    // Comes just before newDataForDevice when the batch was stored.
    void valuesStored(SDeviceRegisterData batch);
    void silenceChanged(QString _devEui, bool silent);
    void deviceAdded(QString _devEui);
    void deviceRemoved(QString _devEui);
    // Some of its registers' multiplier, extra value or unit were edited.
    void scalingChanged(QString _devEui);

private:
    friend struct CGatewayInternals;

    void setSilent(const QString &devEui, uint32_t deviceId, const QString &appEui, bool silent,
                   qint64 quietMs);
    // Builds the image and the scaling table of one port (all ports when
    // port < 0) from the store, in one pass.
    // Registers that two stored devices claim: the later one is served.
    struct SSharedRegisters
    {
        uint32_t earlier = 0;
        uint32_t later = 0;
        QList<int64_t> addresses;
    };
    // Returns, by port, the registers found claimed twice.
    QMap<uint16_t, QList<SSharedRegisters>> loadImage(int port);
    // Gives a stored device its place in the registry and the Modbus service.
    void serve(const DB::SDeviceRegMapDescription &description, uint16_t port);
    // What Read Device Identification answers for the device.
    Modbus::IdentityObjects identityOf(const DB::SDeviceRegMapDescription &description) const;
    void batchSaved(const SDeviceRegisterData &data);
    void batchDropped(const QString &devEui);
    DB::SDeviceRegMapDescription newDescription(const SNewDevice &device) const;

    std::unique_ptr<CDataBaseHandler> m_store;
    std::unique_ptr<CModbusService> m_modbus;
    // Every stored register's scaling, for decoding; built with the image.
    std::unique_ptr<CScalingTable> m_scaling;
    QHash<uint32_t, QString> m_notServed; // reasons, by device id
    QSet<uint32_t> m_textDevices; // ids of devices with text fields, served as read back from the store
    std::function<qint64()> m_clock;
    QHash<QString, qint64> m_lastHeard; // by DevEUI, ms since the epoch
    QHash<QString, qint64> m_lastStored; // by DevEUI, ms since the epoch of the last stored batch
    QSet<QString> m_silent;
    // The registered devices by name (then id), without their changing state,
    // rebuilt when the registry's generation moves: a listing of every device
    // needs no store query and no lookup by DevEUI.
    mutable QVector<SRegisteredDevice> m_byName;
    mutable QHash<uint32_t, int> m_byId; // index into m_byName by device id
    mutable quint64 m_byNameGeneration = ~quint64(0);
    // Indexes into m_byName in register map order (mapKey). Rebuilt with
    // m_byName.
    mutable std::vector<int> m_mapOrder;
    using MapKey = std::tuple<int, int, int32_t, uint32_t>; // port, unit id, start register, id
    static MapKey mapKey(const SRegisteredDevice &device)
    {
        return MapKey(device.port, device.unitId, device.startAddr, device.id);
    }
    void updateDeviceList() const;
    // A device type's fields as the register map lists them, in offset order;
    // templates are loaded once, so each type's list is made once.
    struct SMapField
    {
        uint32_t offset = 0;
        QString name;
        QString dataType;
        uint32_t bitSize = 0;
        QString wordOrder;
    };
    mutable QHash<QString, QVector<SMapField>> m_mapFields; // by AppEUI
    const QVector<SMapField> &mapFields(const QString &appEui) const;
    QTimer m_silenceTimer;
    std::unique_ptr<CServerHandler> m_session;
    std::unique_ptr<CAllDeviceHandler> m_registry;
    SServerSettings m_server;
    COMM::EServerStatus m_serverStatus = COMM::DISCONNECTED;
    qint64 m_startedAtMs = 0;
    qint64 m_serverStatusSinceMs = 0;
    qint64 m_serverLinkLostMs = -1;
    quint64 m_serverReconnects = 0;
    QString m_dataBaseFile;
    QList<API::SServerDeviceInfo> m_serverDevices;
    QStringList m_trustedCaFiles;
};
