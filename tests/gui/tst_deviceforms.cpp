#include "app/globaldata.h"
#include "app/logfile.h"
#include "devices/alldevicehandler.h"
#include "gui/addnewdeviceform.h"
#include "gui/editdeviceform.h"
#include "gui/searcheditwidget.h"
#include "serverlink/serverhandler.h"
#include "storage/databasehandler.h"
#include "tests/gui/gatewayrig.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace testkit;

// Register rows of the dialogs, in stored column order.
enum { R_ADDR = 2, R_START_VALUE = 3, R_GRATING = 4, R_NAME = 10, R_UNIT = 11 };

class TestDeviceForms : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void statusWithoutServerConnection();
    void statusesOfServerAnswers_data();
    void statusesOfServerAnswers();
    void listsOnlyNewDevicesOfKnownTypes();
    void typeGridHoldsFiveTypesPerRow();
    void selectingDeviceLoadsItsRegisterMap();
    void okChecksPortAndStartAddress_data();
    void okChecksPortAndStartAddress();
    void okWithoutSelectedDeviceDoesNothing();
    void registrationServesThePort();
    void secondDeviceJoinsGatewaysOwnPort();
    void refusedRegistrationKeepsDialogOpen();
    void showFormRunsModallyWithTitle();
    void editDialogShowsStoredRegisters();
    void editedMultiplierScalesNextUplink();

private:
    void connectToSimulator();
    // Opens the add dialog's list against the simulator and waits for the answer.
    void openAddDialog();
    void selectDevice(const QString &devEui);
    void clickOk(CAbstractDeviceForm *form);
    SModbusRead readWhenServed(quint16 port, int address, int count);

    QTemporaryDir logDir;
    CGatewayRig rig;
};

void TestDeviceForms::initTestCase()
{
    initGlobalData();
    QVERIFY(logDir.isValid());
    CLogFile::getInstance(logDir.filePath(QStringLiteral("history.log")));
}

void TestDeviceForms::init()
{
    QVERIFY(rig.setUp());
}

void TestDeviceForms::cleanup()
{
    rig.tearDown();
}

void TestDeviceForms::connectToSimulator()
{
    QSignalSpy status(rig.server.get(), &CServerHandler::changeServerStatus);
    rig.server->connectSlot(rig.sim->url().toString(), QStringLiteral("demo"), QStringLiteral("demo"));
    QTRY_VERIFY_WITH_TIMEOUT(
        !status.isEmpty() && status.last().at(0).value<COMM::EServerStatus>() == COMM::SUCCESS, 5000);
}

void TestDeviceForms::openAddDialog()
{
    QSignalSpy answer(rig.server.get(), &CServerHandler::getDevicesListResp);
    QVERIFY(QMetaObject::invokeMethod(rig.addForm.get(), "refresh"));
    QCOMPARE(rig.addForm->statusLabel()->text(), QStringLiteral("WAITING..."));
    QCOMPARE(rig.addForm->currentPage(), 0);
    QVERIFY(answer.wait(5000));
    // The answer reaches the dialog through a queued connection: one more pass.
    QTRY_VERIFY(rig.addForm->currentPage() == 1
                || rig.addForm->statusLabel()->text() != QStringLiteral("WAITING..."));
}

void TestDeviceForms::selectDevice(const QString &devEui)
{
    QAbstractItemModel *model = rig.addForm->deviceView()->model();
    for (int row = 0; row < model->rowCount(); ++row) {
        if (model->index(row, 3).data().toString() == devEui) {
            rig.addForm->deviceView()->setCurrentIndex(model->index(row, 0));
            return;
        }
    }
    QFAIL(qPrintable(QStringLiteral("device %1 not listed").arg(devEui)));
}

void TestDeviceForms::clickOk(CAbstractDeviceForm *form)
{
    const QList<QAbstractButton *> buttons = form->buttonBox()->buttons();
    for (QAbstractButton *button : buttons) {
        if (form->buttonBox()->buttonRole(button) == QDialogButtonBox::AcceptRole) {
            button->click();
            return;
        }
    }
    QFAIL("no OK button");
}

