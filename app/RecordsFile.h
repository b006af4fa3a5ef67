// A run's record file as the trends window reads it: the run line, a bounded
// summary of the cycles and the end line. A file still being written is
// followed by reading what has been appended since; a line not yet ended (or
// cut short by a crash) is left for later and reported, and a line longer
// than any record is passed over unread and reported. A file that holds
// several runs (appended or joined files) is summed up for its last run
// only, with a count of the earlier ones: their cycle numbers start again.
#ifndef RECORDSFILE_H
#define RECORDSFILE_H

#include <QByteArrayView>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <algorithm>

#include "CycleSummary.h"
#include "FailureList.h"

class RecordsFile
{
public:
    using Cycle = CycleSummary::Cycle;

    enum class LineKind { Blank, Damaged, Run, Cycle, End };

    // No record comes near this; a longer line is passed over unread.
    static constexpr qint64 kMaxLineBytes = 1 << 20;

    // A cycle line that says where its log starts (a quick look, no parse).
    static bool hasLogPosition(QByteArrayView line) { return line.indexOf(QByteArrayView("\"logLine\":")) >= 0; }
    // What one line of a record file (with or without its line feed) is.
    // Fills cycle for a cycle line and object, when given, with the line's
    // whole object for any sound record.
    // A custom test's captured value named valueName goes into the cycle's
    // value, and the names of all it captured into its valueNames.
    static LineKind parseLine(QByteArrayView line, Cycle *cycle, QJsonObject *object = nullptr,
                              const QString &valueName = QString());

    // The captured value the summary follows (empty: none); takes effect at
    // the next open().
    void setValueName(const QString &name) { m_valueName = name; }
    QString valueName() const { return m_valueName; }
    // The names of the captured values met so far, at most kMaxValueNames.
    const QStringList &valueNames() const { return m_valueNames; }
    static constexpr int kMaxValueNames = 64;

    // Reads the whole file, or about maxBytes of it when not negative (the
    // rest by readMore); false when it cannot be opened.
    bool open(const QString &path, qint64 maxBytes = -1);
    // Reads the lines appended since, at most about maxBytes of them when
    // not negative; the number of new cycles.
    int readMore(qint64 maxBytes = -1);
    // Everything there was at the last reading has been read.
    bool caughtUp() const { return m_caughtUp; }
    void clear();

    QString path() const { return m_path; }
    const QJsonObject &run() const { return m_run; }
    const QJsonObject &end() const { return m_end; }
    const CycleSummary &summary() const { return m_summary; }
    qint64 cycleCount() const { return m_summary.cycles(); }
    qint64 passCount() const { return m_summary.passes(); }
    // The failed cycles, the newest up to a cap, and counts of all.
    const FailureList &failures() const { return m_failures; }
    // The last cycle read (a default one before any).
    const Cycle &lastCycle() const { return m_last; }
    // Bytes read up to the end of the last whole line.
    qint64 offset() const { return m_offset; }
    // Lines that were no record (damaged), lines too long to be one, and
    // whether the file ends in a line that is not whole.
    int damagedLines() const { return m_damaged; }
    int oversizedLines() const { return m_oversized; }
    bool unfinishedLastLine() const { return m_pendingTail; }
    // Runs before the last one in the file, left out; also the index (from
    // 0) of the run shown, as CycleLogLocator::queryFromRecords() counts.
    int earlierRuns() const { return std::max(m_runLines, 1) - 1; }
    // Empty while every line read is whole and sound.
    QString warning() const;

    // The record at offset (where a line starts); empty when it cannot be read.
    QJsonObject lineAt(qint64 offset) const;
    // Reads again the cycles whose lines lie between the byte offsets from
    // and to into a summary. False when the file cannot be read there.
    bool readStretch(qint64 from, qint64 to, CycleSummary *into) const;

    // The record fields in the order the columns have in a CSV export.
    static QStringList csvColumns();
    // Writes one row per cycle record of recordsPath (fields it lacks stay
    // empty, fields unknown here follow the known ones). Damaged and
    // oversized lines are left out. False with a reason when a file cannot
    // be read or written.
    static bool exportCsv(const QString &recordsPath, const QString &csvPath, QString *error = nullptr);

private:
    QString m_path;
    qint64 m_offset = 0; // bytes consumed, up to the end of the last whole line
    QJsonObject m_run;
    QJsonObject m_end;
    CycleSummary m_summary;
    FailureList m_failures;
    Cycle m_last;
    int m_damaged = 0;
    int m_oversized = 0;
    int m_runLines = 0;
    bool m_pendingTail = false;
    bool m_skipping = false; // the last reading ended inside an oversized line
    bool m_caughtUp = true;
    QString m_valueName;
    QStringList m_valueNames;
};

#endif // RECORDSFILE_H
