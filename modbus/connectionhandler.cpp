#include "modbus/connectionhandler.h"

#include "modbus/modbuslog.h"
#include "modbus/registersource.h"

#include <QHostAddress>

#include <cerrno>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

int CConnectionHandler::s_incompleteFrameTimeoutMs = 10000;
int CConnectionHandler::s_openConnections = 0;

CConnectionHandler::CConnectionHandler(uint16_t port, IRegisterSource &source, int descriptor,
                                       QObject *parent)
    : QObject(parent)
    , m_port(port)
    , m_source(source)
    , m_descriptor(descriptor)
{
    ++s_openConnections;
    // Requests are small and answered one by one; Nagle would hold each answer back.
    const int on = 1;
    ::setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    // Frames come and go whole; keeping the capacity saves an allocation each.
    m_buffer.reserve(512);
    m_interest = EPOLLIN;
    if (!CModbusPoller::instance().watch(descriptor, m_interest, this)) {
        m_interest = 0;
        closeNow();
    }
    m_incompleteTimer.setSingleShot(true);
    connect(&m_incompleteTimer, &QTimer::timeout, this, &CConnectionHandler::incompleteFrameTimeoutSlot);
}

CConnectionHandler::~CConnectionHandler()
{
    if (m_descriptor >= 0) {
        CModbusPoller::instance().unwatch(m_descriptor);
        ::close(m_descriptor);
    }
    --s_openConnections;
}

int CConnectionHandler::openConnections()
{
    return s_openConnections;
}

void CConnectionHandler::descriptorReady(uint32_t events)
{
    if ((events & EPOLLOUT) != 0)
        flushQueued();
    if (m_descriptor < 0)
        return;
    if ((events & EPOLLIN) != 0) {
        serve();
    } else if ((events & (EPOLLERR | EPOLLHUP)) != 0) {
        // reported even while this side does not read: the peer is gone for good
        closeNow();
    }
}

// One pass: take in what the peer sent, answer up to RequestsPerPass frames
// with one send, and arrange for the rest.
void CConnectionHandler::serve()
{
    // A throttled peer's new bytes wait for the pause to end.
    if (m_throttled || m_descriptor < 0)
        return;
    m_continuationPosted = false;
    if (m_queued.size() > MaxQueuedAnswerBytes) {
        // Not reading is our choice here, so a frame left half-read is not the peer's fault.
        m_paused = true;
        setReading(false);
        m_incompleteTimer.stop();
        return;
    }
    const bool received = receive();
    // A resumed pass with nothing new and nothing whole waiting has nothing to
    // report either.
    if (!received && !Modbus::canProceed(m_buffer)) {
        if (m_peerGone)
            closeNow();
        return;
    }
    QByteArray answers;
    const Modbus::SFramingResult result = Modbus::processBuffer(
        m_buffer, answers,
        [this](uint8_t unitId, uint16_t start, uint16_t quantity, uint16_t *out) {
            return readRegisters(unitId, start, quantity, out);
        },
        [this](const QString &line) { logLimited(line); }, RequestsPerPass,
        [this](uint8_t unitId, Modbus::IdentityObjects *objects) {
            return m_source.identify(m_port, unitId, objects);
        });
    if (!answers.isEmpty())
        send(answers);
    const bool more = Modbus::canProceed(m_buffer);
    if (result.close || (m_peerGone && !more)) {
        closeNow();
        return;
    }
    if (more && (result.frames == RequestsPerPass || m_peerGone)) {
        // A pass that was all junk waits a little: dropping a flood frame by
        // frame would otherwise keep the event loop spinning for that peer.
        if (answers.isEmpty())
            continueAfter(JunkPauseMs);
        else
            continueLater();
    }
    watchIncompleteFrame(result.frames > 0);
}

// Reads what the kernel holds, up to MaxPendingRequestBytes; a short read
// means the socket is drained. Returns whether anything arrived.
bool CConnectionHandler::receive()
{
    char chunk[4096];
    bool received = false;
    while (!m_peerGone && (m_buffer.size() < MaxPendingRequestBytes || !Modbus::canProceed(m_buffer))) {
        const ssize_t got = ::recv(m_descriptor, chunk, sizeof(chunk), MSG_DONTWAIT);
        if (got > 0) {
            received = true;
            m_buffer.append(chunk, int(got));
            if (got < ssize_t(sizeof(chunk)))
                break;
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            // end of stream or a broken connection: what is buffered is still answered
            m_peerGone = true;
            setReading(false);
        }
        break;
    }
    return received;
}

// Never waits for the peer: what the kernel does not take at once is queued
// and sent as the socket drains, so a slow reader stalls nobody.
void CConnectionHandler::send(const QByteArray &answers)
{
    qint64 sent = 0;
    if (m_queued.isEmpty()) {
        ssize_t n = -1;
        do {
            n = ::send(m_descriptor, answers.constData(), size_t(answers.size()),
                       MSG_NOSIGNAL | MSG_DONTWAIT);
        } while (n < 0 && errno == EINTR);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            m_peerGone = true;
            setReading(false);
            return;
        }
        sent = n > 0 ? n : 0;
        if (sent > 0)
            CModbusPoller::instance().noteAnswered();
    }
    if (sent < answers.size()) {
        m_queued.append(answers.constData() + sent, int(answers.size() - sent));
        setWriting(true);
    }
}

