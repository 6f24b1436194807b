#include "serverlink/apirecords.h"

#include "serverlink/serverstatus.h"

#include "app/constants.h"

#include <QDebug>
#include <QJsonDocument>

namespace {

// Frame types that carry an uplink (entries 0 and 2 of the frame type list).
const QString QS_FRAME_UNCONF_UP = QStringLiteral("UNCONF_UP");
const QString QS_FRAME_CONF_UP = QStringLiteral("CONF_UP");

// A JSON number (rounded to the nearest integer) or a decimal text; anything
// else, including negative and out-of-range numbers, gives 0.
quint64 toUnsigned(const QJsonValue &value)
{
    if (value.isString())
        return value.toString().toULongLong();
    if (!value.isDouble())
        return 0;
    const double number = value.toDouble();
    if (!(number >= 0.0) || number >= 18446744073709551615.0)
        return 0;
    return static_cast<quint64>(number + 0.5);
}

QByteArray compact(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace

namespace API {

SApiDeviceData::SApiDeviceData(const QJsonObject &object)
{
    if (object.isEmpty())
        return;

    const QString type = object.value(QS_API_TYPE).toString();
    if (!type.contains(QS_FRAME_UNCONF_UP) && !type.contains(QS_FRAME_CONF_UP)) {
        qDebug().noquote() << "[SApiDeviceData] Not UPLINK message";
        return;
    }
    if (!object.contains(QS_API_DATA)) {
        qDebug().noquote() << "[SApiDeviceData] DATA is not exist";
        return;
    }

    devEui = object.value(QS_API_DEV_EUI).toString().toUpper();
    // ts, fcnt and freq may come as decimal text as well as numbers.
    ts = toUnsigned(object.value(QS_API_TS));
    gatewayId = object.value(QS_API_GATEWAY_ID)
                    .toString()
                    .split(QLatin1Char('+'), Qt::KeepEmptyParts)
                    .constFirst()
                    .toUpper();
    ack = object.value(QS_API_ACK).toBool(false);
    fcnt = static_cast<quint32>(toUnsigned(object.value(QS_API_FCNT)));
    port = static_cast<quint16>(object.value(QS_API_PORT).toInt(0));
    data = QByteArray::fromHex(object.value(QS_API_DATA).toString().toUtf8());
    freq = static_cast<quint32>(toUnsigned(object.value(QS_API_FREQ)));
    dr = static_cast<qint16>(object.value(QS_API_DR).toInt(0));
    rssi = static_cast<qint16>(object.value(QS_API_RSSI).toInt(0));
    snr = object.value(QS_API_SNR).toDouble(0.0);
}

QByteArray buildProbeMessage()
{
    return compact(QJsonObject { { QS_API_CMD, QS_API_CMD } });
}

QByteArray buildAuthRequest(const QString &login, const QString &password)
{
    return compact(QJsonObject {
        { QS_API_CMD, QS_API_AUTH_REQ },
        { QS_API_LOGIN, login },
        { QS_API_PASSWORD, password },
    });
}

QByteArray buildDevicesListRequest(const QStringList &appEuiList)
{
    const QJsonObject select { { QS_API_APPEUI_LIST, QJsonArray::fromStringList(appEuiList) } };
    return compact(QJsonObject {
        { QS_API_CMD, QS_API_GET_DEVICES_REQ },
        { QS_API_SELECT, select },
    });
}

QList<SServerDeviceInfo> parseDevicesList(const QJsonArray &devicesList)
{
    QList<SServerDeviceInfo> result;
    for (const QJsonValue &element : devicesList) {
        const QJsonObject device = element.toObject();
        if (!device.contains(QS_API_DEV_EUI) || !device.contains(QS_API_DEV_NAME)
            || !device.contains(QS_API_OTAA))
            continue;
        SServerDeviceInfo info;
        info.devEui = device.value(QS_API_DEV_EUI).toString().toUpper();
        info.devName = device.value(QS_API_DEV_NAME).toString();
        info.appEui = device.value(QS_API_OTAA).toObject().value(QS_API_APP_EUI).toString().toUpper();
        // A device without a DevEUI could never be matched to an uplink.
        if (info.appEui.isEmpty() || info.devEui.isEmpty())
            continue;
        result.append(info);
    }
    return result;
}

bool parseDevicesListReply(const QJsonObject &reply, QList<SServerDeviceInfo> *list)
{
    const bool status = reply.value(QS_API_STATUS).toBool(false);
    if (list)
        *list = status ? parseDevicesList(reply.value(QS_API_DEVICES_LIST).toArray())
                       : QList<SServerDeviceInfo>();
    return status;
}

} // namespace API

void API::registerMetaTypes()
{
    qRegisterMetaType<COMM::EServerStatus>("COMM::EServerStatus");
    qRegisterMetaType<QList<API::SServerDeviceInfo>>("QList<API::SServerDeviceInfo>");
    qRegisterMetaType<API::SApiDeviceData>("API::SApiDeviceData");
}
