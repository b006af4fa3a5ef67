#include "LogTrail.h"

#include <QMutexLocker>

QString LogTrail::separator()
{
    return QStringLiteral("=================================");
}

void LogTrail::beginRun()
{
    const QMutexLocker guard(&m_mutex);
    m_sent = 0;
    m_taken = 0;
    m_line = -1;
}

qint64 LogTrail::separatorSent()
{
    const QMutexLocker guard(&m_mutex);
    return ++m_sent;
}

void LogTrail::separatorTaken(qint64 atMs, qint64 line)
{
    const QMutexLocker guard(&m_mutex);
    // A sink that outruns the worker is a sink of another run's lines.
    if (m_taken >= m_sent)
        return;
    ++m_taken;
    m_atMs = atMs;
    m_line = line;
}

bool LogTrail::position(qint64 n, qint64 *atMs, qint64 *line) const
{
    const QMutexLocker guard(&m_mutex);
    if (n <= 0 || n != m_taken || m_line < 0)
        return false;
    *atMs = m_atMs;
    *line = m_line;
    return true;
}

int LogTrail::fileLines(const QString &text)
{
    // The log view breaks a line at each of these, and its file has a line
    // feed there.
    int lines = 1;
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u == u'\n' || u == u'\r' || u == 0x2028 || u == 0x2029)
            ++lines;
    }
    return lines;
}
