#pragma once

#include <QStringList>
#include <QTcpServer>

#include <cstdint>

class IRegisterSource;

// Listener for one TCP port: every device registered on the port shares its
// register address space; each accepted connection answers on its own.
class CDeviceHandler : public QTcpServer
{
    Q_OBJECT

public:
    // Starts listening on all local addresses at once (port 0: a port the
    // system picks, see getPort()). The connections read their registers from
    // `source`, which must outlive the listener and its connections.
    CDeviceHandler(uint16_t port, IRegisterSource &source);

    uint16_t getPort() const { return m_port; }
    QStringList getDeviceList() const { return m_devices; }

public slots:
    void appendDevice(QString _devEui);
    void removeDevice(QString _devEui);

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private:
    uint16_t m_port = 0;
    IRegisterSource &m_source;
    QStringList m_devices;
};
