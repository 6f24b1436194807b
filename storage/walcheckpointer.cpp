#include "storage/walcheckpointer.h"

#include <QLoggingCategory>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {
Q_LOGGING_CATEGORY(lcCheckpoint, "tidewell.storage.checkpoint", QtWarningMsg)
}

CWalCheckpointer::CWalCheckpointer(const QString &fileName, const QString &connectionName,
                                   std::chrono::milliseconds interval)
    : m_fileName(fileName)
    , m_connectionName(connectionName)
    , m_interval(interval)
{
    m_thread = std::thread([this] { run(); });
}

CWalCheckpointer::~CWalCheckpointer()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void CWalCheckpointer::run()
{
    {
        // A Qt SQL connection belongs to the thread that opens it.
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connectionName);
        db.setDatabaseName(m_fileName);
        if (!db.open())
            qCWarning(lcCheckpoint) << "cannot open" << m_fileName << db.lastError().text();
        std::unique_lock<std::mutex> lock(m_mutex);
        while (db.isOpen() && !m_wake.wait_for(lock, m_interval, [this] { return m_stop; })) {
            lock.unlock();
            // One row: busy flag, frames in the log, frames copied into the file.
            QSqlQuery query(db);
            if (query.exec(QStringLiteral("PRAGMA wal_checkpoint(PASSIVE);")) && query.next()) {
                const bool whole
                    = query.value(0).toInt() == 0 && query.value(1).toInt() == query.value(2).toInt();
                if (whole)
                    ++m_completed;
                qCDebug(lcCheckpoint) << "checkpoint: busy" << query.value(0).toInt() << "log frames"
                                      << query.value(1).toInt() << "copied" << query.value(2).toInt();
            } else {
                qCDebug(lcCheckpoint) << "checkpoint failed:" << query.lastError().text();
            }
            query.finish();
            lock.lock();
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(m_connectionName);
}
