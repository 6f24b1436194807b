#include "web/webserver.h"

#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QPointer>
#include <QSocketNotifier>

#include <arpa/inet.h>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <microhttpd.h>
#include <netinet/in.h>

namespace {
Q_LOGGING_CATEGORY(lcServer, "tidewell.web.server", QtWarningMsg)
constexpr size_t StreamBlockBytes = 16 * 1024;
constexpr size_t ChunkBlockBytes = 16 * 1024;
const QByteArray KeepAliveComment = QByteArrayLiteral(": keep-alive\n\n");
} // namespace

// One request, from its headers to the end of its answer.
struct CWebServer::SExchange
{
    MHD_Connection *connection = nullptr;
    QByteArray body;
    bool tooLarge = false;
    bool suspended = false;
    bool answered = false;
    SHttpResponse ready; // the answer of a request answered later
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
};

// One open event stream: what the client has not been sent yet.
struct CWebServer::SStream
{
    CWebServer *server = nullptr;
    MHD_Connection *connection = nullptr;
    QByteArray unsent;
    int offset = 0; // of unsent, already handed to the library
    bool suspended = false;
    bool toWake = false; // in m_toWake
    bool dropped = false;
    // Watches the socket while the stream sleeps, when the library does not.
    std::unique_ptr<QSocketNotifier> hangUp;
    qint64 pending() const { return unsent.size() - offset; }
};

namespace {

struct SChunkSource
{
    SHttpResponse::Chunks next;
    QByteArray piece;
    int offset = 0;
    CWebServer *server = nullptr;
    MHD_Connection *connection = nullptr;
    bool rested = false;
    CGiveWay giveWay {};
    qint64 makingNs = 0; // what making the last piece took
};

// The library's own percent-decoding is turned off: the request target is
// decoded once, by parseRequestTarget, which also refuses encoded separators.
size_t keepEscaped(void *, MHD_Connection *, char *s)
{
    return std::strlen(s);
}

void logLibrary(void *, const char *format, va_list arguments)
{
    char line[512];
    std::vsnprintf(line, sizeof line, format, arguments);
    qCDebug(lcServer).noquote() << QString::fromLocal8Bit(line).trimmed();
}

MHD_Result collectHeader(void *cls, MHD_ValueKind, const char *key, const char *value)
{
    auto *headers = static_cast<QList<QPair<QByteArray, QByteArray>> *>(cls);
    headers->append({ QByteArray(key).toLower(), QByteArray(value ? value : "") });
    return MHD_YES;
}

MHD_Result collectArgument(void *cls, MHD_ValueKind, const char *key, const char *value)
{
    auto *query = static_cast<QByteArray *>(cls);
    if (!query->isEmpty())
        query->append('&');
    query->append(key);
    if (value)
        query->append('=').append(value);
    return MHD_YES;
}

} // namespace

struct SLibraryCallbacks
{
    static MHD_Result request(void *self, MHD_Connection *connection, const char *url, const char *method,
                              const char *, const char *uploadData, size_t *uploadDataSize, void **context)
    {
        return static_cast<CWebServer *>(self)->request(connection, url, method, uploadData, uploadDataSize,
                                                        context)
            ? MHD_YES
            : MHD_NO;
    }

    static void completed(void *, MHD_Connection *, void **context, MHD_RequestTerminationCode)
    {
        auto *exchange = static_cast<CWebServer::SExchange *>(*context);
        if (!exchange)
            return;
        *exchange->alive = false;
        delete exchange;
        *context = nullptr;
    }

