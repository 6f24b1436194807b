#include "serverlink/serverhandler.h"

#include "app/constants.h"
#include "app/logfile.h"

#include <QDebug>
#include <QJsonDocument>
#include <QUrl>

CServerHandler *CServerHandler::getInstance()
{
    static CServerHandler *instance = new CServerHandler();
    return instance;
}

CServerHandler::CServerHandler(QObject *parent)
    : QObject(parent)
    , m_waitTimer(this)
    , m_socket(QString(), QWebSocketProtocol::Version13, this)
    , m_handshakeTimer(this)
{
    m_waitTimer.setSingleShot(true);
    m_handshakeTimer.setSingleShot(true);

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

void CServerHandler::connectSlot(QString _origin, QString _login, QString _password)
{
    m_socket.close(QWebSocketProtocol::CloseCodeNormal, QString());
    emit changeServerStatus(COMM::DISCONNECTED);

    const QUrl url(_origin, QUrl::TolerantMode);
    if (!url.isValid()) {
        addLog(QStringLiteral("[CServerHandler::connectSlot] Invalid input URL [%1]").arg(_origin));
        return;
    }
    m_login = _login;
    m_password = _password;
    m_socket.open(url);
}

void CServerHandler::socketConnectedSlot()
{
    m_state = STATE_PING;
    m_socket.sendTextMessage(QString::fromUtf8(API::buildProbeMessage()));
    emit changeServerStatus(COMM::PING_WAITING);
    m_handshakeTimer.start(m_handshakeMs);
}

void CServerHandler::socketDisconnectedSlot()
{
    m_state = STATE_NONE;
    emit changeServerStatus(COMM::DISCONNECTED);
}

void CServerHandler::socketErrorSlot(QAbstractSocket::SocketError error)
{
    Q_UNUSED(error)
    addLog(QStringLiteral("[CServerHandler] Socket error: %1").arg(m_socket.errorString()));
}

#ifndef QT_NO_SSL
void CServerHandler::sslErrorsSlot(const QList<QSslError> &errors)
{
    for (const QSslError &error : errors)
        addLog(QStringLiteral("[CServerHandler] TLS error: %1").arg(error.errorString()));
}
#endif

void CServerHandler::timeoutSlot()
{
    m_handshakeTimer.stop();
    if (m_state == STATE_PING)
        emit changeServerStatus(COMM::INVALID_PING);
    else if (m_state == STATE_AUTH)
        emit changeServerStatus(COMM::INVALID_AUTH);
}

void CServerHandler::textMessageReceivedSlot(QString msg)
{
    const QJsonDocument document = QJsonDocument::fromJson(msg.toUtf8());
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
        emit changeServerStatus(COMM::AUTH_WAITING);
        return;
    }
    qDebug().noquote() << "[CServerHandler::textMessageReceivedSlot] State=ping: unknown message";
    emit changeServerStatus(COMM::INVALID_PING);
}

void CServerHandler::handleAuth(const QJsonObject &object)
{
    m_state = STATE_NONE;
    if (!object.contains(QS_API_CMD)) {
        qDebug().noquote() << "[CServerHandler::textMessageReceivedSlot] State=auth: unknown message[1]";
        emit changeServerStatus(COMM::INVALID_AUTH);
        return;
    }
    if (object.value(QS_API_CMD).toString() != QS_API_AUTH_RESP) {
        qDebug().noquote() << "[CServerHandler::textMessageReceivedSlot] State=auth: unknown message[2]";
        emit changeServerStatus(COMM::INVALID_AUTH);
        return;
    }
    if (!object.contains(QS_API_STATUS)) {
        qDebug().noquote() << "[CServerHandler::textMessageReceivedSlot] State=auth: unknown message[3]";
        emit changeServerStatus(COMM::INVALID_AUTH);
        return;
    }
    if (!object.value(QS_API_STATUS).toBool(false)) {
        const QString err = object.value(QS_API_ERR_STRING).toString();
        qDebug().noquote()
            << QStringLiteral(
                   "[CServerHandler::textMessageReceivedSlot] State=auth: unknown message[4], err[%1]")
                   .arg(err);
        emit changeServerStatus(COMM::INVALID_AUTH);
        return;
    }
    m_token = object.value(QS_API_TOKEN).toString();
    m_state = STATE_VERIFIED;
    emit changeServerStatus(COMM::SUCCESS);
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
        if (API::parseDevicesListReply(object, &list))
            emit getDevicesListResp(true, list);
        else
            emit getDevicesListResp(false, {});
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
