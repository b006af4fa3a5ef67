// Holds the window's data folder against a second window on this PC: two
// windows in one folder would write each other's settings back at exit and
// mix their runs' files. A lock file in the folder; the system drops the
// lock when the holder ends however it ends, so a crashed window's folder is
// free again at once. A live holder is named by its pid. Runners do not take
// it: a runner's --out may share the window's folder.
#ifndef DATAFOLDERLOCK_H
#define DATAFOLDERLOCK_H

#include <QString>

#include "PidLockFile.h"

class DataFolderLock
{
public:
    enum Result { Taken, HeldByOther, Failed };

    DataFolderLock() = default;

    DataFolderLock(const DataFolderLock &) = delete;
    DataFolderLock &operator=(const DataFolderLock &) = delete;

    // HeldByOther (another live window holds the folder) or Failed (no lock
    // file could be made) come with a one-line reason.
    Result acquire(const QString &folder, QString *error);
    void release();
    bool isHeld() const;

    // ".trevalo-window.lock", in the folder itself.
    static QString fileName();

private:
    PidLockFile m_lock;
};

#endif // DATAFOLDERLOCK_H