    // Hands out what is queued; with nothing left the connection sleeps until
    // the next event resumes it.
    static ssize_t readStream(void *cls, uint64_t, char *buffer, size_t max)
    {
        auto *stream = static_cast<CWebServer::SStream *>(cls);
        if (stream->dropped)
            return MHD_CONTENT_READER_END_WITH_ERROR;
        if (stream->pending() == 0) {
            stream->unsent.clear();
            stream->offset = 0;
            stream->suspended = true;
            MHD_suspend_connection(stream->connection);
            if (stream->hangUp)
                stream->hangUp->setEnabled(true);
            return 0;
        }
        const size_t n = std::min(max, size_t(stream->pending()));
        std::memcpy(buffer, stream->unsent.constData() + stream->offset, n);
        stream->offset += int(n);
        if (stream->offset > 64 * 1024 && stream->offset * 2 > stream->unsent.size()) {
            stream->unsent.remove(0, stream->offset);
            stream->offset = 0;
        }
        return ssize_t(n);
    }

    // Suspends the connection for `ms` (0: until the next pass of the event loop).
    static void rest(SChunkSource *source, int ms)
    {
        CWebServer *server = source->server;
        MHD_Connection *connection = source->connection;
        server->m_resting.insert(connection);
        MHD_suspend_connection(connection);
        QTimer::singleShot(ms, Qt::PreciseTimer, server, [server, connection] {
            if (server->m_resting.remove(connection))
                server->resume(connection);
        });
    }

    // Hands out a long body piece by piece. Before each new piece the
    // connection rests for as long as the last one took to make (at least one
    // pass of the event loop): a long export then keeps the loop busy about
    // half the time at most, so a client taking it as fast as loopback allows
    // leaves room for Modbus and whatever else this machine runs.
    static ssize_t readChunks(void *cls, uint64_t, char *buffer, size_t max)
    {
        auto *source = static_cast<SChunkSource *>(cls);
        CWebServer *server = source->server;
        // With Modbus waiting, not even the next block is written (once in
        // a row): one loopback send of it costs tens of microseconds.
        if (!server->m_stopping && source->giveWay.now([server] { return server->otherWorkWaiting(); })) {
            rest(source, 0);
            return 0;
        }
        while (source->offset >= source->piece.size()) {
            if (!source->rested && !server->m_stopping) {
                source->rested = true;
                rest(source, int((source->makingNs + 999999) / 1000000));
                return 0;
            }
            source->rested = false;
            QElapsedTimer making;
            making.start();
            source->piece = source->next();
            source->makingNs = making.nsecsElapsed();
            source->offset = 0;
            if (source->piece.isEmpty())
                return MHD_CONTENT_READER_END_OF_STREAM;
        }
        const size_t n = std::min(max, size_t(source->piece.size() - source->offset));
        std::memcpy(buffer, source->piece.constData() + source->offset, n);
        source->offset += int(n);
        return ssize_t(n);
    }

    static void freeChunks(void *cls) { delete static_cast<SChunkSource *>(cls); }

    static void freeStream(void *cls)
    {
        auto *stream = static_cast<CWebServer::SStream *>(cls);
        stream->server->m_streams.remove(stream);
        if (stream->toWake)
            stream->server->m_toWake.removeOne(stream);
        delete stream;
    }
};

CWebServer::CWebServer(Handler handler, QObject *parent)
    : QObject(parent)
    , m_handler(std::move(handler))
{
    m_wake.setSingleShot(true);
    connect(&m_wake, &QTimer::timeout, this, &CWebServer::run);
    m_keepAlive.setInterval(KeepAliveMs);
    connect(&m_keepAlive, &QTimer::timeout, this, [this] {
        const QSet<SStream *> streams = m_streams;
        for (SStream *stream : streams)
            queueToStream(stream, KeepAliveComment);
    });
}

CWebServer::~CWebServer()
{
    stop();
}

