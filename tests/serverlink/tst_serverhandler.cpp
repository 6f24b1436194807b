#include "app/logfile.h"
#include "serverlink/serverhandler.h"
#include "tools/netsim/networkserversim.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QSignalSpy>
#include <QSslCertificate>
#include <QSslKey>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

using COMM::EServerStatus;

namespace {

SSimScenario testScenario()
{
    SSimScenario s;
    s.accounts = { { QStringLiteral("demo"), QStringLiteral("demo") } };
    auto device = [](const char *devEui, const char *name, const char *appEui) {
        SSimDevice d;
        d.devEui = QString::fromLatin1(devEui);
        d.devName = QString::fromUtf8(name);
        d.appEui = QString::fromLatin1(appEui);
        return d;
    };
    s.devices = {
        device("0011223344550001", "Boiler room", "A1B2C3D400000001"),
        device("0011223344550002", "Cold store", "A1B2C3D400000001"),
        device("0011223344550003", "Water meter", "A1B2C3D400000002"),
        device("00112233445500aa", "Lower case", "a1b2c3d4000000aa"),
        device("0011223344550007", "ABP device", ""),
    };
    return s;
}

// One simulated server and one fresh session with its signal spies.
struct SSession
{
    explicit SSession(int handshakeMs = 10000, int responseMs = 10000)
    {
        handler.setTimeoutsForTesting(handshakeMs, responseMs);
    }

    bool listen() { return sim.listen(); }
    void connectTo(const QString &login = QStringLiteral("demo"),
                   const QString &password = QStringLiteral("demo"))
    {
        handler.connectSlot(sim.url().toString(), login, password);
    }
    QList<EServerStatus> statuses() const
    {
        QList<EServerStatus> result;
        for (const QList<QVariant> &args : status)
            result << args.at(0).value<EServerStatus>();
        return result;
    }
    // Answers the next login request with a text of the test's choice.
    void answerLoginWith(const QString &text)
    {
        sim.setLoginMode(CNetworkServerSim::LOGIN_SILENT);
        QObject::connect(&sim, &CNetworkServerSim::messageReceived, &sim, [this, text](const QString &msg) {
            if (msg.contains(QLatin1String("auth_req")))
                sim.sendText(text);
        });
    }
    QStringList requestsReceived(const QString &cmd) const
    {
        QStringList result;
        const QList<QJsonObject> received = sim.received();
        for (const QJsonObject &o : received) {
            if (o.value(QStringLiteral("cmd")).toString() == cmd)
                result << QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
        }
        return result;
    }

    CNetworkServerSim sim { testScenario() };
    CServerHandler handler;
    QSignalSpy status { &handler, &CServerHandler::changeServerStatus };
    QSignalSpy packets { &handler, &CServerHandler::newPacketReceived };
    QSignalSpy lists { &handler, &CServerHandler::getDevicesListResp };
};

const QList<EServerStatus> LOGGED_IN { COMM::DISCONNECTED, COMM::PING_WAITING, COMM::AUTH_WAITING,
                                       COMM::SUCCESS };

} // namespace

class tst_ServerHandler : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void loginSucceeds();
    void invalidUrl();
    void probeUnanswered();
    void probeAnsweredWithoutErrString();
    void probeAnsweredLateLeavesLoginUnguarded();
    void loginUnanswered();
    void loginRejected_data();
    void loginRejected();
    void uplinksReachRegistryOnlyWhenLoggedIn();
    void malformedFramesNeverBreakTheSession();
    void oddObjectsFromAServerAreSurvived();
    void deviceListRequestsGoOutOneAtATime();
    void deviceListTimeoutThenLateReplyIsUnscheduled();
    void lateReplyAnswersTheRequestInFlight();
    void deviceListRefused();
    void deviceListGuards();
    void reconnectWhileLoggedIn();
    void serverDropsConnection();
    void socketErrorIsLogged();
    void tlsErrorsAreLogged();

private:
    bool logged(const QString &text) const;

    QTemporaryDir m_dir;
    std::unique_ptr<QSignalSpy> m_log;
};

