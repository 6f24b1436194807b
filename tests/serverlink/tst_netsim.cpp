#include "tools/netsim/netsimscenario.h"
#include "tools/netsim/networkserversim.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QWebSocket>
#include <QtTest>

namespace {

QJsonObject parse(const QString &text)
{
    return QJsonDocument::fromJson(text.toUtf8()).object();
}

// A bare WebSocket client that keeps every frame it receives.
struct SClient
{
    explicit SClient(const QUrl &url)
    {
        QObject::connect(&socket, &QWebSocket::textMessageReceived, &socket,
                         [this](const QString &text) { frames << text; });
        socket.open(url);
    }
    bool waitConnected() { return socket.state() == QAbstractSocket::ConnectedState || connected.wait(5000); }
    QJsonObject request(const QString &text)
    {
        const int before = frames.size();
        socket.sendTextMessage(text);
        if (!QTest::qWaitFor([&]() { return frames.size() > before; }, 5000))
            return {};
        return parse(frames.at(before));
    }

    QWebSocket socket;
    QSignalSpy connected { &socket, &QWebSocket::connected };
    QStringList frames;
};

} // namespace

class tst_NetSim : public QObject
{
    Q_OBJECT

private slots:
    void demoScenarioMatchesSampleTemplates();
    void scenarioErrors_data();
    void scenarioErrors();
    void loginAndDeviceListFilter();
    void periodicUplinks();
    void executableListensAndAnswersProbe();
};

void tst_NetSim::demoScenarioMatchesSampleTemplates()
{
    QString error;
    const SSimScenario s = SSimScenario::fromFile(
        QStringLiteral(TIDEWELL_SOURCE_DIR "/resources/templates/demo-scenario.json"), &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QCOMPARE(s.devices.size(), 7);
    QCOMPARE(s.accounts.value(0).login, QStringLiteral("demo"));
    QCOMPARE(s.accounts.value(0).password, QStringLiteral("demo"));

    // Packet type byte and size per sample device type.
    const QMap<QString, QPair<char, int>> layout {
        { QStringLiteral("A1B2C3D400000001"), { 1, 6 } },
        { QStringLiteral("A1B2C3D400000002"), { 2, 14 } },
        { QStringLiteral("A1B2C3D400000003"), { 3, 13 } },
    };
    for (const SSimDevice &d : s.devices) {
        QVERIFY(!d.payloads.isEmpty());
        if (!layout.contains(d.appEui))
            continue;
        for (const QByteArray &p : d.payloads) {
            QCOMPARE(p.at(0), layout.value(d.appEui).first);
            QCOMPARE(p.size(), layout.value(d.appEui).second);
        }
    }
    QVERIFY(s.device(QStringLiteral("0011223344550007")));
    QVERIFY(s.device(QStringLiteral("0011223344550007"))->appEui.isEmpty());
}

void tst_NetSim::scenarioErrors_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::newRow("payload not hex") << R"({"devices":[{"devEui":"01","payloads":["0g"]}]})";
    QTest::newRow("payload odd length") << R"({"devices":[{"devEui":"01","payloads":["abc"]}]})";
    QTest::newRow("no devEui") << R"({"devices":[{"devName":"x","payloads":["00"]}]})";
    QTest::newRow("zero period") << R"({"devices":[{"devEui":"01","periodMs":0,"payloads":["00"]}]})";
    QTest::newRow("account without login") << R"({"accounts":[{"password":"x"}]})";
}

void tst_NetSim::scenarioErrors()
{
    QFETCH(QString, scenario);
    QString error;
    const SSimScenario s = SSimScenario::fromJson(parse(scenario), &error);
    QVERIFY(!error.isEmpty());
    QVERIFY(s.devices.isEmpty());
}

void tst_NetSim::loginAndDeviceListFilter()
{
    QString error;
    CNetworkServerSim sim(SSimScenario::fromFile(
        QStringLiteral(TIDEWELL_SOURCE_DIR "/resources/templates/demo-scenario.json"), &error));
    QVERIFY(sim.listen());
    SClient client(sim.url());
    QVERIFY(client.waitConnected());

    QVERIFY(client.request(QStringLiteral(R"({"cmd":"cmd"})")).contains(QStringLiteral("err_string")));
    const QJsonObject early = client.request(
        QStringLiteral(R"({"cmd":"get_devices_req","select":{"appEui_list":["A1B2C3D400000001"]}})"));
    QCOMPARE(early.value(QStringLiteral("status")).toBool(true), false);

    const QJsonObject refused
        = client.request(QStringLiteral(R"({"cmd":"auth_req","login":"demo","password":"wrong"})"));
    QCOMPARE(refused.value(QStringLiteral("cmd")).toString(), QStringLiteral("auth_resp"));
    QCOMPARE(refused.value(QStringLiteral("status")).toBool(true), false);
    QVERIFY(!refused.value(QStringLiteral("err_string")).toString().isEmpty());
    QCOMPARE(sim.loggedInCount(), 0);

    const QJsonObject accepted
        = client.request(QStringLiteral(R"({"cmd":"auth_req","login":"demo","password":"demo"})"));
    QCOMPARE(accepted.value(QStringLiteral("status")).toBool(), true);
    QVERIFY(!accepted.value(QStringLiteral("token")).toString().isEmpty());
    QCOMPARE(sim.loggedInCount(), 1);

    const QJsonObject list = client.request(QStringLiteral(
        R"({"cmd":"get_devices_req","select":{"appEui_list":["a1b2c3d400000002","A1B2C3D4000000FF","0000000000000000"]}})"));
    QCOMPARE(list.value(QStringLiteral("cmd")).toString(), QStringLiteral("get_devices_resp"));
    QCOMPARE(list.value(QStringLiteral("status")).toBool(), true);
    QStringList names;
    const QJsonArray devices = list.value(QStringLiteral("devices_list")).toArray();
    for (const QJsonValue &d : devices)
        names << d.toObject().value(QStringLiteral("devName")).toString();
    QCOMPARE(names, (QStringList { "Water meter", "Gas meter", "Unknown thing" }));
}

