#include "app/constants.h"
#include "app/globaldata.h"
#include "app/logfile.h"
#include "core/gateway.h"
#include "core/gatewayinternals.h"
#include "core/registermapexport.h"
#include "tests/testkit/testkit.h"
#include "web/webapi.h"
#include "web/webauth.h"
#include "web/webevents.h"
#include "web/webjson.h"
#include "web/webpassword.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <memory>

using namespace testkit;

// The API's request handling without sockets: refusals, authentication and
// the rate limit, as handle() answers them.
class tst_WebApi : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void requestTargets_data();
    void requestTargets();
    void refusals_data();
    void refusals();
    void everyAnswerCarriesSecurityHeaders();
    void loginGivesSessionCookie();
    void basicAuthentication();
    void failedLoginsAreLimitedPerAddress();
    void sessionsExpireWhenIdle();
    void passwordHash();
    void logTail();
    void registerEventsAreCoalescedPerDevice();
    void registerEventsGiveWayToModbus();
    void registerEventTextIsTheDocumentsJson();
    void registerEventsFollowValuesEditsAndNewDevices();
    void deviceQueriesAreChecked_data();
    void deviceQueriesAreChecked();
    void devicePagesFollowAddsAndDeletes();
    void scalingEditsAreStrict_data();
    void scalingEditsAreStrict();
    void registerMapComesInChunks();
    void metricsStartAtZero();
    void healthNamesWhatIsWrong();

private:
    // Registers the TH sensor 0011223344550001 at register 10 on a free port.
    void addBoiler();
    SHttpRequest loggedIn(const QByteArray &method, const QByteArray &target, const QByteArray &body = {});
    SHttpRequest request(const QByteArray &method, const QByteArray &target, const QByteArray &body = {},
                         const QList<QPair<QByteArray, QByteArray>> &headers = {}) const;
    // handle(), waiting for an answer given later.
    SHttpResponse send(const SHttpRequest &request);
    static QJsonObject bodyOf(const SHttpResponse &response);

    QTemporaryDir m_dir;
    QString m_home;
    qint64 m_now = 1'800'000'000'000;
    std::unique_ptr<CGateway> m_gateway;
    std::unique_ptr<CWebAuth> m_auth;
    std::unique_ptr<CWebApi> m_api;
};

namespace {
// Few iterations keep the tests quick; the format carries the count.
QString storedHash()
{
    static const QString stored = WebPassword::hash("correct horse", 1000);
    return stored;
}
} // namespace

void tst_WebApi::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_home = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir.path()));
    QVERIFY(copySampleTemplates(m_dir.path()));
    CLogFile::getInstance(QStringLiteral("history.log"));
}

void tst_WebApi::init()
{
    static int connections = 0;
    m_gateway = std::make_unique<CGateway>(m_dir.filePath(QStringLiteral("server.db")),
                                           QStringLiteral("web%1").arg(++connections));
    QVERIFY(!m_gateway->failed());
    m_gateway->restoreStoredDevices();
    m_auth = std::make_unique<CWebAuth>();
    m_auth->setPasswordHash(storedHash());
    m_auth->setClockForTesting([this] { return m_now; });
    m_api = std::make_unique<CWebApi>(*m_gateway, *m_auth, nullptr);
    m_api->setOptions({ false, false, m_dir.filePath(QStringLiteral("history.log")) });
}

void tst_WebApi::cleanup()
{
    m_api.reset();
    m_auth.reset();
    m_gateway.reset();
}

SHttpRequest tst_WebApi::request(const QByteArray &method, const QByteArray &target, const QByteArray &body,
                                 const QList<QPair<QByteArray, QByteArray>> &headers) const
{
    SHttpRequest r;
    r.method = method;
    r.target = target;
    r.body = body;
    r.peer = QStringLiteral("192.0.2.7");
    r.headers = headers;
    r.headers.append(qMakePair(QByteArray("host"), QByteArray("gw.example:8080")));
    if (!body.isEmpty() && r.header("content-type").isEmpty())
        r.headers.append(qMakePair(QByteArray("content-type"), QByteArray("application/json")));
    return r;
}

SHttpResponse tst_WebApi::send(const SHttpRequest &r)
{
    SHttpResponse response = m_api->handle(r);
    if (!response.later)
        return response;
    bool done = false;
    SHttpResponse answer;
    response.later([&](SHttpResponse given) {
        answer = std::move(given);
        done = true;
    });
    QDeadlineTimer deadline(WAIT_MS);
    while (!done && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    if (!done)
        answer.status = -1; // no answer: the comparison names the request
    return answer;
}

QJsonObject tst_WebApi::bodyOf(const SHttpResponse &response)
{
    return QJsonDocument::fromJson(response.body).object();
}

void tst_WebApi::requestTargets_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("firstQueryValue");

    QTest::newRow("plain") << QByteArray("/api/devices") << true << "/api/devices"
                           << "";
    QTest::newRow("query decoded") << QByteArray("/api/devices?q=Boiler+room%21&limit=5") << true
                                   << "/api/devices"
                                   << "Boiler room!";
    QTest::newRow("encoded letter") << QByteArray("/%61pi/status") << true << "/api/status"
                                    << "";
    QTest::newRow("encoded slash") << QByteArray("/api%2Fstatus") << false << ""
                                   << "";
    QTest::newRow("encoded backslash") << QByteArray("/x%5c..%5cserver.db") << false << ""
                                       << "";
    QTest::newRow("NUL") << QByteArray("/index.html%00.png") << false << ""
                         << "";
    QTest::newRow("dot dot") << QByteArray("/a/../server.db") << false << ""
                             << "";
    QTest::newRow("encoded dot dot") << QByteArray("/%2e%2e/server.db") << false << ""
                                     << "";
    QTest::newRow("not UTF-8") << QByteArray("/%ff") << false << ""
                               << "";
    QTest::newRow("relative") << QByteArray("server.db") << false << ""
                              << "";
}

