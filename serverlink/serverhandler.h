#pragma once

#include "serverlink/apirecords.h"
#include "serverlink/serverstatus.h"

#include <QAbstractSocket>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <QUrl>
#include <QWebSocket>

#ifndef QT_NO_SSL
#include <QSslError>
#endif

// The gateway's one WebSocket session with the network server: probe, login,
// device list requests (one in flight at a time) and uplinks.
class CServerHandler : public QObject
{
    Q_OBJECT

public:
    explicit CServerHandler(QObject *parent = nullptr);
    ~CServerHandler() override;

    // Queues a device list request; false (and a log line) when it cannot be sent.
    bool getDevicesList(const QStringList &_appEuiList);

    // Tests shorten the protocol timers; the product keeps 2000 ms and 10000 ms.
    void setTimeoutsForTesting(int handshakeMs, int responseMs);
    // How long the WebSocket opening handshake may take (10 s); an unanswered
    // one is a failed attempt like a refused connection.
    void setOpenTimeoutForTesting(int ms) { m_openMs = ms; }
    // Once logged in, a WebSocket ping every intervalMs (30 s); no pong within
    // timeoutMs (10 s) and the link counts as lost.
    void setKeepAliveForTesting(int intervalMs, int timeoutMs);

    // Server messages larger than this are refused: the link closes with code
    // 1009 and is opened again.
    static constexpr qint64 MaxMessageBytes = 16 * 1024 * 1024;
    // What the link takes from the kernel in one pass of the event loop: a
    // flood of uplinks is handled a slice at a time, so Modbus answers wait
    // for one slice, never for all the kernel holds (TCP flow control keeps
    // the rest at the server). A message that does not fit raises the bound,
    // up to MaxMessageBytes, until it has arrived.
    static constexpr qint64 ReadSliceBytes = 64 * 1024;
    // How much the open socket takes in one pass now; 0 without one.
    qint64 readBoundForTesting() const;

    // Reconnecting after a lost link or an unanswered handshake, with a delay
    // that doubles from 1 s to 60 s and starts over after a login. Off unless
    // turned on (the gateway turns it on from its settings). A refused login
    // and a TLS certificate error are never retried: they need a person, and
    // repeated refusals can lock an account.
    void setReconnectEnabled(bool enabled);
    // Tests run the backoff in milliseconds.
    void setBackoffForTesting(int firstMs, int maxMs);
    // Whether the session stopped retrying until connectSlot() is called again.
    bool waitsForOperator() const { return m_halted; }

    // Adds the CA certificates of a PEM file to those trusted for wss; false
    // (and a log line) when the file holds none.
    bool addTrustedCaFile(const QString &path);

signals:
    void newTask();
    void changeServerStatus(COMM::EServerStatus _status);
    void getDevicesListResp(bool status, QList<API::SServerDeviceInfo> _regInfoList = {});
    void newPacketReceived(API::SApiDeviceData _devData);
    // The server answered the device list request with status false; the
    // failed getDevicesListResp follows at once.
    void devicesListRefused();
    // A new connection attempt is due after delayMs (attempts counted from 1).
    void reconnectScheduled(int attempt, int delayMs);

public slots:
    void connectSlot(QString _origin, QString _login, QString _password);

protected slots:
    void socketConnectedSlot();
    void socketDisconnectedSlot();
    void textMessageReceivedSlot(QString msg);
    void timeoutSlot();
    void waitingServerResponseTimeoutSlot();
    void newTaskSlot();

private slots:
    void socketErrorSlot(QAbstractSocket::SocketError error);
    void openTimeoutSlot();
    void sendKeepAlive();
    void keepAliveTimeoutSlot();
    void readSliceTakenSlot();
#ifndef QT_NO_SSL
    void sslErrorsSlot(const QList<QSslError> &errors);
#endif

private:
    enum EState { STATE_NONE = 0, STATE_PING = 1, STATE_AUTH = 2, STATE_VERIFIED = 3 };
    enum ERequest { REQUEST_NONE = 0, REQUEST_DEVICE_LIST = 1 };

    struct SQueuedRequest
    {
        int kind = REQUEST_NONE;
        QByteArray text;
    };

    void handlePing(const QJsonObject &object);
    void handleAuth(const QJsonObject &object);
    void handleVerified(const QJsonObject &object);
    void releaseWaiting();
    void setStatus(COMM::EServerStatus status);
    // A failure that retrying may mend: drop the socket and try again later.
    void linkFailed();
    // A failure that needs a person: stop retrying.
    void halt(const QString &reason);
    void reconnectNow();
    // Opens the socket on m_url and starts the handshake's timer.
    void openSocket();
    void stopKeepAlive();
    // Drops a link that is open but no longer usable and reconnects.
    void dropLink(const QString &reason);
    // The socket under the WebSocket (Qt makes one per opened link).
    QAbstractSocket *transport() const;

    int m_state = STATE_NONE;
    int m_pendingRequest = REQUEST_NONE;
    QList<SQueuedRequest> m_tasks;
    QMutex m_taskListMutex;
    QMutex m_processingMutex;
    // Taken while a request is in flight; only ever tried, never waited for.
    QMutex m_waitingMutex;
    bool m_waitingHeld = false;
    QTimer m_waitTimer;
    QWebSocket m_socket;
    QString m_login;
    QString m_password;
    QString m_token;
    QTimer m_handshakeTimer;
    int m_handshakeMs = 2000;
    int m_responseMs = 10000;
    QTimer m_openTimer;
    int m_openMs = 10000;
    QTimer m_pingTimer;
    QTimer m_pongTimer;
    int m_pongMs = 10000;
    // Messages refused by the JSON guard for their nesting, reported once a minute.
    int m_tooDeep = 0;
    bool m_releaseAfterLogin = false; // a refused large message left freed memory
    bool m_readBoundRaised = false;
    QElapsedTimer m_tooDeepReported;

    QUrl m_url;
    bool m_reconnect = false;
    bool m_halted = false;
    int m_attempt = 0;
    int m_firstDelayMs = 1000;
    int m_maxDelayMs = 60000;
    QTimer m_reconnectTimer;
    int m_lastStatus = -1;
};
