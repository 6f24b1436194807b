#pragma once

#include "serverlink/apirecords.h"
#include "serverlink/serverstatus.h"

#include <QAbstractSocket>
#include <QJsonObject>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QStringList>
#include <QTimer>
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
    static CServerHandler *getInstance();

    explicit CServerHandler(QObject *parent = nullptr);
    ~CServerHandler() override;

    // Queues a device list request; false (and a log line) when it cannot be sent.
    bool getDevicesList(const QStringList &_appEuiList);

    // Tests shorten the protocol timers; the product keeps 2000 ms and 10000 ms.
    void setTimeoutsForTesting(int handshakeMs, int responseMs);

signals:
    void newTask();
    void changeServerStatus(COMM::EServerStatus _status);
    void getDevicesListResp(bool status, QList<API::SServerDeviceInfo> _regInfoList = {});
    void newPacketReceived(API::SApiDeviceData _devData);

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
};
