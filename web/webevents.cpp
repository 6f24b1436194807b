#include "web/webevents.h"

#include "app/logfile.h"
#include "core/gateway.h"
#include "web/webjson.h"

#include <QElapsedTimer>
#include <QJsonDocument>

CWebEvents::CWebEvents(CGateway &gateway, Send send, Streams streams, QObject *parent)
    : QObject(parent)
    , m_gateway(gateway)
    , m_send(std::move(send))
    , m_streams(std::move(streams))
    , m_clock([] {
        // monotonic: a clock set back must not hold events up, nor one set
        // forward let them crowd
        static QElapsedTimer since;
        if (!since.isValid())
            since.start();
        return since.elapsed();
    })
{
    m_flush.setTimerType(Qt::PreciseTimer);
    m_flush.setSingleShot(true);
    connect(&m_flush, &QTimer::timeout, this, &CWebEvents::flushDue);
    m_counterTimer.setInterval(1000);
    connect(&m_counterTimer, &QTimer::timeout, this, &CWebEvents::sendCounters);
    m_counterTimer.start();

    connect(&gateway, &CGateway::serverStatusChanged, this,
            [this] { emitEvent(QStringLiteral("status"), WebJson::serverStatus(m_gateway)); });
    connect(&gateway, &CGateway::newDataForDevice, this, &CWebEvents::deviceUpdated);
    connect(&gateway, &CGateway::silenceChanged, this, [this](const QString &devEui, bool silent) {
        emitEvent(QStringLiteral("silence"), WebJson::silence(m_gateway, devEui, silent));
    });
    connect(&gateway, &CGateway::deviceAdded, this, [this](const QString &devEui) {
        const SRegisteredDevice device = m_gateway.device(devEui);
        if (device.id != 0)
            emitEvent(QStringLiteral("device-added"), WebJson::device(m_gateway, device));
    });
    connect(&gateway, &CGateway::valuesStored, this, [this](const SDeviceRegisterData &batch) {
        const auto known = m_known.find(batch.devEui);
        if (known != m_known.end() && !m_gateway.takeStoredValues(batch, known->registers))
            m_known.erase(known);
    });
    connect(&gateway, &CGateway::scalingChanged, this,
            [this](const QString &devEui) { m_known.remove(devEui); });
    connect(&gateway, &CGateway::deviceRemoved, this, [this](const QString &devEui) {
        m_due.remove(devEui);
        m_lastSent.remove(devEui);
        m_known.remove(devEui);
        emitEvent(QStringLiteral("device-removed"), QJsonObject { { QStringLiteral("devEui"), devEui } });
    });
    if (CLogFile *log = CLogFile::getInstance(QString()))
        connect(log, &CLogFile::addLogSignal, this, [this](const QString &line) {
            emitEvent(QStringLiteral("log"), QJsonObject { { QStringLiteral("line"), line.trimmed() } });
        });
}

QByteArray CWebEvents::format(const QString &event, const QJsonObject &data)
{
    return format(event, QJsonDocument(data).toJson(QJsonDocument::Compact));
}

QByteArray CWebEvents::format(const QString &event, const QByteArray &json)
{
    return "event: " + event.toUtf8() + "\ndata: " + json + "\n\n";
}

QByteArray CWebEvents::greeting() const
{
    return "retry: 3000\n\n" + format(QStringLiteral("status"), WebJson::serverStatus(m_gateway));
}

void CWebEvents::emitEvent(const QString &event, const QJsonObject &data)
{
    if (m_streams() > 0)
        m_send(format(event, data));
}

void CWebEvents::deviceUpdated(const QString &devEui)
{
    if (m_streams() == 0) {
        m_known.clear();
        return;
    }
    // Never built here, inside the uplink's own work: the flush sends it,
    // at once when the device's last event is old enough.
    if (m_due.contains(devEui))
        return;
    m_due.insert(devEui);
    const auto last = m_lastSent.constFind(devEui);
    flushWithin(last == m_lastSent.cend() ? 0 : *last + DeviceIntervalMs - m_clock());
}

void CWebEvents::flushWithin(qint64 waitMs)
{
    const int wait = int(std::max<qint64>({ 0, waitMs, m_lastFlush + FlushBeatMs - m_clock() }));
    if (!m_flush.isActive() || m_flush.remainingTime() > wait)
        m_flush.start(wait);
}

void CWebEvents::flushDue()
{
    // Modbus first: with a request waiting the flush comes back after it
    // (once in a row, so that a stream of requests cannot starve the events).
    if (m_giveWay.now([this] { return !m_due.isEmpty() && m_gateway.modbusWaiting(); })) {
        m_flush.start(0);
        return;
    }
    const qint64 now = m_clock();
    m_lastFlush = now;
    qint64 next = -1;
    for (auto it = m_due.begin(); it != m_due.end();) {
        const auto last = m_lastSent.constFind(*it);
        if (last != m_lastSent.cend() && now - *last < DeviceIntervalMs) {
            const qint64 wait = *last + DeviceIntervalMs - now;
            next = next < 0 ? wait : std::min(next, wait);
            ++it;
            continue;
        }
        if (m_streams() > 0) {
            m_lastSent.insert(*it, now);
            m_send(format(QStringLiteral("registers"), registerEvent(*it)));
        }
        it = m_due.erase(it);
        if (it != m_due.end() && m_gateway.modbusWaiting()) {
            m_flush.start(0); // the rest once Modbus has had its turn
            return;
        }
    }
    if (next >= 0)
        flushWithin(next);
}

QByteArray CWebEvents::registerEvent(const QString &devEui)
{
    const SRegisteredDevice device = m_gateway.device(devEui);
    if (device.id == 0) {
        m_known.remove(devEui);
        return WebJson::registerEvent(devEui, {});
    }
    auto known = m_known.find(devEui);
    if (known != m_known.end() && known->deviceId == device.id)
        return WebJson::registerEvent(devEui, known->registers);
    if (known == m_known.end()) {
        if (m_known.size() >= KnownDevicesMax)
            m_known.erase(m_known.begin());
        known = m_known.insert(devEui, {});
    }
    known->deviceId = device.id;
    known->registers = m_gateway.deviceRegisters(device.id);
    return WebJson::registerEvent(devEui, known->registers);
}

void CWebEvents::sendCounters()
{
    if (m_streams() == 0)
        return;
    const QJsonObject counters = WebJson::counters(m_gateway);
    const QByteArray text = QJsonDocument(counters).toJson(QJsonDocument::Compact);
    if (text == m_lastCounters)
        return;
    m_lastCounters = text;
    emitEvent(QStringLiteral("counters"), counters);
}
