// Register store throughput on a database of 1,000 devices with 20 register
// rows each: uplink-shaped work, Modbus-shaped reads and registrations.
// Build in Release and run without arguments; it works in a temporary directory.

#include "app/logfile.h"
#include "storage/databasehandler.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <cstdio>
#include <ctime>

namespace {

const int kDevices = 1000;
const int kRegisters = 20;
const int kPorts = 10;

QString euiOf(int n)
{
    return QStringLiteral("%1").arg(n, 16, 16, QLatin1Char('0')).toUpper();
}

uint16_t portOf(int n)
{
    return static_cast<uint16_t>(5020 + n % kPorts);
}

int32_t startOf(int n)
{
    return (n / kPorts) * kRegisters;
}

DB::SDeviceRegMapDescription deviceNumber(int n)
{
    DB::SDeviceRegMapDescription device;
    device.devEui = euiOf(n);
    device.appEui = QStringLiteral("A1B2C3D400000001");
    device.devName = QStringLiteral("Device %1").arg(n);
    device.startAddr = startOf(n);
    for (int i = 0; i < kRegisters; ++i) {
        SRegisterDescription reg;
        reg.name = QStringLiteral("Register %1").arg(i);
        reg.source = 1;
        reg.offset = uint32_t(i);
        reg.bitSize = 16;
        reg.dataType = QStringLiteral("uinteger");
        reg.gratingPeriod = 10;
        reg.unit = QStringLiteral("kWh");
        device.regList.append(reg);
    }
    return device;
}

// Wall-clock and process CPU time of one phase. The CPU figure shows what the
// store costs when the machine is shared with other work.
class Stopwatch
{
public:
    Stopwatch() { restart(); }
    void restart()
    {
        m_wall.start();
        m_cpu = cpuNow();
    }
    double wallSeconds() const { return m_wall.nsecsElapsed() / 1e9; }
    double cpuSeconds() const { return cpuNow() - m_cpu; }

private:
    static double cpuNow()
    {
        timespec ts {};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
        return ts.tv_sec + ts.tv_nsec / 1e9;
    }
    QElapsedTimer m_wall;
    double m_cpu = 0;
};

struct SRate
{
    double wall = 0;
    double cpu = 0;
};

SRate rateOf(int operations, const Stopwatch &watch)
{
    return { operations / watch.wallSeconds(), operations / watch.cpuSeconds() };
}

void report(const char *what, SRate rate, double target)
{
    std::printf("%-58s %9.0f /s wall %9.0f /s cpu   (target >= %.0f: %s)\n", what, rate.wall, rate.cpu,
                target, rate.wall >= target ? "met" : "MISSED");
}

int registerRange(CDataBaseHandler &db, int first, int count, SRate *rate)
{
    Stopwatch watch;
    for (int n = first; n < first + count; ++n) {
        if (!db.registerNewDevice(deviceNumber(n), portOf(n)))
            return 1;
    }
    *rate = rateOf(count, watch);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QTemporaryDir dir;
    if (!dir.isValid() || !QDir::setCurrent(dir.path()))
        return 1;
    CLogFile::getInstance(QStringLiteral("history.log"));

    CDataBaseHandler db(QStringLiteral("server.db"), QStringLiteral("bench"));
    if (db.failed())
        return 1;

    SRate fillRate;
    if (registerRange(db, 0, kDevices, &fillRate) != 0) {
        std::fprintf(stderr, "registration failed\n");
        return 1;
    }
    std::printf("Database: %d devices x %d register rows, %d ports\n\n", kDevices, kRegisters, kPorts);

    // (a) One uplink: the decoder asks for ten registers' scaling, then writes
    // the ten values in one batch.
    const int uplinks = 20000;
    Stopwatch watch;
    for (int u = 0; u < uplinks; ++u) {
        const int n = int((qint64(u) * 7919) % kDevices);
        const QString eui = euiOf(n);
        SDeviceRegisterData data;
        data.devEui = eui;
        data.startAddr = startOf(n);
        for (int r = 0; r < 10; ++r) {
            const SRegisterParam param = db.getRegisterParam(eui, uint32_t(startOf(n) + r));
            const QString value
                = QStringLiteral("%1").arg((u + r * param.gratingPeriod) & 0xFFFF, 4, 16, QLatin1Char('0'));
            data.registers.append({ value, value, r });
        }
        if (!db.saveRegisterData(data))
            return 1;
    }
    report("uplinks (10 getRegisterParam + 1 saveRegisterData of 10)", rateOf(uplinks, watch), 5000);

    // (b) Modbus reads of ten registers somewhere in a device's range.
    const int reads = 300000;
    qint64 checksum = 0;
    watch.restart();
    for (int i = 0; i < reads; ++i) {
        const int n = int((qint64(i) * 104729) % kDevices);
        const QMap<uint16_t, uint16_t> values
            = db.getRegisterData(portOf(n), uint32_t(startOf(n) + i % 10), 10);
        checksum += values.size();
    }
    report("getRegisterData(port, start, 10)", rateOf(reads, watch), 50000);
    if (checksum != qint64(reads) * 10)
        return 1;

    // (c) Registrations into the full database.
    SRate addRate;
    if (registerRange(db, kDevices, kDevices, &addRate) != 0) {
        std::fprintf(stderr, "registration failed\n");
        return 1;
    }
    report("registerNewDevice, 20 registers (into the full database)", addRate, 500);
    report("registerNewDevice, 20 registers (filling an empty one)", fillRate, 500);
    return 0;
}
