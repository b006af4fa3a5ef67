#include "CycleRecords.h"

#include "RunFiles.h"

#include <QDir>
#include <QJsonDocument>

#if defined(Q_OS_WIN)
#include <io.h>
#else
#include <unistd.h>
#endif

bool CycleRecords::open(const QString &dir, const QString &tag, const QDateTime &start)
{
    m_file.close();
    m_path.clear();
    if (!QDir().mkpath(dir))
        return false;
    const QString base = QDir(dir).filePath(tag + QLatin1Char('.') + RunFiles::fileStamp(start));
    // Never appended to another run's file.
    constexpr int maxSiblings = 1000;
    for (int n = 1; n <= maxSiblings; ++n) {
        const QString name = n == 1 ? base + QStringLiteral(".jsonl") : base + QStringLiteral("-%1.jsonl").arg(n);
        m_file.setFileName(name);
        if (m_file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            m_path = name;
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
    if (m_file.write(bytes) != bytes.size() || !m_file.flush())
        return false;
    // Down to the disk, not just the system's cache: a power cut keeps it too.
#if defined(Q_OS_WIN)
    return _commit(m_file.handle()) == 0;
#else
    return ::fdatasync(m_file.handle()) == 0;
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
