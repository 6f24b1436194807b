#include "devices/devicetemplate.h"

#include "app/constants.h"
#include "app/globaldata.h"
#include "app/logfile.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonValue>

namespace {

// Keys are tested in the order given, as the messages depend on the first failure.
bool anyMissing(const QJsonObject &object, std::initializer_list<const QString *> keys)
{
    for (const QString *key : keys) {
        if (!object.contains(*key))
            return true;
    }
    return false;
}

bool anyNull(const QJsonObject &object, std::initializer_list<const QString *> keys)
{
    for (const QString *key : keys) {
        if (object.value(*key).isNull())
            return true;
    }
    return false;
}

int numberOf(const QJsonObject &object, const QString &key)
{
    return object.value(key).toInt(0);
}

} // namespace

SServerData::SServerData(const QJsonObject &object)
{
    if (object.isEmpty()) {
        qDebug().noquote() << "[SServerData] Empty input JSON";
        return;
    }
    const std::initializer_list<const QString *> keys
        = { &QS_TPL_DATA_CODE, &QS_TPL_REG_MAP_BIAS, &QS_TPL_REG_BIT_BIAS, &QS_TPL_REG_BIT_SIZE,
            &QS_TPL_DATA_NAME };
    if (anyMissing(object, keys)) {
        qDebug().noquote() << "[SServerData] Invalid input JSON";
        return;
    }
    if (anyNull(object, keys)) {
        qDebug().noquote() << "[SServerData] One or several values of input JSON is NULL";
        return;
    }

    data_code = object.value(QS_TPL_DATA_CODE).toString();
    const auto kind = QM_GLOB_SERVER_DATA.constFind(data_code);
    if (kind == QM_GLOB_SERVER_DATA.constEnd()) {
        addLog(QStringLiteral("ERROR: [SServerData] Server keyword [%1] is unknown!").arg(data_code));
        return;
    }
    bitSize = kind->first;
    type = kind->second;
    qDebug().noquote()
        << QStringLiteral("[%1] - bitSize[%2], type[%3]").arg(data_code).arg(bitSize).arg(type);

    reg_map_bias = numberOf(object, QS_TPL_REG_MAP_BIAS);
    reg_bit_bias = numberOf(object, QS_TPL_REG_BIT_BIAS);
    reg_bit_size = numberOf(object, QS_TPL_REG_BIT_SIZE);
    data_name = object.value(QS_TPL_DATA_NAME).toString();
    valid = true;
}

SDevicePacketField::SDevicePacketField(const QJsonObject &object)
{
    if (object.isEmpty()) {
        qDebug().noquote() << "[SDevicePacketField] Empty input JSON";
        return;
    }
    const std::initializer_list<const QString *> keys
        = { &QS_TPL_PACKET_BIAS,  &QS_TPL_DATA_BIT_BIAS, &QS_TPL_DATA_BIT_SIZE, &QS_TPL_DATA_TYPE,
            &QS_TPL_REG_MAP_BIAS, &QS_TPL_REG_BIT_BIAS,  &QS_TPL_REG_BIT_SIZE,  &QS_TPL_DATA_NAME };
    if (anyMissing(object, keys)) {
        qDebug().noquote() << "[SDevicePacketField] Invalid input JSON";
        return;
    }
    if (anyNull(object, keys)) {
        qDebug().noquote() << "[SDevicePacketField] One or several values of input JSON is NULL";
        return;
    }

    packet_bias = numberOf(object, QS_TPL_PACKET_BIAS);
    data_bit_bias = numberOf(object, QS_TPL_DATA_BIT_BIAS);
    data_bit_size = numberOf(object, QS_TPL_DATA_BIT_SIZE);
    data_type = object.value(QS_TPL_DATA_TYPE).toString();
    reg_map_bias = numberOf(object, QS_TPL_REG_MAP_BIAS);
    reg_bit_bias = numberOf(object, QS_TPL_REG_BIT_BIAS);
    reg_bit_size = numberOf(object, QS_TPL_REG_BIT_SIZE);
    data_name = object.value(QS_TPL_DATA_NAME).toString();
    valid = true;
}

SDevicePacket::SDevicePacket(const QJsonObject &object)
{
    if (object.isEmpty())
        return;
    const std::initializer_list<const QString *> keys = { &QS_TPL_PACKET_TYPE, &QS_TPL_PACKET_FIELDS };
    if (anyMissing(object, keys)) {
        qDebug().noquote() << "[SDevicePacket] Invalid input JSON";
        return;
    }
    if (anyNull(object, keys)) {
        qDebug().noquote() << "[SDevicePacket] One or several values of input JSON is NULL";
        return;
    }

    packet_type = numberOf(object, QS_TPL_PACKET_TYPE);
    // Absent and null are the same for this optional key; undefined also reads as 0.
    packet_size = numberOf(object, QS_TPL_PACKET_SIZE);

    const QJsonArray fields = object.value(QS_TPL_PACKET_FIELDS).toArray();
    if (fields.isEmpty()) {
        qDebug().noquote() << "[SDevicePacket] Packet fields array is empty";
        return;
    }
    for (const QJsonValue &element : fields) {
        SDevicePacketField field(element.toObject());
        if (field.valid)
            packet_fields.append(field);
    }
    valid = !packet_fields.isEmpty();
}

SDeviceTemplate::SDeviceTemplate(const QJsonObject &object)
{
    if (object.isEmpty()) {
        qDebug().noquote() << "[SDeviceTemplate] Empty input JSON";
        return;
    }
    const std::initializer_list<const QString *> keys
        = { &QS_TPL_APP_EUI, &QS_TPL_DEV_TYPE, &QS_TPL_DEVICE_PACKETS };
    if (anyMissing(object, keys)) {
        qDebug().noquote() << "[SDeviceTemplate] Invalid input JSON";
        return;
    }
    if (anyNull(object, keys)) {
        qDebug().noquote() << "[SDeviceTemplate] One or several values of input JSON is NULL";
        return;
    }

    app_eui = object.value(QS_TPL_APP_EUI).toString().toUpper();
    dev_type = object.value(QS_TPL_DEV_TYPE).toString();

    const QJsonArray packets = object.value(QS_TPL_DEVICE_PACKETS).toArray();
    for (const QJsonValue &element : packets) {
        SDevicePacket packet(element.toObject());
        if (packet.valid)
            device_packets.insert(static_cast<uint32_t>(packet.packet_type), packet);
    }
    if (device_packets.isEmpty()) {
        qDebug().noquote() << "[SDeviceTemplate] Device packets array is empty";
        return;
    }
    valid = true;

    const QJsonValue serverData = object.value(QS_TPL_SERVER_DATA);
    if (!serverData.isUndefined() && !serverData.isNull()) {
        const QJsonArray entries = serverData.toArray();
        for (const QJsonValue &element : entries) {
            SServerData data(element.toObject());
            if (data.valid)
                server_data.insert(data.data_code, data);
        }
    }

    if (object.contains(QS_TPL_COLOR)) {
        const QString name = object.value(QS_TPL_COLOR).toString();
        QColor parsed;
        parsed.setNamedColor(name);
        if (parsed.isValid())
            color = parsed;
        else
            qDebug().noquote() << QStringLiteral("[SDeviceTemplate] Invalid color name [%1]").arg(name);
    }
}
