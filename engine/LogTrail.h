// Where the log sink put the latest cycle separator it took: the separator's
// stamp and its line in the log file that will hold it (counted from that
// file's first line). The worker reads it when it writes the cycle's record,
// so the record says where the cycle's log starts. The sink takes lines a
// little after the worker sends them; a separator it has not taken yet by the
// time the cycle is counted simply has no position on record.
#ifndef LOGTRAIL_H
#define LOGTRAIL_H

#include <QMutex>
#include <QString>

class LogTrail
{
public:
    // The line every cycle's log starts with.
    static QString separator();

    // Worker thread: a run begins (nothing sent or taken yet).
    void beginRun();
    // Worker thread: a separator goes out now; its number in the run (from 1).
    qint64 separatorSent();

    // Sink thread: the next separator was taken, stamped at atMs (ms since
    // the epoch) and put at this line (from 0) of the log file it goes to.
    void separatorTaken(qint64 atMs, qint64 line);

    // Where separator number n landed; false while the sink has not taken it.
    bool position(qint64 n, qint64 *atMs, qint64 *line) const;

    // Lines a log text fills in a file: one plus its line breaks.
    static int fileLines(const QString &text);

private:
    mutable QMutex m_mutex;
    qint64 m_sent = 0;
    qint64 m_taken = 0;
    qint64 m_atMs = 0;
    qint64 m_line = -1;
};

#endif // LOGTRAIL_H