SModbusRead TestDeviceForms::readWhenServed(quint16 port, int address, int count)
{
    auto reply = readAsync(port, address, count);
    [&]() { QTRY_VERIFY_WITH_TIMEOUT(isReady(reply), 10000); }();
    return reply.get();
}

void TestDeviceForms::statusWithoutServerConnection()
{
    QVERIFY(QMetaObject::invokeMethod(rig.addForm.get(), "refresh"));
    QCOMPARE(rig.addForm->currentPage(), 0);
    QCOMPARE(rig.addForm->statusLabel()->text(), QStringLiteral("EMPTY LIST OF\nKNOWN DEVICE TYPES"));
    QVERIFY(rig.logCount(QStringLiteral("Invalid connection to server")) > 0);
}

void TestDeviceForms::statusesOfServerAnswers_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("emptyScenario");
    QTest::addColumn<QString>("status");

    QTest::newRow("refused") << int(CNetworkServerSim::DEVICES_REFUSE) << false
                             << QStringLiteral("SERVER TIMEOUT");
    QTest::newRow("unanswered") << int(CNetworkServerSim::DEVICES_SILENT) << false
                                << QStringLiteral("SERVER TIMEOUT");
    QTest::newRow("no devices") << int(CNetworkServerSim::DEVICES_ANSWER) << true
                                << QStringLiteral("EMPTY DEVICE LIST\nFROM SERVER");
}

void TestDeviceForms::statusesOfServerAnswers()
{
    QFETCH(int, mode);
    QFETCH(bool, emptyScenario);
    QFETCH(QString, status);

    if (emptyScenario) {
        SSimScenario scenario = sampleScenario();
        scenario.devices.clear();
        rig.sim->setScenario(scenario);
    }
    rig.sim->setDevicesMode(CNetworkServerSim::EDevicesMode(mode));
    rig.server->setTimeoutsForTesting(2000, 200);
    connectToSimulator();
    openAddDialog();
    QTRY_COMPARE(rig.addForm->statusLabel()->text(), status);
    QCOMPARE(rig.addForm->currentPage(), 0);
}

void TestDeviceForms::listsOnlyNewDevicesOfKnownTypes()
{
    // The server lists everything it has, unknown types included.
    SSimScenario scenario = sampleScenario();
    scenario.listAll = true;
    rig.sim->setScenario(scenario);
    QVERIFY(rig.storeDevice(QStringLiteral("0011223344550001"), QStringLiteral("Boiler room"), TH_APP_EUI,
                            freePort(), 0, true));
    connectToSimulator();
    openAddDialog();

    QCOMPARE(rig.addForm->currentPage(), 1);
    QStringList listed;
    for (int row = 0; row < rig.addForm->deviceModel()->rowCount(); ++row)
        listed << rig.addForm->deviceModel()->index(row, 3).data().toString();
    QCOMPARE(listed,
             QStringList({ QStringLiteral("0011223344550002"), QStringLiteral("0011223344550003"),
                           QStringLiteral("0011223344550004"), QStringLiteral("0011223344550005") }));
    // The first device is selected and its register map is shown.
    QCOMPARE(rig.addForm->deviceView()->currentIndex().row(), 0);
    QCOMPARE(rig.addForm->selectedDeviceType(), TH_APP_EUI);
    QVERIFY(rig.addForm->registerModel()->rowCount() > 0);

    // Searching filters by name.
    rig.addForm->searchWidget()->setText(QStringLiteral("METER"));
    rig.addForm->searchWidget()->textChangedSlot();
    QCOMPARE(rig.addForm->deviceView()->model()->rowCount(), 2);

    // Once all of them are registered there is nothing new to offer.
    for (int row = 0; row < rig.addForm->deviceModel()->rowCount(); ++row)
        QVERIFY(rig.storeDevice(rig.addForm->deviceModel()->index(row, 3).data().toString(),
                                rig.addForm->deviceModel()->index(row, 1).data().toString(),
                                rig.addForm->deviceModel()->index(row, 2).data().toString(), freePort(), 0,
                                true));
    openAddDialog();
    QTRY_COMPARE(rig.addForm->statusLabel()->text(),
                 QStringLiteral("NOT NEW DEVICES\nALL DEVICES ALREADY REGISTERED"));
    QCOMPARE(rig.addForm->currentPage(), 0);
}

