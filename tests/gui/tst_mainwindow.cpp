#include "app/globaldata.h"
#include "app/logfile.h"
#include "app/settings.h"
#include "devices/alldevicehandler.h"
#include "gui/abstractpanelbutton.h"
#include "gui/addnewdeviceform.h"
#include "gui/editdeviceform.h"
#include "gui/mainwindow.h"
#include "gui/searcheditwidget.h"
#include "serverlink/serverhandler.h"
#include "storage/databasehandler.h"
#include "tests/gui/gatewayrig.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QSqlQueryModel>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace testkit;

namespace {

const QString BOILER = QStringLiteral("0011223344550001");
const QString COLD = QStringLiteral("0011223344550002");
const QString WATER = QStringLiteral("0011223344550003");

// Temperature 0x092a, humidity 0x37, battery 0x0ce4.
const QByteArray TH_PAYLOAD = QByteArray::fromHex("012a0937e40c");

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void missingSettingStopsAutomaticConnection_data();
    void missingSettingStopsAutomaticConnection();
    void storedSettingsConnectOnceTheLoopRuns();
    void settingsWrittenOnlyAfterSuccess();
    void statusLabelAndIcon_data();
    void statusLabelAndIcon();
    void unknownStatusChangesNothing();
    void storedDevicesAreServedAtStart();
    void searchAndSelection();
    void deleteClosesPortWhenUnused();
    void registersRefreshOnlyForShownDevice();
    void dialogsRefreshTheListThroughTheQueue();
    void editAndAddButtonsOpenTheDialogs();
    void logIsForwardedToDebugOutput();

private:
    MainWindow::SComponents components() const;
    void storeSettings(const QString &ip, const QString &port, const QString &login, const QString &password);
    // Runs the event loop until everything queued so far has been delivered.
    static void drainQueue();

    QTemporaryDir globalDir;
    CGatewayRig rig;
};

void TestMainWindow::initTestCase()
{
    initGlobalData();
    qRegisterMetaType<uint16_t>("uint16_t");
    QVERIFY(globalDir.isValid());
    CLogFile::getInstance(globalDir.filePath(QStringLiteral("history.log")));
    QVERIFY(CSettings::getInstance(globalDir.filePath(QStringLiteral("settings.conf"))));
}

void TestMainWindow::init()
{
    CSettings::getInstance(QString())->clear();
    CSettings::getInstance(QString())->sync();
    QVERIFY(rig.setUp());
}

void TestMainWindow::cleanup()
{
    rig.tearDown();
}

MainWindow::SComponents TestMainWindow::components() const
{
    return MainWindow::SComponents { CLogFile::getInstance(QString()),
                                     rig.server.get(),
                                     rig.db.get(),
                                     rig.registry.get(),
                                     rig.addForm.get(),
                                     rig.editForm.get() };
}

void TestMainWindow::storeSettings(const QString &ip, const QString &port, const QString &login,
                                   const QString &password)
{
    const QStringList keys = { QStringLiteral("ip"), QStringLiteral("port"), QStringLiteral("login"),
                               QStringLiteral("password") };
    const QStringList values = { ip, port, login, password };
    for (int i = 0; i < keys.size(); ++i)
        if (!values.at(i).isEmpty())
            CSettings::writeValue(QStringLiteral("server/") + keys.at(i), values.at(i));
}

void TestMainWindow::drainQueue()
{
    for (int pass = 0; pass < 5; ++pass)
        QCoreApplication::processEvents();
}

void TestMainWindow::missingSettingStopsAutomaticConnection_data()
{
    QTest::addColumn<QString>("ip");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("login");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("message");

    QTest::newRow("nothing stored") << QString() << QString() << QString() << QString()
                                    << QStringLiteral("[main] IP is empty");
    QTest::newRow("no port") << QStringLiteral("127.0.0.1") << QString() << QStringLiteral("demo")
                             << QStringLiteral("demo") << QStringLiteral("[main] PORT is empty");
    QTest::newRow("no login") << QStringLiteral("127.0.0.1") << QStringLiteral("PORT") << QString()
                              << QStringLiteral("demo") << QStringLiteral("[main] LOGIN is empty");
    QTest::newRow("no password") << QStringLiteral("127.0.0.1") << QStringLiteral("PORT")
                                 << QStringLiteral("demo") << QString()
                                 << QStringLiteral("[main] PASSWORD is empty");
}

