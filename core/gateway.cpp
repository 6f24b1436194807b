#include "core/gateway.h"

#include "app/logfile.h"
#include "devices/alldevicehandler.h"
#include "modbus/modbusconfig.h"
#include "serverlink/serverhandler.h"
#include "storage/databasehandler.h"

#include <QDateTime>
#include <QHostAddress>
#include <QSqlQuery>
#include <QTcpServer>

CGateway::CGateway(const QString &dataBaseFile, const QString &connectionName, QObject *parent)
    : QObject(parent)
    , m_store(std::make_unique<CDataBaseHandler>(dataBaseFile, connectionName))
    , m_session(std::make_unique<CServerHandler>())
    , m_registry(std::make_unique<CAllDeviceHandler>())
{
    m_clock = []() { return QDateTime::currentMSecsSinceEpoch(); };
    m_silenceTimer.setInterval(1000);
    connect(&m_silenceTimer, &QTimer::timeout, this, &CGateway::checkSilence);
    if (!m_store->failed()) {
        m_registry->setRegisterStore(m_store.get());
        m_registry->setRegisterSource(&m_image);
        connect(m_store.get(), &CDataBaseHandler::registerDataSaved, this, &CGateway::registerDataSaved);
    }

    // Uplinks go straight into the registry's bounded backlog: a queued
    // connection would keep every uplink of a flood as an event of its own,
    // beyond any bound.
    connect(m_session.get(), &CServerHandler::newPacketReceived, m_registry.get(),
            &CAllDeviceHandler::newPacketReceivedSlot, Qt::DirectConnection);
    // Queued, as every other connection between components: each notification
    // is handled on a later pass of the event loop.
    connect(m_session.get(), &CServerHandler::changeServerStatus, this, &CGateway::serverStatusChanged,
            Qt::QueuedConnection);
    connect(m_session.get(), &CServerHandler::devicesListRefused, this, &CGateway::serverDevicesRefused,
            Qt::QueuedConnection);
    connect(m_session.get(), &CServerHandler::getDevicesListResp, this, &CGateway::serverDevicesReceived,
            Qt::QueuedConnection);
    connect(m_registry.get(), &CAllDeviceHandler::newDataForDevice, this, &CGateway::newDataForDevice,
            Qt::QueuedConnection);
}

CGateway::~CGateway()
{
    // Listeners and the session go before the store they read from.
    m_registry.reset();
    m_session.reset();
    m_store.reset();
}

bool CGateway::failed() const
{
    return m_store->failed();
}

QString CGateway::failureText() const
{
    return m_store->failure();
}

int CGateway::restoreStoredDevices()
{
    if (failed())
        return 0;
    m_notServed = m_store->unservableDevices();
    for (auto it = m_notServed.cbegin(); it != m_notServed.cend(); ++it)
        addLog(QStringLiteral("WARNING: [CGateway] Device ID=%1 is not served: %2")
                   .arg(it.key())
                   .arg(it.value()));
    QList<QPair<DB::SDeviceRegMapDescription, uint16_t>> devices;
    {
        QSqlQuery rows = m_store->getDevices(QString());
        while (rows.next()) {
            if (m_notServed.contains(rows.value(DB::DEV_COL_ID).toUInt()))
                continue;
            DB::SDeviceRegMapDescription description;
            description.devEui = rows.value(DB::DEV_COL_DEV_EUI).toString();
            description.appEui = rows.value(DB::DEV_COL_APP_EUI).toString();
            description.devName = rows.value(DB::DEV_COL_NAME).toString();
            description.startAddr = rows.value(DB::DEV_COL_START_ADDR).toInt();
            devices.append({ description, static_cast<uint16_t>(rows.value(DB::DEV_COL_PORT).toUInt()) });
        }
    }
    loadServed(-1);
    const QHash<uint32_t, qint64> lastWrites = m_store->lastWriteTimes();
    const qint64 now = m_clock();
    for (auto it = m_served.cbegin(); it != m_served.cend(); ++it)
        m_lastHeard.insert(it.key(), lastWrites.value(it->id, now));
    for (const auto &device : qAsConst(devices)) {
        const QStringList lost = m_registry->refusedParts(device.first.appEui);
        if (!lost.isEmpty())
            addLog(
                QStringLiteral("WARNING: [CGateway::restoreStoredDevices] Device [%1]: its template left out "
                               "[%2]; those registers are no longer written")
                    .arg(device.first.devEui, lost.join(QStringLiteral(", "))));
        m_registry->addNewDevice(device.first, device.second);
    }
    checkSilence();
    m_silenceTimer.start();
    return devices.size();
}

