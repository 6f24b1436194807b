#include "benchkit.h"

#include "app/logfile.h"
#include "app/settings.h"
#include "core/gateway.h"
#include "storage/databasehandler.h"
#include "tools/netsim/networkserversim.h"

#include <QDir>
#include <QDirIterator>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QTcpServer>
#include <QThread>
#include <QTimer>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace Bench {

namespace {

void quietDebug(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type != QtDebugMsg)
        fprintf(stderr, "%s\n", qPrintable(text));
}

bool sendAll(int fd, const uint8_t *data, size_t size)
{
    while (size > 0) {
        const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        data += sent;
        size -= size_t(sent);
    }
    return true;
}

bool receiveAll(int fd, uint8_t *data, size_t size)
{
    while (size > 0) {
        const ssize_t got = ::recv(fd, data, size, 0);
        if (got <= 0)
            return false;
        data += got;
        size -= size_t(got);
    }
    return true;
}

} // namespace

void enterWorkDir(const QString &path)
{
    qInstallMessageHandler(quietDebug);
    QDir::setCurrent(path);
    CLogFile::getInstance(QStringLiteral("history.log"));
}

QString euiOf(int n)
{
    return QStringLiteral("%1").arg(n, 16, 16, QLatin1Char('0')).toUpper();
}

uint16_t freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

QJsonObject field16(int index, int regOffset, const QString &type)
{
    return QJsonObject {
        { "packet_bias", 1 + 2 * index }, { "data_bit_bias", 0 },
        { "data_bit_size", 16 },          { "data_type", type },
        { "reg_map_bias", regOffset },    { "reg_bit_bias", 0 },
        { "reg_bit_size", 16 },           { "data_name", QStringLiteral("Value %1").arg(regOffset) }
    };
}

QJsonObject packet(int type, int payloadSize, const QJsonArray &fields)
{
    return QJsonObject { { "packet_type", type },
                         { "packet_size", payloadSize },
                         { "packet_fields", fields } };
}

bool writeTemplate(const QString &appEui, const QJsonArray &packets, const QJsonArray &serverData)
{
    QDir().mkpath(QStringLiteral("deviceFolder"));
    QFile file(QStringLiteral("deviceFolder/bench.json"));
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const QJsonObject object { { "app_eui", appEui },
                               { "dev_type", "Bench" },
                               { "server_data", serverData },
                               { "device_packets", packets } };
    return file.write(QJsonDocument(object).toJson()) > 0;
}

uint16_t valueOf(int device, int reg)
{
    return static_cast<uint16_t>(device * 131 + reg * 7 + 1);
}

SPlace placeOf(int n, int registers, int devicesPerPort, bool unitIds)
{
    const int k = n % devicesPerPort;
    SPlace place;
    place.start = uint16_t(k * registers);
    if (!unitIds)
        return place;
    if (k < 247) {
        place.unitId = uint8_t(k + 1);
        place.storedUnitId = place.unitId;
        place.start = 0;
    } else {
        place.unitId = 0;
        place.start = uint16_t((k - 247) * registers);
    }
    return place;
}

DB::SDeviceRegMapDescription plainDevice(int n, int registers, int devicesPerPort, const QString &appEui,
                                         bool unitIds)
{
    DB::SDeviceRegMapDescription device;
    device.devEui = euiOf(n);
    device.appEui = appEui;
    device.devName = QStringLiteral("Device %1").arg(n);
    const SPlace place = placeOf(n, registers, devicesPerPort, unitIds);
    device.startAddr = place.start;
    device.unitId = place.storedUnitId;
    for (int r = 0; r < registers; ++r) {
        SRegisterDescription reg;
        reg.name = QStringLiteral("Register %1").arg(r);
        reg.source = 1;
        reg.offset = uint32_t(r);
        reg.bitSize = 16;
        reg.dataType = QStringLiteral("uinteger");
        device.regList.append(reg);
    }
    return device;
}

