#include "DataFolderLock.h"

#include <QDir>

QString DataFolderLock::fileName()
{
    return QStringLiteral(".trevalo-window.lock");
}

DataFolderLock::Result DataFolderLock::acquire(const QString &folder, QString *error)
{
    qint64 holder = 0;
    QString why;
    const QString where = QDir::toNativeSeparators(folder);
    switch (m_lock.take(QDir(folder).filePath(fileName()), 0644, &holder, &why)) {
    case PidLockFile::Taken:
        return Taken;
    case PidLockFile::HeldByOther:
        *error = holder > 0
                     ? QStringLiteral("the data folder %1 is in use by another trevalo window (pid %2)").arg(where).arg(holder)
                     : QStringLiteral("the data folder %1 is in use by another trevalo window").arg(where);
        return HeldByOther;
    case PidLockFile::Failed:
        break;
    }
    *error = QStringLiteral("cannot lock the data folder %1: %2").arg(where, why);
    return Failed;
}

void DataFolderLock::release()
{
    m_lock.release();
}

bool DataFolderLock::isHeld() const
{
    return m_lock.isHeld();
}
