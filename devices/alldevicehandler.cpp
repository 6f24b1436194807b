#include "devices/alldevicehandler.h"

#include "app/constants.h"
#include "app/freedmemory.h"
#include "app/globaldata.h"
#include "app/logfile.h"
#include "app/loglimiter.h"
#include "devices/scalingtable.h"
#include "devices/templateloader.h"
#include "devices/uplinkdecoder.h"
#include "storage/databasehandler.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QLoggingCategory>
#include <QMutexLocker>

namespace {

// Per-uplink diagnostics, off by default: QT_LOGGING_RULES="tidewell.devices.debug=true"
Q_LOGGING_CATEGORY(lcDevices, "tidewell.devices", QtWarningMsg)

} // namespace

CAllDeviceHandler::CAllDeviceHandler(QObject *parent)
    : QObject(parent)
{
    // Fires on the next pass of the event loop, after sockets were served.
    m_sliceTimer.setSingleShot(true);
    m_sliceTimer.setInterval(0);
    connect(&m_sliceTimer, &QTimer::timeout, this, &CAllDeviceHandler::nextSliceSlot);
    init();
}

CAllDeviceHandler::~CAllDeviceHandler() = default;

void CAllDeviceHandler::init()
{
    const TemplateLoader::SLoadedFolder folder
        = TemplateLoader::loadFolder(QDir::currentPath() + QStringLiteral("/") + QS_GLOB_DEVICE_FOLDER,
                                     [](const QString &line) { addLog(line); });
    templates = folder.catalogue;
    for (const TemplateLoader::SLoadedFile &file : folder.files) {
        if (!file.deviceTemplate.valid || templates.value(file.deviceTemplate.app_eui).app_eui.isEmpty())
            continue;
        if (!m_files.contains(file.deviceTemplate.app_eui))
            m_files.insert(file.deviceTemplate.app_eui, QFileInfo(file.path).fileName());
        for (const TemplateLoader::SFileIssue &problem : file.problems) {
            if (!problem.where.isEmpty())
                m_refusedParts[file.deviceTemplate.app_eui] << problem.where;
            m_problems[file.deviceTemplate.app_eui] << problem;
        }
    }
}

SDeviceTypeInfo CAllDeviceHandler::getDeviceTypeInfo(const QString &appEui) const
{
    SDeviceTypeInfo info;
    const auto it = templates.constFind(appEui);
    if (it == templates.cend())
        return info;
    info.appEui = it->app_eui;
    info.devType = it->dev_type;
    info.color = it->color;
    return info;
}

QList<SDeviceTypeInfo> CAllDeviceHandler::getDeviceTypeList() const
{
    QList<SDeviceTypeInfo> list;
    for (auto it = templates.cbegin(); it != templates.cend(); ++it)
        list.append(getDeviceTypeInfo(it.key()));
    return list;
}

SDeviceTypeRegisters CAllDeviceHandler::getDeviceRegisterMap(const QString &appEui) const
{
    const SDeviceTemplate deviceTemplate = templates.value(appEui);
    SDeviceTypeRegisters result;
    result.appEui = deviceTemplate.app_eui;
    for (const SServerData &data : deviceTemplate.server_data) {
        SRegisterDescription reg;
        reg.name = data.data_name;
        reg.source = 0;
        reg.offset = static_cast<uint32_t>(data.reg_map_bias);
        reg.bitSize = static_cast<uint32_t>(data.reg_bit_size);
        reg.dataType = QM_GLOB_SERVER_DATA.value(data.data_code).second;
        result.registers.append(reg);
    }
    for (const SDevicePacket &packet : deviceTemplate.device_packets) {
        for (const SDevicePacketField &field : packet.packet_fields) {
            SRegisterDescription reg;
            reg.name = field.data_name;
            reg.source = 1;
            reg.offset = static_cast<uint32_t>(field.reg_map_bias);
            reg.bitSize = static_cast<uint32_t>(field.reg_bit_size);
            reg.dataType = field.data_type;
            result.registers.append(reg);
        }
    }
    return result;
}

bool CAllDeviceHandler::hasTemplate(const QString &appEui) const
{
    return templates.contains(appEui);
}

const SPublishedDevice *CAllDeviceHandler::publishedDevice(const QString &devEui) const
{
    const auto it = devices.constFind(devEui);
    return it == devices.cend() ? nullptr : &*it;
}

bool CAllDeviceHandler::addNewDevice(DB::SDeviceRegMapDescription _devInfo, uint16_t _port)
{
    QMutexLocker locker(&mutex);
    devices.insert(_devInfo.devEui,
                   { _devInfo.deviceId, _devInfo.devEui, _devInfo.appEui, _devInfo.devName,
                     _devInfo.startAddr, _port, _devInfo.unitId });
    ++m_generation;
    addLog(QStringLiteral("[CAllDeviceHandler::addNewDevice] New device: DevEUI[%1], port[%2]")
               .arg(_devInfo.devEui)
               .arg(_port));
    return true;
}

void CAllDeviceHandler::setUnitId(const QString &devEui, uint8_t unitId)
{
    QMutexLocker locker(&mutex);
    const auto it = devices.find(devEui);
    if (it != devices.end())
        it->unitId = unitId;
    ++m_generation;
}