void TestDeviceForms::typeGridHoldsFiveTypesPerRow()
{
    // Three more types beside the three samples.
    const QDir folder(rig.workDir->filePath(QStringLiteral("deviceFolder")));
    QFile sample(folder.filePath(QStringLiteral("th-sensor.json")));
    QVERIFY(sample.open(QIODevice::ReadOnly));
    const QByteArray text = sample.readAll();
    for (int i = 4; i <= 6; ++i) {
        QFile copy(folder.filePath(QStringLiteral("extra%1.json").arg(i)));
        QVERIFY(copy.open(QIODevice::WriteOnly));
        copy.write(QByteArray(text).replace("A1B2C3D400000001", "A1B2C3D40000000" + QByteArray::number(i)));
    }
    rig.registry = std::make_unique<CAllDeviceHandler>();
    rig.addForm = std::make_unique<CAddNewDeviceForm>(rig.server.get(), rig.db.get(), rig.registry.get());
    QCOMPARE(rig.registry->getDeviceTypeList().size(), 6);

    for (int pass = 0; pass < 2; ++pass) {
        QVERIFY(QMetaObject::invokeMethod(rig.addForm.get(), "refresh"));
        QGridLayout *grid = rig.addForm->typeGrid();
        QCOMPARE(grid->count(), 6);
        QVERIFY(grid->itemAtPosition(0, 4));
        QVERIFY(grid->itemAtPosition(1, 0));
        QVERIFY(!grid->itemAtPosition(1, 1));
        auto *first = qobject_cast<QLabel *>(grid->itemAtPosition(0, 0)->widget());
        QVERIFY(first);
        QCOMPARE(first->text(), QStringLiteral("TH-Sense 20"));
        QVERIFY(first->styleSheet().contains(QStringLiteral("#3f92d2")));
    }
}

void TestDeviceForms::selectingDeviceLoadsItsRegisterMap()
{
    connectToSimulator();
    openAddDialog();
    selectDevice(QStringLiteral("0011223344550001"));
    QStandardItemModel *regs = rig.addForm->registerModel();
    const int sensorRows = regs->rowCount();
    QCOMPARE(sensorRows, rig.registry->getDeviceRegisterMap(TH_APP_EUI).registers.size());

    // A scaling edit is lost when another type is selected.
    regs->setData(regs->index(0, R_GRATING), 7);
    selectDevice(QStringLiteral("0011223344550005"));
    QCOMPARE(rig.addForm->selectedDeviceType(), BEACON_APP_EUI);
    const SDeviceTypeRegisters beacon = rig.registry->getDeviceRegisterMap(BEACON_APP_EUI);
    QCOMPARE(regs->rowCount(), beacon.registers.size());
    for (int row = 0; row < regs->rowCount(); ++row) {
        QCOMPARE(regs->index(row, R_NAME).data().toString(), beacon.registers.at(row).name);
        QCOMPARE(regs->index(row, R_ADDR).data().toUInt(), beacon.registers.at(row).offset);
        QCOMPARE(regs->index(row, R_GRATING).data().toUInt(), 1u);
        QVERIFY(regs->index(row, R_UNIT).data().toString().isEmpty());
    }
}