void tst_ServerHandler::initTestCase()
{
    qRegisterMetaType<COMM::EServerStatus>("COMM::EServerStatus");
    qRegisterMetaType<QList<API::SServerDeviceInfo>>("QList<API::SServerDeviceInfo>");
    qRegisterMetaType<API::SApiDeviceData>("API::SApiDeviceData");
    QVERIFY(m_dir.isValid());
    QVERIFY(QDir::setCurrent(m_dir.path()));
    m_log = std::make_unique<QSignalSpy>(CLogFile::getInstance(QStringLiteral("history.log")),
                                         &CLogFile::addLogSignal);
}

void tst_ServerHandler::init()
{
    m_log->clear();
}

bool tst_ServerHandler::logged(const QString &text) const
{
    for (const QList<QVariant> &args : qAsConst(*m_log)) {
        if (args.at(0).toString().endsWith(text))
            return true;
    }
    return false;
}

void tst_ServerHandler::loginSucceeds()
{
    SSession s(800);
    QVERIFY(s.listen());
    QSignalSpy loggedIn(&s.sim, &CNetworkServerSim::clientLoggedIn);
    s.connectTo();
    QVERIFY(loggedIn.wait());
    QTRY_COMPARE(s.statuses(), LOGGED_IN);
    QCOMPARE(s.sim.traffic().value(0), QStringLiteral(R"(<- {"cmd":"cmd"})"));
    QCOMPARE(s.requestsReceived(QStringLiteral("auth_req")),
             QStringList { R"({"cmd":"auth_req","login":"demo","password":"demo"})" });

    // The handshake timer keeps running after the login; its expiry changes nothing.
    QVERIFY(!s.status.wait(1000));
    QCOMPARE(s.statuses(), LOGGED_IN);
}

void tst_ServerHandler::invalidUrl()
{
    SSession s;
    s.handler.connectSlot(QStringLiteral("ws://[1::2"), QStringLiteral("demo"), QStringLiteral("demo"));
    QCOMPARE(s.statuses(), QList<EServerStatus> { COMM::DISCONNECTED });
    QVERIFY(logged(QStringLiteral("[CServerHandler::connectSlot] Invalid input URL [ws://[1::2]")));
}

void tst_ServerHandler::probeUnanswered()
{
    SSession s(200);
    s.sim.setProbeMode(CNetworkServerSim::PROBE_SILENT);
    QVERIFY(s.listen());
    s.connectTo();
    QTRY_COMPARE(s.statuses(),
                 (QList<EServerStatus> { COMM::DISCONNECTED, COMM::PING_WAITING, COMM::INVALID_PING }));
    QVERIFY(s.requestsReceived(QStringLiteral("auth_req")).isEmpty());
}

void tst_ServerHandler::probeAnsweredWithoutErrString()
{
    SSession s;
    s.sim.setProbeMode(CNetworkServerSim::PROBE_NO_ERR_STRING);
    QVERIFY(s.listen());
    QTest::ignoreMessage(QtDebugMsg, "[CServerHandler::textMessageReceivedSlot] State=ping: unknown message");
    s.connectTo();
    QTRY_COMPARE(s.statuses(),
                 (QList<EServerStatus> { COMM::DISCONNECTED, COMM::PING_WAITING, COMM::INVALID_PING }));

    // Still waiting for the probe answer: a later one leads on to the login.
    QSignalSpy loggedIn(&s.sim, &CNetworkServerSim::clientLoggedIn);
    s.sim.sendText(QStringLiteral(R"({"err_string":""})"));
    QVERIFY(loggedIn.wait());
    QTRY_COMPARE(s.statuses(),
                 (QList<EServerStatus> { COMM::DISCONNECTED, COMM::PING_WAITING, COMM::INVALID_PING,
                                         COMM::AUTH_WAITING, COMM::SUCCESS }));
}

