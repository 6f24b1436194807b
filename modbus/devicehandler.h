#pragma once

#include <QStringList>
#include <QTcpServer>

#include <cstdint>

class CLogLimiter;
class IRegisterSource;

// Listener for one TCP port: every device registered on the port shares its
// register address space; each accepted connection answers on its own.
class CDeviceHandler : public QTcpServer
{
    Q_OBJECT

public:
    // Starts listening at once on the address of Modbus::config() (port 0: a
    // port the system picks, see getPort()); isListening() and listenError()
    // tell how that went, and a failure is logged. The connections read their
    // registers from `source`, which must outlive the listener and its
    // connections.
    CDeviceHandler(uint16_t port, IRegisterSource &source);
    ~CDeviceHandler() override;

    uint16_t getPort() const { return m_port; }
    QStringList getDeviceList() const { return m_devices; }
    // Why the port could not be opened; empty while listening.
    QString listenError() const { return m_listenError; }

    // Listeners open in this process (each holds a descriptor).
    static int openListeners();
    // How long accepting pauses after the process ran out of descriptors.
    static constexpr int AcceptRetryMs = 250;

public slots:
    void appendDevice(QString _devEui);
    void removeDevice(QString _devEui);

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private:
    bool openSocket(uint16_t port);
    void acceptErrorSlot(QAbstractSocket::SocketError error);
    static CLogLimiter &overloadLog();

    uint16_t m_port = 0;
    IRegisterSource &m_source;
    QStringList m_devices;
    QString m_listenError;
};
