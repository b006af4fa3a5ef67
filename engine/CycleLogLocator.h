// One cycle's log lines, found in the log files of its run: from the cycle's
// separator to the line before the next one, across as many files as the
// view's saves spread them over, with its red line marked.
//
// A query names the cycle as its record line has it (queryFor). A record
// written since cycles carry "logAt" (the separator's stamp) and "logLine"
// (its line in its file) leads straight to the file: log files are named by the time they were
// saved, so the first file (in name order) saved at or after the stamp
// whose line N is that separator holds it; the line is checked, and the file
// searched for it when it is not there. A cycle whose record has no position
// (its separator had not reached the log when it was counted) is found from
// the nearest earlier cycle that has one by counting separators, or else
// counting back from the nearest later one; an older
// record without the field falls back to a search by the cycle's start time.
// find() never throws away the rest for a fault: a file gone, renamed or cut
// short is said in problems and the lines that are there are returned. Memory
// is bounded: at most kMaxLines lines and kMaxBytes bytes of the cycle are
// kept (its first and its last half), the count of the others in leftOut;
// a line over kMaxLineBytes is kept cut; a line of any length, or none at
// all, is read through in blocks. queryFromRecords() reads a records file
// for one cycle with the same bounds; a reader that goes through the whole
// file anyway builds every query in the same pass: q = queryFor(line),
// q.anchorOn(previous), previous = q, q.boundBy(each later cycle) until it
// returns true, and q.until = the end line's "end" when none is left.
#ifndef CYCLELOGLOCATOR_H
#define CYCLELOGLOCATOR_H

#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QVector>

struct CycleLogQuery
{
    qint64 cycle = 0;
    QDateTime start;        // the cycle's start as recorded
    QDateTime logAt;        // its separator's stamp, when on record
    qint64 logLine = -1;    // ... and the separator's line in its log file
    bool failed = false;
    QString failedLine;     // the red line to mark
    qint64 anchorCycle = 0; // the nearest earlier cycle with a position on record
    QDateTime anchorAt;
    qint64 anchorLine = -1;
    QDateTime until;        // the next cycle's start or the run's end; invalid when unknown
    // The stamp of a later cycle's separator: every line of this cycle was
    // logged before it, however far the log ran behind the worker.
    QDateTime untilLog;
    qint64 untilLogLine = -1; // ... its line in its file
    qint64 untilLogCycle = 0; // ... and its cycle

    bool hasPosition() const { return logAt.isValid() && logLine >= 0; }
    // Takes the earlier query's position (or its anchor) as this one's anchor.
    void anchorOn(const CycleLogQuery &earlier);
    // Called with each later cycle in turn: the first gives until, the first
    // with a log position untilLog. True once both are known.
    bool boundBy(const CycleLogQuery &later);
};

struct CycleLog
{
    QStringList lines;      // as the log files have them, stamps included
    int redLine = -1;       // index in lines of the cycle's red line, -1 for none
    qint64 leftOut = 0;     // lines of the cycle over the bounds, not in lines
    int leftOutAt = -1;     // ... they were before lines[leftOutAt]
    QStringList files;      // the log files read, relative to the log folder
    QStringList problems;   // what is missing or doubtful, one sentence each
    bool foundByTime = false;
    bool found() const { return !lines.isEmpty(); }
};

class CycleLogLocator
{
public:
    static constexpr int kMaxLines = 2000;
    static constexpr qint64 kMaxBytes = 1 << 20;
    static constexpr qint64 kMaxLineBytes = 16 * 1024;

    explicit CycleLogLocator(const QString &logDir) : m_logDir(logDir) {}
    // The log folder beside a records file's folder: "<out>/records/x.jsonl" -> "<out>/log".
    static QString logDirFor(const QString &recordsPath);

    // What a cycle record line says of the cycle; cycle 0 for a line that is no cycle.
    static CycleLogQuery queryFor(const QJsonObject &cycleLine);
    // The query for cycle number cycle of the run'th run (from 0) in a
    // records file, anchor and end included; false with a reason when the
    // file cannot be read or has no such cycle.
    static bool queryFromRecords(const QString &recordsPath, qint64 cycle, CycleLogQuery *query,
                                 QString *problem = nullptr, int run = 0);

    CycleLog find(const CycleLogQuery &query) const;

private:
    struct LogFile
    {
        QString name;
        qint64 key = 0; // the wall time of its stamp, ms
        int sibling = 1;
        bool part = false; // a runner's unsaved lines
    };
    struct Spot
    {
        int file = -1;
        qint64 line = -1;
    };

    QVector<LogFile> listFiles() const;
    Spot locate(const QVector<LogFile> &files, const QDateTime &at, qint64 line, CycleLog *log) const;
    Spot countOn(const QVector<LogFile> &files, Spot from, qint64 separators, const CycleLogQuery &query,
                 CycleLog *log) const;
    Spot countBack(const QVector<LogFile> &files, Spot from, qint64 separators, const CycleLogQuery &query,
                   CycleLog *log) const;
    Spot locateByTime(const QVector<LogFile> &files, const CycleLogQuery &query, CycleLog *log) const;
    Spot firstInside(const QVector<LogFile> &files, const CycleLogQuery &query) const;
    int continuation(const QVector<LogFile> &files, int after, qint64 lastKey, const CycleLogQuery &query) const;
    void collect(const QVector<LogFile> &files, Spot spot, const CycleLogQuery &query, CycleLog *log) const;

    QString m_logDir;
};

#endif // CYCLELOGLOCATOR_H