void TestDeviceForms::okChecksPortAndStartAddress_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("start");
    QTest::addColumn<bool>("portShown");
    QTest::addColumn<bool>("startShown");

    QTest::newRow("both empty") << QString() << QString() << true << true;
    QTest::newRow("start empty") << QStringLiteral("15020") << QString() << false << true;
    QTest::newRow("port empty") << QString() << QStringLiteral("0") << true << false;
    QTest::newRow("port zero") << QStringLiteral("0") << QStringLiteral("0") << true << false;
    QTest::newRow("negative port") << QStringLiteral("-1") << QStringLiteral("0") << true << false;
    // 70000 cut to 16 bits would be 4464: refused instead.
    QTest::newRow("port above 65535") << QStringLiteral("70000") << QStringLiteral("0") << true << false;
    QTest::newRow("port of another program")
        << QStringLiteral("busy") << QStringLiteral("0") << true << false;
    QTest::newRow("negative start") << QStringLiteral("free") << QStringLiteral("-4") << false << true;
}

void TestDeviceForms::okChecksPortAndStartAddress()
{
    QFETCH(QString, port);
    QFETCH(QString, start);
    QFETCH(bool, portShown);
    QFETCH(bool, startShown);

    QTcpServer otherProgram;
    QVERIFY(otherProgram.listen(QHostAddress::Any, 0));
    if (port == QStringLiteral("busy"))
        port = QString::number(otherProgram.serverPort());
    else if (port == QStringLiteral("free"))
        port = QString::number(freePort());

    connectToSimulator();
    openAddDialog();
    QSignalSpy refreshed(rig.addForm.get(), &CAbstractDeviceForm::refreshDeviceList);
    rig.addForm->portEdit()->setText(port);
    rig.addForm->startAddressEdit()->setText(start);
    clickOk(rig.addForm.get());

    QCOMPARE(rig.addForm->portIndicator()->isVisibleTo(rig.addForm.get()), portShown);
    QCOMPARE(rig.addForm->startIndicator()->isVisibleTo(rig.addForm.get()), startShown);
    QCOMPARE(rig.addForm->portIndicator()->toolTip(),
             QStringLiteral("Invalid TCP port (is used or unsupported)"));
    QCOMPARE(rig.addForm->startIndicator()->toolTip(), QStringLiteral("Empty start address"));
    QVERIFY(rig.db->getRegisteredDevices().isEmpty());
    QVERIFY(refreshed.isEmpty());
    QCOMPARE(rig.addForm->result(), 0);

    // The next opening starts clean.
    QVERIFY(QMetaObject::invokeMethod(rig.addForm.get(), "refresh"));
    QVERIFY(!rig.addForm->portIndicator()->isVisibleTo(rig.addForm.get()));
    QVERIFY(!rig.addForm->startIndicator()->isVisibleTo(rig.addForm.get()));
    QVERIFY(rig.addForm->portEdit()->text().isEmpty());
    QVERIFY(rig.addForm->startAddressEdit()->text().isEmpty());
}

void TestDeviceForms::okWithoutSelectedDeviceDoesNothing()
{
    connectToSimulator();
    openAddDialog();
    // Hide every device: no row is current any more.
    rig.addForm->searchWidget()->setText(QStringLiteral("no such name"));
    rig.addForm->searchWidget()->textChangedSlot();
    QVERIFY(!rig.addForm->deviceView()->currentIndex().isValid());

    QSignalSpy refreshed(rig.addForm.get(), &CAbstractDeviceForm::refreshDeviceList);
    rig.addForm->portEdit()->setText(QString::number(freePort()));
    rig.addForm->startAddressEdit()->setText(QStringLiteral("0"));
    clickOk(rig.addForm.get());
    QVERIFY(rig.db->getRegisteredDevices().isEmpty());
    QVERIFY(refreshed.isEmpty());
    QCOMPARE(rig.logCount(QStringLiteral("INFO: [CAddNewDeviceForm::addDeviceSlot]")), 0);
}

