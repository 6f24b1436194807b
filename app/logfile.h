#pragma once

#include <QFile>
#include <QMutex>
#include <QObject>

// The gateway's append-only log. Every entry is a line break, the local time
// in brackets and the text; each is flushed at once and announced by
// addLogSignal (with line breaks removed).
class CLogFile : public QObject
{
    Q_OBJECT

public:
    // Creates the process-wide instance on the first call; later calls ignore
    // the argument.
    static CLogFile *getInstance(const QString &fileName);

    explicit CLogFile(const QString &fileName, QObject *parent = nullptr);
    ~CLogFile() override;

    // Entry timestamp layout; month names are always English, whatever the
    // machine's locale, since tools parse the file.
    static QString formatTime(const QDateTime &time);

    // The headless service also writes each entry to standard error, where
    // the journal picks it up.
    void setEchoToStandardError(bool echo) { m_echo = echo; }
    // Closes and opens the file again under its name, so a rotated log is
    // continued in a new file; false when it cannot be opened.
    bool reopen();
    bool isOpen() const { return m_file.isOpen(); }
    // The file's path and, when it could not be opened, the system's reason.
    QString filePath() const;
    const QString &openError() const { return m_openError; }

    // An entry that cannot be written (a full disk) closes the file; the next
    // entry opens it again and first says how many were lost, so the log
    // continues by itself once there is room again. Tests make writes fail
    // here, since they cannot fill a disk.
    void setWriteFailureForTesting(bool fail) { m_failWrites = fail; }
    int lostEntries() const { return m_lost; }

public slots:
    void addLogMetod(QString logStr = QString());

signals:
    void addLogSignal(QString);

private:
    bool open();
    bool writeEntry(const QByteArray &bytes);

    QFile m_file;
    QMutex m_mutex;
    bool m_echo = false;
    bool m_failWrites = false;
    bool m_writeFailed = false; // the file was closed after a failed write
    int m_lost = 0;
    QString m_openError;
};

// The application log call used by every component.
void addLog(const QString &text);
