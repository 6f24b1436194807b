#include "networkserversim.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketServer>

#include <cstdio>

namespace {

QString compact(const QJsonObject &object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

const quint32 FREQUENCIES[] = { 868100000, 868300000, 868500000 };

} // namespace

CNetworkServerSim::CNetworkServerSim(QObject *parent)
    : QObject(parent)
{
}

CNetworkServerSim::CNetworkServerSim(const SSimScenario &scenario, QObject *parent)
    : QObject(parent)
    , m_scenario(scenario)
{
}

CNetworkServerSim::~CNetworkServerSim()
{
    close();
}

void CNetworkServerSim::setScenario(const SSimScenario &scenario)
{
    m_scenario = scenario;
}

bool CNetworkServerSim::listen(const QHostAddress &address, quint16 port)
{
    close();
    m_server = new QWebSocketServer(QStringLiteral("tidewell-netsim"), QWebSocketServer::NonSecureMode, this);
    return startServer(address, port);
}

#ifndef QT_NO_SSL
bool CNetworkServerSim::listenSecure(const QSslConfiguration &ssl, const QHostAddress &address, quint16 port)
{
    close();
    m_server = new QWebSocketServer(QStringLiteral("tidewell-netsim"), QWebSocketServer::SecureMode, this);
    m_server->setSslConfiguration(ssl);
    return startServer(address, port);
}
#endif

bool CNetworkServerSim::startServer(const QHostAddress &address, quint16 port)
{
    connect(m_server, &QWebSocketServer::newConnection, this, &CNetworkServerSim::onNewConnection);
    if (!m_server->listen(address, port)) {
        m_error = m_server->errorString();
        delete m_server;
        m_server = nullptr;
        return false;
    }
    m_error.clear();
    return true;
}

void CNetworkServerSim::close()
{
    stopUplinks();
    const QList<QWebSocket *> sockets = m_clients.keys();
    m_clients.clear();
    // Deferred deletion keeps close() safe inside handlers of our own signals;
    // both sockets and server are children, so nothing outlives the simulator.
    for (QWebSocket *socket : sockets) {
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
    if (m_server) {
        m_server->disconnect(this);
        m_server->close();
        m_server->deleteLater();
        m_server = nullptr;
    }
}

bool CNetworkServerSim::isListening() const
{
    return m_server && m_server->isListening();
}

quint16 CNetworkServerSim::port() const
{
    return m_server ? m_server->serverPort() : 0;
}

QUrl CNetworkServerSim::url() const
{
    if (!m_server)
        return {};
    QUrl result;
    result.setScheme(m_server->secureMode() == QWebSocketServer::SecureMode ? QStringLiteral("wss")
                                                                            : QStringLiteral("ws"));
    QHostAddress host = m_server->serverAddress();
    if (host == QHostAddress::Any || host == QHostAddress::AnyIPv4 || host == QHostAddress::AnyIPv6)
        host = QHostAddress::LocalHost;
    result.setHost(host.toString());
    result.setPort(m_server->serverPort());
    return result;
}

QString CNetworkServerSim::errorString() const
{
    return m_error;
}

int CNetworkServerSim::loggedInCount() const
{
    int count = 0;
    for (const SClient &client : m_clients)
        count += client.loggedIn ? 1 : 0;
    return count;
}

void CNetworkServerSim::clearTraffic()
{
    m_traffic.clear();
    m_received.clear();
}

void CNetworkServerSim::onNewConnection()
{
    while (QWebSocket *socket = m_server->nextPendingConnection()) {
        socket->setParent(this);
        m_clients.insert(socket, SClient());
        connect(socket, &QWebSocket::textMessageReceived, this,
                [this, socket](const QString &text) { onTextMessage(socket, text); });
        connect(socket, &QWebSocket::disconnected, this, [this, socket]() {
            m_clients.remove(socket);
            socket->deleteLater();
            echo(QStringLiteral("-- disconnected"), socket);
            emit clientDisconnected();
        });
        echo(QStringLiteral("-- connected"), socket);
        emit clientConnected();
    }
}

void CNetworkServerSim::onTextMessage(QWebSocket *socket, const QString &text)
{
    m_traffic.append(QStringLiteral("<- ") + text);
    echo(QStringLiteral("<- ") + text, socket);
    emit messageReceived(text);

    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8());
    if (!document.isObject()) {
        reply(socket,
              QJsonObject { { QStringLiteral("status"), false },
                            { QStringLiteral("err_string"), QStringLiteral("Invalid message format") } },
              0);
        return;
    }
    const QJsonObject request = document.object();
    m_received.append(request);
    const QString cmd = request.value(QStringLiteral("cmd")).toString();
    if (cmd == QLatin1String("auth_req")) {
        handleAuth(socket, request);
        return;
    }
    if (cmd == QLatin1String("get_devices_req")) {
        handleDevices(socket, request);
        return;
    }
    // The gateway's probe is one of these: any unknown command.
    switch (m_probeMode) {
    case PROBE_SILENT:
        return;
    case PROBE_NO_ERR_STRING:
        reply(socket, QJsonObject { { QStringLiteral("cmd"), cmd }, { QStringLiteral("status"), false } },
              m_probeDelayMs);
        return;
    case PROBE_ANSWER:
        reply(socket,
              QJsonObject { { QStringLiteral("cmd"), cmd },
                            { QStringLiteral("status"), false },
                            { QStringLiteral("err_string"), QStringLiteral("Unknown command") } },
              m_probeDelayMs);
        return;
    }
}

void CNetworkServerSim::handleAuth(QWebSocket *socket, const QJsonObject &request)
{
    if (m_loginMode == LOGIN_SILENT)
        return;
    const QString login = request.value(QStringLiteral("login")).toString();
    const QString password = request.value(QStringLiteral("password")).toString();
    bool accepted = false;
    if (m_loginMode == LOGIN_CHECK) {
        for (const SSimAccount &account : qAsConst(m_scenario.accounts))
            accepted = accepted || (account.login == login && account.password == password);
    }
    QJsonObject answer { { QStringLiteral("cmd"), QStringLiteral("auth_resp") },
                         { QStringLiteral("status"), accepted } };
    if (accepted) {
        const QString token = QString::number(m_random.generate64(), 16);
        answer.insert(QStringLiteral("token"), token);
    } else {
        answer.insert(QStringLiteral("err_string"),
                      m_loginMode == LOGIN_REFUSE ? QStringLiteral("Login refused")
                                                  : QStringLiteral("Invalid login or password"));
    }

    auto conclude = [this, socket, answer, accepted, login]() {
        if (!m_clients.contains(socket))
            return;
        send(socket, compact(answer));
        m_clients[socket].loggedIn = accepted;
        m_clients[socket].login = accepted ? login : QString();
        if (!accepted)
            return;
        emit clientLoggedIn(login);
        if (m_garbageAfterLogin && m_clients.contains(socket)) {
            send(socket, QStringLiteral("{\"cmd\":\"rx\",\"devEui\":"));
            send(socket, QStringLiteral("[\"rx\"]"));
        }
    };
    if (m_loginDelayMs > 0)
        QTimer::singleShot(m_loginDelayMs, socket, conclude);
    else
        conclude();
}

void CNetworkServerSim::handleDevices(QWebSocket *socket, const QJsonObject &request)
{
    if (!m_clients.value(socket).loggedIn) {
        reply(socket,
              QJsonObject { { QStringLiteral("cmd"), QStringLiteral("get_devices_resp") },
                            { QStringLiteral("status"), false },
                            { QStringLiteral("err_string"), QStringLiteral("Not logged in") } },
              0);
        return;
    }
    switch (m_devicesMode) {
    case DEVICES_SILENT:
        return;
    case DEVICES_REFUSE:
        reply(socket,
              QJsonObject { { QStringLiteral("cmd"), QStringLiteral("get_devices_resp") },
                            { QStringLiteral("status"), false },
                            { QStringLiteral("err_string"), QStringLiteral("Request refused") } },
              m_devicesDelayMs);
        return;
    case DEVICES_ANSWER:
        reply(socket, devicesReply(request), m_devicesDelayMs);
        return;
    }
}

QJsonObject CNetworkServerSim::devicesReply(const QJsonObject &request) const
{
    const QJsonArray wanted
        = request.value(QStringLiteral("select")).toObject().value(QStringLiteral("appEui_list")).toArray();
    QJsonArray list;
    for (const SSimDevice &device : m_scenario.devices) {
        bool match = m_scenario.listAll;
        for (const QJsonValue &appEui : wanted) {
            match = match
                || (!device.appEui.isEmpty()
                    && device.appEui.compare(appEui.toString(), Qt::CaseInsensitive) == 0);
        }
        if (!match)
            continue;
        QJsonObject entry { { QStringLiteral("devEui"), device.devEui },
                            { QStringLiteral("devName"), device.devName } };
        if (device.appEui.isEmpty())
            entry.insert(QStringLiteral("ABP"),
                         QJsonObject { { QStringLiteral("devAddress"), device.devEui.right(8) } });
        else
            entry.insert(QStringLiteral("OTAA"), QJsonObject { { QStringLiteral("appEui"), device.appEui } });
        list.append(entry);
    }
    return { { QStringLiteral("cmd"), QStringLiteral("get_devices_resp") },
             { QStringLiteral("status"), true },
             { QStringLiteral("devices_list"), list } };
}

void CNetworkServerSim::reply(QWebSocket *socket, const QJsonObject &object, int delayMs)
{
    const QString text = compact(object);
    if (delayMs <= 0) {
        send(socket, text);
        return;
    }
    QTimer::singleShot(delayMs, socket, [this, socket, text]() {
        if (m_clients.contains(socket))
            send(socket, text);
    });
}

void CNetworkServerSim::send(QWebSocket *socket, const QString &text)
{
    socket->sendTextMessage(text);
    m_traffic.append(QStringLiteral("-> ") + text);
    echo(QStringLiteral("-> ") + text, socket);
    emit messageSent(text);
}

void CNetworkServerSim::flush()
{
    for (QWebSocket *socket : m_clients.keys())
        socket->flush();
}

void CNetworkServerSim::echo(const QString &line, QWebSocket *socket)
{
    if (!m_echo)
        return;
    const QString peer
        = socket->peerAddress().toString() + QLatin1Char(':') + QString::number(socket->peerPort());
    const QByteArray out = (peer + QLatin1Char(' ') + line + QLatin1Char('\n')).toUtf8();
    std::fwrite(out.constData(), 1, static_cast<size_t>(out.size()), stdout);
    std::fflush(stdout);
}

QJsonObject CNetworkServerSim::buildUplink(const QString &devEui, const QByteArray &payload,
                                           const QJsonObject &overrides)
{
    const SSimDevice *device = m_scenario.device(devEui);
    const quint32 fcnt = ++m_fcnt[devEui.toUpper()];
    const int rssi = -60 - static_cast<int>(m_random.bounded(56));
    const double snr = static_cast<double>(static_cast<int>(m_random.bounded(61)) - 20) / 4.0;
    QJsonObject uplink {
        { QStringLiteral("cmd"), QStringLiteral("rx") },
        { QStringLiteral("type"),
          device && device->confirmed ? QStringLiteral("CONF_UP") : QStringLiteral("UNCONF_UP") },
        { QStringLiteral("devEui"), devEui },
        { QStringLiteral("data"), QString::fromLatin1(payload.toHex()) },
        { QStringLiteral("ts"), static_cast<double>(QDateTime::currentMSecsSinceEpoch()) },
        { QStringLiteral("fcnt"), static_cast<double>(fcnt) },
        { QStringLiteral("gatewayId"), m_scenario.gatewayId },
        { QStringLiteral("rssi"), rssi },
        { QStringLiteral("snr"), snr },
        { QStringLiteral("port"), device ? device->port : 2 },
        { QStringLiteral("freq"), static_cast<double>(FREQUENCIES[fcnt % 3]) },
        { QStringLiteral("dr"), 5 },
        { QStringLiteral("ack"), false },
    };
    if (device && !device->appEui.isEmpty())
        uplink.insert(QStringLiteral("appEui"), device->appEui);
    for (auto it = overrides.constBegin(); it != overrides.constEnd(); ++it)
        uplink.insert(it.key(), it.value());
    return uplink;
}

int CNetworkServerSim::sendUplink(const QString &devEui, const QByteArray &payload,
                                  const QJsonObject &overrides)
{
    return sendText(compact(buildUplink(devEui, payload, overrides)), true);
}

int CNetworkServerSim::sendText(const QString &text, bool loggedInOnly)
{
    int count = 0;
    const QList<QWebSocket *> sockets = m_clients.keys();
    for (QWebSocket *socket : sockets) {
        if (loggedInOnly && !m_clients.value(socket).loggedIn)
            continue;
        send(socket, text);
        ++count;
    }
    return count;
}

int CNetworkServerSim::sendMalformedJson(bool loggedInOnly)
{
    return sendText(QStringLiteral("{\"cmd\":\"rx\",\"devEui\":\"00112233"), loggedInOnly);
}

int CNetworkServerSim::sendNonObject(bool loggedInOnly)
{
    return sendText(QStringLiteral("[\"rx\",1,2]"), loggedInOnly);
}

void CNetworkServerSim::dropConnections()
{
    const QList<QWebSocket *> sockets = m_clients.keys();
    for (QWebSocket *socket : sockets)
        socket->abort();
}

void CNetworkServerSim::startUplinks(int count, int periodOverrideMs)
{
    stopUplinks();
    m_uplinksLeft = count;
    if (count == 0) {
        emit uplinksFinished();
        return;
    }
    const int devices = m_scenario.devices.size();
    for (int i = 0; i < devices; ++i) {
        const SSimDevice &device = m_scenario.devices.at(i);
        if (device.payloads.isEmpty())
            continue;
        auto *timer = new QTimer(this);
        const int period = periodOverrideMs > 0 ? periodOverrideMs : device.periodMs;
        timer->setInterval(period);
        // Coarse timers of one interval are lined up to fire together, which
        // would turn the spread below back into one burst a period.
        timer->setTimerType(Qt::PreciseTimer);
        connect(timer, &QTimer::timeout, this, [this, i]() { onDeviceTimer(i); });
        // Spread the devices over the period so their uplinks interleave.
        QTimer::singleShot(period * i / devices + 1, timer, [timer]() { timer->start(); });
        m_uplinkTimers.append(timer);
    }
}

void CNetworkServerSim::stopUplinks()
{
    // A timer may be the one whose timeout runs this.
    for (QTimer *timer : qAsConst(m_uplinkTimers)) {
        timer->stop();
        timer->deleteLater();
    }
    m_uplinkTimers.clear();
}

void CNetworkServerSim::onDeviceTimer(int deviceIndex)
{
    if (m_uplinksLeft == 0 || deviceIndex >= m_scenario.devices.size())
        return;
    const SSimDevice device = m_scenario.devices.at(deviceIndex);
    if (loggedInCount() == 0)
        return;
    int &next = m_nextPayload[device.devEui];
    const QByteArray payload = device.payloads.at(next % device.payloads.size());
    next = (next + 1) % device.payloads.size();
    if (sendUplink(device.devEui, payload) > 0 && m_uplinksLeft > 0 && --m_uplinksLeft == 0) {
        stopUplinks();
        emit uplinksFinished();
    }
}
