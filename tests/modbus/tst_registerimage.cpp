#include "modbus/registerimage.h"

#include <QtTest>

Q_DECLARE_METATYPE(QList<int>)

#include <vector>

class tst_RegisterImage : public QObject
{
    Q_OBJECT

    static std::vector<uint16_t> read(CRegisterImage &image, uint16_t port, uint16_t start, uint16_t quantity,
                                      uint8_t expectedCode = 0, uint8_t unitId = 1)
    {
        std::vector<uint16_t> out(quantity, 0xdead);
        const uint8_t code = image.readRegisters(port, unitId, start, quantity, out.data());
        if (code != expectedCode)
            qWarning("exception %d, expected %d", code, expectedCode);
        return code == expectedCode ? out : std::vector<uint16_t>();
    }

private slots:
    void laterDeviceWinsAndGapsReadZero()
    {
        CRegisterImage image;
        // Device 3 (registered later) overlaps device 2 at 101; device 2's
        // later uplink there stays hidden, its other register is served.
        image.put(502, 0, 100, 2, 0x1111);
        image.put(502, 0, 101, 2, 0x2222);
        image.put(502, 0, 101, 3, 0x3333);
        image.put(502, 0, 101, 2, 0x4444);
        image.put(502, 0, 100, 2, 0x5555);
        image.put(503, 0, 100, 9, 0x9999);
        QCOMPARE(read(image, 502, 99, 4), std::vector<uint16_t>({ 0, 0x5555, 0x3333, 0 }));
        // Another port and a port nobody holds.
        QCOMPARE(read(image, 503, 100, 1), std::vector<uint16_t>({ 0x9999 }));
        QCOMPARE(read(image, 504, 100, 2), std::vector<uint16_t>({ 0, 0 }));

        // Built again without device 3, the earlier value shows through.
        image.clearPort(502);
        QCOMPARE(read(image, 502, 100, 2), std::vector<uint16_t>({ 0, 0 }));
        image.put(502, 0, 101, 2, 0x4444);
        QCOMPARE(read(image, 502, 101, 1), std::vector<uint16_t>({ 0x4444 }));
    }

    void readsAcrossPagesAndTheTopAddress()
    {
        CRegisterImage image;
        image.put(1, 0, 255, 1, 0x00ff);
        image.put(1, 0, 256, 1, 0x0100);
        image.put(1, 0, 65535, 1, 0xffff);
        image.put(1, 0, 65536, 1, 0x1234); // cannot be served
        QCOMPARE(read(image, 1, 254, 4), std::vector<uint16_t>({ 0, 0x00ff, 0x0100, 0 }));
        QCOMPARE(read(image, 1, 65534, 2), std::vector<uint16_t>({ 0, 0xffff }));
        QCOMPARE(read(image, 1, 0, 1), std::vector<uint16_t>({ 0 }));
        QVERIFY(image.pageBytes() > 0);
        image.clear();
        QCOMPARE(image.pageBytes(), size_t(0));
    }

    void failedDeviceAnswersException()
    {
        CRegisterImage image;
        image.put(7, 0, 10, 1, 1);
        image.put(7, 0, 20, 2, 2);
        image.setDeviceFailed(2, true);
        QCOMPARE(read(image, 7, 10, 1), std::vector<uint16_t>({ 1 }));
        read(image, 7, 10, 11, CRegisterImage::TargetFailed);
        image.setDeviceFailed(2, false);
        QCOMPARE(read(image, 7, 19, 2), std::vector<uint16_t>({ 0, 2 }));
    }

