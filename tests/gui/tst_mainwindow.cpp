#include "app/settings.h"
#include "gui/abstractpanelbutton.h"
#include "gui/addnewdeviceform.h"
#include "gui/editdeviceform.h"
#include "gui/mainwindow.h"
#include "gui/searcheditwidget.h"
#include "tests/testkit/gatewayrig.h"

#include <QSqlQuery>

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QSqlQueryModel>
#include <QStandardItemModel>

using namespace testkit;

class tst_MainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup() { rig.tearDown(); }

    void noAutomaticConnectionWithoutAddress();
    void storedSettingsConnectAndShownDeviceRefreshes();
    void settingsWrittenOnlyAfterSuccess();
    void statusLabelAndIcon_data();
    void statusLabelAndIcon();
    void selectSearchAndDelete();
    void dialogsOpenAndRefreshTheListThroughTheQueue();
    void exportsTheRegisterMap();
    void deviceThatCannotBeServedIsMarked();

private:
    void storeSettings(bool withAddress = true) const
    {
        if (withAddress)
            CSettings::writeValue(QStringLiteral("server/ip"), QStringLiteral("127.0.0.1"));
        CSettings::writeValue(QStringLiteral("server/port"), QString::number(rig.sim->port()));
        CSettings::writeValue(QStringLiteral("server/login"), QStringLiteral("demo"));
        CSettings::writeValue(QStringLiteral("server/password"), QStringLiteral("demo"));
    }
    // Runs the event loop until everything queued so far has been delivered.
    static void drainQueue()
    {
        for (int pass = 0; pass < 5; ++pass)
            QCoreApplication::processEvents();
    }
    static QString title(int sample, const char *type)
    {
        return QStringLiteral("Device:%1 [%2]").arg(sampleEui(sample), QLatin1String(type));
    }

    QTemporaryDir globalDir;
    CGatewayRig rig;
};

void tst_MainWindow::initTestCase()
{
    qRegisterMetaType<uint16_t>("uint16_t");
    QVERIFY(globalDir.isValid());
    CLogFile::getInstance(globalDir.filePath(QStringLiteral("history.log")));
    QVERIFY(CSettings::getInstance(globalDir.filePath(QStringLiteral("settings.conf"))));
}

void tst_MainWindow::init()
{
    CSettings::getInstance(QString())->clear();
    CSettings::getInstance(QString())->sync();
    QVERIFY(rig.setUp());
}

void tst_MainWindow::noAutomaticConnectionWithoutAddress()
{
    storeSettings(false);
    QSignalSpy status(rig.server, &CServerHandler::changeServerStatus);
    MainWindow window(*rig.gateway, *CSettings::getInstance(QString()));
    QCOMPARE(window.loginEdit()->text(), QStringLiteral("demo"));
    QCOMPARE(rig.logCount(QStringLiteral("[main] IP is empty")), 1);
    drainQueue();
    QVERIFY(status.isEmpty());
    QCOMPARE(rig.sim->clientCount(), 0);
    QCOMPARE(window.connectionStateLabel()->text(), QStringLiteral("Connection state..."));
}

