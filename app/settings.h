#pragma once

#include <QSettings>
#include <QVariant>

// The last network server connection that worked, kept in an INI file.
class CSettings : public QSettings
{
public:
    // Returns the process-wide instance, creating it on the first call with
    // fileName; null (with a debug message) when that first name is empty.
    static CSettings *getInstance(const QString &fileName);

    static QVariant readValue(const QString &key, const QVariant &defaultValue);
    // Stores the value and writes the file before returning.
    static bool writeValue(const QString &key, const QVariant &value);

    explicit CSettings(const QString &fileName);

    QVariant read(const QString &key, const QVariant &defaultValue) const;
    bool write(const QString &key, const QVariant &value);

private:
    static CSettings *&instanceSlot();
    void createPrivateFile();
};
