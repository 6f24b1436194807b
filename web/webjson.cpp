#include "web/webjson.h"

#include "core/gateway.h"

#include <QDateTime>

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

QJsonObject registerEvent(const CGateway &gateway, const QString &devEui)
{
    const SRegisteredDevice entry = gateway.device(devEui);
    return { { QStringLiteral("devEui"), devEui },
             { QStringLiteral("registers"), entry.id == 0 ? QJsonArray() : registers(gateway, entry) } };
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
