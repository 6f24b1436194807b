// Start-up of the gateway executable: a working directory holds 1,000
// registered devices (20 registers each, ten per port on 100 ports) written
// through the register store; the real `tidewell` is started as a child
// process, in window mode on the offscreen platform and headless, and a Modbus
// client reads the last device on the last port until it answers with the
// stored values. Prints the time from starting the process to that answer.
// Each run starts on a fresh copy of the directory. Build in Release.
// Usage: bench_startup [runs per mode]

#include "benchkit.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

const int kDevices = 1000;
const int kPorts = 100;
const int kRegisters = 20;
const int kTimeoutMs = 20000;

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 && atoi(argv[1]) > 0 ? atoi(argv[1]) : 5;
    QTemporaryDir dir;
    Bench::enterWorkDir(dir.path());
    const QString prepared = dir.filePath(QStringLiteral("prepared"));
    const std::vector<uint16_t> ports = Bench::freePorts(kPorts);
    const int perPort = kDevices / kPorts;
    if (!Bench::prepareGatewayDir(prepared, kDevices, kRegisters, ports, perPort)) {
        fprintf(stderr, "working directory could not be prepared\n");
        return 1;
    }
    printf("Start-up of %s with %d devices x %d registers on %d ports, %d runs per mode\n",
           qPrintable(Bench::gatewayBinary()), kDevices, kRegisters, kPorts, runs);
    printf("from process start to the first right answer on the last port, ms\n");
    printf("%-10s %8s %8s %8s\n", "mode", "median", "min", "max");
    int failures = 0;
    for (const bool headless : { false, true }) {
        std::vector<double> times;
        for (int run = 0; run < runs; ++run) {
            const QString work = dir.filePath(QStringLiteral("run-%1-%2").arg(headless).arg(run));
            if (!Bench::copyDir(prepared, work)) {
                fprintf(stderr, "copy failed\n");
                return 1;
            }
            QProcess gateway;
            const auto start = Bench::Clock::now();
            Bench::startGateway(gateway, work, headless);
            const double ms = Bench::waitUntilServed(gateway, ports.back(), kDevices - 1, kRegisters, perPort,
                                                     start, kTimeoutMs);
            Bench::stopGateway(gateway);
            if (ms < 0) {
                fprintf(stderr, "run %d: no right answer (see %s/output.txt)\n", run, qPrintable(work));
                ++failures;
                dir.setAutoRemove(false);
                continue;
            }
            times.push_back(ms);
        }
        if (times.empty())
            continue;
        const auto range = std::minmax_element(times.begin(), times.end());
        printf("%-10s %8.0f %8.0f %8.0f\n", headless ? "headless" : "window", Bench::median(times),
               *range.first, *range.second);
    }
    return failures == 0 ? 0 : 1;
}
