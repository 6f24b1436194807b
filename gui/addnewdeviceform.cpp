#include "gui/addnewdeviceform.h"

#include "app/logfile.h"
#include "core/gateway.h"
#include "gui/devicesearchmodel.h"

#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardItemModel>

#include <utility>

namespace {

const int MAX_REGISTER_ADDRESS = 65535;

} // namespace

CAddNewDeviceForm::CAddNewDeviceForm(CGateway &_gateway, QWidget *parent)
    : CAbstractDeviceForm(_gateway, parent)
{
    connect(&gateway, &CGateway::serverDevicesRefused, this, [this]() { m_refused = true; });
    connect(&gateway, &CGateway::serverDevicesReceived, this, &CAddNewDeviceForm::getDevicesListRespSlot);
}

void CAddNewDeviceForm::refresh()
{
    portInd->hide();
    startInd->hide();
    unitInd->hide();
    portLine->clear();
    startLine->clear();
    unitLine->clear();

    rebuildTypeGrid();

    // Rows of an earlier opening must not be registrable while the new answer
    // is still pending.
    devModel->removeRows(0, devModel->rowCount());
    regModel->removeRows(0, regModel->rowCount());
    selectedType.clear();

    if (!gateway.requestServerDevices())
        showStatus(tr("EMPTY LIST OF\nKNOWN DEVICE TYPES"));
    else
        showStatus(tr("WAITING..."));
}

void CAddNewDeviceForm::getDevicesListRespSlot(bool status, QList<API::SServerDeviceInfo> _regInfoList)
{
    const bool refused = std::exchange(m_refused, false);
    if (!status) {
        showStatus(refused ? tr("SERVER REFUSED") : tr("SERVER TIMEOUT"));
        return;
    }
    if (_regInfoList.isEmpty()) {
        showStatus(tr("EMPTY DEVICE LIST\nFROM SERVER"));
        return;
    }

    devModel->removeRows(0, devModel->rowCount());
    for (const API::SServerDeviceInfo &info : gateway.addableDevices(_regInfoList)) {
        const int row = devModel->rowCount();
        devModel->insertRow(row);
        devModel->setData(devModel->index(row, DEV_NAME), info.devName);
        devModel->setData(devModel->index(row, DEV_APP_EUI), info.appEui);
        devModel->setData(devModel->index(row, DEV_DEV_EUI), info.devEui);
    }

    if (devModel->rowCount() == 0) {
        showStatus(tr("NOT NEW DEVICES\nALL DEVICES ALREADY REGISTERED"));
        return;
    }
    showDeviceList();
    devView->setCurrentIndex(devProxy->index(0, 0));
}

void CAddNewDeviceForm::deviceSearchNameSlot(QString str)
{
    devProxy->setSearchValue(str);
}

int CAddNewDeviceForm::currentDeviceRow() const
{
    const QModelIndex current = devView->currentIndex();
    if (!current.isValid())
        return -1;
    return devProxy->mapToSource(current).row();
}

void CAddNewDeviceForm::deviceListSelectSlot(QItemSelection, QItemSelection)
{
    const int row = currentDeviceRow();
    selectedType = row < 0 ? QString() : deviceCell(row, DEV_APP_EUI);
    regModel->removeRows(0, regModel->rowCount());
    if (selectedType.isEmpty())
        return;

    for (const SRegisterDescription &reg : gateway.typeRegisters(selectedType)) {
        const int r = regModel->rowCount();
        regModel->insertRow(r);
        regModel->setData(regModel->index(r, REG_NAME), reg.name);
        regModel->setData(regModel->index(r, REG_SOURCE), reg.source);
        regModel->setData(regModel->index(r, REG_ADDR), reg.offset);
        regModel->setData(regModel->index(r, REG_BIT_SIZE), reg.bitSize);
        regModel->setData(regModel->index(r, REG_START_VALUE), reg.startValue);
        regModel->setData(regModel->index(r, REG_GRATING_PERIOD), reg.gratingPeriod);
        regModel->setData(regModel->index(r, REG_DATA_TYPE), reg.dataType);
    }
}

// A port must be a number from 1 to 65535 that this machine lets us listen
// on, unless the gateway already serves it (the device then joins that
// listener).
bool CAddNewDeviceForm::checkPort(const QString &text, uint16_t *port)
{
    bool ok = false;
    const qlonglong value = text.toLongLong(&ok);
    if (!ok || value < 1 || value > 65535)
        return false;
    *port = static_cast<uint16_t>(value);
    return gateway.portUsable(*port);
}

