#include "web/webapi.h"

#include "app/logfile.h"
#include "core/gateway.h"
#include "core/registermapexport.h"
#include "web/webauth.h"
#include "web/webevents.h"
#include "web/webjson.h"
#include "web/webmetrics.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonParseError>
#include <QRegularExpression>

#include <algorithm>
#include <climits>
#include <cmath>
#include <memory>
#include <numeric>
#include <vector>

namespace {

const QByteArray JsonType = QByteArrayLiteral("application/json");
// The most of the register map handed to the library at once (about 600 rows,
// half a millisecond to make).
constexpr int PieceBytes = 60 * 1024;

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
    m_serverListTimer.setSingleShot(true);
    m_serverListTimer.setInterval(ServerListTimeoutMs);
    connect(&m_serverListTimer, &QTimer::timeout, this,
            [this] { finishServerList(504, QStringLiteral("the server did not answer")); });
    connect(&gateway, &CGateway::serverDevicesReceived, this, [this](bool received) {
        if (received)
            finishServerList(200, QString());
        else
            finishServerList(503, QStringLiteral("the server did not give its device list"));
    });
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
        answer.setHeader("Referrer-Policy", "same-origin");
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

SHttpResponse CWebApi::status(const SHttpRequest &, const Captures &)
{
    int silent = 0;
    int notServed = 0;
    const QList<SRegisteredDevice> all = m_gateway.devices();
    for (const SRegisteredDevice &device : all) {
        silent += device.silentSinceMs >= 0;
        notServed += !device.served;
    }
    QJsonObject status = WebJson::counters(m_gateway);
    status.insert(QStringLiteral("server"), WebJson::serverStatus(m_gateway));
    status.insert(QStringLiteral("version"), QCoreApplication::applicationVersion());
    status.insert(QStringLiteral("startedAt"), WebJson::time(m_gateway.startedAtMs()));
    status.insert(QStringLiteral("devices"),
                  QJsonObject { { QStringLiteral("total"), all.size() },
                                { QStringLiteral("silent"), silent },
                                { QStringLiteral("notServed"), notServed } });
    status.insert(QStringLiteral("databaseBytes"), m_gateway.databaseBytes());
    return SHttpResponse::json(200, status);
}

SHttpResponse CWebApi::deviceTypes(const SHttpRequest &, const Captures &)
{
    QJsonArray types;
    for (const SDeviceType &type : m_gateway.deviceTypes())
        types.append(WebJson::deviceType(type));
    return SHttpResponse::json(200, types);
}

SHttpResponse CWebApi::devices(const SHttpRequest &request, const Captures &)
{
    const auto number = [&request](const QString &name, qint64 low, qint64 high, qint64 fallback, bool *ok) {
        bool given = false;
        const QString text = request.queryValue(name, &given);
        if (!given)
            return fallback;
        const qint64 value = text.toLongLong(ok);
        if (*ok && (value < low || value > high))
            *ok = false;
        return value;
    };
    bool ok = true;
    const qint64 offset = number(QStringLiteral("offset"), 0, INT_MAX, 0, &ok);
    if (!ok)
        return SHttpResponse::error(400, QStringLiteral("offset: a number from 0 is expected"));
    const qint64 limit = number(QStringLiteral("limit"), 1, MaxPageSize, 100, &ok);
    if (!ok)
        return SHttpResponse::error(
            400, QStringLiteral("limit: a number from 1 to %1 is expected").arg(MaxPageSize));
    const qint64 port = number(QStringLiteral("port"), 1, 65535, -1, &ok);
    if (!ok)
        return SHttpResponse::error(400, QStringLiteral("port: a number from 1 to 65535 is expected"));
    bool given = false;
    const QString sort = request.queryValue(QStringLiteral("sort"), &given);
    static const QStringList sorts { QStringLiteral("name"),          QStringLiteral("type"),
                                     QStringLiteral("devEui"),        QStringLiteral("port"),
                                     QStringLiteral("startRegister"), QStringLiteral("lastUplink") };
    if (given && !sorts.contains(sort))
        return SHttpResponse::error(
            400, QStringLiteral("sort: one of %1 is expected").arg(sorts.join(QStringLiteral(", "))));
    const QString order = request.queryValue(QStringLiteral("order"), &given);
    if (given && order != QLatin1String("asc") && order != QLatin1String("desc"))
        return SHttpResponse::error(400, QStringLiteral("order: asc or desc is expected"));
    const QString text = request.queryValue(QStringLiteral("q"));
    const QString type = request.queryValue(QStringLiteral("type"));

    QHash<QString, QString> typeNames; // by AppEUI
    for (const SDeviceType &known : m_gateway.deviceTypes())
        typeNames.insert(known.appEui, known.devType);
    QList<SRegisteredDevice> list;
    for (const SRegisteredDevice &device : m_gateway.devices()) {
        if (port >= 0 && device.port != port)
            continue;
        if (!type.isEmpty() && typeNames.value(device.appEui) != type)
            continue;
        if (!text.isEmpty() && !device.name.contains(text, Qt::CaseInsensitive)
            && !device.devEui.contains(text, Qt::CaseInsensitive))
            continue;
        list.append(device);
    }
    const auto key = [&sort, &typeNames](const SRegisteredDevice &a, const SRegisteredDevice &b) {
        if (sort == QLatin1String("type"))
            return typeNames.value(a.appEui).compare(typeNames.value(b.appEui), Qt::CaseInsensitive) < 0;
        if (sort == QLatin1String("devEui"))
            return a.devEui < b.devEui;
        if (sort == QLatin1String("port"))
            return a.port < b.port || (a.port == b.port && a.startAddr < b.startAddr);
        if (sort == QLatin1String("startRegister"))
            return a.startAddr < b.startAddr;
        if (sort == QLatin1String("lastUplink"))
            return a.lastUplinkMs < b.lastUplinkMs;
        return a.name.compare(b.name, Qt::CaseInsensitive) < 0;
    };
    // Only the page is put in order: equal keys keep the listing's order
    // (reversed for desc), as a stable sort of the whole list would.
    const bool descending = order == QLatin1String("desc");
    const auto before = [&list, &key, descending](int i, int j) {
        const SRegisteredDevice &a = list.at(descending ? j : i);
        const SRegisteredDevice &b = list.at(descending ? i : j);
        if (key(a, b))
            return true;
        if (key(b, a))
            return false;
        return descending ? j < i : i < j;
    };
    std::vector<int> at(size_t(list.size()));
    std::iota(at.begin(), at.end(), 0);
    const auto first = at.begin() + std::min<qint64>(offset, qint64(at.size()));
    const auto last = at.begin() + std::min<qint64>(offset + limit, qint64(at.size()));
    if (first != at.end()) {
        std::nth_element(at.begin(), first, at.end(), before);
        std::partial_sort(first, last, at.end(), before);
    }
    QJsonArray page;
    for (auto it = first; it != last; ++it)
        page.append(WebJson::device(m_gateway, list.at(*it)));
    return SHttpResponse::json(200,
                               QJsonObject { { QStringLiteral("total"), list.size() },
                                             { QStringLiteral("offset"), offset },
                                             { QStringLiteral("limit"), limit },
                                             { QStringLiteral("devices"), page } });
}

SHttpResponse CWebApi::device(const SHttpRequest &, const Captures &captures)
{
    const SRegisteredDevice entry = m_gateway.device(captures.value(0).toUpper());
    if (entry.id == 0)
        return SHttpResponse::error(404, QStringLiteral("devEui: no such device"));
    return SHttpResponse::json(200, WebJson::deviceDetail(m_gateway, entry));
}

namespace {

// A JSON number that is a whole number within [low, high].
bool integerIn(const QJsonValue &value, qint64 low, qint64 high, qint64 &out)
{
    if (!value.isDouble())
        return false;
    const double number = value.toDouble();
    if (number != std::floor(number) || number < double(low) || number > double(high))
        return false;
    out = qint64(number);
    return true;
}

SHttpResponse rowError(int status, int index, const QString &field, const QString &text, bool list)
{
    QJsonObject body { { QStringLiteral("error"), QStringLiteral("%1: %2").arg(field, text) },
                       { QStringLiteral("field"), field } };
    if (list || index > 0)
        body.insert(QStringLiteral("index"), index);
    else
        body.insert(QStringLiteral("index"), 0);
    return SHttpResponse::json(status, body);
}

} // namespace

SHttpResponse CWebApi::addDevices(const SHttpRequest &request, const Captures &)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(request.body, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return SHttpResponse::error(400,
                                    QStringLiteral("the body is not JSON: %1").arg(parseError.errorString()));
    const bool list = document.isArray();
    QJsonArray rows = list ? document.array() : QJsonArray { document.object() };
    if (!list && !document.isObject())
        return SHttpResponse::error(400, QStringLiteral("a device object or a list of them is expected"));
    if (rows.isEmpty())
        return SHttpResponse::error(400, QStringLiteral("the list is empty"));
    if (rows.size() > MaxDevicesPerRequest)
        return SHttpResponse::error(
            400, QStringLiteral("at most %1 devices in one request").arg(MaxDevicesPerRequest));

    QList<SNewDevice> devices;
    for (int i = 0; i < rows.size(); ++i) {
        if (!rows[i].isObject())
            return rowError(400, i, QStringLiteral("device"), QStringLiteral("an object is expected"), list);
        const QJsonObject row = rows[i].toObject();
        SNewDevice device;
        const QJsonValue eui = row.value(QStringLiteral("devEui"));
        static const QRegularExpression hex16(QStringLiteral("^[0-9A-Fa-f]{16}$"));
        if (!eui.isString() || !hex16.match(eui.toString()).hasMatch())
            return rowError(400, i, QStringLiteral("devEui"), QStringLiteral("16 hex digits are expected"),
                            list);
        device.devEui = eui.toString().toUpper();
        if (!integerIn(row.value(QStringLiteral("port")), 1, 65535, device.port))
            return rowError(400, i, QStringLiteral("port"),
                            QStringLiteral("a number from 1 to 65535 is expected"), list);
        if (!integerIn(row.value(QStringLiteral("startRegister")), 0, 65535, device.startAddr))
            return rowError(400, i, QStringLiteral("startRegister"),
                            QStringLiteral("a number from 0 to 65535 is expected"), list);
        const QJsonValue name = row.value(QStringLiteral("name"));
        if (!name.isUndefined() && !name.isNull() && !name.isString())
            return rowError(400, i, QStringLiteral("name"), QStringLiteral("a string is expected"), list);
        device.name = name.toString().trimmed();
        // optional: null or absent for none; which unit ids are taken the core decides
        const QJsonValue unitId = row.value(QStringLiteral("unitId"));
        if (!unitId.isUndefined() && !unitId.isNull() && !integerIn(unitId, 1, 247, device.unitId))
            return rowError(400, i, QStringLiteral("unitId"),
                            QStringLiteral("a number from 1 to 247 is expected"), list);
        devices.append(device);
    }
    bool dryRun = false;
    const QString dry = request.queryValue(QStringLiteral("dryRun"), &dryRun);
    dryRun = dryRun && (dry.isEmpty() || dry == QLatin1String("true") || dry == QLatin1String("1"));

    // The server's device list names each device's type; it is asked for when
    // a device is not in the list it gave last.
    const QString peer = request.peer;
    auto decide = [this, devices, list, dryRun, peer]() -> SHttpResponse {
        const QList<SAddProblem> problems = m_gateway.checkNewDevices(devices);
        if (dryRun) {
            QJsonArray answer;
            for (int i = 0; i < devices.size(); ++i) {
                QJsonArray found;
                for (const SAddProblem &problem : problems)
                    if (problem.index == i)
                        found.append(QJsonObject { { QStringLiteral("field"), problem.field },
                                                   { QStringLiteral("error"), problem.error } });
                answer.append(
                    QJsonObject { { QStringLiteral("index"), i }, { QStringLiteral("problems"), found } });
            }
            return SHttpResponse::json(200, QJsonObject { { QStringLiteral("rows"), answer } });
        }
        SAddProblem problem;
        if (!problems.isEmpty() || !m_gateway.addDevices(devices, &problem)) {
            if (!problems.isEmpty())
                problem = problems.first();
            if (problem.field.isEmpty())
                return SHttpResponse::error(503, problem.error);
            // Bad input is 400; what clashes with the gateway's state (a
            // device registered already, a port in use elsewhere, registers
            // taken) is 409.
            return rowError(problem.conflict ? 409 : 400, problem.index, problem.field, problem.error, list);
        }
        QStringList added;
        QJsonArray euis;
        for (const SNewDevice &device : devices) {
            added << device.devEui;
            euis.append(device.devEui);
        }
        addLog(QStringLiteral("INFO: [CWebApi] Added %1 device(s) [%2] (web client [%3])")
                   .arg(devices.size())
                   .arg(added.join(QStringLiteral(", ")), peer));
        return SHttpResponse::json(201, QJsonObject { { QStringLiteral("added"), euis } });
    };

    bool listed = true;
    const QList<API::SServerDeviceInfo> known = m_gateway.addableServerDevices();
    for (const SNewDevice &device : qAsConst(devices)) {
        const bool found
            = std::any_of(known.cbegin(), known.cend(), [&device](const API::SServerDeviceInfo &info) {
                  return info.devEui.compare(device.devEui, Qt::CaseInsensitive) == 0;
              });
        listed = listed && (found || m_gateway.isRegistered(device.devEui));
    }
    if (listed)
        return decide();
    SHttpResponse pending;
    pending.later = [this, decide](SHttpResponse::Finish finish) {
        // Without the list the check names the device as unknown.
        askServerDevices([decide, finish](int, const QString &) { finish(decide()); });
    };
    return pending;
}

void CWebApi::askServerDevices(std::function<void(int, const QString &)> done)
{
    if (m_gateway.serverStatus() != COMM::SUCCESS) {
        done(503, QLatin1String(COMM::statusText(m_gateway.serverStatus())));
        return;
    }
    const bool first = m_serverListWaiters.isEmpty();
    m_serverListWaiters.append(std::move(done));
    if (!first)
        return;
    if (!m_gateway.requestServerDevices()) {
        finishServerList(503, QStringLiteral("the request cannot be sent"));
        return;
    }
    m_serverListTimer.start();
}

void CWebApi::finishServerList(int status, const QString &error)
{
    m_serverListTimer.stop();
    const auto waiters = std::move(m_serverListWaiters);
    m_serverListWaiters.clear();
    for (const auto &waiter : waiters)
        waiter(status, error);
}

SHttpResponse CWebApi::serverDevices(const SHttpRequest &, const Captures &)
{
    SHttpResponse pending;
    pending.later = [this](SHttpResponse::Finish finish) {
        askServerDevices([this, finish](int status, const QString &error) {
            if (status != 200) {
                finish(SHttpResponse::error(status, error));
                return;
            }
            QJsonArray list;
            for (const API::SServerDeviceInfo &info : m_gateway.addableServerDevices()) {
                const SDeviceType type = m_gateway.deviceType(info.appEui);
                list.append(QJsonObject { { QStringLiteral("devEui"), info.devEui },
                                          { QStringLiteral("appEui"), info.appEui },
                                          { QStringLiteral("name"), info.devName },
                                          { QStringLiteral("devType"), type.devType },
                                          { QStringLiteral("registerSpan"), qint64(type.registerSpan) } });
            }
            finish(SHttpResponse::json(200, list));
        });
    };
    return pending;
}

SHttpResponse CWebApi::editRegisters(const SHttpRequest &request, const Captures &captures)
{
    const SRegisteredDevice entry = m_gateway.device(captures.value(0).toUpper());
    if (entry.id == 0)
        return SHttpResponse::error(404, QStringLiteral("devEui: no such device"));
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(request.body, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isArray())
        return SHttpResponse::error(400, QStringLiteral("a list of register changes is expected"));
    QHash<qint64, SDeviceRegister> fields; // numeric fields by address
    for (const SDeviceRegister &reg : m_gateway.deviceRegisters(entry.id))
        if (reg.numeric)
            fields.insert(reg.address, reg);
    SDeviceRegUpdate update;
    update.deviceId = entry.id;
    update.port = entry.port;
    const QJsonArray rows = document.array();
    for (int i = 0; i < rows.size(); ++i) {
        const QJsonObject row = rows[i].toObject();
        if (!rows[i].isObject())
            return rowError(400, i, QStringLiteral("register"), QStringLiteral("an object is expected"),
                            true);
        qint64 address = 0;
        if (!integerIn(row.value(QStringLiteral("address")), 0, 65535, address) || !fields.contains(address))
            return rowError(
                400, i, QStringLiteral("address"),
                QStringLiteral("the first register of one of the device's numeric fields is expected"), true);
        const SDeviceRegister &current = fields[address];
        SRegisterParam param;
        param.regAddr = uint32_t(address);
        param.unit = current.unit;
        param.gratingPeriod = current.multiplier;
        param.startValue = current.extraValue;
        const QJsonValue unit = row.value(QStringLiteral("unit"));
        if (!unit.isUndefined()) {
            if (!unit.isString() || unit.toString().size() > 32)
                return rowError(400, i, QStringLiteral("unit"),
                                QStringLiteral("a text of up to 32 characters is expected"), true);
            param.unit = unit.toString();
        }
        qint64 number = 0;
        const QJsonValue multiplier = row.value(QStringLiteral("multiplier"));
        if (!multiplier.isUndefined()) {
            if (!integerIn(multiplier, INT32_MIN, INT32_MAX, number))
                return rowError(400, i, QStringLiteral("multiplier"),
                                QStringLiteral("a whole number in the signed 32-bit range is expected"),
                                true);
            param.gratingPeriod = int32_t(number);
        }
        const QJsonValue extra = row.value(QStringLiteral("extraValue"));
        if (!extra.isUndefined()) {
            if (!integerIn(extra, INT32_MIN, INT32_MAX, number))
                return rowError(400, i, QStringLiteral("extraValue"),
                                QStringLiteral("a whole number in the signed 32-bit range is expected"),
                                true);
            param.startValue = int32_t(number);
        }
        update.params.append(param);
    }
    if (!update.params.isEmpty()) {
        m_gateway.updateScaling(update);
        QStringList changed;
        for (const SRegisterParam &param : qAsConst(update.params))
            changed << QStringLiteral("%1: x%2 %3%4 %5")
                           .arg(param.regAddr)
                           .arg(param.gratingPeriod)
                           .arg(param.startValue < 0 ? QStringLiteral("-") : QStringLiteral("+"))
                           .arg(qAbs(qint64(param.startValue)))
                           .arg(param.unit);
        addLog(QStringLiteral("INFO: [CWebApi] Scaling of device [%1] changed: %2 (web client [%3])")
                   .arg(entry.devEui, changed.join(QStringLiteral("; ")), request.peer));
    }
    return SHttpResponse::json(200, WebJson::deviceDetail(m_gateway, m_gateway.device(entry.devEui)));
}

SHttpResponse CWebApi::deleteDevice(const SHttpRequest &request, const Captures &captures)
{
    const QString devEui = captures.value(0).toUpper();
    if (!m_gateway.isRegistered(devEui))
        return SHttpResponse::error(404, QStringLiteral("devEui: no such device"));
    if (!m_gateway.removeDevice(devEui))
        return SHttpResponse::error(503, QStringLiteral("the register store could not delete the device"));
    addLog(QStringLiteral("INFO: [CWebApi] Device [%1] deleted (web client [%2])").arg(devEui, request.peer));
    return SHttpResponse::json(200, QJsonObject { { QStringLiteral("ok"), true } });
}

SHttpResponse CWebApi::registerMap(const SHttpRequest &request, bool csv)
{
    bool given = false;
    const QString text = request.queryValue(QStringLiteral("port"), &given);
    int port = -1;
    if (given) {
        bool ok = false;
        port = text.toInt(&ok);
        if (!ok || port < 1 || port > 65535)
            return SHttpResponse::error(400, QStringLiteral("port: a number from 1 to 65535 is expected"));
    }
    // Walked in chunks as the client takes them: the whole map is never held.
    auto cursor = std::make_shared<SRegisterMapCursor>();
    cursor->port = port;
    CGateway *gateway = &m_gateway;
    SHttpResponse answer;
    answer.setHeader("Content-Type", csv ? "text/csv; charset=utf-8" : "application/json; charset=utf-8");
    if (csv)
        answer.setHeader("Content-Disposition", "attachment; filename=\"register-map.csv\"");
    auto ended = std::make_shared<bool>(false);
    // A piece grows a few rows at a time and ends early when a Modbus request
    // is waiting: the export never holds an answer up by more than a step.
    answer.chunks = [gateway, cursor, csv, ended]() -> QByteArray {
        QByteArray piece;
        while (!*ended && piece.size() < PieceBytes) {
            piece += csv ? RegisterMapExport::csvChunk(*gateway, *cursor, RegisterMapExport::StepRows)
                         : RegisterMapExport::jsonChunk(*gateway, *cursor, RegisterMapExport::StepRows);
            *ended = cursor->done;
            if (gateway->modbusWaiting())
                break;
        }
        return piece;
    };
    return answer;
}

SHttpResponse CWebApi::registerMapJson(const SHttpRequest &request, const Captures &)
{
    return registerMap(request, false);
}

SHttpResponse CWebApi::registerMapCsv(const SHttpRequest &request, const Captures &)
{
    return registerMap(request, true);
}

SHttpResponse CWebApi::events(const SHttpRequest &, const Captures &)
{
    SHttpResponse stream = SHttpResponse::text(200, m_events ? m_events->greeting() : QByteArray(),
                                               "text/event-stream; charset=utf-8");
    stream.eventStream = true;
    return stream;
}

SHttpResponse CWebApi::metrics(const SHttpRequest &, const Captures &)
{
    return SHttpResponse::text(200, WebMetrics::text(m_gateway, m_options.metricsPerDevice),
                               "text/plain; version=0.0.4; charset=utf-8");
}

SHttpResponse CWebApi::health(const SHttpRequest &, const Captures &)
{
    const QString problem = WebMetrics::unhealthy(m_gateway);
    if (problem.isEmpty())
        return SHttpResponse::text(200, "ok\n", "text/plain; charset=utf-8");
    return SHttpResponse::text(503, problem.toUtf8() + '\n', "text/plain; charset=utf-8");
}
