#include "RecordsFile.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <functional>

#include "RecordLineReader.h"

namespace {

const QString kRecord = QStringLiteral("record");

// Extra columns an export takes from the file beyond the known ones: a
// damaged file with a new key on every line must not grow the header
// without bound.
constexpr int kMaxExtraColumns = 200;

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Reads a cycle line as the worker writes it, about ten times faster than the
// full JSON parser: one flat object of plain ASCII strings, numbers, booleans
// and nulls. Anything else (escapes, nesting, other text, a needed key twice,
// an odd number) makes it give up, and the full parser decides; so it never
// accepts a line the full parser would not, nor reads it differently.
class CycleScanner
{
public:
    CycleScanner(const char *begin, const char *end) : p(begin), e(end) {}

    bool scan(RecordsFile::Cycle *out)
    {
        ws();
        if (!eat('{'))
            return false;
        ws();
        if (p < e && *p == '}')
            return false;
        for (;;) {
            QByteArrayView key;
            if (!string(&key))
                return false;
            ws();
            if (!eat(':'))
                return false;
            ws();
            if (!value(key))
                return false;
            ws();
            if (eat(','))
            {
                ws();
                continue;
            }
            if (!eat('}'))
                return false;
            break;
        }
        ws();
        if (p != e || seen[Record] != 1 || recordIsCycle != true)
            return false;
        out->number = numberOf[Number] && integral(numbers[Number]) ? int(numbers[Number]) : 0;
        out->pass = boolOf[Pass] && bools[Pass];
        out->dialUpMs = numberOf[DialUp] ? float(numbers[DialUp]) : -1.0F;
        out->hangUpMs = numberOf[HangUp] ? float(numbers[HangUp]) : -1.0F;
        out->registerMs = numberOf[Register] ? float(numbers[Register]) : -1.0F;
        out->deregisterMs = numberOf[Deregister] ? float(numbers[Deregister]) : -1.0F;
        out->reregisterMs = numberOf[Reregister] ? float(numbers[Reregister]) : -1.0F;
        return true;
    }

private:
    enum Key { Record, Number, Pass, DialUp, HangUp, Register, Deregister, Reregister, Other, KeyCount };

    static bool integral(double v) { return v >= -2147483648.0 && v <= 2147483647.0 && std::floor(v) == v; }

    static Key keyOf(QByteArrayView k)
    {
        if (k == "record")
            return Record;
        if (k == "cycle")
            return Number;
        if (k == "pass")
            return Pass;
        if (k == "dialUpMs")
            return DialUp;
        if (k == "hangUpMs")
            return HangUp;
        if (k == "registerMs")
            return Register;
        if (k == "deregisterMs")
            return Deregister;
        if (k == "reregisterMs")
            return Reregister;
        return Other;
    }

    void ws()
    {
        while (p < e && isSpace(*p))
            ++p;
    }
    bool eat(char c)
    {
        if (p < e && *p == c) {
            ++p;
            return true;
        }
        return false;
    }
    bool word(const char *w)
    {
        const char *q = p;
        for (; *w; ++w, ++q)
            if (q >= e || *q != *w)
                return false;
        p = q;
        return true;
    }
    bool string(QByteArrayView *text)
    {
        if (!eat('"'))
            return false;
        const char *start = p;
        while (p < e && *p != '"') {
            const auto c = static_cast<unsigned char>(*p);
            if (c < 0x20 || c > 0x7e || c == '\\')
                return false;
            ++p;
        }
        if (p >= e)
            return false;
        *text = QByteArrayView(start, p - start);
        ++p;
        return true;
    }
    // The JSON number grammar, strictly; short enough to be plain.
    bool number(double *v)
    {
        const char *start = p;
        eat('-');
        if (eat('0')) {
        } else if (p < e && *p >= '1' && *p <= '9') {
            while (p < e && *p >= '0' && *p <= '9')
                ++p;
        } else {
            return false;
        }
        if (eat('.')) {
            const char *digits = p;
            while (p < e && *p >= '0' && *p <= '9')
                ++p;
            if (p == digits)
                return false;
        }
        if (p < e && (*p == 'e' || *p == 'E')) {
            ++p;
            if (!eat('+'))
                eat('-');
            const char *digits = p;
            while (p < e && *p >= '0' && *p <= '9')
                ++p;
            if (p == digits)
                return false;
        }
        if (p - start > 24)
            return false;
        const auto r = std::from_chars(start, p, *v);
        return r.ec == std::errc() && r.ptr == p && std::isfinite(*v);
    }
    bool value(QByteArrayView keyText)
    {
        const Key key = keyOf(keyText);
        if (key != Other && ++seen[key] > 1)
            return false;
        if (p >= e)
            return false;
        switch (*p) {
        case '"': {
            QByteArrayView text;
            if (!string(&text))
                return false;
            if (key == Record)
                recordIsCycle = text == "cycle";
            return true;
        }
        case 't':
        case 'f': {
            const bool b = *p == 't';
            if (!word(b ? "true" : "false"))
                return false;
            boolOf[key] = true;
            bools[key] = b;
            return key != Record;
        }
        case 'n':
            return word("null") && key != Record;
        default: {
            double v = 0;
            if (!number(&v))
                return false;
            numberOf[key] = true;
            numbers[key] = v;
            return key != Record;
        }
        }
    }

