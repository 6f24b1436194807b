// Resident memory of the headless gateway executable with 10,000 registered
// devices x 20 registers (100 devices per port on 100 ports), written through
// the register store beforehand, next to the same gateway on an empty
// database. The figure is taken once the last device on the last port answers
// a Modbus read with its stored values, and again after a few reads of
// every port. Build in Release.
// Usage: bench_memory

#include "benchkit.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdio>
#include <thread>
#include <vector>

namespace {

const int kDevices = 10000;
const int kPorts = 100;
const int kRegisters = 20;
const int kTimeoutMs = 60000;

struct SFigures
{
    double startMs = -1;
    long residentKiB = -1;
    long afterReadsKiB = -1;
};

SFigures measure(const QString &work, const std::vector<uint16_t> &ports, int devices)
{
    SFigures figures;
    const int perPort = devices / kPorts;
    QProcess gateway;
    const auto start = Bench::Clock::now();
    Bench::startGateway(gateway, work, true);
    if (devices == 0) {
        // nothing to read: the log says when the gateway is up
        while (gateway.state() != QProcess::NotRunning) {
            QFile log(work + QStringLiteral("/history.log"));
            if (log.open(QIODevice::ReadOnly) && log.readAll().contains("runs headless"))
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        figures.startMs = std::chrono::duration<double, std::milli>(Bench::Clock::now() - start).count();
    } else {
        figures.startMs = Bench::waitUntilServed(gateway, ports.back(), devices - 1, kRegisters, perPort,
                                                 start, kTimeoutMs);
    }
    figures.residentKiB = Bench::residentKiB(gateway.processId());
    std::vector<uint16_t> values(kRegisters);
    for (int n = 0; n < devices; n += 7)
        Bench::readOnce(ports[size_t(n / perPort)], uint16_t((n % perPort) * kRegisters), kRegisters,
                        values.data());
    figures.afterReadsKiB = Bench::residentKiB(gateway.processId());
    Bench::stopGateway(gateway);
    return figures;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    Bench::enterWorkDir(dir.path());
    const std::vector<uint16_t> ports = Bench::freePorts(kPorts);
    const QString empty = dir.filePath(QStringLiteral("empty"));
    const QString full = dir.filePath(QStringLiteral("full"));
    if (!Bench::prepareGatewayDir(empty, 0, kRegisters, ports, 1)
        || !Bench::prepareGatewayDir(full, kDevices, kRegisters, ports, kDevices / kPorts)) {
        fprintf(stderr, "working directories could not be prepared\n");
        return 1;
    }
    const SFigures none = measure(empty, ports, 0);
    const SFigures loaded = measure(full, ports, kDevices);
    printf("Resident memory of %s --headless\n", qPrintable(Bench::gatewayBinary()));
    printf("empty database:              %6ld kB\n", none.residentKiB);
    printf("%d devices x %d registers: %6ld kB when the last port answered (%.0f ms after start), %ld kB "
           "after reads of every port\n",
           kDevices, kRegisters, loaded.residentKiB, loaded.startMs, loaded.afterReadsKiB);
    printf("server.db: %.1f MB\n", double(QFileInfo(full + QStringLiteral("/server.db")).size()) / 1e6);
    return loaded.startMs >= 0 && none.residentKiB > 0 ? 0 : 1;
}
