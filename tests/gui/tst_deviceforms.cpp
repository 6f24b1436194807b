#include "app/globaldata.h"
#include "app/logfile.h"
#include "devices/alldevicehandler.h"
#include "gui/addnewdeviceform.h"
#include "gui/editdeviceform.h"
#include "gui/searcheditwidget.h"
#include "serverlink/serverhandler.h"
#include "storage/databasehandler.h"
#include "tests/gui/gatewaytestkit.h"

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
    bool registerDirectly(const QString &devEui, const QString &name, const QString &appEui, quint16 port,
                          int startAddr);
    int logCount(const QString &text) const;
    SModbusRead readWhenServed(quint16 port, int address, int count);

    QTemporaryDir logDir;
    QString originalDir;
    std::unique_ptr<QTemporaryDir> workDir;
    std::unique_ptr<CNetworkServerSim> sim;
    std::unique_ptr<CServerHandler> server;
    std::unique_ptr<CDataBaseHandler> db;
    std::unique_ptr<CAllDeviceHandler> registry;
    std::unique_ptr<CAddNewDeviceForm> addForm;
    std::unique_ptr<CEditDeviceForm> editForm;
    std::unique_ptr<QSignalSpy> logSpy;
    int connectionCounter = 0;
};

void TestDeviceForms::initTestCase()
{
    initGlobalData();
    QVERIFY(logDir.isValid());
    CLogFile::getInstance(logDir.filePath(QStringLiteral("history.log")));
    originalDir = QDir::currentPath();
}

void TestDeviceForms::init()
{
    workDir = std::make_unique<QTemporaryDir>();
    QVERIFY(workDir->isValid());
    QVERIFY(QDir::setCurrent(workDir->path()));
    QVERIFY(copySampleTemplates(workDir->path()));

    logSpy = std::make_unique<QSignalSpy>(CLogFile::getInstance(QString()), &CLogFile::addLogSignal);
    sim = std::make_unique<CNetworkServerSim>(sampleScenario());
    QVERIFY(sim->listen());
    server = std::make_unique<CServerHandler>();
    db = std::make_unique<CDataBaseHandler>(workDir->filePath(QStringLiteral("server.db")),
                                            QStringLiteral("forms%1").arg(++connectionCounter));
    QVERIFY(!db->failed());
    registry = std::make_unique<CAllDeviceHandler>();
    registry->setRegisterStore(db.get());
    connect(server.get(), &CServerHandler::newPacketReceived, registry.get(),
            &CAllDeviceHandler::newPacketReceivedSlot, Qt::QueuedConnection);

    addForm = std::make_unique<CAddNewDeviceForm>(server.get(), db.get(), registry.get());
    connect(server.get(), &CServerHandler::getDevicesListResp, addForm.get(),
            &CAddNewDeviceForm::getDevicesListRespSlot, Qt::QueuedConnection);
    editForm = std::make_unique<CEditDeviceForm>(db.get(), registry.get());
}

