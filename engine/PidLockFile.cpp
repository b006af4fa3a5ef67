#include "PidLockFile.h"

#include <QFile>

#ifndef Q_OS_WIN
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

PidLockFile::~PidLockFile()
{
    release();
}

#ifdef Q_OS_WIN

PidLockFile::Result PidLockFile::take(const QString &path, int permissions, qint64 *holder, QString *why)
{
    Q_UNUSED(permissions)
    release();
    *holder = 0;
    auto lock = std::make_unique<QLockFile>(path);
    lock->setStaleLockTime(0); // stale only when its process is gone
    if (!lock->tryLock(0)) {
        if (lock->error() == QLockFile::LockFailedError) {
            QString host, app;
            if (!lock->getLockInfo(holder, &host, &app))
                *holder = 0;
            return HeldByOther;
        }
        *why = lock->error() == QLockFile::PermissionError ? QStringLiteral("permission denied")
                                                            : QStringLiteral("unknown error");
        return Failed;
    }
    m_lock = std::move(lock);
    return Taken;
}

void PidLockFile::release()
{
    m_lock.reset();
}

bool PidLockFile::isHeld() const
{
    return m_lock != nullptr;
}

#else

PidLockFile::Result PidLockFile::take(const QString &path, int permissions, qint64 *holder, QString *why)
{
    release();
    *holder = 0;
    const QByteArray name = QFile::encodeName(path);
    // Close-on-exec: a pppd or ping started meanwhile must not keep the lock
    // after this process is gone.
    int fd = ::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, mode_t(permissions));
    // Another user made the file: it can still be tested, read-only.
    if (fd < 0 && errno == EACCES)
        fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        *why = QString::fromLocal8Bit(std::strerror(errno));
        return Failed;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        // The holder writes its pid once it has the lock.
        char buffer[32] = {};
        const ssize_t got = pread(fd, buffer, sizeof buffer - 1, 0);
        ::close(fd);
        if (error == EWOULDBLOCK) {
            *holder = got > 0 ? QByteArray(buffer, int(got)).trimmed().toLongLong() : 0;
            return HeldByOther;
        }
        *why = QString::fromLocal8Bit(std::strerror(error));
        return Failed;
    }
    // The pid only names the holder in a refusal; the lock is the flock.
    const QByteArray pid = QByteArray::number(qint64(getpid())) + '\n';
    const bool named = ftruncate(fd, 0) == 0 && pwrite(fd, pid.constData(), size_t(pid.size()), 0) == pid.size();
    Q_UNUSED(named) // unwritten, the lock still holds; a refusal just names no pid
    m_fd = fd;
    return Taken;
}

void PidLockFile::release()
{
    if (m_fd < 0)
        return;
    ::close(m_fd);
    m_fd = -1;
}

bool PidLockFile::isHeld() const
{
    return m_fd >= 0;
}

#endif
