// Modbus TCP reads against a reference: the gateway (CGateway, restored from a
// "server.db" of 1,000 devices x 20 registers on 10 ports, serving as it does
// in the field) and a server built on libmodbus holding the same registers in
// memory. The same libmodbus clients read 10 holding registers in a closed
// loop against each, the two servers taking turns round by round, with 1, 4
// and 16 clients at once; the ratio is the median of the rounds' ratios. The
// CPU time of each server's serving thread per request is printed too, as it
// varies less with the machine's other load than the rates do.
// With "units" the devices share 4 ports by unit id (247 unit ids and 3
// devices without one per port, see Bench::placeOf); the clients read random
// devices of the first port, each by its unit id, while the reference holds
// the same devices one after the other.
// Build in Release; it works in a temporary directory.
// Usage: bench_modbus [milliseconds per run] [rounds] [ports | units]

#include "benchkit.h"

#include "core/gateway.h"
#include "storage/databasehandler.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTemporaryDir>

#include <modbus.h>

#include <pthread.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

namespace {

using Bench::Clock;
using Bench::valueOf;

const int kDevices = 1000;
const int kRegisters = 20;
int kDevicesPerPort = 100; // the benchmark reads the devices of the first port
const int kReadCount = 10;
int kRunMs = 1000;
int kRounds = 5;
bool kUnitIds = false;
const QString kAppEui = QStringLiteral("A1B2C3D400000001");

double threadCpuSeconds(clockid_t clock)
{
    timespec now {};
    clock_gettime(clock, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// A multi-client Modbus TCP server on libmodbus, as its own examples build
// one: select() over the listening socket and the clients, one request at a
// time, answered from an in-memory register map.
class CReferenceServer
{
public:
    explicit CReferenceServer(uint16_t port)
        : m_port(port)
    {
        m_ctx = modbus_new_tcp("127.0.0.1", port);
        m_map = modbus_mapping_new(0, 0, kDevicesPerPort * kRegisters, kDevicesPerPort * kRegisters);
        for (int n = 0; n < kDevicesPerPort; ++n) {
            for (int r = 0; r < kRegisters; ++r)
                m_map->tab_registers[n * kRegisters + r] = valueOf(n, r);
        }
        m_listenSocket = modbus_tcp_listen(m_ctx, 32);
        m_thread = std::thread([this] { serve(); });
        pthread_getcpuclockid(m_thread.native_handle(), &m_cpuClock);
    }
    ~CReferenceServer()
    {
        m_stop = true;
        m_thread.join();
        ::close(m_listenSocket);
        modbus_mapping_free(m_map);
        modbus_free(m_ctx);
    }
    bool ok() const { return m_listenSocket >= 0; }
    double cpuSeconds() const { return threadCpuSeconds(m_cpuClock); }
    uint16_t port() const { return m_port; }

private:
    void serve()
    {
        std::vector<int> clients;
        uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
        while (!m_stop) {
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(m_listenSocket, &readable);
            int maxFd = m_listenSocket;
            for (const int fd : clients) {
                FD_SET(fd, &readable);
                maxFd = std::max(maxFd, fd);
            }
            timeval timeout { 0, 100000 };
            if (select(maxFd + 1, &readable, nullptr, nullptr, &timeout) <= 0)
                continue;
            if (FD_ISSET(m_listenSocket, &readable)) {
                const int fd = accept(m_listenSocket, nullptr, nullptr);
                if (fd >= 0)
                    clients.push_back(fd);
            }
            for (auto it = clients.begin(); it != clients.end();) {
                if (!FD_ISSET(*it, &readable)) {
                    ++it;
                    continue;
                }
                modbus_set_socket(m_ctx, *it);
                const int rc = modbus_receive(m_ctx, query);
                if (rc > 0) {
                    modbus_reply(m_ctx, query, rc, m_map);
                    ++it;
                } else if (rc == -1) {
                    ::close(*it);
                    it = clients.erase(it);
                } else {
                    ++it;
                }
            }
        }
        for (const int fd : clients)
            ::close(fd);
    }

    uint16_t m_port = 0;
    modbus_t *m_ctx = nullptr;
    modbus_mapping_t *m_map = nullptr;
    int m_listenSocket = -1;
    std::atomic<bool> m_stop { false };
    std::thread m_thread;
    clockid_t m_cpuClock = CLOCK_THREAD_CPUTIME_ID;
};

struct SClientResult
{
    long requests = 0;
    long errors = 0;
    double serverCpu = 0; // seconds the serving thread ran
};

// Closed loop: the next read goes out as soon as the answer is in; every
// answer is checked against the values both servers hold. The gateway is read
// at the devices' places (by unit id with "units"); the reference holds them
// one after the other and ignores the unit id.
SClientResult runClient(uint16_t port, int seed, bool gateway)
{
    SClientResult result;
    modbus_t *ctx = modbus_new_tcp("127.0.0.1", port);
    if (modbus_connect(ctx) != 0) {
        modbus_free(ctx);
        result.errors = 1;
        return result;
    }
    std::mt19937 random { uint32_t(seed) };
    uint16_t registers[kReadCount];
    const auto end = Clock::now() + std::chrono::milliseconds(kRunMs);
    while (Clock::now() < end) {
        const int device = int(random() % kDevicesPerPort);
        const int first = int(random() % (kRegisters - kReadCount + 1));
        int start = device * kRegisters;
        if (gateway && kUnitIds) {
            const Bench::SPlace place = Bench::placeOf(device, kRegisters, kDevicesPerPort, true);
            modbus_set_slave(ctx, place.unitId);
            start = place.start;
        }
        if (modbus_read_registers(ctx, start + first, kReadCount, registers) != kReadCount) {
            ++result.errors;
            continue;
        }
        if (registers[0] != valueOf(device, first)
            || registers[kReadCount - 1] != valueOf(device, first + kReadCount - 1))
            ++result.errors;
        ++result.requests;
    }
    modbus_close(ctx);
    modbus_free(ctx);
    return result;
}

// Runs `clients` client threads; when `serveEvents` is set this thread's
// event loop serves Tidewell's listener meanwhile.
SClientResult runClients(uint16_t port, int clients, bool serveEvents)
{
    std::vector<SClientResult> results(static_cast<size_t>(clients));
    std::vector<std::thread> threads;
    std::atomic<int> running { clients };
    QEventLoop loop;
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back([&, i] {
            results[size_t(i)] = runClient(port, 17 + i, serveEvents);
            if (--running == 0)
                QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
        });
    }
    if (serveEvents)
        loop.exec();
    for (std::thread &t : threads)
        t.join();
    SClientResult total;
    for (const SClientResult &r : results) {
        total.requests += r.requests;
        total.errors += r.errors;
    }
    return total;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // optional: milliseconds per run, rounds, ports (a divisor of the devices)
    if (argc > 1 && atoi(argv[1]) > 0)
        kRunMs = atoi(argv[1]);
    if (argc > 2 && atoi(argv[2]) > 0)
        kRounds = atoi(argv[2]);
    if (argc > 3 && atoi(argv[3]) > 0 && kDevices % atoi(argv[3]) == 0)
        kDevicesPerPort = kDevices / atoi(argv[3]);
    if (argc > 3 && QByteArray(argv[3]) == "units") {
        kUnitIds = true;
        kDevicesPerPort = kDevices / 4;
    }
    QTemporaryDir dir;
    Bench::enterWorkDir(dir.path());

    // The database is written first and the gateway starts on it, as after a
    // restart: whatever it serves from is built from the stored rows.
    std::vector<uint16_t> ports;
    while (ports.size() < size_t(kDevices / kDevicesPerPort)) {
        const uint16_t port = Bench::freePort();
        if (std::find(ports.begin(), ports.end(), port) == ports.end())
            ports.push_back(port);
    }
    {
        CDataBaseHandler store(dir.filePath(QStringLiteral("server.db")), QStringLiteral("fill"));
        if (store.failed()
            || !Bench::storeDevices(store, kDevices, kRegisters, ports, kDevicesPerPort, kAppEui, kUnitIds)) {
            fprintf(stderr, "store set-up failed\n");
            return 1;
        }
    }
    CGateway gateway(dir.filePath(QStringLiteral("server.db")), QStringLiteral("bench"));
    if (gateway.failed() || gateway.restoreStoredDevices() != kDevices) {
        fprintf(stderr, "gateway set-up failed\n");
        return 1;
    }
    const uint16_t tidewellPort = ports.front();
    CReferenceServer reference(Bench::freePort());
    if (!reference.ok()) {
        fprintf(stderr, "reference server failed to listen\n");
        return 1;
    }
    printf("Modbus TCP, %d holding registers per read, closed loop, %d ms per run, %d rounds\n", kReadCount,
           kRunMs, kRounds);
    printf("gateway: %d devices x %d registers on %zu ports%s, restored from server.db\n", kDevices,
           kRegisters, ports.size(), kUnitIds ? " told apart by unit id" : "");
    // Rates follow the machine's other load; the serving thread's CPU time per
    // request much less so.
    printf("%-8s %16s %16s %8s %12s %22s\n", "clients", "reference req/s", "tidewell req/s", "ratio",
           "ratio range", "server CPU us/req r/t");
    long totalErrors = 0;
    for (const int clients : { 1, 4, 16 }) {
        // Short runs taking turns see the same background load; which server
        // goes first alternates, and the ratio is the median of the rounds.
        std::vector<double> referenceRates;
        std::vector<double> tidewellRates;
        std::vector<double> ratios;
        std::vector<double> referenceCpu;
        std::vector<double> tidewellCpu;
        for (int round = 0; round < kRounds; ++round) {
            // The gateway serves on this thread, whose event loop runs
            // while its clients do; the reference on its own thread.
            const auto runReference = [&] {
                const double cpu = reference.cpuSeconds();
                SClientResult result = runClients(reference.port(), clients, false);
                result.serverCpu = reference.cpuSeconds() - cpu;
                return result;
            };
            const auto runTidewell = [&] {
                const double cpu = threadCpuSeconds(CLOCK_THREAD_CPUTIME_ID);
                SClientResult result = runClients(tidewellPort, clients, true);
                result.serverCpu = threadCpuSeconds(CLOCK_THREAD_CPUTIME_ID) - cpu;
                return result;
            };
            SClientResult ref;
            SClientResult tw;
            if (round % 2 == 0) {
                ref = runReference();
                tw = runTidewell();
            } else {
                tw = runTidewell();
                ref = runReference();
            }
            referenceRates.push_back(ref.requests * 1000.0 / kRunMs);
            tidewellRates.push_back(tw.requests * 1000.0 / kRunMs);
            ratios.push_back(ref.requests > 0 ? double(tw.requests) / double(ref.requests) : 0.0);
            if (ref.requests > 0 && tw.requests > 0) {
                referenceCpu.push_back(ref.serverCpu * 1e6 / double(ref.requests));
                tidewellCpu.push_back(tw.serverCpu * 1e6 / double(tw.requests));
            }
            totalErrors += ref.errors + tw.errors;
        }
        const auto range = std::minmax_element(ratios.begin(), ratios.end());
        printf("%-8d %16.0f %16.0f %8.2f %7.2f-%-4.2f %14.1f / %-5.1f\n", clients,
               Bench::median(referenceRates), Bench::median(tidewellRates), Bench::median(ratios),
               *range.first, *range.second, Bench::median(referenceCpu), Bench::median(tidewellCpu));
    }
    if (totalErrors != 0)
        printf("errors: %ld\n", totalErrors);
    return totalErrors == 0 ? 0 : 1;
}
