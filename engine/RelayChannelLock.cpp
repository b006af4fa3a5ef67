#include "RelayChannelLock.h"

#include "BenchClient.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#ifndef Q_OS_WIN
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

RelayChannelLock::~RelayChannelLock()
{
    release();
}

bool RelayChannelLock::acquire(const usb_relay_device_info &board, int channel, QString *error)
{
    const QString serial = QString::fromLatin1(reinterpret_cast<const char *>(board.serial_number));
    const bool onBench = board.device_path && QByteArray(board.device_path).startsWith("bench:");
    return acquire(serial, channel, error, onBench ? BenchClient::runtimeDir() : QString());
}

QString RelayChannelLock::lockFileName(const QString &serial, int channel)
{
    // Serials come from the board: anything but letters and digits would
    // make a path, so it is spelled out instead.
    QString safe;
    for (const QChar c : serial) {
        if (c.isLetterOrNumber() && c.unicode() < 128)
            safe += c;
        else
            safe += QStringLiteral("_%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
    }
    return QStringLiteral("trevalo-relay-%1-%2.lock").arg(safe).arg(channel);
}

#ifdef Q_OS_WIN

QString RelayChannelLock::lockFolder()
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty() || !QDir().mkpath(folder))
        return QString();
    return folder;
}

bool RelayChannelLock::acquire(const QString &serial, int channel, QString *error, const QString &given)
{
    release();
    const QString folder = given.isEmpty() ? lockFolder() : given;
    if (folder.isEmpty()) {
        *error = QStringLiteral("no folder for the relay channel locks");
        return false;
    }
    auto lock = std::make_unique<QLockFile>(QDir(folder).filePath(lockFileName(serial, channel)));
    lock->setStaleLockTime(0); // a lock is stale only when its process is gone
    if (!lock->tryLock(0)) {
        qint64 pid = 0;
        QString host, app;
        if (lock->error() == QLockFile::LockFailedError && lock->getLockInfo(&pid, &host, &app))
            *error = QStringLiteral("relay channel %1 of board %2 is held by another run (pid %3)")
                         .arg(channel).arg(serial).arg(pid);
        else
            *error = QStringLiteral("cannot lock relay channel %1 of board %2").arg(channel).arg(serial);
        return false;
    }
    m_lock = std::move(lock);
    return true;
}

void RelayChannelLock::release()
{
    m_lock.reset();
}

bool RelayChannelLock::isHeld() const
{
    return m_lock != nullptr;
}

#else

QString RelayChannelLock::lockFolder()
{
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QFileInfo(QString::fromLocal8Bit(runtime)).isDir())
        return QString::fromLocal8Bit(runtime);
    // A folder of our own in /tmp, made private; one another user made first
    // is not used, or they could take or fake our locks.
    const QByteArray folder = QByteArrayLiteral("/tmp/trevalo-") + QByteArray::number(uint(getuid()));
    if (mkdir(folder.constData(), 0700) != 0 && errno != EEXIST)
        return QString();
    struct stat info{};
    if (lstat(folder.constData(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != getuid()
        || (info.st_mode & 077) != 0)
        return QString();
    return QString::fromLocal8Bit(folder);
}

bool RelayChannelLock::acquire(const QString &serial, int channel, QString *error, const QString &given)
{
    release();
    const QString folder = given.isEmpty() ? lockFolder() : given;
    if (folder.isEmpty()) {
        *error = QStringLiteral("no private folder for the relay channel locks (XDG_RUNTIME_DIR or /tmp/trevalo-%1)")
                     .arg(uint(getuid()));
        return false;
    }
    const QByteArray path = QFile::encodeName(QDir(folder).filePath(lockFileName(serial, channel)));
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        *error = QStringLiteral("cannot open the relay channel lock %1: %2")
                     .arg(QFile::decodeName(path), QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int why = errno;
        // The holder writes its pid once it has the lock.
        char buffer[32] = {};
        const ssize_t got = pread(fd, buffer, sizeof buffer - 1, 0);
        ::close(fd);
        const qint64 pid = got > 0 ? QByteArray(buffer, int(got)).trimmed().toLongLong() : 0;
        if (why == EWOULDBLOCK)
            *error = pid > 0 ? QStringLiteral("relay channel %1 of board %2 is held by another run (pid %3)")
                                   .arg(channel).arg(serial).arg(pid)
                             : QStringLiteral("relay channel %1 of board %2 is held by another run")
                                   .arg(channel).arg(serial);
        else
            *error = QStringLiteral("cannot lock relay channel %1 of board %2: %3")
                         .arg(channel).arg(serial, QString::fromLocal8Bit(std::strerror(why)));
        return false;
    }
    // The pid only names the holder in the message above; the lock is the flock.
    const QByteArray pid = QByteArray::number(qint64(getpid())) + '\n';
    const bool named = ftruncate(fd, 0) == 0 && pwrite(fd, pid.constData(), size_t(pid.size()), 0) == pid.size();
    Q_UNUSED(named) // unwritten, the channel is still held; a refusal just names no pid
    m_fd = fd;
    return true;
}

void RelayChannelLock::release()
{
    if (m_fd < 0)
        return;
    // The file stays: removing it could let two runs lock two different
    // files of the same name.
    ::close(m_fd);
    m_fd = -1;
}

bool RelayChannelLock::isHeld() const
{
    return m_fd >= 0;
}

#endif
