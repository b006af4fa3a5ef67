#include "CycleLogLocator.h"

#include "LogTrail.h"
#include "RunFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

#include <algorithm>
#include <deque>
#include <limits>

namespace {

// Candidate files tried for one separator before it is given up.
constexpr int kCandidates = 6;
// Lines of a file are in time order: past this much after the time sought,
// the rest of a file cannot hold it.
constexpr qint64 kPastMs = 3600 * 1000;
// A line is stamped when the log takes it, which may be after the worker
// sent it. Without a later separator's stamp on record, lines of a cycle are
// taken as stamped up to this long after the next cycle began.
constexpr qint64 kLagMs = 2000;
// No record line comes near this; a longer one is passed over.
constexpr qint64 kMaxRecordBytes = 1 << 20;

// Wall-clock time as milliseconds: the stamps in file names and log lines
// carry no zone, so times are compared as they read.
qint64 wallKey(const QDate &date, const QTime &time)
{
    return QDateTime(date, time, Qt::UTC).toMSecsSinceEpoch();
}

qint64 wallKey(const QDateTime &when)
{
    return wallKey(when.date(), when.time());
}

qint64 floorSecond(qint64 key)
{
    return key - ((key % 1000) + 1000) % 1000;
}

// The next line without its line feed, at most keep bytes of it; the whole
// line's length in length. Reads in blocks, so a line of any length (or a
// file with no line feed at all) never lands in memory whole.
bool nextLine(QFile &file, QByteArray *line, qint64 *length, qint64 keep)
{
    line->clear();
    *length = 0;
    if (file.atEnd())
        return false;
    char block[16 * 1024];
    for (;;) {
        const qint64 n = file.readLine(block, sizeof block);
        if (n <= 0)
            return *length > 0;
        const bool ended = block[n - 1] == '\n';
        const qint64 take = ended ? n - 1 : n;
        *length += take;
        if (line->size() < keep)
            line->append(block, int(std::min(take, keep - line->size())));
        if (ended || file.atEnd())
            return true;
    }
}

int digits(QByteArrayView text, int from, int count)
{
    int value = 0;
    for (int i = from; i < from + count; ++i) {
        const char c = text.at(i);
        if (c < '0' || c > '9')
            return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

// The wall time of a log line's stamp, "MM-dd-hh-mm-ss-" and the
// milliseconds written twice, in the year of the file's name or next to it.
// The text after it in *text.
bool lineStamp(QByteArrayView line, int fileYear, int fileMonth, qint64 *key, QByteArrayView *text = nullptr)
{
    const qsizetype space = line.indexOf(' ');
    if (space < 17 || space > 21 || line.at(2) != '-' || line.at(14) != '-')
        return false;
    const int doubled = int(space) - 15;
    if (doubled % 2 != 0 || line.sliced(15, doubled / 2) != line.sliced(15 + doubled / 2, doubled / 2))
        return false;
    const int month = digits(line, 0, 2);
    const int day = digits(line, 3, 2);
    const int hour = digits(line, 6, 2);
    const int minute = digits(line, 9, 2);
    const int second = digits(line, 12, 2);
    const int ms = digits(line, 15, doubled / 2);
    // The nearest year to the file's: a saved file is named after its lines,
    // a part file before them, and either may cross a new year.
    const int year = month - fileMonth > 6 ? fileYear - 1 : fileMonth - month > 6 ? fileYear + 1 : fileYear;
    const QDate date(year, month, day);
    const QTime time(hour, minute, second, ms);
    if (ms < 0 || !date.isValid() || !time.isValid())
        return false;
    *key = wallKey(date, time);
    if (text)
        *text = line.sliced(space + 1);
    return true;
}

QDate fileDate(qint64 key)
{
    return QDateTime::fromMSecsSinceEpoch(key, Qt::UTC).date();
}

// The latest stamp cycle's separator can carry. Stamped when the log takes
// it, it comes no earlier than the cycle's start, and before the next cycle
// begins unless cycles follow faster than the log takes lines.
// The latest stamp a line of the cycle can carry; -1 when nothing bounds it.
qint64 latestLine(const CycleLogQuery &query)
{
    if (query.untilLog.isValid())
        return wallKey(query.untilLog);
    return query.until.isValid() ? wallKey(query.until) + kLagMs : -1;
}

// A stamp the cycle's own separator comes before. A later separator may
// share its millisecond when the log took both in one go: only a count
// tells those apart.
qint64 latestSeparator(const CycleLogQuery &query)
{
    if (query.untilLog.isValid())
        return wallKey(query.untilLog);
    const qint64 start = wallKey(query.start);
    if (!query.until.isValid())
        return start + kLagMs;
    const qint64 until = wallKey(query.until);
    return until - start < kLagMs ? until + kLagMs : until;
}

bool isSeparator(QByteArrayView line, int year, int month)
{
    qint64 key = 0;
    QByteArrayView text;
    return lineStamp(line, year, month, &key, &text) && text == QByteArrayView("=================================");
}

QString readable(const QByteArray &bytes, qint64 length)
{
    QString text = QString::fromLocal8Bit(bytes);
    if (length > bytes.size())
        text += QStringLiteral(" ... (%1 bytes more)").arg(length - bytes.size());
    return text;
}

// "yyyy-MM-dd-hh-mm-ss" at from in name.
bool nameStamp(const QString &name, int from, qint64 *key)
{
    if (name.size() < from + 19)
        return false;
    const QByteArray s = name.mid(from, 19).toLatin1();
    for (int i : {4, 7, 10, 13, 16})
        if (s.at(i) != '-')
            return false;
    const QDate date(digits(s, 0, 4), digits(s, 5, 2), digits(s, 8, 2));
    const QTime time(digits(s, 11, 2), digits(s, 14, 2), digits(s, 17, 2));
    if (!date.isValid() || !time.isValid())
        return false;
    *key = wallKey(date, time);
    return true;
}

} // namespace

void CycleLogQuery::anchorOn(const CycleLogQuery &earlier)
{
    if (earlier.hasPosition()) {
        anchorCycle = earlier.cycle;
        anchorAt = earlier.logAt;
        anchorLine = earlier.logLine;
    } else if (earlier.anchorLine >= 0) {
        anchorCycle = earlier.anchorCycle;
        anchorAt = earlier.anchorAt;
        anchorLine = earlier.anchorLine;
    }
}

bool CycleLogQuery::boundBy(const CycleLogQuery &later)
{
    if (!until.isValid())
        until = later.start;
    if (!untilLog.isValid() && later.hasPosition()) {
        untilLog = later.logAt;
        untilLogLine = later.logLine;
        untilLogCycle = later.cycle;
    }
    return untilLog.isValid();
}

QString CycleLogLocator::logDirFor(const QString &recordsPath)
{
    return QDir::cleanPath(QFileInfo(recordsPath).absolutePath() + QStringLiteral("/../log"));
}

CycleLogQuery CycleLogLocator::queryFor(const QJsonObject &cycleLine)
{
    CycleLogQuery q;
    if (cycleLine.value(QStringLiteral("record")).toString() != QLatin1String("cycle"))
        return q;
    // A number no run could reach stays 0: converting it would be undefined.
    const double number = cycleLine.value(QStringLiteral("cycle")).toDouble();
    q.cycle = number > 0 && number < 1e15 ? qint64(number) : 0;
    q.start = QDateTime::fromString(cycleLine.value(QStringLiteral("start")).toString(), Qt::ISODateWithMs);
    q.failed = !cycleLine.value(QStringLiteral("pass")).toBool(true);
    q.failedLine = cycleLine.value(QStringLiteral("failedLine")).toString();
    const QDateTime at = QDateTime::fromString(cycleLine.value(QStringLiteral("logAt")).toString(), Qt::ISODateWithMs);
    const double line = cycleLine.value(QStringLiteral("logLine")).toDouble(-1);
    if (at.isValid() && line >= 0 && line < 1e15) {
        q.logAt = at;
        q.logLine = qint64(line);
    }
    return q;
}

bool CycleLogLocator::queryFromRecords(const QString &recordsPath, qint64 cycle, CycleLogQuery *query,
                                       QString *problem, int run)
{
    const auto fail = [problem](const QString &why) {
        if (problem)
            *problem = why;
        return false;
    };
    QFile file(recordsPath);
    if (!file.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("%1 cannot be read: %2").arg(recordsPath, file.errorString()));
    int runs = 0;
    bool found = false;
    CycleLogQuery earlier;
    QByteArray bytes;
    qint64 length = 0;
    while (nextLine(file, &bytes, &length, kMaxRecordBytes + 1)) {
        if (length > kMaxRecordBytes)
            continue;
        const QJsonObject line = QJsonDocument::fromJson(bytes).object();
        const QString kind = line.value(QStringLiteral("record")).toString();
        if (kind == QLatin1String("run")) {
            if (found)
                break;
            ++runs;
            earlier = CycleLogQuery();
            continue;
        }
        // Lines before the first run line belong to it.
        if (std::max(runs, 1) - 1 != run)
            continue;
        if (kind == QLatin1String("end")) {
            if (found && !query->until.isValid())
                query->until = QDateTime::fromString(line.value(QStringLiteral("end")).toString(), Qt::ISODateWithMs);
            if (found)
                break;
            continue;
        }
        if (kind != QLatin1String("cycle"))
            continue;
        CycleLogQuery q = queryFor(line);
        if (found) {
            if (query->boundBy(q))
                break;
            continue;
        }
        if (q.cycle == cycle) {
            q.anchorOn(earlier);
            *query = q;
            found = true;
            continue;
        }
        if (q.cycle < cycle) {
            q.anchorOn(earlier);
            earlier = q;
        }
    }
    if (!found)
        return fail(QStringLiteral("%1 has no cycle %2").arg(QFileInfo(recordsPath).fileName()).arg(cycle));
    return true;
}

QVector<CycleLogLocator::LogFile> CycleLogLocator::listFiles() const
{
    QVector<LogFile> saved;
    QVector<LogFile> parts;
    const QStringList names =
        QDir(m_logDir).entryList({QStringLiteral("*.log"), QStringLiteral(".*.part")}, QDir::Files | QDir::Hidden);
    for (const QString &name : names) {
        LogFile f;
        f.name = name;
        if (name.endsWith(QLatin1String(".part"))) {
            // ".<stamp>.<pid>.part": a runner's lines since its last save,
            // left by a run that never saved them.
            if (!nameStamp(name, 1, &f.key))
                continue;
            f.part = true;
            parts.append(f);
            continue;
        }
        if (!nameStamp(name, 0, &f.key))
            continue;
        const QString rest = name.mid(19, name.size() - 19 - 4);
        if (!rest.isEmpty()) {
            bool ok = false;
            f.sibling = rest.startsWith(QLatin1Char('-')) ? rest.mid(1).toInt(&ok) : 0;
            if (!ok)
                continue;
        }
        saved.append(f);
    }
    const auto order = [](const LogFile &a, const LogFile &b) {
        return a.key != b.key ? a.key < b.key : a.sibling < b.sibling;
    };
    std::sort(saved.begin(), saved.end(), order);
    std::sort(parts.begin(), parts.end(), order);
    // A part file holds the newest lines of its run: after every saved file.
    return saved + parts;
}

CycleLogLocator::Spot CycleLogLocator::locate(const QVector<LogFile> &files, const QDateTime &at, qint64 line,
                                              CycleLog *log) const
{
    const qint64 key = wallKey(at);
    const QByteArray expected = (RunFiles::logStamp(at) + QLatin1Char(' ') + LogTrail::separator()).toLocal8Bit();
    int tried = 0;
    for (int i = 0; i < files.size() && tried < kCandidates; ++i) {
        const LogFile &f = files.at(i);
        // A file is named when it is saved, after its last line; a part file
        // when it is begun, before its first.
        if (f.part ? f.key > key + 1000 : f.key < floorSecond(key))
            continue;
        ++tried;
        QFile file(QDir(m_logDir).filePath(f.name));
        if (!file.open(QIODevice::ReadOnly)) {
            log->problems << QStringLiteral("log/%1 cannot be read: %2").arg(f.name, file.errorString());
            continue;
        }
        const QDate date = fileDate(f.key);
        QByteArray bytes;
        qint64 length = 0;
        // The line on record; else the first with its stamp, which a line
        // break in a logged text may have moved.
        qint64 match = -1;
        for (qint64 n = 0; nextLine(file, &bytes, &length, expected.size() + 1); ++n) {
            if (bytes == expected) {
                if (n == line)
                    return {i, n};
                if (match < 0)
                    match = n;
            }
            if (n >= line && match >= 0)
                return {i, match};
            qint64 lineKey = 0;
            if (n > line && lineStamp(bytes, date.year(), date.month(), &lineKey) && lineKey > key + kPastMs)
                break;
        }
    }
    return {};
}

CycleLogLocator::Spot CycleLogLocator::countOn(const QVector<LogFile> &files, Spot from, qint64 separators,
                                               const CycleLogQuery &query, CycleLog *log) const
{
    qint64 counted = 0;
    qint64 skip = from.line + 1; // past the anchor's own separator
    for (int i = from.file; i >= 0;) {
        QFile file(QDir(m_logDir).filePath(files.at(i).name));
        if (!file.open(QIODevice::ReadOnly)) {
            log->problems << QStringLiteral("log/%1 cannot be read: %2").arg(files.at(i).name, file.errorString());
            return {};
        }
        const QDate date = fileDate(files.at(i).key);
        QByteArray bytes;
        qint64 length = 0;
        qint64 lastKey = 0;
        for (qint64 n = 0; nextLine(file, &bytes, &length, 64); ++n) {
            if (n < skip)
                continue;
            lineStamp(bytes, date.year(), date.month(), &lastKey);
            if (!isSeparator(bytes, date.year(), date.month()) || ++counted < separators)
                continue;
            // Counted on to a separator of another time: one on the way is
            // lost (a file gone or cut), and this is a later cycle's.
            const bool tooLate = query.untilLog.isValid() ? lastKey > latestLine(query) : lastKey >= latestSeparator(query);
            if (query.start.isValid() && (lastKey < wallKey(query.start) - 1 || tooLate))
                return {};
            return {i, n};
        }
        skip = 0;
        i = continuation(files, i, lastKey, query);
    }
    return {};
}

CycleLogLocator::Spot CycleLogLocator::countBack(const QVector<LogFile> &files, Spot from, qint64 separators,
                                                 const CycleLogQuery &query, CycleLog *log) const
{
    // A file saved before the cycle began cannot hold its separator.
    const qint64 earliest = query.start.isValid() ? floorSecond(wallKey(query.start)) : 0;
    for (int i = from.file; i >= 0; --i) {
        const LogFile &f = files.at(i);
        if (i != from.file && !f.part && f.key < earliest)
            return {};
        QFile file(QDir(m_logDir).filePath(f.name));
        if (!file.open(QIODevice::ReadOnly)) {
            log->problems << QStringLiteral("log/%1 cannot be read: %2").arg(f.name, file.errorString());
            return {};
        }
        const QDate date = fileDate(f.key);
        // The separators before the later one, the last `separators` of them.
        std::deque<std::pair<qint64, qint64>> seen; // (line, stamp)
        QByteArray bytes;
        qint64 length = 0;
        const qint64 end = i == from.file ? from.line : std::numeric_limits<qint64>::max();
        for (qint64 n = 0; n < end && nextLine(file, &bytes, &length, 64); ++n) {
            qint64 key = 0;
            if (!isSeparator(bytes, date.year(), date.month()) || !lineStamp(bytes, date.year(), date.month(), &key))
                continue;
            seen.emplace_back(n, key);
            if (qint64(seen.size()) > separators)
                seen.pop_front();
        }
        if (qint64(seen.size()) < separators) {
            separators -= qint64(seen.size());
            continue;
        }
        // Counted back past a lost separator: this one is an earlier cycle's.
        const auto [line, key] = seen.front();
        if (query.start.isValid() && key < wallKey(query.start) - 1)
            return {};
        return {i, line};
    }
    return {};
}

CycleLogLocator::Spot CycleLogLocator::locateByTime(const QVector<LogFile> &files, const CycleLogQuery &query,
                                                    CycleLog *log) const
{
    const qint64 key = wallKey(query.start);
    const qint64 latest = latestSeparator(query);
    int tried = 0;
    for (int i = 0; i < files.size() && tried < kCandidates; ++i) {
        const LogFile &f = files.at(i);
        if (f.part ? f.key > key + 1000 : f.key < floorSecond(key) - 1000)
            continue;
        ++tried;
        QFile file(QDir(m_logDir).filePath(f.name));
        if (!file.open(QIODevice::ReadOnly)) {
            log->problems << QStringLiteral("log/%1 cannot be read: %2").arg(f.name, file.errorString());
            continue;
        }
        const QDate date = fileDate(f.key);
        QByteArray bytes;
        qint64 length = 0;
        for (qint64 n = 0; nextLine(file, &bytes, &length, 64); ++n) {
            qint64 lineKey = 0;
            if (!lineStamp(bytes, date.year(), date.month(), &lineKey))
                continue;
            // The separator goes out just before the cycle's start is taken
            // and is stamped when the log takes it, a moment later.
            if (lineKey >= key - 1 && lineKey < latest && isSeparator(bytes, date.year(), date.month()))
                return {i, n};
            if (lineKey >= latest)
                break;
        }
    }
    return {};
}

CycleLogLocator::Spot CycleLogLocator::firstInside(const QVector<LogFile> &files, const CycleLogQuery &query) const
{
    const qint64 from = wallKey(query.start);
    const qint64 to = wallKey(query.until);
    for (int i = 0; i < files.size(); ++i) {
        if (!files.at(i).part && files.at(i).key < floorSecond(from))
            continue;
        QFile file(QDir(m_logDir).filePath(files.at(i).name));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QDate date = fileDate(files.at(i).key);
        QByteArray bytes;
        qint64 length = 0;
        qint64 firstKey = 0;
        for (int n = 0; n < 16 && nextLine(file, &bytes, &length, 64); ++n)
            if (lineStamp(bytes, date.year(), date.month(), &firstKey))
                break;
        if (firstKey > to)
            return {};
        if (firstKey >= from && !isSeparator(bytes, date.year(), date.month()))
            return {i, 0};
    }
    return {};
}

int CycleLogLocator::continuation(const QVector<LogFile> &files, int after, qint64 lastKey,
                                  const CycleLogQuery &query) const
{
    // Without a later cycle or an end on record nothing bounds the cycle:
    // lines of a later run must not be taken for its rest.
    const qint64 latest = latestLine(query);
    if (latest < 0)
        return -1;
    for (int i = after + 1; i < files.size() && i <= after + kCandidates; ++i) {
        QFile file(QDir(m_logDir).filePath(files.at(i).name));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QDate date = fileDate(files.at(i).key);
        QByteArray bytes;
        qint64 length = 0;
        qint64 firstKey = 0;
        for (int n = 0; n < 16 && nextLine(file, &bytes, &length, 64); ++n)
            if (lineStamp(bytes, date.year(), date.month(), &firstKey))
                break;
        if (firstKey == 0)
            continue;
        if (firstKey > latest)
            return -1;
        if (firstKey >= lastKey - 1000)
            return i;
    }
    return -1;
}

void CycleLogLocator::collect(const QVector<LogFile> &files, Spot spot, const CycleLogQuery &query,
                              CycleLog *log) const
{
    constexpr int halfLines = kMaxLines / 2;
    constexpr qint64 halfBytes = kMaxBytes / 2;
    std::deque<QString> tail;
    qint64 headBytes = 0;
    qint64 tailBytes = 0;
    qint64 lastKey = 0;
    const qint64 untilKey = query.until.isValid() ? wallKey(query.until) : -1;
    const qint64 latest = latestLine(query);
    bool ended = false; // the next cycle's separator was reached
    int i = spot.file;
    qint64 skip = spot.line;
    while (i >= 0 && !ended) {
        const LogFile &f = files.at(i);
        QFile file(QDir(m_logDir).filePath(f.name));
        if (!file.open(QIODevice::ReadOnly)) {
            log->problems << QStringLiteral("log/%1 cannot be read: %2").arg(f.name, file.errorString());
            break;
        }
        log->files << f.name;
        if (f.part)
            log->problems << QStringLiteral("log/%1 holds lines a run never saved (it was cut short)").arg(f.name);
        const QDate date = fileDate(f.key);
        QByteArray bytes;
        qint64 length = 0;
        bool first = log->lines.isEmpty() && tail.empty();
        for (qint64 n = 0; nextLine(file, &bytes, &length, kMaxLineBytes); ++n) {
            if (n < skip)
                continue;
            if (!first && isSeparator(bytes, date.year(), date.month())) {
                ended = true;
                break;
            }
            first = false;
            qint64 lineKey = 0;
            if (lineStamp(bytes, date.year(), date.month(), &lineKey)) {
                // Past the next cycle's start and its separator not seen:
                // the lines between are lost, these are a later cycle's.
                if (latest >= 0 && lineKey > latest) {
                    ended = true;
                    log->problems << QStringLiteral("the end of cycle %1 is in no log file (log/%2 goes on with a later cycle)")
                                         .arg(query.cycle)
                                         .arg(f.name);
                    break;
                }
                lastKey = lineKey;
            }
            QString text = readable(bytes, length);
            const qint64 size = text.size() * 2;
            if (log->lines.size() < halfLines && headBytes + size <= halfBytes) {
                headBytes += size;
                log->lines << text;
                continue;
            }
            tailBytes += size;
            tail.push_back(std::move(text));
            while (tail.size() > size_t(halfLines) || (tailBytes > halfBytes && tail.size() > 1)) {
                tailBytes -= tail.front().size() * 2;
                tail.pop_front();
                ++log->leftOut;
            }
        }
        skip = 0;
        if (ended)
            break;
        const int next = continuation(files, i, lastKey, query);
        // The cycle went on until the next cycle (or the run's end) began; a
        // file that stops well before that lost the rest.
        if (next < 0 && untilKey >= 0 && lastKey < untilKey - 1000)
            log->problems << QStringLiteral("log/%1 ends inside cycle %2; the rest of its lines are in no log file")
                                 .arg(f.name)
                                 .arg(query.cycle);
        i = next;
    }
    if (log->leftOut > 0)
        log->leftOutAt = int(log->lines.size());
    for (QString &text : tail)
        log->lines << std::move(text);

    // The red line: the failed line as the record has it, else the cycle's
    // last "Failed!!!" line.
    if (!query.failed && query.failedLine.isEmpty())
        return;
    const auto textOf = [](const QString &line) {
        const qsizetype space = line.indexOf(QLatin1Char(' '));
        return space < 0 ? QStringView(line) : QStringView(line).mid(space + 1);
    };
    for (int k = int(log->lines.size()) - 1; k >= 0 && !query.failedLine.isEmpty(); --k)
        if (textOf(log->lines.at(k)) == query.failedLine) {
            log->redLine = k;
            return;
        }
    for (int k = int(log->lines.size()) - 1; k >= 0; --k)
        if (textOf(log->lines.at(k)).startsWith(QLatin1String("Failed!!!"))) {
            log->redLine = k;
            return;
        }
}

CycleLog CycleLogLocator::find(const CycleLogQuery &query) const
{
    CycleLog log;
    if (!QFileInfo(m_logDir).isDir()) {
        log.problems << QStringLiteral("the log folder %1 is not there").arg(QDir::toNativeSeparators(m_logDir));
        return log;
    }
    const QVector<LogFile> files = listFiles();
    Spot spot;
    if (query.hasPosition())
        spot = locate(files, query.logAt, query.logLine, &log);
    if (spot.file < 0 && query.anchorLine >= 0 && query.anchorCycle < query.cycle) {
        const Spot anchor = locate(files, query.anchorAt, query.anchorLine, &log);
        if (anchor.file >= 0)
            spot = countOn(files, anchor, query.cycle - query.anchorCycle, query, &log);
    }
    if (spot.file < 0 && query.untilLogLine >= 0 && query.untilLogCycle > query.cycle) {
        const Spot later = locate(files, query.untilLog, query.untilLogLine, &log);
        if (later.file >= 0)
            spot = countBack(files, later, query.untilLogCycle - query.cycle, query, &log);
    }
    if (spot.file < 0 && query.start.isValid()) {
        spot = locateByTime(files, query, &log);
        log.foundByTime = spot.file >= 0;
        if (log.foundByTime && query.hasPosition())
            log.problems << QStringLiteral("cycle %1 is not where its record says; found by its start time instead")
                                .arg(query.cycle);
    }
    if (spot.file < 0 && query.start.isValid() && query.until.isValid()) {
        // Its start is lost; a file that begins inside the cycle holds the rest.
        spot = firstInside(files, query);
        if (spot.file >= 0)
            log.problems << QStringLiteral("the start of cycle %1 is in no log file (gone, renamed or never saved)")
                                .arg(query.cycle);
    }
    if (spot.file < 0) {
        log.problems << QStringLiteral("no log file under %1 holds cycle %2 (gone, renamed or never saved)")
                            .arg(QDir::toNativeSeparators(m_logDir))
                            .arg(query.cycle);
        return log;
    }
    collect(files, spot, query, &log);
    return log;
}
