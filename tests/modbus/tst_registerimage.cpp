#include "modbus/registerimage.h"

#include <QtTest>

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
};

QTEST_APPLESS_MAIN(tst_RegisterImage)
#include "tst_registerimage.moc"
