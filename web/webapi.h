#pragma once

#include "web/webhttp.h"

#include <QObject>
#include <QString>
#include <QTimer>
#include <QVector>

#include <functional>

class CGateway;
class CWebAuth;
class CWebEvents;

// The HTTP API, the metrics, the health check and the console's static files:
// handle() turns a parsed request into its answer, with no socket in sight.
// It finds the route, refuses what the route does not take (404, 405, 413,
// 415, a foreign Origin 403), checks the caller (session cookie or Basic
// authentication; the password itself on the auth's worker thread) and adds
// the security headers every answer carries. Everything it reads or changes
// goes through the gateway's face.
class CWebApi : public QObject
{
    Q_OBJECT

public:
    struct SOptions
    {
        bool metricsPublic = false;
        bool metricsPerDevice = false;
        QString logFile; // history.log, for /api/log
    };

    CWebApi(CGateway &gateway, CWebAuth &auth, CWebEvents *events, QObject *parent = nullptr);

    void setOptions(const SOptions &options) { m_options = options; }
    SHttpResponse handle(const SHttpRequest &request);

    static constexpr int MaxLogLines = 2000;
    static constexpr int MaxPageSize = 1000;
    static constexpr int MaxDevicesPerRequest = 10000;
    static constexpr int ServerListTimeoutMs = 15000;
    static inline const QByteArray SessionCookie = QByteArrayLiteral("tidewell_session");

private:
    using Captures = QStringList;
    using Handler = SHttpResponse (CWebApi::*)(const SHttpRequest &, const Captures &);
    enum EAccess { Public, LoggedIn, MetricsAccess };
    struct SRoute
    {
        QByteArray method;
        QString pattern; // "/api/devices/*/registers": * takes one path segment
        Handler handler;
        EAccess access;
    };

    SHttpResponse route(const SHttpRequest &request);
    SHttpResponse authorize(const SHttpRequest &request, const SRoute &route, const Captures &captures);
    static bool matches(const QString &pattern, const QString &path, Captures &captures);
    static bool changes(const QByteArray &method);
    static bool sameOrigin(const SHttpRequest &request);
    static QByteArray sessionCookieOf(const SHttpRequest &request);
    void logChange(const SHttpRequest &request, const QString &what) const;
    SHttpResponse limited(int retryAfterS) const;

    SHttpResponse login(const SHttpRequest &request, const Captures &);
    SHttpResponse logout(const SHttpRequest &request, const Captures &);
    SHttpResponse status(const SHttpRequest &, const Captures &);
    SHttpResponse deviceTypes(const SHttpRequest &, const Captures &);
    SHttpResponse devices(const SHttpRequest &request, const Captures &);
    SHttpResponse device(const SHttpRequest &, const Captures &captures);
    SHttpResponse addDevices(const SHttpRequest &request, const Captures &);
    SHttpResponse editRegisters(const SHttpRequest &request, const Captures &captures);
    SHttpResponse deleteDevice(const SHttpRequest &request, const Captures &captures);
    SHttpResponse serverDevices(const SHttpRequest &, const Captures &);
    SHttpResponse registerMap(const SHttpRequest &request, bool csv);
    // Asks the server for its device list (one request for every caller
    // waiting); `done` gets 200, or the status and text of the failure.
    void askServerDevices(std::function<void(int, const QString &)> done);
    void finishServerList(int status, const QString &error);
    SHttpResponse registerMapJson(const SHttpRequest &request, const Captures &);
    SHttpResponse registerMapCsv(const SHttpRequest &request, const Captures &);
    SHttpResponse events(const SHttpRequest &, const Captures &);
    SHttpResponse logTail(const SHttpRequest &request, const Captures &);
    SHttpResponse metrics(const SHttpRequest &, const Captures &);
    SHttpResponse health(const SHttpRequest &, const Captures &);
    SHttpResponse staticFile(const SHttpRequest &request, const Captures &);

    CGateway &m_gateway;
    CWebAuth &m_auth;
    CWebEvents *m_events;
    SOptions m_options;
    QVector<SRoute> m_routes;
    QList<std::function<void(int, const QString &)>> m_serverListWaiters;
    QTimer m_serverListTimer;
};
