#include "app/logfile.h"
#include "devices/alldevicehandler.h"
#include "storage/databasehandler.h"
#include "tests/testkit/modbusclient.h"
#include "tests/testkit/samples.h"
#include "tests/testkit/testkit.h"

#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QSettings>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <unistd.h>

using namespace testkit;

// The built gateway as operators run it: its own process and working
// directory, talking to a network server and serving Modbus clients.
class tst_TidewellProcess : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void servesUplinksOfStoredDevice();
    void stopsWhenDatabaseCannotBeOpened();
    void headlessServesReconnectsAndLeavesOneFile();
    void installedServiceServes();
    void allowListAtStartAndOnHangUp();
    void commandLineCreatesNothing_data();
    void commandLineCreatesNothing();

private:
    static QString logText(const QString &dir);
    static void startGateway(QProcess &process, const QString &dir);
    // Headless, on --workdir, with neither a display nor a platform chosen.
    static void startHeadless(QProcess &process, const QString &dir, const QString &program = QString());
    // Templates, settings.conf for the simulator and one stored device
    // (Boiler room, start register 10) on modbusPort.
    static void prepareWorkDir(const QString &dir, quint16 simPort, quint16 modbusPort);
    // Polls the gateway's Modbus port until registers 10..12 hold `expected`.
    static bool servesValues(const QProcess &gateway, quint16 port, const QVector<quint16> &expected);

    QTemporaryDir logDir;
};

void tst_TidewellProcess::initTestCase()
{
    QVERIFY(logDir.isValid());
    CLogFile::getInstance(logDir.filePath(QStringLiteral("history.log")));
    QVERIFY(QFile::exists(QStringLiteral(TIDEWELL_BINARY_DIR "/tidewell")));
}

QString tst_TidewellProcess::logText(const QString &dir)
{
    QFile file(dir + QStringLiteral("/history.log"));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

void tst_TidewellProcess::startGateway(QProcess &process, const QString &dir)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(dir);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start(QStringLiteral(TIDEWELL_BINARY_DIR "/tidewell"), QStringList());
}

void tst_TidewellProcess::startHeadless(QProcess &process, const QString &dir, const QString &program)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : { "DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM" })
        env.remove(QString::fromLatin1(name));
    process.setProcessEnvironment(env);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start(program.isEmpty() ? QStringLiteral(TIDEWELL_BINARY_DIR "/tidewell") : program,
                  { QStringLiteral("--headless"), QStringLiteral("--workdir"), dir });
}

void tst_TidewellProcess::prepareWorkDir(const QString &dir, quint16 simPort, quint16 modbusPort)
{
    QVERIFY(copySampleTemplates(dir));
    {
        QSettings settings(dir + QStringLiteral("/settings.conf"), QSettings::IniFormat);
        settings.setValue(QStringLiteral("server/ip"), QStringLiteral("127.0.0.1"));
        settings.setValue(QStringLiteral("server/port"), QString::number(simPort));
        settings.setValue(QStringLiteral("server/login"), QStringLiteral("demo"));
        settings.setValue(QStringLiteral("server/password"), QStringLiteral("demo"));
    }
    const QString previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir));
    {
        CAllDeviceHandler catalogue;
        CDataBaseHandler store(dir + QStringLiteral("/server.db"), QStringLiteral("prepare"));
        QVERIFY(!store.failed());
        DB::SDeviceRegMapDescription device;
        device.devEui = QStringLiteral("0011223344550001");
        device.devName = QStringLiteral("Boiler room");
        device.appEui = TH_APP_EUI;
        device.startAddr = 10;
        device.regList = catalogue.getDeviceRegisterMap(TH_APP_EUI).registers;
        QVERIFY(store.registerNewDevice(device, modbusPort));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("prepare"));
    QVERIFY(QDir::setCurrent(previousDir));
}

bool tst_TidewellProcess::servesValues(const QProcess &gateway, quint16 port,
                                       const QVector<quint16> &expected)
{
    SModbusRead last;
    QElapsedTimer patience;
    patience.start();
    while (patience.elapsed() < 30000 && gateway.state() == QProcess::Running) {
        last = readServed(port, 10, 3);
        if (last.ok && last.registers == expected)
            return true;
    }
    qWarning().noquote() << "last read:" << last.error << last.registers;
    return false;
}

