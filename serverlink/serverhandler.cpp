#include "serverlink/serverhandler.h"

#include "app/constants.h"
#include "app/freedmemory.h"
#include "app/logfile.h"
#include "serverlink/jsonguard.h"

#include <QDebug>
#include <QJsonDocument>

#include <algorithm>

CServerHandler::CServerHandler(QObject *parent)
    : QObject(parent)
    , m_waitTimer(this)
    , m_socket(QString(), QWebSocketProtocol::Version13, this)
    , m_handshakeTimer(this)
    , m_openTimer(this)
    , m_pingTimer(this)
    , m_pongTimer(this)
    , m_reconnectTimer(this)
{
    API::registerMetaTypes();
    m_waitTimer.setSingleShot(true);
    m_handshakeTimer.setSingleShot(true);
    m_reconnectTimer.setSingleShot(true);
    connect(&m_reconnectTimer, &QTimer::timeout, this, &CServerHandler::reconnectNow);
    m_openTimer.setSingleShot(true);
    connect(&m_openTimer, &QTimer::timeout, this, &CServerHandler::openTimeoutSlot);
    m_pingTimer.setObjectName(QStringLiteral("keepAlive"));
    m_pingTimer.setInterval(30000);
    connect(&m_pingTimer, &QTimer::timeout, this, &CServerHandler::sendKeepAlive);
    m_pongTimer.setSingleShot(true);
    connect(&m_pongTimer, &QTimer::timeout, this, &CServerHandler::keepAliveTimeoutSlot);
    connect(&m_socket, &QWebSocket::pong, &m_pongTimer, &QTimer::stop);
    // A message past the cap is never buffered: Qt closes the link with 1009.
    m_socket.setMaxAllowedIncomingMessageSize(quint64(MaxMessageBytes));
    m_socket.setMaxAllowedIncomingFrameSize(quint64(MaxMessageBytes));
    m_socket.setReadBufferSize(ReadSliceBytes);

    connect(&m_socket, &QWebSocket::connected, this, &CServerHandler::socketConnectedSlot);
    connect(&m_socket, &QWebSocket::disconnected, this, &CServerHandler::socketDisconnectedSlot);
    connect(&m_socket, &QWebSocket::textMessageReceived, this, &CServerHandler::textMessageReceivedSlot);
    connect(&m_socket, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), this,
            &CServerHandler::socketErrorSlot);
#ifndef QT_NO_SSL
    connect(&m_socket, &QWebSocket::sslErrors, this, &CServerHandler::sslErrorsSlot);
#endif
    connect(&m_handshakeTimer, &QTimer::timeout, this, &CServerHandler::timeoutSlot);
    connect(&m_waitTimer, &QTimer::timeout, this, &CServerHandler::waitingServerResponseTimeoutSlot);
    connect(this, &CServerHandler::newTask, this, &CServerHandler::newTaskSlot, Qt::QueuedConnection);
}

CServerHandler::~CServerHandler()
{
    // A mutex must not be destroyed while locked.
    releaseWaiting();
    m_socket.disconnect(this);
    m_socket.abort();
}

void CServerHandler::setTimeoutsForTesting(int handshakeMs, int responseMs)
{
    m_handshakeMs = handshakeMs;
    m_responseMs = responseMs;
}

void CServerHandler::setKeepAliveForTesting(int intervalMs, int timeoutMs)
{
    m_pingTimer.setInterval(intervalMs);
    m_pongMs = timeoutMs;
}

void CServerHandler::setReconnectEnabled(bool enabled)
{
    m_reconnect = enabled;
    if (!enabled)
        m_reconnectTimer.stop();
}

void CServerHandler::setBackoffForTesting(int firstMs, int maxMs)
{
    m_firstDelayMs = firstMs;
    m_maxDelayMs = maxMs;
}