    // Which address space a request's unit id reads on a port, by the devices the port has.
    void unitIdRouting_data()
    {
        QTest::addColumn<QList<int>>("units"); // unit ids of the port's devices; 0: a device without one
        QTest::addColumn<int>("request");
        QTest::addColumn<int>("value"); // what register 0 reads; -1: exception 10

        const QList<int> mixed { 1, 2, 0 };
        const QList<int> unitsOnly { 1, 2 };
        QTest::newRow("own unit 1") << mixed << 1 << 0x0101;
        QTest::newRow("own unit 2") << mixed << 2 << 0x0202;
        QTest::newRow("unknown unit, devices without one") << mixed << 3 << 0x0000;
        QTest::newRow("unit 0 is the port") << mixed << 0 << 0x0000;
        QTest::newRow("unit 255 is the port") << mixed << 255 << 0x0000;
        QTest::newRow("unit 248 is not a device's") << mixed << 248 << 0x0000;
        QTest::newRow("own unit, units only") << unitsOnly << 2 << 0x0202;
        QTest::newRow("unknown unit, units only") << unitsOnly << 3 << -1;
        QTest::newRow("unit 0, units only") << unitsOnly << 0 << -1;
        QTest::newRow("unit 255, units only") << unitsOnly << 255 << -1;
        QTest::newRow("no unit ids at all") << QList<int> { 0 } << 7 << 0x0000;
    }

    void unitIdRouting()
    {
        QFETCH(QList<int>, units);
        QFETCH(int, request);
        QFETCH(int, value);

        CRegisterImage image;
        image.setGatewayIdentity({ { 0, "gateway" } });
        uint32_t device = 1;
        for (int unit : units) {
            // every device starts at 0; those with a unit id hold 0xUUUU there
            image.addDevice(502, uint8_t(unit), { { 0, QByteArray::number(unit) } });
            image.put(502, uint8_t(unit), 0, device, uint16_t(unit * 0x0101));
            image.put(502, uint8_t(unit), 1, device++, 0xbeef);
        }
        Modbus::IdentityObjects identity;
        if (value < 0) {
            read(image, 502, 0, 2, Modbus::GatewayPathUnavailable, uint8_t(request));
            QCOMPARE(image.identify(502, uint8_t(request), &identity),
                     uint8_t(Modbus::GatewayPathUnavailable));
            return;
        }
        QCOMPARE(read(image, 502, 0, 2, 0, uint8_t(request)),
                 std::vector<uint16_t>({ uint16_t(value), 0xbeef }));
        QCOMPARE(image.identify(502, uint8_t(request), &identity), uint8_t(0));
        QCOMPARE(identity.value(0), value == 0 ? QByteArray("gateway") : QByteArray::number(value & 0xff));
        // other ports are not touched by the unit ids of this one
        QCOMPARE(read(image, 503, 0, 1, 0, uint8_t(request)), std::vector<uint16_t>({ 0 }));
    }

    void unitIdsMoveAndGo()
    {
        CRegisterImage image;
        image.addDevice(502, 5, {});
        image.addDevice(502, 0, {});
        image.put(502, 5, 0, 1, 0x5555);
        image.put(502, 0, 0, 2, 0x0a0a);
        image.update(502, 5, 0, 1, 0x5556);
        image.update(502, 0, 0, 1, 0x9999); // device 1 holds nothing in the port's own space
        QCOMPARE(read(image, 502, 0, 1, 0, 5), std::vector<uint16_t>({ 0x5556 }));
        QCOMPARE(read(image, 502, 0, 1, 0, 6), std::vector<uint16_t>({ 0x0a0a }));
        // the device without a unit id goes: unknown units have nowhere left to go
        image.removeDevice(502, 0);
        read(image, 502, 0, 1, Modbus::GatewayPathUnavailable, 6);
        // the last device goes: the port is as one without devices
        image.removeDevice(502, 5);
        image.clearPort(502);
        QCOMPARE(read(image, 502, 0, 1, 0, 5), std::vector<uint16_t>({ 0 }));
        QCOMPARE(image.pageBytes(), size_t(0));
    }
};

QTEST_APPLESS_MAIN(tst_RegisterImage)
#include "tst_registerimage.moc"
