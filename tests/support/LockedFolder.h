// A folder in which no file can be created, even by root (the tests run as
// root, for whom permission bits do not count): made immutable with chattr
// as root, read-only by mode otherwise. Undone on destruction.
#ifndef LOCKEDFOLDER_H
#define LOCKEDFOLDER_H

#include <QFile>
#include <QProcess>
#include <QString>
#include <QTemporaryFile>

#include <unistd.h>

class LockedFolder
{
public:
    explicit LockedFolder(const QString &path) : m_path(path)
    {
        m_asRoot = ::geteuid() == 0;
        if (m_asRoot)
            m_locked = QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), m_path}) == 0;
        else
            m_locked = QFile::setPermissions(m_path, QFile::ReadOwner | QFile::ExeOwner);
        // Only a folder that really refuses a new file counts.
        if (m_locked) {
            QTemporaryFile probe(m_path + QStringLiteral("/probe-XXXXXX"));
            m_locked = !probe.open();
        }
    }
    ~LockedFolder()
    {
        if (m_asRoot)
            QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), m_path});
        else
            QFile::setPermissions(m_path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    LockedFolder(const LockedFolder &) = delete;
    LockedFolder &operator=(const LockedFolder &) = delete;

    // False where the file system offers no way to lock it (then skip).
    bool isLocked() const { return m_locked; }

private:
    QString m_path;
    bool m_asRoot = false;
    bool m_locked = false;
};

#endif // LOCKEDFOLDER_H
