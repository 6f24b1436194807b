#include "web/webapi.h"

#include "app/logfile.h"
#include "core/gateway.h"
#include "web/webauth.h"
#include "web/webevents.h"
#include "web/webjson.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonParseError>

namespace {

const QByteArray JsonType = QByteArrayLiteral("application/json");

QString errorText(int status)
{
    switch (status) {
    case 401:
        return QStringLiteral("not logged in");
    case 403:
        return QStringLiteral("cross-origin request refused");
    case 404:
        return QStringLiteral("not found");
    case 405:
        return QStringLiteral("method not allowed");
    case 413:
        return QStringLiteral("request body over 1 MB");
    case 415:
        return QStringLiteral("the body must be sent as application/json");
    default:
        return QStringLiteral("error");
    }
}

// The last `count` entries of the log, read backwards from its end in
// blocks, so that a long log costs no more than the lines asked for.
QStringList lastLines(const QString &fileName, int count)
{
    QFile file(fileName);
    if (count <= 0 || !file.open(QIODevice::ReadOnly))
        return {};
    constexpr qint64 Block = 64 * 1024;
    QByteArray tail;
    qint64 position = file.size();
    while (position > 0 && tail.count('\n') <= count) {
        const qint64 start = std::max<qint64>(0, position - Block);
        file.seek(start);
        tail.prepend(file.read(position - start));
        position = start;
    }
    QStringList lines;
    for (const QByteArray &line : tail.split('\n'))
        if (!line.trimmed().isEmpty())
            lines << QString::fromUtf8(line);
    if (position > 0 && !lines.isEmpty())
        lines.removeFirst(); // may be cut
    return lines.mid(std::max(0, lines.size() - count));
}

QByteArray contentTypeOf(const QString &path)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == QLatin1String("html"))
        return "text/html; charset=utf-8";
    if (suffix == QLatin1String("js"))
        return "text/javascript; charset=utf-8";
    if (suffix == QLatin1String("css"))
        return "text/css; charset=utf-8";
    if (suffix == QLatin1String("json"))
        return "application/json; charset=utf-8";
    if (suffix == QLatin1String("svg"))
        return "image/svg+xml";
    if (suffix == QLatin1String("png"))
        return "image/png";
    if (suffix == QLatin1String("ico"))
        return "image/x-icon";
    if (suffix == QLatin1String("txt"))
        return "text/plain; charset=utf-8";
    return "application/octet-stream";
}

} // namespace

CWebApi::CWebApi(CGateway &gateway, CWebAuth &auth, CWebEvents *events, QObject *parent)
    : QObject(parent)
    , m_gateway(gateway)
    , m_auth(auth)
    , m_events(events)
{
    m_routes = {
        { "POST", QStringLiteral("/api/login"), &CWebApi::login, Public },
        { "POST", QStringLiteral("/api/logout"), &CWebApi::logout, Public },
        { "GET", QStringLiteral("/api/status"), &CWebApi::status, LoggedIn },
        { "GET", QStringLiteral("/api/device-types"), &CWebApi::deviceTypes, LoggedIn },
        { "GET", QStringLiteral("/api/devices"), &CWebApi::devices, LoggedIn },
        { "POST", QStringLiteral("/api/devices"), &CWebApi::addDevices, LoggedIn },
        { "GET", QStringLiteral("/api/devices/*"), &CWebApi::device, LoggedIn },
        { "DELETE", QStringLiteral("/api/devices/*"), &CWebApi::deleteDevice, LoggedIn },
        { "PATCH", QStringLiteral("/api/devices/*/registers"), &CWebApi::editRegisters, LoggedIn },
        { "GET", QStringLiteral("/api/server-devices"), &CWebApi::serverDevices, LoggedIn },
        { "GET", QStringLiteral("/api/register-map"), &CWebApi::registerMapJson, LoggedIn },
        { "GET", QStringLiteral("/api/register-map.csv"), &CWebApi::registerMapCsv, LoggedIn },
        { "GET", QStringLiteral("/api/events"), &CWebApi::events, LoggedIn },
        { "GET", QStringLiteral("/api/log"), &CWebApi::logTail, LoggedIn },
        { "GET", QStringLiteral("/metrics"), &CWebApi::metrics, MetricsAccess },
        { "GET", QStringLiteral("/healthz"), &CWebApi::health, Public },
    };
}

