#pragma once

#include "gui/abstractdeviceform.h"
#include "serverlink/apirecords.h"

#include <QList>

// Puts a device of the network server into service: lists the server's devices
// of known types that are not registered yet, checks port and start address
// (and, beyond the described dialog, that the device's registers fit inside
// 0..65535 beside the port's other devices), stores the device with its
// register map and opens its Modbus port.
class CAddNewDeviceForm : public CAbstractDeviceForm
{
    Q_OBJECT

public:
    // Takes the server's device lists from the gateway by itself.
    explicit CAddNewDeviceForm(CGateway &gateway, QWidget *parent = nullptr);

    QString selectedDeviceType() const { return selectedType; }

signals:
    // The device is stored and served; the window selects it.
    void deviceAdded(QString devEui);

public slots:
    void getDevicesListRespSlot(bool status, QList<API::SServerDeviceInfo> _regInfoList);

protected slots:
    void deviceSearchNameSlot(QString str) override;
    void refresh() override;
    void deviceListSelectSlot(QItemSelection item1, QItemSelection item2) override;
    void addDeviceSlot() override;

private:
    // Row of the device model behind the view's current index, -1 without one.
    int currentDeviceRow() const;
    bool checkPort(const QString &text, uint16_t *port);
    void showFailureMessage();

    bool m_refused = false; // the answer coming is the server's refusal
};
