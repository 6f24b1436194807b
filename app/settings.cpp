#include "app/settings.h"

#include "app/constants.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

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
    : CSettings(fileName, SettingsCheck::inspectFile(fileName))
{
}

// QSettings reads its file as it is constructed: a refused file is never
// handed to it (an empty stand-in is), so its size costs nothing.
CSettings::CSettings(const QString &fileName, SettingsCheck::SFileReport report)
    : QSettings(report.refused ? QStringLiteral("/dev/null") : fileName, QSettings::IniFormat)
    , m_report(std::move(report))
{
    if (m_report.cleanText.isNull())
        return;
    m_cleanCopy = std::make_unique<QTemporaryFile>();
    if (!m_cleanCopy->open() || m_cleanCopy->write(m_report.cleanText) != m_report.cleanText.size()
        || !m_cleanCopy->flush()) {
        m_cleanCopy.reset();
        return;
    }
    m_reader = std::make_unique<QSettings>(m_cleanCopy->fileName(), QSettings::IniFormat);
}

CSettings::~CSettings() = default;

QSettings &CSettings::reader()
{
    if (m_reader)
        return *m_reader;
    return *this;
}

const QSettings &CSettings::reader() const
{
    if (m_reader)
        return *m_reader;
    return *this;
}

QStringList CSettings::problems() const
{
    return m_report.problems + SettingsCheck::checkValues(reader(), m_report.refusedKeys);
}

QVariant CSettings::read(const QString &key, const QVariant &defaultValue) const
{
    return reader().value(key, defaultValue);
}

bool CSettings::write(const QString &key, const QVariant &value)
{
    if (m_report.refused)
        return false;
    createPrivateFile();
    setValue(key, value);
    sync();
    if (m_reader)
        m_reader->setValue(key, value);
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
