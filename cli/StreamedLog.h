// The runner's log files: the same "log/<yyyy-MM-dd-hh-mm-ss>.log" files the
// window saves, but every line goes to disk as it comes (into a hidden part
// file that a save renames into place), so a run of days holds no log in
// memory and a crash leaves its lines in the part file.
#ifndef STREAMEDLOG_H
#define STREAMEDLOG_H

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QString>

class StreamedLog
{
public:
    // Lines the disk refuses are held in memory up to this many bytes: a
    // disk full for the best part of an hour on the fastest case.
    static constexpr qsizetype defaultHoldCap = 64 * 1024 * 1024;

    explicit StreamedLog(const QString &outDir, qsizetype holdCap = defaultHoldCap)
        : m_outDir(outDir), m_holdCap(holdCap)
    {
    }
    ~StreamedLog();

    // False while the disk refuses lines. They are held, in order, and
    // written each exactly once as soon as it takes them again, followed by
    // a line saying when writing failed and that it resumed. Past the hold
    // cap further lines are only counted (lostLines).
    bool append(const QByteArray &line);
    // Gives the lines so far their file, "log/<stamp>.log" (or a "-N"
    // sibling when that name is taken); returns it relative to the output
    // folder, empty when nothing was logged or the file could not be made.
    QString save(const QDateTime &when);
    // Lines since the last save, as the file has them: where the next
    // line goes in the file the next save names.
    qint64 fileLines() const { return m_fileLines; }
    // Any lines since the last save.
    bool isEmpty() const { return !m_hasLines; }
    // Lines are waiting in memory for the disk.
    bool isFailing() const { return m_failing; }
    // Why the disk refused the latest write.
    QString failure() const { return m_failure; }
    // Lines of the run that never reached the log because too many waited.
    qint64 lostLines() const { return m_lostTotal; }

private:
    bool openPart();
    // Writes what waits; false (and failing) when the disk took not all of it.
    bool writePending();
    QByteArray resumedLine() const;

    const QString m_outDir;
    const qsizetype m_holdCap;
    QFile m_part;
    QByteArray m_pending; // bytes not yet in the part file
    bool m_hasLines = false;
    qint64 m_fileLines = 0;
    bool m_failing = false;
    QString m_failure;
    QDateTime m_failedAt;
    qint64 m_heldLines = 0; // logged since writing failed, kept
    qint64 m_lostLines = 0; // logged since writing failed, dropped
    qint64 m_lostTotal = 0;
};

#endif // STREAMEDLOG_H
