#pragma once

#include "modbus/modbusframe.h"
#include "modbus/modbuslog.h"

#include <QMap>
#include <QTcpSocket>
#include <QTimer>

#include <cstdint>

class IRegisterSource;

// One accepted Modbus TCP connection: frames the requests and answers the
// register reads of its port from the register store.
class CConnectionHandler : public QTcpSocket
{
    Q_OBJECT

public:
    // `source` must outlive the connection.
    CConnectionHandler(uint16_t port, IRegisterSource &source);
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

public slots:
    void readyReadSlot();
    void disconnectedSlot();
    QByteArray getAnswerDataSlot(SModbusMBAP _mbap, SModbusTcpPacketHeader _header,
                                 QMap<uint16_t, uint16_t> _data);

private:
    void incompleteFrameTimeoutSlot();
    void watchIncompleteFrame(bool progressed);
    void closeNow();
    void logLimited(const QString &line);
    void continueLater();
    void continueAfter(int milliseconds);
    qint64 sendNow(const QByteArray &data);
    uint8_t readRegisters(uint16_t start, uint16_t quantity, uint16_t *out);

    uint16_t m_port = 0;
    IRegisterSource &m_source;
    QByteArray m_buffer;
    bool m_continuationPosted = false;
    bool m_paused = false; // answers piled up unread; resumed as they drain
    bool m_throttled = false; // a junk-only pass; resumed after JunkPauseMs
    QTimer m_incompleteTimer;
    CLogLimiter m_logLimiter;

    static int s_incompleteFrameTimeoutMs;
    static int s_openConnections;
};
