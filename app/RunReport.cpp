#include "RunReport.h"

#include <QDateTime>
#include <QFile>
#include <QObject>

#include <algorithm>
#include <cmath>
#include <limits>

#include "CycleRecords.h"
#include "RecordLineReader.h"
#include "RunFiles.h"

namespace {

constexpr int kExact = 1 << 16;    // whole ms counted one by one below this
constexpr int kSubBuckets = 1024;  // per power of two above it
constexpr int kTopPower = 62;
constexpr int kHistogramSize = kExact + (kTopPower - 16 + 1) * kSubBuckets;

QString cut(const QString &text, int chars)
{
    return text.size() <= chars ? text : text.left(chars) + QStringLiteral("\u2026");
}

QString stringOf(const QJsonObject &o, const char *key, int chars)
{
    return cut(o.value(QLatin1String(key)).toString(), chars);
}

} // namespace

QString RunReport::figureKey(Figure figure)
{
    switch (figure) {
    case DialUp:
        return QStringLiteral("dialUpMs");
    case HangUp:
        return QStringLiteral("hangUpMs");
    case Register:
        return QStringLiteral("registerMs");
    case Deregister:
        return QStringLiteral("deregisterMs");
    case Reregister:
        return QStringLiteral("reregisterMs");
    default:
        return QString();
    }
}

QString RunReport::figureName(Figure figure)
{
    switch (figure) {
    case DialUp:
        return QObject::tr("Dial-up");
    case HangUp:
        return QObject::tr("Hang-up");
    case Register:
        return QObject::tr("Registration (+CREG: 1)");
    case Deregister:
        return QObject::tr("AT+CFUN=0 to +CREG: 0");
    case Reregister:
        return QObject::tr("AT+CFUN=1 to +CREG: 1");
    default:
        return QString();
    }
}

int RunReport::Histogram::indexOf(qint64 ms)
{
    if (ms < kExact)
        return int(ms);
    int power = 16;
    while (power < kTopPower && (ms >> (power + 1)) != 0)
        ++power;
    return kExact + (power - 16) * kSubBuckets + int((ms >> (power - 10)) & (kSubBuckets - 1));
}

qint64 RunReport::Histogram::lowestOf(int index)
{
    if (index < kExact)
        return index;
    const int power = 16 + (index - kExact) / kSubBuckets;
    const qint64 sub = (index - kExact) % kSubBuckets;
    return (kSubBuckets + sub) << (power - 10);
}

void RunReport::Histogram::add(double ms)
{
    if (!std::isfinite(ms) || ms < 0)
        return;
    const qint64 whole = qint64(std::llround(std::min(ms, 4e18)));
    if (m_counts.empty())
        m_counts.assign(kHistogramSize, 0);
    quint32 &slot = m_counts[std::size_t(indexOf(whole))];
    if (slot < std::numeric_limits<quint32>::max())
        ++slot;
    m_max = m_count == 0 ? ms : std::max(m_max, ms);
    ++m_count;
}

double RunReport::Histogram::percentile(double p) const
{
    if (m_count == 0)
        return -1;
    const qint64 rank = std::max<qint64>(1, qint64(std::ceil(p / 100.0 * double(m_count) - 1e-9)));
    if (rank >= m_count)
        return m_max;
    qint64 seen = 0;
    for (std::size_t i = 0; i < m_counts.size(); ++i) {
        seen += m_counts[i];
        if (seen >= rank)
            return std::min(double(lowestOf(int(i))), m_max);
    }
    return m_max;
}

RunReport::RunReport() = default;

