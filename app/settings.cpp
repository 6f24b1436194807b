#include "app/settings.h"

#include "app/constants.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

CSettings *&CSettings::instanceSlot()
{
    static CSettings *instance = nullptr;
    return instance;
}

CSettings *CSettings::getInstance(const QString &fileName)
{
    CSettings *&instance = instanceSlot();
    if (instance)
        return instance;
    if (fileName.isEmpty()) {
        qDebug().noquote() << "ERROR: [CSettings::getInstance] Invalid fileName";
        return nullptr;
    }
    instance = new CSettings(fileName);
    return instance;
}

QVariant CSettings::readValue(const QString &key, const QVariant &defaultValue)
{
    CSettings *settings = getInstance(QString());
    return settings ? settings->read(key, defaultValue) : defaultValue;
}

bool CSettings::writeValue(const QString &key, const QVariant &value)
{
    CSettings *settings = getInstance(QString());
    return settings && settings->write(key, value);
}

CSettings::CSettings(const QString &fileName)
    : QSettings(fileName, QSettings::IniFormat)
{
}

QVariant CSettings::read(const QString &key, const QVariant &defaultValue) const
{
    return value(key, defaultValue);
}

bool CSettings::write(const QString &key, const QVariant &value)
{
    createPrivateFile();
    setValue(key, value);
    sync();
    return status() == QSettings::NoError;
}

SServerSettings CSettings::serverSettings() const
{
    const auto text
        = [this](const QString &key) { return read(QS_SET_GROUP_SERVER + key, QVariant()).toString(); };
    SServerSettings server;
    const QString scheme = text(QS_SET_SCHEME).trimmed().toLower();
    if (!scheme.isEmpty())
        server.scheme = scheme;
    server.host = text(QS_SET_IP).trimmed();
    server.port = text(QS_SET_PORT).trimmed();
    server.login = text(QS_SET_LOGIN);
    server.password = text(QS_SET_PASSWORD);
    const QString reconnect = text(QS_SET_RECONNECT).trimmed().toLower();
    server.reconnect = !(reconnect == QLatin1String("false") || reconnect == QLatin1String("0")
                         || reconnect == QLatin1String("no") || reconnect == QLatin1String("off"));
    server.caFile = text(QS_SET_CA_FILE).trimmed();
    return server;
}

bool CSettings::writeServerSettings(const SServerSettings &server)
{
    bool ok = write(QS_SET_GROUP_SERVER + QS_SET_IP, server.host);
    ok = write(QS_SET_GROUP_SERVER + QS_SET_PORT, server.port) && ok;
    ok = write(QS_SET_GROUP_SERVER + QS_SET_LOGIN, server.login) && ok;
    ok = write(QS_SET_GROUP_SERVER + QS_SET_PASSWORD, server.password) && ok;
    return write(QS_SET_GROUP_SERVER + QS_SET_SCHEME, server.scheme) && ok;
}

QString SServerSettings::origin() const
{
    // A bare IPv6 literal needs brackets to be told from the port.
    const QString shownHost = host.contains(QLatin1Char(':')) && !host.startsWith(QLatin1Char('['))
        ? QLatin1Char('[') + host + QLatin1Char(']')
        : host;
    return QStringLiteral("%1://%2:%3").arg(scheme, shownHost, port);
}

QString SServerSettings::missingKey() const
{
    if (host.isEmpty())
        return QS_SET_IP;
    if (port.isEmpty())
        return QS_SET_PORT;
    if (login.isEmpty())
        return QS_SET_LOGIN;
    if (password.isEmpty())
        return QS_SET_PASSWORD;
    return QString();
}

// The file holds a password in plain text: create it readable by its owner
// only. Rewrites keep the permissions of the existing file.
void CSettings::createPrivateFile()
{
    QFile file(fileName());
    if (file.exists())
        return;
    if (file.open(QIODevice::WriteOnly)) {
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        file.close();
    }
}