void CAllDeviceHandler::removeDevice(QString _devEui, uint16_t _port)
{
    QMutexLocker locker(&mutex);
    devices.remove(_devEui);
    ++m_generation;
    m_decoderLogs.erase(_devEui);
    qCDebug(lcDevices).noquote()
        << QStringLiteral("[CAllDeviceHandler::removeDevice] Delete device: DevEUI[%1], port[%2]")
               .arg(_devEui)
               .arg(_port);
}

bool CAllDeviceHandler::isRegistered(const QString &devEui)
{
    QMutexLocker locker(&mutex);
    return devices.contains(devEui);
}

void CAllDeviceHandler::newPacketReceivedSlot(API::SApiDeviceData _devData)
{
    if (!isRegistered(_devData.devEui))
        return;
    // A burst of uplinks (the server delivers many at once) would otherwise
    // hold every Modbus answer back until the whole burst is decoded.
    if (m_backlog.isEmpty() && takeSliceRoom()) {
        processDataSlot(_devData);
        return;
    }
    if (m_backlog.push(uplinkKey(_devData), _devData))
        reportReplaced();
}

QString CAllDeviceHandler::uplinkKey(const API::SApiDeviceData &uplink)
{
    return uplink.devEui + QLatin1Char('/')
        + QString::number(uplink.data.isEmpty() ? 0 : static_cast<uint8_t>(uplink.data.at(0)));
}

void CAllDeviceHandler::reportReplaced()
{
    m_overflowed = true;
    if (m_replacedTimer.isValid() && m_replacedTimer.elapsed() < CLogLimiter::WindowMs)
        return;
    m_replacedTimer.start();
    addLog(
        QStringLiteral("WARNING: [CAllDeviceHandler] More than %1 uplinks wait to be decoded: %2 uplink(s) "
                       "replaced by a newer one of the same device and packet type")
            .arg(m_backlog.limit())
            .arg(m_backlog.replaced() - m_replacedReported));
    m_replacedReported = m_backlog.replaced();
}

CLogLimiter &CAllDeviceHandler::decoderLog(const QString &devEui)
{
    std::unique_ptr<CLogLimiter> &limiter = m_decoderLogs[devEui];
    if (!limiter)
        limiter = std::make_unique<CLogLimiter>(QStringLiteral("[Decoder] Device [%1]:").arg(devEui));
    return *limiter;
}

bool CAllDeviceHandler::takeSliceRoom()
{
    if (m_sliceUsed >= UplinksPerPass)
        return false;
    // The uplink comes back with the slice timer, on a later pass of the
    // event loop, when the waiting request has been answered.
    if (m_giveWay.now([this] { return m_otherWorkWaiting && m_otherWorkWaiting(); })) {
        if (!m_sliceTimer.isActive())
            m_sliceTimer.start();
        return false;
    }
    if (m_sliceUsed++ == 0)
        m_sliceTimer.start();
    return true;
}

void CAllDeviceHandler::nextSliceSlot()
{
    m_sliceUsed = 0;
    while (!m_backlog.isEmpty() && takeSliceRoom()) {
        const API::SApiDeviceData data = m_backlog.takeFirst();
        // removed while it waited: dropped like any uplink of an unknown device
        if (isRegistered(data.devEui))
            processDataSlot(data);
    }
    // A backlog that passed its limit leaves freed memory behind.
    if (m_overflowed && m_backlog.isEmpty()) {
        m_overflowed = false;
        releaseFreedMemory();
    }
}

void CAllDeviceHandler::processDataSlot(API::SApiDeviceData _devData)
{
    qCDebug(lcDevices).noquote()
        << QStringLiteral("[CAllDeviceHandler::processDataSlot] Process device [%1]").arg(_devData.devEui);
    CDataBaseHandler *store = m_store;
    if (!store || store->failed()) {
        addLog(QStringLiteral("ERROR: [CAllDeviceHandler::processDataSlot] Register store is not available. "
                              "Uplink of device [%1] is skipped")
                   .arg(_devData.devEui));
        return;
    }
    const SPublishedDevice description = devices.value(_devData.devEui);
    const SDeviceTemplate deviceTemplate = templates.value(description.appEui);
    SDeviceRegisterData batch;
    const bool accepted = Decoder::decodeUplink(
        _devData, deviceTemplate, description.startAddr,
        [scaling = m_scaling, device = description.id](uint32_t regAddr) {
            if (!scaling)
                return SRegisterParam();
            if (const SRegisterParam *found = scaling->find(device, regAddr))
                return *found;
            addLog(QStringLiteral("ERROR: [CDataBaseHandler::getRegisterParam] Register is not exist!"));
            addLog(CDataBaseHandler::registerParamStatement());
            return SRegisterParam();
        },
        [this, &_devData](const QString &line) { decoderLog(_devData.devEui).log(line); }, batch);
    if (!accepted) {
        ++m_rejected;
        return;
    }
    ++m_decoded;
    // A batch that finds the database locked waits without holding the event
    // loop up; the device is announced when its batch is decided.
    store->queueRegisterData(batch);
}
