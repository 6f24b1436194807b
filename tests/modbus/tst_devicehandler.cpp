#include "app/logfile.h"
#include "modbus/connectionhandler.h"
#include "modbus/devicehandler.h"
#include "modbus/modbusconfig.h"
#include "modbus/modbusservice.h"
#include "modbus/modbusstats.h"
#include "modbus/registersource.h"
#include "tests/testkit/testkit.h"

#include <QProcess>
#include <QSettings>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// The listener's side of the limits: ports it cannot open, the interface it
// binds to, and the cap on connections over all ports; and the service that
// keeps a port open while devices are served on it.
class tst_DeviceHandler : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void busyPortIsReported();
    void servicePortsFollowDevices();
    void bindAddress();
    void settings_data();
    void settings();
    void allowList_data();
    void allowList();
    void connectionCapOverAllPorts();
    void descriptorsSetAsideLowerTheCap();
    void descriptorsRunOut();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
};

namespace {

class CZeroSource : public IRegisterSource
{
public:
    uint8_t readRegisters(uint16_t, uint8_t, uint16_t, uint16_t quantity, uint16_t *out) override
    {
        std::fill(out, out + quantity, uint16_t(0));
        return 0;
    }
};

CZeroSource s_source;

// tid 0001, len 6, unit 01, fc 03, start 0, qty 1, and its answer
const QByteArray kRequest = QByteArray::fromHex("000100000006010300000001");
const QByteArray kAnswer = QByteArray::fromHex("0001000000050103020000");

// The listener runs on this thread, so the wait must keep the event loop going.
bool answers(QTcpSocket &client)
{
    client.write(kRequest);
    QByteArray received;
    (void)QTest::qWaitFor(
        [&] {
            received += client.readAll();
            return received.size() >= kAnswer.size();
        },
        10000);
    return received == kAnswer;
}

} // namespace

void tst_DeviceHandler::initTestCase()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QVERIFY(QDir::setCurrent(m_dir->path()));
    CLogFile::getInstance(QStringLiteral("history.log"));
}

void tst_DeviceHandler::cleanup()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void tst_DeviceHandler::busyPortIsReported()
{
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::Any, 0));
    QSignalSpy log(CLogFile::getInstance(QString()), &CLogFile::addLogSignal);
    const int before = CDeviceHandler::openListeners();

    CDeviceHandler listener(holder.serverPort(), s_source);
    QVERIFY(!listener.isListening());
    QCOMPARE(listener.listenError(), QStringLiteral("Address already in use"));
    QCOMPARE(CDeviceHandler::openListeners(), before);
    QCOMPARE(log.size(), 1);
    QVERIFY(log.first().at(0).toString().endsWith(
        QStringLiteral("WARNING: [CDeviceHandler] Port [%1] is not opened: Address already in use")
            .arg(holder.serverPort())));
}

bool portAccepts(uint16_t port)
{
    QTcpSocket socket;
    QSignalSpy connected(&socket, &QTcpSocket::connected);
    QSignalSpy failed(&socket, &QTcpSocket::errorOccurred);
    socket.connectToHost(QHostAddress::LocalHost, port);
    return QTest::qWaitFor([&] { return !connected.isEmpty() || !failed.isEmpty(); }, testkit::WAIT_MS)
        && !connected.isEmpty();
}

