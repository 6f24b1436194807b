// The HTTP API beside Modbus, in one process as in the gateway: 10,000
// devices x 20 registers on 100 ports, the web service on a loopback port,
// HTTP clients (plain sockets) on threads of their own; the event streams'
// clients share one.
//  1. GET /api/devices?limit=100, one after the other: p50 and p99.
//  2. The CSV export of the whole register map (200,000 rows), timed to its
//     last byte.
//  3. Modbus round trips (libmodbus, one read on average every 2 ms at random
//     moments, as bench_latency reads) without and during back-to-back
//     exports, in rounds taking turns: first with nothing else going on, then
//     while the simulator sends 500 uplinks/s as in bench_latency.
//  4. While the simulator sends 500 uplinks/s: Modbus round trips without and
//     with 10 clients on /api/events, in rounds taking turns, and the most
//     register events any stream carried for one device within a second.
// Run as root, it keeps the processors awake while it measures (see
// Bench::CWakeLatencyHold) and says so.
// Build in Release. Usage: bench_webapi [seconds each way of each comparison]
// [streams | baseline] (with "streams", only the last comparison, for work on
// the streams; "baseline" runs that comparison with no streams on either
// side, which shows how far two sides that do the same work differ). A p99
// needs many reads: the comparisons hold about 500 a second each way, in
// rounds of about a second.

#include "benchkit.h"

#include "core/gateway.h"
#include "web/webpassword.h"
#include "web/webservice.h"

#include "networkserversim.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QHash>
#include <QTemporaryDir>
#include <QThread>

#include <arpa/inet.h>
#include <modbus.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using Bench::Clock;

const int kDevices = 10000;
const int kPerPort = 100;
const int kFields = 10;
const int kSending = 50;
const int kPeriodMs = 100; // 50 devices x 10/s = 500 uplinks/s
const int kStreams = 10;
const QString kAppEui = QStringLiteral("A1B2C3D4000000BE");
const QByteArray kAuthorization = "Authorization: Basic " + QByteArray("admin:bench").toBase64() + "\r\n";

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

int connectTo(uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// One request on a connection of its own; the whole answer, -1 bytes on failure.
// HTTP/1.0 gets a body without chunk framing, which makes it countable.
long long httpGet(uint16_t port, const QByteArray &target, QByteArray *body = nullptr,
                  const QByteArray &version = "HTTP/1.1")
{
    const int fd = connectTo(port);
    if (fd < 0)
        return -1;
    const QByteArray request = "GET " + target + " " + version
        + "\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + kAuthorization + "\r\n";
    if (::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL) != request.size()) {
        ::close(fd);
        return -1;
    }
    long long total = 0;
    char buffer[65536];
    ssize_t got = 0;
    while ((got = ::recv(fd, buffer, sizeof buffer, 0)) > 0) {
        total += got;
        if (body)
            body->append(buffer, int(got));
    }
    ::close(fd);
    return total;
}

