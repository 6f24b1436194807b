// Start-up of the gateway executable: a working directory holds 1,000
// registered devices (20 registers each, ten per port on 100 ports) written
// through the register store; the real `tidewell` is started as a child
// process, in window mode on the offscreen platform and headless, and a Modbus
// client reads the last device on the last port until it answers with the
// stored values. Prints the time from starting the process to that answer.
// With "units", the 1,000 devices share 4 ports by unit id (247 unit ids and
// 3 devices without one per port) and every unit of every port is read until
// it answers right; the time is that of the last of those answers.
// Each run starts on a fresh copy of the directory. Build in Release.
// Usage: bench_startup [runs per mode] [units]

#include "benchkit.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

const int kDevices = 1000;
int kPorts = 100;
const int kRegisters = 20;
const int kTimeoutMs = 20000;

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 && atoi(argv[1]) > 0 ? atoi(argv[1]) : 5;
    const bool unitIds = argc > 2 && QByteArray(argv[2]) == "units";
    if (unitIds)
        kPorts = 4;
    QTemporaryDir dir;
    Bench::enterWorkDir(dir.path());
    const QString prepared = dir.filePath(QStringLiteral("prepared"));
    const std::vector<uint16_t> ports = Bench::freePorts(kPorts);
    const int perPort = kDevices / kPorts;
    if (!Bench::prepareGatewayDir(prepared, kDevices, kRegisters, ports, perPort, unitIds)) {
        fprintf(stderr, "working directory could not be prepared\n");
        return 1;
    }
    printf("Start-up of %s with %d devices x %d registers on %d ports%s, %d runs per mode\n",
           qPrintable(Bench::gatewayBinary()), kDevices, kRegisters, kPorts,
           unitIds ? " told apart by unit id" : "", runs);
    printf(unitIds ? "from process start to a right answer on every unit of every port, ms\n"
                   : "from process start to the first right answer on the last port, ms\n");
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
            double ms = Bench::waitUntilServed(gateway, ports.back(), kDevices - 1, kRegisters, perPort,
                                               start, kTimeoutMs, unitIds);
            // then every unit in turn; the last right answer ends the run
            for (int n = 0; unitIds && ms >= 0 && n < kDevices; ++n)
                ms = Bench::waitUntilServed(gateway, ports[size_t(n / perPort)], n, kRegisters, perPort,
                                            start, kTimeoutMs, true);
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