bool storeDevices(CDataBaseHandler &store, int count, int registers, const std::vector<uint16_t> &ports,
                  int devicesPerPort, const QString &appEui, bool unitIds)
{
    for (int n = 0; n < count; ++n) {
        const size_t portIndex = size_t(n / devicesPerPort);
        if (portIndex >= ports.size())
            return false;
        const DB::SDeviceRegMapDescription device
            = plainDevice(n, registers, devicesPerPort, appEui, unitIds);
        SDeviceRegisterData data;
        data.devEui = device.devEui;
        data.startAddr = device.startAddr;
        for (int r = 0; r < registers; ++r) {
            SRegisterValue value;
            value.value = QStringLiteral("%1").arg(valueOf(n, r), 4, 16, QLatin1Char('0'));
            value.fullValue = value.value;
            value.offset = r;
            data.registers.append(value);
        }
        if (!store.registerNewDevice(device, ports[portIndex]) || !store.saveRegisterData(data))
            return false;
    }
    return true;
}

double percentile(const std::vector<double> &sorted, double p)
{
    if (sorted.empty())
        return 0;
    return sorted[std::min(sorted.size() - 1, size_t(p * double(sorted.size())))];
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return percentile(values, 0.5);
}

double cpuSeconds()
{
    timespec now {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

long residentKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return -1;
}

bool readOnce(uint16_t port, uint16_t start, uint16_t quantity, uint16_t *out, int timeoutMs, uint8_t unitId)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const timeval timeout { timeoutMs / 1000, (timeoutMs % 1000) * 1000 };
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0;
    // transaction 1, protocol 0, length 6, the unit, function 3
    const uint8_t request[12] = { 0,
                                  1,
                                  0,
                                  0,
                                  0,
                                  6,
                                  unitId,
                                  3,
                                  uint8_t(start >> 8),
                                  uint8_t(start),
                                  uint8_t(quantity >> 8),
                                  uint8_t(quantity) };
    uint8_t header[9];
    ok = ok && sendAll(fd, request, sizeof(request)) && receiveAll(fd, header, sizeof(header));
    ok = ok && header[7] == 3 && header[8] == 2 * quantity;
    std::vector<uint8_t> body(size_t(2 * quantity));
    ok = ok && receiveAll(fd, body.data(), body.size());
    ::close(fd);
    if (!ok)
        return false;
    for (int i = 0; i < quantity; ++i)
        out[i] = uint16_t(body[size_t(2 * i)] << 8 | body[size_t(2 * i + 1)]);
    return true;
}

QString gatewayBinary()
{
    const QByteArray fromEnvironment = qgetenv("TIDEWELL_BINARY");
    return fromEnvironment.isEmpty() ? QStringLiteral(TIDEWELL_BINARY)
                                     : QString::fromLocal8Bit(fromEnvironment);
}

std::vector<uint16_t> freePorts(int count)
{
    std::vector<uint16_t> ports;
    while (ports.size() < size_t(count)) {
        const uint16_t port = freePort();
        if (port != 0 && std::find(ports.begin(), ports.end(), port) == ports.end())
            ports.push_back(port);
    }
    return ports;
}

bool prepareGatewayDir(const QString &path, int count, int registers, const std::vector<uint16_t> &ports,
                       int devicesPerPort, bool unitIds)
{
    QDir().mkpath(path + QStringLiteral("/deviceFolder"));
    {
        CDataBaseHandler store(path + QStringLiteral("/server.db"), QStringLiteral("prepare"));
        if (store.failed()
            || !storeDevices(store, count, registers, ports, devicesPerPort,
                             QStringLiteral("A1B2C3D400000001"), unitIds))
            return false;
    }
    SServerSettings server;
    server.host = QStringLiteral("127.0.0.1");
    server.port = QString::number(freePort());
    server.login = QStringLiteral("demo");
    server.password = QStringLiteral("demo");
    CSettings settings(path + QStringLiteral("/settings.conf"));
    return settings.writeServerSettings(server);
}

