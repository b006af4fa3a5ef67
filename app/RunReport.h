// What a run report shows, read from the run's record file in one pass:
// the run's facts and settings, the counts, FPY and averages as the window
// shows them, the spread of the dial-up, hang-up and registration times,
// the failures by step and by hour of the day, and the failed cycles with
// their red lines and log excerpts. Memory is bounded whatever the file
// holds: times are counted in a histogram, the charts keep a fixed number
// of columns, and only the first failed cycles are kept in full. What the
// file lacks or holds that is no record of this run is said in problems().
#ifndef RUNREPORT_H
#define RUNREPORT_H

#include <QFile>
#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QStringList>

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <vector>

#include "CycleLogLocator.h"
#include "RecordsFile.h"

class RunReport
{
public:
    enum Figure { DialUp, HangUp, Register, Deregister, Reregister, FigureCount };
    // The record key of a figure ("dialUpMs", ...) and its name in words.
    static QString figureKey(Figure figure);
    static QString figureName(Figure figure);

    // Whole milliseconds counted exactly up to a minute, then to a tenth of
    // a percent: a fixed size for any number of cycles.
    class Histogram
    {
    public:
        void add(double ms);
        qint64 count() const { return m_count; }
        // The nearest-rank percentile (0 < p <= 100) in ms; -1 when empty.
        double percentile(double p) const;
        double max() const { return m_count > 0 ? m_max : -1; }

    private:
        static int indexOf(qint64 ms);
        static qint64 lowestOf(int index);
        std::vector<quint32> m_counts; // allocated with the first value
        qint64 m_count = 0;
        double m_max = 0;
    };

    // A column of a chart: neighbouring cycles, with the lowest and highest
    // of each figure (negative when none was taken) and the failures.
    struct Column
    {
        int first = 0;
        int last = 0;
        int failed = 0;
        std::array<float, FigureCount> low;
        std::array<float, FigureCount> high;
        Column() { low.fill(-1); high.fill(-1); }
    };

    // A cycle's log lines around its red line, and what kept them from being shown.
    struct Excerpt
    {
        QStringList lines;
        int redLine = -1; // index in lines, -1 when not among them
        int linesCut = 0; // lines of the cycle left out before and after
        QString missing;  // why there are no lines, when there are none
    };

    struct Failure
    {
        int cycle = 0;
        QString start;
        QString step;
        QString line;
        int rasError = 0;
        bool hasExcerpt = false;
        Excerpt excerpt;
    };

    // Looks up a failed cycle's log lines instead of the log files beside
    // the records; given the run line and the cycle line.
    using ExcerptSource = std::function<Excerpt(const QJsonObject &run, const QJsonObject &cycle)>;

    static constexpr int kColumns = 960;
    static constexpr int kMaxListedFailures = 10000;
    static constexpr int kMaxExcerpts = 200;
    static constexpr int kMaxSteps = 64; // distinct failed steps kept by name
    static constexpr int kMaxTextChars = 500; // of a red line or a setting kept
    // Lines of an excerpt: up to its red line and a few after it.
    static constexpr int kExcerptBefore = 30;
    static constexpr int kExcerptAfter = 5;

    RunReport();

    // A run still going on has no end line yet, and that is no fault.
    void setRunInProgress(bool inProgress) { m_inProgress = inProgress; }
    // Where the excerpts come from; by default the log files the records name.
    void setExcerptSource(ExcerptSource source) { m_excerpts = std::move(source); }
    // Reading stops early (what was read so far kept) once the flag is set.
    void setCancelFlag(const std::atomic<bool> *cancel) { m_cancel = cancel; }
    // A cycle's lines as the locator found them, cut to the excerpt's bounds.
    static Excerpt excerptOf(const CycleLog &log);

    // Reads the file from its start; false when it cannot be opened.
    bool read(const QString &recordsPath);
    // The file held a run line or a cycle line of this program.
    bool isRecordFile() const { return !m_run.isEmpty() || m_cycles > 0; }

