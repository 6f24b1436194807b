#include "modbus/connectionhandler.h"

#include "modbus/modbuslog.h"
#include "modbus/registersource.h"

#include <QHostAddress>

#ifdef Q_OS_UNIX
#include <sys/socket.h>
#endif

int CConnectionHandler::s_incompleteFrameTimeoutMs = 10000;
int CConnectionHandler::s_openConnections = 0;

CConnectionHandler::CConnectionHandler(uint16_t port, IRegisterSource &source)
    : m_port(port)
    , m_source(source)
{
    ++s_openConnections;
    setReadBufferSize(MaxPendingRequestBytes);
    m_incompleteTimer.setSingleShot(true);
    connect(&m_incompleteTimer, &QTimer::timeout, this, &CConnectionHandler::incompleteFrameTimeoutSlot);
    connect(this, &QTcpSocket::readyRead, this, &CConnectionHandler::readyReadSlot);
    connect(this, &QTcpSocket::disconnected, this, &CConnectionHandler::disconnectedSlot);
    // A client that stops reading its answers is not read from either, until
    // they drain.
    connect(this, &QTcpSocket::bytesWritten, this, [this] {
        if (m_paused && bytesToWrite() <= MaxQueuedAnswerBytes / 2) {
            m_paused = false;
            continueLater();
        }
    });
}

CConnectionHandler::~CConnectionHandler()
{
    // Closing the socket below this class would still signal the slots of
    // this part, which is gone by then.
    QObject::disconnect(this, nullptr, this, nullptr);
    abort();
    --s_openConnections;
}

int CConnectionHandler::openConnections()
{
    return s_openConnections;
}

void CConnectionHandler::readyReadSlot()
{
    // A throttled peer's new bytes wait for the pause to end.
    if (m_throttled)
        return;
    m_continuationPosted = false;
    if (!isOpen())
        return;
    if (bytesToWrite() > MaxQueuedAnswerBytes) {
        // Not reading is our choice here, so a frame left half-read is not the peer's fault.
        m_paused = true;
        m_incompleteTimer.stop();
        return;
    }
    // Straight into the frame buffer; a short read means the socket is drained.
    char chunk[4096];
    bool received = false;
    while (m_buffer.size() < MaxPendingRequestBytes || !Modbus::canProceed(m_buffer)) {
        const qint64 got = read(chunk, sizeof(chunk));
        if (got <= 0)
            break;
        received = true;
        m_buffer.append(chunk, int(got));
        if (got < qint64(sizeof(chunk)))
            break;
    }
    // A resumed pass with nothing new and nothing whole waiting has nothing to
    // report either.
    if (!received && !Modbus::canProceed(m_buffer))
        return;
    QByteArray answers;
    const Modbus::SFramingResult result = Modbus::processBuffer(
        m_buffer, answers,
        [this](uint16_t start, uint16_t quantity, uint16_t *out) {
            return readRegisters(start, quantity, out);
        },
        [this](const QString &line) { logLimited(line); }, RequestsPerPass);
    // Never wait for the peer: what the kernel does not take at once stays
    // queued on the socket for the event loop, so a slow reader stalls nobody.
    if (!answers.isEmpty()) {
        const qint64 sent = sendNow(answers);
        if (sent < answers.size())
            write(answers.constData() + sent, answers.size() - sent);
    }
    if (result.close) {
        closeNow();
        return;
    }
    if (result.frames == RequestsPerPass && Modbus::canProceed(m_buffer)) {
        // A pass that was all junk waits a little: dropping a flood frame by
        // frame would otherwise keep the event loop spinning for that peer.
        if (answers.isEmpty())
            continueAfter(JunkPauseMs);
        else
            continueLater();
    }
    watchIncompleteFrame(result.frames > 0);
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
    m_incompleteTimer.stop();
    m_buffer.clear();
    abort();
    deleteLater();
}

// What a peer's bytes make us write is bounded per connection.
void CConnectionHandler::logLimited(const QString &line)
{
    if (m_logLimiter.origin().isEmpty()) {
        // IPv4 peers reach the dual-stack listener as mapped IPv6 addresses
        bool isIpv4 = false;
        const quint32 ipv4 = peerAddress().toIPv4Address(&isIpv4);
        const QString peer = isIpv4 ? QHostAddress(ipv4).toString() : peerAddress().toString();
        m_logLimiter.setOrigin(QStringLiteral("[CConnectionHandler] Peer [%1:%2] on port [%3]:")
                                   .arg(peer)
                                   .arg(peerPort())
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
    QMetaObject::invokeMethod(this, &CConnectionHandler::readyReadSlot, Qt::QueuedConnection);
}

void CConnectionHandler::continueAfter(int milliseconds)
{
    if (m_continuationPosted)
        return;
    m_continuationPosted = true;
    m_throttled = true;
    QTimer::singleShot(milliseconds, this, [this] {
        m_throttled = false;
        readyReadSlot();
    });
}

// Qt's write path arms and then disarms a write notifier for every answer,
// two extra wake-ups of the event loop per request. While nothing is queued
// on the socket, the answer goes straight to the descriptor instead.
qint64 CConnectionHandler::sendNow(const QByteArray &data)
{
#ifdef Q_OS_UNIX
    if (bytesToWrite() > 0)
        return 0;
    const ssize_t sent = ::send(static_cast<int>(socketDescriptor()), data.constData(), size_t(data.size()),
                                MSG_NOSIGNAL | MSG_DONTWAIT);
    return sent > 0 ? qint64(sent) : 0;
#else
    Q_UNUSED(data)
    return 0;
#endif
}

void CConnectionHandler::disconnectedSlot()
{
    deleteLater();
}

QByteArray CConnectionHandler::getAnswerDataSlot(SModbusMBAP _mbap, SModbusTcpPacketHeader _header,
                                                 QMap<uint16_t, uint16_t> _data)
{
    return Modbus::buildReadAnswer(_mbap, _header, _data);
}

uint8_t CConnectionHandler::readRegisters(uint16_t start, uint16_t quantity, uint16_t *out)
{
    qCDebug(lcModbus).noquote() << QStringLiteral(
                                       "[CConnectionHandler] Request [%1] registers beginning from [%2]")
                                       .arg(quantity)
                                       .arg(start);
    return m_source.readRegisters(m_port, start, quantity, out);
}