bool CWebServer::start(const SOptions &options, QString *error)
{
    stop();
    m_https = !options.certificatePem.isEmpty() && !options.keyPem.isEmpty();
    // The library reads them while it starts; kept for as long as it runs.
    m_certificate = options.certificatePem;
    m_key = options.keyPem;

    sockaddr_in address4 = {};
    sockaddr_in6 address6 = {};
    sockaddr *address = nullptr;
    unsigned int flags = MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
    if (options.bind.protocol() == QAbstractSocket::IPv6Protocol) {
        flags |= MHD_USE_IPv6;
        address6.sin6_family = AF_INET6;
        address6.sin6_port = htons(options.port);
        const Q_IPV6ADDR bytes = options.bind.toIPv6Address();
        std::memcpy(&address6.sin6_addr, &bytes, sizeof bytes);
        address = reinterpret_cast<sockaddr *>(&address6);
    } else {
        address4.sin_family = AF_INET;
        address4.sin_port = htons(options.port);
        address4.sin_addr.s_addr = htonl(options.bind.toIPv4Address());
        address = reinterpret_cast<sockaddr *>(&address4);
    }
    if (m_https)
        flags |= MHD_USE_TLS;

    QVector<MHD_OptionItem> items {
        { MHD_OPTION_SOCK_ADDR, 0, address },
        { MHD_OPTION_CONNECTION_LIMIT, intptr_t(options.maxConnections), nullptr },
        { MHD_OPTION_PER_IP_CONNECTION_LIMIT, intptr_t(options.maxPerAddress), nullptr },
        { MHD_OPTION_CONNECTION_TIMEOUT, intptr_t(options.idleTimeoutS), nullptr },
        { MHD_OPTION_NOTIFY_COMPLETED, intptr_t(&SLibraryCallbacks::completed), this },
        { MHD_OPTION_UNESCAPE_CALLBACK, intptr_t(&keepEscaped), nullptr },
        { MHD_OPTION_EXTERNAL_LOGGER, intptr_t(&logLibrary), nullptr },
        { MHD_OPTION_LISTENING_ADDRESS_REUSE, 1, nullptr },
    };
    if (m_https) {
        m_certificate.append('\0');
        m_key.append('\0');
        items.append({ MHD_OPTION_HTTPS_MEM_KEY, 0, m_key.data() });
        items.append({ MHD_OPTION_HTTPS_MEM_CERT, 0, m_certificate.data() });
    }
    items.append({ MHD_OPTION_END, 0, nullptr });

    m_daemon = MHD_start_daemon(flags, options.port, nullptr, nullptr, &SLibraryCallbacks::request, this,
                                MHD_OPTION_ARRAY, items.data(), MHD_OPTION_END);
    if (!m_daemon) {
        if (error)
            *error = m_https ? tr("the port is taken, or the certificate or key cannot be used")
                             : tr("the port is taken or the address is not this machine's");
        return false;
    }
    const MHD_DaemonInfo *bound = MHD_get_daemon_info(m_daemon, MHD_DAEMON_INFO_BIND_PORT);
    m_port = bound ? bound->port : options.port;
    const MHD_DaemonInfo *epoll = MHD_get_daemon_info(m_daemon, MHD_DAEMON_INFO_EPOLL_FD);
    m_notifier = new QSocketNotifier(epoll->epoll_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &CWebServer::run);
    m_keepAlive.start();
    run();
    return true;
}

void CWebServer::stop()
{
    if (!m_daemon)
        return;
    // The library neither times out nor closes a suspended connection; each
    // is woken, ends (streams with an error, pending answers unsent) on the
    // last pass, and only then may the daemon stop.
    m_stopping = true;
    for (SStream *stream : qAsConst(m_toWake))
        stream->toWake = false;
    m_toWake.clear();
    for (SStream *stream : qAsConst(m_streams)) {
        stream->dropped = true;
        if (stream->suspended)
            wakeStream(stream);
    }
    for (MHD_Connection *connection : qAsConst(m_resting))
        MHD_resume_connection(connection);
    m_resting.clear();
    const QSet<SExchange *> waiting = m_waiting;
    m_waiting.clear();
    for (SExchange *exchange : waiting) {
        exchange->answered = true;
        exchange->ready = SHttpResponse::error(503, tr("the server is stopping"));
        exchange->suspended = false;
        MHD_resume_connection(exchange->connection);
    }
    MHD_run(m_daemon);
    delete m_notifier;
    m_notifier = nullptr;
    m_wake.stop();
    m_keepAlive.stop();
    MHD_stop_daemon(m_daemon);
    m_daemon = nullptr;
    m_streams.clear();
    m_stopping = false;
}