bool RunReport::read(const QString &recordsPath)
{
    m_path = recordsPath;
    QFile file(recordsPath);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    m_opened = true;
    skipToLastRun(&file);
    RecordLineReader reader(&file, RecordsFile::kMaxLineBytes);
    for (;;) {
        if (m_cancel && m_cancel->load(std::memory_order_relaxed))
            break;
        QByteArrayView line;
        const RecordLineReader::Next next = reader.next(&line);
        if (next == RecordLineReader::Next::End)
            break;
        if (next == RecordLineReader::Next::Unfinished) {
            m_cutShort = !line.trimmed().isEmpty();
            break;
        }
        ++m_lineNumber;
        if (next == RecordLineReader::Next::Oversized) {
            ++m_oversized;
            continue;
        }
        RecordsFile::Cycle cycle;
        switch (RecordsFile::parseLine(line, &cycle)) {
        case RecordsFile::LineKind::Blank:
            break;
        case RecordsFile::LineKind::Damaged:
            ++m_damaged;
            break;
        case RecordsFile::LineKind::Run:
            // Reading starts at the file's last run line (skipToLastRun), so
            // this is the only one; lines before a file's only run line
            // belong to it, as the window has them.
            if (m_run.isEmpty())
                RecordsFile::parseLine(line, nullptr, &m_run);
            break;
        case RecordsFile::LineKind::Cycle:
            if (!m_end.isEmpty() || cycle.number <= m_lastNumber) {
                ++m_outOfOrder;
                break;
            }
            if (cycle.number > m_lastNumber + 1) {
                if (m_missingNumbers == 0)
                    m_firstMissing = m_lastNumber + 1;
                m_missingNumbers += qint64(cycle.number) - m_lastNumber - 1;
            }
            m_lastNumber = cycle.number;
            boundExcerpts(line);
            addCycle(cycle, line);
            break;
        case RecordsFile::LineKind::End:
            if (m_end.isEmpty())
                RecordsFile::parseLine(line, nullptr, &m_end);
            else
                ++m_outOfOrder;
            break;
        }
    }

    // When the run has no end line, its last cycle tells how far it got.
    QJsonObject last;
    if (!m_lastCycleLine.isEmpty() && RecordsFile::parseLine(m_lastCycleLine, nullptr, &last) == RecordsFile::LineKind::Cycle) {
        const QDateTime start = QDateTime::fromString(last.value(QStringLiteral("start")).toString(), Qt::ISODateWithMs);
        const double duration = last.value(QStringLiteral("durationMs")).toDouble(-1);
        if (start.isValid() && duration >= 0)
            m_lastCycleEnd = CycleRecords::isoStamp(start.addMSecs(qint64(duration)));
    }
    m_lastCycleLine.clear();
    const QString end = m_end.value(QStringLiteral("end")).toString();
    takeExcerpts(QDateTime::fromString(end.isEmpty() ? m_lastCycleEnd : end, Qt::ISODateWithMs));
    return true;
}

void RunReport::skipToLastRun(QFile *file)
{
    // A file that holds several runs is reported from its last run line:
    // the run the trends window shows for it.
    RecordLineReader scan(file, RecordsFile::kMaxLineBytes);
    qint64 lastRunAt = 0;
    qint64 lines = 0;
    int runs = 0;
    for (;;) {
        if (m_cancel && m_cancel->load(std::memory_order_relaxed))
            break;
        QByteArrayView line;
        const RecordLineReader::Next next = scan.next(&line);
        if (next == RecordLineReader::Next::End || next == RecordLineReader::Next::Unfinished)
            break;
        ++lines;
        // Cycle lines go by the quick scan; only the others are parsed.
        if (next == RecordLineReader::Next::Line
            && RecordsFile::parseLine(line, nullptr, nullptr) != RecordsFile::LineKind::Cycle) {
            QJsonObject object;
            if (RecordsFile::parseLine(line, nullptr, &object) == RecordsFile::LineKind::Run) {
                ++runs;
                lastRunAt = scan.lineStart();
                m_earlierRunLines = lines - 1;
            }
        }
    }
    m_earlierRuns = std::max(0, runs - 1);
    if (m_earlierRuns == 0)
        m_earlierRunLines = 0;
    m_lineNumber = m_earlierRunLines;
    file->seek(m_earlierRuns > 0 ? lastRunAt : 0);
}