void tst_TidewellProcess::servesUplinksOfStoredDevice()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    CNetworkServerSim sim(sampleScenario());
    QVERIFY(sim.listen());
    // One stored device: the gateway must bring its port up by itself.
    const quint16 modbusPort = freePort();
    prepareWorkDir(dir.path(), sim.port(), modbusPort);

    QSignalSpy loggedIn(&sim, &CNetworkServerSim::clientLoggedIn);
    QProcess gateway;
    startGateway(gateway, dir.path());
    QVERIFY2(gateway.waitForStarted(10000), qPrintable(gateway.errorString()));
    QVERIFY(loggedIn.wait(30000));
    QCOMPARE(loggedIn.at(0).at(0).toString(), QStringLiteral("demo"));

    // The uplink follows the login reply on the same connection, so the
    // gateway handles it logged in; poll until it is decoded and served.
    QCOMPARE(sim.sendUplink(sampleEui(1), TH_PAYLOAD), 1);
    QVERIFY(servesValues(gateway, modbusPort, { 0x092a, 0x0037, 0x0ce4 }));

    gateway.terminate();
    QVERIFY(gateway.waitForFinished(20000));
    QCOMPARE(gateway.exitStatus(), QProcess::NormalExit);
    QCOMPARE(gateway.exitCode(), 0);

    const QString log = logText(dir.path());
    QVERIFY(log.contains(
        QStringLiteral("[CAllDeviceHandler::addNewDevice] New device: DevEUI[0011223344550001], port[%1]")
            .arg(modbusPort)));
    QVERIFY(!log.contains(QStringLiteral("[main] IP is empty")));
}

void tst_TidewellProcess::stopsWhenDatabaseCannotBeOpened()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // A directory where the database file should be.
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("server.db")));

    QProcess gateway;
    startGateway(gateway, dir.path());
    QVERIFY(gateway.waitForFinished(30000));
    QCOMPARE(gateway.exitStatus(), QProcess::NormalExit);
    QCOMPARE(gateway.exitCode(), 1);
    QVERIFY(
        logText(dir.path()).contains(QStringLiteral("CRITICAL_ERROR! [main] Data base is not available")));
}

