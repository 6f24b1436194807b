// From uplink to register: the network server simulator (its own thread) sends
// one uplink carrying a new value for a probe device and a libmodbus client
// reads the probe's register in a closed loop until it holds that value; the
// time from the send to that read is one sample. Meanwhile the simulator sends
// 500 uplinks/s for 50 other devices on the same port, decoded by the gateway
// (CGateway) into a "server.db" of 1,000 devices. A first phase without the
// background uplinks gives the baseline. The client reads every 0.25 ms; the
// time until the store committed the probe's batch is printed as well. Build in Release; it works in a
// temporary directory.
// Usage: bench_uplinklatency [seconds]

#include "benchkit.h"

#include "core/gatewayinternals.h"
#include "devices/alldevicehandler.h"
#include "storage/databasehandler.h"

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
#include <functional>
#include <memory>
#include <random>
#include <thread>
#include <vector>

namespace {

using Bench::Clock;

const int kDevices = 1000;
const int kDevicesPerPort = 100;
const int kSending = 50; // background devices, on the probe's port
const int kPeriodMs = 100; // per background device: 50 x 10 = 500 uplinks/s
const int kFields = 10;
const int kGiveUpMs = 1000;
// Between the client's reads: fine enough to resolve a fraction of a
// millisecond without the client's polling taking the gateway's time.
const int kPollEveryUs = 250;
const QString kAppEui = QStringLiteral("A1B2C3D4000000BE");

struct SSamples
{
    std::vector<double> ms;
    std::vector<double> storedMs; // from the send until the store committed the batch
    long lost = 0; // value never seen within kGiveUpMs
    long errors = 0; // failed Modbus reads
};

// Probe uplinks carry k in every payload byte after the type, so each register
// reads k * 0x0101 whatever the byte order; k changes with every uplink.
QByteArray probePayload(int k)
{
    QByteArray payload(1 + 2 * kFields, char(k));
    payload[0] = 1;
    return payload;
}

// When the store committed the probe's latest batch, in Clock ticks.
std::atomic<long long> g_storedAtNs { 0 };

SSamples probe(CNetworkServerSim *sim, uint16_t port, int seconds)
{
    SSamples result;
    modbus_t *ctx = modbus_new_tcp("127.0.0.1", port);
    if (modbus_connect(ctx) != 0) {
        modbus_free(ctx);
        result.errors = 1;
        return result;
    }
    std::mt19937 random { 7 };
    std::atomic<long long> sentAtNs { 0 };
    const QString probeEui = Bench::euiOf(0);
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    for (int i = 0; Clock::now() < end; ++i) {
        const int k = 1 + i % 250;
        const uint16_t expected = uint16_t(k * 0x0101);
        sentAtNs = 0;
        g_storedAtNs = 0;
        QMetaObject::invokeMethod(
            sim,
            [sim, &sentAtNs, probeEui, k] {
                sentAtNs = Clock::now().time_since_epoch().count();
                sim->sendUplink(probeEui, probePayload(k));
            },
            Qt::QueuedConnection);
        const auto giveUp = Clock::now() + std::chrono::milliseconds(kGiveUpMs);
        bool seen = false;
        while (!seen && Clock::now() < giveUp) {
            uint16_t value = 0;
            if (modbus_read_registers(ctx, 0, 1, &value) != 1) {
                ++result.errors;
                continue;
            }
            seen = value == expected;
            if (!seen)
                std::this_thread::sleep_for(std::chrono::microseconds(kPollEveryUs));
        }
        const auto now = Clock::now();
        if (seen) {
            const Clock::time_point sent { Clock::duration(sentAtNs.load()) };
            result.ms.push_back(std::chrono::duration<double, std::milli>(now - sent).count());
            const Clock::time_point stored { Clock::duration(g_storedAtNs.load()) };
            if (g_storedAtNs.load() != 0)
                result.storedMs.push_back(std::chrono::duration<double, std::milli>(stored - sent).count());
        } else {
            ++result.lost;
        }
        // uplinks come at random moments relative to the background stream
        std::this_thread::sleep_for(std::chrono::microseconds(5000 + random() % 10000));
    }
    modbus_close(ctx);
    modbus_free(ctx);
    return result;
}

// Runs the probe on its own thread while this thread's event loop serves.
SSamples measure(CNetworkServerSim *sim, uint16_t port, int seconds)
{
    SSamples samples;
    QEventLoop loop;
    std::thread client([&] {
        samples = probe(sim, port, seconds);
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    client.join();
    return samples;
}

void print(const char *label, SSamples samples)
{
    std::sort(samples.ms.begin(), samples.ms.end());
    std::sort(samples.storedMs.begin(), samples.storedMs.end());
    printf("%-10s samples %5zu, lost %ld, errors %ld, uplink to register ms: p50 %.3f  p90 %.3f  p99 %.3f  "
           "max %.3f\n",
           label, samples.ms.size(), samples.lost, samples.errors, Bench::percentile(samples.ms, 0.50),
           Bench::percentile(samples.ms, 0.90), Bench::percentile(samples.ms, 0.99),
           samples.ms.empty() ? 0.0 : samples.ms.back());
    printf("%-10s of which until the batch was stored:       p50 %.3f  p90 %.3f  p99 %.3f  max %.3f\n", "",
           Bench::percentile(samples.storedMs, 0.50), Bench::percentile(samples.storedMs, 0.90),
           Bench::percentile(samples.storedMs, 0.99),
           samples.storedMs.empty() ? 0.0 : samples.storedMs.back());
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 && atoi(argv[1]) > 0 ? atoi(argv[1]) : 10;
    QTemporaryDir dir;
    Bench::enterWorkDir(dir.path());
    QJsonArray fields;
    for (int f = 0; f < kFields; ++f)
        fields.append(Bench::field16(f, f));
    if (!Bench::writeTemplate(kAppEui, { Bench::packet(1, 1 + 2 * kFields, fields) })) {
        fprintf(stderr, "template could not be written\n");
        return 1;
    }

    CGateway gateway(dir.filePath(QStringLiteral("server.db")), QStringLiteral("bench"));
    if (gateway.failed() || !gateway.knowsType(kAppEui)) {
        fprintf(stderr, "set-up failed\n");
        return 1;
    }
    // Device 0 is the probe, 1..50 send in the background, all on the first
    // port; the others fill nine more ports.
    std::vector<uint16_t> ports;
    while (ports.size() < size_t(kDevices / kDevicesPerPort)) {
        const uint16_t port = Bench::freePort();
        if (std::find(ports.begin(), ports.end(), port) == ports.end())
            ports.push_back(port);
    }
    SSimScenario scenario;
    scenario.accounts.append({ QStringLiteral("demo"), QStringLiteral("demo") });
    const QList<SRegisterDescription> map = gateway.typeRegisters(kAppEui);
    for (int n = 0; n < kDevices; ++n) {
        DB::SDeviceRegMapDescription device;
        device.devEui = Bench::euiOf(n);
        device.appEui = kAppEui;
        device.devName = QStringLiteral("Device %1").arg(n);
        device.startAddr = (n % kDevicesPerPort) * 20;
        device.regList = map;
        if (!gateway.registerDevice(device, ports[size_t(n / kDevicesPerPort)])) {
            fprintf(stderr, "device set-up failed\n");
            return 1;
        }
        if (n >= 1 && n <= kSending) {
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
    const QString probeEui = Bench::euiOf(0);
    QObject::connect(&CGatewayInternals::store(gateway), &CDataBaseHandler::registerDataSaved, &gateway,
                     [probeEui](const SDeviceRegisterData &data) {
                         if (data.devEui == probeEui)
                             g_storedAtNs = Clock::now().time_since_epoch().count();
                     });

    struct SPhase
    {
        SSamples samples;
        double uplinksPerSecond = 0;
    };
    const auto loadedPhase
        = [&](const std::function<void()> &startBackground, const std::function<void()> &stopBackground) {
              QMetaObject::invokeMethod(sim, startBackground, Qt::BlockingQueuedConnection);
              Bench::spin(1000); // let the background stream settle
              const long decodedBefore = decoded;
              const auto start = Clock::now();
              SPhase phase;
              phase.samples = measure(sim, ports.front(), seconds);
              const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
              phase.uplinksPerSecond = double(decoded - decodedBefore) / elapsed;
              QMetaObject::invokeMethod(sim, stopBackground, Qt::BlockingQueuedConnection);
              Bench::spin(500);
              return phase;
          };

    const SSamples idle = measure(sim, ports.front(), std::max(2, seconds / 3));
    // Evenly spaced, as uplinks of many independent devices arrive: a precise
    // timer sends what is due at 500/s, catching up when it fires late.
    QTimer *pacer = nullptr;
    const SPhase paced = loadedPhase(
        [&] {
            pacer = new QTimer(sim);
            pacer->setTimerType(Qt::PreciseTimer);
            pacer->setInterval(1);
            const auto begin = Clock::now();
            auto sent = std::make_shared<long>(0);
            QObject::connect(pacer, &QTimer::timeout, sim, [sim, begin, sent] {
                const double elapsed = std::chrono::duration<double>(Clock::now() - begin).count();
                const long due = long(elapsed * kSending * 1000 / kPeriodMs);
                for (; *sent < due; ++*sent) {
                    const int n = 1 + int(*sent % kSending);
                    QByteArray payload(1 + 2 * kFields, char(n + *sent / kSending % 4));
                    payload[0] = 1;
                    sim->sendUplink(Bench::euiOf(n), payload);
                }
            });
            pacer->start();
        },
        [&] { delete pacer; });
    // The simulator's own per-device timers: Qt's coarse timers let them
    // bunch up, so uplinks come in clumps.
    const SPhase clumped
        = loadedPhase([sim] { sim->startUplinks(-1, kPeriodMs); }, [sim] { sim->stopUplinks(); });

    Bench::stopSimulator(simThread, sim);

    printf("Uplink to register: the simulator sends a new value, a Modbus client reads every %d us until it "
           "sees it\n",
           kPollEveryUs);
    printf("background: %d devices sending %d uplinks/s in all on the probe's port, %d s per phase\n",
           kSending, kSending * 1000 / kPeriodMs, seconds);
    print("idle", idle);
    printf("evenly spaced background: %.0f uplinks/s decoded (probe uplinks included)\n",
           paced.uplinksPerSecond);
    print("ingesting", paced.samples);
    printf("background from the simulator's per-device timers: %.0f uplinks/s decoded\n",
           clumped.uplinksPerSecond);
    print("ingesting", clumped.samples);
    const SSamples *all[] = { &idle, &paced.samples, &clumped.samples };
    long failures = 0;
    for (const SSamples *phase : all)
        failures += phase->errors + phase->lost;
    return failures == 0 ? 0 : 1;
}