void tst_ServerHandler::probeAnsweredLateLeavesLoginUnguarded()
{
    SSession s(150);
    s.sim.setProbeDelayMs(500);
    s.sim.setLoginDelayMs(500);
    QVERIFY(s.listen());
    s.connectTo();
    QTRY_COMPARE_WITH_TIMEOUT(
        s.statuses(),
        (QList<EServerStatus> { COMM::DISCONNECTED, COMM::PING_WAITING, COMM::INVALID_PING,
                                COMM::AUTH_WAITING, COMM::SUCCESS }),
        10000);
}

void tst_ServerHandler::loginUnanswered()
{
    SSession s(800);
    s.sim.setLoginMode(CNetworkServerSim::LOGIN_SILENT);
    QVERIFY(s.listen());
    s.connectTo();
    QTRY_COMPARE(s.statuses(),
                 (QList<EServerStatus> { COMM::DISCONNECTED, COMM::PING_WAITING, COMM::AUTH_WAITING,
                                         COMM::INVALID_AUTH }));
}

void tst_ServerHandler::loginRejected_data()
{
    QTest::addColumn<QString>("reply");
    QTest::addColumn<QString>("debug");

    const QString prefix
        = QStringLiteral("[CServerHandler::textMessageReceivedSlot] State=auth: unknown message");
    QTest::newRow("no cmd") << R"({"status":true,"token":"t"})" << prefix + "[1]";
    QTest::newRow("other cmd") << R"({"cmd":"rx","type":"UNCONF_UP","data":"00","devEui":"01"})"
                               << prefix + "[2]";
    QTest::newRow("cmd not text") << R"({"cmd":1,"status":true})" << prefix + "[2]";
    QTest::newRow("no status") << R"({"cmd":"auth_resp","token":"t"})" << prefix + "[3]";
    QTest::newRow("refused") << R"({"cmd":"auth_resp","status":false,"err_string":"Bad password"})"
                             << prefix + "[4], err[Bad password]";
    QTest::newRow("refused without reason")
        << R"({"cmd":"auth_resp","status":false})" << prefix + "[4], err[]";
    QTest::newRow("status as text") << R"({"cmd":"auth_resp","status":"true","token":"t"})"
                                    << prefix + "[4], err[]";
}

void tst_ServerHandler::loginRejected()
{
    QFETCH(QString, reply);
    QFETCH(QString, debug);
    SSession s;
    s.answerLoginWith(reply);
    QVERIFY(s.listen());
    QTest::ignoreMessage(QtDebugMsg, qPrintable(debug));
    s.connectTo();
    QTRY_COMPARE(s.statuses(),
                 (QList<EServerStatus> { COMM::DISCONNECTED, COMM::PING_WAITING, COMM::AUTH_WAITING,
                                         COMM::INVALID_AUTH }));

    // After a failed login everything is ignored until the next connection.
    s.sim.sendText(QStringLiteral(R"({"cmd":"auth_resp","status":true,"token":"late"})"));
    s.sim.sendText(
        QStringLiteral(R"({"cmd":"rx","type":"UNCONF_UP","devEui":"0011223344550001","data":"01"})"));
    QVERIFY(s.handler.getDevicesList({ QStringLiteral("A1B2C3D400000001") }) == false);
    QVERIFY(!s.status.wait(300));
    QCOMPARE(s.packets.count(), 0);
}