void RunReport::addCycle(const RecordsFile::Cycle &cycle, QByteArrayView line)
{
    ++m_cycles;
    if (cycle.pass)
        ++m_passes;
    // As the window adds them up: seconds, one cycle after the other.
    if (cycle.dialUpMs >= 0) {
        m_dialUpSeconds += int(cycle.dialUpMs) / 1000.0;
        ++m_dialUps;
    }
    if (cycle.hangUpMs >= 0) {
        m_hangUpSeconds += int(cycle.hangUpMs) / 1000.0;
        ++m_hangUps;
    }
    const std::array<float, FigureCount> figures{cycle.dialUpMs, cycle.hangUpMs, cycle.registerMs, cycle.deregisterMs,
                                                 cycle.reregisterMs};
    for (int f = 0; f < FigureCount; ++f)
        if (figures[std::size_t(f)] >= 0)
            m_histograms[std::size_t(f)].add(figures[std::size_t(f)]);
    addColumn(cycle);
    if (!cycle.pass) {
        QJsonObject object;
        RecordsFile::parseLine(line, nullptr, &object);
        addFailure(object, m_lastCycleLine);
    }
    m_lastCycleLine = line.toByteArray();
}

void RunReport::addColumn(const RecordsFile::Cycle &cycle)
{
    if (m_columns.empty() || m_inLastColumn >= m_perColumn) {
        if (int(m_columns.size()) >= kColumns) {
            // Neighbours merge pairwise: the chart keeps its width for any length of run.
            std::size_t kept = 0;
            for (std::size_t i = 0; i < m_columns.size(); i += 2, ++kept) {
                Column merged = m_columns[i];
                if (i + 1 < m_columns.size()) {
                    const Column &later = m_columns[i + 1];
                    merged.last = later.last;
                    merged.failed += later.failed;
                    for (int f = 0; f < FigureCount; ++f) {
                        float &low = merged.low[std::size_t(f)];
                        float &high = merged.high[std::size_t(f)];
                        const float otherLow = later.low[std::size_t(f)];
                        const float otherHigh = later.high[std::size_t(f)];
                        if (otherLow >= 0 && (low < 0 || otherLow < low))
                            low = otherLow;
                        if (otherHigh > high)
                            high = otherHigh;
                    }
                }
                m_columns[kept] = merged;
            }
            m_columns.resize(kept);
            // The last column is two full ones merged: full again.
            m_perColumn *= 2;
            m_inLastColumn = m_perColumn;
        }
    }
    if (m_columns.empty() || m_inLastColumn >= m_perColumn) {
        Column fresh;
        fresh.first = cycle.number;
        m_columns.push_back(fresh);
        m_inLastColumn = 0;
    }
    Column &c = m_columns.back();
    c.last = cycle.number;
    ++m_inLastColumn;
    if (!cycle.pass)
        ++c.failed;
    const std::array<float, FigureCount> figures{cycle.dialUpMs, cycle.hangUpMs, cycle.registerMs, cycle.deregisterMs,
                                                 cycle.reregisterMs};
    for (int f = 0; f < FigureCount; ++f) {
        const float v = figures[std::size_t(f)];
        if (v < 0)
            continue;
        float &low = c.low[std::size_t(f)];
        float &high = c.high[std::size_t(f)];
        if (low < 0 || v < low)
            low = v;
        if (v > high)
            high = v;
    }
}

void RunReport::addFailure(const QJsonObject &cycle, QByteArrayView previousLine)
{
    QString step = stringOf(cycle, "failedStep", 100);
    if (step.isEmpty())
        step = QStringLiteral("unknown");
    if (!m_byStep.contains(step) && m_byStep.size() >= kMaxSteps)
        step = QObject::tr("(other)");
    ++m_byStep[step];

    // The bench's own hour, as its stamp carries it: "yyyy-MM-ddTHH:".
    const QString start = stringOf(cycle, "start", 64);
    bool isHour = start.size() > 13 && start.at(10) == QLatin1Char('T') && start.at(13) == QLatin1Char(':');
    const int hour = isHour ? start.mid(11, 2).toInt(&isHour) : -1;
    if (isHour && hour >= 0 && hour < 24)
        ++m_byHour[std::size_t(hour)];
    else
        ++m_withoutHour;

    if (int(m_failed.size()) >= kMaxListedFailures) {
        ++m_excerptsLeftOut;
        return;
    }
    Failure f;
    f.cycle = cycle.value(QStringLiteral("cycle")).toInt();
    f.start = start;
    f.step = step;
    f.line = stringOf(cycle, "failedLine", kMaxTextChars);
    f.rasError = cycle.value(QStringLiteral("rasError")).toInt();
    if (int(m_failed.size()) < kMaxExcerpts) {
        f.hasExcerpt = true;
        if (m_excerpts) {
            f.excerpt = m_excerpts(m_run, cycle);
            if (f.excerpt.lines.isEmpty())
                ++m_excerptsMissing;
        } else {
            queueExcerpt(m_failed.size(), cycle, previousLine);
        }
    } else {
        ++m_excerptsLeftOut;
    }
    m_failed.push_back(std::move(f));
}