SHttpResponse CWebApi::handle(const SHttpRequest &request)
{
    SHttpRequest parsed = request;
    SHttpResponse response = parseRequestTarget(request.target, parsed.path, parsed.query)
        ? route(parsed)
        : SHttpResponse::error(404, errorText(404));
    const bool api = parsed.path.startsWith(QLatin1String("/api/"))
        || parsed.path == QLatin1String("/metrics") || parsed.path == QLatin1String("/healthz")
        || response.status >= 400;
    const auto secure = [api](SHttpResponse &answer) {
        answer.setHeader("X-Content-Type-Options", "nosniff");
        answer.setHeader("Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'");
        answer.setHeader("Referrer-Policy", "no-referrer");
        if (api)
            answer.setHeader("Cache-Control", "no-store");
    };
    if (response.later) {
        // The answer given later gets the same headers.
        auto later = std::move(response.later);
        response.later = [later, secure](SHttpResponse::Finish finish) {
            later([finish, secure](SHttpResponse answer) {
                secure(answer);
                finish(std::move(answer));
            });
        };
    }
    secure(response);
    return response;
}

bool CWebApi::matches(const QString &pattern, const QString &path, Captures &captures)
{
    captures.clear();
    const QVector<QStringRef> want = pattern.splitRef(QLatin1Char('/'));
    const QVector<QStringRef> have = path.splitRef(QLatin1Char('/'));
    if (want.size() != have.size())
        return false;
    for (int i = 0; i < want.size(); ++i) {
        if (want[i] == QLatin1String("*")) {
            if (have[i].isEmpty())
                return false;
            captures << have[i].toString();
        } else if (want[i] != have[i]) {
            return false;
        }
    }
    return true;
}

bool CWebApi::changes(const QByteArray &method)
{
    return method != "GET" && method != "HEAD" && method != "OPTIONS";
}

bool CWebApi::sameOrigin(const SHttpRequest &request)
{
    const QByteArray origin = request.header("origin");
    if (origin.isEmpty())
        return true;
    const QByteArray host = request.header("host");
    const QByteArray own
        = (request.https ? QByteArrayLiteral("https://") : QByteArrayLiteral("http://")) + host;
    return !host.isEmpty() && origin.toLower() == own.toLower();
}

QByteArray CWebApi::sessionCookieOf(const SHttpRequest &request)
{
    for (const auto &header : request.headers) {
        if (header.first != "cookie")
            continue;
        for (const QByteArray &pair : header.second.split(';')) {
            const QByteArray item = pair.trimmed();
            if (item.startsWith(SessionCookie + '='))
                return item.mid(SessionCookie.size() + 1);
        }
    }
    return QByteArray();
}

SHttpResponse CWebApi::route(const SHttpRequest &request)
{
    if (!request.path.startsWith(QLatin1String("/api/")) && request.path != QLatin1String("/metrics")
        && request.path != QLatin1String("/healthz")) {
        if (request.method != "GET" && request.method != "HEAD") {
            SHttpResponse refused = SHttpResponse::error(405, errorText(405));
            refused.setHeader("Allow", "GET, HEAD");
            return refused;
        }
        return staticFile(request, {});
    }
    QByteArrayList allowed;
    Captures captures;
    for (const SRoute &candidate : qAsConst(m_routes)) {
        if (!matches(candidate.pattern, request.path, captures))
            continue;
        if (candidate.method != request.method) {
            allowed << candidate.method;
            continue;
        }
        if (request.bodyTooLarge)
            return SHttpResponse::error(413, errorText(413));
        if (changes(request.method)) {
            if (!sameOrigin(request))
                return SHttpResponse::error(403, errorText(403));
            const QByteArray type = request.header("content-type").split(';').first().trimmed().toLower();
            const bool bodyExpected = request.method != "DELETE" && candidate.handler != &CWebApi::logout;
            if ((bodyExpected || !request.body.isEmpty()) && type != JsonType)
                return SHttpResponse::error(415, errorText(415));
        }
        return authorize(request, candidate, captures);
    }
    if (allowed.isEmpty())
        return SHttpResponse::error(404, errorText(404));
    SHttpResponse refused = SHttpResponse::error(405, errorText(405));
    refused.setHeader("Allow", allowed.join(", "));
    return refused;
}

