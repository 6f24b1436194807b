#include "app/settings.h"

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
    if (settings)
        settings->write(key, value);
    return true;
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
    return true;
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