void tst_WebApi::requestTargets()
{
    QFETCH(QByteArray, target);
    QFETCH(bool, accepted);
    QString path;
    QList<QPair<QString, QString>> query;
    QCOMPARE(parseRequestTarget(target, path, query), accepted);
    if (!accepted)
        return;
    QCOMPARE(path, QTest::currentDataTag() == QByteArray("plain") ? QStringLiteral("/api/devices") : path);
    QFETCH(QString, firstQueryValue);
    QCOMPARE(query.isEmpty() ? QString() : query.first().second, firstQueryValue);
}

// Every class of request the API refuses, and nothing of them is changed.
void tst_WebApi::refusals_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("origin");
    QTest::addColumn<bool>("tooLarge");
    QTest::addColumn<int>("status");

    const QByteArray json = "application/json";
    QTest::newRow("unknown route") << QByteArray("GET") << QByteArray("/api/nothing") << QByteArray() << json
                                   << QByteArray() << false << 404;
    QTest::newRow("wrong method") << QByteArray("PUT") << QByteArray("/api/devices") << QByteArray("{}")
                                  << json << QByteArray() << false << 405;
    QTest::newRow("body over 1 MB") << QByteArray("POST") << QByteArray("/api/login") << QByteArray("{}")
                                    << json << QByteArray() << true << 413;
    QTest::newRow("not JSON type") << QByteArray("POST") << QByteArray("/api/login")
                                   << QByteArray("{\"password\":\"x\"}") << QByteArray("text/plain")
                                   << QByteArray() << false << 415;
    QTest::newRow("form post") << QByteArray("POST") << QByteArray("/api/devices") << QByteArray("a=b")
                               << QByteArray("application/x-www-form-urlencoded") << QByteArray() << false
                               << 415;
    QTest::newRow("foreign origin") << QByteArray("POST") << QByteArray("/api/login")
                                    << QByteArray("{\"password\":\"x\"}") << json
                                    << QByteArray("http://evil.example") << false << 403;
    QTest::newRow("other port") << QByteArray("DELETE") << QByteArray("/api/devices/0011223344550001")
                                << QByteArray() << json << QByteArray("http://gw.example:8081") << false
                                << 403;
    QTest::newRow("other scheme") << QByteArray("POST") << QByteArray("/api/logout") << QByteArray() << json
                                  << QByteArray("https://gw.example:8080") << false << 403;
    QTest::newRow("null origin") << QByteArray("POST") << QByteArray("/api/logout") << QByteArray() << json
                                 << QByteArray("null") << false << 403;
    QTest::newRow("not logged in") << QByteArray("GET") << QByteArray("/api/status") << QByteArray() << json
                                   << QByteArray() << false << 401;
    QTest::newRow("metrics not public") << QByteArray("GET") << QByteArray("/metrics") << QByteArray() << json
                                        << QByteArray() << false << 401;
    QTest::newRow("login not JSON") << QByteArray("POST") << QByteArray("/api/login") << QByteArray("{pass")
                                    << json << QByteArray() << false << 400;
    QTest::newRow("login without password")
        << QByteArray("POST") << QByteArray("/api/login") << QByteArray("{\"password\":5}") << json
        << QByteArray() << false << 400;
    QTest::newRow("static path escapes") << QByteArray("GET") << QByteArray("/..%2f..%2fserver.db")
                                         << QByteArray() << json << QByteArray() << false << 404;
    QTest::newRow("no such file") << QByteArray("GET") << QByteArray("/server.db") << QByteArray() << json
                                  << QByteArray() << false << 404;
}

void tst_WebApi::refusals()
{
    QFETCH(QByteArray, method);
    QFETCH(QByteArray, target);
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, origin);
    QFETCH(bool, tooLarge);
    QFETCH(int, status);
    QList<QPair<QByteArray, QByteArray>> headers { { "content-type", contentType } };
    if (!origin.isEmpty())
        headers.append(qMakePair(QByteArray("origin"), origin));
    SHttpRequest r = request(method, target, body, headers);
    r.bodyTooLarge = tooLarge;
    const SHttpResponse response = send(r);
    QCOMPARE(response.status, status);
    QVERIFY(!bodyOf(response).value(QStringLiteral("error")).toString().isEmpty());
    // A browser would put up its own password dialog on a challenge.
    QVERIFY(response.header("WWW-Authenticate").isEmpty());
    if (status == 405)
        QCOMPARE(response.header("Allow"), QByteArray("GET, POST"));
    QCOMPARE(m_auth->sessionCount(), 0);
}