    const char *p;
    const char *e;
    int seen[KeyCount] = {};
    bool numberOf[KeyCount] = {};
    double numbers[KeyCount] = {};
    bool boolOf[KeyCount] = {};
    bool bools[KeyCount] = {};
    bool recordIsCycle = false;
};

QString csvField(const QJsonValue &value)
{
    QString text;
    switch (value.type()) {
    case QJsonValue::Bool:
        text = value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
        break;
    case QJsonValue::Double:
        text = QString::number(value.toDouble(), 'g', QLocale::FloatingPointShortest);
        break;
    case QJsonValue::String:
        text = value.toString();
        break;
    case QJsonValue::Array:
    case QJsonValue::Object:
        text = QString::fromUtf8(value.isArray() ? QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact)
                                                 : QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact));
        break;
    default:
        break;
    }
    if (text.contains(QLatin1Char(',')) || text.contains(QLatin1Char('"')) || text.contains(QLatin1Char('\n'))
        || text.contains(QLatin1Char('\r'))) {
        text.replace(QLatin1Char('"'), QStringLiteral("\"\""));
        text = QLatin1Char('"') + text + QLatin1Char('"');
    }
    return text;
}

} // namespace

RecordsFile::LineKind RecordsFile::parseLine(QByteArrayView line, Cycle *cycle, QJsonObject *object,
                                             const QString &valueName)
{
    const char *begin = line.data();
    const char *end = begin + line.size();
    while (begin < end && isSpace(*begin))
        ++begin;
    if (begin == end)
        return LineKind::Blank;
    // The quick path knows cycles only; a caller that wants the object
    // gets the full parser.
    Cycle quick;
    if (!object && CycleScanner(begin, end).scan(&quick)) {
        if (cycle)
            *cycle = quick;
        return LineKind::Cycle;
    }
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromRawData(begin, end - begin), &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return LineKind::Damaged;
    const QJsonObject o = doc.object();
    const QString kind = o.value(kRecord).toString();
    LineKind result = LineKind::Damaged;
    if (kind == QLatin1String("cycle")) {
        if (cycle) {
            cycle->number = o.value(QStringLiteral("cycle")).toInt();
            cycle->pass = o.value(QStringLiteral("pass")).toBool();
            cycle->dialUpMs = float(o.value(QStringLiteral("dialUpMs")).toDouble(-1));
            cycle->hangUpMs = float(o.value(QStringLiteral("hangUpMs")).toDouble(-1));
            const QJsonObject values = o.value(QStringLiteral("values")).toObject();
            if (!values.isEmpty()) {
                cycle->valueNames = values.keys();
                const QJsonValue v = values.value(valueName);
                if (!valueName.isEmpty() && v.isDouble() && v.toDouble() >= 0)
                    cycle->value = float(v.toDouble());
            }
            cycle->registerMs = float(o.value(QStringLiteral("registerMs")).toDouble(-1));
            cycle->deregisterMs = float(o.value(QStringLiteral("deregisterMs")).toDouble(-1));
            cycle->reregisterMs = float(o.value(QStringLiteral("reregisterMs")).toDouble(-1));
        }
        result = LineKind::Cycle;
    } else if (kind == QLatin1String("run")) {
        result = LineKind::Run;
    } else if (kind == QLatin1String("end")) {
        result = LineKind::End;
    }
    if (object && result != LineKind::Damaged)
        *object = o;
    return result;
}

