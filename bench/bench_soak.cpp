// Soak under hostile and crowded peers: 1,000 Modbus clients each read every
// 100 ms (10,000 reads/s) over loopback while the network server simulator (its own thread)
// sends uplinks that are decoded into the store, and a junk client streams
// zero bytes (Modbus frames of length 0) as fast as it can. A separate
// well-behaved client reads every 2 ms and times each read. Prints reads
// served, errors, that client's latency, resident memory and open
// descriptors before and after, and how much history.log grew.
// Build in Release; it works in a temporary directory.
// Usage: bench_soak [seconds] [clients] [period of each client's reads, ms] [nojunk]

#include "benchkit.h"

#include "core/gateway.h"
#include "devices/alldevicehandler.h"
#include "modbus/connectionhandler.h"
#include "modbus/modbusconfig.h"

#include "networkserversim.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const int kSending = 50; // devices the simulator sends for
const int kPeriodMs = 100; // per device: 50 x 10 = 500 uplinks/s
const int kFields = 10;
const int kReadEveryUs = 2000;
const QString kAppEui = QStringLiteral("A1B2C3D4000000BE");

using Bench::Clock;

bool writeTemplate()
{
    QJsonArray fields;
    for (int f = 0; f < kFields; ++f)
        fields.append(Bench::field16(f, f));
    return Bench::writeTemplate(kAppEui, { Bench::packet(1, 1 + 2 * kFields, fields) });
}

int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size());
}

int connectLoopback(uint16_t port, bool blocking)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (blocking ? 0 : SOCK_NONBLOCK), 0);
    if (fd < 0)
        return -1;
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 && errno != EINPROGRESS) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Read of kFields holding registers of device d (tid = d).
void request(uint8_t *out, int device)
{
    const uint16_t start = uint16_t(device * 20);
    const uint8_t bytes[12] = { uint8_t(device >> 8), uint8_t(device), 0, 0,      0, 6, 1, 3,
                                uint8_t(start >> 8),  uint8_t(start),  0, kFields };
    memcpy(out, bytes, sizeof(bytes));
}

const int kAnswerSize = 9 + 2 * kFields;

struct SCrowdResult
{
    std::atomic<long> reads { 0 };
    std::atomic<long> errors { 0 };
    std::atomic<int> connected { 0 };
};

// Each client polls like a SCADA master: one read every periodMs (staggered
// over the period), the next only after the whole answer came back.
void runCrowd(uint16_t port, int clients, int periodMs, const std::atomic<bool> &stop, SCrowdResult &result)
{
    struct SClient
    {
        int received = 0;
        bool waiting = false;
        bool connected = false;
        Clock::time_point due;
        uint8_t buffer[kAnswerSize];
    };
    std::vector<SClient> crowd(static_cast<size_t>(clients));
    std::vector<pollfd> polls(static_cast<size_t>(clients));
    const auto period = std::chrono::microseconds(periodMs * 1000);
    const auto begin = Clock::now();
    for (int i = 0; i < clients; ++i) {
        const int fd = connectLoopback(port, false);
        if (fd < 0)
            ++result.errors;
        polls[size_t(i)] = { fd, POLLOUT, 0 };
        crowd[size_t(i)].due = begin + period * i / clients;
    }
    auto fail = [&result](pollfd &p) {
        ++result.errors;
        ::close(p.fd);
        p.fd = -1;
    };
    uint8_t frame[12];
    while (!stop) {
        const auto now = Clock::now();
        for (int i = 0; i < clients; ++i) {
            pollfd &p = polls[size_t(i)];
            SClient &c = crowd[size_t(i)];
            if (p.fd < 0 || !c.connected || c.waiting || c.due > now)
                continue;
            request(frame, i % kSending);
            if (::send(p.fd, frame, sizeof(frame), MSG_NOSIGNAL) != qint64(sizeof(frame))) {
                fail(p);
                continue;
            }
            c.waiting = true;
            c.received = 0;
            c.due += period;
            p.events = POLLIN;
        }
        if (::poll(polls.data(), polls.size(), 1) <= 0)
            continue;
        for (int i = 0; i < clients; ++i) {
            pollfd &p = polls[size_t(i)];
            SClient &c = crowd[size_t(i)];
            if (p.fd < 0 || p.revents == 0)
                continue;
            if (p.revents & (POLLERR | POLLHUP)) {
                fail(p);
            } else if (!c.connected && (p.revents & POLLOUT)) {
                c.connected = true;
                ++result.connected;
                p.events = 0;
            } else if (c.waiting && (p.revents & POLLIN)) {
                const ssize_t got = ::recv(p.fd, c.buffer + c.received, size_t(kAnswerSize - c.received), 0);
                if (got <= 0) {
                    fail(p);
                    continue;
                }
                c.received += int(got);
                if (c.received == kAnswerSize) {
                    if (c.buffer[7] == 3 && c.buffer[8] == 2 * kFields)
                        ++result.reads;
                    else
                        ++result.errors;
                    c.waiting = false;
                    p.events = 0;
                }
            }
        }
    }
    for (const pollfd &p : polls) {
        if (p.fd >= 0)
            ::close(p.fd);
    }
}