void TestDeviceForms::cleanup()
{
    addForm.reset();
    editForm.reset();
    // The registry leaves its listeners to their own deferred deletion.
    if (db && registry) {
        QSqlQuery devices = db->getDevices(QString());
        QList<QPair<QString, quint16>> rows;
        while (devices.next())
            rows << qMakePair(devices.value(3).toString(), quint16(devices.value(4).toUInt()));
        devices.finish();
        for (const auto &row : rows)
            registry->removeDevice(row.first, row.second);
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    registry.reset();
    server.reset();
    sim.reset();
    db.reset();
    logSpy.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QDir::setCurrent(originalDir);
    workDir.reset();
}

void TestDeviceForms::connectToSimulator()
{
    QSignalSpy status(server.get(), &CServerHandler::changeServerStatus);
    server->connectSlot(sim->url().toString(), QStringLiteral("demo"), QStringLiteral("demo"));
    QTRY_VERIFY_WITH_TIMEOUT(
        !status.isEmpty() && status.last().at(0).value<COMM::EServerStatus>() == COMM::SUCCESS, 5000);
}

void TestDeviceForms::openAddDialog()
{
    QSignalSpy answer(server.get(), &CServerHandler::getDevicesListResp);
    QVERIFY(QMetaObject::invokeMethod(addForm.get(), "refresh"));
    QCOMPARE(addForm->statusLabel()->text(), QStringLiteral("WAITING..."));
    QCOMPARE(addForm->currentPage(), 0);
    QVERIFY(answer.wait(5000));
    // The answer reaches the dialog through a queued connection: one more pass.
    QTRY_VERIFY(addForm->currentPage() == 1
                || addForm->statusLabel()->text() != QStringLiteral("WAITING..."));
}

void TestDeviceForms::selectDevice(const QString &devEui)
{
    QAbstractItemModel *model = addForm->deviceView()->model();
    for (int row = 0; row < model->rowCount(); ++row) {
        if (model->index(row, 3).data().toString() == devEui) {
            addForm->deviceView()->setCurrentIndex(model->index(row, 0));
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

bool TestDeviceForms::registerDirectly(const QString &devEui, const QString &name, const QString &appEui,
                                       quint16 port, int startAddr)
{
    DB::SDeviceRegMapDescription description;
    description.devEui = devEui;
    description.devName = name;
    description.appEui = appEui;
    description.startAddr = startAddr;
    description.regList = registry->getDeviceRegisterMap(appEui).registers;
    if (!db->registerNewDevice(description, port))
        return false;
    registry->addNewDevice(description, port);
    return true;
}

int TestDeviceForms::logCount(const QString &text) const
{
    int count = 0;
    for (const QList<QVariant> &entry : qAsConst(*logSpy))
        count += entry.value(0).toString().contains(text) ? 1 : 0;
    return count;
}

SModbusRead TestDeviceForms::readWhenServed(quint16 port, int address, int count)
{
    auto reply = readAsync(port, address, count);
    [&]() { QTRY_VERIFY_WITH_TIMEOUT(isReady(reply), 10000); }();
    return reply.get();
}

void TestDeviceForms::statusWithoutServerConnection()
{
    QVERIFY(QMetaObject::invokeMethod(addForm.get(), "refresh"));
    QCOMPARE(addForm->currentPage(), 0);
    QCOMPARE(addForm->statusLabel()->text(), QStringLiteral("EMPTY LIST OF\nKNOWN DEVICE TYPES"));
    QVERIFY(logCount(QStringLiteral("Invalid connection to server")) > 0);
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
        sim->setScenario(scenario);
    }
    sim->setDevicesMode(CNetworkServerSim::EDevicesMode(mode));
    server->setTimeoutsForTesting(2000, 200);
    connectToSimulator();
    openAddDialog();
    QTRY_COMPARE(addForm->statusLabel()->text(), status);
    QCOMPARE(addForm->currentPage(), 0);
}

void TestDeviceForms::listsOnlyNewDevicesOfKnownTypes()
{
    // The server lists everything it has, unknown types included.
    SSimScenario scenario = sampleScenario();
    scenario.listAll = true;
    sim->setScenario(scenario);
    QVERIFY(registerDirectly(QStringLiteral("0011223344550001"), QStringLiteral("Boiler room"), TH_APP_EUI,
                             freePort(), 0));
    connectToSimulator();
    openAddDialog();

    QCOMPARE(addForm->currentPage(), 1);
    QStringList listed;
    for (int row = 0; row < addForm->deviceModel()->rowCount(); ++row)
        listed << addForm->deviceModel()->index(row, 3).data().toString();
    QCOMPARE(listed,
             QStringList({ QStringLiteral("0011223344550002"), QStringLiteral("0011223344550003"),
                           QStringLiteral("0011223344550004"), QStringLiteral("0011223344550005") }));
    // The first device is selected and its register map is shown.
    QCOMPARE(addForm->deviceView()->currentIndex().row(), 0);
    QCOMPARE(addForm->selectedDeviceType(), TH_APP_EUI);
    QVERIFY(addForm->registerModel()->rowCount() > 0);

    // Searching filters by name.
    addForm->searchWidget()->setText(QStringLiteral("METER"));
    addForm->searchWidget()->textChangedSlot();
    QCOMPARE(addForm->deviceView()->model()->rowCount(), 2);

    // Once all of them are registered there is nothing new to offer.
    for (int row = 0; row < addForm->deviceModel()->rowCount(); ++row)
        QVERIFY(registerDirectly(addForm->deviceModel()->index(row, 3).data().toString(),
                                 addForm->deviceModel()->index(row, 1).data().toString(),
                                 addForm->deviceModel()->index(row, 2).data().toString(), freePort(), 0));
    openAddDialog();
    QTRY_COMPARE(addForm->statusLabel()->text(),
                 QStringLiteral("NOT NEW DEVICES\nALL DEVICES ALREADY REGISTERED"));
    QCOMPARE(addForm->currentPage(), 0);
}

void TestDeviceForms::typeGridHoldsFiveTypesPerRow()
{
    // Three more types beside the three samples.
    const QDir folder(workDir->filePath(QStringLiteral("deviceFolder")));
    QFile sample(folder.filePath(QStringLiteral("th-sensor.json")));
    QVERIFY(sample.open(QIODevice::ReadOnly));
    const QByteArray text = sample.readAll();
    for (int i = 4; i <= 6; ++i) {
        QFile copy(folder.filePath(QStringLiteral("extra%1.json").arg(i)));
        QVERIFY(copy.open(QIODevice::WriteOnly));
        copy.write(QByteArray(text).replace("A1B2C3D400000001", "A1B2C3D40000000" + QByteArray::number(i)));
    }
    registry = std::make_unique<CAllDeviceHandler>();
    addForm = std::make_unique<CAddNewDeviceForm>(server.get(), db.get(), registry.get());
    QCOMPARE(registry->getDeviceTypeList().size(), 6);

    for (int pass = 0; pass < 2; ++pass) {
        QVERIFY(QMetaObject::invokeMethod(addForm.get(), "refresh"));
        QGridLayout *grid = addForm->typeGrid();
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
    QStandardItemModel *regs = addForm->registerModel();
    const int sensorRows = regs->rowCount();
    QCOMPARE(sensorRows, registry->getDeviceRegisterMap(TH_APP_EUI).registers.size());

    // A scaling edit is lost when another type is selected.
    regs->setData(regs->index(0, R_GRATING), 7);
    selectDevice(QStringLiteral("0011223344550005"));
    QCOMPARE(addForm->selectedDeviceType(), BEACON_APP_EUI);
    const SDeviceTypeRegisters beacon = registry->getDeviceRegisterMap(BEACON_APP_EUI);
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
    QSignalSpy refreshed(addForm.get(), &CAbstractDeviceForm::refreshDeviceList);
    addForm->portEdit()->setText(port);
    addForm->startAddressEdit()->setText(start);
    clickOk(addForm.get());

    QCOMPARE(addForm->portIndicator()->isVisibleTo(addForm.get()), portShown);
    QCOMPARE(addForm->startIndicator()->isVisibleTo(addForm.get()), startShown);
    QCOMPARE(addForm->portIndicator()->toolTip(),
             QStringLiteral("Invalid TCP port (is used or unsupported)"));
    QCOMPARE(addForm->startIndicator()->toolTip(), QStringLiteral("Empty start address"));
    QVERIFY(db->getRegisteredDevices().isEmpty());
    QVERIFY(refreshed.isEmpty());
    QCOMPARE(addForm->result(), 0);

    // The next opening starts clean.
    QVERIFY(QMetaObject::invokeMethod(addForm.get(), "refresh"));
    QVERIFY(!addForm->portIndicator()->isVisibleTo(addForm.get()));
    QVERIFY(!addForm->startIndicator()->isVisibleTo(addForm.get()));
    QVERIFY(addForm->portEdit()->text().isEmpty());
    QVERIFY(addForm->startAddressEdit()->text().isEmpty());
}

void TestDeviceForms::okWithoutSelectedDeviceDoesNothing()
{
    connectToSimulator();
    openAddDialog();
    // Hide every device: no row is current any more.
    addForm->searchWidget()->setText(QStringLiteral("no such name"));
    addForm->searchWidget()->textChangedSlot();
    QVERIFY(!addForm->deviceView()->currentIndex().isValid());

    QSignalSpy refreshed(addForm.get(), &CAbstractDeviceForm::refreshDeviceList);
    addForm->portEdit()->setText(QString::number(freePort()));
    addForm->startAddressEdit()->setText(QStringLiteral("0"));
    clickOk(addForm.get());
    QVERIFY(db->getRegisteredDevices().isEmpty());
    QVERIFY(refreshed.isEmpty());
    QCOMPARE(logCount(QStringLiteral("INFO: [CAddNewDeviceForm::addDeviceSlot]")), 0);
}

void TestDeviceForms::registrationServesThePort()
{
    connectToSimulator();
    openAddDialog();
    selectDevice(QStringLiteral("0011223344550002"));
    const quint16 port = freePort();
    addForm->portEdit()->setText(QString::number(port));
    addForm->startAddressEdit()->setText(QStringLiteral("100"));
    // Humidity reads in tenths of a percent on this site.
    QStandardItemModel *regs = addForm->registerModel();
    for (int row = 0; row < regs->rowCount(); ++row) {
        if (regs->index(row, R_NAME).data().toString() == QStringLiteral("Humidity")) {
            regs->setData(regs->index(row, R_GRATING), 10);
            regs->setData(regs->index(row, R_START_VALUE), 5);
            regs->setData(regs->index(row, R_UNIT), QStringLiteral("%"));
        }
    }

    QSignalSpy refreshed(addForm.get(), &CAbstractDeviceForm::refreshDeviceList);
    clickOk(addForm.get());
    QCOMPARE(addForm->result(), int(QDialog::Accepted));
    QCOMPARE(refreshed.count(), 1);
    QCOMPARE(refreshed.at(0).at(0).toString(), QString());
    QCOMPARE(db->getRegisteredDevices(), QStringList({ QStringLiteral("0011223344550002") }));
    QVERIFY(registry->hasListener(port));
    QCOMPARE(logCount(QStringLiteral("INFO: [CAddNewDeviceForm::addDeviceSlot] device created successfully")),
             1);

    QSqlQuery stored = db->getRegisters(1);
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
    QSignalSpy decoded(registry.get(), &CAllDeviceHandler::newDataForDevice);
    QCOMPARE(sim->sendUplink(QStringLiteral("0011223344550002"), QByteArray::fromHex("012a0937e40c")), 1);
    QVERIFY(decoded.wait(5000));
    QCOMPARE(decoded.at(0).at(0).toString(), QStringLiteral("0011223344550002"));
    const SModbusRead read = readWhenServed(port, 100, 3);
    QVERIFY2(read.ok, qPrintable(read.error));
    QCOMPARE(read.registers, QVector<quint16>({ 0x092a, 55 * 10 + 5, 0x0ce4 }));
}

void TestDeviceForms::secondDeviceJoinsGatewaysOwnPort()
{
    const quint16 port = freePort();
    QVERIFY(registerDirectly(QStringLiteral("0011223344550001"), QStringLiteral("Boiler room"), TH_APP_EUI,
                             port, 0));
    QVERIFY(registry->hasListener(port));
    connectToSimulator();
    openAddDialog();
    selectDevice(QStringLiteral("0011223344550003"));
    addForm->portEdit()->setText(QString::number(port));
    addForm->startAddressEdit()->setText(QStringLiteral("20"));
    clickOk(addForm.get());

    QVERIFY(!addForm->portIndicator()->isVisibleTo(addForm.get()));
    QCOMPARE(addForm->result(), int(QDialog::Accepted));
    QCOMPARE(db->getRegisteredDevices().size(), 2);
    QVERIFY(logCount(QStringLiteral("port [%1] is already open").arg(port)) > 0);

    // Pulse meter: counter A 0x00010203 at byte 1, counter B, status 0x07.
    QSignalSpy decoded(registry.get(), &CAllDeviceHandler::newDataForDevice);
    QCOMPARE(sim->sendUplink(QStringLiteral("0011223344550003"),
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
    meanwhile.regList = registry->getDeviceRegisterMap(PULSE_APP_EUI).registers;
    QVERIFY(db->registerNewDevice(meanwhile, 1502));

    const quint16 port = freePort();
    addForm->portEdit()->setText(QString::number(port));
    addForm->startAddressEdit()->setText(QStringLiteral("0"));
    QSignalSpy refreshed(addForm.get(), &CAbstractDeviceForm::refreshDeviceList);
    CMessageBoxCatcher catcher;
    clickOk(addForm.get());

    QCOMPARE(catcher.texts, QStringList({ QStringLiteral("Add new device status") }));
    QCOMPARE(catcher.informativeTexts,
             QStringList({ QStringLiteral("Device is not added! See LOG-file for more details") }));
    QCOMPARE(catcher.icons.value(0), QMessageBox::Critical);
    QCOMPARE(logCount(QStringLiteral("ERROR: [CAddNewDeviceForm::addDeviceSlot] device is not created!")), 1);
    QVERIFY(refreshed.isEmpty());
    QCOMPARE(addForm->result(), 0);
    QVERIFY(!registry->hasListener(port));
    // The operator's entries stay for another try.
    QCOMPARE(addForm->portEdit()->text(), QString::number(port));
    QCOMPARE(addForm->currentPage(), 1);
}

void TestDeviceForms::showFormRunsModallyWithTitle()
{
    QString titleSeen;
    bool modal = false;
    QString statusSeen;
    QTimer::singleShot(0, addForm.get(), [&]() {
        titleSeen = addForm->windowTitle();
        modal = QApplication::activeModalWidget() == addForm.get();
        statusSeen = addForm->statusLabel()->text();
        addForm->reject();
    });
    QCOMPARE(addForm->showForm(QStringLiteral("Add new device interface")), int(QDialog::Rejected));
    QCOMPARE(titleSeen, QStringLiteral("Add new device interface"));
    QVERIFY(modal);
    QCOMPARE(statusSeen, QStringLiteral("EMPTY LIST OF\nKNOWN DEVICE TYPES"));
}

void TestDeviceForms::editDialogShowsStoredRegisters()
{
    const quint16 port = freePort();
    QVERIFY(registerDirectly(QStringLiteral("0011223344550003"), QStringLiteral("Water meter"), PULSE_APP_EUI,
                             port, 40));
    editForm->setOriginal(1, QStringLiteral("0011223344550003"), QStringLiteral("Water meter"), PULSE_APP_EUI,
                          port, 40);

    QCOMPARE(editForm->currentPage(), 1);
    QCOMPARE(editForm->portEdit()->text(), QString::number(port));
    QCOMPARE(editForm->startAddressEdit()->text(), QStringLiteral("40"));
    QVERIFY(!editForm->portEdit()->isEnabled());
    QVERIFY(!editForm->startAddressEdit()->isEnabled());
    QCOMPARE(editForm->deviceModel()->rowCount(), 1);

    // One row per field (continuation registers are not listed), ascending address.
    QStandardItemModel *regs = editForm->registerModel();
    QCOMPARE(regs->rowCount(), registry->getDeviceRegisterMap(PULSE_APP_EUI).registers.size());
    int previous = -1;
    for (int row = 0; row < regs->rowCount(); ++row) {
        QCOMPARE(regs->index(row, 0).data().toUInt(), 1u);
        QCOMPARE(regs->index(row, 1).data().toUInt(), uint(port));
        QVERIFY(regs->index(row, R_ADDR).data().toInt() > previous);
        previous = regs->index(row, R_ADDR).data().toInt();
    }
    QCOMPARE(regs->index(0, R_ADDR).data().toInt(), 40);

    // Opening another device replaces the rows.
    QVERIFY(registerDirectly(QStringLiteral("0011223344550005"), QStringLiteral("Dock beacon"),
                             BEACON_APP_EUI, port, 80));
    editForm->setOriginal(2, QStringLiteral("0011223344550005"), QStringLiteral("Dock beacon"),
                          BEACON_APP_EUI, port, 80);
    QCOMPARE(regs->rowCount(), registry->getDeviceRegisterMap(BEACON_APP_EUI).registers.size());
    QCOMPARE(regs->index(0, R_ADDR).data().toInt(), 80);
}

void TestDeviceForms::editedMultiplierScalesNextUplink()
{
    const quint16 port = freePort();
    QVERIFY(registerDirectly(QStringLiteral("0011223344550001"), QStringLiteral("Boiler room"), TH_APP_EUI,
                             port, 0));
    connectToSimulator();
    editForm->setOriginal(1, QStringLiteral("0011223344550001"), QStringLiteral("Boiler room"), TH_APP_EUI,
                          port, 0);
    QStandardItemModel *regs = editForm->registerModel();
    int batteryRow = -1;
    for (int row = 0; row < regs->rowCount(); ++row)
        if (regs->index(row, R_NAME).data().toString() == QStringLiteral("Battery"))
            batteryRow = row;
    QVERIFY(batteryRow >= 0);
    regs->setData(regs->index(batteryRow, R_GRATING), 2);
    regs->setData(regs->index(batteryRow, R_START_VALUE), 100);
    regs->setData(regs->index(batteryRow, R_UNIT), QStringLiteral("mV"));

    QSignalSpy refreshed(editForm.get(), &CAbstractDeviceForm::refreshDeviceList);
    clickOk(editForm.get());
    QCOMPARE(editForm->result(), int(QDialog::Accepted));
    QCOMPARE(refreshed.count(), 1);
    QCOMPARE(logCount(QStringLiteral("INFO: [CEditDeviceForm::updateDeviceSlot] device's register update "
                                     "successfully")),
             1);
    const SRegisterParam param = db->getRegisterParam(QStringLiteral("0011223344550001"), 2);
    QCOMPARE(param.gratingPeriod, 2);
    QCOMPARE(param.startValue, 100);
    QCOMPARE(param.unit, QStringLiteral("mV"));
    // Untouched rows were written back unchanged.
    QCOMPARE(db->getRegisterParam(QStringLiteral("0011223344550001"), 0).gratingPeriod, 1);

    QSignalSpy decoded(registry.get(), &CAllDeviceHandler::newDataForDevice);
    QCOMPARE(sim->sendUplink(QStringLiteral("0011223344550001"), QByteArray::fromHex("012a0937e40c")), 1);
    QVERIFY(decoded.wait(5000));
    const SModbusRead read = readWhenServed(port, 0, 3);
    QVERIFY2(read.ok, qPrintable(read.error));
    QCOMPARE(read.registers, QVector<quint16>({ 0x092a, 55, 3300 * 2 + 100 }));
}

QTEST_MAIN(TestDeviceForms)
#include "tst_deviceforms.moc"