void tst_DeviceHandler::servicePortsFollowDevices()
{
    CModbusService service;
    const uint16_t port = testkit::freePort();
    QSignalSpy log(CLogFile::getInstance(QString()), &CLogFile::addLogSignal);
    const auto lines = [&log] {
        QStringList list;
        for (const QList<QVariant> &entry : qAsConst(log))
            list << entry.at(0).toString().section(QLatin1Char(']'), 1).trimmed();
        log.clear();
        return list;
    };

    // two devices share one listener; it closes with the last of them
    QVERIFY(service.addDevice(port));
    QVERIFY(service.addDevice(port));
    QCOMPARE(lines(),
             QStringList { QStringLiteral("INFO: [CAllDeviceHandler::addNewDevice] port [%1] is "
                                          "already open")
                               .arg(port) });
    service.image().put(port, 0, 0, 1, 0x1234);
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(client.waitForConnected(testkit::WAIT_MS));
    client.write(kRequest);
    QTRY_COMPARE(client.bytesAvailable(), kAnswer.size());
    QCOMPARE(client.readAll().toHex(), QByteArray("0001000000050103021234"));
    QCOMPARE(service.connections(port), 1);
    service.removeDevice(port);
    QVERIFY(service.isOpen(port));
    QVERIFY(portAccepts(port));
    service.removeDevice(port);
    QVERIFY(!service.isOpen(port));
    QVERIFY(!portAccepts(port));
    QTcpServer reuse;
    QVERIFY(reuse.listen(QHostAddress::Any, port));

    // a port another program holds is reported and not kept; removing a device
    // from a port not served is warned about
    log.clear();
    QVERIFY(!service.addDevice(port));
    QVERIFY(!service.isOpen(port));
    service.removeDevice(port);
    QCOMPARE(
        lines(),
        (QStringList {
            QStringLiteral("WARNING: [CDeviceHandler] Port [%1] is not opened: Address already "
                           "in use")
                .arg(port),
            QStringLiteral("WARNING: [CAllDeviceHandler::removeDevice] uncknown port [%1]!").arg(port) }));
}

void tst_DeviceHandler::bindAddress()
{
    SModbusConfig config;
    config.bindAddress = QHostAddress::LocalHost;
    CDeviceHandler loopbackOnly(0, s_source, config);
    QVERIFY(loopbackOnly.isListening());
    QCOMPARE(loopbackOnly.serverAddress(), QHostAddress(QHostAddress::LocalHost));
    // the same port on another address is free for others
    QTcpServer other;
    QVERIFY(other.listen(QHostAddress::LocalHostIPv6, loopbackOnly.getPort()));

    CDeviceHandler everywhere(0, s_source);
    QCOMPARE(everywhere.serverAddress(), QHostAddress(QHostAddress::Any));
    QTcpSocket v6;
    v6.connectToHost(QHostAddress::LocalHostIPv6, everywhere.getPort());
    QVERIFY(v6.waitForConnected(testkit::WAIT_MS));
    QVERIFY(answers(v6));
}

void tst_DeviceHandler::settings_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("maxConnections");
    QTest::addColumn<QString>("bind");
    QTest::addColumn<int>("warnings");

    QTest::newRow("absent") << "" << 1000 << "" << 0;
    QTest::newRow("both") << "[modbus]\nmax_connections=20\nbind=127.0.0.1\n" << 20 << "127.0.0.1" << 0;
    QTest::newRow("ipv6") << "[modbus]\nbind=::1\n" << 1000 << "::1" << 0;
    QTest::newRow("invalid") << "[modbus]\nmax_connections=0\nbind=eth0\n" << 1000 << "" << 2;
}

void tst_DeviceHandler::settings()
{
    QFETCH(QString, text);
    QFETCH(int, maxConnections);
    QFETCH(QString, bind);
    QFETCH(int, warnings);

    const QString path = m_dir->filePath(QStringLiteral("%1.conf").arg(QTest::currentDataTag()));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(text.toUtf8());
    file.close();
    QSettings settings(path, QSettings::IniFormat);
    QSignalSpy log(CLogFile::getInstance(QString()), &CLogFile::addLogSignal);
    const SModbusConfig config = Modbus::configFromSettings(settings);
    QCOMPARE(config.maxConnections, maxConnections);
    QCOMPARE(config.bindAddress, bind.isEmpty() ? QHostAddress(QHostAddress::Any) : QHostAddress(bind));
    QCOMPARE(log.size(), warnings);
}

