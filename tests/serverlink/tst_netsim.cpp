#include "tests/testkit/testkit.h"
#include "tools/netsim/netsimscenario.h"
#include "tools/netsim/networkserversim.h"

#include <QJsonDocument>
#include <QSignalSpy>
#include <QWebSocket>
#include <QtTest>

namespace {

const QString DEMO_SCENARIO = TIDEWELL_SOURCE_DIR "/resources/templates/demo-scenario.json";

QJsonObject parse(const QString &text)
{
    return QJsonDocument::fromJson(text.toUtf8()).object();
}

} // namespace

class tst_NetSim : public QObject
{
    Q_OBJECT

private slots:
    void demoScenarioMatchesSampleTemplates()
    {
        QString error;
        const SSimScenario s = SSimScenario::fromFile(DEMO_SCENARIO, &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(s.devices.size(), 7);
        QCOMPARE(s.accounts.value(0).login + '/' + s.accounts.value(0).password, QStringLiteral("demo/demo"));
        // Packet type byte and size of each sample template, by AppEUI.
        const QMap<QString, QPair<char, int>> layout { { "A1B2C3D400000001", { 1, 6 } },
                                                       { "A1B2C3D400000002", { 2, 14 } },
                                                       { "A1B2C3D400000003", { 3, 13 } } };
        for (const SSimDevice &d : s.devices) {
            QVERIFY(!d.payloads.isEmpty());
            for (const QByteArray &p : d.payloads) {
                if (layout.contains(d.appEui))
                    QCOMPARE(qMakePair(p.at(0), int(p.size())), layout.value(d.appEui));
            }
        }
        QVERIFY(s.device("0011223344550007") && s.device("0011223344550007")->appEui.isEmpty());
    }

    void scenarioErrors_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::newRow("payload not hex") << R"({"devices":[{"devEui":"01","payloads":["0g"]}]})";
        QTest::newRow("payload odd length") << R"({"devices":[{"devEui":"01","payloads":["abc"]}]})";
        QTest::newRow("no devEui") << R"({"devices":[{"devName":"x","payloads":["00"]}]})";
        QTest::newRow("zero period") << R"({"devices":[{"devEui":"01","periodMs":0,"payloads":["00"]}]})";
    }
    void scenarioErrors()
    {
        QFETCH(QString, scenario);
        QString error;
        QVERIFY(SSimScenario::fromJson(parse(scenario), &error).devices.isEmpty());
        QVERIFY(!error.isEmpty());
    }

    void periodicUplinks()
    {
        CNetworkServerSim sim(SSimScenario::fromJson(
            parse(R"({"accounts":[{"login":"a","password":"b"}],"devices":[{"devEui":"0011223344550001",)"
                  R"("appEui":"A1B2C3D400000001","payloads":["01aa","01bb"],"confirmed":true}]})"),
            nullptr));
        QVERIFY(sim.listen());
        QWebSocket client;
        QStringList frames;
        QObject::connect(&client, &QWebSocket::textMessageReceived, &client,
                         [&frames](const QString &text) { frames << text; });
        QObject::connect(&client, &QWebSocket::connected, &client, [&client]() {
            client.sendTextMessage(R"({"cmd":"auth_req","login":"a","password":"b"})");
        });
        QSignalSpy loggedIn(&sim, &CNetworkServerSim::clientLoggedIn);
        client.open(sim.url());
        QVERIFY(loggedIn.wait(testkit::WAIT_MS));

        QSignalSpy finished(&sim, &CNetworkServerSim::uplinksFinished);
        sim.startUplinks(3, 20);
        QVERIFY(finished.wait(testkit::WAIT_MS));
        QTRY_COMPARE(frames.size(), 4);
        QStringList sent;
        for (int i = 1; i < 4; ++i) {
            const QJsonObject rx = parse(frames.at(i));
            QCOMPARE(rx.value("fcnt").toInt(), i);
            QVERIFY(rx.value("ts").toDouble() > 1.6e12); // milliseconds
            sent << rx.value("cmd").toString() + ' ' + rx.value("type").toString() + ' '
                    + rx.value("data").toString();
        }
        QCOMPARE(sent, QStringList({ "rx CONF_UP 01aa", "rx CONF_UP 01bb", "rx CONF_UP 01aa" }));
    }
};

QTEST_GUILESS_MAIN(tst_NetSim)
#include "tst_netsim.moc"