void tst_ServerHandler::uplinksReachRegistryOnlyWhenLoggedIn()
{
    SSession s;
    s.sim.setProbeMode(CNetworkServerSim::PROBE_SILENT);
    QVERIFY(s.listen());
    QSignalSpy connected(&s.sim, &CNetworkServerSim::clientConnected);
    s.connectTo();
    QTRY_COMPARE(s.statuses(), (QList<EServerStatus> { COMM::DISCONNECTED, COMM::PING_WAITING }));

    // Before the login an uplink is just an unexpected answer to the probe.
    QTest::ignoreMessage(QtDebugMsg, "[CServerHandler::textMessageReceivedSlot] State=ping: unknown message");
    s.sim.sendText(QString::fromUtf8(
        QJsonDocument(s.sim.buildUplink(QStringLiteral("0011223344550001"), QByteArray::fromHex("01")))
            .toJson(QJsonDocument::Compact)));
    QTRY_COMPARE(s.statuses().last(), COMM::INVALID_PING);

    QSignalSpy loggedIn(&s.sim, &CNetworkServerSim::clientLoggedIn);
    s.sim.sendText(QStringLiteral(R"({"cmd":"cmd","err_string":"Unknown command"})"));
    QVERIFY(loggedIn.wait());
    QTRY_COMPARE(s.statuses().last(), COMM::SUCCESS);
    QCOMPARE(s.packets.count(), 0);

    // Logged in: an uplink with an empty DevEUI and a non-uplink frame are dropped,
    // the next good one arrives.
    QCOMPARE(s.sim.sendUplink(QString(), QByteArray::fromHex("01")), 1);
    QTest::ignoreMessage(QtDebugMsg, "[SApiDeviceData] Not UPLINK message");
    s.sim.sendUplink(QStringLiteral("0011223344550001"), QByteArray::fromHex("01"),
                     { { QStringLiteral("type"), QStringLiteral("JOIN_REQ") } });
    QTest::ignoreMessage(QtDebugMsg,
                         "[CServerHandler::textMessageReceivedSlot] State=verified: unknown message[1]");
    s.sim.sendText(QStringLiteral(R"({"type":"UNCONF_UP","devEui":"0011223344550001","data":"01"})"));
    s.sim.sendUplink(QStringLiteral("00112233445500aa"), QByteArray::fromHex("0159082dc40b"),
                     { { QStringLiteral("fcnt"), 41 }, { QStringLiteral("rssi"), -110 } });
    QVERIFY(s.packets.wait());
    QCOMPARE(s.packets.count(), 1);
    const auto uplink = s.packets.at(0).at(0).value<API::SApiDeviceData>();
    QCOMPARE(uplink.devEui, QStringLiteral("00112233445500AA"));
    QCOMPARE(uplink.data, QByteArray::fromHex("0159082dc40b"));
    QCOMPARE(uplink.gatewayId, QStringLiteral("00AA11BB22CC33DD"));
    QCOMPARE(uplink.fcnt, 41u);
    QCOMPARE(uplink.rssi, qint16(-110));
    QVERIFY(uplink.ts > 0);
}

void tst_ServerHandler::malformedFramesNeverBreakTheSession()
{
    SSession s;
    s.sim.setGarbageAfterLogin(true);
    QVERIFY(s.listen());
    const char *unknown = "[CServerHandler::textMessageReceivedSlot] Uncknown input message format";
    QTest::ignoreMessage(QtDebugMsg, unknown);
    QTest::ignoreMessage(QtDebugMsg, unknown);
    s.connectTo();
    QTRY_COMPARE(s.statuses(), LOGGED_IN);

    for (int i = 0; i < 3; ++i)
        QTest::ignoreMessage(QtDebugMsg, unknown);
    s.sim.sendMalformedJson();
    s.sim.sendNonObject();
    s.sim.sendText(QString());
    s.sim.sendUplink(QStringLiteral("0011223344550001"), QByteArray::fromHex("01"));
    QVERIFY(s.packets.wait());
    QCOMPARE(s.statuses(), LOGGED_IN);
}