void CConnectionHandler::flushQueued()
{
    while (!m_queued.isEmpty()) {
        const ssize_t n = ::send(m_descriptor, m_queued.constData(), size_t(m_queued.size()),
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            m_queued.remove(0, int(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        closeNow();
        return;
    }
    if (m_queued.isEmpty())
        setWriting(false);
    // A client that stops reading its answers is not read from either, until
    // they drain.
    if (m_paused && m_queued.size() <= MaxQueuedAnswerBytes / 2) {
        m_paused = false;
        setReading(true);
        continueLater();
    }
}

// Readiness is reported for as long as bytes wait, so reading is off while
// the connection chooses not to read.
void CConnectionHandler::setReading(bool on)
{
    m_reading = on;
    updateInterest();
}

void CConnectionHandler::setWriting(bool on)
{
    m_writing = on;
    updateInterest();
}

void CConnectionHandler::updateInterest()
{
    if (m_descriptor < 0)
        return;
    const uint32_t interest
        = (m_reading && !m_peerGone ? uint32_t(EPOLLIN) : 0u) | (m_writing ? uint32_t(EPOLLOUT) : 0u);
    if (interest != m_interest) {
        m_interest = interest;
        CModbusPoller::instance().change(m_descriptor, interest);
    }
}

// A peer that leaves a frame unfinished would hold its descriptor for ever;
// one that sends nothing at all is an idle master and keeps its connection.
void CConnectionHandler::watchIncompleteFrame(bool progressed)
{
    if (m_buffer.isEmpty() || Modbus::canProceed(m_buffer)) {
        m_incompleteTimer.stop();
        return;
    }
    if (progressed || !m_incompleteTimer.isActive())
        m_incompleteTimer.start(s_incompleteFrameTimeoutMs);
}

void CConnectionHandler::incompleteFrameTimeoutSlot()
{
    logLimited(
        QStringLiteral("WARNING: [CConnectionHandler] Frame incomplete for more than [%1] ms. Connection "
                       "closed")
            .arg(s_incompleteFrameTimeoutMs));
    closeNow();
}

// Answers already handed over stay with the kernel, which still sends them.
void CConnectionHandler::closeNow()
{
    if (m_descriptor < 0)
        return;
    m_incompleteTimer.stop();
    CModbusPoller::instance().unwatch(m_descriptor);
    m_buffer.clear();
    m_queued.clear();
    ::close(m_descriptor);
    m_descriptor = -1;
    deleteLater();
}

QHostAddress CConnectionHandler::peerAddress() const
{
    sockaddr_storage address {};
    socklen_t length = sizeof(address);
    if (m_descriptor < 0 || ::getpeername(m_descriptor, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return QHostAddress();
    return QHostAddress(reinterpret_cast<const sockaddr *>(&address));
}

// What a peer's bytes make us write is bounded per connection.
void CConnectionHandler::logLimited(const QString &line)
{
    if (m_logLimiter.origin().isEmpty()) {
        sockaddr_storage address {};
        socklen_t length = sizeof(address);
        QHostAddress peer;
        quint16 peerPort = 0;
        if (::getpeername(m_descriptor, reinterpret_cast<sockaddr *>(&address), &length) == 0) {
            peer = QHostAddress(reinterpret_cast<const sockaddr *>(&address));
            peerPort = address.ss_family == AF_INET6
                ? ntohs(reinterpret_cast<const sockaddr_in6 *>(&address)->sin6_port)
                : ntohs(reinterpret_cast<const sockaddr_in *>(&address)->sin_port);
        }
        // IPv4 peers reach the dual-stack listener as mapped IPv6 addresses
        bool isIpv4 = false;
        const quint32 ipv4 = peer.toIPv4Address(&isIpv4);
        m_logLimiter.setOrigin(QStringLiteral("[CConnectionHandler] Peer [%1:%2] on port [%3]:")
                                   .arg(isIpv4 ? QHostAddress(ipv4).toString() : peer.toString())
                                   .arg(peerPort)
                                   .arg(m_port));
    }
    m_logLimiter.log(line);
}

void CConnectionHandler::setIncompleteFrameTimeout(int milliseconds)
{
    s_incompleteFrameTimeoutMs = milliseconds;
}

// The rest of a pipeline is taken on a later pass of the event loop, after
// the other sockets had their turn.
void CConnectionHandler::continueLater()
{
    if (m_continuationPosted)
        return;
    m_continuationPosted = true;
    QMetaObject::invokeMethod(this, &CConnectionHandler::serve, Qt::QueuedConnection);
}

void CConnectionHandler::continueAfter(int milliseconds)
{
    if (m_continuationPosted)
        return;
    m_continuationPosted = true;
    m_throttled = true;
    setReading(false);
    QTimer::singleShot(milliseconds, this, [this] {
        m_throttled = false;
        setReading(true);
        serve();
    });
}

QByteArray CConnectionHandler::getAnswerDataSlot(SModbusMBAP _mbap, SModbusTcpPacketHeader _header,
                                                 QMap<uint16_t, uint16_t> _data)
{
    return Modbus::buildReadAnswer(_mbap, _header, _data);
}

uint8_t CConnectionHandler::readRegisters(uint8_t unitId, uint16_t start, uint16_t quantity, uint16_t *out)
{
    qCDebug(lcModbus).noquote() << QStringLiteral(
                                       "[CConnectionHandler] Request [%1] registers beginning from [%2]")
                                       .arg(quantity)
                                       .arg(start);
    return m_source.readRegisters(m_port, unitId, start, quantity, out);
}
