#pragma once

#include "storage/dbrecords.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QString>

#include <chrono>
#include <cstdint>
#include <random>
#include <vector>

class CDataBaseHandler;
class CGateway;
class CNetworkServerSim;
class QThread;
struct SSimDevice;

// What the benchmark programs share: a scratch working directory set up as the
// gateway expects it, device templates, stored devices with known register
// values, percentiles, and the gateway executable run as a child process.
namespace Bench {

using Clock = std::chrono::steady_clock;

// Makes `path` the working directory with the gateway's globals and its
// history.log, and keeps debug lines (the gateway has no console) off stderr.
void enterWorkDir(const QString &path);

QString euiOf(int n);
// A loopback port nobody listens on at the moment.
uint16_t freePort();

// One packet field: a 16-bit integer at payload byte 1 + 2 * index, served
// at register regOffset.
QJsonObject field16(int index, int regOffset, const QString &type = QStringLiteral("uinteger"));
QJsonObject packet(int type, int payloadSize, const QJsonArray &fields);
// Writes deviceFolder/bench.json in the working directory.
bool writeTemplate(const QString &appEui, const QJsonArray &packets, const QJsonArray &serverData = {});

// The value stored at start for register `reg` of device `n` by storeDevices().
uint16_t valueOf(int device, int reg);
// Where device n is read on its port. Without unit ids: unit 1 (any), from
// registers x (n mod devicesPerPort). With unit ids: the first 247 devices of
// a port have unit ids 1..247 and start at 0; the others have none (read as
// unit 0) and start at registers x (their place - 247).
struct SPlace
{
    uint8_t unitId = 1; // what a client sends
    uint8_t storedUnitId = 0; // what the device is given; 0: none
    uint16_t start = 0;
};
SPlace placeOf(int n, int registers, int devicesPerPort, bool unitIds);
// A 20-register device (16-bit unsigned registers, neutral scaling) at its place.
DB::SDeviceRegMapDescription plainDevice(int n, int registers, int devicesPerPort, const QString &appEui,
                                         bool unitIds = false);
// Registers `count` devices through the store and gives each register
// valueOf(); devices n*perPort .. (n+1)*perPort-1 go to ports[n].
bool storeDevices(CDataBaseHandler &store, int count, int registers, const std::vector<uint16_t> &ports,
                  int devicesPerPort, const QString &appEui, bool unitIds = false);

// `p` in 0..1 of ascending samples.
double percentile(const std::vector<double> &sorted, double p);
double median(std::vector<double> values);
// CPU time of this process so far (all threads), in seconds: on a shared
// machine it varies less than the wall clock.
double cpuSeconds();

// Resident set of a process (VmRSS), -1 if it cannot be read.
long residentKiB(qint64 pid);

// Reads `quantity` holding registers from `start` on 127.0.0.1:port with one
// fresh connection; true when an answer came and out holds the registers.
// Gives up after timeoutMs on each step.
bool readOnce(uint16_t port, uint16_t start, uint16_t quantity, uint16_t *out, int timeoutMs = 1000,
              uint8_t unitId = 1);

// Ports nobody listens on at the moment, all different.
std::vector<uint16_t> freePorts(int count);

// The gateway executable of this build, or $TIDEWELL_BINARY.
QString gatewayBinary();
// Makes `path` a working directory for the gateway executable: a server.db of
// `count` devices stored by storeDevices() and a settings.conf naming a
// network server on a port where nobody listens (the gateway serves stored
// devices before it is logged in).
bool prepareGatewayDir(const QString &path, int count, int registers, const std::vector<uint16_t> &ports,
                       int devicesPerPort, bool unitIds = false);
// Copies the files of one directory into another (created if missing).
bool copyDir(const QString &from, const QString &to);
// Starts the gateway executable on `dir`: headless, or in window mode on the
// offscreen platform. Its output goes to dir/output.txt.
void startGateway(QProcess &process, const QString &dir, bool headless);
// Reads the registers of `device` (as stored by storeDevices()) on `port`
// until they come back right; the milliseconds from `since`, or -1 when the
// process ended or timeoutMs passed first.
double waitUntilServed(const QProcess &process, uint16_t port, int device, int registers, int devicesPerPort,
                       Clock::time_point since, int timeoutMs, bool unitIds = false);
// SIGTERM, then SIGKILL if it has not ended after a few seconds.
void stopGateway(QProcess &process);

// A simulated device of `appEui` sending type-1 packets of `fields` 16-bit
// values, four different payloads in turn (seeded by n).
SSimDevice simDevice(const DB::SDeviceRegMapDescription &device, const QString &appEui, int fields, int n);
// Starts `sim` on `thread` (the simulator on a thread of its own, as a real
// server would run elsewhere) and logs the gateway into it as "demo",
// waiting 10 s at most; false (with a message) when it cannot listen.
bool startAndLogIn(CGateway &gateway, QThread &thread, CNetworkServerSim *sim);
// Stops the simulator's uplinks, deletes it on its thread and ends the thread.
void stopSimulator(QThread &thread, CNetworkServerSim *sim);
// Runs the event loop for that long.
void spin(int milliseconds);

// Paces a client's reads at random moments, on average one every `meanUs`
// (exponential gaps, as many independent pollers together look). Reads on a
// fixed beat would keep one phase against the simulator's uplinks, which come
// on a beat too, for seconds at a time: the tail they see would then depend on
// that phase rather than on the gateway. The same seed gives the same gaps.
class CReadPacer
{
public:
    explicit CReadPacer(int meanUs, unsigned seed = 1);
    // Sleeps until the next read is due (at once when it is overdue).
    void wait();

private:
    std::mt19937 m_random;
    std::exponential_distribution<double> m_gapUs;
    Clock::time_point m_next;
};

// Keeps the processors out of their sleep states while it lives, as latency
// benchmarks do (/dev/cpu_dma_latency held at 0): waking an idle virtual
// processor costs tens to hundreds of microseconds, more than the work a
// latency comparison looks at. Needs root; held() says whether it took.
class CWakeLatencyHold
{
public:
    CWakeLatencyHold();
    ~CWakeLatencyHold();
    CWakeLatencyHold(const CWakeLatencyHold &) = delete;
    CWakeLatencyHold &operator=(const CWakeLatencyHold &) = delete;
    bool held() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

} // namespace Bench
