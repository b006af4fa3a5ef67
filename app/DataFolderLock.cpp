#include "DataFolderLock.h"

#include <QDir>
#include <QFile>

#ifndef Q_OS_WIN
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace {
QString heldText(const QString &folder, qint64 pid)
{
    const QString where = QDir::toNativeSeparators(folder);
    return pid > 0 ? QStringLiteral("the data folder %1 is in use by another trevalo window (pid %2)").arg(where).arg(pid)
                   : QStringLiteral("the data folder %1 is in use by another trevalo window").arg(where);
}
} // namespace

DataFolderLock::~DataFolderLock()
{
    release();
}

QString DataFolderLock::fileName()
{
    return QStringLiteral(".trevalo-window.lock");
}

#ifdef Q_OS_WIN

DataFolderLock::Result DataFolderLock::acquire(const QString &folder, QString *error)
{
    release();
    auto lock = std::make_unique<QLockFile>(QDir(folder).filePath(fileName()));
    lock->setStaleLockTime(0); // stale only when its process is gone
    if (!lock->tryLock(0)) {
        qint64 pid = 0;
        QString host, app;
        if (lock->error() == QLockFile::LockFailedError) {
            lock->getLockInfo(&pid, &host, &app);
            *error = heldText(folder, pid);
            return HeldByOther;
        }
        *error = QStringLiteral("cannot lock the data folder %1").arg(QDir::toNativeSeparators(folder));
        return Failed;
    }
    m_lock = std::move(lock);
    return Taken;
}

void DataFolderLock::release()
{
    m_lock.reset();
}

bool DataFolderLock::isHeld() const
{
    return m_lock != nullptr;
}

#else

DataFolderLock::Result DataFolderLock::acquire(const QString &folder, QString *error)
{
    release();
    const QByteArray path = QFile::encodeName(QDir(folder).filePath(fileName()));
    // Close-on-exec: pppd or ping started by a run must not keep the folder
    // held after the window is gone.
    int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    // Another user's window made the file: it can still be tested, read-only.
    if (fd < 0 && errno == EACCES)
        fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        *error = QStringLiteral("cannot open the lock file %1: %2")
                     .arg(QFile::decodeName(path), QString::fromLocal8Bit(std::strerror(errno)));
        return Failed;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int why = errno;
        // The holder writes its pid once it has the lock.
        char buffer[32] = {};
        const ssize_t got = pread(fd, buffer, sizeof buffer - 1, 0);
        ::close(fd);
        if (why == EWOULDBLOCK) {
            *error = heldText(folder, got > 0 ? QByteArray(buffer, int(got)).trimmed().toLongLong() : 0);
            return HeldByOther;
        }
        *error = QStringLiteral("cannot lock the data folder %1: %2")
                     .arg(folder, QString::fromLocal8Bit(std::strerror(why)));
        return Failed;
    }
    // The pid only names the holder in a refusal; the lock is the flock.
    const QByteArray pid = QByteArray::number(qint64(getpid())) + '\n';
    const bool named = ftruncate(fd, 0) == 0 && pwrite(fd, pid.constData(), size_t(pid.size()), 0) == pid.size();
    Q_UNUSED(named) // unwritten, the folder is still held; a refusal just names no pid
    m_fd = fd;
    return Taken;
}

void DataFolderLock::release()
{
    if (m_fd < 0)
        return;
    // The file stays: removing it could let two windows lock two different
    // files of the same name.
    ::close(m_fd);
    m_fd = -1;
}

bool DataFolderLock::isHeld() const
{
    return m_fd >= 0;
}

#endif
