// A flood of uplinks: the network server simulator (a thread of this program)
// offers 100,000 uplinks/s of 1,000 registered devices for 10 s to the real
// gateway (`tidewell --headless`, a child process), far more than it can
// decode. Printed: the uplinks offered, the gateway's resident memory before,
// at its peak during the flood and after it, and how far the served values lag
// behind: a libmodbus client reads the register that carries device 0's
// sequence number every 20 ms, and the lag is the time since the simulator
// sent the uplink whose value it reads. Past its bounds the gateway keeps only
// the latest uplink of each device and packet type waiting, so memory stays
// flat. What the gateway has not read yet waits in the simulator's send queue
// and the kernel's socket buffers (TCP flow control), not in the gateway, so
// the lag printed is mostly that queue's.
// Build in Release; it works in a temporary directory.
// Usage: bench_backlog [seconds] [uplinks per second]

#include "benchkit.h"

#include "networkserversim.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <modbus.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

namespace {

using Bench::Clock;

const int kDevices = 1000;
const int kDevicesPerPort = 100;
const int kRegisters = 10;
const QString kAppEui = QStringLiteral("A1B2C3D400000001");

// When the simulator sent device 0's uplink with each sequence number, in
// Clock ticks (0: not yet).
std::array<std::atomic<long long>, 65536> g_sentAt {};
std::atomic<long> g_sent { 0 };

QByteArray payloadOf(uint16_t sequence, int n)
{
    QByteArray payload(1 + 2 * kRegisters, char(n));
    payload[0] = 1;
    payload[1] = char(sequence & 0xff); // least significant byte first
    payload[2] = char(sequence >> 8);
    return payload;
}

// Device 0's value after the flood: one past the last sequence number sent.
uint16_t markerOf(long sent)
{
    return uint16_t(sent / kDevices + 1);
}

double msSince(long long ticks)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - Clock::time_point(Clock::duration(ticks)))
        .count();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 && atoi(argv[1]) > 0 ? atoi(argv[1]) : 10;
    const int rate = argc > 2 && atoi(argv[2]) > 0 ? atoi(argv[2]) : 100000;
    QTemporaryDir scratch;
    const QString dir = scratch.filePath(QStringLiteral("gateway"));
    // This program's own log stays apart from the gateway's.
    Bench::enterWorkDir(scratch.path());
    QJsonArray fields;
    for (int f = 0; f < kRegisters; ++f)
        fields.append(Bench::field16(f, f));
    const std::vector<uint16_t> ports = Bench::freePorts(kDevices / kDevicesPerPort);
    if (!Bench::writeTemplate(kAppEui, { Bench::packet(1, 1 + 2 * kRegisters, fields) })
        || !Bench::prepareGatewayDir(dir, kDevices, kRegisters, ports, kDevicesPerPort)
        || !QFile::copy(scratch.filePath(QStringLiteral("deviceFolder/bench.json")),
                        dir + QStringLiteral("/deviceFolder/bench.json"))) {
        fprintf(stderr, "set-up failed\n");
        return 1;
    }

    QThread simThread;
    SSimScenario scenario;
    scenario.accounts.append({ QStringLiteral("demo"), QStringLiteral("demo") });
    auto *sim = new CNetworkServerSim(scenario);
    simThread.start();
    sim->moveToThread(&simThread);
    quint16 simPort = 0;
    QMetaObject::invokeMethod(
        sim, [&] { simPort = sim->listen() ? sim->port() : 0; }, Qt::BlockingQueuedConnection);
    {
        QFile settings(dir + QStringLiteral("/settings.conf"));
        if (simPort == 0 || !settings.open(QIODevice::WriteOnly)
            || settings.write(QStringLiteral("[server]\nip=127.0.0.1\nport=%1\nlogin=demo\npassword=demo\n")
                                  .arg(simPort)
                                  .toUtf8())
                < 0) {
            fprintf(stderr, "simulator set-up failed\n");
            return 1;
        }
    }

    QProcess gateway;
    std::atomic<int> logins { 0 };
    QObject::connect(sim, &CNetworkServerSim::clientLoggedIn, sim, [&logins] { ++logins; });
    QEventLoop loggedIn;
    QObject::connect(sim, &CNetworkServerSim::clientLoggedIn, &loggedIn, &QEventLoop::quit);
    QTimer::singleShot(30000, &loggedIn, &QEventLoop::quit);
    Bench::startGateway(gateway, dir, true);
    loggedIn.exec();
    if (gateway.state() != QProcess::Running) {
        fprintf(stderr, "the gateway did not start\n");
        return 1;
    }
    Bench::spin(1000);
    const long before = Bench::residentKiB(gateway.processId());

    // The simulator sends what is due every millisecond, catching up when
    // its timer fires late; device n gets every kDevices-th uplink.
    QTimer *pacer = nullptr;
    const auto floodStart = Clock::now();
    const auto floodEnd = floodStart + std::chrono::seconds(seconds);
    QMetaObject::invokeMethod(
        sim,
        [&] {
            pacer = new QTimer(sim);
            pacer->setTimerType(Qt::PreciseTimer);
            pacer->setInterval(1);
            auto lastMarker = std::make_shared<Clock::time_point>();
            QObject::connect(pacer, &QTimer::timeout, sim, [sim, rate, floodStart, floodEnd, lastMarker] {
                // After the flood, device 0 sends one more value every 200 ms
                // until it is served: the end of the backlog, even where the
                // link was lost on the way and the uplinks then in flight with it.
                if (Clock::now() >= floodEnd) {
                    if (Clock::now() - *lastMarker >= std::chrono::milliseconds(200)) {
                        *lastMarker = Clock::now();
                        sim->sendUplink(Bench::euiOf(0), payloadOf(markerOf(g_sent), 0));
                        sim->flush();
                    }
                    return;
                }
                const auto now = Clock::now();
                const long due = long(std::chrono::duration<double>(now - floodStart).count() * rate);
                for (long sent = g_sent; sent < due; ++sent) {
                    const int n = int(sent % kDevices);
                    const auto sequence = uint16_t(sent / kDevices);
                    if (n == 0)
                        g_sentAt[sequence] = Clock::now().time_since_epoch().count();
                    sim->sendUplink(Bench::euiOf(n), payloadOf(sequence, n));
                    g_sent = sent + 1;
                }
                // A socket writes one piece per pass of the event loop, and
                // this timer keeps the loop busy: push it all to the kernel.
                sim->flush();
                sim->clearTraffic();
            });
            pacer->start();
        },
        Qt::BlockingQueuedConnection);

    // Device 0's sequence number as served, every 20 ms, from a thread of its
    // own while this one keeps the simulator's sockets going.
    std::vector<double> lags;
    long peak = before;
    long readErrors = 0;
    double drainMs = -1;
    QEventLoop flood;
    std::thread client([&] {
        modbus_t *ctx = modbus_new_tcp("127.0.0.1", ports.front());
        if (modbus_connect(ctx) != 0) {
            ++readErrors;
        } else {
            for (;;) {
                const auto now = Clock::now();
                uint16_t value = 0;
                if (modbus_read_registers(ctx, 0, 1, &value) == 1) {
                    const long long sentAt = g_sentAt[value];
                    if (now < floodEnd && sentAt != 0)
                        lags.push_back(msSince(sentAt));
                    // After the flood: drained once the marker is served.
                    if (now >= floodEnd && value == markerOf(g_sent)) {
                        drainMs = std::chrono::duration<double, std::milli>(now - floodEnd).count();
                        break;
                    }
                    if (now >= floodEnd + std::chrono::seconds(120))
                        break;
                } else {
                    ++readErrors;
                    modbus_close(ctx);
                    modbus_connect(ctx);
                }
                peak = std::max(peak, Bench::residentKiB(gateway.processId()));
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            modbus_close(ctx);
        }
        modbus_free(ctx);
        QMetaObject::invokeMethod(&flood, &QEventLoop::quit, Qt::QueuedConnection);
    });
    flood.exec();
    client.join();
    QMetaObject::invokeMethod(
        sim, [&] { delete pacer; }, Qt::BlockingQueuedConnection);
    const long afterDrain = Bench::residentKiB(gateway.processId());
    Bench::spin(5000);
    const long settled = Bench::residentKiB(gateway.processId());

    // Then what the gateway refuses: a message nested a million deep (5 MB,
    // dropped by the JSON guard) and one of 20 MB (over the cap: the link
    // closes with 1009 and the gateway logs in again).
    QMetaObject::invokeMethod(
        sim,
        [sim] {
            sim->sendText(QString(QStringLiteral("{\"a\":")).repeated(1000000), true);
            sim->flush();
            sim->clearTraffic();
        },
        Qt::BlockingQueuedConnection);
    Bench::spin(3000);
    const long afterDeep = Bench::residentKiB(gateway.processId());
    const int loginsBefore = logins;
    QMetaObject::invokeMethod(
        sim,
        [sim] {
            sim->sendText(QStringLiteral("{\"cmd\":\"rx\",\"data\":\"%1\"}")
                              .arg(QString(20 * 1024 * 1024, QLatin1Char('0'))),
                          true);
            sim->flush();
            sim->clearTraffic();
        },
        Qt::BlockingQueuedConnection);
    for (int waited = 0; logins == loginsBefore && waited < 60000; waited += 100)
        Bench::spin(100);
    const bool refusedAndBack = logins > loginsBefore;
    Bench::spin(3000);
    const long afterRefused = Bench::residentKiB(gateway.processId());
    const bool running = gateway.state() == QProcess::Running;
    Bench::stopGateway(gateway);
    QMetaObject::invokeMethod(
        sim, [sim] { delete sim; }, Qt::BlockingQueuedConnection);
    simThread.quit();
    simThread.wait();

    std::sort(lags.begin(), lags.end());
    printf("Flood: %d devices, %d uplinks/s asked for %d s; the simulator offered %ld uplinks (%.0f/s)\n",
           kDevices, rate, seconds, g_sent.load(), double(g_sent.load()) / seconds);
    printf("resident memory of the gateway: before %ld MB, peak %ld MB, after the backlog drained %ld MB, "
           "5 s later %ld MB\n",
           before / 1024, peak / 1024, afterDrain / 1024, settled / 1024);
    printf("lag of device 0's served value during the flood (%zu reads): p50 %.0f ms, p99 %.0f ms, max %.0f "
           "ms\n",
           lags.size(), Bench::percentile(lags, 0.5), Bench::percentile(lags, 0.99),
           lags.empty() ? 0.0 : lags.back());
    printf(
        "after the flood its last value was served in %.0f ms: the gateway took in %.0f uplinks/s over the "
        "flood and its drain\n",
        drainMs, drainMs < 0 ? 0.0 : double(g_sent.load()) / (seconds + drainMs / 1000));
    printf("after a 5 MB message nested a million deep (dropped): %ld MB; after a 20 MB one: %ld MB (%s)\n",
           afterDeep / 1024, afterRefused / 1024,
           refusedAndBack ? "the link was closed and opened again" : "the link was NOT opened again");
    printf("Modbus reads of the probe that failed (no answer within libmodbus's 0.5 s): %ld; logins of the "
           "gateway: %d\n",
           readErrors, logins.load());
    return running && drainMs >= 0 && refusedAndBack ? 0 : 1;
}
