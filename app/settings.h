#pragma once

#include "app/settingscheck.h"

#include <QSettings>
#include <QString>
#include <QVariant>

#include <memory>

class QTemporaryFile;

// The network server connection as the settings file keeps it.
struct SServerSettings
{
    QString scheme = QStringLiteral("ws");
    QString host;
    QString port;
    QString login;
    QString password;
    bool reconnect = true;
    QString caFile; // extra trusted CA certificate for wss, PEM

    // "scheme://host:port", with IPv6 literals in brackets.
    QString origin() const;
    // The first empty key of ip, port, login and password; empty when none is.
    QString missingKey() const;
};

// The last network server connection that worked, kept in an INI file.
class CSettings : public QSettings
{
public:
    // Returns the process-wide instance, creating it on the first call with
    // fileName; null (with a debug message) when that first name is empty.
    static CSettings *getInstance(const QString &fileName);

    static QVariant readValue(const QString &key, const QVariant &defaultValue);
    // Stores the value and writes the file before returning; false when the
    // file could not be written.
    static bool writeValue(const QString &key, const QVariant &value);

    explicit CSettings(const QString &fileName);
    ~CSettings() override;

    // What reads see: the file, or (when lines that QSettings would misread
    // were left out) a copy without them; every write goes to both.
    QSettings &reader();
    const QSettings &reader() const;
    // Values and lines of the file that cannot be used (SettingsCheck), each
    // naming its key; empty when every present value can be.
    QStringList problems() const;
    // Lines left out of reading, for the log.
    const QStringList &notes() const { return m_report.notes; }
    // The file is too large and was not read; nothing is written to it either.
    bool refused() const { return m_report.refused; }

    QVariant read(const QString &key, const QVariant &defaultValue) const;
    bool write(const QString &key, const QVariant &value);

    SServerSettings serverSettings() const;
    // Writes the keys a successful login proves (scheme, ip, port, login,
    // password); reconnect and ca_file are the operator's and stay as they are.
    bool writeServerSettings(const SServerSettings &server);

private:
    CSettings(const QString &fileName, SettingsCheck::SFileReport report);
    static CSettings *&instanceSlot();
    void createPrivateFile();

    SettingsCheck::SFileReport m_report;
    std::unique_ptr<QTemporaryFile> m_cleanCopy;
    std::unique_ptr<QSettings> m_reader;
};
