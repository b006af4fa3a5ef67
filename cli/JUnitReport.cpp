#include "JUnitReport.h"

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

void JUnitReport::addCycle(bool pass, qint64 durationMs, const QString &message)
{
    Cycle c;
    c.number = m_cycles.size() + 1;
    c.pass = pass;
    c.durationMs = durationMs;
    c.message = message;
    m_cycles.append(c);
}

template <typename Fn>
bool JUnitReport::forEachCycle(Fn &&fn) const
{
    if (m_recordFile.isEmpty()) {
        for (const Cycle &c : m_cycles)
            fn(c);
        return true;
    }
    QFile file(m_recordFile);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    while (!file.atEnd()) {
        // A line cut short by a crash is not a cycle.
        const QJsonObject o = QJsonDocument::fromJson(file.readLine()).object();
        if (o.value(QStringLiteral("record")).toString() != QLatin1String("cycle"))
            continue;
        Cycle c;
        c.number = o.value(QStringLiteral("cycle")).toInt();
        c.pass = o.value(QStringLiteral("pass")).toBool();
        c.durationMs = qint64(o.value(QStringLiteral("durationMs")).toDouble());
        c.step = o.value(QStringLiteral("failedStep")).toString();
        c.message = o.value(QStringLiteral("failedLine")).toString();
        fn(c);
    }
    return true;
}

bool JUnitReport::write(const QString &path, const QDateTime &started) const
{
    int tests = 0;
    int failures = 0;
    qint64 totalMs = 0;
    if (!forEachCycle([&](const Cycle &c) {
            ++tests;
            failures += c.pass ? 0 : 1;
            totalMs += c.durationMs;
        }))
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
    forEachCycle([&](const Cycle &c) {
        xml.writeStartElement(QStringLiteral("testcase"));
        xml.writeAttribute(QStringLiteral("classname"), m_tag);
        xml.writeAttribute(QStringLiteral("name"), QStringLiteral("cycle %1").arg(c.number));
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
    xml.writeEndElement();
    xml.writeEndElement();
    xml.writeEndDocument();
    // Qt's commit does not see a flush the disk refused: flush first.
    return !xml.hasError() && out.flush() && out.commit();
}
