#include "web/websettings.h"

#include "app/settingscheck.h"
#include "web/webpassword.h"

#include <QSettings>

namespace {

int readInt(const QSettings &settings, const QString &key, int low, int high, int fallback,
            QStringList *problems)
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

const QStringList TrueWords { QStringLiteral("true"), QStringLiteral("1"), QStringLiteral("yes"),
                              QStringLiteral("on") };
const QStringList FalseWords { QStringLiteral("false"), QStringLiteral("0"), QStringLiteral("no"),
                               QStringLiteral("off") };

bool readBool(const QSettings &settings, const QString &key, QStringList *problems)
{
    const QVariant stored = settings.value(QS_SET_GROUP_WEB + key);
    const QString value = stored.toString().trimmed().toLower();
    if (stored.isValid() && !TrueWords.contains(value) && !FalseWords.contains(value) && problems)
        *problems << QStringLiteral("[web] %1=%2 is neither true nor false").arg(key, stored.toString());
    return TrueWords.contains(value);
}

QString numberProblem(const QString &value, int low, int high)
{
    bool ok = false;
    const int number = value.trimmed().toInt(&ok);
    return ok && number >= low && number <= high
        ? QString()
        : QStringLiteral("not a number from %1 to %2").arg(low).arg(high);
}

} // namespace

SWebSettings SWebSettings::read(const QSettings &settings, QStringList *problems)
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
    web.metricsPublic = readBool(settings, QS_SET_WEB_METRICS_PUBLIC, problems);
    web.metricsPerDevice = readBool(settings, QS_SET_WEB_METRICS_PER_DEVICE, problems);
    if (!web.passwordHash.isEmpty() && !WebPassword::wellFormed(web.passwordHash) && problems)
        *problems << QStringLiteral("[web] password_hash is not one tidewell --set-web-password wrote");
    web.maxConnections = readInt(settings, QS_SET_WEB_MAX_CONNECTIONS, 4, 4096, web.maxConnections, problems);
    web.idleTimeoutS = readInt(settings, QS_SET_WEB_IDLE_TIMEOUT, 1, 3600, web.idleTimeoutS, problems);
    return web;
}

void SWebSettings::addKeyRules()
{
    const auto number = [](int low, int high) {
        return [low, high](const QString &value) { return numberProblem(value, low, high); };
    };
    const auto any = [](const QString &) { return QString(); };
    const auto flag = [](const QString &value) {
        const QString word = value.trimmed().toLower();
        return TrueWords.contains(word) || FalseWords.contains(word)
            ? QString()
            : QStringLiteral("neither true nor false");
    };
    const QString group = QStringLiteral("web");
    SettingsCheck::addKeyRules({
        { group, QS_SET_WEB_PORT, false, number(0, 65535) },
        { group, QS_SET_WEB_BIND, false,
          [](const QString &value) {
              return QHostAddress().setAddress(value.trimmed())
                  ? QString()
                  : QStringLiteral("not an IPv4 or IPv6 address");
          } },
        { group, QS_SET_WEB_CERT_FILE, false, any },
        { group, QS_SET_WEB_KEY_FILE, false, any },
        { group, QS_SET_WEB_PASSWORD_HASH, false,
          [](const QString &value) {
              return WebPassword::wellFormed(value)
                  ? QString()
                  : QStringLiteral("not a hash written by --set-web-password");
          } },
        { group, QS_SET_WEB_METRICS_PUBLIC, false, flag },
        { group, QS_SET_WEB_METRICS_PER_DEVICE, false, flag },
        { group, QS_SET_WEB_MAX_CONNECTIONS, false, number(4, 4096) },
        { group, QS_SET_WEB_IDLE_TIMEOUT, false, number(1, 3600) },
    });
}