bool CServerHandler::addTrustedCaFile(const QString &path)
{
#ifndef QT_NO_SSL
    const QList<QSslCertificate> certificates = QSslCertificate::fromPath(path, QSsl::Pem);
    if (certificates.isEmpty()) {
        addLog(
            QStringLiteral("ERROR: [CServerHandler] CA file [%1] holds no readable certificate").arg(path));
        return false;
    }
    QSslConfiguration configuration = m_socket.sslConfiguration();
    configuration.setCaCertificates(configuration.caCertificates() + certificates);
    m_socket.setSslConfiguration(configuration);
    return true;
#else
    addLog(QStringLiteral("ERROR: [CServerHandler] CA file [%1] given, but TLS is not available").arg(path));
    return false;
#endif
}

void CServerHandler::connectSlot(QString _origin, QString _login, QString _password)
{
    // The operator (or a restart of the service) asked: a fresh start, whatever
    // stopped the retries before. The old socket goes quietly, so its
    // disconnection is not taken for a lost link.
    m_reconnectTimer.stop();
    m_handshakeTimer.stop();
    m_openTimer.stop();
    stopKeepAlive();
    m_halted = false;
    m_attempt = 0;
    m_state = STATE_NONE;
    m_socket.blockSignals(true);
    m_socket.abort();
    m_socket.blockSignals(false);
    setStatus(COMM::DISCONNECTED);

    const QUrl url(_origin, QUrl::TolerantMode);
    if (!url.isValid()) {
        addLog(QStringLiteral("[CServerHandler::connectSlot] Invalid input URL [%1]").arg(_origin));
        return;
    }
    m_url = url;
    m_login = _login;
    m_password = _password;
    openSocket();
}

void CServerHandler::openSocket()
{
    m_readBoundRaised = false;
    m_socket.setReadBufferSize(ReadSliceBytes);
    m_socket.open(m_url);
    // Queued, so it runs after the WebSocket has taken the complete messages
    // out of what this read brought.
    if (QAbstractSocket *socket = transport())
        connect(socket, &QIODevice::readyRead, this, &CServerHandler::readSliceTakenSlot,
                Qt::ConnectionType(Qt::QueuedConnection | Qt::UniqueConnection));
    m_openTimer.start(m_openMs);
}

QAbstractSocket *CServerHandler::transport() const
{
    // The newest one: a replaced socket may still wait for its deletion.
    const QList<QAbstractSocket *> sockets
        = m_socket.findChildren<QAbstractSocket *>(QString(), Qt::FindDirectChildrenOnly);
    return sockets.isEmpty() ? nullptr : sockets.last();
}

qint64 CServerHandler::readBoundForTesting() const
{
    const QAbstractSocket *socket = transport();
    return socket ? socket->readBufferSize() : 0;
}

void CServerHandler::readSliceTakenSlot()
{
    auto *socket = qobject_cast<QAbstractSocket *>(sender());
    if (!socket || socket != transport())
        return;
    const qint64 bound = socket->readBufferSize();
    if (bound <= 0)
        return;
    if (socket->bytesAvailable() < bound) {
        // A socket that found its buffer full stops watching for data until
        // its buffer is read empty, which the start of a message left behind
        // prevents: setting the bound again lets it read on.
        socket->setReadBufferSize(bound + 1);
        socket->setReadBufferSize(bound);
        return;
    }
    // Still full after the WebSocket took every complete message: it holds
    // the start of one larger than the bound, which must fit to be read.
    if (bound > MaxMessageBytes)
        return;
    m_readBoundRaised = true;
    // Frame headers come on top of the largest message allowed.
    m_socket.setReadBufferSize(std::min(bound * 4, MaxMessageBytes + 64));
}

void CServerHandler::openTimeoutSlot()
{
    if (m_socket.state() == QAbstractSocket::ConnectedState)
        return;
    addLog(QStringLiteral("WARNING: [CServerHandler] The server did not complete the WebSocket opening "
                          "handshake in [%1] s")
               .arg(m_openMs / 1000.0));
    m_socket.blockSignals(true);
    m_socket.abort();
    m_socket.blockSignals(false);
    m_state = STATE_NONE;
    setStatus(COMM::DISCONNECTED);
    linkFailed();
}

void CServerHandler::sendKeepAlive()
{
    // One ping in flight at a time; its own timer decides.
    if (m_pongTimer.isActive())
        return;
    m_socket.ping();
    m_pongTimer.start(m_pongMs);
}