void tst_WebApi::everyAnswerCarriesSecurityHeaders()
{
    for (const QByteArray &target : { QByteArray("/healthz"), QByteArray("/api/status"), QByteArray("/x") }) {
        const SHttpResponse response = send(request("GET", target));
        QCOMPARE(response.header("X-Content-Type-Options"), QByteArray("nosniff"));
        QCOMPARE(response.header("Content-Security-Policy"),
                 QByteArray("default-src 'self'; frame-ancestors 'none'"));
        QCOMPARE(response.header("Cache-Control"), QByteArray("no-store"));
    }
}

void tst_WebApi::loginGivesSessionCookie()
{
    SHttpResponse wrong = send(request("POST", "/api/login", R"({"password":"wrong"})"));
    QCOMPARE(wrong.status, 401);
    QCOMPARE(bodyOf(wrong).value(QStringLiteral("error")).toString(), QStringLiteral("wrong password"));
    QVERIFY(wrong.header("Set-Cookie").isEmpty());

    SHttpResponse right = send(request("POST", "/api/login", R"({"password":"correct horse"})",
                                       { { "origin", "http://gw.example:8080" } }));
    QCOMPARE(right.status, 200);
    const QByteArray cookie = right.header("Set-Cookie");
    QVERIFY2(cookie.startsWith("tidewell_session="), cookie);
    QVERIFY(cookie.contains("; HttpOnly") && cookie.contains("; SameSite=Strict")
            && !cookie.contains("Secure"));
    const QByteArray value = cookie.mid(17, cookie.indexOf(';') - 17);
    QVERIFY(value.size() >= 22); // 128 bits or more, base64

    QCOMPARE(send(request("GET", "/api/log", {}, { { "cookie", "a=b; tidewell_session=" + value } })).status,
             200);
    QCOMPARE(send(request("GET", "/api/log", {}, { { "cookie", "tidewell_session=" + value + "x" } })).status,
             401);
    QCOMPARE(send(request("POST", "/api/logout", {}, { { "cookie", "tidewell_session=" + value } })).status,
             200);
    QCOMPARE(send(request("GET", "/api/log", {}, { { "cookie", "tidewell_session=" + value } })).status, 401);

    SHttpRequest secure = request("POST", "/api/login", R"({"password":"correct horse"})");
    secure.https = true;
    QVERIFY(send(secure).header("Set-Cookie").contains("; Secure"));
}

void tst_WebApi::basicAuthentication()
{
    const auto basic = [](const QByteArray &pair) {
        return QList<QPair<QByteArray, QByteArray>> { { "authorization", "Basic " + pair.toBase64() } };
    };
    SHttpResponse first = m_api->handle(request("GET", "/api/log", {}, basic("admin:correct horse")));
    QVERIFY2(first.later, "the first check of a password is left to the worker thread");
    QCOMPARE(send(request("GET", "/api/log", {}, basic("admin:correct horse"))).status, 200);
    // Remembered: answered at once.
    const SHttpResponse again = m_api->handle(request("GET", "/api/log", {}, basic("admin:correct horse")));
    QVERIFY(!again.later);
    QCOMPARE(again.status, 200);
    QCOMPARE(send(request("GET", "/api/log", {}, basic("root:correct horse"))).status, 401);
    QCOMPARE(send(request("GET", "/api/log", {}, basic("admin:correct horsf"))).status, 401);
    QCOMPARE(send(request("GET", "/api/log", {}, basic("admin"))).status, 401);
}

void tst_WebApi::failedLoginsAreLimitedPerAddress()
{
    QFile log(m_dir.filePath(QStringLiteral("history.log")));
    QVERIFY(log.open(QIODevice::ReadOnly));
    log.seek(log.size());
    for (int i = 0; i < CWebAuth::FailuresPerMinute; ++i) {
        QCOMPARE(send(request("POST", "/api/login", R"({"password":"guess"})")).status, 401);
        m_now += 1000;
    }
    // Even the right password waits now, and so do Basic attempts.
    SHttpResponse limited = send(request("POST", "/api/login", R"({"password":"correct horse"})"));
    QCOMPARE(limited.status, 429);
    const int retryAfter = limited.header("Retry-After").toInt();
    QVERIFY2(retryAfter > 50 && retryAfter <= 56, limited.header("Retry-After"));
    QCOMPARE(bodyOf(limited).value(QStringLiteral("retryAfter")).toInt(), retryAfter);
    QCOMPARE(send(request("GET", "/api/log", {},
                          { { "authorization", "Basic " + QByteArray("admin:correct horse").toBase64() } }))
                 .status,
             429);
    // Another address is not held up.
    SHttpRequest other = request("POST", "/api/login", R"({"password":"correct horse"})");
    other.peer = QStringLiteral("192.0.2.8");
    QCOMPARE(send(other).status, 200);

    m_now += retryAfter * 1000;
    QCOMPARE(send(request("POST", "/api/login", R"({"password":"correct horse"})")).status, 200);
    // One log line a minute names the address, not one per guess.
    QCOMPARE(log.readAll().count("Failed web login from [192.0.2.7]"), 1);
}

