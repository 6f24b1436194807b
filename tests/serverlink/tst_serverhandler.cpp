#include "app/logfile.h"
#include "serverlink/jsonguard.h"
#include "serverlink/serverhandler.h"
#include "tests/testkit/testkit.h"
#include "tools/netsim/networkserversim.h"

#include <QDir>
#include <QJsonDocument>
#include <QProcess>
#include <QSignalSpy>
#include <QSslCertificate>
#include <QSslKey>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <csignal>

namespace {

using Sim = CNetworkServerSim;

// One lower-case device: the gateway must still see upper-case EUIs.
const char *const SCENARIO = R"({"accounts":[{"login":"demo","password":"demo"}],"devices":[
    {"devEui":"0011223344550001","devName":"Boiler room","appEui":"A1B2C3D400000001"},
    {"devEui":"0011223344550002","devName":"Cold store","appEui":"A1B2C3D400000001"},
    {"devEui":"0011223344550003","devName":"Water meter","appEui":"A1B2C3D400000002"},
    {"devEui":"00112233445500aa","devName":"Lower case","appEui":"a1b2c3d4000000aa"}]})";
const QString UPLINK = R"({"cmd":"rx","type":"UNCONF_UP","devEui":"0011223344550001","data":"01"})";
const QStringList APP1 { "A1B2C3D400000001" };
const char *const PING_UNKNOWN = "[CServerHandler::textMessageReceivedSlot] State=ping: unknown message";
const char *const NOT_OBJECT = "[CServerHandler::textMessageReceivedSlot] Uncknown input message format";
const QString UNSCHEDULED
    = "[CServerHandler::textMessageReceivedSlot] State=verified: unsheduled packet from server";

