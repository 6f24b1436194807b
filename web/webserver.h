#pragma once

#include "app/giveway.h"
#include "web/webhttp.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QSet>
#include <QTimer>

#include <functional>

class QSocketNotifier;
struct MHD_Daemon;
struct MHD_Connection;

// The HTTP server: libmicrohttpd parses and sends, this class drives it from
// the event loop of the thread that owns it (the gateway's), so no other
// thread ever runs a handler. The library works in its external epoll mode:
// its epoll descriptor is watched by one notifier, MHD_run runs when it is
// readable, and a timer wakes it when MHD_get_timeout says a connection's
// idle time runs out.
//
// Event streams are suspended connections whose body comes from a callback:
// the callback hands out what was queued for the client, and suspends the
// connection when nothing is left; new events resume it.
class CWebServer : public QObject
{
    Q_OBJECT

public:
    using Handler = std::function<SHttpResponse(const SHttpRequest &)>;

    struct SOptions
    {
        QHostAddress bind { QHostAddress::LocalHost };
        quint16 port = 0; // 0: one the system picks
        QByteArray certificatePem; // HTTPS when both are set
        QByteArray keyPem;
        int maxConnections = 64;
        // Leaves room for ten event streams and a few requests beside them.
        int maxPerAddress = 16;
        int idleTimeoutS = 60;
    };

    // Request bodies beyond this are refused with 413.
    static constexpr qint64 MaxBodyBytes = 1024 * 1024;
    // An event stream that falls this far behind is closed.
    static constexpr qint64 MaxUnsentBytes = 1024 * 1024;
    static constexpr int KeepAliveMs = 15000;

    explicit CWebServer(Handler handler, QObject *parent = nullptr);
    // Stops the daemon (see stop()).
    ~CWebServer() override;

    // False with a reason when the daemon cannot start (port taken, bad
    // certificate or key).
    bool start(const SOptions &options, QString *error);
    // Resumes every suspended connection (streams end, pending answers are
    // dropped) and stops the daemon.
    void stop();
    bool running() const { return m_daemon != nullptr; }
    quint16 port() const { return m_port; }
    bool https() const { return m_https; }

    // Work that comes before writing to event streams and long bodies (Modbus
    // requests): when it says so, they are written a pass later.
    void setOtherWorkWaiting(std::function<bool()> waiting) { m_otherWorkWaiting = std::move(waiting); }

    // Queues an event (already in the stream's text format) for every stream.
    void broadcast(const QByteArray &event);
    int streamCount() const { return m_streams.size(); }
    void setKeepAliveIntervalForTesting(int ms) { m_keepAlive.setInterval(ms); }

    struct SStream;
    struct SExchange;
    friend struct SLibraryCallbacks;

private:
    bool request(MHD_Connection *connection, const char *url, const char *method, const char *uploadData,
                 size_t *uploadDataSize, void **context);
    bool answer(MHD_Connection *connection, SExchange *exchange, SHttpResponse response);
    SHttpRequest buildRequest(MHD_Connection *connection, SExchange *exchange) const;
    void queueToStream(SStream *stream, const QByteArray &bytes);
    void wakeNextStream();
    void wakeStream(SStream *stream);
    void streamHungUp(SStream *stream);
    void resume(MHD_Connection *connection);
    void run();
    void runSoon();
    bool otherWorkWaiting() const { return m_otherWorkWaiting && m_otherWorkWaiting(); }

    Handler m_handler;
    MHD_Daemon *m_daemon = nullptr;
    QSocketNotifier *m_notifier = nullptr;
    QTimer m_wake;
    QTimer m_keepAlive;
    bool m_runQueued = false;
    bool m_https = false;
    bool m_stopping = false;
    quint16 m_port = 0;
    QByteArray m_certificate;
    QByteArray m_key;
    QSet<SStream *> m_streams;
    QList<SStream *> m_toWake; // suspended streams with something to send, woken one a pass
    std::function<bool()> m_otherWorkWaiting;
    CGiveWay m_giveWay; // waking streams
    QSet<SExchange *> m_waiting; // suspended until their answer is ready
    QSet<MHD_Connection *> m_resting; // long bodies resting for one pass of the event loop
};