void tst_MainWindow::settingsWrittenOnlyAfterSuccess()
{
    MainWindow window(*rig.gateway, *CSettings::getInstance(QString()));
    window.addressEdit()->setText(QStringLiteral("127.0.0.1"));
    window.serverPortEdit()->setText(QString::number(rig.sim->port()));
    window.loginEdit()->setText(QStringLiteral("demo"));
    window.passwordEdit()->setText(QStringLiteral("wrong"));
    QTest::mouseClick(window.connectButton(), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(window.connectionStateLabel()->text(), QStringLiteral("INVALID AUTH"), WAIT_MS);
    CSettings *settings = CSettings::getInstance(QString());
    QVERIFY(settings->allKeys().isEmpty());

    window.passwordEdit()->setText(QStringLiteral("demo"));
    QTest::mouseClick(window.connectButton(), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(window.connectionStateLabel()->text(), QStringLiteral("SUCCESS"), WAIT_MS);
    QStringList stored;
    for (const char *key : { "ip", "port", "login", "password" })
        stored << settings->value(QStringLiteral("server/") + QLatin1String(key)).toString();
    QCOMPARE(stored,
             QStringList({ QStringLiteral("127.0.0.1"), QString::number(rig.sim->port()),
                           QStringLiteral("demo"), QStringLiteral("demo") }));
    QCOMPARE(settings->value(QStringLiteral("server/scheme")).toString(), QStringLiteral("ws"));
    QCOMPARE(settings->allKeys().size(), 5);
}

void tst_MainWindow::statusLabelAndIcon_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("icon");

    const QString fail = QStringLiteral(":/connectionFailIco.png");
    QTest::newRow("success") << int(COMM::SUCCESS) << "SUCCESS"
                             << ":/connectionGoodIco.png";
    QTest::newRow("ping waiting") << int(COMM::PING_WAITING) << "PING WAITING" << fail;
    QTest::newRow("invalid ping") << int(COMM::INVALID_PING) << "INVALID PING" << fail;
    QTest::newRow("auth waiting") << int(COMM::AUTH_WAITING) << "AUTH WAITING" << fail;
    QTest::newRow("invalid auth") << int(COMM::INVALID_AUTH) << "INVALID AUTH" << fail;
    QTest::newRow("disconnected") << int(COMM::DISCONNECTED) << "DISCONNECTED" << fail;
    QTest::newRow("unknown") << 6 << "Connection state..." << QString();
}

void tst_MainWindow::statusLabelAndIcon()
{
    QFETCH(int, status);
    QFETCH(QString, text);
    QFETCH(QString, icon);

    MainWindow window(*rig.gateway, *CSettings::getInstance(QString()));
    QSignalSpy icons(&window, &MainWindow::setConnectStatusIco);
    emit rig.server->changeServerStatus(COMM::EServerStatus(status));
    QCOMPARE(window.connectionStateLabel()->text(), QStringLiteral("Connection state..."));
    drainQueue();
    QCOMPARE(window.connectionStateLabel()->text(), text);
    QCOMPARE(icons.count(), icon.isEmpty() ? 0 : 1);
    if (!icon.isEmpty())
        QCOMPARE(window.serverPanelButton()->iconLabel()->pixmap(Qt::ReturnByValue).toImage(),
                 QIcon(icon).pixmap(45, 45).toImage());
}

void tst_MainWindow::selectSearchAndDelete()
{
    const QList<quint16> ports = freePorts(2);
    const quint16 shared = ports[0];
    const quint16 single = ports[1];
    QVERIFY(rig.storeDevice(3, single, 40));
    QVERIFY(rig.storeDevice(2, shared, 20));
    QVERIFY(rig.storeDevice(1, shared, 0));
    QVERIFY(rig.db->setUnitId(rig.db->deviceId(sampleEui(2)), 7));
    QCOMPARE(rig.gateway->restoreStoredDevices(), 3);
    MainWindow window(*rig.gateway, *CSettings::getInstance(QString()));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    // Stored devices are served from start.
    QVERIFY(portAnswers(single));
    QVERIFY(portAnswers(shared));

    // Sorted by name, first row shown.
    QCOMPARE(window.deviceModel()->index(0, 1).data().toString(), QStringLiteral("Boiler room"));
    QCOMPARE(window.titleLabel()->text(), title(1, "TH-Sense 20"));
    QCOMPARE(window.modbusPortLabel()->text(), QString::number(shared));
    QCOMPARE(window.modbusUnitLabel()->text(), QStringLiteral("ANY VALID VALUE"));
    // a device with a unit id answers to that one only
    window.deviceView()->setCurrentIndex(window.deviceModel()->index(1, 0));
    QCOMPARE(window.modbusUnitLabel()->text(), QStringLiteral("7"));

    window.deviceView()->setCurrentIndex(window.deviceModel()->index(2, 0));
    QCOMPARE(window.titleLabel()->text(), title(3, "Pulse Meter 3"));
    QCOMPARE(window.modbusPortLabel()->text(), QString::number(single));
    QCOMPARE(window.modbusStartLabel()->text(), QStringLiteral("40"));
    QCOMPARE(window.registerModel()->index(0, 2).data().toInt(), 40);

    // Delete asks first, naming the device and its port; No keeps it.
    QStringList questions;
    bool answer = false;
    window.setDeleteConfirmation([&](const QString &question) {
        questions << question;
        return answer;
    });
    QTest::mouseClick(window.deleteButton(), Qt::LeftButton);
    QCOMPARE(questions.size(), 1);
    QVERIFY2(questions.first().contains(QStringLiteral("\"Water meter\"")), qPrintable(questions.first()));
    QVERIFY2(questions.first().contains(QStringLiteral("port %1").arg(single)),
             qPrintable(questions.first()));
    QCOMPARE(rig.db->getRegisteredDevices().size(), 3);
    QCOMPARE(window.titleLabel()->text(), title(3, "Pulse Meter 3"));

    answer = true;
    QTest::mouseClick(window.deleteButton(), Qt::LeftButton);
    QCOMPARE(rig.db->getRegisteredDevices().size(), 2);
    QCOMPARE(window.deviceModel()->rowCount(), 2);
    QCOMPARE(window.titleLabel()->text(), title(1, "TH-Sense 20"));
    // history.log hears of it once, from the core.
    QCOMPARE(rig.logCount(QStringLiteral("INFO: [CGateway::removeDevice] Device [Water meter] DevEUI "
                                         "[0011223344550003] on port [%1] deleted")
                              .arg(single)),
             1);
    QCOMPARE(rig.logCount(QStringLiteral("[CGateway::removeDevice]")), 1);
    // The port of the deleted device's own is closed.
    QVERIFY(!rig.serving(single));
    QTRY_VERIFY(!portAnswers(single));

    // Return in the search box filters by name, case-insensitively.
    QTest::keyClicks(window.searchWidget()->lineEdit(), QStringLiteral("STORE"));
    QCOMPARE(window.deviceModel()->rowCount(), 2);
    QTest::keyClick(window.searchWidget()->lineEdit(), Qt::Key_Return);
    QCOMPARE(window.deviceModel()->rowCount(), 1);
    QCOMPARE(window.titleLabel()->text(), title(2, "TH-Sense 20"));

    // A name that matches nothing leaves no device shown, and delete acts on nothing.
    window.searchWidget()->setText(QStringLiteral("zzz"));
    window.searchWidget()->textChangedSlot();
    QCOMPARE(window.titleLabel()->text(), QStringLiteral("Device [UNKNOWN]"));
    QVERIFY(!window.modbusBox()->isVisible());
    QCOMPARE(window.registerModel()->rowCount(), 0);
    QTest::mouseClick(window.deleteButton(), Qt::LeftButton);
    QCOMPARE(rig.db->getRegisteredDevices().size(), 2);

    // A port another device still uses stays open.
    window.searchWidget()->setText(QString());
    window.searchWidget()->textChangedSlot();
    QTest::mouseClick(window.deleteButton(), Qt::LeftButton);
    QCOMPARE(rig.db->getRegisteredDevices(), QStringList({ sampleEui(2) }));
    drainQueue();
    QVERIFY(portAnswers(shared));
}

void tst_MainWindow::storedSettingsConnectAndShownDeviceRefreshes()
{
    QVERIFY(rig.storeDevice(1, freePort()));
    QVERIFY(rig.storeDevice(2, freePort()));
    rig.gateway->restoreStoredDevices();
    storeSettings();
    MainWindow window(*rig.gateway, *CSettings::getInstance(QString()));
    QTRY_COMPARE_WITH_TIMEOUT(window.connectionStateLabel()->text(), QStringLiteral("SUCCESS"), WAIT_MS);
    // Only the stored login is accepted by the server.
    QCOMPARE(window.passwordEdit()->text(), QStringLiteral("demo"));

    // Registers refresh only for the shown device.
    QCOMPARE(window.titleLabel()->text(), title(1, "TH-Sense 20"));
    QSignalSpy resets(window.registerModel(), &QAbstractItemModel::modelReset);
    QVERIFY(rig.uplink(2, TH_PAYLOAD));
    drainQueue();
    QVERIFY(resets.isEmpty());
    QVERIFY(window.registerModel()->index(0, 8).data().isNull());

    QCOMPARE(rig.sim->sendUplink(sampleEui(1), TH_PAYLOAD), 1);
    QTRY_COMPARE_WITH_TIMEOUT(resets.count(), 1, WAIT_MS);
    // Temperature, the first register, now holds the decoded value.
    QCOMPARE(window.registerModel()->index(0, 10).data().toString(), QStringLiteral("Temperature"));
    QCOMPARE(window.registerModel()->index(0, 8).data().toString(), QStringLiteral("092a"));
}

void tst_MainWindow::dialogsOpenAndRefreshTheListThroughTheQueue()
{
    // Stored only: the ports are never opened.
    const quint16 port = freePort();
    QVERIFY(rig.storeDevice(3, port + 1, 40));
    QVERIFY(rig.storeDevice(2, port, 20));
    MainWindow window(*rig.gateway, *CSettings::getInstance(QString()));

    // Edit opens with the current device's stored row, the first by name.
    QObject watch; // ends the watching with this test
    QStringList original;
    QTimer::singleShot(0, &watch, [&]() {
        for (int column = 0; column < 6; ++column)
            original << window.editForm()->deviceModel()->index(0, column).data().toString();
        window.editForm()->reject();
    });
    QTest::mouseClick(window.editButton(), Qt::LeftButton);
    QCOMPARE(original,
             QStringList({ QStringLiteral("2"), QStringLiteral("Cold store"), TH_APP_EUI, sampleEui(2),
                           QString::number(port), QStringLiteral("20") }));
    QString addTitle;
    QTimer::singleShot(0, &watch, [&]() {
        addTitle = window.addForm()->windowTitle();
        window.addForm()->reject();
    });
    QTest::mouseClick(window.addButton(), Qt::LeftButton);
    QCOMPARE(addTitle, QStringLiteral("Add new device interface"));

    emit window.addForm()->refreshDeviceList(QStringLiteral("Cold"));
    QCOMPARE(window.deviceModel()->rowCount(), 2);
    QTRY_COMPARE(window.deviceModel()->rowCount(), 1);
    emit window.editForm()->refreshDeviceList(QString());
    QCOMPARE(window.deviceModel()->rowCount(), 1);
    QTRY_COMPARE(window.deviceModel()->rowCount(), 2);

    // After an edit the selection stays on the edited device (the second row),
    // after an add it moves to the new device.
    window.deviceView()->setCurrentIndex(window.deviceModel()->index(1, 0));
    QCOMPARE(window.titleLabel()->text(), title(3, "Pulse Meter 3"));
    emit window.editForm()->refreshDeviceList(QString());
    drainQueue();
    QCOMPARE(window.titleLabel()->text(), title(3, "Pulse Meter 3"));
    QVERIFY(rig.storeDevice(4, port, 60));
    emit window.addForm()->deviceAdded(sampleEui(4));
    emit window.addForm()->refreshDeviceList(QString());
    QTRY_COMPARE(window.deviceModel()->rowCount(), 3);
    QCOMPARE(window.titleLabel()->text(), title(4, "Pulse Meter 3"));
    QCOMPARE(window.deviceView()->currentIndex().row(), 1);
}

// The button's export, written where the file dialog would point.
void tst_MainWindow::exportsTheRegisterMap()
{
    const quint16 port = freePort();
    QVERIFY(rig.storeDevice(1, port, 40));
    rig.gateway->restoreStoredDevices();
    MainWindow window(*rig.gateway, *CSettings::getInstance(QString()));
    QVERIFY(window.exportButton()->isVisibleTo(&window));
    const QString file = rig.workDir->filePath(QStringLiteral("map.csv"));
    QVERIFY(window.exportRegisterMap(file));
    QFile written(file);
    QVERIFY(written.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = written.readAll().trimmed().split('\n');
    QCOMPARE(
        lines.first().trimmed(),
        QByteArray(
            "port,address,device,devEui,field,dataType,bitSize,wordOrder,unit,multiplier,extraValue,unitId"));
    QVERIFY2(lines.value(1).startsWith(QByteArray::number(port) + ",40,"), lines.value(1));
    QVERIFY(lines.value(1).contains(sampleEui(1).toLatin1()));
    QVERIFY(!window.exportRegisterMap(rig.workDir->filePath(QStringLiteral("no/such/dir/map.csv"))));
}

// A stored row whose port is no port stays in the list, marked with the reason.
void tst_MainWindow::deviceThatCannotBeServedIsMarked()
{
    QVERIFY(rig.storeDevice(1, freePort()));
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("edit"));
        db.setDatabaseName(rig.workDir->filePath(QStringLiteral("server.db")));
        QVERIFY(db.open() && QSqlQuery(db).exec(QStringLiteral("UPDATE devices SET port = 0;")));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("edit"));
    QCOMPARE(rig.gateway->restoreStoredDevices(), 0);
    MainWindow window(*rig.gateway, *CSettings::getInstance(QString()));
    QCOMPARE(window.deviceModel()->rowCount(), 1);
    QVERIFY2(window.titleLabel()->text().endsWith(
                 QStringLiteral("not served: DevEUI [%1]: port [0] is outside 1..65535").arg(sampleEui(1))),
             qPrintable(window.titleLabel()->text()));
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