void tst_ServerHandler::oddObjectsFromAServerAreSurvived()
{
    SSession s;
    s.sim.setDevicesMode(CNetworkServerSim::DEVICES_SILENT);
    QVERIFY(s.listen());
    s.connectTo();
    QTRY_COMPARE(s.statuses(), LOGGED_IN);

    QTest::ignoreMessage(QtDebugMsg, "[SApiDeviceData] Not UPLINK message");
    s.sim.sendText(QStringLiteral(R"({"cmd":"rx"})"));
    QTest::ignoreMessage(QtDebugMsg, "[SApiDeviceData] DATA is not exist");
    s.sim.sendText(QStringLiteral(R"({"cmd":"rx","type":"UNCONF_UP","devEui":"01"})"));
    s.sim.sendText(QStringLiteral(R"({"cmd":null,"status":true})"));
    s.sim.sendText(QStringLiteral(
        R"({"cmd":"rx","type":"UNCONF_UP","devEui":"01","data":7,"port":1e300,"rssi":-1e300,"fcnt":1e300,"ts":-1})"));
    QVERIFY(s.packets.wait());
    const auto odd = s.packets.at(0).at(0).value<API::SApiDeviceData>();
    QCOMPARE(odd.devEui, QStringLiteral("01"));
    QVERIFY(odd.data.isEmpty());
    QCOMPARE(odd.ts, quint64(0));

    // A reply whose list is not an array answers the request with an empty list.
    QVERIFY(s.handler.getDevicesList({ QStringLiteral("A1B2C3D400000001") }));
    QSignalSpy asked(&s.sim, &CNetworkServerSim::messageReceived);
    QVERIFY(asked.wait());
    s.sim.sendText(QStringLiteral(R"({"cmd":"get_devices_resp","status":true,"devices_list":"all"})"));
    QVERIFY(s.lists.wait());
    QCOMPARE(s.lists.at(0).at(0).toBool(), true);
    QVERIFY(s.lists.at(0).at(1).value<QList<API::SServerDeviceInfo>>().isEmpty());
    QCOMPARE(s.statuses(), LOGGED_IN);
}

void tst_ServerHandler::deviceListRequestsGoOutOneAtATime()
{
    SSession s;
    s.sim.setDevicesDelayMs(200);
    QVERIFY(s.listen());
    s.connectTo();
    QTRY_COMPARE(s.statuses(), LOGGED_IN);
    s.sim.clearTraffic();

    QTest::ignoreMessage(QtDebugMsg, "[CServerHandler::newTaskSlot] Waiting mutex is locked! Return");
    QVERIFY(s.handler.getDevicesList({ QStringLiteral("A1B2C3D400000001") }));
    QVERIFY(
        s.handler.getDevicesList({ QStringLiteral("A1B2C3D400000002"), QStringLiteral("A1B2C3D4000000AA") }));
    QTRY_COMPARE(s.lists.count(), 2);

    // The second request went out only after the first reply.
    const QStringList traffic = s.sim.traffic();
    QCOMPARE(traffic.size(), 4);
    QVERIFY(traffic.at(0).startsWith(
        QLatin1String(R"(<- {"cmd":"get_devices_req","select":{"appEui_list":["A1B2C3D400000001"]}})")));
    QVERIFY(traffic.at(1).startsWith(QLatin1String(R"(-> {"cmd":"get_devices_resp")")));
    QVERIFY(
        traffic.at(2).contains(QLatin1String(R"("appEui_list":["A1B2C3D400000002","A1B2C3D4000000AA"])")));
    QVERIFY(traffic.at(3).startsWith(QLatin1String(R"(-> {"cmd":"get_devices_resp")")));

    auto names = [&s](int i) {
        QStringList result;
        const auto list = s.lists.at(i).at(1).value<QList<API::SServerDeviceInfo>>();
        for (const API::SServerDeviceInfo &info : list)
            result << info.devName + QLatin1Char('/') + info.devEui + QLatin1Char('/') + info.appEui;
        return result;
    };
    QCOMPARE(s.lists.at(0).at(0).toBool(), true);
    QCOMPARE(names(0),
             (QStringList { "Boiler room/0011223344550001/A1B2C3D400000001",
                            "Cold store/0011223344550002/A1B2C3D400000001" }));
    QCOMPARE(s.lists.at(1).at(0).toBool(), true);
    // A server writing its EUIs in lower case still yields upper-case EUIs.
    QCOMPARE(names(1),
             (QStringList { "Water meter/0011223344550003/A1B2C3D400000002",
                            "Lower case/00112233445500AA/A1B2C3D4000000AA" }));
}

