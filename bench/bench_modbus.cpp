// Modbus TCP reads against a reference: Tidewell's listener backed by a
// "server.db" of 1,000 devices x 20 registers, and a server built on libmodbus
// holding the same registers in memory. The same libmodbus client reads 10
// holding registers in a closed loop against each, alternating, with 1 and
// with 4 clients at once. Build in Release; it works in a temporary directory.
// Usage: bench_modbus [milliseconds per run]

#include "app/globaldata.h"
#include "app/logfile.h"
#include "modbus/devicehandler.h"
#include "storage/databasehandler.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QTcpServer>
#include <QTemporaryDir>

#include <modbus.h>

#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <thread>
#include <vector>

namespace {

const int kDevices = 1000;
const int kRegisters = 20;
const int kDevicesPerPort = 100; // the benchmark reads the devices of one port
const int kReadCount = 10;
int kRunMs = 1000;
const int kRounds = 5;

using Clock = std::chrono::steady_clock;

uint16_t valueOf(int device, int reg)
{
    return static_cast<uint16_t>(device * 131 + reg * 7 + 1);
}

uint16_t freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// Devices 0..99 on the benchmark port, the others on nine more ports, 20
// registers each from start address 20 x (n mod 100).
bool fillStore(CDataBaseHandler &store, uint16_t benchPort)
{
    for (int n = 0; n < kDevices; ++n) {
        DB::SDeviceRegMapDescription device;
        device.devEui = QStringLiteral("%1").arg(n, 16, 16, QLatin1Char('0')).toUpper();
        device.appEui = QStringLiteral("A1B2C3D400000001");
        device.devName = QStringLiteral("Device %1").arg(n);
        device.startAddr = (n % kDevicesPerPort) * kRegisters;
        SDeviceRegisterData data;
        data.devEui = device.devEui;
        data.startAddr = device.startAddr;
        for (int r = 0; r < kRegisters; ++r) {
            SRegisterDescription reg;
            reg.name = QStringLiteral("Register %1").arg(r);
            reg.source = 1;
            reg.offset = uint32_t(r);
            reg.bitSize = 16;
            reg.dataType = QStringLiteral("uinteger");
            device.regList.append(reg);
            SRegisterValue value;
            value.value = QStringLiteral("%1").arg(valueOf(n, r), 4, 16, QLatin1Char('0'));
            value.fullValue = value.value;
            value.offset = r;
            data.registers.append(value);
        }
        const uint16_t port = n < kDevicesPerPort ? benchPort : uint16_t(benchPort + 1 + n / kDevicesPerPort);
        if (!store.registerNewDevice(device, port) || !store.saveRegisterData(data))
            return false;
    }
    return true;
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
        m_listenSocket = modbus_tcp_listen(m_ctx, 8);
        m_thread = std::thread([this] { serve(); });
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
};

struct SClientResult
{
    long requests = 0;
    long errors = 0;
};

// Closed loop: the next read goes out as soon as the answer is in; every
// answer is checked against the values both servers hold.
SClientResult runClient(uint16_t port, int seed)
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
        if (modbus_read_registers(ctx, device * kRegisters + first, kReadCount, registers) != kReadCount) {
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
            results[size_t(i)] = runClient(port, 17 + i);
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

// The gateway has no console: its per-request debug line goes nowhere.
void quietDebug(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type != QtDebugMsg)
        fprintf(stderr, "%s\n", qPrintable(text));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // optional: milliseconds per run
    if (argc > 1 && atoi(argv[1]) > 0)
        kRunMs = atoi(argv[1]);
    qInstallMessageHandler(quietDebug);
    QTemporaryDir dir;
    QDir::setCurrent(dir.path());
    initGlobalData();
    CLogFile::getInstance(QStringLiteral("history.log"));

    CDataBaseHandler store(dir.filePath(QStringLiteral("server.db")), QStringLiteral("bench"));
    CDeviceHandler tidewell(0, &store);
    if (store.failed() || !tidewell.isListening() || !fillStore(store, tidewell.getPort())) {
        fprintf(stderr, "set-up failed\n");
        return 1;
    }
    CReferenceServer reference(freePort());
    if (!reference.ok()) {
        fprintf(stderr, "reference server failed to listen\n");
        return 1;
    }
    printf("Modbus TCP, %d holding registers per read, closed loop, %d ms per run, %d rounds\n", kReadCount,
           kRunMs, kRounds);
    printf("store: %d devices x %d registers\n", kDevices, kRegisters);
    {
        // the store's share of each Tidewell answer
        const int reads = 20000;
        const auto start = Clock::now();
        for (int i = 0; i < reads; ++i)
            store.getRegisterData(tidewell.getPort(),
                                  uint32_t((i * 37) % (kDevicesPerPort * kRegisters - kReadCount)),
                                  kReadCount);
        const double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count() / reads;
        printf("store alone: %.1f us per read of %d registers\n", us, kReadCount);
    }
    printf("%-8s %16s %16s %8s\n", "clients", "reference req/s", "tidewell req/s", "ratio");
    long totalErrors = 0;
    for (const int clients : { 1, 4 }) {
        // Short alternating runs see the same background load; the ratio is
        // the median of the per-round ratios.
        double referenceRate = 0;
        double tidewellRate = 0;
        std::vector<double> ratios;
        for (int round = 0; round < kRounds; ++round) {
            const SClientResult ref = runClients(reference.port(), clients, false);
            const SClientResult tw = runClients(tidewell.getPort(), clients, true);
            referenceRate += ref.requests * 1000.0 / kRunMs / kRounds;
            tidewellRate += tw.requests * 1000.0 / kRunMs / kRounds;
            ratios.push_back(ref.requests > 0 ? double(tw.requests) / double(ref.requests) : 0.0);
            totalErrors += ref.errors + tw.errors;
        }
        std::sort(ratios.begin(), ratios.end());
        printf("%-8d %16.0f %16.0f %8.2f\n", clients, referenceRate, tidewellRate, ratios[ratios.size() / 2]);
    }
    if (totalErrors != 0)
        printf("errors: %ld\n", totalErrors);
    return totalErrors == 0 ? 0 : 1;
}
