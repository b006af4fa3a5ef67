// trevalo-run's JUnit report, built from a record file that may be damaged:
// whatever the file holds, the report is well-formed XML whose counts match
// its test cases.
#include "CycleVerdicts.h"
#include "FuzzSupport.h"
#include "JUnitReport.h"

#include <QDateTime>
#include <QFile>
#include <QXmlStreamReader>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    FuzzSupport::start(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using FuzzSupport::check;
    const QString records = FuzzSupport::scratch() + QStringLiteral("/run.jsonl");
    const QString xmlPath = FuzzSupport::scratch() + QStringLiteral("/report.xml");
    {
        QFile f(records);
        const QByteArray bytes = FuzzSupport::bytes(data, size);
        check(f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size(), "scratch file written");
    }
    // The run's own verdicts: as many cycles as the input's first byte says,
    // every third one failed, so record lines and verdicts disagree in every way.
    CycleVerdicts verdicts;
    const int counted = size > 0 ? data[0] : 0;
    for (int i = 1; i <= counted; ++i) {
        if (i % 3 == 0)
            verdicts.addFailure(QStringLiteral("register"), QStringLiteral("Failed!!!cycle %1").arg(i));
        else
            verdicts.addPass();
    }
    JUnitReport report(QStringLiteral("RegisterNetTest"), verdicts);
    check(report.readRecords(records), "record file readable");
    QFile::remove(xmlPath);
    if (!report.write(xmlPath, QDateTime(QDate(2026, 12, 8), QTime(5, 36, 24), Qt::UTC)))
        return 0;

    QFile xmlFile(xmlPath);
    check(xmlFile.open(QIODevice::ReadOnly), "report readable");
    QXmlStreamReader xml(&xmlFile);
    qint64 declared = -1;
    qint64 cases = 0;
    while (!xml.atEnd()) {
        xml.readNext();
        if (!xml.isStartElement())
            continue;
        if (xml.name() == QLatin1String("testsuite"))
            declared = xml.attributes().value(QLatin1String("tests")).toLongLong();
        else if (xml.name() == QLatin1String("testcase"))
            ++cases;
    }
    check(!xml.hasError(), "the report is well-formed XML");
    check(declared == cases, "tests= counts the test cases");
    check(cases == counted, "every counted cycle is a test case");
    return 0;
}
