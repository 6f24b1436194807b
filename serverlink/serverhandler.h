#pragma once

#include "serverlink/apirecords.h"
#include "serverlink/serverstatus.h"

#include <QList>
#include <QMutex>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <QWebSocket>

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
};
