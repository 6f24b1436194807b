#include "gui/addnewdeviceform.h"
#include "gui/editdeviceform.h"
#include "gui/searcheditwidget.h"
#include "gui/simpleregistereditwidget.h"
#include "tests/testkit/gatewayrig.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardItemModel>
#include <QToolTip>

using namespace testkit;

// Register rows of the dialogs, in stored column order.
enum { R_ADDR = 2, R_START_VALUE = 3, R_GRATING = 4, R_NAME = 10, R_UNIT = 11 };

// The rig with the two dialogs built on its gateway.
struct SFormsRig : CGatewayRig
{
    bool setUp()
    {
        if (!CGatewayRig::setUp())
            return false;
        addForm = std::make_unique<CAddNewDeviceForm>(*gateway);
        editForm = std::make_unique<CEditDeviceForm>(*gateway);
        return true;
    }
    void tearDown()
    {
        QCoreApplication::processEvents();
        addForm.reset();
        editForm.reset();
        CGatewayRig::tearDown();
    }

    std::unique_ptr<CAddNewDeviceForm> addForm;
    std::unique_ptr<CEditDeviceForm> editForm;
};

class tst_DeviceForms : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init() { QVERIFY(rig.setUp()); }
    void cleanup() { rig.tearDown(); }

    void addDialogStatus_data();
    void addDialogStatus();
    void listsOnlyNewDevicesOfKnownTypes();
    void typeGridShowsEachTypeOnce();
    void okRefusesBadEntries_data();
    void okRefusesBadEntries();
    void registrationServesThePort();
    void refusedRegistrationKeepsDialogOpen();
    void editedMultiplierScalesNextUplink();
    void unitIdInBothDialogs();
    void negativeExtraValueRoundTrips();
    void addDialogNamesOverlapsAndRange();
    void registerRowsHintAtScaling();

private:
    // Opens the add dialog's list and waits for the server's answer.
    void openAddDialog();
    void selectDevice(const QString &devEui);
    void fillAndOk(CAbstractDeviceForm *form, const QString &port, const QString &start);
    // Accepting buttons come first in a button box.
    static void clickOk(CAbstractDeviceForm *form) { form->buttonBox()->buttons().constFirst()->click(); }
    static int rowNamed(QStandardItemModel *regs, const char *name)
    {
        const QList<QStandardItem *> found = regs->findItems(QLatin1String(name), Qt::MatchExactly, R_NAME);
        return found.isEmpty() ? -1 : found.first()->row();
    }

    QTemporaryDir logDir;
    SFormsRig rig;
};

void tst_DeviceForms::initTestCase()
{
    QVERIFY(logDir.isValid());
    CLogFile::getInstance(logDir.filePath(QStringLiteral("history.log")));
}

void tst_DeviceForms::openAddDialog()
{
    QSignalSpy answer(rig.server, &CServerHandler::getDevicesListResp);
    QVERIFY(QMetaObject::invokeMethod(rig.addForm.get(), "refresh"));
    QCOMPARE(rig.addForm->statusLabel()->text(), QStringLiteral("WAITING..."));
    QVERIFY(answer.wait(WAIT_MS));
    // The answer reaches the dialog through a queued connection.
    QTRY_VERIFY(rig.addForm->currentPage() == 1
                || rig.addForm->statusLabel()->text() != QStringLiteral("WAITING..."));
}

void tst_DeviceForms::selectDevice(const QString &devEui)
{
    QAbstractItemModel *model = rig.addForm->deviceView()->model();
    for (int row = 0; row < model->rowCount(); ++row)
        if (model->index(row, 3).data().toString() == devEui)
            return rig.addForm->deviceView()->setCurrentIndex(model->index(row, 0));
    QFAIL(qPrintable(devEui + QStringLiteral(" not listed")));
}

void tst_DeviceForms::fillAndOk(CAbstractDeviceForm *form, const QString &port, const QString &start)
{
    form->portEdit()->setText(port);
    form->startAddressEdit()->setText(start);
    clickOk(form);
}