bool copyDir(const QString &from, const QString &to)
{
    QDirIterator it(from, QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    QDir().mkpath(to);
    while (it.hasNext()) {
        const QString source = it.next();
        const QString target = to + QLatin1Char('/') + QDir(from).relativeFilePath(source);
        if (it.fileInfo().isDir() ? !QDir().mkpath(target) : !QFile::copy(source, target))
            return false;
    }
    return true;
}

void startGateway(QProcess &process, const QString &dir, bool headless)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (headless)
        environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    else
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setStandardOutputFile(dir + QStringLiteral("/output.txt"));
    QStringList arguments { QStringLiteral("--workdir"), dir };
    if (headless)
        arguments.prepend(QStringLiteral("--headless"));
    process.start(gatewayBinary(), arguments);
}

double waitUntilServed(const QProcess &process, uint16_t port, int device, int registers, int devicesPerPort,
                       Clock::time_point since, int timeoutMs, bool unitIds)
{
    const SPlace place = placeOf(device, registers, devicesPerPort, unitIds);
    const uint16_t start = place.start;
    std::vector<uint16_t> values(static_cast<size_t>(registers));
    const auto giveUp = since + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < giveUp && process.state() != QProcess::NotRunning) {
        if (readOnce(port, start, uint16_t(registers), values.data(), 500, place.unitId)) {
            const auto now = Clock::now();
            for (int r = 0; r < registers; ++r) {
                if (values[size_t(r)] != valueOf(device, r))
                    return -1;
            }
            return std::chrono::duration<double, std::milli>(now - since).count();
        }
        // refused: not listening yet
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return -1;
}

void stopGateway(QProcess &process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

SSimDevice simDevice(const DB::SDeviceRegMapDescription &device, const QString &appEui, int fields, int n)
{
    SSimDevice sim;
    sim.devEui = device.devEui;
    sim.devName = device.devName;
    sim.appEui = appEui;
    for (int p = 0; p < 4; ++p) {
        QByteArray payload(1 + 2 * fields, char(n + p));
        payload[0] = 1;
        sim.payloads.append(payload);
    }
    return sim;
}

bool startAndLogIn(CGateway &gateway, QThread &thread, CNetworkServerSim *sim)
{
    thread.start();
    sim->moveToThread(&thread);
    quint16 port = 0;
    QMetaObject::invokeMethod(
        sim,
        [&] {
            if (sim->listen())
                port = sim->port();
        },
        Qt::BlockingQueuedConnection);
    if (port == 0) {
        fprintf(stderr, "simulator failed to listen\n");
        return false;
    }
    QEventLoop loop;
    QObject::connect(sim, &CNetworkServerSim::clientLoggedIn, &loop, &QEventLoop::quit);
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    SServerSettings server;
    server.host = QStringLiteral("127.0.0.1");
    server.port = QString::number(port);
    server.login = QStringLiteral("demo");
    server.password = QStringLiteral("demo");
    gateway.connectToServer(server);
    loop.exec();
    return true;
}

void stopSimulator(QThread &thread, CNetworkServerSim *sim)
{
    QMetaObject::invokeMethod(
        sim,
        [sim] {
            sim->stopUplinks();
            delete sim;
        },
        Qt::BlockingQueuedConnection);
    thread.quit();
    thread.wait();
}

void spin(int milliseconds)
{
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

CReadPacer::CReadPacer(int meanUs, unsigned seed)
    : m_random(seed)
    , m_gapUs(1.0 / meanUs)
    , m_next(Clock::now())
{
}

void CReadPacer::wait()
{
    m_next += std::chrono::microseconds(std::llround(m_gapUs(m_random)));
    std::this_thread::sleep_until(m_next);
}

CWakeLatencyHold::CWakeLatencyHold()
    : m_fd(::open("/dev/cpu_dma_latency", O_WRONLY | O_CLOEXEC))
{
    const int32_t none = 0;
    if (m_fd >= 0 && ::write(m_fd, &none, sizeof none) != ssize_t(sizeof none)) {
        ::close(m_fd);
        m_fd = -1;
    }
}

CWakeLatencyHold::~CWakeLatencyHold()
{
    if (m_fd >= 0)
        ::close(m_fd); // the kernel drops the request with the descriptor
}

} // namespace Bench
