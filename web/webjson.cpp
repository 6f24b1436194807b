#include "web/webjson.h"

#include "core/gateway.h"

#include <QDateTime>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace WebJson {

QJsonValue time(qint64 msSinceEpoch)
{
    if (msSinceEpoch < 0)
        return QJsonValue::Null;
    return QDateTime::fromMSecsSinceEpoch(msSinceEpoch, Qt::UTC).toString(Qt::ISODate);
}

QJsonObject serverStatus(const CGateway &gateway)
{
    const COMM::EServerStatus status = gateway.serverStatus();
    static const char *const names[]
        = { "SUCCESS", "PING_WAITING", "INVALID_PING", "AUTH_WAITING", "INVALID_AUTH", "DISCONNECTED" };
    const SServerSettings &server = gateway.serverSettings();
    return { { QStringLiteral("status"), QLatin1String(names[int(status)]) },
             { QStringLiteral("statusText"), QLatin1String(COMM::statusText(status)) },
             { QStringLiteral("since"), time(gateway.serverStatusSinceMs()) },
             { QStringLiteral("address"), server.host.isEmpty() ? QString() : server.origin() },
             { QStringLiteral("login"), server.login } };
}

QJsonObject device(const CGateway &gateway, const SRegisteredDevice &device)
{
    const SDeviceType type = gateway.deviceType(device.appEui);
    return { { QStringLiteral("devEui"), device.devEui },
             { QStringLiteral("name"), device.name },
             { QStringLiteral("devType"), type.devType },
             { QStringLiteral("appEui"), device.appEui },
             { QStringLiteral("color"), type.color.isValid() ? QJsonValue(type.color.name()) : QJsonValue() },
             { QStringLiteral("port"), int(device.port) },
             { QStringLiteral("startRegister"), int(device.startAddr) },
             { QStringLiteral("unitId"), device.unitId > 0 ? QJsonValue(device.unitId) : QJsonValue() },
             { QStringLiteral("lastUplink"), time(device.lastUplinkMs) },
             { QStringLiteral("silentSince"), time(device.silentSinceMs) },
             { QStringLiteral("served"), device.served },
             { QStringLiteral("notServedReason"),
               device.served ? QJsonValue()
                             : QJsonValue(QStringLiteral("port %1 cannot be opened").arg(device.port)) } };
}

QJsonObject deviceRegister(const SDeviceRegister &reg)
{
    return { { QStringLiteral("address"), qint64(reg.address) },
             { QStringLiteral("name"), reg.name },
             { QStringLiteral("dataType"), reg.dataType },
             { QStringLiteral("bitSize"), qint64(reg.bitSize) },
             { QStringLiteral("raw"), reg.raw },
             { QStringLiteral("value"), reg.value },
             { QStringLiteral("unit"), reg.unit },
             { QStringLiteral("multiplier"), reg.multiplier },
             { QStringLiteral("extraValue"), reg.extraValue },
             { QStringLiteral("updated"), time(reg.updatedMs) },
             { QStringLiteral("editable"), reg.numeric } };
}

QJsonArray registers(const CGateway &gateway, const SRegisteredDevice &device)
{
    QJsonArray list;
    for (const SDeviceRegister &reg : gateway.deviceRegisters(device.id))
        list.append(deviceRegister(reg));
    return list;
}

QJsonObject deviceDetail(const CGateway &gateway, const SRegisteredDevice &entry)
{
    QJsonObject detail = device(gateway, entry);
    detail.insert(QStringLiteral("registers"), registers(gateway, entry));
    return detail;
}

QJsonObject silence(const CGateway &gateway, const QString &devEui, bool silent)
{
    return { { QStringLiteral("devEui"), devEui },
             { QStringLiteral("silent"), silent },
             { QStringLiteral("silentSince"), time(silent ? gateway.device(devEui).silentSinceMs : -1) } };
}