void tst_WebApi::sessionsExpireWhenIdle()
{
    const QByteArray value = m_auth->createSession();
    m_now += CWebAuth::SessionIdleMs - 1;
    QVERIFY(m_auth->touchSession(value));
    m_now += CWebAuth::SessionIdleMs - 1;
    QVERIFY(m_auth->touchSession(value));
    m_now += CWebAuth::SessionIdleMs + 1;
    QVERIFY(!m_auth->touchSession(value));
    // A new password ends every session.
    const QByteArray other = m_auth->createSession();
    m_auth->setPasswordHash(WebPassword::hash("another", 1000));
    QVERIFY(!m_auth->touchSession(other));
}

void tst_WebApi::passwordHash()
{
    const QString stored = WebPassword::hash("pw", 1000);
    QVERIFY(stored.startsWith(QStringLiteral("pbkdf2-sha256$1000$")));
    QVERIFY(WebPassword::verify("pw", stored));
    QVERIFY(!WebPassword::verify("pW", stored));
    // Salted: the same password never gives the same text.
    QVERIFY(WebPassword::hash("pw", 1000) != stored);
    QVERIFY(WebPassword::hash("pw").startsWith(QStringLiteral("pbkdf2-sha256$600000$")));
    for (const QString &broken :
         { QString(), QStringLiteral("pw"), QStringLiteral("pbkdf2-sha256$x$AA==$AA=="),
           QString(stored).replace(QStringLiteral("sha256"), QStringLiteral("sha1")) })
        QVERIFY2(!WebPassword::verify("pw", broken), qPrintable(broken));
}

void tst_WebApi::logTail()
{
    for (int i = 0; i < 30; ++i)
        addLog(QStringLiteral("tail test line %1").arg(i));
    const auto basic = QList<QPair<QByteArray, QByteArray>> {
        { "authorization", "Basic " + QByteArray("admin:correct horse").toBase64() }
    };
    const SHttpResponse three = send(request("GET", "/api/log?lines=3", {}, basic));
    QCOMPARE(three.status, 200);
    const QJsonArray lines = bodyOf(three).value(QStringLiteral("lines")).toArray();
    QCOMPARE(lines.size(), 3);
    QVERIFY(lines[0].toString().endsWith(QStringLiteral("tail test line 27")));
    QVERIFY(lines[2].toString().endsWith(QStringLiteral("tail test line 29")));
    QVERIFY(lines[2].toString().startsWith(QLatin1Char('[')));
    for (const QByteArray &bad : { QByteArray("0"), QByteArray("2001"), QByteArray("x"), QByteArray("") }) {
        const SHttpResponse refused = send(request("GET", "/api/log?lines=" + bad, {}, basic));
        QCOMPARE(refused.status, 400);
        QVERIFY(
            bodyOf(refused).value(QStringLiteral("error")).toString().startsWith(QStringLiteral("lines")));
    }
}

void tst_WebApi::registerEventsAreCoalescedPerDevice()
{
    QByteArrayList sent;
    CWebEvents events(
        *m_gateway, [&sent](const QByteArray &event) { sent << event; }, [] { return 1; });
    events.setClockForTesting([this] { return m_now; });
    const auto registerEvents = [&sent](const QByteArray &devEui) {
        int n = 0;
        for (const QByteArray &event : qAsConst(sent))
            n += event.startsWith("event: registers") && event.contains(devEui);
        return n;
    };
    // A burst: the first goes with the next flush (never inside the uplink's
    // own work), the rest become one event when the interval has passed;
    // another device is not held up by the first.
    for (int i = 0; i < 20; ++i)
        events.deviceUpdated(QStringLiteral("00000000000000A1"));
    events.deviceUpdated(QStringLiteral("00000000000000B2"));
    QCOMPARE(registerEvents("00000000000000A1"), 0);
    events.flushDue();
    QCOMPARE(registerEvents("00000000000000A1"), 1);
    QCOMPARE(registerEvents("00000000000000B2"), 1);
    m_now += 100;
    events.deviceUpdated(QStringLiteral("00000000000000A1"));
    events.flushDue();
    QCOMPARE(registerEvents("00000000000000A1"), 1);
    m_now += CWebEvents::DeviceIntervalMs;
    events.flushDue();
    QCOMPARE(registerEvents("00000000000000A1"), 2);
    events.flushDue();
    QCOMPARE(registerEvents("00000000000000A1"), 2);
    // Over a simulated second of updates every 10 ms: at most 4 a second.
    sent.clear();
    for (int ms = 0; ms < 1000; ms += 10) {
        m_now += 10;
        events.deviceUpdated(QStringLiteral("00000000000000A1"));
        events.flushDue();
    }
    QVERIFY2(registerEvents("00000000000000A1") <= 4,
             qPrintable(QString::number(registerEvents("00000000000000A1"))));
    QVERIFY(registerEvents("00000000000000A1") >= 3);
}