// Zero bytes as fast as the server takes them.
void runJunk(uint16_t port, const std::atomic<bool> &stop, std::atomic<long long> &sent)
{
    const int fd = connectLoopback(port, true);
    if (fd < 0)
        return;
    timeval timeout { 0, 100000 };
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
    const std::vector<char> zeros(65536, 0);
    while (!stop) {
        const ssize_t n = ::send(fd, zeros.data(), zeros.size(), MSG_NOSIGNAL);
        if (n > 0)
            sent += n;
        else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            break;
    }
    ::close(fd);
}

struct SLatency
{
    std::vector<double> ms;
    long errors = 0;
};

// Paced reads on a blocking socket, one every kReadEveryUs.
void runTimed(uint16_t port, const std::atomic<bool> &stop, SLatency &result)
{
    const int fd = connectLoopback(port, true);
    if (fd < 0) {
        result.errors = 1;
        return;
    }
    uint8_t frame[12];
    uint8_t answer[kAnswerSize];
    auto next = Clock::now();
    for (int i = 0; !stop; ++i) {
        request(frame, i % kSending);
        const auto start = Clock::now();
        int received = 0;
        if (::send(fd, frame, sizeof(frame), MSG_NOSIGNAL) == qint64(sizeof(frame))) {
            while (received < kAnswerSize) {
                const ssize_t got = ::recv(fd, answer + received, size_t(kAnswerSize - received), 0);
                if (got <= 0)
                    break;
                received += int(got);
            }
        }
        if (received != kAnswerSize) {
            ++result.errors;
            break;
        }
        result.ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        next += std::chrono::microseconds(kReadEveryUs);
        std::this_thread::sleep_until(next);
    }
    ::close(fd);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 && atoi(argv[1]) > 0 ? atoi(argv[1]) : 10;
    const int clients = argc > 2 && atoi(argv[2]) > 0 ? atoi(argv[2]) : 1000;
    const int periodMs = argc > 3 && atoi(argv[3]) > 0 ? atoi(argv[3]) : 100;
    // for comparison: the same load without the junk client
    const bool junk = !(argc > 4 && qstrcmp(argv[4], "nojunk") == 0);
    const long long fileLimit = Modbus::raiseOpenFileLimit();
    // room for the crowd, the timed client and the junk client
    SModbusConfig config;
    config.maxConnections = clients + 2;
    QTemporaryDir dir;
    Bench::enterWorkDir(dir.path());
    writeTemplate();

    CGateway gateway(dir.filePath(QStringLiteral("server.db")), QStringLiteral("bench"), config);
    if (gateway.failed() || !gateway.knowsType(kAppEui)) {
        fprintf(stderr, "set-up failed\n");
        return 1;
    }

    const uint16_t port = Bench::freePort();
    SSimScenario scenario;
    scenario.accounts.append({ QStringLiteral("demo"), QStringLiteral("demo") });
    for (int n = 0; n < kSending; ++n) {
        DB::SDeviceRegMapDescription device;
        device.devEui = Bench::euiOf(n);
        device.appEui = kAppEui;
        device.devName = QStringLiteral("Device %1").arg(n);
        device.startAddr = n * 20;
        device.regList = gateway.typeRegisters(kAppEui);
        if (!gateway.registerDevice(device, port)) {
            fprintf(stderr, "device set-up failed\n");
            return 1;
        }
        scenario.devices.append(Bench::simDevice(device, kAppEui, kFields, n));
    }

    QThread simThread;
    auto *sim = new CNetworkServerSim(scenario);
    if (!Bench::startAndLogIn(gateway, simThread, sim))
        return 1;
    long decoded = 0;
    QObject::connect(&gateway, &CGateway::newDataForDevice, &gateway, [&decoded] { ++decoded; });
    QMetaObject::invokeMethod(
        sim, [sim] { sim->startUplinks(-1, kPeriodMs); }, Qt::BlockingQueuedConnection);
    Bench::spin(500);

    const long rssBefore = Bench::residentKiB(QCoreApplication::applicationPid());
    const int fdsBefore = openDescriptors();
    const qint64 logBefore = QFileInfo(QStringLiteral("history.log")).size();
    const long decodedBefore = decoded;

    std::atomic<bool> stop { false };
    SCrowdResult crowd;
    SLatency timed;
    std::atomic<long long> junkBytes { 0 };
    std::thread crowdThread([&] { runCrowd(port, clients, periodMs, stop, crowd); });
    std::thread junkThread([&] {
        if (junk)
            runJunk(port, stop, junkBytes);
    });
    std::thread timedThread([&] { runTimed(port, stop, timed); });
    const auto start = Clock::now();
    Bench::spin(seconds * 1000);
    const int connectionsAtPeak = CConnectionHandler::openConnections();
    const long rssPeak = Bench::residentKiB(QCoreApplication::applicationPid());
    stop = true;
    // The clients block for at most 100 ms; the event loop keeps serving meanwhile.
    QEventLoop joinLoop;
    std::thread joiner([&] {
        crowdThread.join();
        junkThread.join();
        timedThread.join();
        QMetaObject::invokeMethod(&joinLoop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    joinLoop.exec();
    joiner.join();
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const long ingested = decoded - decodedBefore;
    const qint64 logAfter = QFileInfo(QStringLiteral("history.log")).size();
    // The uplinks stop too, so that the figures after are the Modbus side's.
    Bench::stopSimulator(simThread, sim);
    // Closed connections delete themselves once their input is consumed; the
    // junk connection still has what the kernel buffered, taken at the
    // throttled rate.
    const auto drainStart = Clock::now();
    for (int i = 0; i < 600 && CConnectionHandler::openConnections() > 0; ++i)
        Bench::spin(100);
    const double drained = std::chrono::duration<double>(Clock::now() - drainStart).count();
    const long rssAfter = Bench::residentKiB(QCoreApplication::applicationPid());
    const int fdsAfter = openDescriptors();

    std::sort(timed.ms.begin(), timed.ms.end());
    printf("soak of %.1f s: %d clients on one port, each reading every %d ms; open-file limit %lld, "
           "connection cap %d\n",
           elapsed, clients, periodMs, fileLimit, Modbus::effectiveMaxConnections(config.maxConnections));
    printf("crowd:      %d connected, %ld reads served (%.0f/s), %ld errors; %d connections open at the end "
           "of the run\n",
           crowd.connected.load(), crowd.reads.load(), double(crowd.reads.load()) / elapsed,
           crowd.errors.load(), connectionsAtPeak);
    printf("timed:      %zu reads, %ld errors, round trip ms p50 %.3f  p99 %.3f  max %.3f\n", timed.ms.size(),
           timed.errors, Bench::percentile(timed.ms, 0.50), Bench::percentile(timed.ms, 0.99),
           timed.ms.empty() ? 0.0 : timed.ms.back());
    printf("junk:       %.1f MB of zero bytes taken\n", double(junkBytes.load()) / 1e6);
    printf("uplinks:    %.0f/s decoded\n", double(ingested) / elapsed);
    printf("history.log grew by %lld bytes\n", logAfter - logBefore);
    printf("resident:   %ld kB before, %ld kB at the end of the run, %ld kB after\n", rssBefore, rssPeak,
           rssAfter);
    printf("descriptors: %d before, %d after (%d connections left, %.1f s after the clients closed)\n",
           fdsBefore, fdsAfter, CConnectionHandler::openConnections(), drained);
    return crowd.errors + timed.errors == 0 ? 0 : 1;
}
