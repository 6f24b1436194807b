#pragma once

#include "app/latestqueue.h"
#include "devices/devicetemplate.h"
#include "devices/storeregistersource.h"
#include "serverlink/apirecords.h"
#include "storage/dbrecords.h"

#include <QColor>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QTimer>

#include <QElapsedTimer>

#include <cstdint>
#include <map>
#include <memory>

class CDataBaseHandler;
class CDeviceHandler;
class CLogLimiter;

// What the operator interface learns about one device type.
struct SDeviceTypeInfo
{
    QString appEui;
    QString devType;
    QColor color;
};

struct SDeviceTypeRegisters
{
    QString appEui;
    QList<SRegisterDescription> registers;
};

// Hub between the server link, the register store, the Modbus listeners and
// the operator interface: the template catalogue (by AppEUI), the listeners
// (by TCP port) and the registry of published devices (by DevEUI).
class CAllDeviceHandler : public QObject
{
    Q_OBJECT

public:
    // Loads the templates from <workingDir>/deviceFolder.
    explicit CAllDeviceHandler(QObject *parent = nullptr);
    ~CAllDeviceHandler() override;

    SDeviceTypeInfo getDeviceTypeInfo(const QString &appEui) const;
    QList<SDeviceTypeInfo> getDeviceTypeList() const;
    SDeviceTypeRegisters getDeviceRegisterMap(const QString &appEui) const;
    SDeviceTemplate getTemplate(const QString &appEui) const { return templates.value(appEui); }

    // Parts of the type's template refused at load (fields, server values).
    QStringList refusedParts(const QString &appEui) const { return m_refusedParts.value(appEui); }

    // Template and port tests used by the add-device dialog.
    bool hasTemplate(const QString &appEui) const;
    bool hasListener(uint16_t port) const;

    // The register store that decoding and the listeners use. Set it before
    // adding devices; without one, uplinks are logged and skipped and Modbus
    // reads are answered with an exception.
    void setRegisterStore(CDataBaseHandler *store);
    // What the listeners read from instead of the store (the gateway's image
    // of the served registers). Set it before adding devices.
    void setRegisterSource(IRegisterSource *source) { m_source = source; }

    // Uplinks are decoded in arrival order, at most this many per pass of the
    // event loop; a burst waits in a queue so that Modbus requests and the
    // window are served between slices.
    static constexpr int UplinksPerPass = 4;
    int pendingUplinks() const { return m_backlog.size(); }
    // The backlog holds at most this many uplinks plus one per device and
    // packet type: past it, a newer uplink of a device and packet type
    // replaces the one waiting (counted, and logged once a minute).
    void setBacklogLimit(int limit) { m_backlog.setLimit(limit); }
    quint64 replacedUplinks() const { return m_backlog.replaced(); }
    // The key uplinks are replaced by: DevEUI and the payload's type byte.
    static QString uplinkKey(const API::SApiDeviceData &uplink);

signals:
    void newDataForDevice(QString _devEui);

public slots:
    // False when the port cannot be opened (the listener logged why): the
    // device is still decoded, but nothing serves it over Modbus.
    bool addNewDevice(DB::SDeviceRegMapDescription _devInfo, uint16_t _port);
    void removeDevice(QString _devEui, uint16_t _port);
    void newPacketReceivedSlot(API::SApiDeviceData _devData);

private slots:
    void init();
    void processDataSlot(API::SApiDeviceData _devData);
    void nextSliceSlot();

private:
    bool isRegistered(const QString &devEui);
    bool takeSliceRoom();
    void reportReplaced();
    // Decoder warnings of one device are bounded like a Modbus connection's.
    CLogLimiter &decoderLog(const QString &devEui);

    QMap<QString, SDeviceTemplate> templates;
    QMap<QString, QStringList> m_refusedParts; // by AppEUI
    QMap<uint16_t, CDeviceHandler *> listeners;
    QMap<QString, DB::SDeviceRegMapDescription> devices;
    QMutex mutex;
    CDataBaseHandler *m_store = nullptr;
    // What the listeners read; must outlive the connections they accept.
    CStoreRegisterSource m_registerSource;
    IRegisterSource *m_source = nullptr;
    QList<QMetaObject::Connection> m_storeConnections;
    CLatestQueue<API::SApiDeviceData> m_backlog;
    quint64 m_replacedReported = 0;
    QElapsedTimer m_replacedTimer;
    std::map<QString, std::unique_ptr<CLogLimiter>> m_decoderLogs; // by DevEUI
    int m_sliceUsed = 0;
    QTimer m_sliceTimer;
};
