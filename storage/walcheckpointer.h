#pragma once

#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

// Copies the write-ahead log of a SQLite file back into the file from a
// thread and a connection of its own. The store turns SQLite's automatic
// checkpoints off, so that no commit of an uplink pays for copying pages and
// for the fsync that follows; a passive checkpoint never waits for the
// store's writes, nor do they wait for it.
class CWalCheckpointer
{
public:
    static constexpr std::chrono::milliseconds DefaultInterval { 500 };

    CWalCheckpointer(const QString &fileName, const QString &connectionName,
                     std::chrono::milliseconds interval = DefaultInterval);
    // Stops the thread and closes its connection.
    ~CWalCheckpointer();
    CWalCheckpointer(const CWalCheckpointer &) = delete;
    CWalCheckpointer &operator=(const CWalCheckpointer &) = delete;

    // Checkpoints that copied the whole log into the file.
    quint64 completed() const { return m_completed; }

private:
    void run();

    const QString m_fileName;
    const QString m_connectionName;
    const std::chrono::milliseconds m_interval;
    std::atomic<quint64> m_completed { 0 };
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
    std::thread m_thread;
};
