#include "StreamedLog.h"

#include "RunFiles.h"

#include <QCoreApplication>
#include <QDir>

StreamedLog::~StreamedLog()
{
    // Lines never saved stay in the part file for whoever looks.
    m_part.close();
}

bool StreamedLog::openPart()
{
    if (m_part.isOpen())
        return true;
    QDir(m_outDir).mkpath(QStringLiteral("log"));
    m_part.setFileName(QDir(m_outDir).filePath(
        QStringLiteral("log/.%1.%2.part").arg(RunFiles::fileStamp(QDateTime::currentDateTime())).arg(QCoreApplication::applicationPid())));
    return m_part.open(QIODevice::WriteOnly | QIODevice::Truncate);
}

bool StreamedLog::append(const QByteArray &line)
{
    // Lines are separated, not ended, by a line feed: the window's log view text.
    m_pending += (m_hasLines ? QByteArray("\n") : QByteArray()) + line;
    m_hasLines = true;
    if (!openPart())
        return false;
    if (m_part.write(m_pending) != m_pending.size() || !m_part.flush())
        return false;
    m_pending.clear();
    return true;
}

QString StreamedLog::save(const QDateTime &when)
{
    if (!m_hasLines)
        return QString();
    if (!openPart() || (!m_pending.isEmpty() && m_part.write(m_pending) != m_pending.size()) || !m_part.flush())
        return QString();
    m_pending.clear();
    m_part.close();

    const QString stamp = RunFiles::fileStamp(when);
    constexpr int maxSiblings = 1000;
    for (int n = 1; n <= maxSiblings; ++n) {
        const QString name = n == 1 ? QStringLiteral("log/%1.log").arg(stamp)
                                    : QStringLiteral("log/%1-%2.log").arg(stamp).arg(n);
        // Never onto an existing name, not even one another process takes
        // a moment before: an earlier save keeps its lines.
        bool taken = false;
        if (RunFiles::renameToNewName(m_part.fileName(), QDir(m_outDir).filePath(name), &taken)) {
            m_part.setFileName(QString());
            m_hasLines = false;
            return name;
        }
        if (!taken)
            break; // not a name clash: the folder refuses it
    }
    // Reopened for appending: the next save takes these lines along.
    m_part.open(QIODevice::WriteOnly | QIODevice::Append);
    return QString();
}