void CWebServer::run()
{
    m_runQueued = false;
    if (!m_daemon)
        return;
    MHD_run(m_daemon);
    MHD_UNSIGNED_LONG_LONG timeout = 0;
    if (MHD_get_timeout(m_daemon, &timeout) == MHD_YES)
        m_wake.start(int(std::min<MHD_UNSIGNED_LONG_LONG>(timeout, 24 * 3600 * 1000ULL)));
    else
        m_wake.stop();
}

void CWebServer::runSoon()
{
    if (m_runQueued)
        return;
    m_runQueued = true;
    QTimer::singleShot(0, this, &CWebServer::run);
}

void CWebServer::resume(MHD_Connection *connection)
{
    MHD_resume_connection(connection);
    runSoon();
}

bool CWebServer::request(MHD_Connection *connection, const char *url, const char *method,
                         const char *uploadData, size_t *uploadDataSize, void **context)
{
    auto *exchange = static_cast<SExchange *>(*context);
    if (!exchange) {
        exchange = new SExchange;
        exchange->connection = connection;
        *context = exchange;
        const char *length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Content-Length");
        if (!length || QByteArray(length).toLongLong() <= MaxBodyBytes)
            return true;
        // Refused before the client is told to go on sending (100 Continue).
        exchange->tooLarge = true;
    } else if (*uploadDataSize > 0) {
        if (!exchange->tooLarge && exchange->body.size() + qint64(*uploadDataSize) <= MaxBodyBytes)
            exchange->body.append(uploadData, int(*uploadDataSize));
        else
            exchange->tooLarge = true;
        *uploadDataSize = 0;
        return true;
    }
    if (exchange->answered)
        return answer(connection, exchange, std::move(exchange->ready));
    if (exchange->suspended)
        return true;

    SHttpRequest parsed = buildRequest(connection, exchange);
    parsed.method = method;
    QByteArray target = url;
    QByteArray query;
    MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, &collectArgument, &query);
    if (!query.isEmpty())
        target += '?' + query;
    parsed.target = target;
    parsed.bodyTooLarge = exchange->tooLarge;
    SHttpResponse response = m_handler(parsed);
    if (!response.later)
        return answer(connection, exchange, std::move(response));

    exchange->suspended = true;
    m_waiting.insert(exchange);
    MHD_suspend_connection(connection);
    QPointer<CWebServer> self(this);
    const std::shared_ptr<bool> alive = exchange->alive;
    response.later([self, alive, exchange, connection](SHttpResponse done) {
        if (!self)
            return;
        // Resumed from the event loop, never from inside a library callback.
        QTimer::singleShot(0, self, [self, alive, exchange, connection, done]() mutable {
            if (!*alive || !self->m_waiting.remove(exchange))
                return;
            exchange->ready = std::move(done);
            exchange->answered = true;
            exchange->suspended = false;
            self->resume(connection);
        });
    });
    return true;
}

SHttpRequest CWebServer::buildRequest(MHD_Connection *connection, SExchange *exchange) const
{
    SHttpRequest parsed;
    MHD_get_connection_values(connection, MHD_HEADER_KIND, &collectHeader, &parsed.headers);
    parsed.body = std::move(exchange->body);
    parsed.https = m_https;
    const MHD_ConnectionInfo *info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (info && info->client_addr) {
        QHostAddress peer(info->client_addr);
        bool mapped = false;
        const quint32 v4 = peer.toIPv4Address(&mapped);
        parsed.peer = mapped ? QHostAddress(v4).toString() : peer.toString();
    }
    return parsed;
}