void tst_ServerHandler::deviceListTimeoutThenLateReplyIsUnscheduled()
{
    SSession s(10000, 200);
    s.sim.setDevicesDelayMs(700);
    QVERIFY(s.listen());
    s.connectTo();
    QTRY_COMPARE(s.statuses(), LOGGED_IN);

    QVERIFY(s.handler.getDevicesList({ QStringLiteral("A1B2C3D400000001") }));
    QVERIFY(s.lists.wait());
    QCOMPARE(s.lists.at(0).at(0).toBool(), false);
    QVERIFY(s.lists.at(0).at(1).value<QList<API::SServerDeviceInfo>>().isEmpty());

    QSignalSpy reply(&s.sim, &CNetworkServerSim::messageSent);
    QVERIFY(reply.wait(5000));
    const QString unscheduled = QStringLiteral(
        "[CServerHandler::textMessageReceivedSlot] State=verified: unsheduled packet from server");
    QTRY_VERIFY(logged(unscheduled));
    QCOMPARE(s.lists.count(), 1);

    QFile log(QStringLiteral("history.log"));
    QVERIFY(log.open(QIODevice::ReadOnly));
    QVERIFY(QString::fromUtf8(log.readAll()).contains(unscheduled));
}

void tst_ServerHandler::lateReplyAnswersTheRequestInFlight()
{
    SSession s(10000, 600);
    s.sim.setDevicesDelayMs(900);
    QVERIFY(s.listen());
    s.connectTo();
    QTRY_COMPARE(s.statuses(), LOGGED_IN);

    QVERIFY(s.handler.getDevicesList({ QStringLiteral("A1B2C3D400000001") }));
    QVERIFY(s.lists.wait());
    QCOMPARE(s.lists.at(0).at(0).toBool(), false);
    s.sim.setDevicesMode(CNetworkServerSim::DEVICES_SILENT);
    QVERIFY(s.handler.getDevicesList({ QStringLiteral("A1B2C3D400000002") }));
    // The first request's late reply is taken as the second one's answer.
    QVERIFY(s.lists.wait(5000));
    QCOMPARE(s.lists.at(1).at(0).toBool(), true);
    QCOMPARE(s.lists.at(1).at(1).value<QList<API::SServerDeviceInfo>>().value(0).devName,
             QStringLiteral("Boiler room"));
}

void tst_ServerHandler::deviceListRefused()
{
    SSession s;
    s.sim.setDevicesMode(CNetworkServerSim::DEVICES_REFUSE);
    QVERIFY(s.listen());
    s.connectTo();
    QTRY_COMPARE(s.statuses(), LOGGED_IN);
    QVERIFY(s.handler.getDevicesList({ QStringLiteral("A1B2C3D400000001") }));
    QVERIFY(s.lists.wait());
    QCOMPARE(s.lists.at(0).at(0).toBool(), false);
    QVERIFY(s.lists.at(0).at(1).value<QList<API::SServerDeviceInfo>>().isEmpty());

    // The queue is idle again: the next request goes out and is answered.
    s.sim.setDevicesMode(CNetworkServerSim::DEVICES_ANSWER);
    QVERIFY(s.handler.getDevicesList({ QStringLiteral("A1B2C3D400000001") }));
    QVERIFY(s.lists.wait());
    QCOMPARE(s.lists.at(1).at(0).toBool(), true);
}

void tst_ServerHandler::deviceListGuards()
{
    SSession s;
    QVERIFY(!s.handler.getDevicesList({ QStringLiteral("A1B2C3D400000001") }));
    QVERIFY(logged(QStringLiteral("[CServerHandler::getDevicesList] Invalid connection to server! Return")));

    QVERIFY(s.listen());
    s.connectTo();
    QTRY_COMPARE(s.statuses(), LOGGED_IN);
    m_log->clear();
    QVERIFY(!s.handler.getDevicesList({}));
    QVERIFY(logged(QStringLiteral("[CServerHandler::getDevicesList] Empty input AppEUI list! Return")));
    QVERIFY(!s.lists.wait(200));
    QVERIFY(s.requestsReceived(QStringLiteral("get_devices_req")).isEmpty());
}