void TestDeviceForms::registrationServesThePort()
{
    connectToSimulator();
    openAddDialog();
    selectDevice(QStringLiteral("0011223344550002"));
    const quint16 port = freePort();
    rig.addForm->portEdit()->setText(QString::number(port));
    rig.addForm->startAddressEdit()->setText(QStringLiteral("100"));
    // Humidity reads in tenths of a percent on this site.
    QStandardItemModel *regs = rig.addForm->registerModel();
    for (int row = 0; row < regs->rowCount(); ++row) {
        if (regs->index(row, R_NAME).data().toString() == QStringLiteral("Humidity")) {
            regs->setData(regs->index(row, R_GRATING), 10);
            regs->setData(regs->index(row, R_START_VALUE), 5);
            regs->setData(regs->index(row, R_UNIT), QStringLiteral("%"));
        }
    }

    QSignalSpy refreshed(rig.addForm.get(), &CAbstractDeviceForm::refreshDeviceList);
    clickOk(rig.addForm.get());
    QCOMPARE(rig.addForm->result(), int(QDialog::Accepted));
    QCOMPARE(refreshed.count(), 1);
    QCOMPARE(refreshed.at(0).at(0).toString(), QString());
    QCOMPARE(rig.db->getRegisteredDevices(), QStringList({ QStringLiteral("0011223344550002") }));
    QVERIFY(rig.registry->hasListener(port));
    QCOMPARE(
        rig.logCount(QStringLiteral("INFO: [CAddNewDeviceForm::addDeviceSlot] device created successfully")),
        1);

    QSqlQuery stored = rig.db->getRegisters(1);
    bool humiditySeen = false;
    while (stored.next()) {
        if (stored.value(R_NAME).toString() != QStringLiteral("Humidity"))
            continue;
        humiditySeen = true;
        QCOMPARE(stored.value(R_ADDR).toInt(), 101);
        QCOMPARE(stored.value(R_GRATING).toInt(), 10);
        QCOMPARE(stored.value(R_START_VALUE).toInt(), 5);
        QCOMPARE(stored.value(R_UNIT).toString(), QStringLiteral("%"));
    }
    QVERIFY(humiditySeen);

    // An uplink (type 1: temperature 0x092a = 23.46 C, humidity 0x37 = 55 %,
    // battery 0x0ce4 = 3300 mV) is served from the new port.
    QSignalSpy decoded(rig.registry.get(), &CAllDeviceHandler::newDataForDevice);
    QCOMPARE(rig.sim->sendUplink(QStringLiteral("0011223344550002"), QByteArray::fromHex("012a0937e40c")), 1);
    QVERIFY(decoded.wait(5000));
    QCOMPARE(decoded.at(0).at(0).toString(), QStringLiteral("0011223344550002"));
    const SModbusRead read = readWhenServed(port, 100, 3);
    QVERIFY2(read.ok, qPrintable(read.error));
    QCOMPARE(read.registers, QVector<quint16>({ 0x092a, 55 * 10 + 5, 0x0ce4 }));
}

void TestDeviceForms::secondDeviceJoinsGatewaysOwnPort()
{
    const quint16 port = freePort();
    QVERIFY(rig.storeDevice(QStringLiteral("0011223344550001"), QStringLiteral("Boiler room"), TH_APP_EUI,
                            port, 0, true));
    QVERIFY(rig.registry->hasListener(port));
    connectToSimulator();
    openAddDialog();
    selectDevice(QStringLiteral("0011223344550003"));
    rig.addForm->portEdit()->setText(QString::number(port));
    rig.addForm->startAddressEdit()->setText(QStringLiteral("20"));
    clickOk(rig.addForm.get());

    QVERIFY(!rig.addForm->portIndicator()->isVisibleTo(rig.addForm.get()));
    QCOMPARE(rig.addForm->result(), int(QDialog::Accepted));
    QCOMPARE(rig.db->getRegisteredDevices().size(), 2);
    QVERIFY(rig.logCount(QStringLiteral("port [%1] is already open").arg(port)) > 0);

    // Pulse meter: counter A 0x00010203 at byte 1, counter B, status 0x07.
    QSignalSpy decoded(rig.registry.get(), &CAllDeviceHandler::newDataForDevice);
    QCOMPARE(rig.sim->sendUplink(QStringLiteral("0011223344550003"),
                                 QByteArray::fromHex("02030201000500000000000000"
                                                     "07")),
             1);
    QVERIFY(decoded.wait(5000));
    const SModbusRead read = readWhenServed(port, 20, 2);
    QVERIFY2(read.ok, qPrintable(read.error));
    QCOMPARE(read.registers, QVector<quint16>({ 0x0001, 0x0203 }));
}