    QString path() const { return m_path; }
    const QJsonObject &run() const { return m_run; }
    const QJsonObject &end() const { return m_end; }
    bool inProgress() const { return m_inProgress; }
    qint64 cycles() const { return m_cycles; }
    qint64 passes() const { return m_passes; }
    qint64 failures() const { return m_cycles - m_passes; }
    // The window's texts: "Total: n", "PASS: n", "FAIL: n", "FPY: n%", and
    // the average dial-up and hang-up times (empty when none was taken).
    QStringList countTexts() const;
    QString averageDialUp() const;
    QString averageHangUp() const;
    const Histogram &histogram(Figure figure) const { return m_histograms[std::size_t(figure)]; }
    bool hasFigure(Figure figure) const { return histogram(figure).count() > 0; }

    const std::vector<Column> &columns() const { return m_columns; }
    const QMap<QString, qint64> &failuresByStep() const { return m_byStep; }
    const std::array<qint64, 24> &failuresByHour() const { return m_byHour; }
    const std::vector<Failure> &failedCycles() const { return m_failed; }
    qint64 failuresNotListed() const { return failures() - qint64(m_failed.size()); }
    int excerptsLeftOut() const { return m_excerptsLeftOut; }
    // The run's length in ms from its end line, or up to the end of its
    // last cycle on record (atLeast set) when it has none; -1 when unknown.
    qint64 lengthMs(bool *atLeast = nullptr) const;
    QString lastCycleEnd() const { return m_lastCycleEnd; }

    // What is missing or was left out, one sentence each; empty for a
    // whole, sound file.
    QStringList problems() const;

private:
    void skipToLastRun(QFile *file);
    void addCycle(const RecordsFile::Cycle &cycle, QByteArrayView line);
    void addFailure(const QJsonObject &cycle, QByteArrayView previousLine);
    // A failed cycle's log lookup waits for the cycles after it, which tell
    // where its lines end; done once a later cycle has a log position, or
    // at the end of the run.
    void queueExcerpt(std::size_t failure, const QJsonObject &cycle, QByteArrayView previousLine);
    void boundExcerpts(QByteArrayView line);
    void takeExcerpts(const QDateTime &runEnd);
    void addColumn(const RecordsFile::Cycle &cycle);

    QString m_path;
    bool m_inProgress = false;
    const std::atomic<bool> *m_cancel = nullptr;
    ExcerptSource m_excerpts;
    std::unique_ptr<CycleLogLocator> m_locator; // made with the first excerpt
    CycleLogQuery m_anchor; // the latest cycle whose log position is known
    std::vector<std::pair<std::size_t, CycleLogQuery>> m_queuedExcerpts; // (failure, its lookup)
    bool m_excerptWaitsForNext = false;
    QJsonObject m_run;
    QJsonObject m_end;
    qint64 m_cycles = 0;
    qint64 m_passes = 0;
    double m_dialUpSeconds = 0; // summed as the window sums them
    double m_hangUpSeconds = 0;
    qint64 m_dialUps = 0;
    qint64 m_hangUps = 0;
    std::array<Histogram, FigureCount> m_histograms;
    std::vector<Column> m_columns;
    qint64 m_perColumn = 1;
    qint64 m_inLastColumn = 0;
    QMap<QString, qint64> m_byStep;
    std::array<qint64, 24> m_byHour{};
    qint64 m_withoutHour = 0;
    std::vector<Failure> m_failed;
    int m_excerptsLeftOut = 0;
    int m_excerptsMissing = 0;
    QByteArray m_lastCycleLine;
    QString m_lastCycleEnd;
    int m_lastNumber = 0;
    qint64 m_lineNumber = 0;

    // What the file holds besides the run's sound records.
    bool m_opened = false;
    int m_damaged = 0;
    int m_oversized = 0;
    bool m_cutShort = false;
    int m_earlierRuns = 0;        // runs before the file's last, left out
    qint64 m_earlierRunLines = 0; // ... the lines they take
    qint64 m_outOfOrder = 0;
    qint64 m_missingNumbers = 0;
    int m_firstMissing = 0;
};

#endif // RUNREPORT_H
