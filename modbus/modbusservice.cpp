#include "modbus/modbusservice.h"

#include "app/logfile.h"
#include "modbus/connectionhandler.h"
#include "modbus/devicehandler.h"
#include "modbus/modbusconfig.h"

CModbusService::CModbusService(const SModbusConfig &config)
    : m_config(config)
{
}

CModbusService::~CModbusService()
{
    for (const SPort &port : qAsConst(m_ports))
        delete port.listener;
}

bool CModbusService::addDevice(uint16_t port)
{
    auto it = m_ports.find(port);
    if (it != m_ports.end()) {
        addLog(QStringLiteral("INFO: [CAllDeviceHandler::addNewDevice] port [%1] is already open").arg(port));
        ++it->devices;
        return true;
    }
    auto *listener = new CDeviceHandler(port, m_image, m_config);
    // A listener on nothing would make the port look taken by us.
    if (!listener->isListening()) {
        delete listener;
        return false;
    }
    m_ports.insert(port, { listener, 1 });
    return true;
}

void CModbusService::removeDevice(uint16_t port)
{
    auto it = m_ports.find(port);
    if (it == m_ports.end()) {
        addLog(QStringLiteral("WARNING: [CAllDeviceHandler::removeDevice] uncknown port [%1]!").arg(port));
        return;
    }
    if (--it->devices > 0)
        return;
    // Stop accepting at once; the object itself goes on the next loop pass.
    it->listener->close();
    it->listener->deleteLater();
    m_ports.erase(it);
}

int CModbusService::connections(uint16_t port) const
{
    const auto it = m_ports.constFind(port);
    if (it == m_ports.cend())
        return 0;
    return it->listener->findChildren<CConnectionHandler *>(QString(), Qt::FindDirectChildrenOnly).size();
}

int CModbusService::setAllowList(const SModbusConfig &config)
{
    m_config.restricted = config.restricted;
    m_config.allow = config.allow;
    int closed = 0;
    for (const SPort &port : qAsConst(m_ports))
        closed += port.listener->setAllowList(config);
    return closed;
}