void TestDeviceForms::refusedRegistrationKeepsDialogOpen()
{
    connectToSimulator();
    openAddDialog();
    selectDevice(QStringLiteral("0011223344550004"));
    // Registered behind the dialog's back since the list was fetched.
    DB::SDeviceRegMapDescription meanwhile;
    meanwhile.devEui = QStringLiteral("0011223344550004");
    meanwhile.devName = QStringLiteral("Gas meter");
    meanwhile.appEui = PULSE_APP_EUI;
    meanwhile.regList = rig.registry->getDeviceRegisterMap(PULSE_APP_EUI).registers;
    QVERIFY(rig.db->registerNewDevice(meanwhile, 1502));

    const quint16 port = freePort();
    rig.addForm->portEdit()->setText(QString::number(port));
    rig.addForm->startAddressEdit()->setText(QStringLiteral("0"));
    QSignalSpy refreshed(rig.addForm.get(), &CAbstractDeviceForm::refreshDeviceList);
    CMessageBoxCatcher catcher;
    clickOk(rig.addForm.get());

    QCOMPARE(catcher.texts, QStringList({ QStringLiteral("Add new device status") }));
    QCOMPARE(catcher.informativeTexts,
             QStringList({ QStringLiteral("Device is not added! See LOG-file for more details") }));
    QCOMPARE(catcher.icons.value(0), QMessageBox::Critical);
    QCOMPARE(rig.logCount(QStringLiteral("ERROR: [CAddNewDeviceForm::addDeviceSlot] device is not created!")),
             1);
    QVERIFY(refreshed.isEmpty());
    QCOMPARE(rig.addForm->result(), 0);
    QVERIFY(!rig.registry->hasListener(port));
    // The operator's entries stay for another try.
    QCOMPARE(rig.addForm->portEdit()->text(), QString::number(port));
    QCOMPARE(rig.addForm->currentPage(), 1);
}

void TestDeviceForms::showFormRunsModallyWithTitle()
{
    QString titleSeen;
    bool modal = false;
    QString statusSeen;
    QTimer::singleShot(0, rig.addForm.get(), [&]() {
        titleSeen = rig.addForm->windowTitle();
        modal = QApplication::activeModalWidget() == rig.addForm.get();
        statusSeen = rig.addForm->statusLabel()->text();
        rig.addForm->reject();
    });
    QCOMPARE(rig.addForm->showForm(QStringLiteral("Add new device interface")), int(QDialog::Rejected));
    QCOMPARE(titleSeen, QStringLiteral("Add new device interface"));
    QVERIFY(modal);
    QCOMPARE(statusSeen, QStringLiteral("EMPTY LIST OF\nKNOWN DEVICE TYPES"));
}

