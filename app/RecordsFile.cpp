#include "RecordsFile.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>

#include <functional>

namespace {

const QString kRecord = QStringLiteral("record");

QJsonObject parse(const QByteArray &line, bool *ok)
{
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(line, &error);
    *ok = error.error == QJsonParseError::NoError && doc.isObject();
    return doc.object();
}

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

void RecordsFile::clear()
{
    *this = RecordsFile();
}

bool RecordsFile::open(const QString &path)
{
    clear();
    m_path = path;
    if (!QFile(path).open(QIODevice::ReadOnly))
        return false;
    readMore();
    return true;
}

int RecordsFile::readMore()
{
    QFile file(m_path);
    if (m_path.isEmpty() || !file.open(QIODevice::ReadOnly) || !file.seek(m_offset))
        return 0;
    const std::size_t before = m_cycles.size();
    m_pendingTail = false;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine();
        if (!line.endsWith('\n')) {
            // Still being written, or cut short: read again next time.
            m_pendingTail = !line.trimmed().isEmpty();
            break;
        }
        m_offset += line.size();
        take(line);
    }
    return int(m_cycles.size() - before);
}

void RecordsFile::take(const QByteArray &line)
{
    if (line.trimmed().isEmpty())
        return;
    bool ok = false;
    const QJsonObject o = parse(line, &ok);
    const QString kind = o.value(kRecord).toString();
    if (!ok) {
        ++m_damaged;
    } else if (kind == QLatin1String("cycle")) {
        Cycle c;
        c.number = o.value(QStringLiteral("cycle")).toInt();
        c.pass = o.value(QStringLiteral("pass")).toBool();
        c.dialUpMs = float(o.value(QStringLiteral("dialUpMs")).toDouble(-1));
        c.hangUpMs = float(o.value(QStringLiteral("hangUpMs")).toDouble(-1));
        m_passCount += c.pass ? 1 : 0;
        c.passesSoFar = m_passCount;
        m_cycles.push_back(c);
    } else if (kind == QLatin1String("run")) {
        m_run = o;
    } else if (kind == QLatin1String("end")) {
        m_end = o;
    } else {
        ++m_damaged;
    }
}

QString RecordsFile::warning() const
{
    QStringList parts;
    if (m_pendingTail)
        parts << QObject::tr("the last line is cut short (the run did not end in order)");
    if (m_damaged > 0)
        parts << QObject::tr("%1 damaged line(s) left out").arg(m_damaged);
    if (parts.isEmpty())
        return QString();
    return QObject::tr("Warning: %1; %2 complete cycles shown").arg(parts.join(QStringLiteral("; "))).arg(m_cycles.size());
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

    // Every whole cycle line of the file, from its start.
    const auto eachCycle = [&in](const std::function<void(const QJsonObject &)> &use) {
        in.seek(0);
        while (!in.atEnd()) {
            const QByteArray line = in.readLine();
            bool ok = false;
            const QJsonObject o = parse(line, &ok);
            if (ok && line.endsWith('\n') && o.value(kRecord).toString() == QLatin1String("cycle"))
                use(o);
        }
    };

    // The columns: known ones first, then any the file adds.
    QStringList columns = csvColumns();
    eachCycle([&columns](const QJsonObject &o) {
        for (auto it = o.begin(); it != o.end(); ++it) {
            if (it.key() != kRecord && !columns.contains(it.key()))
                columns << it.key();
        }
    });

    // Written whole or not at all: a half-written export would pass for a short run.
    QSaveFile out(csvPath);
    if (!out.open(QIODevice::WriteOnly))
        return fail(QObject::tr("cannot write %1").arg(csvPath));
    out.write(columns.join(QLatin1Char(',')).toUtf8() + "\r\n");
    eachCycle([&columns, &out](const QJsonObject &o) {
        QStringList row;
        row.reserve(columns.size());
        for (const QString &c : columns)
            row << csvField(o.value(c));
        out.write(row.join(QLatin1Char(',')).toUtf8() + "\r\n");
    });
    if (!out.commit())
        return fail(QObject::tr("cannot write %1").arg(csvPath));
    return true;
}
