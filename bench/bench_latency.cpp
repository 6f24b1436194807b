// Modbus round trips while ingesting: the network server simulator (its own
// thread) sends 500 uplinks per second to the gateway's session, which
// decodes them into a "server.db" of 1,000 devices x 20 registers, while a
// libmodbus client reads 10 registers of those devices, on average every
// 2 ms at random moments, and times each read. Build in Release; it works in
// a temporary directory.
// Usage: bench_latency [seconds]

#include "benchkit.h"

#include "core/gateway.h"
#include "devices/alldevicehandler.h"

#include "networkserversim.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <modbus.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

using Bench::Clock;

const int kDevices = 1000;
const int kSending = 50; // devices the simulator sends for
const int kPeriodMs = 100; // per device: 50 x 10 = 500 uplinks/s
const int kFields = 10;
const int kReadEveryUs = 2000;
const QString kAppEui = QStringLiteral("A1B2C3D4000000BE");

bool writeTemplate()
{
    QJsonArray fields;
    for (int f = 0; f < kFields; ++f)
        fields.append(Bench::field16(f, f));
    QJsonArray server { QJsonObject { { "data_code", "rssi" },
                                      { "reg_map_bias", 10 },
                                      { "reg_bit_bias", 0 },
                                      { "reg_bit_size", 16 },
                                      { "data_name", "RSSI" } },
                        QJsonObject { { "data_code", "fcnt" },
                                      { "reg_map_bias", 11 },
                                      { "reg_bit_bias", 0 },
                                      { "reg_bit_size", 32 },
                                      { "data_name", "Frame counter" } } };
    return Bench::writeTemplate(kAppEui, { Bench::packet(1, 1 + 2 * kFields, fields) }, server);
}

struct SLatency
{
    std::vector<double> ms;
    long errors = 0;
};

// Reads of the sending devices' registers at random moments, one every
// kReadEveryUs on average.
SLatency readWhileIngesting(uint16_t port, int seconds)
{
    SLatency result;
    modbus_t *ctx = modbus_new_tcp("127.0.0.1", port);
    if (modbus_connect(ctx) != 0) {
        modbus_free(ctx);
        result.errors = 1;
        return result;
    }
    uint16_t registers[kFields];
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    Bench::CReadPacer pacer(kReadEveryUs);
    for (int i = 0; Clock::now() < end; ++i) {
        const int device = i % kSending;
        const auto start = Clock::now();
        if (modbus_read_registers(ctx, device * 20, kFields, registers) != kFields)
            ++result.errors;
        result.ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        pacer.wait();
    }
    modbus_close(ctx);
    modbus_free(ctx);
    return result;
}

// Runs the client on its own thread while this thread's event loop serves.
SLatency timedReads(uint16_t port, int seconds)
{
    SLatency latency;
    QEventLoop loop;
    std::thread client([&] {
        latency = readWhileIngesting(port, seconds);
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    client.join();
    return latency;
}

void printReads(const char *label, SLatency reads)
{
    std::sort(reads.ms.begin(), reads.ms.end());
    printf("%-10s reads %6zu, errors %ld, round trip ms: p50 %.3f  p90 %.3f  p99 %.3f  max %.3f\n", label,
           reads.ms.size(), reads.errors, Bench::percentile(reads.ms, 0.50),
           Bench::percentile(reads.ms, 0.90), Bench::percentile(reads.ms, 0.99),
           reads.ms.empty() ? 0.0 : reads.ms.back());
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 && atoi(argv[1]) > 0 ? atoi(argv[1]) : 10;
    QTemporaryDir dir;
    Bench::enterWorkDir(dir.path());
    writeTemplate();

    CGateway gateway(dir.filePath(QStringLiteral("server.db")), QStringLiteral("bench"));
    if (gateway.failed() || !gateway.knowsType(kAppEui)) {
        fprintf(stderr, "set-up failed\n");
        return 1;
    }

    // Devices 0..49 send and are served on the measured port, the rest fill
    // nine more ports (with a 20-register map each).
    const std::vector<uint16_t> ports = Bench::freePorts(kDevices / 100);
    const uint16_t port = ports.front();
    SSimScenario scenario;
    scenario.accounts.append({ QStringLiteral("demo"), QStringLiteral("demo") });
    QList<SRegisterDescription> map = gateway.typeRegisters(kAppEui);
    for (int r = 13; r < 20; ++r) {
        SRegisterDescription spare;
        spare.name = QStringLiteral("Spare %1").arg(r);
        spare.offset = uint32_t(r);
        spare.bitSize = 16;
        spare.dataType = QStringLiteral("uinteger");
        map.append(spare);
    }
    for (int n = 0; n < kDevices; ++n) {
        DB::SDeviceRegMapDescription device;
        device.devEui = Bench::euiOf(n);
        device.appEui = kAppEui;
        device.devName = QStringLiteral("Device %1").arg(n);
        device.startAddr = (n % 100) * 20;
        device.regList = map;
        if (!gateway.registerDevice(device, ports[size_t(n / 100)]))
            return 1;
        if (n < kSending) {
            scenario.devices.append(Bench::simDevice(device, kAppEui, kFields, n));
        }
    }

    // The simulator lives on its own thread, as a real server would elsewhere.
    QThread simThread;
    auto *sim = new CNetworkServerSim(scenario);
    if (!Bench::startAndLogIn(gateway, simThread, sim))
        return 1;

    long decoded = 0;
    QObject::connect(&gateway, &CGateway::newDataForDevice, &gateway, [&decoded] { ++decoded; });
    // Baseline: the same reads without uplinks, to tell the machine's own
    // noise from the cost of ingesting.
    const SLatency idle = timedReads(port, std::max(2, seconds / 3));
    QMetaObject::invokeMethod(
        sim, [sim] { sim->startUplinks(-1, kPeriodMs); }, Qt::BlockingQueuedConnection);

    // Let the uplink stream settle before timing reads.
    {
        QEventLoop loop;
        QTimer::singleShot(1000, &loop, &QEventLoop::quit);
        loop.exec();
    }
    const long decodedBefore = decoded;
    const auto start = Clock::now();
    const SLatency latency = timedReads(port, seconds);
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const long ingested = decoded - decodedBefore;

    Bench::stopSimulator(simThread, sim);

    printf("Modbus reads of %d registers on average every %d us (at random) while the simulator sends %d "
           "uplinks/s\n",
           kFields, kReadEveryUs, kSending * 1000 / kPeriodMs);
    printf("uplinks decoded: %.0f/s over %.1f s\n", ingested / elapsed, elapsed);
    printReads("idle", idle);
    printReads("ingesting", latency);
    return latency.errors + idle.errors == 0 ? 0 : 1;
}