void CServerHandler::keepAliveTimeoutSlot()
{
    dropLink(QStringLiteral("No answer to the keep-alive ping for [%1] s").arg(m_pongMs / 1000.0));
}

void CServerHandler::stopKeepAlive()
{
    m_pingTimer.stop();
    m_pongTimer.stop();
}

void CServerHandler::dropLink(const QString &reason)
{
    addLog(QStringLiteral("WARNING: [CServerHandler] %1: the link is lost").arg(reason));
    stopKeepAlive();
    m_handshakeTimer.stop();
    m_socket.blockSignals(true);
    m_socket.abort();
    m_socket.blockSignals(false);
    m_state = STATE_NONE;
    setStatus(COMM::DISCONNECTED);
    linkFailed();
}

void CServerHandler::setStatus(COMM::EServerStatus status)
{
    if (m_lastStatus != status) {
        m_lastStatus = status;
        addLog(QStringLiteral("[CServerHandler] Server status: %1")
                   .arg(QLatin1String(COMM::statusText(status))));
    }
    emit changeServerStatus(status);
}

void CServerHandler::linkFailed()
{
    if (!m_reconnect || m_halted || m_reconnectTimer.isActive() || !m_url.isValid())
        return;
    m_handshakeTimer.stop();
    m_openTimer.stop();
    stopKeepAlive();
    m_state = STATE_NONE;
    m_socket.blockSignals(true);
    m_socket.abort();
    m_socket.blockSignals(false);
    ++m_attempt;
    int delay = m_firstDelayMs;
    for (int i = 1; i < m_attempt && delay < m_maxDelayMs; ++i)
        delay *= 2;
    delay = std::min(delay, m_maxDelayMs);
    addLog(QStringLiteral("INFO: [CServerHandler] Reconnect attempt [%1] in [%2] s")
               .arg(m_attempt)
               .arg(delay / 1000.0));
    m_reconnectTimer.start(delay);
    emit reconnectScheduled(m_attempt, delay);
}

void CServerHandler::halt(const QString &reason)
{
    if (m_halted)
        return;
    m_halted = true;
    m_reconnectTimer.stop();
    addLog(QStringLiteral("WARNING: [CServerHandler] %1. Not retried until the next connect").arg(reason));
}

void CServerHandler::reconnectNow()
{
    if (m_halted || !m_url.isValid())
        return;
    m_state = STATE_NONE;
    openSocket();
}

void CServerHandler::socketConnectedSlot()
{
    m_openTimer.stop();
    m_state = STATE_PING;
    m_socket.sendTextMessage(QString::fromUtf8(API::buildProbeMessage()));
    setStatus(COMM::PING_WAITING);
    m_handshakeTimer.start(m_handshakeMs);
}

void CServerHandler::socketDisconnectedSlot()
{
    stopKeepAlive();
    m_openTimer.stop();
    const QWebSocketProtocol::CloseCode closeCode = m_socket.closeCode();
    if (closeCode == QWebSocketProtocol::CloseCodeTooMuchData) {
        addLog(
            QStringLiteral("WARNING: [CServerHandler] A server message larger than [%1] bytes was refused; "
                           "the link is closed with code 1009")
                .arg(MaxMessageBytes));
        // What the refused message took (up to the cap) goes back once the
        // closed socket and its buffers are gone: when the link is up again
        // (which replaces the socket), or in a second without reconnecting.
        m_releaseAfterLogin = true;
        QTimer::singleShot(1000, this, [] { releaseFreedMemory(); });
    } else if (closeCode != QWebSocketProtocol::CloseCodeNormal)
        addLog(QStringLiteral("[CServerHandler] The link is closed with code %1 [%2]")
                   .arg(int(closeCode))
                   .arg(m_socket.closeReason()));
    m_state = STATE_NONE;
    setStatus(COMM::DISCONNECTED);
    linkFailed();
}

void CServerHandler::socketErrorSlot(QAbstractSocket::SocketError error)
{
    addLog(QStringLiteral("[CServerHandler] Socket error: %1").arg(m_socket.errorString()));
    if (error == QAbstractSocket::SslHandshakeFailedError
        || error == QAbstractSocket::SslInvalidUserDataError)
        halt(QStringLiteral("TLS handshake failed"));
    // A connection that never opened reports no disconnection of its own.
    if (m_socket.state() == QAbstractSocket::UnconnectedState)
        linkFailed();
}

