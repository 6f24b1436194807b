#include "modbus/devicehandler.h"

#include "app/logfile.h"
#include "modbus/connectionhandler.h"
#include "modbus/modbusconfig.h"
#include "modbus/modbuslog.h"
#include "modbus/modbusstats.h"

#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QTimer>

#include <cerrno>
#include <cstring>

#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int s_openListeners = 0;
quint64 s_refusedConnections = 0;

// Connections refused by [modbus] allow since the last line about the
// address, and when that line was written.
struct SRefusalLog
{
    qint64 loggedAtMs = 0;
    quint64 leftOut = 0;
};

QElapsedTimer &refusalClock()
{
    static QElapsedTimer clock;
    if (!clock.isValid())
        clock.start();
    return clock;
}

// One line a minute per address at most: a client retrying in a loop must not fill the log.
void logRefusal(uint16_t port, const QString &address)
{
    static QHash<QString, SRefusalLog> lastLines;
    const qint64 now = refusalClock().elapsed();
    const auto it = lastLines.find(address);
    if (it != lastLines.end() && now - it->loggedAtMs < 60000) {
        ++it->leftOut;
        return;
    }
    const quint64 leftOut = it == lastLines.end() ? 0 : it->leftOut;
    // Forget addresses that have been quiet for a minute, so the table stays small.
    for (auto old = lastLines.begin(); old != lastLines.end();)
        old = now - old->loggedAtMs >= 60000 ? lastLines.erase(old) : std::next(old);
    lastLines.insert(address, { now, 0 });
    QString line = QStringLiteral("WARNING: [CDeviceHandler] Port [%1]: connection from [%2] is not in "
                                  "[modbus] allow; closed")
                       .arg(port)
                       .arg(address);
    if (leftOut > 0)
        line += QStringLiteral(" (%1 more from it in the last minute)").arg(leftOut);
    addLog(line);
}

// The kernel's ceiling for listen backlogs (net.core.somaxconn).
int systemMaxBacklog()
{
    QFile file(QStringLiteral("/proc/sys/net/core/somaxconn"));
    bool ok = false;
    int value = 0;
    if (file.open(QIODevice::ReadOnly))
        value = file.readAll().trimmed().toInt(&ok);
    return ok && value > 0 ? value : SOMAXCONN;
}

QString errnoText(int error)
{
    return QString::fromLocal8Bit(strerror(error));
}

} // namespace

CDeviceHandler::CDeviceHandler(uint16_t port, IRegisterSource &source, const SModbusConfig &config)
    : m_port(port)
    , m_source(source)
    , m_config(config)
{
    if (!openSocket(port)) {
        addLog(QStringLiteral("WARNING: [CDeviceHandler] Port [%1] is not opened: %2")
                   .arg(port)
                   .arg(m_listenError));
        return;
    }
    ++s_openListeners;
    // Port 0 lets the system pick one; the listener then serves the port it got.
    if (port == 0) {
        sockaddr_storage address {};
        socklen_t length = sizeof(address);
        ::getsockname(m_descriptor, reinterpret_cast<sockaddr *>(&address), &length);
        m_port = ntohs(address.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&address)->sin6_port
                                                     : reinterpret_cast<sockaddr_in *>(&address)->sin_port);
    }
}

// Its connections, children of the listener, go with it.
CDeviceHandler::~CDeviceHandler()
{
    close();
}

void CDeviceHandler::close()
{
    if (m_descriptor < 0)
        return;
    if (m_accepting)
        CModbusPoller::instance().unwatch(m_descriptor);
    m_accepting = false;
    ::close(m_descriptor);
    m_descriptor = -1;
    --s_openListeners;
}

