#pragma once

#include "app/giveway.h"
#include "app/latestqueue.h"
#include "devices/devicetemplate.h"
#include "devices/templateloader.h"
#include "serverlink/apirecords.h"
#include "storage/dbrecords.h"

#include <QColor>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QTimer>

#include <QElapsedTimer>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>

class CDataBaseHandler;
class CScalingTable;
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

// A published device as the registry keeps it: the gateway's one list of the
// devices it decodes and serves.
struct SPublishedDevice
{
    uint32_t id = 0; // the store's device id
    QString devEui;
    QString appEui;
    QString devName;
    int32_t startAddr = 0;
    uint16_t port = 0;
    uint8_t unitId = 0; // Modbus unit id; 0: none
};

// The template catalogue (by AppEUI) and the registry of published devices
// (by DevEUI): filters the uplinks of registered devices, decodes them and
// hands each batch to the register store. Which ports are served is the
// Modbus service's business (modbus/modbusservice.h), and the gateway
// announces each batch once the store has decided it.
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
    // The same with the loader's reasons, and the file the type came from.
    QList<TemplateLoader::SFileIssue> templateProblems(const QString &appEui) const
    {
        return m_problems.value(appEui);
    }
    QString templateFile(const QString &appEui) const { return m_files.value(appEui); }

    bool hasTemplate(const QString &appEui) const;

    // The registered devices, by DevEUI; null when the device is not registered.
    const QMap<QString, SPublishedDevice> &publishedDevices() const { return devices; }
    const SPublishedDevice *publishedDevice(const QString &devEui) const;
    void setUnitId(const QString &devEui, uint8_t unitId);
    // Changes whenever a device is published, removed or changes its unit id:
    // what is derived from the list may be kept until it moves.
    quint64 generation() const { return m_generation; }

    // The register store decoded batches go to; without one, uplinks are
    // logged and skipped. Its registerDataSaved and registerDataDropped tell
    // how each batch ended.
    void setRegisterStore(CDataBaseHandler *store) { m_store = store; }
    // Where decoding takes each register's multiplier, extra value and unit
    // (the gateway's table in memory). A register the table lacks is logged as
    // the store would and decodes with multiplier 1 and extra value 0; without
    // a table every register does, silently (the template tool's neutral
    // scaling).
    void setScalingTable(const CScalingTable *table) { m_scaling = table; }

    // Uplinks are decoded in arrival order, at most this many per pass of the
    // event loop; a burst waits in a queue so that Modbus requests and the
    // window are served between slices.
    static constexpr int UplinksPerPass = 4;
    // Asked before each uplink is decoded: while it answers yes (a Modbus
    // request is waiting), the uplink waits for the next pass instead, but
    // never twice in a row, so that a busy Modbus client cannot starve
    // decoding.
    void setOtherWorkWaiting(std::function<bool()> waiting) { m_otherWorkWaiting = std::move(waiting); }
    int pendingUplinks() const { return m_backlog.size(); }
    // The backlog holds at most this many uplinks plus one per device and
    // packet type: past it, a newer uplink of a device and packet type
    // replaces the one waiting (counted, and logged once a minute).
    void setBacklogLimit(int limit) { m_backlog.setLimit(limit); }
    quint64 replacedUplinks() const { return m_backlog.replaced(); }
    // The key uplinks are replaced by: DevEUI and the payload's type byte.
    static QString uplinkKey(const API::SApiDeviceData &uplink);
    // Uplinks of registered devices decoded into a batch, and refused by the
    // decoder, since the start.
    quint64 decodedUplinks() const { return m_decoded; }
    quint64 rejectedUplinks() const { return m_rejected; }

public slots:
    // Publishes the device (its id from _devInfo.deviceId); always true.
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
    QMap<QString, QList<TemplateLoader::SFileIssue>> m_problems; // by AppEUI
    QMap<QString, QString> m_files; // by AppEUI
    QMap<QString, SPublishedDevice> devices;
    quint64 m_generation = 0;
    QMutex mutex;
    CDataBaseHandler *m_store = nullptr;
    const CScalingTable *m_scaling = nullptr;
    CLatestQueue<API::SApiDeviceData> m_backlog;
    quint64 m_replacedReported = 0;
    bool m_overflowed = false; // replaced uplinks since the backlog was last empty
    QElapsedTimer m_replacedTimer;
    std::map<QString, std::unique_ptr<CLogLimiter>> m_decoderLogs; // by DevEUI
    int m_sliceUsed = 0;
    std::function<bool()> m_otherWorkWaiting;
    CGiveWay m_giveWay;
    quint64 m_decoded = 0;
    quint64 m_rejected = 0;
    QTimer m_sliceTimer;
};