// [modbus] allow as settings.conf holds it: which peers it admits, or the
// entry that stops the start.
void tst_DeviceHandler::allowList_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("error"); // empty: readable
    QTest::addColumn<QStringList>("admitted");
    QTest::addColumn<QStringList>("refused");

    const QStringList none;
    // no key: everyone, as before
    QTest::newRow("absent") << QString() << QString() << QStringList { "10.1.2.3", "::1" } << none;
    // an unquoted list reads as a string list, whose toString() would be empty
    QTest::newRow("unquoted list") << "127.0.0.1, 10.0.0.0/8" << QString()
                                   << QStringList { "127.0.0.1", "10.200.0.1", "::ffff:10.1.1.1" }
                                   << QStringList { "127.0.0.2", "11.0.0.1", "::1" };
    QTest::newRow("quoted list") << "\"192.168.1.0/24,::1\"" << QString()
                                 << QStringList { "192.168.1.77", "::1" }
                                 << QStringList { "192.168.2.1", "::2" };
    QTest::newRow("one address") << "127.0.0.1" << QString()
                                 << QStringList { "127.0.0.1", "::ffff:127.0.0.1" }
                                 << QStringList { "127.0.0.2" };
    QTest::newRow("ipv6 range") << "fd00::/8" << QString() << QStringList { "fd12::5" }
                                << QStringList { "fe80::1", "10.0.0.1" };
    // a mapped entry is the IPv4 address it carries
    QTest::newRow("mapped entry") << "::ffff:10.0.0.0/104" << QString() << QStringList { "10.9.9.9" }
                                  << QStringList { "11.0.0.1" };
    QTest::newRow("bad address") << "127.0.0.1, 10.0.0.300"
                                 << "[modbus] allow: invalid entry \"10.0.0.300\"" << none << none;
    QTest::newRow("bad prefix") << "10.0.0.0/33"
                                << "[modbus] allow: invalid entry \"10.0.0.0/33\"" << none << none;
    QTest::newRow("host name") << "scada.local"
                               << "[modbus] allow: invalid entry \"scada.local\"" << none << none;
    // an empty value reads as a missing key, as in every group of the file
    QTest::newRow("empty") << "\"\"" << QString() << QStringList { "10.1.2.3" } << none;
}

void tst_DeviceHandler::allowList()
{
    QFETCH(QString, value);
    QFETCH(QString, error);
    QFETCH(QStringList, admitted);
    QFETCH(QStringList, refused);

    // a file per row: QSettings keeps what it read of a path within a second
    const QString path = m_dir->filePath(QStringLiteral("allow %1.conf").arg(QTest::currentDataTag()));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[modbus]\n");
    if (!value.isNull())
        file.write(QStringLiteral("allow=%1\n").arg(value).toUtf8());
    file.close();
    QSettings settings(path, QSettings::IniFormat);
    const SModbusConfig config = Modbus::configFromSettings(settings);
    QCOMPARE(config.allowError, error);
    QCOMPARE(config.restricted, !value.isNull() && value != "\"\"");
    for (const QString &peer : admitted)
        QVERIFY2(Modbus::isAllowed(config, QHostAddress(peer)), qPrintable(peer));
    for (const QString &peer : refused)
        QVERIFY2(!Modbus::isAllowed(config, QHostAddress(peer)), qPrintable(peer));
}

void tst_DeviceHandler::connectionCapOverAllPorts()
{
    SModbusConfig config;
    config.maxConnections = 2;
    QCOMPARE(Modbus::effectiveMaxConnections(config.maxConnections), 2);
    CDeviceHandler first(0, s_source, config);
    CDeviceHandler second(0, s_source, config);

    std::vector<std::unique_ptr<QTcpSocket>> clients;
    for (uint16_t port : { first.getPort(), second.getPort() }) {
        clients.push_back(std::make_unique<QTcpSocket>());
        clients.back()->connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(clients.back()->waitForConnected(testkit::WAIT_MS));
        QVERIFY(answers(*clients.back()));
    }
    QCOMPARE(CConnectionHandler::openConnections(), 2);

    // one more, on either port, is accepted and closed at once
    const uint64_t rejected = Modbus::statistics().rejectedConnections;
    QSignalSpy log(CLogFile::getInstance(QString()), &CLogFile::addLogSignal);
    QTcpSocket extra;
    QSignalSpy closed(&extra, &QTcpSocket::disconnected);
    extra.connectToHost(QHostAddress::LocalHost, second.getPort());
    QVERIFY(closed.wait(testkit::WAIT_MS));
    QTRY_COMPARE(log.size(), 1);
    QVERIFY(log.first().at(0).toString().endsWith(
        QStringLiteral("WARNING: [CDeviceHandler] Port [%1]: 2 Modbus connections are open, the limit; a new "
                       "connection is closed")
            .arg(second.getPort())));
    QCOMPARE(Modbus::statistics().rejectedConnections - rejected, uint64_t(1));

    // the connections already open go on, and a closed one makes room
    QVERIFY(answers(*clients.front()));
    QSignalSpy gone(clients.back().get(), &QTcpSocket::disconnected);
    clients.back()->disconnectFromHost();
    QTRY_COMPARE(CConnectionHandler::openConnections(), 1);
    QTcpSocket next;
    next.connectToHost(QHostAddress::LocalHost, first.getPort());
    QVERIFY(next.waitForConnected(testkit::WAIT_MS));
    QVERIFY(answers(next));
}

