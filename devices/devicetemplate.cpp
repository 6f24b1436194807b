#include "devices/devicetemplate.h"

#include "app/constants.h"
#include "app/globaldata.h"
#include "app/logfile.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonValue>

namespace {

// Keys are tested in the order given, as the messages depend on the first
// failure. Returns the first missing key, or null.
const QString *firstMissing(const QJsonObject &object, std::initializer_list<const QString *> keys)
{
    for (const QString *key : keys) {
        if (!object.contains(*key))
            return key;
    }
    return nullptr;
}

const QString *firstNull(const QJsonObject &object, std::initializer_list<const QString *> keys)
{
    for (const QString *key : keys) {
        if (object.value(*key).isNull())
            return key;
    }
    return nullptr;
}

int numberOf(const QJsonObject &object, const QString &key)
{
    return object.value(key).toInt(0);
}

void problem(QList<STemplateIssue> &issues, const QString &reason)
{
    issues.append({ QString(), reason, false });
}

// Keys outside the format are ignored by the gateway; authors hear of them
// because a misspelt key is ignored the same way.
void noteUnknownKeys(QList<STemplateIssue> &issues, const QJsonObject &object,
                     std::initializer_list<const QString *> known)
{
    const QStringList keys = object.keys();
    for (const QString &key : keys) {
        bool isKnown = false;
        for (const QString *candidate : known)
            isKnown = isKnown || *candidate == key;
        if (!isKnown)
            issues.append({ QString(),
                            QStringLiteral("key [%1] is not part of the format and is ignored").arg(key),
                            true });
    }
}

// Checks presence and nulls of the required keys, recording the message for
// the debug output and the reason for the issue list. False when one fails.
bool requiredPresent(const char *record, const QJsonObject &object,
                     std::initializer_list<const QString *> keys, QList<STemplateIssue> &issues)
{
    if (const QString *missing = firstMissing(object, keys)) {
        qDebug().noquote() << QStringLiteral("[%1] Invalid input JSON").arg(QLatin1String(record));
        problem(issues, QStringLiteral("required key [%1] is missing").arg(*missing));
        return false;
    }
    if (const QString *null = firstNull(object, keys)) {
        qDebug().noquote()
            << QStringLiteral("[%1] One or several values of input JSON is NULL").arg(QLatin1String(record));
        problem(issues, QStringLiteral("required key [%1] is null").arg(*null));
        return false;
    }
    return true;
}

// "kind [name]" when the part has a name, else "kind #n" counted from 1.
QString locator(const char *kind, const QString &name, int index)
{
    if (name.isEmpty())
        return QStringLiteral("%1 #%2").arg(QLatin1String(kind)).arg(index + 1);
    return QStringLiteral("%1 [%2]").arg(QLatin1String(kind), name);
}

// Moves a part's issues into its container's, prefixed with the part's name.
void adopt(QList<STemplateIssue> &issues, const QString &where, const QList<STemplateIssue> &partIssues)
{
    for (STemplateIssue issue : partIssues) {
        issue.where = issue.where.isEmpty() ? where : where + QLatin1Char(' ') + issue.where;
        issues.append(issue);
    }
}

} // namespace