void tst_DeviceForms::addDialogStatus_data()
{
    QTest::addColumn<QString>("server");
    QTest::addColumn<QString>("status");

    QTest::newRow("not connected") << QStringLiteral("offline")
                                   << QStringLiteral("EMPTY LIST OF\nKNOWN DEVICE TYPES");
    QTest::newRow("refused") << QStringLiteral("refusing") << QStringLiteral("SERVER REFUSED");
    QTest::newRow("no devices") << QStringLiteral("empty")
                                << QStringLiteral("EMPTY DEVICE LIST\nFROM SERVER");
    QTest::newRow("all registered") << QStringLiteral("known")
                                    << QStringLiteral("NOT NEW DEVICES\nALL DEVICES ALREADY REGISTERED");
}

void tst_DeviceForms::addDialogStatus()
{
    QFETCH(QString, server);
    QFETCH(QString, status);

    SSimScenario scenario = sampleScenario();
    if (server == QStringLiteral("empty"))
        scenario.devices.clear();
    rig.sim->setScenario(scenario);
    if (server == QStringLiteral("refusing"))
        rig.sim->setDevicesMode(CNetworkServerSim::DEVICES_REFUSE);
    for (int sample = 1; server == QStringLiteral("known") && sample <= 5; ++sample)
        QVERIFY(rig.storeDevice(sample, 15020));
    if (server == QStringLiteral("offline")) {
        QVERIFY(QMetaObject::invokeMethod(rig.addForm.get(), "refresh"));
        QVERIFY(rig.logCount(QStringLiteral("Invalid connection to server")) > 0);
    } else {
        rig.connectToSimulator();
        openAddDialog();
    }
    QTRY_COMPARE(rig.addForm->statusLabel()->text(), status);
    QCOMPARE(rig.addForm->currentPage(), 0);
}

void tst_DeviceForms::listsOnlyNewDevicesOfKnownTypes()
{
    // The server lists everything it has, unknown types included.
    SSimScenario scenario = sampleScenario();
    scenario.listAll = true;
    rig.sim->setScenario(scenario);
    QVERIFY(rig.storeDevice(1, freePort(), 0, true));
    rig.connectToSimulator();
    openAddDialog();

    QCOMPARE(rig.addForm->currentPage(), 1);
    QStringList listed;
    for (int row = 0; row < rig.addForm->deviceModel()->rowCount(); ++row)
        listed << rig.addForm->deviceModel()->index(row, 3).data().toString();
    QCOMPARE(listed, QStringList({ sampleEui(2), sampleEui(3), sampleEui(4), sampleEui(5) }));
    // The first device is selected and its register map is shown.
    QCOMPARE(rig.addForm->deviceView()->currentIndex().row(), 0);
    QCOMPARE(rig.addForm->selectedDeviceType(), TH_APP_EUI);

    // Selecting another type shows that type's registers.
    selectDevice(sampleEui(5));
    QCOMPARE(rig.addForm->selectedDeviceType(), BEACON_APP_EUI);
    QCOMPARE(rig.addForm->registerModel()->rowCount(),
             rig.registry->getDeviceRegisterMap(BEACON_APP_EUI).registers.size());
}

void tst_DeviceForms::typeGridShowsEachTypeOnce()
{
    // A second opening must not stack the labels twice.
    for (int pass = 0; pass < 2; ++pass) {
        QVERIFY(QMetaObject::invokeMethod(rig.addForm.get(), "refresh"));
        QCOMPARE(rig.addForm->typeGrid()->count(), 3);
    }
    auto *first = qobject_cast<QLabel *>(rig.addForm->typeGrid()->itemAtPosition(0, 0)->widget());
    QVERIFY(first && first->styleSheet().contains(QStringLiteral("#3f92d2")));
    QCOMPARE(first->text(), QStringLiteral("TH-Sense 20"));
}

void tst_DeviceForms::okRefusesBadEntries_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("search");
    QTest::addColumn<bool>("portShown");
    QTest::addColumn<bool>("startShown");

    const QString none, free = QStringLiteral("free"), zero = QStringLiteral("0");
    QTest::newRow("start empty") << free << none << none << false << true;
    QTest::newRow("port zero") << zero << zero << none << true << false;
    // 70000 cut to 16 bits would be 4464: refused instead.
    QTest::newRow("port above 65535") << QStringLiteral("70000") << zero << none << true << false;
    QTest::newRow("port of another program") << QStringLiteral("busy") << zero << none << true << false;
    QTest::newRow("negative start") << free << QStringLiteral("-4") << none << false << true;
    // No row is current once the search hides every device.
    QTest::newRow("no device selected") << free << zero << QStringLiteral("no such name") << false << false;
}

