#pragma once

#include "gui/abstractdeviceform.h"

#include <cstdint>

// Shows one registered device with its stored registers and writes changed
// scaling (extra value, multiplier, unit) back.
class CEditDeviceForm : public CAbstractDeviceForm
{
    Q_OBJECT

public:
    explicit CEditDeviceForm(CGateway &gateway, QWidget *parent = nullptr);

public slots:
    void setOriginal(uint32_t _deviceId, QString _devEui, QString _devName, QString _appEui, uint16_t _port,
                     uint32_t _startAddr, int _unitId = 0);

protected slots:
    void deviceSearchNameSlot(QString str) override;
    void refresh() override;
    void deviceListSelectSlot(QItemSelection item1, QItemSelection item2) override;
    void addDeviceSlot() override;
};
