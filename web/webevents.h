#pragma once

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QSet>
#include <QTimer>

#include <functional>

class CGateway;

// What the event streams carry: the gateway's notices turned into
// Server-Sent Events and handed to `send`, which queues them for every open
// stream. Register updates are coalesced per device: at most one event a
// device every 250 ms (4 a second), carrying the registers as they are when
// it is sent, so a stream never carries more than that however often the
// device's uplinks come. Counters go at most once a second, and only when
// they changed.
class CWebEvents : public QObject
{
    Q_OBJECT

public:
    using Send = std::function<void(const QByteArray &)>;
    using Streams = std::function<int()>;
    static constexpr int DeviceIntervalMs = 250;

    CWebEvents(CGateway &gateway, Send send, Streams streams, QObject *parent = nullptr);

    static QByteArray format(const QString &event, const QJsonObject &data);
    // What a new stream starts with: the retry delay and the status.
    QByteArray greeting() const;

    void setClockForTesting(std::function<qint64()> clock) { m_clock = std::move(clock); }

    void deviceUpdated(const QString &devEui);
    void flushDue();

private:
    void emitEvent(const QString &event, const QJsonObject &data);
    void sendCounters();

    CGateway &m_gateway;
    Send m_send;
    Streams m_streams;
    std::function<qint64()> m_clock;
    QHash<QString, qint64> m_lastSent; // by DevEUI
    QSet<QString> m_due;
    QTimer m_flush;
    QTimer m_counterTimer;
    QByteArray m_lastCounters;
};