void tst_DeviceForms::okRefusesBadEntries()
{
    QFETCH(QString, port);
    QFETCH(QString, start);
    QFETCH(QString, search);
    QFETCH(bool, portShown);
    QFETCH(bool, startShown);

    QTcpServer otherProgram;
    QVERIFY(otherProgram.listen(QHostAddress::Any, 0));
    if (port == QStringLiteral("busy"))
        port = QString::number(otherProgram.serverPort());
    else if (port == QStringLiteral("free"))
        port = QString::number(freePort());

    rig.connectToSimulator();
    openAddDialog();
    if (!search.isEmpty()) {
        rig.addForm->searchWidget()->setText(search);
        rig.addForm->searchWidget()->textChangedSlot();
        QVERIFY(!rig.addForm->deviceView()->currentIndex().isValid());
    }
    QSignalSpy refreshed(rig.addForm.get(), &CAbstractDeviceForm::refreshDeviceList);
    fillAndOk(rig.addForm.get(), port, start);

    QCOMPARE(rig.addForm->portIndicator()->isVisibleTo(rig.addForm.get()), portShown);
    QCOMPARE(rig.addForm->startIndicator()->isVisibleTo(rig.addForm.get()), startShown);
    QVERIFY(rig.db->getRegisteredDevices().isEmpty());
    QVERIFY(refreshed.isEmpty());
    QCOMPARE(rig.addForm->result(), 0);

    // The next opening starts clean.
    QVERIFY(QMetaObject::invokeMethod(rig.addForm.get(), "refresh"));
    QVERIFY(!rig.addForm->portIndicator()->isVisibleTo(rig.addForm.get()));
    QVERIFY(!rig.addForm->startIndicator()->isVisibleTo(rig.addForm.get()));
    QVERIFY(rig.addForm->portEdit()->text().isEmpty());
}

void tst_DeviceForms::registrationServesThePort()
{
    rig.connectToSimulator();
    openAddDialog();
    selectDevice(sampleEui(2));
    // Humidity reads in tenths of a percent on this site.
    QStandardItemModel *regs = rig.addForm->registerModel();
    const int humidity = rowNamed(regs, "Humidity");
    QVERIFY(humidity >= 0);
    regs->setData(regs->index(humidity, R_GRATING), 10);
    regs->setData(regs->index(humidity, R_START_VALUE), 5);

    const quint16 port = freePort();
    QSignalSpy refreshed(rig.addForm.get(), &CAbstractDeviceForm::refreshDeviceList);
    fillAndOk(rig.addForm.get(), QString::number(port), QStringLiteral("100"));
    QCOMPARE(rig.addForm->result(), int(QDialog::Accepted));
    QCOMPARE(refreshed.count(), 1);
    QCOMPARE(refreshed.at(0).at(0).toString(), QString());
    QCOMPARE(rig.db->getRegisteredDevices(), QStringList({ sampleEui(2) }));
    QCOMPARE(
        rig.logCount(QStringLiteral("INFO: [CAddNewDeviceForm::addDeviceSlot] device created successfully")),
        1);

    // The start address shifts the template's offsets; the scaling applies.
    QVERIFY(rig.uplink(2, TH_PAYLOAD));
    const SModbusRead read = readServed(port, 100, 3);
    QVERIFY2(read.ok, qPrintable(read.errorText()));
    QCOMPARE(read.registers, QVector<quint16>({ 0x092a, 55 * 10 + 5, 0x0ce4 }));

    // The gateway's own port is not "in use": a second device joins it.
    openAddDialog();
    selectDevice(sampleEui(3));
    fillAndOk(rig.addForm.get(), QString::number(port), QStringLiteral("20"));
    QVERIFY(!rig.addForm->portIndicator()->isVisibleTo(rig.addForm.get()));
    QCOMPARE(rig.db->getRegisteredDevices().size(), 2);
    QVERIFY(rig.logCount(QStringLiteral("port [%1] is already open").arg(port)) > 0);
}