SHttpResponse CWebApi::limited(int retryAfterS) const
{
    SHttpResponse response = SHttpResponse::json(
        429,
        QJsonObject { { QStringLiteral("error"), QStringLiteral("too many failed logins") },
                      { QStringLiteral("retryAfter"), retryAfterS } });
    response.setHeader("Retry-After", QByteArray::number(retryAfterS));
    return response;
}

SHttpResponse CWebApi::authorize(const SHttpRequest &request, const SRoute &route, const Captures &captures)
{
    const Handler handler = route.handler;
    if (route.access == Public || (route.access == MetricsAccess && m_options.metricsPublic))
        return (this->*handler)(request, captures);
    if (m_auth.touchSession(sessionCookieOf(request)))
        return (this->*handler)(request, captures);

    const QByteArray authorization = request.header("authorization");
    if (!authorization.startsWith("Basic "))
        return SHttpResponse::error(401, errorText(401));
    const int wait = m_auth.retryAfterS(request.peer);
    if (wait > 0)
        return limited(wait);
    const QByteArray pair = QByteArray::fromBase64(authorization.mid(6).trimmed());
    const int colon = pair.indexOf(':');
    const QByteArray user = colon < 0 ? pair : pair.left(colon);
    const QByteArray password = colon < 0 ? QByteArray() : pair.mid(colon + 1);
    const bool userRight = user == "admin";
    const CWebAuth::ECached known = m_auth.cached(password);
    if (known == CWebAuth::ECached::Right && userRight)
        return (this->*handler)(request, captures);
    if (known == CWebAuth::ECached::Wrong || (known == CWebAuth::ECached::Right && !userRight)) {
        m_auth.recordFailure(request.peer);
        return SHttpResponse::error(401, QStringLiteral("wrong user name or password"));
    }
    SHttpResponse pending;
    pending.later = [this, request, handler, captures, password, userRight](SHttpResponse::Finish finish) {
        m_auth.verify(password, [this, request, handler, captures, userRight, finish](bool right) {
            if (right && userRight) {
                SHttpResponse answer = (this->*handler)(request, captures);
                if (answer.later)
                    answer.later(finish);
                else
                    finish(std::move(answer));
                return;
            }
            m_auth.recordFailure(request.peer);
            finish(SHttpResponse::error(401, QStringLiteral("wrong user name or password")));
        });
    };
    return pending;
}

void CWebApi::logChange(const SHttpRequest &request, const QString &what) const
{
    addLog(QStringLiteral("INFO: [CWebApi] %1 (web client [%2])").arg(what, request.peer));
}

SHttpResponse CWebApi::login(const SHttpRequest &request, const Captures &)
{
    const int wait = m_auth.retryAfterS(request.peer);
    if (wait > 0)
        return limited(wait);
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(request.body, &error);
    const QJsonValue password = document.object().value(QStringLiteral("password"));
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return SHttpResponse::error(400, QStringLiteral("the body is not a JSON object"));
    if (!password.isString())
        return SHttpResponse::error(400, QStringLiteral("password: a string is expected"));
    const QByteArray secret = password.toString().toUtf8();
    const bool https = request.https;
    const QString peer = request.peer;
    SHttpResponse pending;
    pending.later = [this, secret, https, peer](SHttpResponse::Finish finish) {
        m_auth.verify(secret, [this, https, peer, finish](bool right) {
            if (!right) {
                m_auth.recordFailure(peer);
                finish(SHttpResponse::error(401, QStringLiteral("wrong password")));
                return;
            }
            SHttpResponse answer = SHttpResponse::json(200, QJsonObject { { QStringLiteral("ok"), true } });
            QByteArray cookie
                = SessionCookie + '=' + m_auth.createSession() + "; Path=/; HttpOnly; SameSite=Strict";
            if (https)
                cookie += "; Secure";
            answer.setHeader("Set-Cookie", cookie);
            addLog(QStringLiteral("INFO: [CWebApi] Web login (web client [%1])").arg(peer));
            finish(std::move(answer));
        });
    };
    return pending;
}

