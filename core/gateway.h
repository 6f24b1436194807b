#pragma once

#include "app/settings.h"
#include "modbus/registerimage.h"
#include "serverlink/apirecords.h"
#include "serverlink/serverstatus.h"
#include "storage/dbrecords.h"

#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <memory>

class CAllDeviceHandler;
class CDataBaseHandler;
class CServerHandler;

// The running gateway without its window: owns the register store, the server
// session and the device registry, makes every connection between them, and
// offers the operations the window, its dialogs and the headless service use.
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
    explicit CGateway(const QString &dataBaseFile, const QString &connectionName, QObject *parent = nullptr);
    // Closes the store, so that the database file alone holds every write.
    ~CGateway() override;

    // The store could not be opened: nothing can be listed or served.
    bool failed() const;
    // Why, in SQLite's words where it has them.
    QString failureText() const;

    CDataBaseHandler &store() const { return *m_store; }
    CServerHandler &session() const { return *m_session; }
    CAllDeviceHandler &registry() const { return *m_registry; }

    // Gives every stored device its Modbus service back; returns how many.
    // Devices whose stored rows cannot be served (a port outside 1..65535,
    // registers past 65535, a DevEUI that a device with a lower id has) are
    // left out, each named once in the log.
    int restoreStoredDevices();
    // Why a stored device is not served; empty when it is.
    QString notServedReason(uint32_t deviceId) const { return m_notServed.value(deviceId); }
    // Stores the device with its register map and serves its port; false
    // (with a log line) when it could not be stored.
    bool registerDevice(const DB::SDeviceRegMapDescription &description, uint16_t port);
    // Stops serving the device and deletes it with its registers.
    bool removeDevice(uint32_t deviceId, const QString &devEui, uint16_t port);
    void updateScaling(const SDeviceRegUpdate &update);
    // Whether a new device may take the port: the gateway serves it already,
    // or this machine lets us listen on it.
    bool portUsable(uint16_t port) const;

    // Asks the server for its devices of every type in the catalogue; false
    // when the request cannot be sent (the answer comes as serverDevicesReceived).
    bool requestServerDevices();
    // Logs into the server with these settings (reconnection and the extra CA
    // included); the status follows as serverStatusChanged.
    void connectToServer(const SServerSettings &server);
    const SServerSettings &serverSettings() const { return m_server; }

    // What Modbus clients are served: every register in memory, built from the
    // store at start and changed only after the store has committed the change.
    CRegisterImage &registerImage() { return m_image; }

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
    void newDataForDevice(QString _devEui);
    void silenceChanged(QString _devEui, bool silent);

private:
    struct SServedDevice
    {
        uint32_t id = 0;
        uint16_t port = 0;
        QString appEui;
    };
    void setSilent(const QString &devEui, const SServedDevice &device, bool silent, qint64 quietMs);
    // Builds the image and the device table of one port (all ports when port < 0) from the store.
    void loadServed(int port);
    void registerDataSaved(const SDeviceRegisterData &data);

    std::unique_ptr<CDataBaseHandler> m_store;
    CRegisterImage m_image;
    QHash<QString, SServedDevice> m_served; // by DevEUI
    QHash<uint32_t, QString> m_notServed; // reasons, by device id
    std::function<qint64()> m_clock;
    QHash<QString, qint64> m_lastHeard; // by DevEUI, ms since the epoch
    QSet<QString> m_silent;
    QTimer m_silenceTimer;
    std::unique_ptr<CServerHandler> m_session;
    std::unique_ptr<CAllDeviceHandler> m_registry;
    SServerSettings m_server;
    QStringList m_trustedCaFiles;
};