void tst_DeviceForms::refusedRegistrationKeepsDialogOpen()
{
    rig.connectToSimulator();
    openAddDialog();
    selectDevice(sampleEui(4));
    // Registered behind the dialog's back since the list was fetched.
    QVERIFY(rig.storeDevice(4, 1502));

    const QString port = QString::number(freePort());
    QSignalSpy refreshed(rig.addForm.get(), &CAbstractDeviceForm::refreshDeviceList);
    // The message box runs modally inside the click.
    QStringList box;
    QObject watch; // ends the watching with this test
    QTimer::singleShot(0, &watch, [&box]() {
        if (auto *shown = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            box << shown->text() << shown->informativeText() << QString::number(shown->icon());
            shown->done(QMessageBox::Ok);
        }
    });
    fillAndOk(rig.addForm.get(), port, QStringLiteral("0"));
    QCOMPARE(box,
             QStringList({ QStringLiteral("Add new device status"),
                           QStringLiteral("Device is not added! See LOG-file for more details"),
                           QString::number(QMessageBox::Critical) }));
    QCOMPARE(rig.logCount(QStringLiteral("ERROR: [CAddNewDeviceForm::addDeviceSlot] device is not created!")),
             1);
    QVERIFY(refreshed.isEmpty());
    QCOMPARE(rig.addForm->result(), 0);
    QVERIFY(!rig.serving(port.toUShort()));
    // The operator's entries stay for another try.
    QCOMPARE(rig.addForm->portEdit()->text(), port);
    QCOMPARE(rig.addForm->currentPage(), 1);
}

void tst_DeviceForms::editedMultiplierScalesNextUplink()
{
    const quint16 port = freePort();
    QVERIFY(rig.storeDevice(1, port, 10, true));
    rig.connectToSimulator();
    rig.editForm->setOriginal(1, sampleEui(1), QStringLiteral("Boiler room"), TH_APP_EUI, port, 10);
    QCOMPARE(rig.editForm->currentPage(), 1);
    QStandardItemModel *regs = rig.editForm->registerModel();
    QCOMPARE(regs->rowCount(), rig.registry->getDeviceRegisterMap(TH_APP_EUI).registers.size());
    QCOMPARE(regs->index(0, R_ADDR).data().toInt(), 10);
    const int battery = rowNamed(regs, "Battery");
    QVERIFY(battery >= 0);
    const uint batteryAddr = regs->index(battery, R_ADDR).data().toUInt();
    regs->setData(regs->index(battery, R_GRATING), 2);
    regs->setData(regs->index(battery, R_START_VALUE), 100);
    regs->setData(regs->index(battery, R_UNIT), QStringLiteral("mV"));

    QSignalSpy refreshed(rig.editForm.get(), &CAbstractDeviceForm::refreshDeviceList);
    clickOk(rig.editForm.get());
    QCOMPARE(rig.editForm->result(), int(QDialog::Accepted));
    QCOMPARE(refreshed.count(), 1);
    const SRegisterParam param = rig.db->getRegisterParam(sampleEui(1), batteryAddr);
    QCOMPARE(QVariantList({ param.gratingPeriod, param.startValue, param.unit }),
             QVariantList({ 2, 100, QStringLiteral("mV") }));

    QVERIFY(rig.uplink(1, TH_PAYLOAD));
    const SModbusRead read = readServed(port, 10, 3);
    QVERIFY2(read.ok, qPrintable(read.errorText()));
    // The rows left alone were written back unchanged.
    QCOMPARE(read.registers, QVector<quint16>({ 0x092a, 55, 3300 * 2 + 100 }));
}