void CAddNewDeviceForm::addDeviceSlot()
{
    const int row = currentDeviceRow();
    if (row < 0 || deviceCell(row, DEV_DEV_EUI).isEmpty()) {
        addLog(QStringLiteral("WARNING: [CAddNewDeviceForm::addDeviceSlot] no device selected"));
        return;
    }

    const QString portText = portLine->text();
    const QString startText = startLine->text();
    const auto flagPort = [this](const QString &toolTip) {
        portInd->setToolTip(toolTip);
        portInd->show();
    };
    const auto flagStart = [this](const QString &toolTip) {
        startInd->setToolTip(toolTip);
        startInd->show();
    };
    portInd->hide();
    startInd->hide();
    if (portText.isEmpty())
        flagPort(tr("Empty TCP port"));
    if (startText.isEmpty()) {
        flagStart(tr("Empty start address"));
        return;
    }
    if (portText.isEmpty())
        return;

    bool startOk = false;
    const int startAddr = startText.toInt(&startOk);
    if (!startOk || startAddr < 0 || startAddr > MAX_REGISTER_ADDRESS) {
        flagStart(tr("Start address %1 is outside 0..65535").arg(startText));
        return;
    }

    uint16_t port = 0;
    if (!checkPort(portText, &port)) {
        flagPort(tr("Invalid TCP port %1 (is used or unsupported)").arg(portText));
        return;
    }

    int unitId = 0;
    if (!readUnitId(&unitId))
        return;
    const QString unitProblem = gateway.unitIdProblem(port, unitId);
    if (!unitProblem.isEmpty()) {
        unitInd->setToolTip(unitProblem);
        unitInd->show();
        return;
    }

    DB::SDeviceRegMapDescription description;
    description.devEui = deviceCell(row, DEV_DEV_EUI);
    description.appEui = selectedType;
    description.devName = deviceCell(row, DEV_NAME);
    description.startAddr = startAddr;
    description.unitId = uint8_t(unitId);
    for (int r = 0; r < regModel->rowCount(); ++r) {
        SRegisterDescription reg;
        reg.name = registerCell(r, REG_NAME).toString();
        reg.source = registerCell(r, REG_SOURCE).toUInt();
        reg.offset = registerCell(r, REG_ADDR).toUInt();
        reg.bitSize = registerCell(r, REG_BIT_SIZE).toUInt();
        reg.dataType = registerCell(r, REG_DATA_TYPE).toString();
        reg.startValue = registerCell(r, REG_START_VALUE).toInt();
        reg.gratingPeriod = registerCell(r, REG_GRATING_PERIOD).toUInt();
        reg.unit = registerCell(r, REG_UNIT).toString();
        description.regList << reg;
    }

    // Two devices on one address would show the operator one value and send
    // the SCADA another; an address past 65535 cannot be read at all.
    // Each unit id has registers of its own: only devices with the same one share addresses.
    const SRegisterMapConflict conflict
        = gateway.checkRegisterMap(description.regList, startAddr, port, unitId);
    if (conflict.kind == SRegisterMapConflict::PastEnd) {
        flagStart(tr("Start address %1 puts the last register at %2, past 65535")
                      .arg(startAddr)
                      .arg(conflict.lastAddress));
        return;
    }
    if (conflict.kind == SRegisterMapConflict::Overlap) {
        flagStart(unitId == 0 ? tr("Registers %1 on port %2 are held by %3")
                                    .arg(RegisterMap::rangesText(conflict.shared))
                                    .arg(port)
                                    .arg(conflict.otherName)
                              : tr("Registers %1 of unit %4 on port %2 are held by %3")
                                    .arg(RegisterMap::rangesText(conflict.shared))
                                    .arg(port)
                                    .arg(conflict.otherName)
                                    .arg(unitId));
        return;
    }

    if (!gateway.registerDevice(description, port)) {
        addLog(QStringLiteral("ERROR: [CAddNewDeviceForm::addDeviceSlot] device is not created!"));
        showFailureMessage();
        return;
    }

    addLog(QStringLiteral("INFO: [CAddNewDeviceForm::addDeviceSlot] device created successfully"));
    accept();
    emit deviceAdded(description.devEui);
    emit refreshDeviceList(QString());
}

void CAddNewDeviceForm::showFailureMessage()
{
    QMessageBox box;
    box.setText(tr("Add new device status"));
    box.setIcon(QMessageBox::Critical);
    box.setInformativeText(tr("Device is not added! See LOG-file for more details"));
    box.setStandardButtons(QMessageBox::Ok);
    box.setDefaultButton(QMessageBox::Ok);
    box.exec();
}