void tst_TidewellProcess::headlessServesReconnectsAndLeavesOneFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    CNetworkServerSim sim(sampleScenario());
    QVERIFY(sim.listen());
    const quint16 simPort = sim.port();
    const quint16 modbusPort = freePort();
    prepareWorkDir(dir.path(), simPort, modbusPort);
    QSignalSpy loggedIn(&sim, &CNetworkServerSim::clientLoggedIn);

    // A gateway killed outright leaves its lock behind; the next one takes it over.
    {
        QProcess killed;
        startHeadless(killed, dir.path());
        QVERIFY(loggedIn.wait(30000));
        killed.kill();
        QVERIFY(killed.waitForFinished(10000));
        QVERIFY(QFile::exists(dir.filePath(QStringLiteral("tidewell.lock"))));
    }

    QProcess gateway;
    gateway.setProcessChannelMode(QProcess::SeparateChannels);
    startHeadless(gateway, dir.path());
    QVERIFY(loggedIn.wait(30000));
    QCOMPARE(sim.sendUplink(sampleEui(1), TH_PAYLOAD), 1);
    QVERIFY(servesValues(gateway, modbusPort, { 0x092a, 0x0037, 0x0ce4 }));

    // A second gateway on the same directory refuses to start.
    QProcess second;
    second.setProcessChannelMode(QProcess::SeparateChannels);
    startHeadless(second, dir.path());
    QVERIFY(second.waitForFinished(20000));
    QCOMPARE(second.exitCode(), 1);
    QVERIFY(QString::fromLocal8Bit(second.readAllStandardError()).contains(dir.path()));

    // The server goes away and comes back on the same port: the gateway logs
    // in again by itself and serves the new uplinks.
    sim.close();
    QVERIFY2(sim.listen(QHostAddress::LocalHost, simPort), qPrintable(sim.errorString()));
    QVERIFY(loggedIn.wait(30000));
    // Temperature 0x0123, humidity 0x40, battery 0x0d00.
    QCOMPARE(sim.sendUplink(sampleEui(1), QByteArray::fromHex("01230140000d")), 1);
    QVERIFY(servesValues(gateway, modbusPort, { 0x0123, 0x0040, 0x0d00 }));

    // logrotate moves the log away and sends SIGHUP: a new file is started.
    QVERIFY(QFile::rename(dir.filePath(QStringLiteral("history.log")),
                          dir.filePath(QStringLiteral("history.log.1"))));
    QVERIFY(::kill(pid_t(gateway.processId()), SIGHUP) == 0);
    QTRY_VERIFY_WITH_TIMEOUT(logText(dir.path()).contains(QStringLiteral("SIGHUP: log file reopened")),
                             20000);

    gateway.terminate();
    QVERIFY(gateway.waitForFinished(20000));
    QCOMPARE(gateway.exitStatus(), QProcess::NormalExit);
    QCOMPARE(gateway.exitCode(), 0);
    // The log went to standard error as well, for the journal.
    const QString journal = QString::fromLocal8Bit(gateway.readAllStandardError());
    QVERIFY2(journal.contains(QStringLiteral("Reconnect attempt [1] in [1] s")), qPrintable(journal));

    // server.db alone holds everything: nothing is left in a write-ahead log.
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("server.db-wal"))));
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("tidewell.lock"))));
    QTemporaryDir copyDir;
    QVERIFY(QFile::copy(dir.filePath(QStringLiteral("server.db")),
                        copyDir.filePath(QStringLiteral("server.db"))));
    QProcess sqlite;
    sqlite.start(
        QStringLiteral("sqlite3"),
        { copyDir.filePath(QStringLiteral("server.db")),
          QStringLiteral("SELECT value FROM dev_data WHERE reg_addr BETWEEN 10 AND 12 ORDER BY reg_addr;") });
    QVERIFY2(sqlite.waitForFinished(20000) && sqlite.exitCode() == 0,
             "sqlite3 (installed by scripts/deps) is missing or failed");
    QCOMPARE(QString::fromUtf8(sqlite.readAllStandardOutput()), QStringLiteral("0123\n0040\n0d00\n"));
}

namespace {

// A port below 1024 that nothing listens on, for the run with the unit's
// capability: the system hands out no such port, so probe from a random one.
quint16 freePrivilegedPort()
{
    const int first = 600 + int(QRandomGenerator::global()->bounded(400));
    for (int i = 0; i < 400; ++i) {
        const auto port = quint16(600 + (first - 600 + i) % 400);
        QTcpServer probe;
        if (probe.listen(QHostAddress::Any, port))
            return port;
    }
    return 0;
}

} // namespace