// The add dialog gives a unit id, refuses one outside 1..247 or taken on the
// port; the edit dialog shows it, changes it, and takes it away (empty).
void tst_DeviceForms::unitIdInBothDialogs()
{
    const quint16 port = freePort();
    rig.connectToSimulator();
    openAddDialog();
    selectDevice(sampleEui(2));
    QCOMPARE(rig.addForm->unitIdEdit()->text(), QString());
    rig.addForm->unitIdEdit()->setText(QStringLiteral("248"));
    fillAndOk(rig.addForm.get(), QString::number(port), QStringLiteral("0"));
    QVERIFY(rig.addForm->unitIdIndicator()->isVisibleTo(rig.addForm.get()));
    QCOMPARE(rig.addForm->result(), 0);
    rig.addForm->unitIdEdit()->setText(QStringLiteral("5"));
    fillAndOk(rig.addForm.get(), QString::number(port), QStringLiteral("0"));
    QCOMPARE(rig.addForm->result(), int(QDialog::Accepted));
    QCOMPARE(rig.gateway->device(sampleEui(2)).unitId, 5);

    openAddDialog();
    selectDevice(sampleEui(1));
    rig.addForm->unitIdEdit()->setText(QStringLiteral("5"));
    fillAndOk(rig.addForm.get(), QString::number(port), QStringLiteral("0"));
    QVERIFY(rig.addForm->unitIdIndicator()->isVisibleTo(rig.addForm.get()));
    QCOMPARE(rig.addForm->unitIdIndicator()->toolTip(), QStringLiteral("unit id already used on the port"));
    QVERIFY(!rig.gateway->isRegistered(sampleEui(1)));
    // the same unit id on another port is another device's to have
    rig.addForm->unitIdEdit()->setText(QString());
    fillAndOk(rig.addForm.get(), QString::number(port), QStringLiteral("0"));
    QCOMPARE(rig.gateway->device(sampleEui(1)).unitId, 0);

    // both start at 0: unit 5 reads the one, any other unit the other
    QVERIFY(rig.uplink(2, TH_PAYLOAD));
    QCOMPARE(runModbusClient(port, 5, readCall(0, 1)).registers, QVector<quint16>({ 0x092a }));
    QCOMPARE(runModbusClient(port, 1, readCall(0, 1)).registers, QVector<quint16>({ 0 }));

    const SRegisteredDevice added = rig.gateway->device(sampleEui(2));
    rig.editForm->setOriginal(added.id, added.devEui, added.name, added.appEui, added.port,
                              uint32_t(added.startAddr), added.unitId);
    QCOMPARE(rig.editForm->unitIdEdit()->text(), QStringLiteral("5"));
    rig.editForm->unitIdEdit()->setText(QStringLiteral("0"));
    clickOk(rig.editForm.get());
    QVERIFY(rig.editForm->unitIdIndicator()->isVisibleTo(rig.editForm.get()));
    rig.editForm->unitIdEdit()->setText(QStringLiteral("9"));
    clickOk(rig.editForm.get());
    QCOMPARE(rig.editForm->result(), int(QDialog::Accepted));
    QCOMPARE(rig.gateway->device(sampleEui(2)).unitId, 9);
    QCOMPARE(runModbusClient(port, 9, readCall(0, 1)).registers, QVector<quint16>({ 0x092a }));
    rig.editForm->setOriginal(added.id, added.devEui, added.name, added.appEui, added.port,
                              uint32_t(added.startAddr), 9);
    // without a unit id its registers would share 0..8 with Boiler room's: refused
    rig.editForm->unitIdEdit()->clear();
    clickOk(rig.editForm.get());
    QVERIFY(rig.editForm->unitIdIndicator()->isVisibleTo(rig.editForm.get()));
    QCOMPARE(rig.editForm->unitIdIndicator()->toolTip(),
             QStringLiteral("registers 0..8 on port %1 are held by Boiler room").arg(port));
    QCOMPARE(rig.gateway->device(sampleEui(2)).unitId, 9);
}

// -40 typed in the register editor is stored, served and shown again as -40.
void tst_DeviceForms::negativeExtraValueRoundTrips()
{
    const quint16 port = freePort();
    QVERIFY(rig.storeDevice(1, port, 10, true));
    rig.connectToSimulator();
    const auto load = [&]() {
        rig.editForm->setOriginal(1, sampleEui(1), QStringLiteral("Boiler room"), TH_APP_EUI, port, 10);
    };
    load();
    const int battery = rowNamed(rig.editForm->registerModel(), "Battery");
    QVERIFY(battery >= 0);
    // Double-clicking a row opens the same editor.
    const auto openEditor = [&](int row) -> CSimpleRegisterEditWidget * {
        QListView *view = rig.editForm->registerView();
        view->edit(rig.editForm->registerModel()->index(row, 0));
        return view->viewport()->findChild<CSimpleRegisterEditWidget *>();
    };
    CSimpleRegisterEditWidget *editor = openEditor(battery);
    QVERIFY(editor);
    const uint batteryAddr = rig.editForm->registerModel()->index(battery, R_ADDR).data().toUInt();
    editor->extraValueEdit()->clear();
    QTest::keyClicks(editor->extraValueEdit(), QStringLiteral("-40"));
    QAbstractItemDelegate *delegate = rig.editForm->registerView()->itemDelegate();
    emit delegate->commitData(editor);
    emit delegate->closeEditor(editor);
    clickOk(rig.editForm.get());
    QCOMPARE(rig.editForm->result(), int(QDialog::Accepted));
    QCOMPARE(rig.db->getRegisterParam(sampleEui(1), batteryAddr).startValue, -40);

    QVERIFY(rig.uplink(1, TH_PAYLOAD));
    const SModbusRead read = readServed(port, 12, 1);
    QVERIFY2(read.ok, qPrintable(read.errorText()));
    QCOMPARE(read.registers, QVector<quint16>({ 3300 - 40 }));

    load();
    editor = openEditor(battery);
    QVERIFY(editor);
    QCOMPARE(editor->extraValueEdit()->text(), QStringLiteral("-40"));
    QCOMPARE(rig.editForm->registerModel()->index(battery, R_START_VALUE).data().toInt(), -40);
}