#ifndef QT_NO_SSL
void CServerHandler::sslErrorsSlot(const QList<QSslError> &errors)
{
    for (const QSslError &error : errors)
        addLog(QStringLiteral("[CServerHandler] TLS error: %1").arg(error.errorString()));
    halt(QStringLiteral("The server's certificate is not trusted"));
}
#endif

void CServerHandler::timeoutSlot()
{
    m_handshakeTimer.stop();
    const int state = m_state;
    if (state == STATE_PING)
        setStatus(COMM::INVALID_PING);
    else if (state == STATE_AUTH)
        setStatus(COMM::INVALID_AUTH);
    if (state == STATE_PING || state == STATE_AUTH)
        linkFailed();
}

void CServerHandler::textMessageReceivedSlot(QString msg)
{
    if (m_readBoundRaised) {
        m_readBoundRaised = false;
        m_socket.setReadBufferSize(ReadSliceBytes);
    }
    JsonGuard::EVerdict verdict = JsonGuard::EVerdict::Fine;
    const QJsonDocument document = JsonGuard::parse(msg.toUtf8(), &verdict);
    if (verdict == JsonGuard::EVerdict::TooDeep) {
        if (msg.size() > 1024 * 1024)
            QTimer::singleShot(1000, this, [] { releaseFreedMemory(); });
        ++m_tooDeep;
        if (!m_tooDeepReported.isValid() || m_tooDeepReported.elapsed() >= 60000) {
            m_tooDeepReported.start();
            addLog(
                QStringLiteral("WARNING: [CServerHandler] %1 server message(s) nested deeper than %2 levels "
                               "refused")
                    .arg(m_tooDeep)
                    .arg(JsonGuard::MaxDepth));
            m_tooDeep = 0;
        }
        return;
    }
    if (!document.isObject()) {
        qDebug().noquote() << "[CServerHandler::textMessageReceivedSlot] Uncknown input message format";
        return;
    }
    const QJsonObject object = document.object();
    switch (m_state) {
    case STATE_PING:
        handlePing(object);
        break;
    case STATE_AUTH:
        handleAuth(object);
        break;
    case STATE_VERIFIED:
        handleVerified(object);
        break;
    default:
        break;
    }
}

void CServerHandler::handlePing(const QJsonObject &object)
{
    if (object.contains(QS_API_ERR_STRING)) {
        m_state = STATE_AUTH;
        m_socket.sendTextMessage(QString::fromUtf8(API::buildAuthRequest(m_login, m_password)));
        setStatus(COMM::AUTH_WAITING);
        return;
    }
    qDebug().noquote() << "[CServerHandler::textMessageReceivedSlot] State=ping: unknown message";
    setStatus(COMM::INVALID_PING);
    linkFailed();
}

void CServerHandler::handleAuth(const QJsonObject &object)
{
    m_state = STATE_NONE;
    if (!object.contains(QS_API_CMD)) {
        qDebug().noquote() << "[CServerHandler::textMessageReceivedSlot] State=auth: unknown message[1]";
        setStatus(COMM::INVALID_AUTH);
        linkFailed();
        return;
    }
    if (object.value(QS_API_CMD).toString() != QS_API_AUTH_RESP) {
        qDebug().noquote() << "[CServerHandler::textMessageReceivedSlot] State=auth: unknown message[2]";
        setStatus(COMM::INVALID_AUTH);
        linkFailed();
        return;
    }
    if (!object.contains(QS_API_STATUS)) {
        qDebug().noquote() << "[CServerHandler::textMessageReceivedSlot] State=auth: unknown message[3]";
        setStatus(COMM::INVALID_AUTH);
        linkFailed();
        return;
    }
    if (!object.value(QS_API_STATUS).toBool(false)) {
        const QString err = object.value(QS_API_ERR_STRING).toString();
        qDebug().noquote()
            << QStringLiteral(
                   "[CServerHandler::textMessageReceivedSlot] State=auth: unknown message[4], err[%1]")
                   .arg(err);
        halt(QStringLiteral("The server refused the login"));
        setStatus(COMM::INVALID_AUTH);
        return;
    }
    m_token = object.value(QS_API_TOKEN).toString();
    m_state = STATE_VERIFIED;
    m_handshakeTimer.stop();
    m_attempt = 0;
    m_pingTimer.start();
    if (m_releaseAfterLogin) {
        // The replaced socket goes a few passes of the event loop later.
        m_releaseAfterLogin = false;
        QTimer::singleShot(2000, this, [] { releaseFreedMemory(); });
    }
    setStatus(COMM::SUCCESS);
}