// What the package ships, installed into a staging directory: the service
// unit's command, run as the unit runs it, serves an uplink's registers. As
// root the test can grant what the unit grants: it runs the command as an
// unprivileged user with only CAP_NET_BIND_SERVICE, on a port below 1024,
// with the server given by host name.
void tst_TidewellProcess::installedServiceServes()
{
    QTemporaryDir stage;
    QProcess install;
    install.setProcessChannelMode(QProcess::MergedChannels);
    install.start(QStringLiteral(CMAKE_COMMAND),
                  { QStringLiteral("--install"), QStringLiteral(TIDEWELL_BINARY_DIR),
                    QStringLiteral("--prefix"), stage.path() });
    QVERIFY(install.waitForFinished(120000));
    QVERIFY2(install.exitCode() == 0, install.readAll().constData());
    for (const char *path :
         { "bin/tidewell", "bin/tidewell-netsim", "share/applications/tidewell.desktop",
           "share/icons/hicolor/16x16/apps/tidewell.png", "share/icons/hicolor/256x256/apps/tidewell.png",
           "share/icons/hicolor/scalable/apps/tidewell.svg", "share/tidewell/templates/th-sensor.json",
           "share/man/man1/tidewell.1.gz", "share/doc/tidewell/copyright",
           "share/doc/tidewell/changelog.Debian.gz", "share/doc/tidewell/examples/settings.conf",
           "etc/logrotate.d/tidewell" })
        QVERIFY2(QFile::exists(stage.filePath(QLatin1String(path))), path);

    QFile unit(stage.filePath(QStringLiteral("lib/systemd/system/tidewell.service")));
    QVERIFY(unit.open(QIODevice::ReadOnly | QIODevice::Text));
    const QStringList lines = QString::fromUtf8(unit.readAll()).split(QLatin1Char('\n'));
    for (const char *line : { "WorkingDirectory=/var/lib/tidewell", "Restart=on-failure", "User=tidewell",
                              "RestartPreventExitStatus=1", "AmbientCapabilities=CAP_NET_BIND_SERVICE",
                              "CapabilityBoundingSet=CAP_NET_BIND_SERVICE" })
        QVERIFY2(lines.contains(QLatin1String(line)), line);
    const QStringList exec = lines.filter(QRegularExpression(QStringLiteral("^ExecStart=")));
    QCOMPARE(exec.size(), 1);
    const QStringList command = exec.first().mid(int(strlen("ExecStart="))).split(QLatin1Char(' '));
    QCOMPARE(command,
             QStringList({ stage.filePath(QStringLiteral("bin/tidewell")), QStringLiteral("--headless") }));

    // The working directory as the operator sets it up: the shipped templates
    // and a settings file.
    QTemporaryDir work;
    CNetworkServerSim sim(sampleScenario());
    QVERIFY(sim.listen());
    const bool root = geteuid() == 0;
    const quint16 modbusPort = root ? freePrivilegedPort() : freePort();
    QVERIFY(modbusPort != 0);
    prepareWorkDir(work.path(), sim.port(), modbusPort);
    QDir shipped(stage.filePath(QStringLiteral("share/tidewell/templates")));
    QCOMPARE(shipped.entryList({ QStringLiteral("*.json") }),
             QDir(work.filePath(QStringLiteral("deviceFolder"))).entryList({ QStringLiteral("*.json") }));

    QSignalSpy loggedIn(&sim, &CNetworkServerSim::clientLoggedIn);
    QProcess service;
    service.setWorkingDirectory(work.path());
    if (root) {
        QSettings(work.filePath(QStringLiteral("settings.conf")), QSettings::IniFormat)
            .setValue(QStringLiteral("server/ip"), QStringLiteral("localhost"));
        QProcess chown;
        chown.start(QStringLiteral("chown"), { QStringLiteral("-R"), QStringLiteral("nobody"), work.path() });
        QVERIFY(chown.waitForFinished(20000) && chown.exitCode() == 0);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : { "DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM" })
            env.remove(QString::fromLatin1(name));
        service.setProcessEnvironment(env);
        service.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        service.setStandardOutputFile(QProcess::nullDevice());
        // setpriv (util-linux) drops to the user and keeps the one capability.
        service.start(QStringLiteral("setpriv"),
                      QStringList { "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                                    "--inh-caps=-all,+net_bind_service",
                                    "--ambient-caps=-all,+net_bind_service",
                                    "--bounding-set=-all,+net_bind_service", "--no-new-privs", "--" }
                          + command);
    } else {
        startHeadless(service, work.path(), command.first());
    }
    QVERIFY(loggedIn.wait(30000));
    QCOMPARE(sim.sendUplink(sampleEui(1), TH_PAYLOAD), 1);
    QVERIFY(servesValues(service, modbusPort, { 0x092a, 0x0037, 0x0ce4 }));
    service.terminate();
    QVERIFY(service.waitForFinished(20000));
    QCOMPARE(service.exitCode(), 0);

    // The desktop entry's working directory: made on first start, with the
    // installed templates; exit code 1 as no server is set there yet.
    QTemporaryDir data;
    QProcess user;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_DATA_HOME"), data.path());
    user.setProcessEnvironment(env);
    user.setProcessChannelMode(QProcess::MergedChannels);
    user.start(command.first(), { QStringLiteral("--headless"), QStringLiteral("--user-workdir") });
    QVERIFY(user.waitForFinished(30000));
    QCOMPARE(user.exitCode(), 1);
    QCOMPARE(
        QDir(data.filePath(QStringLiteral("tidewell/deviceFolder"))).entryList({ QStringLiteral("*.json") }),
        shipped.entryList({ QStringLiteral("*.json") }));
    QVERIFY(QFileInfo(data.filePath(QStringLiteral("tidewell/deviceFolder/th-sensor.json"))).isWritable());
}