namespace {

// As QJsonDocument escapes a string: quote, backslash and control characters;
// everything else as UTF-8.
void appendString(QByteArray &out, const QString &text)
{
    static const char hex[] = "0123456789abcdef";
    out += '"';
    const QByteArray utf8 = text.toUtf8();
    const char *const end = utf8.constData() + utf8.size();
    const char *plain = utf8.constData(); // start of the run not yet written
    for (const char *at = plain; at != end; ++at) {
        const auto u = static_cast<unsigned char>(*at);
        if (u >= 0x20 && u != '"' && u != '\\')
            continue;
        out.append(plain, int(at - plain));
        plain = at + 1;
        out += '\\';
        switch (u) {
        case '"':
            out += '"';
            break;
        case '\\':
            out += '\\';
            break;
        case '\b':
            out += 'b';
            break;
        case '\f':
            out += 'f';
            break;
        case '\n':
            out += 'n';
            break;
        case '\r':
            out += 'r';
            break;
        case '\t':
            out += 't';
            break;
        default:
            out += "u00";
            out += hex[u >> 4];
            out += hex[u & 0xf];
        }
    }
    out.append(plain, int(end - plain));
    out += '"';
}

void appendNumber(QByteArray &out, qint64 number)
{
    char text[24];
    const std::to_chars_result written = std::to_chars(text, text + sizeof text, number);
    out.append(text, int(written.ptr - text));
}

// time() as text: "yyyy-MM-ddTHH:mm:ssZ", or null. The registers of one
// event mostly share their second: the last one's text is kept.
void appendTime(QByteArray &out, qint64 msSinceEpoch)
{
    if (msSinceEpoch < 0) {
        out += "null";
        return;
    }
    const time_t seconds = time_t(msSinceEpoch / 1000);
    thread_local time_t lastSeconds = -1;
    thread_local char lastText[40];
    if (seconds == lastSeconds) {
        out += lastText;
        return;
    }
    tm utc {};
    char text[40];
    if (gmtime_r(&seconds, &utc) && utc.tm_year + 1900 <= 9999
        && snprintf(text, sizeof text, "\"%04d-%02d-%02dT%02d:%02d:%02dZ\"", utc.tm_year + 1900,
                    utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec)
            > 0) {
        out += text;
        lastSeconds = seconds;
        std::memcpy(lastText, text, sizeof text);
    } else {
        appendString(out, time(msSinceEpoch).toString());
    }
}

} // namespace

QByteArray registerEvent(const CGateway &gateway, const QString &devEui)
{
    const SRegisteredDevice entry = gateway.device(devEui);
    return registerEvent(devEui,
                         entry.id == 0 ? QList<SDeviceRegister>() : gateway.deviceRegisters(entry.id));
}

QByteArray registerEvent(const QString &devEui, const QList<SDeviceRegister> &registers)
{
    QByteArray out;
    out.reserve(4096);
    out += "{\"devEui\":";
    appendString(out, devEui);
    out += ",\"registers\":[";
    bool first = true;
    for (const SDeviceRegister &reg : registers) {
        if (!first)
            out += ',';
        first = false;
        // QJsonObject's key order
        out += "{\"address\":";
        appendNumber(out, qint64(reg.address));
        out += ",\"bitSize\":";
        appendNumber(out, qint64(reg.bitSize));
        out += ",\"dataType\":";
        appendString(out, reg.dataType);
        out += reg.numeric ? ",\"editable\":true" : ",\"editable\":false";
        out += ",\"extraValue\":";
        appendNumber(out, reg.extraValue);
        out += ",\"multiplier\":";
        appendNumber(out, reg.multiplier);
        out += ",\"name\":";
        appendString(out, reg.name);
        out += ",\"raw\":";
        appendString(out, reg.raw);
        out += ",\"unit\":";
        appendString(out, reg.unit);
        out += ",\"updated\":";
        appendTime(out, reg.updatedMs);
        out += ",\"value\":";
        appendString(out, reg.value);
        out += '}';
    }
    out += "]}";
    return out;
}

QJsonObject counters(const CGateway &gateway)
{
    const SGatewayCounters counters = gateway.counters();
    QJsonArray ports;
    int connections = 0;
    for (auto it = counters.connectionsByPort.cbegin(); it != counters.connectionsByPort.cend(); ++it) {
        ports.append(QJsonObject { { QStringLiteral("port"), int(it.key()) },
                                   { QStringLiteral("connections"), it.value() },
                                   { QStringLiteral("listening"), true } });
        connections += it.value();
    }
    return { { QStringLiteral("uplinks"),
               QJsonObject { { QStringLiteral("decoded"), qint64(counters.uplinksDecoded) },
                             { QStringLiteral("rejected"), qint64(counters.uplinksRejected) } } },
             { QStringLiteral("modbus"),
               QJsonObject { { QStringLiteral("ports"), ports },
                             { QStringLiteral("connections"), connections } } } };
}

QJsonObject deviceType(const SDeviceType &type)
{
    QJsonArray problems;
    for (const STemplateProblem &problem : type.problems)
        problems.append(QJsonObject { { QStringLiteral("part"), problem.part },
                                      { QStringLiteral("reason"), problem.reason } });
    return { { QStringLiteral("devType"), type.devType },
             { QStringLiteral("appEui"), type.appEui },
             { QStringLiteral("color"), type.color.isValid() ? QJsonValue(type.color.name()) : QJsonValue() },
             { QStringLiteral("silentAfterS"),
               type.silentAfterS > 0 ? QJsonValue(type.silentAfterS) : QJsonValue() },
             { QStringLiteral("silentAnswer"),
               type.silentException ? QStringLiteral("exception") : QStringLiteral("last") },
             { QStringLiteral("registerSpan"), qint64(type.registerSpan) },
             { QStringLiteral("file"), type.file },
             { QStringLiteral("problems"), problems } };
}

} // namespace WebJson