void RecordsFile::clear()
{
    *this = RecordsFile();
}

bool RecordsFile::open(const QString &path, qint64 maxBytes)
{
    const QString valueName = m_valueName; // a choice of the reader, not of the file
    clear();
    m_valueName = valueName;
    m_path = path;
    if (!QFile(path).open(QIODevice::ReadOnly))
        return false;
    readMore(maxBytes);
    return true;
}

int RecordsFile::readMore(qint64 maxBytes)
{
    QFile file(m_path);
    if (m_path.isEmpty() || !file.open(QIODevice::ReadOnly) || !file.seek(m_offset))
        return 0;
    const qint64 before = m_summary.cycles();
    // A line begun within the budget is read whole; the limit only stops
    // the passing over of an oversized line, which goes on next time.
    RecordLineReader reader(&file, kMaxLineBytes, maxBytes < 0 ? -1 : maxBytes + kMaxLineBytes + 1, m_skipping);
    m_pendingTail = false;
    m_caughtUp = false;
    for (;;) {
        if (maxBytes >= 0 && reader.consumed() >= maxBytes)
            break;
        QByteArrayView line;
        const RecordLineReader::Next next = reader.next(&line);
        if (next == RecordLineReader::Next::End) {
            m_caughtUp = !reader.atLimit();
            break;
        }
        if (next == RecordLineReader::Next::Unfinished) {
            // Still being written, or cut short: read again next time.
            m_pendingTail = std::any_of(line.begin(), line.end(), [](char c) { return !isSpace(c); });
            m_caughtUp = !reader.atLimit();
            break;
        }
        if (next == RecordLineReader::Next::Oversized) {
            ++m_oversized;
            continue;
        }
        const qint64 at = m_offset + reader.lineStart();
        Cycle cycle;
        const LineKind kind = parseLine(line, &cycle, nullptr, m_valueName);
        switch (kind) {
        case LineKind::Blank:
            break;
        case LineKind::Damaged:
            ++m_damaged;
            break;
        case LineKind::Cycle: {
            m_summary.add(cycle, at);
            for (const QString &name : cycle.valueNames)
                if (m_valueNames.size() < kMaxValueNames && !m_valueNames.contains(name))
                    m_valueNames.append(name);
            cycle.valueNames.clear();
            m_last = cycle;
            // The whole line only for failures and the lines that end one:
            // the rest go by the quick scan.
            const bool positioned = hasLogPosition(line);
            if (!cycle.pass || m_failures.waitsForNext() || (positioned && m_failures.waitsForBound())) {
                QJsonObject object;
                parseLine(line, nullptr, &object);
                m_failures.nextCycle(object);
                if (!cycle.pass)
                    m_failures.addFailure(object);
            }
            if (positioned)
                m_failures.positionAt(at);
            break;
        }
        case LineKind::Run:
            // Another run begins: its cycles are numbered from 1 again and
            // must not meet the earlier run's in the chart or the list.
            if (m_runLines > 0) {
                m_summary = CycleSummary();
                m_failures = FailureList();
                m_last = Cycle();
                m_end = QJsonObject();
            }
            ++m_runLines;
            parseLine(line, nullptr, &m_run);
            break;
        case LineKind::End:
            parseLine(line, nullptr, &m_end);
            m_failures.runEnded(m_end);
            break;
        }
    }
    m_offset += reader.consumed();
    m_skipping = reader.skipping();
    return int(m_summary.cycles() - before);
}

QString RecordsFile::warning() const
{
    QStringList parts;
    if (m_pendingTail)
        parts << QObject::tr("the last line is cut short (the run did not end in order)");
    if (m_damaged > 0)
        parts << QObject::tr("%1 damaged line(s) left out").arg(m_damaged);
    if (m_oversized > 0)
        parts << QObject::tr("%1 line(s) over %2 MB skipped unread").arg(m_oversized).arg(kMaxLineBytes >> 20);
    if (earlierRuns() > 0)
        parts << QObject::tr("%1 earlier run(s) in the file left out").arg(earlierRuns());
    if (parts.isEmpty())
        return QString();
    return QObject::tr("Warning: %1; %2 complete cycles shown").arg(parts.join(QStringLiteral("; "))).arg(cycleCount());
}

