#include "JUnitReport.h"

#include "CycleVerdicts.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QXmlStreamWriter>

bool JUnitReport::readRecords(const QString &recordFile)
{
    QFile file(recordFile);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    m_recordFile = recordFile;
    return true;
}

template <typename Fn>
bool JUnitReport::forEachCycle(Fn &&fn, int *onRecord) const
{
    int next = 1; // the next counted cycle to report
    const auto fromVerdicts = [&](int upTo) {
        for (; next <= upTo; ++next) {
            Cycle c;
            c.number = next;
            if (const CycleVerdicts::Failure *f = m_verdicts.failureOf(next)) {
                c.pass = false;
                c.step = f->step;
                c.message = f->line;
            }
            fn(c);
        }
    };
    if (onRecord)
        *onRecord = 0;
    if (!m_recordFile.isEmpty()) {
        QFile file(m_recordFile);
        if (!file.open(QIODevice::ReadOnly))
            return false;
        while (!file.atEnd() && next <= m_verdicts.count()) {
            // A line cut short (a crash, a full disk) is not a cycle; the
            // verdicts fill the gap it leaves.
            const QByteArray raw = file.readLine();
            // Without its line feed the line was cut by a full disk or a
            // crash, even where what is there happens to parse.
            if (!raw.endsWith('\n'))
                break;
            const QJsonObject o = QJsonDocument::fromJson(raw).object();
            if (o.value(QStringLiteral("record")).toString() != QLatin1String("cycle"))
                continue;
            Cycle c;
            c.number = o.value(QStringLiteral("cycle")).toInt();
            if (c.number < next || c.number > m_verdicts.count())
                continue;
            fromVerdicts(c.number - 1);
            c.pass = o.value(QStringLiteral("pass")).toBool();
            // A figure no cycle can take (damage) counts as none; converting
            // one beyond qint64 would be undefined.
            const double ms = o.value(QStringLiteral("durationMs")).toDouble();
            c.durationMs = ms >= 0 && ms < 1e12 ? qint64(ms) : 0;
            c.step = o.value(QStringLiteral("failedStep")).toString();
            c.message = o.value(QStringLiteral("failedLine")).toString();
            fn(c);
            next = c.number + 1;
            if (onRecord)
                ++*onRecord;
        }
    }
    fromVerdicts(m_verdicts.count());
    return true;
}

bool JUnitReport::write(const QString &path, const QDateTime &started)
{
    int tests = 0;
    int failures = 0;
    qint64 totalMs = 0;
    if (!forEachCycle(
            [&](const Cycle &c) {
                ++tests;
                failures += c.pass ? 0 : 1;
                totalMs += qMax<qint64>(0, c.durationMs);
            },
            &m_onRecord))
        return false;

    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly))
        return false;
    QXmlStreamWriter xml(&out);
    xml.setAutoFormatting(true);
    xml.writeStartDocument();
    xml.writeStartElement(QStringLiteral("testsuites"));
    xml.writeAttribute(QStringLiteral("tests"), QString::number(tests));
    xml.writeAttribute(QStringLiteral("failures"), QString::number(failures));
    xml.writeStartElement(QStringLiteral("testsuite"));
    xml.writeAttribute(QStringLiteral("name"), m_tag);
    xml.writeAttribute(QStringLiteral("tests"), QString::number(tests));
    xml.writeAttribute(QStringLiteral("failures"), QString::number(failures));
    xml.writeAttribute(QStringLiteral("errors"), QStringLiteral("0"));
    xml.writeAttribute(QStringLiteral("time"), QString::number(totalMs / 1000.0, 'f', 3));
    xml.writeAttribute(QStringLiteral("timestamp"), started.toString(Qt::ISODate));
    const bool whole = forEachCycle([&](const Cycle &c) {
        xml.writeStartElement(QStringLiteral("testcase"));
        xml.writeAttribute(QStringLiteral("classname"), m_tag);
        xml.writeAttribute(QStringLiteral("name"), QStringLiteral("cycle %1").arg(c.number));
        if (c.durationMs >= 0)
            xml.writeAttribute(QStringLiteral("time"), QString::number(c.durationMs / 1000.0, 'f', 3));
        if (!c.pass) {
            const QString message = c.message.isEmpty() ? QStringLiteral("cycle failed") : c.message;
            xml.writeStartElement(QStringLiteral("failure"));
            xml.writeAttribute(QStringLiteral("message"), message);
            if (!c.step.isEmpty())
                xml.writeAttribute(QStringLiteral("type"), c.step);
            xml.writeCharacters(message);
            xml.writeEndElement();
        }
        xml.writeEndElement();
    });
    if (!whole)
        return false; // the record file went between the two readings
    if (m_onRecord < tests) {
        // The cycles are all there, but without their times and figures.
        xml.writeTextElement(QStringLiteral("system-err"),
                             m_recordFile.isEmpty()
                                 ? QStringLiteral("Records incomplete: no record file; every cycle is taken from the "
                                                  "run's own verdicts.")
                                 : QStringLiteral("Records incomplete: %1 holds %2 of %3 counted cycles; the others "
                                                  "are taken from the run's own verdicts.")
                                       .arg(m_recordFile)
                                       .arg(m_onRecord)
                                       .arg(tests));
    }
    xml.writeEndElement();
    xml.writeEndElement();
    xml.writeEndDocument();
    // Qt's commit does not see a flush the disk refused: flush first.
    return !xml.hasError() && out.flush() && out.commit();
}
