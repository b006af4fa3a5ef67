#include "LogStamper.h"

#include "RunFiles.h"

#include <QDateTime>

#include <cstdio>

QString LogStamper::stampLine(const QString &text)
{
    return stampLine(QDateTime::currentMSecsSinceEpoch(), text);
}

QString LogStamper::stampLine(qint64 msecsSinceEpoch, const QString &text)
{
    // Floored, so times before the epoch keep their second's prefix too.
    qint64 second = msecsSinceEpoch / 1000;
    int msec = int(msecsSinceEpoch % 1000);
    if (msec < 0) {
        --second;
        msec += 1000;
    }
    if (second != m_second) {
        m_prefix = RunFiles::logStampPrefix(QDateTime::fromMSecsSinceEpoch(second * 1000));
        m_second = second;
    }
    char digits[8];
    const int n = std::snprintf(digits, sizeof digits, "%d", msec);
    // One allocation for the whole line: a payload dump is 2,000 characters.
    QString line;
    line.reserve(m_prefix.size() + 2 * n + 1 + text.size());
    line.append(m_prefix);
    line.append(QLatin1String(digits, n));
    line.append(QLatin1String(digits, n));
    line.append(QLatin1Char(' '));
    line.append(text);
    return line;
}
