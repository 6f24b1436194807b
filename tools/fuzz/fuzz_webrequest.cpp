// Feeds arbitrary requests to the HTTP API's request handling, as the HTTP
// library would hand them over after its own parsing: a request line
// ("METHOD TARGET"), header lines up to an empty line, then the body. The
// gateway behind it is real (a store in a temporary directory, the sample
// templates, one registered device); the word SESSION in the input stands for
// an open session's cookie, so the logged-in routes are reached as well.
// Whatever comes, every answer must have a status from 200 to 599, the
// security headers, and a JSON body whenever an API call was refused.

#include "app/logfile.h"
#include "core/gateway.h"
#include "tools/fuzz/fuzzsupport.h"
#include "web/webapi.h"
#include "web/webauth.h"
#include "web/webpassword.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QTcpServer>
#include <QTemporaryDir>

#include <cstdint>

namespace {

struct SRig
{
    QTemporaryDir dir;
    std::unique_ptr<CGateway> gateway;
    CWebAuth auth;
    std::unique_ptr<CWebApi> api;
    QByteArray session;
    quint16 port = 0;

    // The registered device the inputs read, edit and delete: put back when
    // an input deleted it, so that every input meets the same gateway.
    void ensureDevice()
    {
        if (gateway->isRegistered(QStringLiteral("0011223344550001")))
            return;
        SNewDevice device;
        device.devEui = QStringLiteral("0011223344550001");
        device.appEui = QStringLiteral("A1B2C3D400000001");
        device.name = QStringLiteral("Boiler room");
        device.port = port;
        device.startAddr = 10;
        gateway->addDevices({ device });
    }

    SRig()
    {
        QDir::setCurrent(dir.path());
        QDir().mkpath(QStringLiteral("deviceFolder"));
        QFile::copy(QStringLiteral(TIDEWELL_SOURCE_DIR "/resources/templates/th-sensor.json"),
                    QStringLiteral("deviceFolder/th-sensor.json"));
        CLogFile::getInstance(QStringLiteral("history.log"));
        gateway
            = std::make_unique<CGateway>(dir.filePath(QStringLiteral("server.db")), QStringLiteral("fuzz"));
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        port = probe.serverPort();
        probe.close();
        ensureDevice();
        auth.setPasswordHash(WebPassword::hash("pw", 1));
        session = auth.createSession();
        api = std::make_unique<CWebApi>(*gateway, auth, nullptr);
        api->setOptions({ false, true, dir.filePath(QStringLiteral("history.log")) });
    }
};

SHttpRequest parseInput(const QByteArray &input, const QByteArray &session)
{
    SHttpRequest request;
    QByteArray text = input;
    text.replace("SESSION", session);
    const int headEnd = text.indexOf("\n\n");
    const QByteArray head = headEnd < 0 ? text : text.left(headEnd);
    request.body = headEnd < 0 ? QByteArray() : text.mid(headEnd + 2);
    const QList<QByteArray> lines = head.split('\n');
    const QList<QByteArray> first = lines.value(0).split(' ');
    request.method = first.value(0);
    request.target = first.value(1);
    for (int i = 1; i < lines.size(); ++i) {
        const int colon = lines[i].indexOf(':');
        if (colon > 0)
            request.headers.append(
                { lines[i].left(colon).trimmed().toLower(), lines[i].mid(colon + 1).trimmed() });
    }
    request.peer = QStringLiteral("192.0.2.1");
    request.bodyTooLarge = request.body.size() > 4096 && request.body.startsWith('!');
    return request;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static int argc = 1;
    static char name[] = "fuzz_webrequest";
    static char *argv[] = { name, nullptr };
    static QCoreApplication app(argc, argv);
    static const bool prepared = Fuzz::prepare();
    static SRig rig;
    Q_UNUSED(prepared)

    rig.ensureDevice();
    const SHttpRequest request
        = parseInput(QByteArray(reinterpret_cast<const char *>(data), int(size)), rig.session);
    SHttpResponse response = rig.api->handle(request);
    // Answers given later (a password check, the server's device list) are
    // not waited for: they leave the request handling.
    if (response.later)
        return 0;
    Fuzz::check(response.status >= 200 && response.status <= 599);
    Fuzz::check(response.header("X-Content-Type-Options") == "nosniff");
    Fuzz::check(!response.header("Content-Security-Policy").isEmpty());
    if (response.status >= 400 && response.header("Content-Type").startsWith("application/json"))
        Fuzz::check(QJsonDocument::fromJson(response.body).isObject());
    if (response.chunks) {
        // The export ends, and ends soon.
        for (int pieces = 0; pieces < 10000; ++pieces)
            if (response.chunks().isEmpty())
                return 0;
        Fuzz::check(false);
    }
    return 0;
}