QJsonObject RecordsFile::lineAt(qint64 offset) const
{
    QFile file(m_path);
    QJsonObject object;
    if (m_path.isEmpty() || !file.open(QIODevice::ReadOnly) || !file.seek(offset))
        return object;
    RecordLineReader reader(&file, kMaxLineBytes, kMaxLineBytes + 1);
    QByteArrayView line;
    if (reader.next(&line) == RecordLineReader::Next::Line)
        parseLine(line, nullptr, &object);
    return object;
}

bool RecordsFile::readStretch(qint64 from, qint64 to, CycleSummary *into) const
{
    QFile file(m_path);
    if (m_path.isEmpty() || to < from || !file.open(QIODevice::ReadOnly) || !file.seek(from))
        return false;
    RecordLineReader reader(&file, kMaxLineBytes, to - from);
    for (;;) {
        QByteArrayView line;
        const RecordLineReader::Next next = reader.next(&line);
        if (next == RecordLineReader::Next::End || next == RecordLineReader::Next::Unfinished)
            break;
        Cycle cycle;
        if (next == RecordLineReader::Next::Line && parseLine(line, &cycle, nullptr, m_valueName) == LineKind::Cycle)
            into->add(cycle, from + reader.lineStart());
    }
    return true;
}

QStringList RecordsFile::csvColumns()
{
    return {QStringLiteral("cycle"),        QStringLiteral("start"),        QStringLiteral("durationMs"),
            QStringLiteral("pass"),         QStringLiteral("failedStep"),   QStringLiteral("failedLine"),
            QStringLiteral("rasError"),     QStringLiteral("dialUpMs"),     QStringLiteral("hangUpMs"),
            QStringLiteral("pingReplies"),  QStringLiteral("pingRttMs"),    QStringLiteral("bytesSent"),
            QStringLiteral("bytesReceived"), QStringLiteral("registerMs"),  QStringLiteral("deregisterMs"),
            QStringLiteral("reregisterMs")};
}

bool RecordsFile::exportCsv(const QString &recordsPath, const QString &csvPath, QString *error)
{
    const auto fail = [error](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    QFile in(recordsPath);
    if (!in.open(QIODevice::ReadOnly))
        return fail(QObject::tr("cannot read %1").arg(recordsPath));

    // Every whole cycle line of the file, from its start, read in blocks: a
    // run of millions of cycles is streamed, never held.
    const auto eachCycle = [&in](const std::function<void(const QJsonObject &)> &use) {
        if (!in.seek(0))
            return false;
        RecordLineReader reader(&in, kMaxLineBytes);
        for (;;) {
            QByteArrayView line;
            const RecordLineReader::Next next = reader.next(&line);
            if (next == RecordLineReader::Next::End || next == RecordLineReader::Next::Unfinished)
                return true;
            QJsonObject o;
            if (next == RecordLineReader::Next::Line && parseLine(line, nullptr, &o) == LineKind::Cycle)
                use(o);
        }
    };

    // The columns: known ones first, then any the file adds.
    QStringList columns = csvColumns();
    const int known = int(columns.size());
    const bool read = eachCycle([&columns, known](const QJsonObject &o) {
        for (auto it = o.begin(); it != o.end() && columns.size() < known + kMaxExtraColumns; ++it) {
            if (it.key() != kRecord && !columns.contains(it.key()))
                columns << it.key();
        }
    });
    if (!read)
        return fail(QObject::tr("cannot read %1").arg(recordsPath));

    // Written whole or not at all: a half-written export would pass for a short run.
    QSaveFile out(csvPath);
    if (!out.open(QIODevice::WriteOnly))
        return fail(QObject::tr("cannot write %1").arg(csvPath));
    out.write(columns.join(QLatin1Char(',')).toUtf8() + "\r\n");
    QStringList row;
    row.reserve(columns.size());
    const bool again = eachCycle([&columns, &out, &row](const QJsonObject &o) {
        row.clear();
        for (const QString &c : columns)
            row << csvField(o.value(c));
        out.write(row.join(QLatin1Char(',')).toUtf8() + "\r\n");
    });
    if (!again) {
        out.cancelWriting();
        return fail(QObject::tr("cannot read %1").arg(recordsPath));
    }
    if (!out.commit())
        return fail(QObject::tr("cannot write %1").arg(csvPath));
    return true;
}