QHostAddress CDeviceHandler::serverAddress() const
{
    sockaddr_storage address {};
    socklen_t length = sizeof(address);
    if (m_descriptor < 0 || ::getsockname(m_descriptor, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return QHostAddress();
    QHostAddress result(reinterpret_cast<const sockaddr *>(&address));
    // the dual-stack socket of "all interfaces"
    if (result == QHostAddress(QHostAddress::AnyIPv6))
        return QHostAddress(QHostAddress::Any);
    return result;
}

int CDeviceHandler::openListeners()
{
    return s_openListeners;
}

quint64 CDeviceHandler::refusedConnections()
{
    return s_refusedConnections;
}

int CDeviceHandler::setAllowList(const SModbusConfig &config)
{
    m_config.restricted = config.restricted;
    m_config.allow = config.allow;

    int closed = 0;
    const auto connections = findChildren<CConnectionHandler *>(QString(), Qt::FindDirectChildrenOnly);
    for (CConnectionHandler *connection : connections) {
        const QHostAddress peer = connection->peerAddress();
        if (peer.isNull() || Modbus::isAllowed(m_config, peer))
            continue;
        addLog(QStringLiteral("INFO: [CDeviceHandler] Port [%1]: connection from [%2] is no longer in "
                              "[modbus] allow; closed")
                   .arg(m_port)
                   .arg(peerText(peer)));
        connection->close();
        ++closed;
    }
    return closed;
}

QString CDeviceHandler::peerText(const QHostAddress &peer)
{
    bool isIpv4 = false;
    const quint32 ipv4 = peer.toIPv4Address(&isIpv4);
    return isIpv4 ? QHostAddress(ipv4).toString() : peer.toString();
}

// The backlog is the system's maximum: a crowd of clients connecting at once
// would overflow a small one (QTcpServer's is 50).
bool CDeviceHandler::openSocket(uint16_t port)
{
    const QHostAddress address = m_config.bindAddress;
    sockaddr_storage storage {};
    socklen_t length = 0;
    int family = AF_INET6;
    const bool any = address == QHostAddress(QHostAddress::Any);
    if (any || address.protocol() == QAbstractSocket::IPv6Protocol) {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(&storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        if (!any) {
            const Q_IPV6ADDR bytes = address.toIPv6Address();
            memcpy(&in6->sin6_addr, bytes.c, sizeof(bytes.c));
            in6->sin6_scope_id = address.scopeId().toUInt();
        }
        length = sizeof(sockaddr_in6);
    } else {
        family = AF_INET;
        auto *in4 = reinterpret_cast<sockaddr_in *>(&storage);
        in4->sin_family = AF_INET;
        in4->sin_port = htons(port);
        in4->sin_addr.s_addr = htonl(address.toIPv4Address());
        length = sizeof(sockaddr_in);
    }

    int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0 && any && errno == EAFNOSUPPORT) {
        // no IPv6 on this machine: every IPv4 interface instead
        auto *in4 = reinterpret_cast<sockaddr_in *>(&storage);
        storage = {};
        in4->sin_family = AF_INET;
        in4->sin_port = htons(port);
        in4->sin_addr.s_addr = htonl(INADDR_ANY);
        length = sizeof(sockaddr_in);
        family = AF_INET;
        fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    }
    if (fd < 0) {
        m_listenError = errnoText(errno);
        return false;
    }
    const int on = 1;
    const int off = 0;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    if (family == AF_INET6 && any)
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof(off));
    if (::bind(fd, reinterpret_cast<sockaddr *>(&storage), length) != 0
        || ::listen(fd, systemMaxBacklog()) != 0) {
        m_listenError = errnoText(errno);
        ::close(fd);
        return false;
    }
    if (!CModbusPoller::instance().watch(fd, EPOLLIN, this)) {
        m_listenError = errnoText(errno);
        ::close(fd);
        return false;
    }
    m_descriptor = fd;
    m_accepting = true;
    return true;
}

// One bound for the lines that a crowd of clients causes on all listeners.
CLogLimiter &CDeviceHandler::overloadLog()
{
    // never destroyed: a summary written during exit would find no log
    static auto *limiter = new CLogLimiter(QStringLiteral("[CDeviceHandler] Listeners:"));
    return *limiter;
}

// Takes the connections waiting, a bounded number per pass so that the
// clients already connected are served in between.
void CDeviceHandler::descriptorReady(uint32_t events)
{
    Q_UNUSED(events)
    for (int taken = 0; taken < AcceptsPerPass && m_accepting; ++taken) {
        sockaddr_storage peer {};
        socklen_t length = sizeof(peer);
        const int fd = ::accept4(m_descriptor, reinterpret_cast<sockaddr *>(&peer), &length,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            if (m_config.restricted
                && !Modbus::isAllowed(m_config, QHostAddress(reinterpret_cast<const sockaddr *>(&peer)))) {
                ::close(fd);
                ++s_refusedConnections;
                logRefusal(m_port, peerText(QHostAddress(reinterpret_cast<const sockaddr *>(&peer))));
                continue;
            }
            incomingConnection(fd);
            continue;
        }
        const int error = errno;
        if (error == EINTR || error == ECONNABORTED || error == EPROTO)
            continue;
        if (error != EAGAIN && error != EWOULDBLOCK)
            acceptFailed(error);
        break;
    }
}

void CDeviceHandler::incomingConnection(int socketDescriptor)
{
    const int limit = Modbus::effectiveMaxConnections(m_config.maxConnections);
    if (CConnectionHandler::openConnections() >= limit) {
        ::close(socketDescriptor);
        Modbus::statistics().rejectedConnections.fetch_add(1, std::memory_order_relaxed);
        overloadLog().log(
            QStringLiteral("WARNING: [CDeviceHandler] Port [%1]: %2 Modbus connections are open, "
                           "the limit; a new connection is closed")
                .arg(m_port)
                .arg(limit));
        return;
    }
    // Deleted once the peer disconnects, or with the listener: a connection
    // must not outlive the register source the listener was given.
    new CConnectionHandler(m_port, m_source, socketDescriptor, this);
}

// Out of descriptors, the connection waiting cannot be taken and the listener
// would be reported ready again at once: accepting pauses instead, the
// clients already connected go on being served, and it resumes shortly.
void CDeviceHandler::acceptFailed(int error)
{
    overloadLog().log(QStringLiteral("ERROR: [CDeviceHandler] Port [%1]: cannot accept a connection (%2): %3")
                          .arg(m_port)
                          .arg(error)
                          .arg(errnoText(error)));
    CModbusPoller::instance().unwatch(m_descriptor);
    m_accepting = false;
    QTimer::singleShot(AcceptRetryMs, this, [this] {
        if (m_descriptor < 0 || m_accepting)
            return;
        m_accepting = CModbusPoller::instance().watch(m_descriptor, EPOLLIN, this);
    });
}