// A burst of register events waits while a Modbus request does, one event at
// a time, and the rest follow once Modbus has been served.
void tst_WebApi::registerEventsGiveWayToModbus()
{
    addBoiler();
    QByteArrayList sent;
    CWebEvents events(
        *m_gateway, [&sent](const QByteArray &event) { sent << event; }, [] { return 1; });
    events.setClockForTesting([this] { return m_now; });
    for (int i = 0; i < 5; ++i)
        events.deviceUpdated(QStringLiteral("00000000000000C%1").arg(i));
    QVERIFY(!m_gateway->modbusWaiting());
    // A connection accepted by the kernel waits in the listener's queue until
    // the event loop takes it.
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, m_gateway->device(QStringLiteral("0011223344550001")).port);
    QVERIFY(client.waitForConnected(5000));
    QVERIFY(m_gateway->modbusWaiting());
    events.flushDue(); // Modbus first
    QCOMPARE(sent.size(), 0);
    events.flushDue(); // but never starved: one event, then Modbus again
    QCOMPARE(sent.size(), 1);
    QTRY_COMPARE(sent.size(), 5);
}

// The register event is written as text by hand for speed: it must be what
// QJsonDocument writes for the device's registers, byte for byte, with
// characters that need escaping in a unit, values never received and values
// stored at different times.
void tst_WebApi::registerEventTextIsTheDocumentsJson()
{
    addBoiler();
    const SRegisteredDevice boiler = m_gateway->device(QStringLiteral("0011223344550001"));
    SDeviceRegUpdate update;
    update.deviceId = boiler.id;
    update.port = boiler.port;
    update.params.append({ 10, -7, 3, QStringLiteral("\u00b0C \"in\" \\ \t\x01 \u6e29") });
    m_gateway->updateScaling(update);
    const QByteArray expected = QJsonDocument(QJsonObject { { QStringLiteral("devEui"), boiler.devEui },
                                                            { QStringLiteral("registers"),
                                                              WebJson::registers(*m_gateway, boiler) } })
                                    .toJson(QJsonDocument::Compact);
    QVERIFY(expected.contains("\\u0001"));
    QCOMPARE(WebJson::registerEvent(*m_gateway, boiler.devEui), expected);
    update.params.first().unit.clear();
    update.params.first().startValue = 0;
    update.params.first().gratingPeriod = 1;
    m_gateway->updateScaling(update);
    {
        // Stored values with times, some registers sharing their second and
        // some not, as an uplink and a later one leave them.
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("times"));
        db.setDatabaseName(m_dir.filePath(QStringLiteral("server.db")));
        QVERIFY(db.open());
        const QStringList &reg = QSL_GLOB_DEV_DATA_FIELDS;
        QSqlQuery stamp(db);
        QVERIFY2(stamp.exec(QStringLiteral("UPDATE %1 SET %2 = 1700000000000 + (%3 % 3) * 700, %4 = 'BEEF' "
                                           "WHERE %5 = %6;")
                                .arg(QS_DB_TABLE_DEV_DATA, reg[DB::REG_COL_TIME], reg[DB::REG_COL_ADDR],
                                     reg[DB::REG_COL_FULL_VALUE], reg[DB::REG_COL_DEVICE])
                                .arg(boiler.id)),
                 qPrintable(stamp.lastError().text()));
        QVERIFY(stamp.numRowsAffected() > 3);
        stamp.finish();
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("times"));
    const QByteArray stamped = WebJson::registerEvent(*m_gateway, boiler.devEui);
    QVERIFY(stamped.contains("\"updated\":\"2023-11-14T22:13:20Z\""));
    QVERIFY(stamped.contains("\"updated\":\"2023-11-14T22:13:21Z\""));
    QCOMPARE(
        stamped,
        QJsonDocument(QJsonObject { { QStringLiteral("devEui"), boiler.devEui },
                                    { QStringLiteral("registers"), WebJson::registers(*m_gateway, boiler) } })
            .toJson(QJsonDocument::Compact));
    // an unknown device: no registers
    QCOMPARE(WebJson::registerEvent(*m_gateway, QStringLiteral("00000000000000FF")),
             QByteArray(R"({"devEui":"00000000000000FF","registers":[]})"));
}

