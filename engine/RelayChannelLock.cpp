#include "RelayChannelLock.h"

#include "BenchClient.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#ifndef Q_OS_WIN
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>
#endif

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

#endif

bool RelayChannelLock::acquire(const QString &serial, int channel, QString *error, const QString &given)
{
    release();
    const QString folder = given.isEmpty() ? lockFolder() : given;
    if (folder.isEmpty()) {
#ifdef Q_OS_WIN
        *error = QStringLiteral("no folder for the relay channel locks");
#else
        *error = QStringLiteral("no private folder for the relay channel locks (XDG_RUNTIME_DIR or /tmp/trevalo-%1)")
                     .arg(uint(getuid()));
#endif
        return false;
    }
    qint64 holder = 0;
    QString why;
    switch (m_lock.take(QDir(folder).filePath(lockFileName(serial, channel)), 0600, &holder, &why)) {
    case PidLockFile::Taken:
        return true;
    case PidLockFile::HeldByOther:
        *error = holder > 0 ? QStringLiteral("relay channel %1 of board %2 is held by another run (pid %3)")
                                  .arg(channel).arg(serial).arg(holder)
                            : QStringLiteral("relay channel %1 of board %2 is held by another run").arg(channel).arg(serial);
        return false;
    case PidLockFile::Failed:
        break;
    }
    *error = QStringLiteral("cannot lock relay channel %1 of board %2: %3").arg(channel).arg(serial, why);
    return false;
}

void RelayChannelLock::release()
{
    m_lock.release();
}

bool RelayChannelLock::isHeld() const
{
    return m_lock.isHeld();
}