void CServerHandler::handleVerified(const QJsonObject &object)
{
    if (!object.contains(QS_API_CMD)) {
        qDebug().noquote() << "[CServerHandler::textMessageReceivedSlot] State=verified: unknown message[1]";
        return;
    }
    const QString cmd = object.value(QS_API_CMD).toString();
    if (cmd == QS_API_RX) {
        const API::SApiDeviceData devData(object);
        if (!devData.devEui.isEmpty())
            emit newPacketReceived(devData);
        return;
    }
    if (cmd == QS_API_GET_DEVICES_RESP) {
        if (m_pendingRequest != REQUEST_DEVICE_LIST) {
            addLog(QStringLiteral(
                "[CServerHandler::textMessageReceivedSlot] State=verified: unsheduled packet from server"));
            return;
        }
        QList<API::SServerDeviceInfo> list;
        if (API::parseDevicesListReply(object, &list)) {
            emit getDevicesListResp(true, list);
        } else {
            emit devicesListRefused();
            emit getDevicesListResp(false, {});
        }
        m_pendingRequest = REQUEST_NONE;
        waitingServerResponseTimeoutSlot();
    }
}

bool CServerHandler::getDevicesList(const QStringList &_appEuiList)
{
    if (_appEuiList.isEmpty()) {
        addLog(QStringLiteral("[CServerHandler::getDevicesList] Empty input AppEUI list! Return"));
        return false;
    }
    if (m_state != STATE_VERIFIED) {
        addLog(QStringLiteral("[CServerHandler::getDevicesList] Invalid connection to server! Return"));
        return false;
    }
    SQueuedRequest request;
    request.kind = REQUEST_DEVICE_LIST;
    request.text = API::buildDevicesListRequest(_appEuiList);
    {
        QMutexLocker locker(&m_taskListMutex);
        m_tasks.append(request);
    }
    // While a request is in flight or the queue is being served, the running
    // work picks this one up when it ends.
    if (m_waitingMutex.tryLock()) {
        m_waitingMutex.unlock();
        if (m_processingMutex.tryLock()) {
            m_processingMutex.unlock();
            emit newTask();
        }
    }
    return true;
}

void CServerHandler::newTaskSlot()
{
    QMutexLocker processing(&m_processingMutex);
    if (!m_waitingMutex.tryLock()) {
        qDebug().noquote() << "[CServerHandler::newTaskSlot] Waiting mutex is locked! Return";
        return;
    }
    m_waitingHeld = true;
    QByteArray text;
    {
        QMutexLocker tasks(&m_taskListMutex);
        if (m_tasks.isEmpty()) {
            qDebug().noquote() << "[CServerHandler::newTaskSlot] Task queue is empty";
            releaseWaiting();
            return;
        }
        const SQueuedRequest request = m_tasks.takeFirst();
        m_pendingRequest = request.kind;
        text = request.text;
    }
    m_socket.sendTextMessage(QString::fromUtf8(text));
    m_waitTimer.start(m_responseMs);
}

void CServerHandler::waitingServerResponseTimeoutSlot()
{
    m_waitTimer.stop();
    releaseWaiting();
    if (m_pendingRequest == REQUEST_DEVICE_LIST)
        emit getDevicesListResp(false, {});
    m_pendingRequest = REQUEST_NONE;
    emit newTask();
}

void CServerHandler::releaseWaiting()
{
    if (m_waitingHeld) {
        m_waitingHeld = false;
        m_waitingMutex.unlock();
    }
}