SHttpResponse CWebApi::logout(const SHttpRequest &request, const Captures &)
{
    m_auth.endSession(sessionCookieOf(request));
    SHttpResponse answer = SHttpResponse::json(200, QJsonObject { { QStringLiteral("ok"), true } });
    answer.setHeader("Set-Cookie", SessionCookie + "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0");
    return answer;
}

SHttpResponse CWebApi::logTail(const SHttpRequest &request, const Captures &)
{
    bool given = false;
    const QString text = request.queryValue(QStringLiteral("lines"), &given);
    int count = 100;
    if (given) {
        bool ok = false;
        count = text.toInt(&ok);
        if (!ok || count < 1 || count > MaxLogLines)
            return SHttpResponse::error(
                400, QStringLiteral("lines: a number from 1 to %1 is expected").arg(MaxLogLines));
    }
    return SHttpResponse::json(
        200,
        QJsonObject {
            { QStringLiteral("lines"), QJsonArray::fromStringList(lastLines(m_options.logFile, count)) } });
}

SHttpResponse CWebApi::staticFile(const SHttpRequest &request, const Captures &)
{
    const QString name = request.path == QLatin1String("/") ? QStringLiteral("/index.html") : request.path;
    const QString resource = QStringLiteral(":/web") + name;
    QFile file(resource);
    if (name.endsWith(QLatin1Char('/')) || QFileInfo(resource).isDir() || !file.open(QIODevice::ReadOnly))
        return SHttpResponse::error(404, errorText(404));
    SHttpResponse answer = SHttpResponse::text(200, file.readAll(), contentTypeOf(name));
    if (request.method == "HEAD")
        answer.body.clear();
    return answer;
}

// ---- answers through the gateway's face (filled in once it offers the reads)
SHttpResponse CWebApi::status(const SHttpRequest &, const Captures &)
{
    return SHttpResponse::json(
        200, QJsonObject { { QStringLiteral("server"), WebJson::serverStatus(m_gateway) } });
}
SHttpResponse CWebApi::deviceTypes(const SHttpRequest &, const Captures &)
{
    return SHttpResponse::error(503, QStringLiteral("unavailable"));
}
SHttpResponse CWebApi::devices(const SHttpRequest &, const Captures &)
{
    return SHttpResponse::error(503, QStringLiteral("unavailable"));
}
SHttpResponse CWebApi::device(const SHttpRequest &, const Captures &)
{
    return SHttpResponse::error(503, QStringLiteral("unavailable"));
}
SHttpResponse CWebApi::addDevices(const SHttpRequest &, const Captures &)
{
    return SHttpResponse::error(503, QStringLiteral("unavailable"));
}
SHttpResponse CWebApi::editRegisters(const SHttpRequest &, const Captures &)
{
    return SHttpResponse::error(503, QStringLiteral("unavailable"));
}
SHttpResponse CWebApi::deleteDevice(const SHttpRequest &, const Captures &)
{
    return SHttpResponse::error(503, QStringLiteral("unavailable"));
}
SHttpResponse CWebApi::serverDevices(const SHttpRequest &, const Captures &)
{
    return SHttpResponse::error(503, QStringLiteral("unavailable"));
}
SHttpResponse CWebApi::registerMapJson(const SHttpRequest &, const Captures &)
{
    return SHttpResponse::error(503, QStringLiteral("unavailable"));
}
SHttpResponse CWebApi::registerMapCsv(const SHttpRequest &, const Captures &)
{
    return SHttpResponse::error(503, QStringLiteral("unavailable"));
}
SHttpResponse CWebApi::metrics(const SHttpRequest &, const Captures &)
{
    return SHttpResponse::error(503, QStringLiteral("unavailable"));
}
SHttpResponse CWebApi::health(const SHttpRequest &, const Captures &)
{
    return SHttpResponse::text(200, "ok\n", "text/plain; charset=utf-8");
}

SHttpResponse CWebApi::events(const SHttpRequest &, const Captures &)
{
    SHttpResponse stream = SHttpResponse::text(200, m_events ? m_events->greeting() : QByteArray(),
                                               "text/event-stream; charset=utf-8");
    stream.eventStream = true;
    return stream;
}