// The add dialog refuses registers another device holds on the port, or past
// 65535, with a tooltip that says so; an indicator goes as soon as a field it
// judged changes.
void tst_DeviceForms::addDialogNamesOverlapsAndRange()
{
    const quint16 port = freePort();
    QVERIFY(rig.storeDevice(3, port, 0, true)); // Water meter: 0..13
    rig.connectToSimulator();
    openAddDialog();
    selectDevice(sampleEui(4)); // Gas meter, of the same type
    QPushButton *portInd = rig.addForm->portIndicator();
    QPushButton *startInd = rig.addForm->startIndicator();
    const auto shown = [&](QPushButton *indicator) { return indicator->isVisibleTo(rig.addForm.get()); };

    fillAndOk(rig.addForm.get(), QString(), QString());
    QVERIFY(shown(portInd) && shown(startInd));
    QTest::keyClicks(rig.addForm->portEdit(), QString::number(port));
    QVERIFY(!shown(portInd) && !shown(startInd));

    fillAndOk(rig.addForm.get(), QString::number(port), QStringLiteral("13"));
    QVERIFY(!shown(portInd));
    QVERIFY(shown(startInd));
    QCOMPARE(startInd->toolTip(),
             QStringLiteral("Registers 13 on port %1 are held by Water meter").arg(port));
    QTest::keyClick(rig.addForm->startAddressEdit(), Qt::Key_Backspace);
    QVERIFY(!shown(startInd));

    fillAndOk(rig.addForm.get(), QString::number(port), QStringLiteral("65530"));
    QVERIFY(shown(startInd));
    QCOMPARE(startInd->toolTip(),
             QStringLiteral("Start address 65530 puts the last register at 65543, past 65535"));
    QVERIFY(rig.db->getRegisteredDevices() == QStringList({ sampleEui(3) }));
    QCOMPARE(rig.addForm->result(), 0);

    // Touching the meter's last register is fine.
    QSignalSpy added(rig.addForm.get(), &CAddNewDeviceForm::deviceAdded);
    fillAndOk(rig.addForm.get(), QString::number(port), QStringLiteral("14"));
    QCOMPARE(rig.addForm->result(), int(QDialog::Accepted));
    QCOMPARE(added.count(), 1);
    QCOMPARE(added.at(0).at(0).toString(), sampleEui(4));
}

void tst_DeviceForms::registerRowsHintAtScaling()
{
    rig.connectToSimulator();
    openAddDialog();
    selectDevice(sampleEui(5)); // the beacon: text fields and numbers
    QListView *view = rig.addForm->registerView();
    rig.addForm->show();
    QVERIFY(QTest::qWaitForWindowExposed(rig.addForm.get()));
    QStandardItemModel *regs = rig.addForm->registerModel();
    const QList<QPair<const char *, const char *>> hints {
        { "Label", "Served as received: values of this type have no scaling" },
        { "RSSI", "Double-click to edit the scaling: ExtraValue, Multiplier and Units" },
    };
    for (const auto &[name, hint] : hints) {
        const int row = rowNamed(regs, name);
        QVERIFY(row >= 0);
        const QPoint at = view->visualRect(regs->index(row, 0)).center();
        QHelpEvent event(QEvent::ToolTip, at, view->viewport()->mapToGlobal(at));
        QApplication::sendEvent(view->viewport(), &event);
        QCOMPARE(QToolTip::text(), QString::fromLatin1(hint));
        QToolTip::hideText();
    }
    rig.addForm->hide();
}

QTEST_MAIN(tst_DeviceForms)
#include "tst_deviceforms.moc"
