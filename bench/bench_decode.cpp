// Uplink decoding into the register store: uplinks of a template with 10
// registers per packet go through the registry's entry point into a
// "server.db" of 1,000 devices x 20 registers. Build in Release; it works in a
// temporary directory. Usage: bench_decode [uplinks]

#include "benchkit.h"

#include "core/gatewayinternals.h"
#include "devices/alldevicehandler.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

namespace {

const int kDevices = 1000;
const int kFields = 10;
const QString kAppEui = QStringLiteral("A1B2C3D4000000BE");

// Packet 1 fills registers 0..9, packet 2 registers 10..19: 20 registers per
// device, 10 per uplink. Fields alternate signed and unsigned 16-bit values.
bool writeTemplate()
{
    QJsonArray packets;
    for (int type = 1; type <= 2; ++type) {
        QJsonArray fields;
        for (int f = 0; f < kFields; ++f)
            fields.append(Bench::field16(f, (type - 1) * kFields + f,
                                         f % 2 ? QStringLiteral("integer") : QStringLiteral("uinteger")));
        packets.append(Bench::packet(type, 1 + 2 * kFields, fields));
    }
    return Bench::writeTemplate(kAppEui, packets);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int uplinks = argc > 1 && atoi(argv[1]) > 0 ? atoi(argv[1]) : 20000;
    QTemporaryDir dir;
    Bench::enterWorkDir(dir.path());
    writeTemplate();

    CGateway gateway(dir.filePath(QStringLiteral("server.db")), QStringLiteral("bench"));
    CAllDeviceHandler &registry = CGatewayInternals::registry(gateway);
    if (gateway.failed() || !registry.hasTemplate(kAppEui)) {
        fprintf(stderr, "set-up failed\n");
        return 1;
    }
    const QList<SRegisterDescription> map = registry.getDeviceRegisterMap(kAppEui).registers;
    const std::vector<uint16_t> ports = Bench::freePorts(kDevices / 100);
    for (int n = 0; n < kDevices; ++n) {
        DB::SDeviceRegMapDescription device;
        device.devEui = Bench::euiOf(n);
        device.appEui = kAppEui;
        device.devName = QStringLiteral("Device %1").arg(n);
        device.startAddr = (n % 100) * 20;
        device.regList = map;
        if (!gateway.registerDevice(device, ports[size_t(n / 100)]))
            return 1;
    }

    QList<API::SApiDeviceData> batch;
    for (int i = 0; i < 256; ++i) {
        API::SApiDeviceData data;
        data.data = QByteArray(1 + 2 * kFields, 0);
        data.data[0] = 1;
        for (int b = 1; b < data.data.size(); ++b)
            data.data[b] = char(i * 7 + b);
        data.rssi = -70;
        data.fcnt = uint32_t(i);
        batch.append(data);
    }

    // Bursts wait in the registry's queue and are decoded a few per pass of
    // the event loop, so the time runs until the last one is stored. The
    // queue holds them all: past its limit it would replace waiting uplinks
    // of a device by newer ones, which are then never decoded.
    registry.setBacklogLimit(uplinks);
    long decoded = 0;
    QEventLoop loop;
    QObject::connect(&gateway, &CGateway::newDataForDevice, &loop, [&] {
        if (++decoded == uplinks)
            loop.quit();
    });
    QElapsedTimer timer;
    timer.start();
    const double cpuStart = Bench::cpuSeconds();
    for (int i = 0; i < uplinks; ++i) {
        API::SApiDeviceData data = batch.at(i % batch.size());
        data.devEui = Bench::euiOf(i % kDevices);
        registry.newPacketReceivedSlot(data);
    }
    if (decoded < uplinks)
        loop.exec();
    const qint64 ns = timer.nsecsElapsed();
    const double cpu = Bench::cpuSeconds() - cpuStart;
    // every device got its registers
    QSqlQuery check(QSqlDatabase::database(QStringLiteral("bench")));
    check.exec(QStringLiteral("SELECT COUNT(*) FROM dev_data WHERE value IS NOT NULL"));
    check.next();
    const int written = check.value(0).toInt();
    check.finish();

    printf("Uplink decoding: %d uplinks of %d registers into %d devices x 20 registers\n", uplinks, kFields,
           kDevices);
    printf(
        "%.0f uplinks/s (%.1f us each); %.0f uplinks/s of process CPU time; %d register rows hold values\n",
        uplinks * 1e9 / double(ns), double(ns) / uplinks / 1000.0, uplinks / cpu, written);
    return written == kDevices * kFields ? 0 : 1;
}
