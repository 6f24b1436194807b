#include "modbus/devicehandler.h"

#include "modbus/connectionhandler.h"
#include "modbus/modbuslog.h"

CDeviceHandler::CDeviceHandler(uint16_t port, IRegisterSource &source)
    : m_port(port)
    , m_source(source)
{
    // The add-device dialog tests the port beforehand; a failure leaves a
    // listener that simply never accepts.
    // Port 0 lets the system pick one; the listener then serves the port it got.
    if (listen(QHostAddress::Any, port) && port == 0)
        m_port = serverPort();
}

void CDeviceHandler::appendDevice(QString _devEui)
{
    if (m_devices.contains(_devEui)) {
        qCDebug(lcModbus).noquote()
            << QStringLiteral("[CDeviceHandler::appendDevice] Device [%1] already exist!").arg(_devEui);
        return;
    }
    m_devices.append(_devEui);
}

void CDeviceHandler::removeDevice(QString _devEui)
{
    m_devices.removeAll(_devEui);
}

void CDeviceHandler::incomingConnection(qintptr socketDescriptor)
{
    if (socketDescriptor <= 0)
        return;
    // Owns itself: deleted once the peer disconnects.
    auto *connection = new CConnectionHandler(m_port, m_source);
    if (!connection->setSocketDescriptor(socketDescriptor, QAbstractSocket::ConnectedState,
                                         QIODevice::ReadWrite)) {
        delete connection;
        return;
    }
    // Requests are small and answered one by one; Nagle would hold each answer back.
    connection->setSocketOption(QAbstractSocket::LowDelayOption, 1);
}
