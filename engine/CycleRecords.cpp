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
    // A local time prints without its offset; one fixed to its offset prints it.
    return when.toOffsetFromUtc(when.offsetFromUtc()).toString(Qt::ISODateWithMs);
}
