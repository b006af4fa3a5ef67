// Stamps log lines as they arrive, with the stamp RunFiles::logStamp gives.
#ifndef LOGSTAMPER_H
#define LOGSTAMPER_H

#include <QString>

#include <limits>

class LogStamper
{
public:
    // "<stamp> <text>" for now, or for a given time (ms since the epoch).
    QString stampLine(const QString &text);
    QString stampLine(qint64 msecsSinceEpoch, const QString &text);

private:
    // Turning a time into local time rereads the zone (glibc stats
    // /etc/localtime on every conversion), which at thousands of lines a
    // second was a tenth of the window's log path. A zone offset is whole
    // seconds, so the local date and time are worked out once a second and
    // only the milliseconds change within it.
    qint64 m_second = std::numeric_limits<qint64>::min();
    QString m_prefix; // "MM-dd-hh-mm-ss-" of m_second
};

#endif