QStringList RunReport::countTexts() const
{
    return RunFiles::countLines(m_passes, m_cycles - m_passes);
}

QString RunReport::averageDialUp() const
{
    return m_dialUps > 0 && m_dialUpSeconds > 0 ? RunFiles::averageSeconds(m_dialUpSeconds, m_dialUps) : QString();
}

QString RunReport::averageHangUp() const
{
    return m_hangUps > 0 && m_hangUpSeconds > 0 ? RunFiles::averageSeconds(m_hangUpSeconds, m_hangUps) : QString();
}

qint64 RunReport::lengthMs(bool *atLeast) const
{
    if (atLeast)
        *atLeast = false;
    const double recorded = m_end.value(QStringLiteral("durationMs")).toDouble(-1);
    if (recorded >= 0)
        return qint64(recorded);
    const QDateTime start = QDateTime::fromString(m_run.value(QStringLiteral("start")).toString(), Qt::ISODateWithMs);
    const QDateTime last = QDateTime::fromString(m_lastCycleEnd, Qt::ISODateWithMs);
    if (!start.isValid() || !last.isValid() || last < start)
        return -1;
    if (atLeast)
        *atLeast = true;
    return start.msecsTo(last);
}

QStringList RunReport::problems() const
{
    QStringList said;
    if (!m_opened) {
        said << QObject::tr("The record file %1 cannot be read.").arg(m_path);
        return said;
    }
    if (!isRecordFile()) {
        said << QObject::tr("The file holds no run line and no cycle line: it is no record file of this program.");
        return said;
    }
    if (m_run.isEmpty())
        said << QObject::tr("No run line: the run's case, port, board, version, start and settings are not on record.");
    if (m_end.isEmpty() && m_inProgress)
        said << QObject::tr("The run is still in progress: this report holds its first %1 cycles.").arg(m_cycles);
    else if (m_end.isEmpty())
        said << QObject::tr("No end line: the run did not end in order (a crash, a kill or a power cut), so its "
                            "end, length and end reason are not on record.");
    // A live run's last line may be half written at this moment.
    if (m_cutShort && !m_inProgress)
        said << QObject::tr("The last line is cut short and left out.");
    if (m_damaged > 0)
        said << QObject::tr("%1 line(s) that are no record of this program (not JSON, or JSON of something else) "
                            "are left out.").arg(m_damaged);
    if (m_oversized > 0)
        said << QObject::tr("%1 line(s) over %2 MB are skipped unread.").arg(m_oversized).arg(RecordsFile::kMaxLineBytes >> 20);
    if (m_earlierRuns > 0)
        said << QObject::tr("The file holds %1 earlier run(s) in its first %2 line(s), left out: the report is of its "
                            "last run, as the trends window shows it.").arg(m_earlierRuns).arg(m_earlierRunLines);
    if (m_outOfOrder > 0)
        said << QObject::tr("%1 line(s) out of order (a cycle numbered at or below the one before it, or a record "
                            "after the end line) are left out.").arg(m_outOfOrder);
    if (m_missingNumbers > 0)
        said << QObject::tr("%1 cycle(s) are missing from the numbering, the first of them cycle %2.")
                    .arg(m_missingNumbers)
                    .arg(m_firstMissing);
    if (!m_end.isEmpty()) {
        const qint64 endCycles = qint64(m_end.value(QStringLiteral("cycles")).toDouble(-1));
        const qint64 endPasses = qint64(m_end.value(QStringLiteral("pass")).toDouble(-1));
        if (endCycles != m_cycles || endPasses != m_passes)
            said << QObject::tr("The end line counts %1 cycles, %2 passed; %3 cycles, %4 passed, are on record.")
                        .arg(endCycles)
                        .arg(endPasses)
                        .arg(m_cycles)
                        .arg(m_passes);
    }
    if (failuresNotListed() > 0)
        said << QObject::tr("Only the first %1 failed cycles are listed; %2 more are on record.")
                    .arg(kMaxListedFailures)
                    .arg(failuresNotListed());
    if (m_excerptsLeftOut > 0)
        said << QObject::tr("Log excerpts are shown for the first %1 failed cycles; %2 failed cycle(s) are left "
                            "without one.").arg(kMaxExcerpts).arg(m_excerptsLeftOut);
    if (m_excerptsMissing > 0)
        said << QObject::tr("The log lines of %1 failed cycle(s) were not found (each says why).").arg(m_excerptsMissing);
    return said;
}

