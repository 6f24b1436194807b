#pragma once

#include "netsimscenario.h"

#include <QHash>
#include <QHostAddress>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QRandomGenerator>
#include <QStringList>
#include <QUrl>

#ifndef QT_NO_SSL
#include <QSslConfiguration>
#endif

class QTimer;
class QWebSocket;
class QWebSocketServer;

// A stand-in for the LoRaWAN network server, speaking its WebSocket JSON API:
//
//   client -> {"cmd":"cmd"} (or any unknown command)
//   server <- {"cmd":"cmd","status":false,"err_string":"Unknown command"}
//   client -> {"cmd":"auth_req","login":...,"password":...}
//   server <- {"cmd":"auth_resp","status":true,"token":"..."}
//             or {"cmd":"auth_resp","status":false,"err_string":"..."}
//   client -> {"cmd":"get_devices_req","select":{"appEui_list":[...]}}
//   server <- {"cmd":"get_devices_resp","status":true,"devices_list":[
//                {"devEui":...,"devName":...,"OTAA":{"appEui":...}}, ...]}
//   server <- {"cmd":"rx","type":"UNCONF_UP","devEui":...,"data":"hex",
//              "ts":ms,"fcnt":n,"gatewayId":"...+0","rssi":..,"snr":..,
//              "port":..,"freq":..,"dr":..,"ack":false}   (logged-in clients only)
//
// Device lists hold the scenario's devices whose OTAA AppEUI is in the list
// asked for (case-insensitive), unless the scenario says "listAll".
//
// Use in a test (tests/<area>/extra.cmake: target_link_libraries(<test> PRIVATE tidewell_netsim);
// #include "tools/netsim/networkserversim.h"):
//   CNetworkServerSim sim(scenario);
//   QVERIFY(sim.listen());                   // 127.0.0.1, port picked by the system
//   handler.connectSlot(sim.url().toString(), "demo", "demo");
//   QSignalSpy in(&sim, &CNetworkServerSim::clientLoggedIn); QVERIFY(in.wait());
//   sim.sendUplink("0011223344550001", QByteArray::fromHex("01..."));
//
// Misbehaviour for tests: the set*Mode() and set*DelayMs() calls, sendText()
// for any raw frame, sendMalformedJson(), sendNonObject(), dropConnections().
// Everything runs in the thread that owns the object; no blocking calls.
class CNetworkServerSim : public QObject
{
    Q_OBJECT

public:
    enum EProbeMode {
        PROBE_ANSWER, // unknown commands get an object with err_string
        PROBE_SILENT, // never answered
        PROBE_NO_ERR_STRING, // answered with an object without err_string
    };
    enum ELoginMode {
        LOGIN_CHECK, // checked against the scenario's accounts
        LOGIN_REFUSE, // always refused, with err_string
        LOGIN_SILENT, // never answered
    };
    enum EDevicesMode {
        DEVICES_ANSWER, // the filtered device list, status true
        DEVICES_REFUSE, // status false with err_string
        DEVICES_SILENT, // never answered
    };

    explicit CNetworkServerSim(QObject *parent = nullptr);
    explicit CNetworkServerSim(const SSimScenario &scenario, QObject *parent = nullptr);
    ~CNetworkServerSim() override;

    void setScenario(const SSimScenario &scenario);
    const SSimScenario &scenario() const { return m_scenario; }

    // Plain ws; port 0 lets the system pick. False with errorString() on failure.
    bool listen(const QHostAddress &address = QHostAddress::LocalHost, quint16 port = 0);
#ifndef QT_NO_SSL
    // wss with the given certificate and key.
    bool listenSecure(const QSslConfiguration &ssl, const QHostAddress &address = QHostAddress::LocalHost,
                      quint16 port = 0);
#endif
    void close();
    bool isListening() const;
    quint16 port() const;
    // "ws://127.0.0.1:PORT" (or wss), ready for the gateway's connectSlot.
    QUrl url() const;
    QString errorString() const;