void TestDeviceForms::editDialogShowsStoredRegisters()
{
    const quint16 port = freePort();
    QVERIFY(rig.storeDevice(QStringLiteral("0011223344550003"), QStringLiteral("Water meter"), PULSE_APP_EUI,
                            port, 40, true));
    rig.editForm->setOriginal(1, QStringLiteral("0011223344550003"), QStringLiteral("Water meter"),
                              PULSE_APP_EUI, port, 40);

    QCOMPARE(rig.editForm->currentPage(), 1);
    QCOMPARE(rig.editForm->portEdit()->text(), QString::number(port));
    QCOMPARE(rig.editForm->startAddressEdit()->text(), QStringLiteral("40"));
    QVERIFY(!rig.editForm->portEdit()->isEnabled());
    QVERIFY(!rig.editForm->startAddressEdit()->isEnabled());
    QCOMPARE(rig.editForm->deviceModel()->rowCount(), 1);

    // One row per field (continuation registers are not listed), ascending address.
    QStandardItemModel *regs = rig.editForm->registerModel();
    QCOMPARE(regs->rowCount(), rig.registry->getDeviceRegisterMap(PULSE_APP_EUI).registers.size());
    int previous = -1;
    for (int row = 0; row < regs->rowCount(); ++row) {
        QCOMPARE(regs->index(row, 0).data().toUInt(), 1u);
        QCOMPARE(regs->index(row, 1).data().toUInt(), uint(port));
        QVERIFY(regs->index(row, R_ADDR).data().toInt() > previous);
        previous = regs->index(row, R_ADDR).data().toInt();
    }
    QCOMPARE(regs->index(0, R_ADDR).data().toInt(), 40);

    // Opening another device replaces the rows.
    QVERIFY(rig.storeDevice(QStringLiteral("0011223344550005"), QStringLiteral("Dock beacon"), BEACON_APP_EUI,
                            port, 80, true));
    rig.editForm->setOriginal(2, QStringLiteral("0011223344550005"), QStringLiteral("Dock beacon"),
                              BEACON_APP_EUI, port, 80);
    QCOMPARE(regs->rowCount(), rig.registry->getDeviceRegisterMap(BEACON_APP_EUI).registers.size());
    QCOMPARE(regs->index(0, R_ADDR).data().toInt(), 80);
}

void TestDeviceForms::editedMultiplierScalesNextUplink()
{
    const quint16 port = freePort();
    QVERIFY(rig.storeDevice(QStringLiteral("0011223344550001"), QStringLiteral("Boiler room"), TH_APP_EUI,
                            port, 0, true));
    connectToSimulator();
    rig.editForm->setOriginal(1, QStringLiteral("0011223344550001"), QStringLiteral("Boiler room"),
                              TH_APP_EUI, port, 0);
    QStandardItemModel *regs = rig.editForm->registerModel();
    int batteryRow = -1;
    for (int row = 0; row < regs->rowCount(); ++row)
        if (regs->index(row, R_NAME).data().toString() == QStringLiteral("Battery"))
            batteryRow = row;
    QVERIFY(batteryRow >= 0);
    regs->setData(regs->index(batteryRow, R_GRATING), 2);
    regs->setData(regs->index(batteryRow, R_START_VALUE), 100);
    regs->setData(regs->index(batteryRow, R_UNIT), QStringLiteral("mV"));

    QSignalSpy refreshed(rig.editForm.get(), &CAbstractDeviceForm::refreshDeviceList);
    clickOk(rig.editForm.get());
    QCOMPARE(rig.editForm->result(), int(QDialog::Accepted));
    QCOMPARE(refreshed.count(), 1);
    QCOMPARE(rig.logCount(QStringLiteral("INFO: [CEditDeviceForm::updateDeviceSlot] device's register update "
                                         "successfully")),
             1);
    const SRegisterParam param = rig.db->getRegisterParam(QStringLiteral("0011223344550001"), 2);
    QCOMPARE(param.gratingPeriod, 2);
    QCOMPARE(param.startValue, 100);
    QCOMPARE(param.unit, QStringLiteral("mV"));
    // Untouched rows were written back unchanged.
    QCOMPARE(rig.db->getRegisterParam(QStringLiteral("0011223344550001"), 0).gratingPeriod, 1);

    QSignalSpy decoded(rig.registry.get(), &CAllDeviceHandler::newDataForDevice);
    QCOMPARE(rig.sim->sendUplink(QStringLiteral("0011223344550001"), QByteArray::fromHex("012a0937e40c")), 1);
    QVERIFY(decoded.wait(5000));
    const SModbusRead read = readWhenServed(port, 0, 3);
    QVERIFY2(read.ok, qPrintable(read.error));
    QCOMPARE(read.registers, QVector<quint16>({ 0x092a, 55, 3300 * 2 + 100 }));
}

QTEST_MAIN(TestDeviceForms)
#include "tst_deviceforms.moc"