// [modbus] allow as an operator writes it: an entry that is no address stops
// the start and is named; a list admits its clients, and SIGHUP with a
// changed list closes the connection it no longer admits.
void tst_TidewellProcess::allowListAtStartAndOnHangUp()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QList<quint16> ports = freePorts(2);
    const quint16 modbusPort = ports[0];
    prepareWorkDir(dir.path(), ports[1], modbusPort);
    const QString settingsFile = dir.filePath(QStringLiteral("settings.conf"));
    {
        QFile file(settingsFile);
        QVERIFY(file.open(QIODevice::Append));
        file.write("[modbus]\nallow=127.0.0.1, 10.0.0.300\n");
    }
    QProcess refused;
    refused.setProcessChannelMode(QProcess::SeparateChannels);
    startHeadless(refused, dir.path());
    QVERIFY(refused.waitForFinished(20000));
    QCOMPARE(refused.exitCode(), 1);
    const QString error = QString::fromLocal8Bit(refused.readAllStandardError());
    QVERIFY2(error.contains(
                 QStringLiteral("[modbus] allow [127.0.0.1, 10.0.0.300]: invalid entry \"10.0.0.300\"")),
             qPrintable(error));

    {
        QSettings settings(settingsFile, QSettings::IniFormat);
        settings.setValue(QStringLiteral("modbus/allow"), QStringList { "127.0.0.1", "10.0.0.0/8" });
    }
    QProcess gateway;
    startHeadless(gateway, dir.path());
    QVERIFY(gateway.waitForStarted(20000));
    QVERIFY(servesValues(gateway, modbusPort, { 0, 0, 0 }));
    QTcpSocket open;
    QSignalSpy closed(&open, &QTcpSocket::disconnected);
    open.connectToHost(QHostAddress::LocalHost, modbusPort);
    QVERIFY(open.waitForConnected(20000));

    {
        QSettings settings(settingsFile, QSettings::IniFormat);
        settings.setValue(QStringLiteral("modbus/allow"), QStringLiteral("127.0.0.2"));
    }
    QVERIFY(::kill(pid_t(gateway.processId()), SIGHUP) == 0);
    QVERIFY(closed.wait(20000));
    QTRY_VERIFY_WITH_TIMEOUT(logText(dir.path()).contains(QStringLiteral("is no longer in [modbus] allow")),
                             20000);
    QVERIFY(!readServed(modbusPort, 10, 3).ok);
    QTRY_VERIFY_WITH_TIMEOUT(logText(dir.path())
                                 .contains(QStringLiteral("connection from [127.0.0.1] is not in "
                                                          "[modbus] allow; closed")),
                             20000);
    gateway.terminate();
    QVERIFY(gateway.waitForFinished(20000));
    QCOMPARE(gateway.exitCode(), 0);
}

void tst_TidewellProcess::commandLineCreatesNothing_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QStringList>("files");
    QTest::newRow("help") << QStringList { "--help" } << 0 << "--headless" << QStringList();
    QTest::newRow("version") << QStringList { "--version" } << 0 << "tidewell 1.0" << QStringList();
    QTest::newRow("unknown option") << QStringList { "--frobnicate" } << 2 << "Unknown option 'frobnicate'"
                                    << QStringList();
    // The log is opened before anything else and keeps the reason.
    QTest::newRow("headless without server")
        << QStringList { "--headless" } << 1 << "fill in key \"ip\" of group [server]"
        << QStringList { "history.log" };
}

void tst_TidewellProcess::commandLineCreatesNothing()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    QFETCH(QStringList, files);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QProcess tidewell;
    tidewell.setProcessChannelMode(QProcess::MergedChannels);
    tidewell.setWorkingDirectory(dir.path());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    tidewell.setProcessEnvironment(env);
    tidewell.start(QStringLiteral(TIDEWELL_BINARY_DIR "/tidewell"), arguments);
    QVERIFY(tidewell.waitForFinished(20000));
    QCOMPARE(tidewell.exitStatus(), QProcess::NormalExit);
    QCOMPARE(tidewell.exitCode(), exitCode);
    const QString output = QString::fromLocal8Bit(tidewell.readAll());
    QVERIFY2(output.contains(message), qPrintable(output));
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), files);
}

QTEST_MAIN(tst_TidewellProcess)
#include "tst_tidewellprocess.moc"