void CGateway::loadServed(int port)
{
    if (port < 0) {
        m_image.clear();
        m_served.clear();
    } else {
        m_image.clearPort(static_cast<uint16_t>(port));
        for (auto it = m_served.begin(); it != m_served.end();)
            it = it->port == port ? m_served.erase(it) : std::next(it);
    }
    {
        QSqlQuery rows = m_store->getDevices(QString());
        while (rows.next()) {
            if (m_notServed.contains(rows.value(DB::DEV_COL_ID).toUInt()))
                continue;
            const auto devicePort = static_cast<uint16_t>(rows.value(DB::DEV_COL_PORT).toUInt());
            if (port < 0 || devicePort == port)
                m_served.insert(rows.value(DB::DEV_COL_DEV_EUI).toString(),
                                { rows.value(DB::DEV_COL_ID).toUInt(), devicePort,
                                  rows.value(DB::DEV_COL_APP_EUI).toString() });
        }
    }
    for (const SServedRegister &row : m_store->servedRegisters(port))
        if (!m_notServed.contains(row.device))
            m_image.put(row.port, row.address, row.device, row.value);
}

void CGateway::registerDataSaved(const SDeviceRegisterData &data)
{
    const auto it = m_served.constFind(data.devEui);
    if (it == m_served.cend())
        return;
    m_lastHeard.insert(data.devEui, m_clock());
    if (m_silent.contains(data.devEui))
        setSilent(data.devEui, *it, false, 0);
    for (const SRegisterValue &reg : data.registers) {
        bool parsed = false;
        const uint16_t value = reg.value.toUShort(&parsed, 16);
        m_image.update(it->port, uint32_t(data.startAddr) + uint32_t(reg.offset), it->id,
                       parsed ? value : uint16_t(0));
    }
}

bool CGateway::registerDevice(const DB::SDeviceRegMapDescription &description, uint16_t port)
{
    if (failed() || !m_store->registerNewDevice(description, port))
        return false;
    loadServed(port);
    m_lastHeard.insert(description.devEui, m_clock());
    m_registry->addNewDevice(description, port);
    return true;
}

bool CGateway::removeDevice(uint32_t deviceId, const QString &devEui, uint16_t port)
{
    m_registry->removeDevice(devEui, port);
    const bool deleted = !failed() && m_store->deleteDevice(deviceId);
    if (deleted) {
        const auto it = m_served.constFind(devEui);
        if (it != m_served.cend())
            m_image.setDeviceFailed(it->id, false);
        m_silent.remove(devEui);
        m_lastHeard.remove(devEui);
        loadServed(port);
    }
    return deleted;
}

void CGateway::updateScaling(const SDeviceRegUpdate &update)
{
    if (!failed())
        m_store->updateRegInfo(update);
}

bool CGateway::portUsable(uint16_t port) const
{
    if (port == 0)
        return false;
    if (m_registry->hasListener(port))
        return true;
    QTcpServer trial;
    if (trial.listen(Modbus::config().bindAddress, port))
        return true;
    addLog(QStringLiteral("WARNING: [CGateway] Port [%1] cannot be opened: %2")
               .arg(port)
               .arg(trial.errorString()));
    return false;
}

bool CGateway::requestServerDevices()
{
    QStringList appEuis;
    for (const SDeviceTypeInfo &type : m_registry->getDeviceTypeList())
        appEuis << type.appEui;
    return m_session->getDevicesList(appEuis);
}

void CGateway::connectToServer(const SServerSettings &server)
{
    m_server = server;
    m_session->setReconnectEnabled(server.reconnect);
    if (!server.caFile.isEmpty() && !m_trustedCaFiles.contains(server.caFile)
        && m_session->addTrustedCaFile(server.caFile))
        m_trustedCaFiles << server.caFile;
    m_session->connectSlot(server.origin(), server.login, server.password);
}

qint64 CGateway::silentForMs(const QString &devEui) const
{
    return m_silent.contains(devEui) ? m_clock() - m_lastHeard.value(devEui) : -1;
}

void CGateway::checkSilence()
{
    const qint64 now = m_clock();
    for (auto it = m_served.cbegin(); it != m_served.cend(); ++it) {
        const int limitS = m_registry->getTemplate(it->appEui).silent_after_s;
        const qint64 quietMs = now - m_lastHeard.value(it.key(), now);
        const bool silent = limitS > 0 && quietMs > qint64(limitS) * 1000;
        if (silent != m_silent.contains(it.key()))
            setSilent(it.key(), *it, silent, quietMs);
    }
}

void CGateway::setSilent(const QString &devEui, const SServedDevice &device, bool silent, qint64 quietMs)
{
    if (silent) {
        m_silent.insert(devEui);
        addLog(QStringLiteral("WARNING: [CGateway] Device [%1] is silent: no uplink for [%2] s")
                   .arg(devEui)
                   .arg(quietMs / 1000));
    } else {
        m_silent.remove(devEui);
        addLog(QStringLiteral("INFO: [CGateway] Device [%1] is heard again").arg(devEui));
    }
    m_image.setDeviceFailed(device.id, silent && m_registry->getTemplate(device.appEui).silent_exception);
    emit silenceChanged(devEui, silent);
}
