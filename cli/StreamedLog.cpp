#include "StreamedLog.h"

#include "RunFiles.h"

#include <QCoreApplication>
#include <QDir>

namespace {
// Unbuffered: a write the disk refuses stays with us alone. A buffered file
// would keep the same bytes in its own buffer and write them again later,
// doubling and reordering lines.
constexpr QIODevice::OpenMode kPartMode = QIODevice::WriteOnly | QIODevice::Unbuffered;
} // namespace

StreamedLog::~StreamedLog()
{
    // Lines never saved stay in the part file for whoever looks.
    m_part.close();
}

bool StreamedLog::openPart()
{
    if (m_part.isOpen())
        return true;
    // A part file that exists already holds earlier lines of this log.
    if (!m_part.fileName().isEmpty())
        return m_part.open(kPartMode | QIODevice::Append);
    QDir(m_outDir).mkpath(QStringLiteral("log"));
    m_part.setFileName(QDir(m_outDir).filePath(
        QStringLiteral("log/.%1.%2.part").arg(RunFiles::fileStamp(QDateTime::currentDateTime())).arg(QCoreApplication::applicationPid())));
    return m_part.open(kPartMode | QIODevice::Truncate);
}

bool StreamedLog::append(const QByteArray &line)
{
    // Lines held for a refusing disk go first, with the line saying writing
    // resumed right after them; while it still refuses, the line joins them.
    if (m_failing && !writePending()) {
        if (m_pending.size() + 1 + line.size() > m_holdCap) {
            ++m_lostLines;
            ++m_lostTotal;
        } else {
            ++m_heldLines;
            m_pending += '\n' + line;
            m_fileLines += 1 + line.count('\n');
        }
        return false;
    }
    // Lines are separated, not ended, by a line feed: the window's log view text.
    if (m_hasLines)
        m_pending += '\n';
    m_pending += line;
    m_hasLines = true;
    m_fileLines += 1 + line.count('\n');
    return writePending();
}

bool StreamedLog::writePending()
{
    while (!m_pending.isEmpty()) {
        if (openPart()) {
            // Only what reached the file leaves the queue, a line cut in two
            // included: its rest follows on the next try. A short write is
            // tried again at once, which fails with the reason.
            qint64 written = 0;
            while (!m_pending.isEmpty() && (written = m_part.write(m_pending)) > 0)
                m_pending.remove(0, written);
        }
        if (!m_pending.isEmpty()) {
            if (!m_failing) {
                m_failing = true;
                m_failedAt = QDateTime::currentDateTime();
                m_heldLines = 1;
                m_lostLines = 0;
            }
            m_failure = m_part.errorString();
            return false;
        }
        if (m_failing) {
            // Everything held is on disk: say so right after it.
            m_failing = false;
            m_pending = resumedLine();
            m_fileLines += 1;
        }
    }
    return true;
}

QByteArray StreamedLog::resumedLine() const
{
    QString text = QStringLiteral("Log writing failed at %1 (%2) and resumed; the %3 lines logged meanwhile are above")
                       .arg(RunFiles::logStamp(m_failedAt), m_failure)
                       .arg(m_heldLines);
    if (m_lostLines > 0)
        text += QStringLiteral(", %1 more were lost").arg(m_lostLines);
    return '\n' + (RunFiles::logStamp(QDateTime::currentDateTime()) + QLatin1Char(' ') + text).toLocal8Bit();
}

QString StreamedLog::save(const QDateTime &when)
{
    if (!m_hasLines)
        return QString();
    if (!writePending())
        return QString();
    m_part.close();
    if (m_part.error() != QFileDevice::NoError) {
        m_part.open(kPartMode | QIODevice::Append);
        return QString();
    }

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
            m_fileLines = 0;
            return name;
        }
        if (!taken)
            break; // not a name clash: the folder refuses it
    }
    // Reopened for appending: the next save takes these lines along.
    m_part.open(kPartMode | QIODevice::Append);
    return QString();
}