void tst_ServerHandler::reconnectWhileLoggedIn()
{
    SSession s;
    QVERIFY(s.listen());
    s.connectTo();
    QTRY_COMPARE(s.statuses(), LOGGED_IN);

    s.status.clear();
    s.connectTo();
    QCOMPARE(s.statuses().value(0), COMM::DISCONNECTED);
    QTRY_COMPARE(s.statuses().last(), COMM::SUCCESS);
    const QList<EServerStatus> again = s.statuses();
    QVERIFY(again.indexOf(COMM::PING_WAITING) > 0);
    QVERIFY(again.indexOf(COMM::AUTH_WAITING) > again.indexOf(COMM::PING_WAITING));
    QTRY_COMPARE(s.sim.loggedInCount(), 1);

    s.sim.sendUplink(QStringLiteral("0011223344550001"), QByteArray::fromHex("01"));
    QVERIFY(s.packets.wait());
}

void tst_ServerHandler::serverDropsConnection()
{
    SSession s;
    QVERIFY(s.listen());
    s.connectTo();
    QTRY_COMPARE(s.statuses(), LOGGED_IN);
    s.sim.dropConnections();
    QTRY_COMPARE(s.statuses().last(), COMM::DISCONNECTED);
    QVERIFY(!s.handler.getDevicesList({ QStringLiteral("A1B2C3D400000001") }));
}

void tst_ServerHandler::socketErrorIsLogged()
{
    quint16 closedPort = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        closedPort = probe.serverPort();
    }
    SSession s;
    s.handler.connectSlot(QStringLiteral("ws://127.0.0.1:%1").arg(closedPort), QStringLiteral("demo"),
                          QStringLiteral("demo"));
    QTRY_VERIFY(logged(QStringLiteral("[CServerHandler] Socket error: Connection refused")));
    QCOMPARE(s.statuses().first(), COMM::DISCONNECTED);
    QVERIFY(!s.statuses().contains(COMM::PING_WAITING));
}

void tst_ServerHandler::tlsErrorsAreLogged()
{
    QTemporaryDir certDir;
    QProcess openssl;
    openssl.setWorkingDirectory(certDir.path());
    openssl.start(QStringLiteral("openssl"),
                  { "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "key.pem", "-out", "cert.pem",
                    "-days", "2", "-subj", "/CN=127.0.0.1" });
    if (!openssl.waitForFinished(30000) || openssl.exitCode() != 0)
        QSKIP("openssl cannot make a test certificate here");
    QFile certFile(certDir.filePath(QStringLiteral("cert.pem")));
    QFile keyFile(certDir.filePath(QStringLiteral("key.pem")));
    QVERIFY(certFile.open(QIODevice::ReadOnly) && keyFile.open(QIODevice::ReadOnly));
    QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
    ssl.setLocalCertificate(QSslCertificate(certFile.readAll(), QSsl::Pem));
    ssl.setPrivateKey(QSslKey(keyFile.readAll(), QSsl::Rsa, QSsl::Pem));
    ssl.setPeerVerifyMode(QSslSocket::VerifyNone);

    SSession s;
    QVERIFY(s.sim.listenSecure(ssl));
    QCOMPARE(s.sim.url().scheme(), QStringLiteral("wss"));

    // A client that accepts the self-signed certificate gets through.
    QWebSocket client;
    QObject::connect(&client, &QWebSocket::sslErrors, &client, [&client]() { client.ignoreSslErrors(); });
    QSignalSpy answer(&client, &QWebSocket::textMessageReceived);
    QObject::connect(&client, &QWebSocket::connected, &client,
                     [&client]() { client.sendTextMessage(QStringLiteral(R"({"cmd":"cmd"})")); });
    client.open(s.sim.url());
    QVERIFY(answer.wait(10000));
    QVERIFY(answer.at(0).at(0).toString().contains(QLatin1String("err_string")));

    // The gateway does not, and says why instead of staying silently disconnected.
    s.connectTo();
    QTRY_VERIFY_WITH_TIMEOUT(
        logged(QStringLiteral("[CServerHandler] TLS error: The certificate is self-signed, and untrusted")),
        10000);
    QVERIFY(!s.statuses().contains(COMM::PING_WAITING));
}

QTEST_GUILESS_MAIN(tst_ServerHandler)
#include "tst_serverhandler.moc"
