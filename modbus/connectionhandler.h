#pragma once

#include "modbus/modbusframe.h"
#include "modbus/modbuslog.h"
#include "modbus/modbuspoller.h"

#include <QByteArray>
#include <QHostAddress>
#include <QMap>
#include <QObject>
#include <QTimer>

#include <cstdint>

class IRegisterSource;

// One accepted Modbus TCP connection: frames the requests and answers the
// register reads of its port from the register source.
//
// The connection works on its descriptor directly rather than through
// QTcpSocket, which adds a FIONREAD query and a copy through its own read
// buffer to every request; readiness comes from CModbusPoller.
class CConnectionHandler : public QObject, private CModbusPoller::IClient
{
    Q_OBJECT

public:
    // Takes over `descriptor`, an accepted non-blocking TCP socket; `source`
    // must outlive the connection. The object deletes itself (deleteLater)
    // once the peer has gone or the connection was closed.
    CConnectionHandler(uint16_t port, IRegisterSource &source, int descriptor, QObject *parent = nullptr);
    ~CConnectionHandler() override;

    // Connection objects alive in this process, over all ports.
    static int openConnections();

    // Requests answered per pass of the event loop, so one client's pipeline
    // cannot hold the others back.
    static constexpr int RequestsPerPass = 32;
    // Answers a client leaves unread before its further requests wait.
    static constexpr qint64 MaxQueuedAnswerBytes = 1 << 20;
    // Requests taken in ahead of answering; beyond that TCP holds the client back.
    static constexpr int MaxPendingRequestBytes = 1 << 16;
    // Pause before the next pass after one that only dropped frames.
    static constexpr int JunkPauseMs = 1;

    // How long a frame may stay incomplete before the connection is closed
    // (10 s; tests shorten it). Applies to connections made afterwards too.
    static void setIncompleteFrameTimeout(int milliseconds);

    // The client's address; null when it cannot be told (the connection is closed).
    QHostAddress peerAddress() const;
    // Closes the connection now (answers already sent stay with the kernel).
    void close() { closeNow(); }

    QByteArray getAnswerDataSlot(SModbusMBAP _mbap, SModbusTcpPacketHeader _header,
                                 QMap<uint16_t, uint16_t> _data);

private:
    void descriptorReady(uint32_t events) override;
    void serve();
    bool receive();
    void send(const QByteArray &answers);
    void flushQueued();
    void setReading(bool on);
    void setWriting(bool on);
    void updateInterest();
    void incompleteFrameTimeoutSlot();
    void watchIncompleteFrame(bool progressed);
    void closeNow();
    void logLimited(const QString &line);
    void continueLater();
    void continueAfter(int milliseconds);
    uint8_t readRegisters(uint8_t unitId, uint16_t start, uint16_t quantity, uint16_t *out);

    uint16_t m_port = 0;
    IRegisterSource &m_source;
    int m_descriptor = -1;
    bool m_reading = true;
    bool m_writing = false;
    uint32_t m_interest = 0; // epoll events asked for
    QByteArray m_buffer; // requests received, not yet answered
    QByteArray m_queued; // answers the kernel did not take yet
    bool m_peerGone = false; // end of stream or a socket error: close after this pass
    bool m_continuationPosted = false;
    bool m_paused = false; // answers piled up unread; resumed as they drain
    bool m_throttled = false; // a junk-only pass; resumed after JunkPauseMs
    QTimer m_incompleteTimer;
    CLogLimiter m_logLimiter;

    static int s_incompleteFrameTimeoutMs;
    static int s_openConnections;
};
