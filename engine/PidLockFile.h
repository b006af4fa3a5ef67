// A lock file held for as long as this process wants it, naming its holder
// by pid. The system drops the lock when the holder ends however it ends, so
// a crashed holder's lock is free again at once; the file itself stays, since
// removing it could let two processes lock two different files of one name.
#ifndef PIDLOCKFILE_H
#define PIDLOCKFILE_H

#include <QString>

#ifdef Q_OS_WIN
#include <QLockFile>
#include <memory>
#endif

class PidLockFile
{
public:
    enum Result { Taken, HeldByOther, Failed };

    PidLockFile() = default;
    ~PidLockFile();

    PidLockFile(const PidLockFile &) = delete;
    PidLockFile &operator=(const PidLockFile &) = delete;

    // Takes the lock of path, made with the given permissions if missing.
    // HeldByOther sets *holder to the live holder's pid (0 when unknown);
    // Failed sets *why to the system's reason. Taking drops a lock held before.
    Result take(const QString &path, int permissions, qint64 *holder, QString *why);
    void release();
    bool isHeld() const;

private:
#ifdef Q_OS_WIN
    std::unique_ptr<QLockFile> m_lock;
#else
    int m_fd = -1;
#endif
};

#endif // PIDLOCKFILE_H
