#pragma once

#include "app/giveway.h"
#include "core/gatewayrecords.h"

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QSet>
#include <QTimer>

#include <functional>

class CGateway;

// What the event streams carry: the gateway's notices turned into
// Server-Sent Events and handed to `send`, which queues them for every open
// stream. Register updates are coalesced per device: one event a device at
// most every 275 ms, carrying the registers as they are when it is sent, so a
// stream never carries more than 4 a second however often the device's
// uplinks come; the 25 ms beyond a quarter second leave room for delivery
// jitter, so that a client counting arrivals never sees a fifth within a
// second either. Register events are built off the uplink's own path, one at
// a time, and a burst of them gives way whenever a Modbus request is
// waiting. Counters go at most once a second, and only when they changed.
class CWebEvents : public QObject
{
    Q_OBJECT

public:
    using Send = std::function<void(const QByteArray &)>;
    using Streams = std::function<int()>;
    static constexpr int DeviceIntervalMs = 275;
    // Register events go out together on this beat rather than each on its
    // own: every stream then takes one write for several devices.
    static constexpr int FlushBeatMs = 50;

    CWebEvents(CGateway &gateway, Send send, Streams streams, QObject *parent = nullptr);

    static QByteArray format(const QString &event, const QJsonObject &data);
    static QByteArray format(const QString &event, const QByteArray &json);
    // What a new stream starts with: the retry delay and the status.
    QByteArray greeting() const;

    void setClockForTesting(std::function<qint64()> clock) { m_clock = std::move(clock); }

    void deviceUpdated(const QString &devEui);
    void flushDue();

private:
    void emitEvent(const QString &event, const QJsonObject &data);
    // Starts the flush timer for a device that may go `waitMs` from now,
    // unless it already fires sooner.
    void flushWithin(qint64 waitMs);
    void sendCounters();
    // The device's register event, its registers read through m_known.
    QByteArray registerEvent(const QString &devEui);

    CGateway &m_gateway;
    Send m_send;
    Streams m_streams;
    std::function<qint64()> m_clock;
    QHash<QString, qint64> m_lastSent; // by DevEUI
    // Each device's registers as its first event read them, by DevEUI, kept
    // current from every stored uplink (CGateway::takeStoredValues) and
    // dropped when its scaling is edited or it is removed: reading a device's
    // rows from the store took two thirds of an event's time, and the event
    // loop's. Bounded: a plant whose devices all send often enough to matter
    // has far fewer of them than this.
    struct SKnownRegisters
    {
        uint32_t deviceId = 0;
        QList<SDeviceRegister> registers;
    };
    static constexpr int KnownDevicesMax = 500;
    QHash<QString, SKnownRegisters> m_known;
    QSet<QString> m_due;
    QTimer m_flush;
    qint64 m_lastFlush = 0;
    CGiveWay m_giveWay;
    QTimer m_counterTimer;
    QByteArray m_lastCounters;
};