// A device's events after its first are built from memory, the values of
// each stored uplink taken in: whatever changed meanwhile (values, scaling,
// the device itself) must show as reading the store again shows it.
void tst_WebApi::registerEventsFollowValuesEditsAndNewDevices()
{
    addBoiler();
    const QString eui = QStringLiteral("0011223344550001");
    const auto removeAtEnd = qScopeGuard([this, eui] {
        m_gateway->removeDevice(eui); // the other cases add it as they need it
    });
    QByteArrayList sent;
    CWebEvents events(
        *m_gateway, [&sent](const QByteArray &event) { sent << event; }, [] { return 1; });
    events.setClockForTesting([this] { return m_now; });
    const auto nextEvent = [&] {
        sent.clear();
        m_now += CWebEvents::DeviceIntervalMs;
        events.deviceUpdated(eui);
        events.flushDue();
        return sent.size() == 1 ? sent.first() : QByteArray("no single event");
    };
    const auto fresh = [&] {
        return CWebEvents::format(QStringLiteral("registers"), WebJson::registerEvent(*m_gateway, eui));
    };
    // an uplink's batch, through the store as the decoder hands it on
    CDataBaseHandler &store = CGatewayInternals::store(*m_gateway);
    QSignalSpy stored(&store, &CDataBaseHandler::registerDataSaved);
    const auto uplink = [&](const QString &temperature) {
        SDeviceRegisterData batch { eui, 10, {}, {} };
        batch.registers.append({ temperature, temperature, 0 });
        batch.registers.append({ QStringLiteral("0037"), QStringLiteral("0037"), 1 });
        batch.registers.append({ QStringLiteral("0001"), QStringLiteral("0001"), 40 }); // no such row
        const int before = stored.count();
        store.queueRegisterData(batch);
        return stored.count() == before + 1;
    };

    QCOMPARE(nextEvent(), fresh());
    QVERIFY(uplink(QStringLiteral("00EB")));
    const QByteArray valued = nextEvent();
    QVERIFY(valued.contains("\"raw\":\"00EB\""));
    QCOMPARE(valued, fresh());
    QVERIFY(uplink(QStringLiteral("00EC")));
    QVERIFY(uplink(QStringLiteral("00ED")));
    QCOMPARE(nextEvent(), fresh());

    SRegisteredDevice boiler = m_gateway->device(eui);
    SDeviceRegUpdate update;
    update.deviceId = boiler.id;
    update.port = boiler.port;
    update.params.append({ 10, 5, 2, QStringLiteral("dC") });
    m_gateway->updateScaling(update);
    const QByteArray edited = nextEvent();
    QVERIFY(edited.contains("\"unit\":\"dC\""));
    QCOMPARE(edited, fresh());
    QVERIFY(uplink(QStringLiteral("00EE")));
    QVERIFY(nextEvent().contains("\"value\":\"238 [dC]\""));

    // Registered again: other rows at the same addresses, default scaling.
    QVERIFY(m_gateway->removeDevice(eui));
    SNewDevice again;
    again.devEui = eui;
    again.appEui = QStringLiteral("A1B2C3D400000001");
    again.name = QStringLiteral("Boiler again");
    again.port = boiler.port;
    again.startAddr = 10;
    SAddProblem problem;
    QVERIFY2(m_gateway->addDevices({ again }, &problem), qPrintable(problem.error));
    QVERIFY(uplink(QStringLiteral("00F0")));
    const QByteArray readded = nextEvent();
    QVERIFY(readded.contains("\"raw\":\"00F0\""));
    QVERIFY(!readded.contains("dC"));
    QCOMPARE(readded, fresh());

    // A row an earlier build left beyond 32 bits: shown at the last address,
    // never taken from memory.
    boiler = m_gateway->device(eui);
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("legacy"));
        db.setDatabaseName(m_dir.filePath(QStringLiteral("server.db")));
        QVERIFY(db.open());
        const QStringList &reg = QSL_GLOB_DEV_DATA_FIELDS;
        QSqlQuery legacy(db);
        QVERIFY2(legacy.exec(QStringLiteral("INSERT INTO %1 SELECT * FROM %1 WHERE %2 = %3 AND %4 = 10;")
                                 .arg(QS_DB_TABLE_DEV_DATA, reg[DB::REG_COL_DEVICE])
                                 .arg(boiler.id)
                                 .arg(reg[DB::REG_COL_ADDR]))
                     && legacy.exec(QStringLiteral("UPDATE %1 SET %2 = 4294967306 WHERE rowid = %3;")
                                        .arg(QS_DB_TABLE_DEV_DATA, reg[DB::REG_COL_ADDR])
                                        .arg(legacy.lastInsertId().toLongLong())),
                 qPrintable(legacy.lastError().text()));
        legacy.finish();
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("legacy"));
    QList<SDeviceRegister> registers = m_gateway->deviceRegisters(boiler.id);
    QCOMPARE(registers.last().address, 0xffffffffu);
    QVERIFY(!m_gateway->takeStoredValues(SDeviceRegisterData { eui, 10, {}, {} }, registers));
    update.deviceId = boiler.id;
    m_gateway->updateScaling(update); // the cached list goes
    QCOMPARE(nextEvent(), fresh());
    QVERIFY(uplink(QStringLiteral("00F1")));
    QCOMPARE(nextEvent(), fresh());
}

void tst_WebApi::addBoiler()
{
    if (m_gateway->isRegistered(QStringLiteral("0011223344550001")))
        return;
    SNewDevice device;
    device.devEui = QStringLiteral("0011223344550001");
    device.appEui = QStringLiteral("A1B2C3D400000001");
    device.name = QStringLiteral("Boiler, room \"A\"");
    device.port = freePort();
    device.startAddr = 10;
    SAddProblem problem;
    QVERIFY2(m_gateway->addDevices({ device }, &problem), qPrintable(problem.error));
}

SHttpRequest tst_WebApi::loggedIn(const QByteArray &method, const QByteArray &target, const QByteArray &body)
{
    return request(method, target, body,
                   { qMakePair(QByteArray("cookie"), "tidewell_session=" + m_auth->createSession()) });
}

void tst_WebApi::deviceQueriesAreChecked_data()
{
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QString>("field");
    QTest::newRow("sort") << QByteArray("sort=size") << "sort";
    QTest::newRow("order") << QByteArray("order=up") << "order";
    QTest::newRow("limit 0") << QByteArray("limit=0") << "limit";
    QTest::newRow("limit text") << QByteArray("limit=ten") << "limit";
    QTest::newRow("offset negative") << QByteArray("offset=-1") << "offset";
    QTest::newRow("port above 65535") << QByteArray("port=70000") << "port";
}