SServerData::SServerData(const QJsonObject &object)
{
    if (object.isEmpty()) {
        qDebug().noquote() << "[SServerData] Empty input JSON";
        problem(issues, QStringLiteral("not an object or empty"));
        return;
    }
    const std::initializer_list<const QString *> keys
        = { &QS_TPL_DATA_CODE, &QS_TPL_REG_MAP_BIAS, &QS_TPL_REG_BIT_BIAS, &QS_TPL_REG_BIT_SIZE,
            &QS_TPL_DATA_NAME };
    noteUnknownKeys(issues, object, keys);
    if (!requiredPresent("SServerData", object, keys, issues))
        return;

    data_code = object.value(QS_TPL_DATA_CODE).toString();
    const auto kind = QM_GLOB_SERVER_DATA.constFind(data_code);
    if (kind == QM_GLOB_SERVER_DATA.constEnd()) {
        addLog(QStringLiteral("ERROR: [SServerData] Server keyword [%1] is unknown!").arg(data_code));
        problem(issues, QStringLiteral("server keyword [%1] is unknown").arg(data_code));
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
        problem(issues, QStringLiteral("not an object or empty"));
        return;
    }
    const std::initializer_list<const QString *> keys
        = { &QS_TPL_PACKET_BIAS,  &QS_TPL_DATA_BIT_BIAS, &QS_TPL_DATA_BIT_SIZE, &QS_TPL_DATA_TYPE,
            &QS_TPL_REG_MAP_BIAS, &QS_TPL_REG_BIT_BIAS,  &QS_TPL_REG_BIT_SIZE,  &QS_TPL_DATA_NAME };
    noteUnknownKeys(issues, object,
                    { &QS_TPL_PACKET_BIAS, &QS_TPL_DATA_BIT_BIAS, &QS_TPL_DATA_BIT_SIZE, &QS_TPL_DATA_TYPE,
                      &QS_TPL_REG_MAP_BIAS, &QS_TPL_REG_BIT_BIAS, &QS_TPL_REG_BIT_SIZE, &QS_TPL_DATA_NAME,
                      &QS_TPL_REG_WORD_ORDER });
    if (!requiredPresent("SDevicePacketField", object, keys, issues))
        return;

    packet_bias = numberOf(object, QS_TPL_PACKET_BIAS);
    data_bit_bias = numberOf(object, QS_TPL_DATA_BIT_BIAS);
    data_bit_size = numberOf(object, QS_TPL_DATA_BIT_SIZE);
    data_type = object.value(QS_TPL_DATA_TYPE).toString();
    reg_map_bias = numberOf(object, QS_TPL_REG_MAP_BIAS);
    reg_bit_bias = numberOf(object, QS_TPL_REG_BIT_BIAS);
    reg_bit_size = numberOf(object, QS_TPL_REG_BIT_SIZE);
    data_name = object.value(QS_TPL_DATA_NAME).toString();
    // A present value that is no text reads as an unknown order, which loading refuses.
    const QJsonValue order = object.value(QS_TPL_REG_WORD_ORDER);
    if (!order.isUndefined())
        reg_word_order = order.isString() ? order.toString() : QStringLiteral("(not text)");
    valid = true;
}

bool SDevicePacketField::lowWordFirst() const
{
    return reg_word_order == QS_TPL_LOW_FIRST;
}

SDevicePacket::SDevicePacket(const QJsonObject &object)
{
    if (object.isEmpty()) {
        problem(issues, QStringLiteral("not an object or empty"));
        return;
    }
    const std::initializer_list<const QString *> keys = { &QS_TPL_PACKET_TYPE, &QS_TPL_PACKET_FIELDS };
    noteUnknownKeys(issues, object, { &QS_TPL_PACKET_TYPE, &QS_TPL_PACKET_FIELDS, &QS_TPL_PACKET_SIZE });
    if (!requiredPresent("SDevicePacket", object, keys, issues))
        return;

    packet_type = numberOf(object, QS_TPL_PACKET_TYPE);
    // Absent and null are the same for this optional key; undefined also reads as 0.
    packet_size = numberOf(object, QS_TPL_PACKET_SIZE);

    const QJsonArray fields = object.value(QS_TPL_PACKET_FIELDS).toArray();
    if (fields.isEmpty()) {
        qDebug().noquote() << "[SDevicePacket] Packet fields array is empty";
        problem(issues, QStringLiteral("packet_fields is empty or not an array"));
        return;
    }
    for (int i = 0; i < fields.size(); ++i) {
        const QJsonObject element = fields.at(i).toObject();
        SDevicePacketField field(element);
        adopt(issues, locator("field", element.value(QS_TPL_DATA_NAME).toString(), i), field.issues);
        field.issues.clear();
        if (field.valid)
            packet_fields.append(field);
    }
    valid = !packet_fields.isEmpty();
    if (!valid)
        problem(issues, QStringLiteral("no valid field"));
}