    void setProbeMode(EProbeMode mode)
    {
        m_probeMode = mode;
    }
    void setProbeDelayMs(int ms)
    {
        m_probeDelayMs = ms;
    }
    void setLoginMode(ELoginMode mode)
    {
        m_loginMode = mode;
    }
    void setLoginDelayMs(int ms)
    {
        m_loginDelayMs = ms;
    }
    void setDevicesMode(EDevicesMode mode)
    {
        m_devicesMode = mode;
    }
    void setDevicesDelayMs(int ms)
    {
        m_devicesDelayMs = ms;
    }
    // After each successful login: one malformed JSON frame and one non-object frame.
    void setGarbageAfterLogin(bool on)
    {
        m_garbageAfterLogin = on;
    }
    // One line per message sent and received on standard output.
    void setEcho(bool on)
    {
        m_echo = on;
    }

    // Periodic uplinks: every device sends its payloads in turn at its period
    // (or periodOverrideMs when > 0). count < 0: forever; otherwise stops after
    // that many uplinks delivered to at least one client and emits uplinksFinished.
    void startUplinks(int count = -1, int periodOverrideMs = 0);
    void stopUplinks();

    // The rx message the simulator would send for this device now; fcnt rises
    // per device on every call. Keys of overrides replace the defaults; a
    // QJsonValue::Undefined value removes the key.
    QJsonObject buildUplink(const QString &devEui, const QByteArray &payload,
                            const QJsonObject &overrides = {});
    // Sends buildUplink(...) to every logged-in client at once; returns how many got it.
    int sendUplink(const QString &devEui, const QByteArray &payload, const QJsonObject &overrides = {});
    // Any text frame, to logged-in clients only or to every client.
    int sendText(const QString &text, bool loggedInOnly = false);
    int sendMalformedJson(bool loggedInOnly = false);
    int sendNonObject(bool loggedInOnly = false);
    // Aborts every client connection (no closing handshake).
    void dropConnections();

    int clientCount() const
    {
        return m_clients.size();
    }
    int loggedInCount() const;
    // Every JSON object received, in order, over all clients.
    QList<QJsonObject> received() const
    {
        return m_received;
    }
    // Received and sent frames in order: "<- text" and "-> text".
    QStringList traffic() const
    {
        return m_traffic;
    }
    void clearTraffic();
    // Writes what the clients' sockets hold to the kernel now, as far as it
    // takes it, instead of a piece per pass of the event loop: for senders
    // that keep the loop busy.
    void flush();

signals:
    void clientConnected();
    void clientDisconnected();
    void clientLoggedIn(const QString &login);
    void messageReceived(const QString &text);
    void messageSent(const QString &text);
    void uplinksFinished();

private:
    struct SClient
    {
        bool loggedIn = false;
        QString login;
    };

    bool startServer(const QHostAddress &address, quint16 port);
    void onNewConnection();
    void onTextMessage(QWebSocket *socket, const QString &text);
    void handleAuth(QWebSocket *socket, const QJsonObject &request);
    void handleDevices(QWebSocket *socket, const QJsonObject &request);
    QJsonObject devicesReply(const QJsonObject &request) const;
    void reply(QWebSocket *socket, const QJsonObject &object, int delayMs);
    void send(QWebSocket *socket, const QString &text);
    void echo(const QString &line, QWebSocket *socket);
    void onDeviceTimer(int deviceIndex);

    SSimScenario m_scenario;
    QWebSocketServer *m_server = nullptr;
    QString m_error;
    QHash<QWebSocket *, SClient> m_clients;
    QHash<QString, quint32> m_fcnt;
    QHash<QString, int> m_nextPayload;
    QList<QTimer *> m_uplinkTimers;
    int m_uplinksLeft = -1;
    QList<QJsonObject> m_received;
    QStringList m_traffic;
    QRandomGenerator m_random { 20260101 };

    EProbeMode m_probeMode = PROBE_ANSWER;
    int m_probeDelayMs = 0;
    ELoginMode m_loginMode = LOGIN_CHECK;
    int m_loginDelayMs = 0;
    EDevicesMode m_devicesMode = DEVICES_ANSWER;
    int m_devicesDelayMs = 0;
    bool m_garbageAfterLogin = false;
    bool m_echo = false;
};
