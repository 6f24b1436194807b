#include "app/instancelock.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

CInstanceLock::CInstanceLock(QString path)
    : m_path(std::move(path))
{
}

CInstanceLock::~CInstanceLock()
{
    if (m_fd < 0)
        return;
    ::unlink(QFile::encodeName(m_path).constData());
    ::close(m_fd);
}

CInstanceLock::EResult CInstanceLock::tryLock()
{
    const QByteArray name = QFile::encodeName(m_path);
    // A holder that is just stopping removes the file before it lets go; a
    // lock taken on the removed file would be no lock at all, so take it again
    // on the file that is there now.
    for (int attempt = 0; attempt < 10; ++attempt) {
        const int fd = ::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) {
            m_error = QString::fromLocal8Bit(std::strerror(errno));
            return EResult::Unavailable;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            ::close(fd);
            if (error == EWOULDBLOCK)
                return EResult::HeldByOther;
            m_error = QString::fromLocal8Bit(std::strerror(error));
            return EResult::Unavailable;
        }
        struct stat held = {};
        struct stat named = {};
        if (::fstat(fd, &held) == 0 && ::stat(name.constData(), &named) == 0 && held.st_ino == named.st_ino
            && held.st_dev == named.st_dev) {
            m_fd = fd;
            // For whoever looks: the process that holds it.
            const QByteArray pid = QByteArray::number(qint64(::getpid())) + '\n';
            if (::ftruncate(fd, 0) == 0) {
                [[maybe_unused]] const ssize_t written = ::write(fd, pid.constData(), size_t(pid.size()));
            }
            return EResult::Taken;
        }
        ::close(fd);
    }
    m_error = QStringLiteral("the lock file keeps being replaced");
    return EResult::Unavailable;
}