SDeviceTemplate::SDeviceTemplate(const QJsonObject &object)
{
    if (object.isEmpty()) {
        qDebug().noquote() << "[SDeviceTemplate] Empty input JSON";
        problem(issues, QStringLiteral("the top level is not an object or is empty"));
        return;
    }
    const std::initializer_list<const QString *> keys
        = { &QS_TPL_APP_EUI, &QS_TPL_DEV_TYPE, &QS_TPL_DEVICE_PACKETS };
    noteUnknownKeys(issues, object,
                    { &QS_TPL_APP_EUI, &QS_TPL_DEV_TYPE, &QS_TPL_DEVICE_PACKETS, &QS_TPL_SERVER_DATA,
                      &QS_TPL_COLOR, &QS_TPL_SILENT_AFTER, &QS_TPL_SILENT_ANSWER });
    if (!requiredPresent("SDeviceTemplate", object, keys, issues))
        return;

    app_eui = object.value(QS_TPL_APP_EUI).toString().toUpper();
    dev_type = object.value(QS_TPL_DEV_TYPE).toString();
    const QJsonValue silentAfter = object.value(QS_TPL_SILENT_AFTER);
    if (!silentAfter.isUndefined()) {
        if (silentAfter.isDouble() && silentAfter.toDouble() >= 1 && silentAfter.toDouble() <= 366 * 86400)
            silent_after_s = static_cast<int>(silentAfter.toDouble());
        else
            problem(
                issues,
                QStringLiteral("%1 must be a number of seconds from 1 to 31622400").arg(QS_TPL_SILENT_AFTER));
    }
    const QJsonValue silentAnswer = object.value(QS_TPL_SILENT_ANSWER);
    if (!silentAnswer.isUndefined()) {
        if (silentAnswer.toString() == QS_TPL_SILENT_EXCEPTION)
            silent_exception = true;
        else
            problem(issues,
                    QStringLiteral("%1 must be \"%2\"").arg(QS_TPL_SILENT_ANSWER, QS_TPL_SILENT_EXCEPTION));
    }

    const QJsonArray packets = object.value(QS_TPL_DEVICE_PACKETS).toArray();
    for (int i = 0; i < packets.size(); ++i) {
        const QJsonObject element = packets.at(i).toObject();
        SDevicePacket packet(element);
        const QJsonValue type = element.value(QS_TPL_PACKET_TYPE);
        const QString where
            = locator("packet", type.isDouble() ? QString::number(type.toInt()) : QString(), i);
        adopt(issues, where, packet.issues);
        packet.issues.clear();
        if (!packet.valid)
            continue;
        const auto key = static_cast<uint32_t>(packet.packet_type);
        if (device_packets.contains(key))
            adopt(issues, where,
                  { { QString(), QStringLiteral("replaces an earlier packet of the same type"), false } });
        device_packets.insert(key, packet);
    }
    if (device_packets.isEmpty()) {
        qDebug().noquote() << "[SDeviceTemplate] Device packets array is empty";
        problem(issues, QStringLiteral("no valid packet in device_packets"));
        return;
    }
    valid = true;

    const QJsonValue serverData = object.value(QS_TPL_SERVER_DATA);
    if (!serverData.isUndefined() && !serverData.isNull()) {
        const QJsonArray entries = serverData.toArray();
        for (int i = 0; i < entries.size(); ++i) {
            SServerData data(entries.at(i).toObject());
            const QString where
                = locator("server_data", entries.at(i).toObject().value(QS_TPL_DATA_CODE).toString(), i);
            adopt(issues, where, data.issues);
            data.issues.clear();
            if (!data.valid)
                continue;
            if (server_data.contains(data.data_code))
                adopt(issues, where,
                      { { QString(), QStringLiteral("replaces an earlier entry of the same keyword"),
                          false } });
            server_data.insert(data.data_code, data);
        }
    }

    if (object.contains(QS_TPL_COLOR)) {
        const QString name = object.value(QS_TPL_COLOR).toString();
        QColor parsed;
        parsed.setNamedColor(name);
        if (parsed.isValid()) {
            color = parsed;
        } else {
            qDebug().noquote() << QStringLiteral("[SDeviceTemplate] Invalid color name [%1]").arg(name);
            issues.append({ QStringLiteral("color"),
                            QStringLiteral("[%1] is no colour name; the default %2 is used")
                                .arg(name, color.name().toUpper()),
                            true });
        }
    }
}
