#include "CycleRecords.h"

#include "RunFiles.h"

#include <QDir>
#include <QJsonDocument>

#if defined(Q_OS_WIN)
#include <io.h>
#else
#include <sys/file.h>
#include <unistd.h>
#endif

namespace {
bool syncToDisk(int fd)
{
#if defined(Q_OS_WIN)
    return _commit(fd) == 0;
#else
    return ::fdatasync(fd) == 0;
#endif
}
} // namespace

CycleRecords::~CycleRecords()
{
    stopSyncing();
}

void CycleRecords::stopSyncing()
{
    if (!m_syncer.joinable())
        return;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stopping = true;
    }
    m_wake.notify_one();
    m_syncer.join();
    m_stopping = false;
}

void CycleRecords::syncLoop()
{
    const int fd = m_file.handle();
    std::unique_lock<std::mutex> guard(m_lock);
    for (;;) {
        m_wake.wait(guard, [this] { return m_dirty || m_stopping; });
        if (!m_dirty && m_stopping)
            return;
        m_dirty = false;
        guard.unlock();
        const bool ok = syncToDisk(fd);
        guard.lock();
        if (!ok)
            m_syncFailed = true;
    }
}

bool CycleRecords::open(const QString &dir, const QString &tag, const QDateTime &start)
{
    stopSyncing();
    m_file.close();
    m_path.clear();
    m_syncFailed = false;
    if (!QDir().mkpath(dir))
        return false;
    const QString base = QDir(dir).filePath(tag + QLatin1Char('.') + RunFiles::fileStamp(start));
    // Never appended to another run's file.
    constexpr int maxSiblings = 1000;
    for (int n = 1; n <= maxSiblings; ++n) {
        const QString name = n == 1 ? base + QStringLiteral(".jsonl") : base + QStringLiteral("-%1.jsonl").arg(n);
        m_file.setFileName(name);
        if (m_file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
#if !defined(Q_OS_WIN)
            // Held while the run lasts and dropped by the system when the
            // process dies however it dies: a live run's file is never taken
            // for one that was cut short.
            ::flock(m_file.handle(), LOCK_EX | LOCK_NB);
#endif
            m_path = name;
            m_syncer = std::thread([this] { syncLoop(); });
            return true;
        }
        if (!QFile::exists(name))
            return false; // not a name clash: the folder cannot be written
    }
    return false;
}

bool CycleRecords::append(const QJsonObject &line)
{
    if (!m_file.isOpen())
        return false;
    const QByteArray bytes = QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n';
    // One write per line, handed to the system at once: a kill cannot cut it.
    if (m_file.write(bytes) != bytes.size() || !m_file.flush())
        return false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_syncFailed)
            return false;
        m_dirty = true;
    }
    m_wake.notify_one();
    return true;
}

QString CycleRecords::unfinishedRun(const QString &dir)
{
#if defined(Q_OS_WIN)
    Q_UNUSED(dir);
    return QString();
#else
    // The end line is short; 64 KB from the end holds it whole.
    constexpr qint64 tailBytes = 64 * 1024;
    const QDir records(dir);
    const QStringList names = records.entryList({QStringLiteral("*.jsonl")}, QDir::Files, QDir::Time);
    for (const QString &name : names) {
        QFile file(records.filePath(name));
        if (!file.open(QIODevice::ReadOnly) || file.size() == 0)
            continue; // a file just made, its lock and first line still to come
        if (::flock(file.handle(), LOCK_SH | LOCK_NB) != 0)
            continue; // a live run writes it
        const qint64 size = file.size();
        file.seek(qMax<qint64>(0, size - tailBytes));
        const QByteArray tail = file.read(tailBytes);
        ::flock(file.handle(), LOCK_UN);
        // A last line cut short, or one too long to be an end line, ends no run.
        if (!tail.endsWith('\n'))
            return name;
        const int from = tail.lastIndexOf('\n', tail.size() - 2);
        if (from < 0 && size > tail.size())
            return name;
        const QJsonObject last = QJsonDocument::fromJson(tail.mid(from + 1)).object();
        return last.value(QStringLiteral("record")).toString() == QLatin1String("end") ? QString() : name;
    }
    return QString();
#endif
}

QString CycleRecords::isoStamp(const QDateTime &when)
{
    // Always with a numeric offset, "+00:00" included, so every line reads alike.
    const int offset = when.offsetFromUtc();
    const int minutes = qAbs(offset) / 60;
    return when.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz"))
           + QStringLiteral("%1%2:%3")
                 .arg(offset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
                 .arg(minutes / 60, 2, 10, QLatin1Char('0'))
                 .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}
