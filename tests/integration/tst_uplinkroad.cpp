#include "app/globaldata.h"
#include "app/logfile.h"
#include "devices/alldevicehandler.h"
#include "serverlink/serverhandler.h"
#include "storage/databasehandler.h"
#include "tests/testkit/modbusclient.h"
#include "tests/testkit/testkit.h"
#include "tools/netsim/networkserversim.h"

#include <QSignalSpy>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

// One uplink's whole road in one process on loopback: simulated network
// server -> server session -> registry and decoder -> register store ->
// Modbus listener -> libmodbus.
class tst_UplinkRoad : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void uplinkReachesModbusClient();
};

void tst_UplinkRoad::initTestCase()
{
    initGlobalData();
}

void tst_UplinkRoad::uplinkReachesModbusClient()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QDir::setCurrent(dir.path()));
    CLogFile::getInstance(QStringLiteral("history.log"));
    QVERIFY(QDir().mkpath(QStringLiteral("deviceFolder")));
    QVERIFY(QFile::copy(QStringLiteral(TIDEWELL_SOURCE_DIR "/resources/templates/th-sensor.json"),
                        QStringLiteral("deviceFolder/th-sensor.json")));

    const QString eui = QStringLiteral("0011223344550001");
    SSimScenario scenario;
    scenario.accounts.append({ QStringLiteral("demo"), QStringLiteral("demo") });
    SSimDevice simDevice;
    simDevice.devEui = eui;
    simDevice.devName = QStringLiteral("Boiler room");
    simDevice.appEui = QStringLiteral("A1B2C3D400000001");
    scenario.devices.append(simDevice);
    CNetworkServerSim sim(scenario);
    QVERIFY(sim.listen());

    CDataBaseHandler store(dir.filePath(QStringLiteral("server.db")), QStringLiteral("road"));
    QVERIFY(!store.failed());
    CAllDeviceHandler registry;
    registry.setRegisterStore(&store);
    QVERIFY(registry.hasTemplate(simDevice.appEui));
    CServerHandler session;
    connect(&session, &CServerHandler::newPacketReceived, &registry,
            &CAllDeviceHandler::newPacketReceivedSlot, Qt::QueuedConnection);

    QSignalSpy loggedIn(&sim, &CNetworkServerSim::clientLoggedIn);
    session.connectSlot(sim.url().toString(), QStringLiteral("demo"), QStringLiteral("demo"));
    QVERIFY(loggedIn.wait(testkit::WAIT_MS));

    // Registered as the add-device dialog does it.
    DB::SDeviceRegMapDescription description;
    description.devEui = eui;
    description.appEui = simDevice.appEui;
    description.devName = simDevice.devName;
    description.startAddr = 40;
    description.regList = registry.getDeviceRegisterMap(simDevice.appEui).registers;
    const uint16_t port = testkit::freePort();
    QVERIFY(store.registerNewDevice(description, port));
    registry.addNewDevice(description, port);

    QSignalSpy decoded(&registry, &CAllDeviceHandler::newDataForDevice);
    // type 1, temperature 300 (3.00 degrees), humidity 55, battery 3300
    const QByteArray payload = QByteArray::fromHex("012c0137e40c");
    const QJsonObject radio {
        { "rssi", -74 }, { "snr", -7.5 }, { "fcnt", 70000 }, { "ts", 1700000000123.0 }
    };
    QCOMPARE(sim.sendUplink(eui, payload, radio), 1);
    QVERIFY(decoded.wait(testkit::WAIT_MS));

    testkit::SModbusRead read = testkit::readServed(port, 40, 9);
    QCOMPARE(read.rc, 9);
    // temperature, humidity, battery, RSSI, SNR, frame counter (2), time stamp (2)
    const QVector<quint16> first { 0x012c, 0x0037, 0x0ce4, 0xffb6, 0xfff9, 0x0001, 0x1170, 0x6553, 0xf100 };
    QCOMPARE(read.registers, first);

    // The operator scales the temperature: x10 + 5, from the next uplink on.
    QSqlQuery devices = store.getDevices(QString());
    QVERIFY(devices.next());
    SDeviceRegUpdate update;
    update.deviceId = devices.value(0).toUInt();
    update.port = port;
    SRegisterParam temperature;
    temperature.regAddr = 40;
    temperature.gratingPeriod = 10;
    temperature.startValue = 5;
    temperature.unit = QStringLiteral("C");
    update.params.append(temperature);
    devices.finish();
    store.updateRegInfo(update);

    read = testkit::readServed(port, 40, 1);
    QCOMPARE(read.registers.at(0), quint16(0x012c));
    QCOMPARE(sim.sendUplink(eui, payload, radio), 1);
    QVERIFY(decoded.wait(testkit::WAIT_MS));
    read = testkit::readServed(port, 40, 3);
    QCOMPARE(read.rc, 3);
    // 300 x 10 + 5 = 3005
    QCOMPARE(read.registers, (QVector<quint16> { 0x0bbd, 0x0037, 0x0ce4 }));

    // Removing the device closes its port.
    registry.removeDevice(eui, port);
    read = testkit::readServed(port, 40, 1);
    QCOMPARE(read.rc, -1);
    QCOMPARE(read.error, ECONNREFUSED);
    QCOMPARE(decoded.size(), 2);

    QVERIFY(QDir::setCurrent(QDir::tempPath()));
}

QTEST_MAIN(tst_UplinkRoad)
#include "tst_uplinkroad.moc"
