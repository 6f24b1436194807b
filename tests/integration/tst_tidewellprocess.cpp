#include "app/globaldata.h"
#include "app/logfile.h"
#include "devices/alldevicehandler.h"
#include "storage/databasehandler.h"
#include "tests/gui/gatewaytestkit.h"

#include <QProcess>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace testkit;

// The built gateway as operators run it: its own process and working
// directory, talking to a network server and serving Modbus clients.
class TestTidewellProcess : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void servesUplinksOfStoredDevice();
    void stopsWhenDatabaseCannotBeOpened();

private:
    static QString logText(const QString &dir);
    static void startGateway(QProcess &process, const QString &dir);

    QTemporaryDir logDir;
};

void TestTidewellProcess::initTestCase()
{
    initGlobalData();
    QVERIFY(logDir.isValid());
    CLogFile::getInstance(logDir.filePath(QStringLiteral("history.log")));
    QVERIFY(QFile::exists(QStringLiteral(TIDEWELL_BINARY_DIR "/tidewell")));
}

QString TestTidewellProcess::logText(const QString &dir)
{
    QFile file(dir + QStringLiteral("/history.log"));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

void TestTidewellProcess::startGateway(QProcess &process, const QString &dir)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(dir);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start(QStringLiteral(TIDEWELL_BINARY_DIR "/tidewell"), QStringList());
}

void TestTidewellProcess::servesUplinksOfStoredDevice()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(copySampleTemplates(dir.path()));

    CNetworkServerSim sim(sampleScenario());
    QVERIFY(sim.listen());
    {
        QSettings settings(dir.filePath(QStringLiteral("settings.conf")), QSettings::IniFormat);
        settings.setValue(QStringLiteral("server/ip"), QStringLiteral("127.0.0.1"));
        settings.setValue(QStringLiteral("server/port"), QString::number(sim.port()));
        settings.setValue(QStringLiteral("server/login"), QStringLiteral("demo"));
        settings.setValue(QStringLiteral("server/password"), QStringLiteral("demo"));
    }

    // One stored device: the gateway must bring its port up by itself.
    const quint16 modbusPort = freePort();
    const QString previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir.path()));
    {
        CAllDeviceHandler catalogue;
        CDataBaseHandler store(dir.filePath(QStringLiteral("server.db")), QStringLiteral("prepare"));
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

    QSignalSpy loggedIn(&sim, &CNetworkServerSim::clientLoggedIn);
    QProcess gateway;
    startGateway(gateway, dir.path());
    QVERIFY2(gateway.waitForStarted(10000), qPrintable(gateway.errorString()));
    QVERIFY(loggedIn.wait(30000));
    QCOMPARE(loggedIn.at(0).at(0).toString(), QStringLiteral("demo"));

    // The uplink follows the login reply on the same connection, so the
    // gateway handles it logged in; poll until it is decoded and served.
    QCOMPARE(sim.sendUplink(sampleEui(1), TH_PAYLOAD), 1);
    const QVector<quint16> expected({ 0x092a, 0x0037, 0x0ce4 });
    SModbusRead last;
    bool done = false;
    QElapsedTimer patience;
    patience.start();
    while (!done && patience.elapsed() < 30000 && gateway.state() == QProcess::Running) {
        last = readServed(modbusPort, 10, 3);
        done = last.ok && last.registers == expected;
    }
    QVERIFY2(done, qPrintable(QStringLiteral("last read: %1").arg(last.error)));

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

void TestTidewellProcess::stopsWhenDatabaseCannotBeOpened()
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

QTEST_MAIN(TestTidewellProcess)
#include "tst_tidewellprocess.moc"