void tst_WebApi::deviceQueriesAreChecked()
{
    QFETCH(QByteArray, query);
    QFETCH(QString, field);
    const SHttpResponse refused = send(loggedIn("GET", "/api/devices?" + query));
    QCOMPARE(refused.status, 400);
    QVERIFY(bodyOf(refused).value(QStringLiteral("error")).toString().startsWith(field + QLatin1Char(':')));
}

// The listing is served from memory: each page holds the right devices in
// the right order (equal keys in the listing's order, reversed for desc), and
// an add or a delete shows on the next page asked for.
void tst_WebApi::devicePagesFollowAddsAndDeletes()
{
    const uint16_t port = freePort();
    const auto add = [this, port](const QString &eui, const QString &name, int32_t start) {
        SNewDevice device;
        device.devEui = eui;
        device.appEui = QStringLiteral("A1B2C3D400000001");
        device.name = name;
        device.port = port;
        device.startAddr = start;
        SAddProblem problem;
        QVERIFY2(m_gateway->addDevices({ device }, &problem), qPrintable(problem.error));
    };
    add(QStringLiteral("00AA000000000001"), QStringLiteral("beta"), 100);
    add(QStringLiteral("00AA000000000002"), QStringLiteral("Alpha"), 300);
    add(QStringLiteral("00AA000000000003"), QStringLiteral("alpha"), 200);
    add(QStringLiteral("00AA000000000004"), QStringLiteral("Gamma"), 400);
    add(QStringLiteral("00AA000000000005"), QStringLiteral("delta"), 500);
    const auto page = [this, port](const QByteArray &query, int *total = nullptr) {
        const SHttpResponse answer
            = send(loggedIn("GET", "/api/devices?port=" + QByteArray::number(port) + '&' + query));
        QStringList euis; // the last digit of each DevEUI
        const QJsonObject body = bodyOf(answer);
        for (const QJsonValue &device : body.value(QStringLiteral("devices")).toArray())
            euis << device.toObject().value(QStringLiteral("devEui")).toString().right(1);
        if (total)
            *total = body.value(QStringLiteral("total")).toInt();
        return euis.join(QLatin1Char(' '));
    };
    QCOMPARE(page("limit=10"), QStringLiteral("2 3 1 5 4"));
    QCOMPARE(page("offset=1&limit=2"), QStringLiteral("3 1"));
    QCOMPARE(page("order=desc&limit=2"), QStringLiteral("4 5"));
    QCOMPARE(page("order=desc&offset=3&limit=5"), QStringLiteral("3 2"));
    QCOMPARE(page("sort=startRegister&offset=1&limit=3"), QStringLiteral("3 2 4"));
    QCOMPARE(page("sort=devEui&order=desc&offset=4"), QStringLiteral("1"));
    QCOMPARE(page("offset=5"), QString());

    QVERIFY(m_gateway->removeDevice(QStringLiteral("00AA000000000001")));
    add(QStringLiteral("00AA000000000006"), QStringLiteral("Charlie"), 600);
    int total = 0;
    QCOMPARE(page("offset=1&limit=3", &total), QStringLiteral("3 6 5"));
    QCOMPARE(total, 5);
    QCOMPARE(page("sort=startRegister&limit=1"), QStringLiteral("3"));
    for (int n = 2; n <= 6; ++n)
        QVERIFY(m_gateway->removeDevice(QStringLiteral("00AA00000000000%1").arg(n)));
    QCOMPARE(page("limit=10", &total), QString());
    QCOMPARE(total, 0);
}

// The editor reads a multiplier it cannot parse as 1 and an extra value as 0;
// the API refuses them instead, naming the field, and changes nothing.
void tst_WebApi::scalingEditsAreStrict_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("field");
    QTest::newRow("fraction") << QByteArray(R"([{"address":10,"multiplier":1.5}])") << "multiplier";
    QTest::newRow("text") << QByteArray(R"([{"address":10,"multiplier":"2"}])") << "multiplier";
    QTest::newRow("above 32 bits") << QByteArray(R"([{"address":10,"extraValue":2147483648}])")
                                   << "extraValue";
    QTest::newRow("below 32 bits") << QByteArray(R"([{"address":10,"extraValue":-2147483649}])")
                                   << "extraValue";
    QTest::newRow("huge") << QByteArray(R"([{"address":10,"multiplier":1e300}])") << "multiplier";
    QTest::newRow("inside a field") << QByteArray(R"([{"address":9,"multiplier":2}])") << "address";
    QTest::newRow("text field") << QByteArray(R"([{"address":10,"multiplier":2},{"address":"10"}])")
                                << "address";
    QTest::newRow("unit not text") << QByteArray(R"([{"address":10,"unit":5}])") << "unit";
    QTest::newRow("not a list") << QByteArray(R"({"address":10,"multiplier":2})") << "";
}