void tst_NetSim::periodicUplinks()
{
    SSimScenario scenario;
    scenario.accounts = { { QStringLiteral("a"), QStringLiteral("b") } };
    SSimDevice device;
    device.devEui = QStringLiteral("0011223344550001");
    device.appEui = QStringLiteral("A1B2C3D400000001");
    device.payloads = { QByteArray::fromHex("01aa"), QByteArray::fromHex("01bb") };
    device.confirmed = true;
    scenario.devices = { device };
    CNetworkServerSim sim(scenario);
    QVERIFY(sim.listen());
    SClient client(sim.url());
    QVERIFY(client.waitConnected());
    QCOMPARE(client.request(QStringLiteral(R"({"cmd":"auth_req","login":"a","password":"b"})"))
                 .value(QStringLiteral("status"))
                 .toBool(),
             true);

    QSignalSpy finished(&sim, &CNetworkServerSim::uplinksFinished);
    sim.startUplinks(3, 20);
    QVERIFY(finished.wait());
    QTRY_COMPARE(client.frames.size(), 4);
    QStringList data;
    for (int i = 1; i < 4; ++i) {
        const QJsonObject rx = parse(client.frames.at(i));
        QCOMPARE(rx.value(QStringLiteral("cmd")).toString(), QStringLiteral("rx"));
        QCOMPARE(rx.value(QStringLiteral("type")).toString(), QStringLiteral("CONF_UP"));
        QCOMPARE(rx.value(QStringLiteral("fcnt")).toInt(), i);
        QVERIFY(rx.value(QStringLiteral("gatewayId")).toString().contains(QLatin1Char('+')));
        QVERIFY(rx.value(QStringLiteral("ts")).toDouble() > 1.6e12);
        for (const char *key : { "rssi", "snr", "port", "freq", "dr", "ack", "devEui" })
            QVERIFY2(rx.contains(QLatin1String(key)), key);
        data << rx.value(QStringLiteral("data")).toString();
    }
    QCOMPARE(data, (QStringList { "01aa", "01bb", "01aa" }));
}

void tst_NetSim::executableListensAndAnswersProbe()
{
    QProcess netsim;
    netsim.setProgram(QStringLiteral(TIDEWELL_NETSIM_EXE));
    netsim.setArguments({ QStringLiteral("--scenario"),
                          QStringLiteral(TIDEWELL_SOURCE_DIR "/resources/templates/demo-scenario.json"),
                          QStringLiteral("--port"), QStringLiteral("0") });
    netsim.start();
    QVERIFY(netsim.waitForStarted());
    const auto stop = qScopeGuard([&netsim]() {
        if (netsim.state() != QProcess::NotRunning) {
            netsim.kill();
            netsim.waitForFinished();
        }
    });
    QTRY_VERIFY_WITH_TIMEOUT(netsim.canReadLine(), 20000);
    const QString first = QString::fromUtf8(netsim.readLine()).trimmed();
    QVERIFY2(first.startsWith(QLatin1String("listening on ws://127.0.0.1:")), qPrintable(first));
    const QUrl url(first.mid(first.indexOf(QLatin1String("ws://"))));
    QVERIFY(url.port() > 0);

    {
        SClient client(url);
        QVERIFY(client.waitConnected());
        QVERIFY(client.request(QStringLiteral(R"({"cmd":"cmd"})")).contains(QStringLiteral("err_string")));
        // One printed line per message received and sent.
        QByteArray printed;
        QTRY_VERIFY((printed += netsim.readAllStandardOutput()).contains(R"(<- {"cmd":"cmd"})"));
        QTRY_VERIFY((printed += netsim.readAllStandardOutput()).contains(R"(-> {"cmd":"cmd")"));
    }

    netsim.terminate();
    QVERIFY(netsim.waitForFinished(10000));
    QCOMPARE(netsim.exitStatus(), QProcess::NormalExit);
    QCOMPARE(netsim.exitCode(), 0);
}

QTEST_GUILESS_MAIN(tst_NetSim)
#include "tst_netsim.moc"
