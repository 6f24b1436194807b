// Feeds arbitrary text messages to a real server session, as the WebSocket
// would deliver them, and to the API record parsers. The first byte chooses
// the session's state before the messages (just connected, or logged in, with
// or without a device list request in flight); the rest is split into
// messages at line breaks. Whatever the server sends, the session must not
// crash, and what it hands on must be whole: uplinks with a DevEUI, device
// lists only with a true status, every listed device with both EUIs in
// upper case. Nothing nested deeper than the guard allows is ever parsed.

#include "serverlink/apirecords.h"
#include "serverlink/jsonguard.h"
#include "serverlink/serverhandler.h"
#include "tools/fuzz/fuzzsupport.h"

#include <QCoreApplication>
#include <QJsonDocument>

#include <QJsonArray>
#include <QJsonObject>

#include <algorithm>
#include <cstdint>

namespace {

// The session's message handling, reached without a socket: the probe and the
// login request go to a socket that is not open and are lost.
class CFuzzSession : public CServerHandler
{
public:
    void connected() { socketConnectedSlot(); }
    void receive(const QByteArray &text) { textMessageReceivedSlot(QString::fromUtf8(text)); }
    void sendQueuedRequest() { newTaskSlot(); }
};

const QByteArray kProbeAnswer = R"({"err_string":"unknown cmd"})";
const QByteArray kLoginSuccess = R"({"cmd":"auth_resp","status":true,"token":"c3f1a7"})";

bool isUpper(const QString &text)
{
    return text == text.toUpper();
}

void checkDevices(const QList<API::SServerDeviceInfo> &devices)
{
    for (const API::SServerDeviceInfo &device : devices) {
        Fuzz::check(!device.devEui.isEmpty() && !device.appEui.isEmpty());
        Fuzz::check(isUpper(device.devEui) && isUpper(device.appEui));
    }
}

// Nesting of a parsed value: a scalar 0, a container one more than its deepest member.
int depthOf(const QJsonValue &value)
{
    int deepest = 0;
    if (value.isArray()) {
        for (const QJsonValue &member : value.toArray())
            deepest = std::max(deepest, depthOf(member));
        return deepest + 1;
    }
    if (value.isObject()) {
        for (const QJsonValue &member : value.toObject())
            deepest = std::max(deepest, depthOf(member));
        return deepest + 1;
    }
    return 0;
}

void parseAlone(const QByteArray &text)
{
    // parsed as the session parses; nothing deeper than the guard's limit
    // ever reaches the parser's result
    JsonGuard::EVerdict verdict = JsonGuard::EVerdict::Fine;
    const QJsonDocument document = JsonGuard::parse(text, &verdict);
    Fuzz::check(verdict == JsonGuard::EVerdict::Fine || document.isNull());
    if (!document.isObject())
        return;
    const QJsonObject object = document.object();
    Fuzz::check(depthOf(object) <= JsonGuard::MaxDepth);
    const API::SApiDeviceData uplink(object);
    Fuzz::check(uplink.devEui.isEmpty() || isUpper(uplink.devEui));
    QList<API::SServerDeviceInfo> devices;
    const bool status = API::parseDevicesListReply(object, &devices);
    Fuzz::check(status || devices.isEmpty());
    checkDevices(devices);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool ready = Fuzz::prepare();
    Q_UNUSED(ready)
    // The session's timers need an application object.
    static int argc = 1;
    static char name[] = "fuzz_servermessage";
    static char *argv[] = { name, nullptr };
    static QCoreApplication app(argc, argv);
    if (size < 1)
        return 0;

    CFuzzSession session;
    QObject::connect(&session, &CServerHandler::newPacketReceived, &session,
                     [](const API::SApiDeviceData &uplink) { Fuzz::check(!uplink.devEui.isEmpty()); });
    QObject::connect(&session, &CServerHandler::getDevicesListResp, &session,
                     [](bool status, const QList<API::SServerDeviceInfo> &devices) {
                         Fuzz::check(status || devices.isEmpty());
                         checkDevices(devices);
                     });
    session.connected();
    if (data[0] & 1) {
        session.receive(kProbeAnswer);
        session.receive(kLoginSuccess);
        if ((data[0] & 2) && session.getDevicesList({ QStringLiteral("A1B2C3D400000001") }))
            session.sendQueuedRequest();
    }

    const QByteArray rest(reinterpret_cast<const char *>(data + 1), int(size - 1));
    for (const QByteArray &message : rest.split('\n')) {
        session.receive(message);
        parseAlone(message);
    }
    // Queued work (the next request) runs as it would on the event loop.
    QCoreApplication::sendPostedEvents();
    return 0;
}
