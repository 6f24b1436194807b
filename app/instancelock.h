#pragma once

#include <QString>

// One gateway per working directory. The lock is the kernel's (flock) on a
// file: it goes with the process that holds it, however that process ends,
// so a lock file left behind, empty or not, never blocks a later start.
class CInstanceLock
{
public:
    enum class EResult { Taken, HeldByOther, Unavailable };

    explicit CInstanceLock(QString path);
    // Removes the file while still holding it, then lets go.
    ~CInstanceLock();
    CInstanceLock(const CInstanceLock &) = delete;
    CInstanceLock &operator=(const CInstanceLock &) = delete;

    EResult tryLock();
    // The system's reason when tryLock() gave Unavailable.
    const QString &errorString() const { return m_error; }

private:
    QString m_path;
    QString m_error;
    int m_fd = -1;
};
