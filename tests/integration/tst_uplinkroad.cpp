#include "tests/testkit/gatewayrig.h"

#include <QtTest>

// One uplink's whole road in one process on loopback, as the gateway runs it:
// simulated network server -> server session -> registry and decoder ->
// register store -> register image -> Modbus listener -> libmodbus.
class tst_UplinkRoad : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { rig.tearDown(); }
    void uplinkReachesModbusClient();

private:
    testkit::CGatewayRig rig;
};

void tst_UplinkRoad::uplinkReachesModbusClient()
{
    using namespace testkit;
    QVERIFY(rig.setUp());
    const uint16_t port = freePort();
    // Boiler room from register 40, added as the add-device dialog does it.
    QVERIFY(rig.storeDevice(1, port, 40, true));
    rig.connectToSimulator();

    QSignalSpy decoded(rig.gateway.get(), &CGateway::newDataForDevice);
    // type 1, temperature 300 (3.00 degrees), humidity 55, battery 3300
    const QByteArray payload = QByteArray::fromHex("012c0137e40c");
    const QJsonObject radio {
        { "rssi", -74 }, { "snr", -7.5 }, { "fcnt", 70000 }, { "ts", 1700000000123.0 }
    };
    QCOMPARE(rig.sim->sendUplink(sampleEui(1), payload, radio), 1);
    QVERIFY(decoded.wait(WAIT_MS));

    SModbusRead read = readServed(port, 40, 9);
    QCOMPARE(read.rc, 9);
    // temperature, humidity, battery, RSSI, SNR, frame counter (2), time stamp (2)
    const QVector<quint16> first { 0x012c, 0x0037, 0x0ce4, 0xffb6, 0xfff9, 0x0001, 0x1170, 0x6553, 0xf100 };
    QCOMPARE(read.registers, first);

    // The operator scales the temperature: x10 + 5, from the next uplink on.
    const SRegisteredDevice device = rig.gateway->device(sampleEui(1));
    QVERIFY(device.id != 0);
    SDeviceRegUpdate update;
    update.deviceId = device.id;
    update.port = port;
    SRegisterParam temperature;
    temperature.regAddr = 40;
    temperature.gratingPeriod = 10;
    temperature.startValue = 5;
    temperature.unit = QStringLiteral("C");
    update.params.append(temperature);
    rig.gateway->updateScaling(update);

    read = readServed(port, 40, 1);
    QCOMPARE(read.registers.at(0), quint16(0x012c));
    QCOMPARE(rig.sim->sendUplink(sampleEui(1), payload, radio), 1);
    QVERIFY(decoded.wait(WAIT_MS));
    read = readServed(port, 40, 3);
    QCOMPARE(read.rc, 3);
    // 300 x 10 + 5 = 3005
    QCOMPARE(read.registers, (QVector<quint16> { 0x0bbd, 0x0037, 0x0ce4 }));
    QCOMPARE(rig.gateway->deviceRegisters(device.id).first().value, QStringLiteral("3005 [C]"));

    // Removing the device closes its port.
    QVERIFY(rig.gateway->removeDevice(sampleEui(1)));
    read = readServed(port, 40, 1);
    QCOMPARE(read.rc, -1);
    QCOMPARE(read.error, ECONNREFUSED);
    QCOMPARE(decoded.size(), 2);
}

QTEST_MAIN(tst_UplinkRoad)
#include "tst_uplinkroad.moc"
