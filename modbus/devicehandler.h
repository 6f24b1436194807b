#pragma once

#include "modbus/modbusconfig.h"
#include "modbus/modbuspoller.h"

#include <QHostAddress>
#include <QObject>
#include <QString>

#include <cstdint>

class CLogLimiter;
class IRegisterSource;

// The listener of one TCP port (the class keeps the name it was given when it
// also kept the port's devices): every device registered on the port shares
// its register address space; each accepted connection answers on its own.
// CModbusService decides when a port opens and closes.
class CDeviceHandler : public QObject, private CModbusPoller::IClient
{
    Q_OBJECT

public:
    // Starts listening at once on the configured address (port 0: a port the
    // system picks, see getPort()); isListening() and listenError() tell how
    // that went, and a failure is logged. The connections read their
    // registers from `source`, which must outlive the listener and its
    // connections; the configured cap applies to every accept.
    CDeviceHandler(uint16_t port, IRegisterSource &source, const SModbusConfig &config = SModbusConfig());
    ~CDeviceHandler() override;

    uint16_t getPort() const { return m_port; }
    bool isListening() const { return m_descriptor >= 0; }
    // The address listened on (QHostAddress::Any for all interfaces).
    QHostAddress serverAddress() const;
    // Stops listening; connections already accepted go on.
    void close();
    // Why the port could not be opened; empty while listening.
    QString listenError() const { return m_listenError; }

    // Takes the allow list of `config` ([modbus] allow read again) for the
    // connections to come, and closes the open ones it does not admit;
    // returns how many.
    int setAllowList(const SModbusConfig &config);

    // Listeners open in this process (each holds a descriptor).
    static int openListeners();
    // Connections closed at once because [modbus] allow does not name their
    // address, over all listeners since the start.
    static quint64 refusedConnections();
    // A peer address as the log shows it (mapped IPv6 as IPv4).
    static QString peerText(const QHostAddress &peer);
    // How long accepting pauses after the process ran out of descriptors.
    static constexpr int AcceptRetryMs = 250;
    // Connections taken per pass of the event loop.
    static constexpr int AcceptsPerPass = 64;

private:
    void descriptorReady(uint32_t events) override;
    void incomingConnection(int socketDescriptor);
    void acceptFailed(int error);
    bool openSocket(uint16_t port);
    static CLogLimiter &overloadLog();

    uint16_t m_port = 0;
    int m_descriptor = -1;
    bool m_accepting = false; // false while descriptors ran out
    IRegisterSource &m_source;
    SModbusConfig m_config;
    QString m_listenError;
};
