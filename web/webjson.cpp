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

QJsonObject serverStatus(const CGateway &)
{
    return {};
}

QJsonObject silence(const CGateway &gateway, const QString &devEui, bool silent)
{
    const qint64 quiet = gateway.silentForMs(devEui);
    return { { QStringLiteral("devEui"), devEui },
             { QStringLiteral("silent"), silent },
             { QStringLiteral("silentSince"),
               time(silent && quiet >= 0 ? QDateTime::currentMSecsSinceEpoch() - quiet : -1) } };
}

QJsonObject registerEvent(const CGateway &, const QString &devEui)
{
    return { { QStringLiteral("devEui"), devEui } };
}

QJsonObject counters(const CGateway &)
{
    return {};
}

void connectDeviceNotices(CGateway &, QObject *, std::function<void(const QString &, const QJsonObject &)>)
{
}

} // namespace WebJson