// A self-signed certificate for 127.0.0.1 made by openssl in dir (cert.pem,
// key.pem), served by the simulator over wss.
bool listenWithCertificate(Sim &sim, const QString &dir)
{
    QProcess openssl;
    openssl.setWorkingDirectory(dir);
    openssl.start("openssl",
                  { "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "key.pem", "-out", "cert.pem",
                    "-days", "2", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1" });
    if (!openssl.waitForFinished(30000) || openssl.exitCode() != 0) {
        qWarning("openssl (installed by scripts/deps) is missing or failed: %s",
                 openssl.readAllStandardError().constData());
        return false;
    }
    QFile key(dir + "/key.pem");
    if (!key.open(QIODevice::ReadOnly))
        return false;
    QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
    ssl.setLocalCertificate(QSslCertificate::fromPath(dir + "/cert.pem").value(0));
    ssl.setPrivateKey(QSslKey(&key, QSsl::Rsa));
    return sim.listenSecure(ssl);
}

// Debug lines about messages that are no JSON object, counted so that a test
// can tell when a message it sent has been handled.
QAtomicInt g_formatErrors;
QtMessageHandler g_testMessageHandler = nullptr;
void countFormatErrors(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (text == QLatin1String(NOT_OBJECT))
        ++g_formatErrors;
    g_testMessageHandler(type, context, text);
}

template<typename... T> void row(const char *name, T... values)
{
    (QTest::newRow(name) << ... << values);
}

// One simulated server and one fresh session with its signal spies.
struct SSession
{
    explicit SSession(int handshakeMs = 10000, int responseMs = 10000)
    {
        handler.setTimeoutsForTesting(handshakeMs, responseMs);
    }
    void connectTo(const QString &url = QString())
    {
        handler.connectSlot(url.isEmpty() ? sim.url().toString() : url, "demo", "demo");
    }
    bool logIn()
    {
        if (!sim.isListening() && !sim.listen())
            return false;
        connectTo();
        return QTest::qWaitFor([this]() { return trace() == "DPAS"; }, testkit::WAIT_MS);
    }
    // Statuses emitted so far, one letter each: S SUCCESS, P PING_WAITING, p INVALID_PING,
    // A AUTH_WAITING, a INVALID_AUTH, D DISCONNECTED.
    QString trace() const
    {
        QString result;
        for (const QList<QVariant> &args : status)
            result += QLatin1Char("SPpAaD"[args.at(0).value<COMM::EServerStatus>()]);
        return result;
    }
    // Nothing pending but the keep-alive ping of a logged-in session.
    bool idle() const
    {
        const auto timers = handler.findChildren<QTimer *>(QString(), Qt::FindDirectChildrenOnly);
        const bool loggedIn
            = !status.isEmpty() && status.last().at(0).value<COMM::EServerStatus>() == COMM::SUCCESS;
        return !timers.isEmpty() && std::none_of(timers.cbegin(), timers.cend(), [loggedIn](const QTimer *t) {
            const bool keepAlive = t->objectName() == QLatin1String("keepAlive");
            return keepAlive ? t->isActive() != loggedIn : t->isActive();
        });
    }
    // The i-th device list answer: its status, then "name/devEui/appEui" per device.
    QString list(int i) const
    {
        QString result = lists.at(i).at(0).toBool() ? "true" : "false";
        const auto devices = lists.at(i).at(1).value<QList<API::SServerDeviceInfo>>();
        for (const API::SServerDeviceInfo &info : devices)
            result += '|' + info.devName + '/' + info.devEui + '/' + info.appEui;
        return result;
    }

    Sim sim { SSimScenario::fromJson(QJsonDocument::fromJson(SCENARIO).object(), nullptr) };
    CServerHandler handler;
    QSignalSpy status { &handler, &CServerHandler::changeServerStatus };
    QSignalSpy packets { &handler, &CServerHandler::newPacketReceived };
    QSignalSpy lists { &handler, &CServerHandler::getDevicesListResp };
};

} // namespace

class tst_ServerHandler : public QObject
{
    Q_OBJECT

    bool logged(const QString &text) const
    {
        return std::any_of(m_log->cbegin(), m_log->cend(), [&text](const QList<QVariant> &args) {
            return args.at(0).toString().endsWith(text);
        });
    }

    QTemporaryDir m_dir;
    std::unique_ptr<QSignalSpy> m_log;

private slots:
    void initTestCase()
    {
        qRegisterMetaType<COMM::EServerStatus>("COMM::EServerStatus");
        qRegisterMetaType<QList<API::SServerDeviceInfo>>("QList<API::SServerDeviceInfo>");
        qRegisterMetaType<API::SApiDeviceData>("API::SApiDeviceData");
        QVERIFY(m_dir.isValid() && QDir::setCurrent(m_dir.path()));
        m_log = std::make_unique<QSignalSpy>(CLogFile::getInstance("history.log"), &CLogFile::addLogSignal);
        g_testMessageHandler = qInstallMessageHandler(countFormatErrors);
    }
    void cleanupTestCase() { qInstallMessageHandler(g_testMessageHandler); }
    void init() { m_log->clear(); }

    void handshake_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<int>("handshakeMs");
        QTest::addColumn<QString>("expected");
        // The login stops the timer. Windows are long enough for a loaded machine
        // where the server answers, short where it stays silent.
        row("logged in", "answers", 60000, "DPAS");
        row("probe unanswered", "probe silent", 200, "DPp");
        row("login unanswered", "login silent", 3000, "DPAa");
        // The late answers are sent after the timer, started earlier, has expired
        // (timers fire in order); after its one expiry nothing guards the login any more.
        row("probe answered late", "late", 150, "DPpAS");
    }
    void handshake()
    {
        QFETCH(QString, server);
        QFETCH(int, handshakeMs);
        QFETCH(QString, expected);
        SSession s(handshakeMs);
        s.sim.setProbeMode(server == "probe silent" ? Sim::PROBE_SILENT : Sim::PROBE_ANSWER);
        s.sim.setLoginMode(server == "login silent" ? Sim::LOGIN_SILENT : Sim::LOGIN_CHECK);
        s.sim.setProbeDelayMs(server == "late" ? 500 : 0);
        s.sim.setLoginDelayMs(server == "late" ? 500 : 0);
        QVERIFY(s.sim.listen());
        s.connectTo();
        QTRY_COMPARE(s.trace(), expected);
        // No timer is left that could change the status later.
        QVERIFY(s.idle());
        QCOMPARE(s.sim.traffic().value(0), QStringLiteral(R"(<- {"cmd":"cmd"})"));
        QCOMPARE(s.sim.traffic().filter(R"("cmd":"auth_req")").size(), int(expected.contains('A')));
    }

    void unusableInputIsDroppedBeforeAndAfterLogin()
    {
        SSession s;
        s.sim.setProbeMode(Sim::PROBE_NO_ERR_STRING);
        QVERIFY(s.sim.listen());
        QTest::ignoreMessage(QtDebugMsg, PING_UNKNOWN);
        s.connectTo();
        QTRY_COMPARE(s.trace(), QStringLiteral("DPp"));
        // Before the login an uplink is just one more wrong answer to the probe.
        QTest::ignoreMessage(QtDebugMsg, PING_UNKNOWN);
        s.sim.sendText(UPLINK);
        QTRY_COMPARE(s.trace(), QStringLiteral("DPpp"));
        // Still waiting for the probe answer: a later one leads on to the login.
        s.sim.sendText(R"({"err_string":""})");
        QTRY_COMPARE(s.trace(), QStringLiteral("DPppAS"));

        // Logged in: garbage, an empty DevEUI (silently) and objects without cmd are dropped.
        for (int i = 0; i < 3; ++i)
            QTest::ignoreMessage(QtDebugMsg, NOT_OBJECT);
        s.sim.sendMalformedJson();
        s.sim.sendNonObject();
        s.sim.sendText(QString());
        QCOMPARE(s.sim.sendUplink(QString(), QByteArray::fromHex("01")), 1);
        QTest::ignoreMessage(QtDebugMsg,
                             "[CServerHandler::textMessageReceivedSlot] State=verified: unknown message[1]");
        s.sim.sendText(R"({"type":"UNCONF_UP","devEui":"0011223344550001","data":"01"})");
        s.sim.sendUplink("00112233445500aa", QByteArray::fromHex("0159082dc40b"));
        QVERIFY(s.packets.wait(testkit::WAIT_MS));
        QCOMPARE(s.packets.count(), 1);
        const auto uplink = s.packets.at(0).at(0).value<API::SApiDeviceData>();
        QCOMPARE(uplink.devEui, QStringLiteral("00112233445500AA"));
        QCOMPARE(uplink.data, QByteArray::fromHex("0159082dc40b"));
        QCOMPARE(s.trace(), QStringLiteral("DPppAS"));
    }

    void loginRejected_data()
    {
        QTest::addColumn<QString>("reply");
        QTest::addColumn<QString>("debug"); // after "State=auth: unknown message"
        row("no cmd", R"({"status":true,"token":"t"})", "[1]");
        row("other cmd", R"({"cmd":"rx","type":"UNCONF_UP","data":"00","devEui":"01"})", "[2]");
        row("cmd not text", R"({"cmd":1,"status":true})", "[2]");
        row("no status", R"({"cmd":"auth_resp","token":"t"})", "[3]");
        row("refused", R"({"cmd":"auth_resp","status":false,"err_string":"Bad password"})",
            "[4], err[Bad password]");
        row("no reason", R"({"cmd":"auth_resp","status":false})", "[4], err[]");
        row("status as text", R"({"cmd":"auth_resp","status":"true"})", "[4], err[]");
    }
    void loginRejected()
    {
        QFETCH(QString, reply);
        QFETCH(QString, debug);
        SSession s;
        s.sim.setLoginMode(Sim::LOGIN_SILENT);
        QObject::connect(&s.sim, &Sim::messageReceived, &s.sim, [&s, reply](const QString &msg) {
            if (msg.contains(QLatin1String("auth_req")))
                s.sim.sendText(reply);
        });
        QVERIFY(s.sim.listen());
        debug.prepend("[CServerHandler::textMessageReceivedSlot] State=auth: unknown message");
        QTest::ignoreMessage(QtDebugMsg, qPrintable(debug));
        s.connectTo();
        QTRY_COMPARE(s.trace(), QStringLiteral("DPAa"));

        // After a failed login everything is ignored until the next connection.
        s.sim.sendText(R"({"cmd":"auth_resp","status":true,"token":"late"})");
        s.sim.sendText(UPLINK);
        QVERIFY(!s.handler.getDevicesList(APP1));
        QVERIFY(logged("[CServerHandler::getDevicesList] Invalid connection to server! Return"));
        // A message that is always answered with a debug line comes last: once
        // that line is seen, the two before it have been handled.
        const int seen = g_formatErrors;
        QTest::ignoreMessage(QtDebugMsg, NOT_OBJECT);
        s.sim.sendMalformedJson();
        QTRY_VERIFY(g_formatErrors > seen);
        QCOMPARE(s.trace(), QStringLiteral("DPAa"));
        QCOMPARE(s.packets.count(), 0);
    }

    void deviceListRequestsGoOutOneAtATime()
    {
        SSession s;
        s.sim.setDevicesDelayMs(200);
        QVERIFY(s.logIn());
        s.sim.clearTraffic();
        QVERIFY(!s.handler.getDevicesList({}));
        QVERIFY(logged("[CServerHandler::getDevicesList] Empty input AppEUI list! Return"));

        QTest::ignoreMessage(QtDebugMsg, "[CServerHandler::newTaskSlot] Waiting mutex is locked! Return");
        QVERIFY(s.handler.getDevicesList(APP1));
        QVERIFY(s.handler.getDevicesList({ "A1B2C3D400000002", "A1B2C3D4000000AA" }));
        QTRY_COMPARE(s.lists.count(), 2);
        // The second request went out only after the first reply.
        const QStringList traffic = s.sim.traffic();
        QCOMPARE(traffic.size(), 4);
        QVERIFY(traffic.at(1).startsWith(R"(-> {"cmd":"get_devices_resp")"));
        QVERIFY(traffic.at(2).contains(R"("appEui_list":["A1B2C3D400000002","A1B2C3D4000000AA"])"));
        QCOMPARE(s.list(0),
                 QStringLiteral("true|Boiler room/0011223344550001/A1B2C3D400000001"
                                "|Cold store/0011223344550002/A1B2C3D400000001"));
        QCOMPARE(s.list(1),
                 QStringLiteral("true|Water meter/0011223344550003/A1B2C3D400000002"
                                "|Lower case/00112233445500AA/A1B2C3D4000000AA"));
    }

    void deviceListFailures_data()
    {
        QTest::addColumn<int>("devicesMode");
        QTest::addColumn<int>("responseMs");
        QTest::addColumn<int>("replyDelayMs");
        QTest::addColumn<bool>("askAgain");
        row("refused", int(Sim::DEVICES_REFUSE), 10000, 0, false);
        row("late, nothing pending", int(Sim::DEVICES_ANSWER), 200, 700, false);
        row("late, next one in flight", int(Sim::DEVICES_ANSWER), 200, 700, true);
    }
    void deviceListFailures()
    {
        QFETCH(int, devicesMode);
        QFETCH(int, responseMs);
        QFETCH(int, replyDelayMs);
        QFETCH(bool, askAgain);
        SSession s(10000, responseMs);
        s.sim.setDevicesMode(Sim::EDevicesMode(devicesMode));
        s.sim.setDevicesDelayMs(replyDelayMs);
        QVERIFY(s.logIn());
        QVERIFY(s.handler.getDevicesList(APP1));
        QVERIFY(s.lists.wait(testkit::WAIT_MS));
        QCOMPARE(s.list(0), QStringLiteral("false"));

        const bool late = replyDelayMs > responseMs;
        if (askAgain) {
            // The queue is idle again; the first request's late reply answers this
            // one, which waits long enough for it.
            s.sim.setDevicesMode(Sim::DEVICES_SILENT);
            s.handler.setTimeoutsForTesting(10000, testkit::WAIT_MS);
            QVERIFY(s.handler.getDevicesList({ "A1B2C3D400000002" }));
            QVERIFY(s.lists.wait(testkit::WAIT_MS));
            QVERIFY(s.list(1).startsWith("true|Boiler room/0011223344550001/A1B2C3D400000001|"));
        } else if (late) {
            QTRY_VERIFY(logged(UNSCHEDULED));
        }
        QCOMPARE(s.lists.count(), askAgain ? 2 : 1);
        QCOMPARE(logged(UNSCHEDULED), late && !askAgain);
    }

    void reconnectWhileLoggedInThenServerDrops()
    {
        SSession s;
        QVERIFY(s.logIn());
        s.status.clear();
        s.connectTo();
        QVERIFY(s.trace().startsWith('D'));
        QTRY_VERIFY(s.trace().endsWith("PAS"));
        QTRY_COMPARE(s.sim.loggedInCount(), 1);
        s.sim.sendText(UPLINK, true);
        QVERIFY(s.packets.wait(testkit::WAIT_MS));

        s.sim.dropConnections();
        QTRY_VERIFY(s.trace().endsWith("SD"));
        QVERIFY(!s.handler.getDevicesList(APP1));
    }

    // With reconnection on: what mends itself is retried, what needs a person is not.
    void connectFailureIsLogged_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("logLine");
        QTest::addColumn<bool>("retried");
        row("invalid URL", "ws://[1::2", "[CServerHandler::connectSlot] Invalid input URL [ws://[1::2]",
            false);
        row("refused", "ws://127.0.0.1:%1", "[CServerHandler] Socket error: Connection refused", true);
        row("self-signed", "wss", "[CServerHandler] TLS error: The certificate is self-signed, and untrusted",
            false);
    }
    void connectFailureIsLogged()
    {
        QFETCH(QString, url);
        QFETCH(QString, logLine);
        QFETCH(bool, retried);
        SSession s;
        s.handler.setReconnectEnabled(true);
        s.handler.setBackoffForTesting(10, 10);
        QSignalSpy scheduled(&s.handler, &CServerHandler::reconnectScheduled);
        QTemporaryDir certDir;
        if (url == "wss") {
            QVERIFY(listenWithCertificate(s.sim, certDir.path()));
            url = s.sim.url().toString();
        } else if (url.contains("%1")) {
            QTcpServer closed;
            QVERIFY(closed.listen(QHostAddress::LocalHost));
            url = url.arg(closed.serverPort());
        }
        s.connectTo(url);
        QTRY_VERIFY_WITH_TIMEOUT(logged(logLine), testkit::WAIT_MS);
        QVERIFY(s.trace().startsWith('D') && !s.trace().contains('P'));
        if (retried) {
            QTRY_VERIFY(scheduled.count() >= 2);
            return;
        }
        // Untrusted: the socket gives up and reports its disconnection, and
        // the session still does not try again.
        if (url.startsWith("wss"))
            QTRY_COMPARE(s.handler.waitsForOperator(), true);
        QTRY_VERIFY(s.trace().endsWith('D'));
        QVERIFY(scheduled.isEmpty());
    }

    // An on-premises server's own CA, added from a file, makes its certificate trusted.
    void trustedCaFile()
    {
        SSession s;
        QTemporaryDir certDir;
        QVERIFY(listenWithCertificate(s.sim, certDir.path()));
        QVERIFY(!s.handler.addTrustedCaFile(certDir.filePath("key.pem")));
        QVERIFY(logged(QStringLiteral("ERROR: [CServerHandler] CA file [%1] holds no readable certificate")
                           .arg(certDir.filePath("key.pem"))));
        QVERIFY(s.handler.addTrustedCaFile(certDir.filePath("cert.pem")));
        s.connectTo();
        QTRY_COMPARE_WITH_TIMEOUT(s.trace(), QStringLiteral("DPAS"), testkit::WAIT_MS);
    }

    void reconnectsUntilTheServerIsBack()
    {
        SSession s;
        s.handler.setReconnectEnabled(true);
        s.handler.setBackoffForTesting(10, 40);
        QSignalSpy scheduled(&s.handler, &CServerHandler::reconnectScheduled);
        QVERIFY(s.logIn());
        // A second session with reconnection off: the control.
        SSession quiet;
        quiet.connectTo(s.sim.url().toString());
        QTRY_COMPARE(s.sim.loggedInCount(), 2);

        const quint16 port = s.sim.port();
        s.sim.close();
        // While the server is away the delay doubles up to its cap.
        QTRY_VERIFY(scheduled.count() >= 4);
        QList<int> delays;
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(scheduled.at(i).at(0).toInt(), i + 1);
            delays << scheduled.at(i).at(1).toInt();
        }
        QCOMPARE(delays, QList<int>({ 10, 20, 40, 40 }));
        QVERIFY(logged("INFO: [CServerHandler] Reconnect attempt [2] in [0.02] s"));

        QVERIFY2(s.sim.listen(QHostAddress::LocalHost, port), qPrintable(s.sim.errorString()));
        QTRY_VERIFY_WITH_TIMEOUT(s.trace().endsWith('S'), testkit::WAIT_MS);
        s.sim.sendText(UPLINK, true);
        QVERIFY(s.packets.wait(testkit::WAIT_MS));
        // The control never came back, though the other session's retries fired many times.
        QCOMPARE(s.sim.loggedInCount(), 1);
        QVERIFY(quiet.trace().endsWith('D'));

        // After a login the backoff starts over.
        scheduled.clear();
        s.sim.dropConnections();
        QTRY_VERIFY(!scheduled.isEmpty());
        QCOMPARE(scheduled.first(), QList<QVariant>({ 1, 10 }));
    }

    // A server that takes the TCP connection and never answers the WebSocket
    // opening handshake: each attempt fails when the open timeout passes and
    // the next one follows with the backoff.
    void unansweredOpeningHandshakeIsAFailedAttempt()
    {
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
        QSignalSpy accepted(&silent, &QTcpServer::newConnection);
        CServerHandler handler;
        handler.setOpenTimeoutForTesting(20);
        handler.setReconnectEnabled(true);
        handler.setBackoffForTesting(1, 1);
        QSignalSpy scheduled(&handler, &CServerHandler::reconnectScheduled);
        QSignalSpy status(&handler, &CServerHandler::changeServerStatus);
        handler.connectSlot(QStringLiteral("ws://127.0.0.1:%1").arg(silent.serverPort()), "demo", "demo");
        QTRY_VERIFY(accepted.count() >= 2 && scheduled.count() >= 2);
        QVERIFY(
            logged("WARNING: [CServerHandler] The server did not complete the WebSocket opening handshake "
                   "in [0.02] s"));
        QVERIFY(std::all_of(status.cbegin(), status.cend(), [](const QList<QVariant> &args) {
            return args.at(0).value<COMM::EServerStatus>() == COMM::DISCONNECTED;
        }));
    }

    // A server frozen after the login (SIGSTOP: its kernel still takes the
    // bytes, nothing answers): the keep-alive ping goes unanswered, the link is
    // dropped as lost, and the gateway logs in again once the server runs.
    void frozenServerIsDroppedAndLoggedIntoAgain()
    {
        const QString program = QStringLiteral(TIDEWELL_BINARY_DIR "/tools/netsim/tidewell-netsim");
        QVERIFY2(QFile::exists(program), "tidewell-netsim is not built");
        QProcess netsim;
        netsim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        netsim.start(program,
                     { "--scenario", TIDEWELL_SOURCE_DIR "/resources/templates/demo-scenario.json" });
        QVERIFY(netsim.waitForStarted(testkit::WAIT_MS));
        QVERIFY(netsim.waitForReadyRead(testkit::WAIT_MS));
        const QString first = QString::fromUtf8(netsim.readLine()).trimmed();
        QVERIFY2(first.startsWith("listening on "), qPrintable(first));
        // Only the first line is read; the rest would fill the pipe.
        netsim.setReadChannel(QProcess::StandardOutput);
        connect(&netsim, &QProcess::readyReadStandardOutput, &netsim, [&netsim]() { netsim.readAll(); });

        CServerHandler handler;
        handler.setReconnectEnabled(true);
        handler.setBackoffForTesting(1, 1);
        QSignalSpy status(&handler, &CServerHandler::changeServerStatus);
        QSignalSpy scheduled(&handler, &CServerHandler::reconnectScheduled);
        handler.connectSlot(first.mid(13), "demo", "demo");
        auto last = [&status]() { return status.last().at(0).value<COMM::EServerStatus>(); };
        QTRY_VERIFY(!status.isEmpty() && last() == COMM::SUCCESS);

        ::kill(pid_t(netsim.processId()), SIGSTOP);
        // Only now short: a running server's pong never races the timer.
        handler.setOpenTimeoutForTesting(20);
        handler.setKeepAliveForTesting(10, 20);
        QTRY_VERIFY(
            logged("WARNING: [CServerHandler] No answer to the keep-alive ping for [0.02] s: the link is "
                   "lost"));
        QCOMPARE(last(), COMM::DISCONNECTED);
        // The frozen server's kernel takes the new connection, the handshake
        // stays unanswered: one more failed attempt.
        QTRY_VERIFY(scheduled.count() >= 2);

        handler.setOpenTimeoutForTesting(testkit::WAIT_MS);
        handler.setKeepAliveForTesting(30000, testkit::WAIT_MS);
        ::kill(pid_t(netsim.processId()), SIGCONT);
        QTRY_VERIFY(last() == COMM::SUCCESS);
        netsim.kill();
        netsim.waitForFinished();
    }

    // A message past 16 MB is refused by the socket itself (close code 1009)
    // and the link is opened again; one nested deeper than the guard allows
    // is dropped and logged, and the link stays.
    void oversizedAndDeepMessagesAreRefused()
    {
        SSession s;
        s.handler.setReconnectEnabled(true);
        s.handler.setBackoffForTesting(1, 1);
        QVERIFY(s.logIn());
        QSignalSpy loggedIn(&s.sim, &Sim::clientLoggedIn);

        s.sim.sendText(QStringLiteral("{\"cmd\":") + QString(JsonGuard::MaxDepth + 1, QLatin1Char('['))
                           + QString(JsonGuard::MaxDepth + 1, QLatin1Char(']')) + QLatin1Char('}'),
                       true);
        s.sim.sendText(UPLINK, true);
        QVERIFY(s.packets.wait(testkit::WAIT_MS));
        QVERIFY(logged("WARNING: [CServerHandler] 1 server message(s) nested deeper than 64 levels refused"));
        QCOMPARE(s.trace(), QStringLiteral("DPAS"));

        const QString large = QStringLiteral("{\"cmd\":\"rx\",\"data\":\"")
            + QString(int(CServerHandler::MaxMessageBytes), QLatin1Char('0')) + QStringLiteral("\"}");
        s.sim.sendText(large, true);
        QTRY_VERIFY(loggedIn.count() == 1);
        QVERIFY(
            logged("WARNING: [CServerHandler] A server message larger than [16777216] bytes was refused; the "
                   "link is closed with code 1009"));
        QVERIFY(s.trace().endsWith("DPAS"));
        QCOMPARE(s.packets.count(), 1);
    }

    // A flood is read a bounded slice per pass of the event loop, so it
    // cannot hold Modbus answers back; a message larger than a slice raises
    // the bound until it is whole, and what follows it still arrives.
    void floodIsReadInSlicesAndLargeMessagesStillArrive()
    {
        SSession s;
        QVERIFY(s.logIn());
        QCOMPARE(s.handler.readBoundForTesting(), CServerHandler::ReadSliceBytes);

        QString large = UPLINK;
        large.insert(1, QStringLiteral("\"pad\":\"%1\",").arg(QString(4 * 1024 * 1024, QLatin1Char('x'))));
        const int small = 3000; // a few slices' worth
        s.sim.sendText(large, true);
        for (int i = 0; i < small; ++i)
            s.sim.sendText(UPLINK, true);
        s.sim.flush();
        s.sim.clearTraffic();
        QTRY_COMPARE_WITH_TIMEOUT(s.packets.count(), small + 1, testkit::WAIT_MS);
        QCOMPARE(s.handler.readBoundForTesting(), CServerHandler::ReadSliceBytes);
        QCOMPARE(s.trace(), QStringLiteral("DPAS"));
    }

    void refusedLoginIsNotRetried()
    {
        SSession s;
        s.handler.setReconnectEnabled(true);
        s.handler.setBackoffForTesting(10, 10);
        QSignalSpy scheduled(&s.handler, &CServerHandler::reconnectScheduled);
        s.sim.setLoginMode(Sim::LOGIN_REFUSE);
        QVERIFY(s.sim.listen());
        s.connectTo();
        QTRY_COMPARE(s.trace(), QStringLiteral("DPAa"));
        QVERIFY(s.handler.waitsForOperator());
        // The server hangs up after its refusal: still no new attempt.
        s.sim.dropConnections();
        QTRY_COMPARE(s.trace(), QStringLiteral("DPAaD"));
        QVERIFY(scheduled.isEmpty());
        QCOMPARE(s.sim.traffic().filter("auth_req").size(), 1);

        // The operator's next connect starts over.
        s.sim.setLoginMode(Sim::LOGIN_CHECK);
        s.connectTo();
        QTRY_VERIFY(s.trace().endsWith("PAS"));
        QVERIFY(!s.handler.waitsForOperator());
    }
};

QTEST_GUILESS_MAIN(tst_ServerHandler)
#include "tst_serverhandler.moc"