void tst_WebApi::scalingEditsAreStrict()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, field);
    addBoiler();
    const SHttpResponse refused = send(loggedIn("PATCH", "/api/devices/0011223344550001/registers", body));
    QCOMPARE(refused.status, 400);
    QCOMPARE(bodyOf(refused).value(QStringLiteral("field")).toString(), field);
    const SRegisteredDevice boiler = m_gateway->device(QStringLiteral("0011223344550001"));
    for (const SDeviceRegister &reg : m_gateway->deviceRegisters(boiler.id))
        QVERIFY(reg.multiplier == 1 && reg.extraValue == 0);

    // The same edit, well formed, is taken and answered with the registers.
    const SHttpResponse taken
        = send(loggedIn("PATCH", "/api/devices/0011223344550001/registers",
                        R"([{"address":10,"unit":"dC","multiplier":-3,"extraValue":-2147483648}])"));
    QCOMPARE(taken.status, 200);
    const QJsonObject first = bodyOf(taken).value(QStringLiteral("registers")).toArray().first().toObject();
    QCOMPARE(first.value(QStringLiteral("multiplier")).toInt(), -3);
    QCOMPARE(first.value(QStringLiteral("extraValue")).toDouble(), -2147483648.0);
    QCOMPARE(first.value(QStringLiteral("unit")).toString(), QStringLiteral("dC"));
    send(loggedIn("PATCH", "/api/devices/0011223344550001/registers",
                  R"([{"address":10,"unit":"","multiplier":1,"extraValue":0}])"));
}

void tst_WebApi::registerMapComesInChunks()
{
    addBoiler();
    const int fields
        = m_gateway->deviceRegisters(m_gateway->device(QStringLiteral("0011223344550001")).id).size();
    for (const bool csv : { true, false }) {
        SHttpResponse map = send(loggedIn("GET", csv ? "/api/register-map.csv" : "/api/register-map"));
        QCOMPARE(map.status, 200);
        QVERIFY(map.chunks);
        QByteArray whole;
        int pieces = 0;
        for (QByteArray piece = map.chunks(); !piece.isEmpty(); piece = map.chunks()) {
            whole += piece;
            QVERIFY(++pieces < 1000);
        }
        if (csv) {
            const QList<QByteArray> lines = whole.trimmed().split('\n');
            QCOMPARE(lines.size(), fields + 1);
            QCOMPARE(lines[0].trimmed(),
                     QByteArray("port,address,device,devEui,field,dataType,bitSize,wordOrder,unit,multiplier,"
                                "extraValue,unitId"));
            // A name with a comma and quotes stays one cell.
            QVERIFY2(
                lines[1].contains(
                    ",10,\"Boiler, room \"\"A\"\"\",0011223344550001,Temperature,integer,16,high_first,"),
                lines[1]);
        } else {
            const QJsonArray rows = QJsonDocument::fromJson(whole).array();
            QCOMPARE(rows.size(), fields);
            QCOMPARE(rows[0].toObject().value(QStringLiteral("address")).toInt(), 10);
        }
    }
    // Small chunks give the same map.
    SRegisterMapCursor cursor;
    QByteArray pieces;
    int count = 0;
    for (QByteArray piece = RegisterMapExport::jsonChunk(*m_gateway, cursor, 1); !piece.isEmpty();
         piece = RegisterMapExport::jsonChunk(*m_gateway, cursor, 1), ++count)
        pieces += piece;
    QCOMPARE(QJsonDocument::fromJson(pieces).array().size(), fields);
    QVERIFY(count >= fields);
    QCOMPARE(send(loggedIn("GET", "/api/register-map?port=0")).status, 400);
}

void tst_WebApi::metricsStartAtZero()
{
    m_api->setOptions({ true, false, QString() });
    const SHttpResponse metrics = send(request("GET", "/metrics"));
    QCOMPARE(metrics.status, 200);
    QCOMPARE(metrics.header("Content-Type"), QByteArray("text/plain; version=0.0.4; charset=utf-8"));
    for (const QByteArray &series :
         { QByteArray("tidewell_server_connected 0"), QByteArray("tidewell_server_reconnects_total 0"),
           QByteArray("tidewell_uplinks_total{result=\"decoded\"} 0"),
           QByteArray("tidewell_uplinks_total{result=\"rejected\"} 0"),
           QByteArray("tidewell_modbus_connections 0"),
           QByteArray("tidewell_modbus_requests_total{function=\"other\"} "),
           QByteArray("tidewell_modbus_exceptions_total{code=\"10\"} "),
           QByteArray("tidewell_modbus_exceptions_total{code=\"11\"} "),
           QByteArray("tidewell_modbus_connections_rejected_total "),
           QByteArray("tidewell_devices{state=\"silent\"} 0") })
        QVERIFY2(metrics.body.contains("\n" + series), series);
    QVERIFY(!metrics.body.contains("tidewell_device_last_uplink_timestamp_seconds"));
    // Not public: the same authentication as the API.
    m_api->setOptions({ false, false, QString() });
    QCOMPARE(send(request("GET", "/metrics")).status, 401);
}

void tst_WebApi::healthNamesWhatIsWrong()
{
    // Never logged in to the server: not healthy, whatever the grace period.
    const SHttpResponse health = send(request("GET", "/healthz"));
    QCOMPARE(health.status, 503);
    QVERIFY2(health.body.startsWith("not logged in to the network server"), health.body);
}

QTEST_GUILESS_MAIN(tst_WebApi)
#include "tst_webapi.moc"
