#include "netsimscenario.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>

namespace {

bool isHex(const QString &text)
{
    static const QRegularExpression hex(QStringLiteral("^([0-9A-Fa-f]{2})*$"));
    return hex.match(text).hasMatch();
}

} // namespace

const SSimDevice *SSimScenario::device(const QString &devEui) const
{
    for (const SSimDevice &d : devices) {
        if (d.devEui.compare(devEui, Qt::CaseInsensitive) == 0)
            return &d;
    }
    return nullptr;
}

SSimScenario SSimScenario::fromJson(const QJsonObject &object, QString *error)
{
    SSimScenario scenario;
    QString problem;
    const int defaultPeriod = object.value(QStringLiteral("periodMs")).toInt(5000);
    scenario.gatewayId = object.value(QStringLiteral("gatewayId")).toString(scenario.gatewayId);
    scenario.listAll = object.value(QStringLiteral("listAll")).toBool(false);

    const QJsonArray accounts = object.value(QStringLiteral("accounts")).toArray();
    for (const QJsonValue &value : accounts) {
        const QJsonObject a = value.toObject();
        if (!a.value(QStringLiteral("login")).isString()) {
            problem = QStringLiteral("account without a login");
            break;
        }
        scenario.accounts.append(
            { a.value(QStringLiteral("login")).toString(), a.value(QStringLiteral("password")).toString() });
    }

    const QJsonArray devices = object.value(QStringLiteral("devices")).toArray();
    for (int i = 0; i < devices.size() && problem.isEmpty(); ++i) {
        const QJsonObject d = devices.at(i).toObject();
        SSimDevice device;
        device.devEui = d.value(QStringLiteral("devEui")).toString();
        device.devName = d.value(QStringLiteral("devName")).toString();
        device.appEui = d.value(QStringLiteral("appEui")).toString();
        device.periodMs = d.value(QStringLiteral("periodMs")).toInt(defaultPeriod);
        device.port = d.value(QStringLiteral("port")).toInt(2);
        device.confirmed = d.value(QStringLiteral("confirmed")).toBool(false);
        if (device.devEui.isEmpty()) {
            problem = QStringLiteral("device %1 has no devEui").arg(i);
            break;
        }
        if (device.periodMs <= 0) {
            problem
                = QStringLiteral("device %1 has a period of %2 ms").arg(device.devEui).arg(device.periodMs);
            break;
        }
        const QJsonArray payloads = d.value(QStringLiteral("payloads")).toArray();
        for (const QJsonValue &p : payloads) {
            const QString hex = p.toString();
            if (!p.isString() || !isHex(hex)) {
                problem = QStringLiteral("device %1: payload is not hex: %2")
                              .arg(device.devEui,
                                   QString::fromUtf8(
                                       QJsonDocument(QJsonArray { p }).toJson(QJsonDocument::Compact)));
                break;
            }
            device.payloads.append(QByteArray::fromHex(hex.toLatin1()));
        }
        scenario.devices.append(device);
    }

    if (error)
        *error = problem;
    return problem.isEmpty() ? scenario : SSimScenario();
}

SSimScenario SSimScenario::fromFile(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("cannot open %1: %2").arg(path, file.errorString());
        return {};
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (!document.isObject()) {
        if (error)
            *error = QStringLiteral("%1 is not a JSON object: %2").arg(path, parseError.errorString());
        return {};
    }
    return fromJson(document.object(), error);
}
