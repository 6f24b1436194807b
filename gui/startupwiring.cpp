#include "gui/startupwiring.h"

#include "devices/alldevicehandler.h"
#include "gui/addnewdeviceform.h"
#include "serverlink/serverhandler.h"

void connectStartupSignals(CServerHandler *server, CAllDeviceHandler *registry, CAddNewDeviceForm *addForm)
{
    if (registry)
        QObject::connect(server, &CServerHandler::newPacketReceived, registry,
                         &CAllDeviceHandler::newPacketReceivedSlot, Qt::QueuedConnection);
    if (addForm)
        QObject::connect(server, &CServerHandler::getDevicesListResp, addForm,
                         &CAddNewDeviceForm::getDevicesListRespSlot, Qt::QueuedConnection);
}