void TestMainWindow::missingSettingStopsAutomaticConnection()
{
    QFETCH(QString, ip);
    QFETCH(QString, port);
    QFETCH(QString, login);
    QFETCH(QString, password);
    QFETCH(QString, message);
    if (port == QStringLiteral("PORT"))
        port = QString::number(rig.sim->port());
    storeSettings(ip, port, login, password);

    QSignalSpy status(rig.server.get(), &CServerHandler::changeServerStatus);
    MainWindow window(components());
    QCOMPARE(window.addressEdit()->text(), ip);
    QCOMPARE(window.loginEdit()->text(), login);
    QCOMPARE(rig.logCount(message), 1);
    QCOMPARE(rig.logCount(QStringLiteral("[main]")), 1);
    drainQueue();
    QVERIFY(status.isEmpty());
    QCOMPARE(rig.sim->clientCount(), 0);
    QCOMPARE(window.connectionStateLabel()->text(), QStringLiteral("Connection state..."));
}

void TestMainWindow::storedSettingsConnectOnceTheLoopRuns()
{
    storeSettings(QStringLiteral("127.0.0.1"), QString::number(rig.sim->port()), QStringLiteral("demo"),
                  QStringLiteral("demo"));
    QSignalSpy status(rig.server.get(), &CServerHandler::changeServerStatus);
    MainWindow window(components());
    QCOMPARE(window.windowTitle(), QStringLiteral("Tidewell 1.0.2"));
    QCOMPARE(window.schemeBox()->currentText(), QStringLiteral("ws"));
    QCOMPARE(window.passwordEdit()->echoMode(), QLineEdit::Password);
    // The request is queued: nothing reaches the session before the loop runs.
    QVERIFY(status.isEmpty());
    QCOMPARE(rig.sim->clientCount(), 0);

    QTRY_COMPARE_WITH_TIMEOUT(window.connectionStateLabel()->text(), QStringLiteral("SUCCESS"), 5000);
    QCOMPARE(status.first().at(0).value<COMM::EServerStatus>(), COMM::DISCONNECTED);
    int logins = 0;
    for (const QJsonObject &request : rig.sim->received()) {
        if (request.value(QStringLiteral("cmd")).toString() == QStringLiteral("auth_req")) {
            ++logins;
            QCOMPARE(request.value(QStringLiteral("login")).toString(), QStringLiteral("demo"));
            QCOMPARE(request.value(QStringLiteral("password")).toString(), QStringLiteral("demo"));
        }
    }
    QCOMPARE(logins, 1);
}