// Runs `work` on a thread of its own while this thread's event loop serves.
template<typename Work> void whileServing(Work work)
{
    QEventLoop loop;
    std::thread client([&] {
        work();
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    client.join();
}

// Reads for `ms` milliseconds, adding each round trip to `out`.
void modbusReads(uint16_t port, int ms, long *errors, std::vector<double> &out)
{
    modbus_t *ctx = modbus_new_tcp("127.0.0.1", port);
    if (modbus_connect(ctx) != 0) {
        modbus_free(ctx);
        ++*errors;
        return;
    }
    uint16_t registers[kFields];
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    Bench::CReadPacer pacer(2000, unsigned(out.size()) + 1);
    for (int i = 0; Clock::now() < end; ++i) {
        const auto start = Clock::now();
        if (modbus_read_registers(ctx, (i % kSending) * 20, kFields, registers) != kFields)
            ++*errors;
        out.push_back(msSince(start));
        pacer.wait();
    }
    modbus_close(ctx);
    modbus_free(ctx);
}

// The p99 of what a round added to `all` (from `from` on).
double roundP99(const std::vector<double> &all, size_t from)
{
    std::vector<double> round(all.begin() + long(from), all.end());
    std::sort(round.begin(), round.end());
    return Bench::percentile(round, 0.99);
}

void printReads(const char *label, std::vector<double> ms)
{
    std::sort(ms.begin(), ms.end());
    printf("  %-24s reads %6zu, round trip ms: p50 %.3f  p99 %.3f  max %.3f\n", label, ms.size(),
           Bench::percentile(ms, 0.5), Bench::percentile(ms, 0.99), ms.empty() ? 0.0 : ms.back());
}

// Modbus reads without and with a load, a round of each in turn, so that
// whatever else the machine does falls on both sides alike; which goes first
// alternates. `withLoad(reads)` starts the load, calls reads() and stops the
// load again.
struct SComparison
{
    std::vector<double> without;
    std::vector<double> with;
    std::string perRound;
    int roundsRun = 0;

    template<typename WithLoad>
    void run(uint16_t port, int rounds, int roundMs, long *errors, WithLoad withLoad)
    {
        for (int round = 0; round < rounds; ++round) {
            const size_t withoutFrom = without.size();
            const size_t withFrom = with.size();
            // which side goes first takes turns too: a round's second half
            // may find the machine settled differently from its first
            const auto withoutRound
                = [&] { whileServing([&] { modbusReads(port, roundMs, errors, without); }); };
            const auto withRound = [&] { withLoad([&] { modbusReads(port, roundMs, errors, with); }); };
            if (round % 2 == 0) {
                withoutRound();
                withRound();
            } else {
                withRound();
                withoutRound();
            }
            char pair[64];
            snprintf(pair, sizeof pair, " %.3f/%.3f", roundP99(without, withoutFrom),
                     roundP99(with, withFrom));
            perRound += pair;
            ++roundsRun;
        }
    }

    void print(const char *withoutLabel, const char *withLabel) const
    {
        if (roundsRun <= 8) // a p99 of each of many short rounds says little
            printf("  p99 ms of each round, without/with:%s\n", perRound.c_str());
        printReads(withoutLabel, without);
        printReads(withLabel, with);
        std::vector<double> a = with;
        std::vector<double> b = without;
        std::sort(a.begin(), a.end());
        std::sort(b.begin(), b.end());
        const double withP99 = Bench::percentile(a, 0.99);
        const double withoutP99 = Bench::percentile(b, 0.99);
        printf("  p99 with / without: %.2f (%+.0f us)\n", withP99 / std::max(1e-9, withoutP99),
               (withP99 - withoutP99) * 1000);
    }
};

// Back-to-back exports on a thread of their own around `reads`.
template<typename Reads> void whileExporting(uint16_t http, std::atomic<int> *exports, Reads reads)
{
    std::atomic<bool> stop { false };
    whileServing([&] {
        std::thread exporter([&] {
            while (!stop.load())
                if (httpGet(http, "/api/register-map.csv") > 0)
                    ++*exports;
        });
        reads();
        stop = true;
        exporter.join();
    });
}

// The event streams' clients: one thread reads them all, so that their own
// work on this machine (browsers would run elsewhere) stays small beside the
// gateway's. Counts register events per device per one-second window of
// their arrival times.
struct SStreamReaders
{
    struct SStream
    {
        int fd = -1;
        bool greeted = false;
        std::string pending; // the start of an event not yet whole
        std::map<std::string, std::vector<double>> times;
    };
    std::vector<SStream> streams;
    std::atomic<int> greeted { 0 }; // streams the server has answered
    long events = 0;
    int mostPerDeviceSecond = 0;

    // Until the server has taken every stream in: opening them is not what
    // the comparison looks at.
    bool waitForGreetings() const
    {
        const auto end = Clock::now() + std::chrono::seconds(5);
        while (greeted.load() < int(streams.size()))
            if (Clock::now() > end)
                return false;
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return true;
    }

    void run(const std::atomic<bool> &stop)
    {
        const auto start = Clock::now();
        std::vector<pollfd> fds;
        for (const SStream &stream : streams)
            fds.push_back({ stream.fd, POLLIN, 0 });
        char buffer[65536];
        while (!stop.load()) {
            if (::poll(fds.data(), fds.size(), 100) <= 0)
                continue;
            for (size_t i = 0; i < fds.size(); ++i) {
                if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                    continue;
                const ssize_t got = ::recv(fds[i].fd, buffer, sizeof buffer, MSG_DONTWAIT);
                if (got <= 0) {
                    fds[i].fd = -1; // closed
                    continue;
                }
                count(streams[i], std::string_view(buffer, size_t(got)), msSince(start));
            }
        }
        for (const SStream &stream : streams)
            for (const auto &device : stream.times) {
                const std::vector<double> &t = device.second;
                for (size_t i = 0, j = 0; i < t.size(); ++i) {
                    while (t[i] - t[j] >= 1000.0)
                        ++j;
                    mostPerDeviceSecond = std::max(mostPerDeviceSecond, int(i - j + 1));
                }
            }
    }

    void count(SStream &stream, std::string_view bytes, double at)
    {
        stream.pending.append(bytes);
        if (!stream.greeted && stream.pending.find("retry: ") != std::string::npos) {
            stream.greeted = true;
            ++greeted;
        }
        size_t scanned = 0;
        size_t end = 0;
        while ((end = stream.pending.find("\n\n", scanned)) != std::string::npos) {
            const std::string_view event(stream.pending.data() + scanned, end - scanned);
            scanned = end + 2;
            if (event.rfind("event: registers", 0) != 0)
                continue;
            ++events;
            const size_t eui = event.find("\"devEui\":\"");
            if (eui != std::string_view::npos)
                stream.times[std::string(event.substr(eui + 10, 16))].push_back(at);
        }
        stream.pending.erase(0, scanned);
    }
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(QStringLiteral("bench"));
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const int seconds = argc > 1 && atoi(argv[1]) > 0 ? atoi(argv[1]) : 5;
    QTemporaryDir dir;
    Bench::enterWorkDir(dir.path());
    QJsonArray fields;
    for (int f = 0; f < kFields; ++f)
        fields.append(Bench::field16(f, f));
    for (int f = kFields; f < 20; ++f)
        fields.append(Bench::field16(f - kFields, f));
    Bench::writeTemplate(kAppEui, { Bench::packet(1, 1 + 2 * kFields, fields) });

    CGateway gateway(dir.filePath(QStringLiteral("server.db")), QStringLiteral("bench"));
    if (gateway.failed() || !gateway.knowsType(kAppEui)) {
        fprintf(stderr, "set-up failed\n");
        return 1;
    }
    const std::vector<uint16_t> ports = Bench::freePorts(kDevices / kPerPort);
    QList<SNewDevice> devices;
    SSimScenario scenario;
    scenario.accounts.append({ QStringLiteral("demo"), QStringLiteral("demo") });
    for (int n = 0; n < kDevices; ++n) {
        SNewDevice device;
        device.devEui = Bench::euiOf(n);
        device.appEui = kAppEui;
        device.name = QStringLiteral("Device %1").arg(n);
        device.port = ports[size_t(n / kPerPort)];
        device.startAddr = (n % kPerPort) * 20;
        devices.append(device);
        if (n < kSending) {
            DB::SDeviceRegMapDescription described;
            described.devEui = device.devEui;
            described.devName = device.name;
            scenario.devices.append(Bench::simDevice(described, kAppEui, kFields, n));
        }
    }
    const auto addStart = Clock::now();
    SAddProblem problem;
    if (!gateway.addDevices(devices, &problem)) {
        fprintf(stderr, "adding the devices failed: %s\n", qPrintable(problem.error));
        return 1;
    }
    const double addMs = msSince(addStart);

    CWebService web(gateway);
    SWebSettings settings;
    settings.port = 0;
    settings.passwordHash = WebPassword::hash("bench", 1000);
    web.apply(settings);
    if (!web.serving()) {
        fprintf(stderr, "the web service did not start\n");
        return 1;
    }
    const uint16_t http = web.port();
    const uint16_t modbusPort = ports.front();
    whileServing([&] { httpGet(http, "/api/status"); }); // the password is checked once, then remembered

    printf("%d devices x 20 registers on %zu ports (added in one call in %.0f ms)\n", kDevices, ports.size(),
           addMs);

    std::vector<double> listMs;
    whileServing([&] {
        for (int i = 0; i < 300; ++i) {
            const auto start = Clock::now();
            if (httpGet(http, "/api/devices?limit=100&offset=" + QByteArray::number((i * 97) % 9900)) > 0)
                listMs.push_back(msSince(start));
        }
    });
    std::sort(listMs.begin(), listMs.end());
    printf("GET /api/devices?limit=100: %zu calls, p50 %.2f ms, p99 %.2f ms (target p99 < 20 ms)\n",
           listMs.size(), Bench::percentile(listMs, 0.5), Bench::percentile(listMs, 0.99));

    double exportMs = 0;
    long long rows = 0;
    whileServing([&] {
        QByteArray csv;
        const auto start = Clock::now();
        httpGet(http, "/api/register-map.csv", &csv, "HTTP/1.0");
        exportMs = msSince(start);
        const int body = csv.indexOf("\r\n\r\n");
        rows = body < 0 ? 0 : csv.mid(body + 4).count('\n') - 1; // less the header line
    });
    printf("CSV export: %lld rows in %.0f ms (target < 1 s)\n", rows, exportMs);

    const Bench::CWakeLatencyHold awake;
    printf("Processors kept awake while measuring: %s\n",
           awake.held() ? "yes" : "no (needs root; the idle baseline then carries their wake-up time)");
    // Rounds of about a second: the machine's own pace drifts over seconds,
    // and short rounds taking turns put both sides on the same drift.
    const int rounds = std::max(8, seconds);
    const int roundMs = std::max(500, seconds * 1000 / rounds);
    long errors = 0;
    std::atomic<int> exports { 0 };
    printf("Modbus reads of %d registers on average every 2 ms, %d rounds of %d ms each way.\n", kFields,
           rounds, roundMs);

    const bool baseline = argc > 2 && qstrcmp(argv[2], "baseline") == 0;
    const bool onlyStreams = baseline || (argc > 2 && qstrcmp(argv[2], "streams") == 0);
    const int streamCount = baseline ? 0 : kStreams;
    if (!onlyStreams) {
        printf("Nothing else going on, without and during exports:\n");
        SComparison idleExports;
        idleExports.run(modbusPort, rounds, roundMs, &errors,
                        [&](auto reads) { whileExporting(http, &exports, reads); });
        idleExports.print("without export", "during exports");
        printf("  (%d exports meanwhile)\n", exports.load());
    }

    QThread simThread;
    auto *sim = new CNetworkServerSim(scenario);
    if (!Bench::startAndLogIn(gateway, simThread, sim))
        return 1;
    QMetaObject::invokeMethod(
        sim, [sim] { sim->startUplinks(-1, kPeriodMs); }, Qt::BlockingQueuedConnection);
    Bench::spin(1000);

    if (!onlyStreams) {
        printf("While the simulator sends %d uplinks/s (as bench_latency), without and during exports:\n",
               kSending * 1000 / kPeriodMs);
        exports = 0;
        SComparison ingestingExports;
        ingestingExports.run(modbusPort, rounds, roundMs, &errors,
                             [&](auto reads) { whileExporting(http, &exports, reads); });
        ingestingExports.print("without export", "during exports");
        printf("  target: within 1.2; (%d exports meanwhile)\n", exports.load());
    }

    printf("While the simulator sends %d uplinks/s, without and with %d event streams%s:\n",
           kSending * 1000 / kPeriodMs, streamCount, baseline ? " (both sides alike)" : "");
    long events = 0;
    int most = 0;
    int unanswered = 0; // rounds in which a stream was not answered within 5 s
    SComparison streams;
    streams.run(modbusPort, rounds, roundMs, &errors, [&](auto reads) {
        SStreamReaders readers;
        readers.streams.resize(size_t(streamCount));
        for (SStreamReaders::SStream &stream : readers.streams) {
            stream.fd = connectTo(http);
            const QByteArray request
                = "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n" + kAuthorization + "\r\n";
            ::send(stream.fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL);
        }
        whileServing([&] {
            std::atomic<bool> stopStreams { false };
            std::thread reader([&] { readers.run(stopStreams); });
            if (!readers.waitForGreetings())
                ++unanswered;
            reads();
            stopStreams = true;
            reader.join();
        });
        for (const SStreamReaders::SStream &stream : readers.streams)
            ::close(stream.fd);
        events += readers.events;
        most = std::max(most, readers.mostPerDeviceSecond);
        Bench::spin(100); // the closed streams leave the server
    });
    const QByteArray withLabel = QByteArray::number(streamCount) + " event streams";
    streams.print("no event streams", withLabel.constData());
    printf("  target: within 1.2\n");
    printf("  register events: %ld over %d streams x %d rounds; most for one device within a second on one "
           "stream: %d (at most 4 allowed)\n",
           events, streamCount, rounds, most);
    if (unanswered > 0)
        printf("  event streams not answered within 5 s in %d rounds\n", unanswered);
    printf("Modbus reads failed: %ld\n", errors);

    Bench::stopSimulator(simThread, sim);
    return errors == 0 && unanswered == 0 && most <= 4 ? 0 : 1;
}
