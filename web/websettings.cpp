#include "web/websettings.h"

#include <QSettings>

namespace {

int readInt(QSettings &settings, const QString &key, int low, int high, int fallback, QStringList *problems)
{
    const QVariant value = settings.value(QS_SET_GROUP_WEB + key);
    if (!value.isValid())
        return fallback;
    bool ok = false;
    const int number = value.toString().trimmed().toInt(&ok);
    if (ok && number >= low && number <= high)
        return number;
    if (problems)
        *problems << QStringLiteral("[web] %1=%2 is not a number from %3 to %4")
                         .arg(key, value.toString())
                         .arg(low)
                         .arg(high);
    return fallback;
}

bool readBool(QSettings &settings, const QString &key)
{
    const QString value = settings.value(QS_SET_GROUP_WEB + key).toString().trimmed().toLower();
    return value == QLatin1String("true") || value == QLatin1String("1") || value == QLatin1String("yes");
}

} // namespace

SWebSettings SWebSettings::read(QSettings &settings, QStringList *problems)
{
    SWebSettings web;
    web.port = readInt(settings, QS_SET_WEB_PORT, 0, 65535, -1, problems);
    const QString bind = settings.value(QS_SET_GROUP_WEB + QS_SET_WEB_BIND).toString().trimmed();
    if (!bind.isEmpty()) {
        QHostAddress address;
        if (address.setAddress(bind))
            web.bind = address;
        else if (problems)
            *problems << QStringLiteral("[web] bind=%1 is not an IP address").arg(bind);
    }
    web.certFile = settings.value(QS_SET_GROUP_WEB + QS_SET_WEB_CERT_FILE).toString();
    web.keyFile = settings.value(QS_SET_GROUP_WEB + QS_SET_WEB_KEY_FILE).toString();
    web.passwordHash = settings.value(QS_SET_GROUP_WEB + QS_SET_WEB_PASSWORD_HASH).toString();
    web.metricsPublic = readBool(settings, QS_SET_WEB_METRICS_PUBLIC);
    web.metricsPerDevice = readBool(settings, QS_SET_WEB_METRICS_PER_DEVICE);
    web.maxConnections = readInt(settings, QS_SET_WEB_MAX_CONNECTIONS, 4, 4096, web.maxConnections, problems);
    web.idleTimeoutS = readInt(settings, QS_SET_WEB_IDLE_TIMEOUT, 1, 3600, web.idleTimeoutS, problems);
    return web;
}