void TestMainWindow::settingsWrittenOnlyAfterSuccess()
{
    MainWindow window(components());
    window.addressEdit()->setText(QStringLiteral("127.0.0.1"));
    window.serverPortEdit()->setText(QString::number(rig.sim->port()));
    window.loginEdit()->setText(QStringLiteral("demo"));
    window.passwordEdit()->setText(QStringLiteral("wrong"));
    QTest::mouseClick(window.connectButton(), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(window.connectionStateLabel()->text(), QStringLiteral("INVALID AUTH"), 5000);
    QVERIFY(CSettings::getInstance(QString())->allKeys().isEmpty());

    window.passwordEdit()->setText(QStringLiteral("demo"));
    QTest::mouseClick(window.connectButton(), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(window.connectionStateLabel()->text(), QStringLiteral("SUCCESS"), 5000);
    CSettings *settings = CSettings::getInstance(QString());
    QCOMPARE(settings->allKeys().size(), 4);
    QCOMPARE(settings->value(QStringLiteral("server/ip")).toString(), QStringLiteral("127.0.0.1"));
    QCOMPARE(settings->value(QStringLiteral("server/port")).toString(), QString::number(rig.sim->port()));
    QCOMPARE(settings->value(QStringLiteral("server/login")).toString(), QStringLiteral("demo"));
    QCOMPARE(settings->value(QStringLiteral("server/password")).toString(), QStringLiteral("demo"));
}

void TestMainWindow::statusLabelAndIcon_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("good");

    QTest::newRow("success") << int(COMM::SUCCESS) << QStringLiteral("SUCCESS") << true;
    QTest::newRow("ping waiting") << int(COMM::PING_WAITING) << QStringLiteral("PING WAITING") << false;
    QTest::newRow("invalid ping") << int(COMM::INVALID_PING) << QStringLiteral("INVALID PING") << false;
    QTest::newRow("auth waiting") << int(COMM::AUTH_WAITING) << QStringLiteral("AUTH WAITING") << false;
    QTest::newRow("invalid auth") << int(COMM::INVALID_AUTH) << QStringLiteral("INVALID AUTH") << false;
    QTest::newRow("disconnected") << int(COMM::DISCONNECTED) << QStringLiteral("DISCONNECTED") << false;
}

void TestMainWindow::statusLabelAndIcon()
{
    QFETCH(int, status);
    QFETCH(QString, text);
    QFETCH(bool, good);

    MainWindow window(components());
    QSignalSpy icons(&window, &MainWindow::setConnectStatusIco);
    emit rig.server->changeServerStatus(COMM::EServerStatus(status));
    QCOMPARE(window.connectionStateLabel()->text(), QStringLiteral("Connection state..."));
    QTRY_COMPARE(window.connectionStateLabel()->text(), text);
    QCOMPARE(icons.count(), 1);

    const QString expected
        = good ? QStringLiteral(":/connectionGoodIco.png") : QStringLiteral(":/connectionFailIco.png");
    const QImage shown = window.serverPanelButton()->iconLabel()->pixmap(Qt::ReturnByValue).toImage();
    QCOMPARE(shown, QIcon(expected).pixmap(45, 45).toImage());
    // Only a working login is kept; the fields are empty here, so success
    // writes empty values and anything else writes nothing.
    QCOMPARE(CSettings::getInstance(QString())->allKeys().isEmpty(), !good);
}

void TestMainWindow::unknownStatusChangesNothing()
{
    MainWindow window(components());
    emit rig.server->changeServerStatus(COMM::INVALID_PING);
    QTRY_COMPARE(window.connectionStateLabel()->text(), QStringLiteral("INVALID PING"));
    QSignalSpy icons(&window, &MainWindow::setConnectStatusIco);
    emit rig.server->changeServerStatus(COMM::EServerStatus(6));
    drainQueue();
    QCOMPARE(window.connectionStateLabel()->text(), QStringLiteral("INVALID PING"));
    QVERIFY(icons.isEmpty());
}

void TestMainWindow::storedDevicesAreServedAtStart()
{
    const quint16 shared = freePort();
    QVERIFY(rig.storeDevice(BOILER, QStringLiteral("Boiler room"), TH_APP_EUI, shared, 0, false));
    QVERIFY(rig.storeDevice(COLD, QStringLiteral("Cold store"), TH_APP_EUI, shared, 20, false));
    QVERIFY(!rig.registry->hasListener(shared));

    MainWindow window(components());
    QVERIFY(rig.registry->hasListener(shared));
    QVERIFY(portAnswers(shared));

    // The registry now accepts their uplinks.
    storeSettings(QStringLiteral("127.0.0.1"), QString::number(rig.sim->port()), QStringLiteral("demo"),
                  QStringLiteral("demo"));
    rig.server->connectSlot(rig.sim->url().toString(), QStringLiteral("demo"), QStringLiteral("demo"));
    QTRY_COMPARE_WITH_TIMEOUT(window.connectionStateLabel()->text(), QStringLiteral("SUCCESS"), 5000);
    QSignalSpy decoded(rig.registry.get(), &CAllDeviceHandler::newDataForDevice);
    QCOMPARE(rig.sim->sendUplink(COLD, TH_PAYLOAD), 1);
    QVERIFY(decoded.wait(5000));
    auto reply = readAsync(shared, 20, 3);
    QTRY_VERIFY_WITH_TIMEOUT(isReady(reply), 10000);
    const SModbusRead read = reply.get();
    QVERIFY2(read.ok, qPrintable(read.error));
    QCOMPARE(read.registers, QVector<quint16>({ 0x092a, 0x0037, 0x0ce4 }));
}

void TestMainWindow::searchAndSelection()
{
    QVERIFY(rig.storeDevice(WATER, QStringLiteral("Water meter"), PULSE_APP_EUI, 15020, 40, false));
    QVERIFY(rig.storeDevice(COLD, QStringLiteral("Cold store"), TH_APP_EUI, 15021, 20, false));
    QVERIFY(rig.storeDevice(BOILER, QStringLiteral("Boiler room"), TH_APP_EUI, 15022, 0, false));
    MainWindow window(components());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    // Sorted by name, first row shown.
    QCOMPARE(window.deviceModel()->rowCount(), 3);
    QCOMPARE(window.deviceModel()->index(0, 1).data().toString(), QStringLiteral("Boiler room"));
    QCOMPARE(window.titleLabel()->text(), QStringLiteral("Device:%1 [TH-Sense 20]").arg(BOILER));
    QVERIFY(window.modbusBox()->isVisible());
    QCOMPARE(window.modbusPortLabel()->text(), QStringLiteral("15022"));
    QCOMPARE(window.modbusStartLabel()->text(), QStringLiteral("0"));
    QCOMPARE(window.registerModel()->rowCount(),
             rig.registry->getDeviceRegisterMap(TH_APP_EUI).registers.size());
    QCOMPARE(window.registerView()->currentIndex().row(), 0);

    // Selecting another row shows that device.
    window.deviceView()->setCurrentIndex(window.deviceModel()->index(2, 0));
    QCOMPARE(window.titleLabel()->text(), QStringLiteral("Device:%1 [Pulse Meter 3]").arg(WATER));
    QCOMPARE(window.modbusPortLabel()->text(), QStringLiteral("15020"));
    QCOMPARE(window.modbusStartLabel()->text(), QStringLiteral("40"));
    QCOMPARE(window.registerModel()->index(0, 2).data().toInt(), 40);

    // Return in the search box filters by name, case-insensitively.
    QLineEdit *search = window.searchWidget()->lineEdit();
    QTest::keyClicks(search, QStringLiteral("STORE"));
    QCOMPARE(window.deviceModel()->rowCount(), 3);
    QTest::keyClick(search, Qt::Key_Return);
    QCOMPARE(window.deviceModel()->rowCount(), 1);
    QCOMPARE(window.titleLabel()->text(), QStringLiteral("Device:%1 [TH-Sense 20]").arg(COLD));

    // A name that matches nothing leaves no device shown.
    window.searchWidget()->setText(QStringLiteral("zzz"));
    window.searchWidget()->textChangedSlot();
    QCOMPARE(window.deviceModel()->rowCount(), 0);
    QCOMPARE(window.titleLabel()->text(), QStringLiteral("Device [UNKNOWN]"));
    QVERIFY(!window.modbusBox()->isVisible());
    QCOMPARE(window.registerModel()->rowCount(), 0);

    // Buttons act on nothing without a current device.
    QSignalSpy disconnects(&window, &MainWindow::disconnectDevice);
    QVERIFY(disconnects.isValid());
    QTest::mouseClick(window.deleteButton(), Qt::LeftButton);
    QVERIFY(disconnects.isEmpty());
    QCOMPARE(rig.db->getRegisteredDevices().size(), 3);
}

void TestMainWindow::deleteClosesPortWhenUnused()
{
    const quint16 shared = freePort();
    quint16 single = freePort();
    while (single == shared)
        single = freePort();
    QVERIFY(rig.storeDevice(BOILER, QStringLiteral("Boiler room"), TH_APP_EUI, shared, 0, false));
    QVERIFY(rig.storeDevice(COLD, QStringLiteral("Cold store"), TH_APP_EUI, shared, 20, false));
    QVERIFY(rig.storeDevice(WATER, QStringLiteral("Water meter"), PULSE_APP_EUI, single, 0, false));
    MainWindow window(components());
    QVERIFY(portAnswers(single));

    // The registry is told first, while the row still exists.
    QStringList stateAtSignal;
    connect(&window, &MainWindow::disconnectDevice, this, [&](QString devEui, uint16_t port) {
        stateAtSignal << devEui << QString::number(port)
                      << QString::number(rig.db->getRegisteredDevices().size());
    });
    window.deviceView()->setCurrentIndex(window.deviceModel()->index(2, 0));
    QTest::mouseClick(window.deleteButton(), Qt::LeftButton);
    QCOMPARE(stateAtSignal, QStringList({ WATER, QString::number(single), QStringLiteral("3") }));
    QCOMPARE(rig.db->getRegisteredDevices().size(), 2);
    QCOMPARE(window.deviceModel()->rowCount(), 2);
    QCOMPARE(window.deviceView()->currentIndex().row(), 0);
    QCOMPARE(window.titleLabel()->text(), QStringLiteral("Device:%1 [TH-Sense 20]").arg(BOILER));
    // The removal reaches the registry through the queue, with its arguments.
    QVERIFY(rig.registry->hasListener(single));
    QTRY_VERIFY(!rig.registry->hasListener(single));
    QTRY_VERIFY(!portAnswers(single));

    // A port another device still uses stays open.
    QTest::mouseClick(window.deleteButton(), Qt::LeftButton);
    QCOMPARE(rig.db->getRegisteredDevices().size(), 1);
    drainQueue();
    QVERIFY(rig.registry->hasListener(shared));
    QVERIFY(portAnswers(shared));
    QCOMPARE(window.titleLabel()->text(), QStringLiteral("Device:%1 [TH-Sense 20]").arg(COLD));
}

void TestMainWindow::registersRefreshOnlyForShownDevice()
{
    QVERIFY(rig.storeDevice(BOILER, QStringLiteral("Boiler room"), TH_APP_EUI, freePort(), 0, false));
    QVERIFY(rig.storeDevice(COLD, QStringLiteral("Cold store"), TH_APP_EUI, freePort(), 0, false));
    storeSettings(QStringLiteral("127.0.0.1"), QString::number(rig.sim->port()), QStringLiteral("demo"),
                  QStringLiteral("demo"));
    MainWindow window(components());
    QTRY_COMPARE_WITH_TIMEOUT(window.connectionStateLabel()->text(), QStringLiteral("SUCCESS"), 5000);
    QCOMPARE(window.titleLabel()->text(), QStringLiteral("Device:%1 [TH-Sense 20]").arg(BOILER));

    QSignalSpy resets(window.registerModel(), &QAbstractItemModel::modelReset);
    QSignalSpy decoded(rig.registry.get(), &CAllDeviceHandler::newDataForDevice);
    QCOMPARE(rig.sim->sendUplink(COLD, TH_PAYLOAD), 1);
    QVERIFY(decoded.wait(5000));
    drainQueue();
    QVERIFY(resets.isEmpty());
    QVERIFY(window.registerModel()->index(0, 8).data().isNull());

    QCOMPARE(rig.sim->sendUplink(BOILER, TH_PAYLOAD), 1);
    QTRY_COMPARE_WITH_TIMEOUT(resets.count(), 1, 5000);
    // Temperature, the first register, now holds the decoded value.
    QCOMPARE(window.registerModel()->index(0, 10).data().toString(), QStringLiteral("Temperature"));
    QCOMPARE(window.registerModel()->index(0, 8).data().toString(), QStringLiteral("092a"));
}

void TestMainWindow::dialogsRefreshTheListThroughTheQueue()
{
    QVERIFY(rig.storeDevice(BOILER, QStringLiteral("Boiler room"), TH_APP_EUI, freePort(), 0, false));
    QVERIFY(rig.storeDevice(COLD, QStringLiteral("Cold store"), TH_APP_EUI, freePort(), 0, false));
    MainWindow window(components());
    QCOMPARE(window.deviceModel()->rowCount(), 2);

    emit rig.addForm->refreshDeviceList(QStringLiteral("Cold"));
    QCOMPARE(window.deviceModel()->rowCount(), 2);
    QTRY_COMPARE(window.deviceModel()->rowCount(), 1);
    emit rig.editForm->refreshDeviceList(QString());
    QCOMPARE(window.deviceModel()->rowCount(), 1);
    QTRY_COMPARE(window.deviceModel()->rowCount(), 2);
}

void TestMainWindow::editAndAddButtonsOpenTheDialogs()
{
    QVERIFY(rig.storeDevice(WATER, QStringLiteral("Water meter"), PULSE_APP_EUI, 15030, 40, false));
    MainWindow window(components());

    QString title;
    QStringList original;
    QTimer::singleShot(0, rig.editForm.get(), [&]() {
        title = rig.editForm->windowTitle();
        for (int column = 0; column < 6; ++column)
            original << rig.editForm->deviceModel()->index(0, column).data().toString();
        rig.editForm->reject();
    });
    QTest::mouseClick(window.editButton(), Qt::LeftButton);
    QCOMPARE(title, QStringLiteral("Edit device parameters"));
    QCOMPARE(original,
             QStringList({ QStringLiteral("1"), QStringLiteral("Water meter"), PULSE_APP_EUI, WATER,
                           QStringLiteral("15030"), QStringLiteral("40") }));

    QTimer::singleShot(0, rig.addForm.get(), [&]() {
        title = rig.addForm->windowTitle();
        rig.addForm->reject();
    });
    QTest::mouseClick(window.addButton(), Qt::LeftButton);
    QCOMPARE(title, QStringLiteral("Add new device interface"));
}

void TestMainWindow::logIsForwardedToDebugOutput()
{
    MainWindow window(components());
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("marker-7f3a")));
    addLog(QStringLiteral("marker-7f3a"));
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