bool CWebServer::answer(MHD_Connection *connection, SExchange *exchange, SHttpResponse response)
{
    MHD_Response *sent = nullptr;
    if (response.eventStream) {
        auto *stream = new SStream;
        stream->server = this;
        stream->connection = connection;
        stream->unsent = response.body;
        stream->dropped = m_stopping;
        const MHD_ConnectionInfo *socket
            = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        if (socket) {
            stream->hangUp = std::make_unique<QSocketNotifier>(socket->connect_fd, QSocketNotifier::Read);
            stream->hangUp->setEnabled(false);
            connect(stream->hangUp.get(), &QSocketNotifier::activated, this,
                    [this, stream] { streamHungUp(stream); });
        }
        m_streams.insert(stream);
        sent = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, StreamBlockBytes,
                                                 &SLibraryCallbacks::readStream, stream,
                                                 &SLibraryCallbacks::freeStream);
    } else if (response.chunks) {
        auto *source
            = new SChunkSource { std::move(response.chunks), response.body, 0, this, connection, false };
        sent = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, ChunkBlockBytes,
                                                 &SLibraryCallbacks::readChunks, source,
                                                 &SLibraryCallbacks::freeChunks);
    } else {
        sent = MHD_create_response_from_buffer(size_t(response.body.size()),
                                               const_cast<char *>(response.body.constData()),
                                               MHD_RESPMEM_MUST_COPY);
    }
    if (!sent)
        return false;
    for (const auto &header : qAsConst(response.headers))
        MHD_add_response_header(sent, header.first.constData(), header.second.constData());
    const bool queued = MHD_queue_response(connection, unsigned(response.status), sent) == MHD_YES;
    MHD_destroy_response(sent);
    Q_UNUSED(exchange)
    return queued;
}

void CWebServer::broadcast(const QByteArray &event)
{
    const QSet<SStream *> streams = m_streams;
    for (SStream *stream : streams)
        queueToStream(stream, event);
}

void CWebServer::queueToStream(SStream *stream, const QByteArray &bytes)
{
    if (stream->dropped)
        return;
    if (stream->pending() + bytes.size() > MaxUnsentBytes) {
        // A client that stops reading would otherwise hold ever more memory.
        stream->dropped = true;
        qCInfo(lcServer) << "event stream closed: over" << MaxUnsentBytes << "bytes unsent";
    } else {
        stream->unsent.append(bytes);
    }
    if (stream->suspended && !stream->toWake) {
        stream->toWake = true;
        m_toWake.append(stream);
        if (m_toWake.size() == 1)
            QTimer::singleShot(0, this, &CWebServer::wakeNextStream);
    }
}

// Writing to a stream costs tens of microseconds (on loopback the kernel
// delivers to the reader at once); ten streams woken together would make one
// pass of the library hold Modbus up for hundreds. So one stream is woken
// and written per pass of the event loop.
void CWebServer::wakeNextStream()
{
    if (m_toWake.isEmpty() || !m_daemon)
        return;
    // once in a row, so that other work cannot starve the streams
    if (m_giveWay.now([this] { return otherWorkWaiting(); })) {
        QTimer::singleShot(0, this, &CWebServer::wakeNextStream);
        return;
    }
    SStream *stream = m_toWake.takeFirst();
    stream->toWake = false;
    if (stream->suspended) {
        wakeStream(stream);
        run();
    }
    if (!m_toWake.isEmpty())
        QTimer::singleShot(0, this, &CWebServer::wakeNextStream);
}

void CWebServer::wakeStream(SStream *stream)
{
    stream->suspended = false;
    if (stream->hangUp)
        stream->hangUp->setEnabled(false);
    MHD_resume_connection(stream->connection);
}

// An event stream's client sends nothing after its request, so whatever it
// sends, its close included, ends the stream. The library does not watch a
// sleeping connection: without this a closed stream would hold its place, and
// its address's share of the limit, until a write to it failed, which with no
// events is the keep-alive's 15 s. A console reloaded a few times would then
// find its address full.
void CWebServer::streamHungUp(SStream *stream)
{
    stream->dropped = true;
    if (stream->toWake) {
        stream->toWake = false;
        m_toWake.removeOne(stream);
    }
    if (stream->suspended) {
        wakeStream(stream);
        runSoon();
    } else if (stream->hangUp) {
        stream->hangUp->setEnabled(false);
    }
}