void RunReport::queueExcerpt(std::size_t failure, const QJsonObject &cycle, QByteArrayView previousLine)
{
    // A cycle whose record has no log position is counted on from the
    // latest one that has: the cycle before it, or one further back.
    QJsonObject previous;
    if (!previousLine.isEmpty() && RecordsFile::parseLine(previousLine, nullptr, &previous) == RecordsFile::LineKind::Cycle) {
        const CycleLogQuery before = CycleLogLocator::queryFor(previous);
        if (before.hasPosition())
            m_anchor = before;
    }
    CycleLogQuery query = CycleLogLocator::queryFor(cycle);
    query.anchorOn(m_anchor);
    if (query.hasPosition())
        m_anchor = query;
    m_queuedExcerpts.emplace_back(failure, query);
    m_excerptWaitsForNext = true;
}

void RunReport::boundExcerpts(QByteArrayView line)
{
    // Only the cycle right after a failure and cycles with a log position
    // tell anything: the rest are not parsed.
    const bool positioned = RecordsFile::hasLogPosition(line);
    if (m_queuedExcerpts.empty() || (!m_excerptWaitsForNext && !positioned))
        return;
    m_excerptWaitsForNext = false;
    QJsonObject object;
    RecordsFile::parseLine(line, nullptr, &object);
    const CycleLogQuery later = CycleLogLocator::queryFor(object);
    bool bound = false;
    for (auto &queued : m_queuedExcerpts)
        bound = queued.second.boundBy(later);
    if (bound)
        takeExcerpts(QDateTime());
}

void RunReport::takeExcerpts(const QDateTime &runEnd)
{
    if (m_queuedExcerpts.empty())
        return;
    if (!m_locator)
        m_locator = std::make_unique<CycleLogLocator>(CycleLogLocator::logDirFor(m_path));
    for (auto &queued : m_queuedExcerpts) {
        if (m_cancel && m_cancel->load(std::memory_order_relaxed))
            break;
        if (!queued.second.until.isValid())
            queued.second.until = runEnd;
        Excerpt &e = m_failed[queued.first].excerpt;
        e = excerptOf(m_locator->find(queued.second));
        if (e.lines.isEmpty())
            ++m_excerptsMissing;
    }
    m_queuedExcerpts.clear();
}

RunReport::Excerpt RunReport::excerptOf(const CycleLog &log)
{
    Excerpt e;
    e.missing = log.problems.join(QLatin1Char(' '));
    if (!log.found()) {
        if (e.missing.isEmpty())
            e.missing = QObject::tr("no log lines found");
        return e;
    }
    // The lines before the red line tell what led to it; the whole cycle is in the file.
    const int n = int(log.lines.size());
    const int red = log.redLine;
    const int from = red >= 0 ? std::max(0, red - kExcerptBefore) : 0;
    const int to = red >= 0 ? std::min(n, red + 1 + kExcerptAfter) : std::min(n, kExcerptBefore + kExcerptAfter);
    e.lines = log.lines.mid(from, to - from);
    e.redLine = red >= 0 ? red - from : -1;
    e.linesCut = int(std::min<qint64>(std::numeric_limits<int>::max(), (n - (to - from)) + log.leftOut));
    return e;
}
