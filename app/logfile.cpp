#include "app/logfile.h"

#include <QDateTime>
#include <QDebug>
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
    if (!opened)
        qDebug().noquote() << "[CLogFile] Invalid file opening!";
    return opened;
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
    if (m_file.isOpen()) {
        m_file.write(entry.toUtf8());
        m_file.flush();
    } else {
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
