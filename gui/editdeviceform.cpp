#include "gui/editdeviceform.h"

#include "app/logfile.h"
#include "core/gateway.h"
#include "gui/searcheditwidget.h"

#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QStandardItemModel>

CEditDeviceForm::CEditDeviceForm(CGateway &_gateway, QWidget *parent)
    : CAbstractDeviceForm(_gateway, parent)
{
    titleLab->setText(tr("Edit device's parameters interface"));

    // One fixed device: no filtering proxy, no search.
    devView->setModel(devModel);
    connect(devView->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &CEditDeviceForm::deviceListSelectSlot);
    searchEdit->hide();

    portLine->setEnabled(false);
    startLine->setEnabled(false);
    showDeviceList();
}

void CEditDeviceForm::setOriginal(uint32_t _deviceId, QString _devEui, QString _devName, QString _appEui,
                                  uint16_t _port, uint32_t _startAddr, int _unitId)
{
    devModel->removeRows(0, devModel->rowCount());
    devModel->insertRow(0);
    devModel->setData(devModel->index(0, DEV_ID), _deviceId);
    devModel->setData(devModel->index(0, DEV_DEV_EUI), _devEui);
    devModel->setData(devModel->index(0, DEV_NAME), _devName);
    devModel->setData(devModel->index(0, DEV_APP_EUI), _appEui);
    devModel->setData(devModel->index(0, DEV_PORT), _port);
    devModel->setData(devModel->index(0, DEV_START_ADDR), _startAddr);
    devView->setCurrentIndex(devModel->index(0, 0));

    portLine->setText(QString::number(_port));
    startLine->setText(QString::number(_startAddr));
    unitLine->setText(_unitId > 0 ? QString::number(_unitId) : QString());
    unitInd->hide();
}

void CEditDeviceForm::deviceListSelectSlot(QItemSelection, QItemSelection)
{
    regModel->removeRows(0, regModel->rowCount());
    if (devModel->rowCount() == 0)
        return;

    const uint32_t deviceId = devModel->index(0, DEV_ID).data().toUInt();
    const QVariant port = devModel->index(0, DEV_PORT).data();
    for (const SDeviceRegister &reg : gateway.deviceRegisters(deviceId)) {
        const int r = regModel->rowCount();
        regModel->insertRow(r);
        regModel->setData(regModel->index(r, REG_DEVICE), deviceId);
        regModel->setData(regModel->index(r, REG_PORT), port);
        regModel->setData(regModel->index(r, REG_ADDR), reg.address);
        regModel->setData(regModel->index(r, REG_START_VALUE), reg.extraValue);
        regModel->setData(regModel->index(r, REG_GRATING_PERIOD), reg.multiplier);
        regModel->setData(regModel->index(r, REG_BIT_SIZE), reg.bitSize);
        regModel->setData(regModel->index(r, REG_DATA_TYPE), reg.dataType);
        regModel->setData(regModel->index(r, REG_NAME), reg.name);
        regModel->setData(regModel->index(r, REG_SOURCE), reg.source);
        regModel->setData(regModel->index(r, REG_UNIT), reg.unit);
    }
}

void CEditDeviceForm::refresh()
{
    rebuildTypeGrid();
}

void CEditDeviceForm::deviceSearchNameSlot(QString)
{
}

void CEditDeviceForm::addDeviceSlot()
{
    int unitId = 0;
    if (!readUnitId(&unitId))
        return;
    const QString devEui = devModel->index(0, DEV_DEV_EUI).data().toString();
    SAddProblem problem;
    if (!gateway.setUnitId(devEui, unitId, &problem)) {
        unitInd->setToolTip(problem.error);
        unitInd->show();
        return;
    }
    SDeviceRegUpdate update;
    update.deviceId = devModel->index(0, DEV_ID).data().toUInt();
    update.port = static_cast<uint16_t>(devModel->index(0, DEV_PORT).data().toUInt());
    for (int r = 0; r < regModel->rowCount(); ++r) {
        SRegisterParam param;
        param.regAddr = registerCell(r, REG_ADDR).toUInt();
        param.startValue = registerCell(r, REG_START_VALUE).toInt();
        param.gratingPeriod = registerCell(r, REG_GRATING_PERIOD).toInt();
        param.unit = registerCell(r, REG_UNIT).toString();
        update.params << param;
    }
    gateway.updateScaling(update);
    addLog(QStringLiteral("INFO: [CEditDeviceForm::updateDeviceSlot] device's register update successfully"));
    accept();
    emit refreshDeviceList(QString());
}
