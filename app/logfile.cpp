#include "app/logfile.h"

#include <QDateTime>
#include <QDebug>
#include <QFileInfo>
#include <QLocale>

#include <cstdio>

CLogFile *CLogFile::getInstance(const QString &fileName)
{
    static CLogFile *instance = new CLogFile(fileName);
    return instance;
}

CLogFile::CLogFile(const QString &fileName, QObject *parent)
    : QObject(parent)
{
    m_file.setFileName(QStringLiteral("./") + fileName);
    if (!open())
        return;
    addLogMetod(QString(65, QLatin1Char('*')));
    addLogMetod(QStringLiteral("**                      New session                            **"));
}

bool CLogFile::open()
{
    const bool opened = m_file.exists()
        ? m_file.open(QIODevice::ReadWrite | QIODevice::Append | QIODevice::Text)
        : m_file.open(QIODevice::ReadWrite | QIODevice::Text);
    if (!opened) {
        m_openError = m_file.errorString();
        qDebug().noquote() << "[CLogFile] Invalid file opening!";
    } else {
        m_openError.clear();
    }
    return opened;
}

QString CLogFile::filePath() const
{
    return QFileInfo(m_file).absoluteFilePath();
}

bool CLogFile::writeEntry(const QByteArray &bytes)
{
    if (!m_file.isOpen() && m_writeFailed) {
        // Tried again with every entry: once one can be written, the log goes on.
        if (!open())
            return false;
        m_writeFailed = false;
        const QByteArray note = QStringLiteral("\n[%1][CLogFile] %2 log entries could not be written")
                                    .arg(formatTime(QDateTime::currentDateTime()))
                                    .arg(m_lost)
                                    .toUtf8();
        if (!writeEntry(note))
            return false;
        m_lost = 0;
    }
    if (!m_file.isOpen())
        return false;
    const bool written = !m_failWrites && m_file.write(bytes) == bytes.size() && m_file.flush();
    if (!written) {
        m_writeFailed = true;
        m_file.close();
    }
    return written;
}

bool CLogFile::reopen()
{
    QMutexLocker locker(&m_mutex);
    m_file.close();
    return open();
}

CLogFile::~CLogFile()
{
    m_file.close();
}

QString CLogFile::formatTime(const QDateTime &time)
{
    return QLocale::c().toString(time, QStringLiteral("dd-MMM-yy HH:mm:ss"));
}

void CLogFile::addLogMetod(QString logStr)
{
    QMutexLocker locker(&m_mutex);
    QString entry
        = QStringLiteral("\n[") + formatTime(QDateTime::currentDateTime()) + QStringLiteral("]") + logStr;
    if (!writeEntry(entry.toUtf8())) {
        if (m_writeFailed)
            ++m_lost;
        else
            qDebug().noquote() << "[CLogFile::addLogMetod] File is closed!";
    }
    entry.remove(QLatin1Char('\n'));
    entry.remove(QLatin1Char('\r'));
    if (m_echo) {
        const QByteArray line = entry.toUtf8() + '\n';
        std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    }
    locker.unlock();
    emit addLogSignal(entry);
}

void addLog(const QString &text)
{
    CLogFile::getInstance(QString())->addLogMetod(text);
}
