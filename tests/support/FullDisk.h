// A folder on a small file system of its own that is full: a tmpfs mounted
// over it (as root) and filled, so files can still be created in it but
// every write fails with "No space left on device" until clean() makes room
// again, as when a bench PC's disk fills and is cleaned. Unmounted on
// destruction, with whatever was written into it.
#ifndef FULLDISK_H
#define FULLDISK_H

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

#include <sys/mount.h>

class FullDisk
{
public:
    explicit FullDisk(const QString &path, int sizeKb = 1024) : m_path(path)
    {
        QDir().mkpath(m_path);
        const QByteArray options = "size=" + QByteArray::number(sizeKb) + "k,mode=0755";
        m_mounted = ::mount("tmpfs", QFile::encodeName(m_path).constData(), "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC,
                            options.constData())
                    == 0;
        if (m_mounted)
            fill();
    }
    ~FullDisk()
    {
        if (m_mounted)
            ::umount2(QFile::encodeName(m_path).constData(), MNT_DETACH);
    }
    FullDisk(const FullDisk &) = delete;
    FullDisk &operator=(const FullDisk &) = delete;

    // False where no file system can be mounted (not root, no tmpfs): skip.
    bool isFull() const { return m_full; }
    // Makes the room the filler took.
    bool clean() { return QFile::remove(filler()); }

private:
    QString filler() const { return m_path + QStringLiteral("/.filler"); }
    void fill()
    {
        QFile file(filler());
        if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
            return;
        const QByteArray block(64 * 1024, '\0');
        while (file.write(block) == block.size()) {
        }
        file.close();
        // Only a disk that refuses a single byte counts.
        QFile probe(m_path + QStringLiteral("/.probe"));
        m_full = probe.open(QIODevice::WriteOnly | QIODevice::Unbuffered) && probe.write("x", 1) != 1;
        probe.close();
        probe.remove();
    }

    QString m_path;
    bool m_mounted = false;
    bool m_full = false;
};

#endif // FULLDISK_H