// Run in a child whose open-file limit prlimit lowers: clients take every
// descriptor, so accepting fails; that is logged, and once descriptors are
// free again the listener accepts and answers.
// The HTTP server's connections come out of the same open-file limit.
void tst_DeviceHandler::descriptorsSetAsideLowerTheCap()
{
    const int whole = Modbus::effectiveMaxConnections(1 << 30);
    Modbus::setDescriptorsSetAside(68);
    QCOMPARE(Modbus::effectiveMaxConnections(1 << 30), whole - 68);
    Modbus::setDescriptorsSetAside(0);
    QCOMPARE(Modbus::effectiveMaxConnections(1 << 30), whole);
}

void tst_DeviceHandler::descriptorsRunOut()
{
    if (qEnvironmentVariableIsEmpty("TIDEWELL_FD_CHILD")) {
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("TIDEWELL_FD_CHILD"), QStringLiteral("1"));
        child.setProcessEnvironment(environment);
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(QStringLiteral("prlimit"),
                    { QStringLiteral("--nofile=96:96"), QStringLiteral("--"),
                      QCoreApplication::applicationFilePath(), QStringLiteral("descriptorsRunOut") });
        QVERIFY2(child.waitForFinished(60000), "prlimit (util-linux) did not run the child");
        QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0,
                 child.readAll().constData());
        return;
    }

    // One connection at a time: the others are closed as soon as accepted, so
    // the descriptors freed below are not all taken again by waiting clients.
    SModbusConfig config;
    config.maxConnections = 1;
    CDeviceHandler listener(0, s_source, config);
    QVERIFY(listener.isListening());
    QSignalSpy log(CLogFile::getInstance(QString()), &CLogFile::addLogSignal);
    // UBSan's type check needs a descriptor the first time it meets a type;
    // a log line and a served request now spare it that when none is left.
    addLog(QStringLiteral("descriptors run out next"));
    {
        QTcpSocket first;
        first.connectToHost(QHostAddress::LocalHost, listener.getPort());
        QVERIFY(first.waitForConnected(testkit::WAIT_MS));
        QVERIFY(answers(first));
    }
    QTRY_COMPARE(CConnectionHandler::openConnections(), 0);
    log.clear();
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(listener.getPort());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // the kernel completes these connections; the listener cannot take them
    std::vector<int> clients;
    for (;;) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0)
            break;
        QCOMPARE(::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
        clients.push_back(fd);
    }
    QCOMPARE(errno, EMFILE);
    QVERIFY(clients.size() > 8);
    QTRY_VERIFY_WITH_TIMEOUT(!log.isEmpty(), testkit::WAIT_MS);
    QVERIFY2(log.first().at(0).toString().contains(
                 QStringLiteral("ERROR: [CDeviceHandler] Port [%1]: cannot accept a connection")
                     .arg(listener.getPort())),
             qPrintable(log.first().at(0).toString()));

    // with a few descriptors free, the first client waiting is taken and answered
    for (int i = 0; i < 4; ++i) {
        ::close(clients.back());
        clients.pop_back();
    }
    QCOMPARE(::send(clients.front(), kRequest.constData(), size_t(kRequest.size()), 0),
             qint64(kRequest.size()));
    QByteArray received(kAnswer.size(), '\0');
    qint64 got = 0;
    QTRY_VERIFY_WITH_TIMEOUT(
        (got += qMax<qint64>(
             0, ::recv(clients.front(), received.data() + got, size_t(received.size() - got), MSG_DONTWAIT)))
            == received.size(),
        testkit::WAIT_MS);
    QCOMPARE(received.toHex(), kAnswer.toHex());
    for (int fd : clients)
        ::close(fd);
}

QTEST_MAIN(tst_DeviceHandler)
#include "tst_devicehandler.moc"
