// The trends window: what it draws from a record file (failures included),
// a file cut short by a crash or holding a line too long to be a record,
// following a run as its file grows, the CSV and PNG exports, and a long run
// kept as a bounded summary, drawn decimated, with a stretch of it read again
// in full detail. The run report it saves: its numbers against the records,
// damaged files, text from the chip that looks like markup, its bounds.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QChart>
#include <QChartView>
#include <QLineSeries>
#include <QPushButton>
#include <QScatterSeries>
#include <QTableView>
#include <QToolBar>
#include <QValueAxis>
#include <QtTest>
#include <QComboBox>

#include <cmath>
#include <random>

#include <sys/resource.h>

#include "AppTestSupport.h"
#include "CycleLogDialog.h"
#include "CycleLogLocator.h"
#include "FailureList.h"
#include "CycleRecords.h"
#include "CycleSummary.h"
#include "RecordFile.h"
#include "RecordsFile.h"
#include "ReportPage.h"
#include "ReportSaver.h"
#include "RunFiles.h"
#include "RunReport.h"
#include "RunReportWriter.h"
#include "SeriesDecimator.h"
#include "TrendsWindow.h"
#include "testMainWindow.h"
#include "testWorker.h"

namespace {

QJsonObject cycleLine(int n, bool pass, double dialMs, double hangMs)
{
    QJsonObject c{{"record", "cycle"}, {"cycle", n}, {"start", "2026-03-01T08:05:09.123+01:00"},
                  {"durationMs", 1500 + n}, {"pass", pass}};
    if (dialMs >= 0)
        c.insert("dialUpMs", dialMs);
    if (hangMs >= 0)
        c.insert("hangUpMs", hangMs);
    return c;
}

// A short PPP run: failures with and without a dial-up time, one with a
// red line that needs quoting in CSV.
RecordFile sampleRun(int cycles)
{
    RecordFile r;
    r.run = {{"record", "run"}, {"version", "1.0.5"}, {"case", "PPPCallTest"}, {"start", "2026-03-01T08:05:09.000+01:00"}};
    int pass = 0;
    for (int n = 1; n <= cycles; ++n) {
        QJsonObject c;
        if (n % 7 == 0) { // the dial failed: no times, a RAS error
            c = cycleLine(n, false, -1, -1);
            c.insert("failedStep", "dialUpPpp");
            c.insert("failedLine", "Failed!!!PPP Dial up failed!");
            c.insert("rasError", 678);
        } else if (n % 11 == 0) { // dialled, then ping failed
            c = cycleLine(n, false, 1000 + 10 * n, 40);
            c.insert("failedStep", "pingHost");
            c.insert("failedLine", "Failed!!!ping error, \"host\" said: 0 received");
            c.insert("pingReplies", 0);
        } else {
            c = cycleLine(n, true, 1000 + 10 * n, 30 + n % 5);
            c.insert("pingReplies", 4);
            c.insert("pingRttMs", 0.045);
            ++pass;
        }
        r.cycles.append(c);
    }
    r.end = {{"record", "end"}, {"cycles", cycles}, {"pass", pass}, {"fail", cycles - pass},
             {"fpy", RunFiles::fpy(pass, cycles - pass)}, {"reason", "Stop"}};
    return r;
}

QList<QPointF> points(QXYSeries *s)
{
    return s->points();
}

// Minimal CSV reader: quoted fields with doubled quotes, CRLF rows.
QList<QStringList> readCsv(const QString &path)
{
    QList<QStringList> rows;
    const QString text = QString::fromUtf8(AppFolder::read(path));
    QStringList row;
    QString field;
    bool quoted = false;
    for (int i = 0; i < text.size(); ++i) {
        const QChar ch = text.at(i);
        if (quoted) {
            if (ch == '"' && i + 1 < text.size() && text.at(i + 1) == '"') {
                field += '"';
                ++i;
            } else if (ch == '"') {
                quoted = false;
            } else {
                field += ch;
            }
        } else if (ch == '"') {
            quoted = true;
        } else if (ch == ',') {
            row << field;
            field.clear();
        } else if (ch == '\r') {
        } else if (ch == '\n') {
            row << field;
            rows << row;
            row.clear();
            field.clear();
        } else {
            field += ch;
        }
    }
    return rows;
}

// Highest resident memory of this process so far, in MB.
long peakResidentMb()
{
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}

QByteArray compact(const QJsonObject &o)
{
    return QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n';
}

// A run whose view was saved and cleared every `bound` lines, as the window
// does at its bound, so cycles straddle files and several files share a
// second ("-2" siblings). Each cycle's record says where its separator went,
// except every fifth (the log had not taken it when the cycle was counted),
// or none does (records older than the field).
struct SpreadRun
{
    RecordFile records;
    QVector<QStringList> lines; // each cycle's lines as its log files hold them
    QStringList files;          // the log files, in the order written
};

// lagMs: how far the log runs behind the worker, as when the window is busy.
SpreadRun spreadRun(int cycles, int bound, bool positions, const QDate &day = QDate(2026, 3, 1), int lagMs = 0)
{
    SpreadRun r;
    const QDateTime t0(day, QTime(8, 5, 9, 120));
    r.records.run = {{"record", "run"}, {"case", "PPPCallTest"}, {"start", CycleRecords::isoStamp(t0)}};
    QStringList view;
    const auto save = [&](const QDateTime &when) {
        const QString path = RunFiles::saveLog(".", view.join('\n').toLocal8Bit(), when);
        r.files << path;
        view.clear();
    };
    int pass = 0;
    for (int n = 1; n <= cycles; ++n) {
        const bool fail = n % 7 == 0;
        QStringList texts{"=================================", "Dial up PPP..."};
        if (n % 13 == 0)
            texts << "ping said:\nReply from 127.0.0.1\nReply from 127.0.0.1"; // three lines in the file
        texts << (fail ? "Failed!!!PPP Dial up failed!" : "Dial up success!") << "Hang up PPP...";
        const QDateTime sepAt = t0.addMSecs(qint64(n) * 2000);
        QJsonObject c{{"record", "cycle"}, {"cycle", n}, {"start", CycleRecords::isoStamp(sepAt)},
                      {"durationMs", 600}, {"pass", !fail}};
        if (fail) {
            c.insert("failedStep", "dialUpPpp");
            c.insert("failedLine", "Failed!!!PPP Dial up failed!");
        }
        // A late log has not taken the first cycles' separators either when
        // they are counted: only later cycles can lead to them.
        if (positions && n % 5 != 0 && (lagMs == 0 || n > 2))
        {
            c.insert("logAt", CycleRecords::isoStamp(sepAt.addMSecs(lagMs)));
            c.insert("logLine", view.size());
        }
        QStringList mine;
        for (int k = 0; k < texts.size(); ++k) {
            const QDateTime at = sepAt.addMSecs(lagMs + 300 * k);
            const QStringList fileLines = (RunFiles::logStamp(at) + ' ' + texts.at(k)).split('\n');
            mine << fileLines;
            view << fileLines;
            if (view.size() >= bound)
                save(at.addMSecs(10));
        }
        r.lines << mine;
        r.records.cycles << c;
        pass += fail ? 0 : 1;
    }
    const QDateTime end = t0.addMSecs(qint64(cycles) * 2000 + 1500);
    if (!view.isEmpty())
        save(end.addMSecs(lagMs));
    r.records.end = {{"record", "end"}, {"cycles", cycles}, {"pass", pass}, {"fail", cycles - pass},
                     {"end", CycleRecords::isoStamp(end)}, {"reason", "Stop"}};
    return r;
}

CycleLog cycleLog(int cycle)
{
    CycleLogQuery q;
    QString problem;
    if (!CycleLogLocator::queryFromRecords("records/run.jsonl", cycle, &q, &problem))
        qWarning() << problem;
    return CycleLogLocator(CycleLogLocator::logDirFor("records/run.jsonl")).find(q);
}

} // namespace

class tst_AppTrends : public QObject
{
    Q_OBJECT

private slots:
    void init() { qunsetenv("TREVALO_BENCH"); }

    void seriesHoldTheRecords();
    void capturedValuesAreOffered();
    void fileCutShortByACrash();
    void followsTheRunningFile();
    void csvExportMatchesRecords();
    void pngExport();
    void oversizedLinesArePassedOver();
    void quickCycleReadingAgreesWithJson();
    void decimationBoundsDrawingNotData();
    void summaryStaysBoundedAndKeepsExtremes();
    void longRunDrawnWhole();
    void trendsActionOpensTheWindow();
    void reportHoldsTheRecords();
    void reportSaysWhatIsMissing_data();
    void reportSaysWhatIsMissing();
    void reportEscapesWhatTheChipSaid();
    void reportStaysBounded();
    void reportSavedAwayFromTheWindow();
    void cycleLogAcrossManyFiles_data();
    void cycleLogAcrossManyFiles();
    void cycleLogWithFilesGoneCutOrJunk();
    void failuresListOpensTheCycleLog();
};

void tst_AppTrends::capturedValuesAreOffered()
{
    // A custom test's records: rssi in every cycle but a failed one, a text
    // value beside it; the names come from the cycles, not the run line.
    AppFolder folder;
    RecordFile run = sampleRun(12);
    QList<QPointF> rssi;
    for (QJsonObject &c : run.cycles) {
        const int n = c["cycle"].toInt();
        if (c["pass"].toBool()) {
            c.insert("values", QJsonObject{{"rssi", 10 + n % 7}, {"operator", "LAB"}});
            rssi << QPointF(n, 10 + n % 7);
        }
    }
    QVERIFY(run.write("values.jsonl"));
    QVERIFY(sampleRun(3).write("plain.jsonl"));

    TrendsWindow t;
    t.resize(900, 500);
    t.show();
    QVERIFY(t.openRecords("values.jsonl"));
    t.redrawNow();
    QStringList offered;
    for (int i = 1; i < t.valueBox()->count(); ++i)
        offered << t.valueBox()->itemText(i);
    offered.sort();
    QCOMPARE(offered, (QStringList{"operator", "rssi"}));
    QVERIFY(points(t.valueSeries()).isEmpty());
    t.valueBox()->setCurrentIndex(t.valueBox()->findText("rssi"));
    t.redrawNow();
    QCOMPARE(points(t.valueSeries()), rssi);
    QVERIFY(t.valueSeries()->isVisible());
    // Dial-up times are drawn as before, beside it.
    const int dialled = int(std::count_if(run.cycles.begin(), run.cycles.end(),
                                          [](const QJsonObject &c) { return c.contains("dialUpMs"); }));
    QCOMPARE(points(t.dialUpSeries()).size(), dialled);
    // A text value has no points.
    t.valueBox()->setCurrentIndex(t.valueBox()->findText("operator"));
    t.redrawNow();
    QVERIFY(points(t.valueSeries()).isEmpty());

    // Another run's file offers only its own values.
    QVERIFY(t.openRecords("plain.jsonl"));
    t.redrawNow();
    QCOMPARE(t.valueBox()->count(), 1);
    QVERIFY(!t.valueSeries()->isVisible());
}

void tst_AppTrends::seriesHoldTheRecords()
{
    AppFolder folder;
    const RecordFile run = sampleRun(40);
    QVERIFY(run.write("records.jsonl"));

    TrendsWindow t;
    t.resize(900, 500);
    t.show();
    QVERIFY(t.openRecords("records.jsonl"));
    QVERIFY(!t.following());
    t.redrawNow();

    QList<QPointF> dial, hang, failed;
    int pass = 0;
    for (const QJsonObject &c : run.cycles) {
        const double x = c["cycle"].toInt();
        if (c.contains("dialUpMs"))
            dial << QPointF(x, c["dialUpMs"].toDouble() / 1000.0);
        if (c.contains("hangUpMs"))
            hang << QPointF(x, c["hangUpMs"].toDouble() / 1000.0);
        if (!c["pass"].toBool())
            failed << QPointF(x, c["dialUpMs"].toDouble(0) / 1000.0);
        pass += c["pass"].toBool() ? 1 : 0;
    }
    QVERIFY(failed.size() >= 6);
    QCOMPARE(points(t.dialUpSeries()), dial);
    QCOMPARE(points(t.hangUpSeries()), hang);
    QCOMPARE(points(t.failedSeries()), failed);
    // Running FPY, truncated as the window's label: ends at the run's figure.
    const QList<QPointF> fpy = points(t.fpySeries());
    QCOMPARE(fpy.size(), 40);
    QCOMPARE(fpy.first(), QPointF(1, 100));
    QCOMPARE(fpy.at(6), QPointF(7, 85)); // 6 of 7
    QCOMPARE(fpy.last().y(), double(run.end["fpy"].toInt()));
    QCOMPARE(t.records().passCount(), pass);
    QVERIFY2(t.infoText().contains(QStringLiteral("40 cycles, %1 passed").arg(pass)), qPrintable(t.infoText()));
    QVERIFY(t.infoText().contains("ended by Stop"));
    QCOMPARE(t.warningText(), QString());

    // A file that is not there: nothing drawn, and said so.
    QVERIFY(!t.openRecords("records/none.jsonl"));
    QVERIFY(points(t.dialUpSeries()).isEmpty());
    QVERIFY(t.warningText().contains("none.jsonl"));
}

void tst_AppTrends::fileCutShortByACrash()
{
    AppFolder folder;
    RecordFile run = sampleRun(12);
    run.end = QJsonObject();
    QVERIFY(run.write("crashed.jsonl"));
    // The crash cut the line of cycle 13 halfway.
    QFile file("crashed.jsonl");
    QVERIFY(file.open(QIODevice::Append));
    const QByteArray next = QJsonDocument(cycleLine(13, true, 1234, 40)).toJson(QJsonDocument::Compact);
    file.write(next.left(next.size() / 2));
    file.close();

    TrendsWindow t;
    QVERIFY(t.openRecords("crashed.jsonl"));
    t.redrawNow();
    QCOMPARE(int(t.records().cycleCount()), 12);
    QCOMPARE(t.records().lastCycle().number, 12);
    QVERIFY(t.records().unfinishedLastLine());
    QVERIFY2(t.warningText().contains("cut short"), qPrintable(t.warningText()));
    QVERIFY(t.warningText().contains("12 complete cycles"));
    QCOMPARE(points(t.fpySeries()).size(), 12);
    QVERIFY(!t.infoText().contains("ended by"));

    // A damaged line inside the file is left out and counted.
    QByteArray bytes = AppFolder::read("crashed.jsonl");
    const int third = bytes.indexOf("\n", bytes.indexOf("\"cycle\":3,"));
    bytes.insert(third + 1, "{\"record\":\"cyc\x01garbage\n");
    QFile damaged("damaged.jsonl");
    QVERIFY(damaged.open(QIODevice::WriteOnly));
    damaged.write(bytes + "\n");
    damaged.close();
    QVERIFY(t.openRecords("damaged.jsonl"));
    QCOMPARE(int(t.records().cycleCount()), 12);
    QCOMPARE(t.records().damagedLines(), 2); // the garbage and the cut line, now ended
    QVERIFY(t.warningText().contains("2 damaged line(s)"));
}

void tst_AppTrends::followsTheRunningFile()
{
    AppFolder folder;
    QDir().mkdir("records");
    RecordFile run = sampleRun(3);
    const QJsonObject end = run.end;
    run.end = QJsonObject();
    QVERIFY(run.write("records/live.jsonl"));
    QVERIFY(sampleRun(5).write("records/old.jsonl"));

    testWorker worker; // its signals, as a run emits them
    TrendsWindow t;
    t.follow(&worker);
    QVERIFY(t.following());
    emit worker.sngRecordFile("records/live.jsonl");
    QCOMPARE(int(t.records().cycleCount()), 3);

    // A cycle's line is on file before its verdict arrives. While the
    // window is hidden nothing more is read; shown, it catches up.
    QFile file("records/live.jsonl");
    QVERIFY(file.open(QIODevice::Append));
    file.write(QJsonDocument(cycleLine(4, false, 2000, 50)).toJson(QJsonDocument::Compact) + '\n');
    file.flush();
    emit worker.sngUpdateRadio(false);
    QCOMPARE(int(t.records().cycleCount()), 3);
    t.show();
    QCOMPARE(int(t.records().cycleCount()), 4);
    QVERIFY(!t.records().lastCycle().pass);
    t.redrawNow();
    QVERIFY(points(t.failedSeries()).contains(QPointF(4, 2.0)));
    QVERIFY(t.infoText().contains("running"));
    // The live run's failure is listed as it comes.
    QCOMPARE(t.failureView()->model()->rowCount(), 1);
    QCOMPARE(t.failureView()->model()->index(0, 0).data().toInt(), 4);

    // An earlier run opened meanwhile is not disturbed by the live one.
    QVERIFY(t.openRecords("records/old.jsonl"));
    file.write(QJsonDocument(cycleLine(5, true, 2100, 50)).toJson(QJsonDocument::Compact) + '\n');
    file.write(QJsonDocument(end).toJson(QJsonDocument::Compact) + '\n');
    file.close();
    emit worker.sngUpdateRadio(true);
    QCOMPARE(t.records().path(), QStringLiteral("records/old.jsonl"));
    QCOMPARE(int(t.records().cycleCount()), 5);

    // Following again picks the live run up with all it has written.
    t.findChild<QCheckBox *>()->setChecked(true);
    QCOMPARE(t.records().path(), QStringLiteral("records/live.jsonl"));
    QCOMPARE(int(t.records().cycleCount()), 5);
    QVERIFY(!t.records().end().isEmpty());
    QCOMPARE(t.failureView()->model()->rowCount(), 1);
    QCOMPARE(t.records().failures().failures().front().query.until,
             QDateTime::fromString(cycleLine(5, true, 0, 0)["start"].toString(), Qt::ISODateWithMs));
}

void tst_AppTrends::csvExportMatchesRecords()
{
    AppFolder folder;
    RecordFile run = sampleRun(30);
    // A field the export does not know yet still gets its column.
    run.cycles[2].insert("registerMs", 812);
    run.cycles[4].insert("extraFigure", 5);
    QVERIFY(run.write("run.jsonl"));

    TrendsWindow t;
    QVERIFY(t.openRecords("run.jsonl"));
    QVERIFY(t.exportCsv("run.csv"));

    const RecordFile back("run.jsonl");
    const QList<QStringList> rows = readCsv("run.csv");
    QCOMPARE(rows.size(), back.cycles.size() + 1);
    const QStringList header = rows.first();
    QCOMPARE(header.mid(0, RecordsFile::csvColumns().size()), RecordsFile::csvColumns());
    QCOMPARE(header.last(), QStringLiteral("extraFigure"));
    for (int i = 0; i < back.cycles.size(); ++i) {
        const QJsonObject &c = back.cycles[i];
        const QStringList &row = rows.at(i + 1);
        QCOMPARE(row.size(), header.size());
        for (int k = 0; k < header.size(); ++k) {
            const QJsonValue v = c.value(header[k]);
            QString expected;
            if (v.isBool())
                expected = v.toBool() ? "true" : "false";
            else if (v.isDouble())
                expected = QString::number(v.toDouble(), 'g', QLocale::FloatingPointShortest);
            else
                expected = v.toString();
            QVERIFY2(row[k] == expected, qPrintable(QString("cycle %1 %2: %3 vs %4").arg(i + 1).arg(header[k], row[k], expected)));
        }
        // Every field of the record has a column.
        for (auto it = c.begin(); it != c.end(); ++it)
            QVERIFY(it.key() == "record" || header.contains(it.key()));
    }
    QCOMPARE(rows.at(1).at(0), QStringLiteral("1"));
    QCOMPARE(rows.at(3).at(header.indexOf("registerMs")), QStringLiteral("812"));

    // An export that cannot be written says so and leaves no file.
    QVERIFY(!t.exportCsv("no/such/folder/run.csv"));
    QVERIFY(t.warningText().contains("CSV export failed"));
}

void tst_AppTrends::pngExport()
{
    AppFolder folder;
    QVERIFY(sampleRun(25).write("run.jsonl"));
    TrendsWindow t;
    t.resize(800, 500);
    t.show();
    QVERIFY(t.openRecords("run.jsonl"));
    QVERIFY(t.savePng("chart.png"));
    const QImage image("chart.png");
    QVERIFY(!image.isNull());
    QVERIFY(image.width() >= 400);
    // The failed cycles are drawn in red somewhere on it.
    bool red = false;
    for (int y = 0; y < image.height() && !red; ++y)
        for (int x = 0; x < image.width() && !red; ++x) {
            const QColor c = image.pixelColor(x, y);
            red = c.red() > 200 && c.green() < 60 && c.blue() < 60;
        }
    QVERIFY(red);
    QVERIFY(!t.savePng("no/such/folder/chart.png"));
}

void tst_AppTrends::oversizedLinesArePassedOver()
{
    // Hundreds of megabytes with no line feed (zeros left by a crash, a
    // garbled copy) are passed over in pieces, never held whole, and said so;
    // when the line ends at last, what follows is read.
    AppFolder folder;
    constexpr qint64 huge = qint64(200) << 20;
    {
        QFile file("big.jsonl");
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(compact({{"record", "run"}, {"case", "PPPCallTest"}}));
        file.write(compact(cycleLine(1, true, 1000, 40)));
        QVERIFY(file.resize(file.size() + huge)); // sparse: no disk taken
    }
    const long peakBefore = peakResidentMb();

    testWorker worker;
    TrendsWindow t;
    t.follow(&worker);
    t.show();
    emit worker.sngRecordFile("big.jsonl");
    QTRY_VERIFY_WITH_TIMEOUT(t.records().caughtUp(), 30000);
    QCOMPARE(t.records().cycleCount(), 1);
    QCOMPARE(t.records().oversizedLines(), 1);
    QVERIFY2(t.warningText().contains("1 line(s) over 1 MB skipped unread"), qPrintable(t.warningText()));
    QVERIFY(t.warningText().contains("1 complete cycles"));

    QFile file("big.jsonl");
    QVERIFY(file.open(QIODevice::Append));
    file.write("\n" + compact(cycleLine(2, false, 2000, 40)) + compact(cycleLine(3, true, 1100, 40)));
    file.close();
    emit worker.sngUpdateRadio(true);
    QTRY_VERIFY_WITH_TIMEOUT(t.records().caughtUp(), 30000);
    QCOMPARE(t.records().cycleCount(), 3);
    QCOMPARE(t.records().lastCycle().number, 3);
    QCOMPARE(t.records().oversizedLines(), 1);
    t.redrawNow();
    QCOMPARE(points(t.failedSeries()), QList<QPointF>{QPointF(2, 2.0)});

    // The export streams past it as well.
    QVERIFY(t.exportCsv("big.csv"));
    const QList<QStringList> rows = readCsv("big.csv");
    QCOMPARE(rows.size(), 4);
    QCOMPARE(rows.at(3).at(0), QStringLiteral("3"));
    QVERIFY2(peakResidentMb() - peakBefore < 100,
             qPrintable(QString("peak %1 MB, was %2 MB").arg(peakResidentMb()).arg(peakBefore)));
}

void tst_AppTrends::quickCycleReadingAgreesWithJson()
{
    // Cycle lines are read by a quick scanner that leaves anything unusual
    // to the JSON parser: both must agree on every line, sound or not.
    const QList<QByteArray> lines = {
        R"({"record":"cycle","cycle":7,"pass":true,"dialUpMs":1234.5,"hangUpMs":40})",
        R"( { "cycle" : 8 ,"pass": false , "record":"cycle" }  )",
        R"({"record":"cycle","cycle":9,"pass":true,"failedLine":"Failed!!!\"quoted\" \u00e9"})",
        R"({"record":"cycle","cycle":1.5,"pass":1,"dialUpMs":"12","hangUpMs":null})",
        R"({"record":"cycle","cycle":3000000000,"dialUpMs":-0,"hangUpMs":1e3})",
        R"({"record":"cycle","cycle":-6.25e-1,"dialUpMs":1E+2,"hangUpMs":0.000001})",
        R"({"record":"cycle","cycle":4,"cycle":5,"pass":true})",
        R"({"record":"cycle","cycle":6,"pass":true}x)",
        R"({"record":"cycle","cycle":6,"pass":tru})",
        R"({"record":"cycle","cycle":06})",
        R"({"record":"cycle","cycle":6,})",
        R"({"record":"cycle","cycle":6.})",
        R"({"record":"cycle","cycle":1e400})",
        R"({"record":"cycle","limits":{"a":[1,2]},"cycle":6})",
        R"({"record":"cycl","cycle":6})",
        R"({"record":7,"cycle":6})",
        "{\"record\":\"cycle\",\"cycle\":6,\"failedLine\":\"tab\there\"}",
        "{\"record\":\"cycle\",\"cycle\":6,\"failedLine\":\"caf\xc3\xa9\"}",
        "{\"record\":\"cycle\",\"cycle\":6,\"failedLine\":\"bad \xff\"}",
        R"({"record":"cycle","cycle":2,"pass":true,"registerMs":344,"deregisterMs":50,"reregisterMs":"190"})",
        R"({"record":"cycle","cycle":2,"registerMs":344,"registerMs":345})",
        R"({"record":"run","case":"PPPCallTest"})",
        R"({"record":"cycle","cycle":6)",
        "", "  \r", "[1,2]", "{}", "null",
    };
    for (const QByteArray &line : lines) {
        RecordsFile::Cycle quick, full;
        QJsonObject object;
        const RecordsFile::LineKind kind = RecordsFile::parseLine(line, &quick);
        QCOMPARE(int(kind), int(RecordsFile::parseLine(line, &full, &object)));
        if (kind != RecordsFile::LineKind::Cycle)
            continue;
        QVERIFY2(quick.number == full.number && quick.pass == full.pass, line.constData());
        QVERIFY2(quick.dialUpMs == full.dialUpMs && quick.hangUpMs == full.hangUpMs, line.constData());
        QVERIFY2(quick.registerMs == full.registerMs && quick.deregisterMs == full.deregisterMs
                     && quick.reregisterMs == full.reregisterMs,
                 line.constData());
    }
    RecordsFile::Cycle c;
    QCOMPARE(int(RecordsFile::parseLine(lines.first(), &c)), int(RecordsFile::LineKind::Cycle));
    QVERIFY(c.number == 7 && c.pass && c.dialUpMs == 1234.5F && c.hangUpMs == 40.0F);
    QCOMPARE(int(RecordsFile::parseLine(lines.at(7), &c)), int(RecordsFile::LineKind::Damaged));
}

void tst_AppTrends::decimationBoundsDrawingNotData()
{
    // A million points into 500 buckets: at most two per bucket, the
    // extremes kept, and every point when there are few.
    const int n = 1000000;
    const auto x = [](int i) { return double(i); };
    const auto y = [](int i) { return i == 765432 ? 1e6 : (i == 123456 ? -5.0 : std::sin(i * 0.001)); };
    const QList<QPointF> drawn = SeriesDecimator::minMax(0, n, 500, x, y);
    QVERIFY(drawn.size() <= 1002);
    QCOMPARE(drawn.first(), QPointF(0, y(0)));
    QCOMPARE(drawn.last(), QPointF(n - 1, y(n - 1)));
    QVERIFY(drawn.size() >= 500);
    QVERIFY(drawn.contains(QPointF(765432, 1e6)));
    QVERIFY(drawn.contains(QPointF(123456, -5.0)));
    for (int i = 1; i < drawn.size(); ++i)
        QVERIFY(drawn[i - 1].x() < drawn[i].x());

    const QList<QPointF> few = SeriesDecimator::minMax(10, 1010, 500, x, y);
    QCOMPARE(few.size(), 1000);
    for (int i = 0; i < few.size(); ++i)
        QCOMPARE(few[i], QPointF(10 + i, y(10 + i)));

    // Gaps (no figure) are no points; a lone mark is never lost.
    const auto lone = [](int i) { return i == 4242 ? 1.0 : std::nan(""); };
    QCOMPARE(SeriesDecimator::minMax(0, n, 500, x, lone), QList<QPointF>{QPointF(4242, 1.0)});
    QCOMPARE(SeriesDecimator::firstPerBucket(0, n, 500, x, lone), QList<QPointF>{QPointF(4242, 1.0)});
    QVERIFY(SeriesDecimator::firstPerBucket(0, n, 500, x, y).size() <= 500);
}

void tst_AppTrends::summaryStaysBoundedAndKeepsExtremes()
{
    // Eight buckets at most: a thousand cycles end in buckets of 128, each
    // holding exactly its cycles' extremes, failures and counts.
    std::mt19937 random(17);
    std::vector<RecordsFile::Cycle> all;
    CycleSummary summary(8);
    for (int n = 1; n <= 1000; ++n) {
        RecordsFile::Cycle c;
        c.number = n;
        c.pass = random() % 13 != 0;
        c.dialUpMs = random() % 5 == 0 ? -1 : float(random() % 10000);
        c.hangUpMs = float(random() % 100);
        all.push_back(c);
        summary.add(c, 100 * n);
        QVERIFY(summary.buckets().size() <= 8);
    }
    QCOMPARE(summary.bucketSize(), 128);
    QCOMPARE(summary.cycles(), qint64(1000));

    qint64 passes = 0;
    int previousLast = 0;
    for (const CycleSummary::Bucket &b : summary.buckets()) {
        QCOMPARE(b.first, previousLast + 1);
        previousLast = b.last;
        QCOMPARE(b.count, b.last - b.first + 1);
        QCOMPARE(b.offset, qint64(100) * b.first);
        CycleSummary::Extremes dial, fpy;
        int failed = 0;
        int firstFail = 0;
        for (int n = b.first; n <= b.last; ++n) {
            const RecordsFile::Cycle &c = all[std::size_t(n - 1)];
            passes += c.pass ? 1 : 0;
            if (c.dialUpMs >= 0 && (dial.empty || c.dialUpMs < dial.low))
                dial.low = c.dialUpMs, dial.lowAt = n;
            if (c.dialUpMs >= 0 && (dial.empty || c.dialUpMs > dial.high))
                dial.high = c.dialUpMs, dial.highAt = n;
            dial.empty = dial.empty && c.dialUpMs < 0;
            const float f = float(RunFiles::fpy(passes, n - passes));
            if (fpy.empty || f < fpy.low)
                fpy.low = f, fpy.lowAt = n;
            if (fpy.empty || f > fpy.high)
                fpy.high = f, fpy.highAt = n;
            fpy.empty = false;
            if (!c.pass && failed++ == 0)
                firstFail = n;
        }
        QVERIFY(!dial.empty);
        QCOMPARE(QList<float>({b.dialUpMs.low, b.dialUpMs.high}), QList<float>({dial.low, dial.high}));
        QCOMPARE(QList<int>({b.dialUpMs.lowAt, b.dialUpMs.highAt}), QList<int>({dial.lowAt, dial.highAt}));
        QCOMPARE(QList<float>({b.fpy.low, b.fpy.high}), QList<float>({fpy.low, fpy.high}));
        QCOMPARE(QList<int>({b.fpy.lowAt, b.fpy.highAt}), QList<int>({fpy.lowAt, fpy.highAt}));
        QCOMPARE(b.failed, failed);
        QCOMPARE(b.firstFailAt, firstFail);
        QCOMPARE(b.firstFailDialUpMs, all[std::size_t(firstFail - 1)].dialUpMs);
        QCOMPARE(b.cyclesAtEnd, qint64(b.last));
        QCOMPARE(b.passesAtEnd, passes);
    }
    QCOMPARE(previousLast, 1000);
    QCOMPARE(summary.passes(), passes);

    // The buckets holding cycles 300 to 400, and the counts before them.
    QCOMPARE(summary.bucketsBetween(300, 400), std::make_pair(2, 4));
    QCOMPARE(summary.countsBefore(2).first, qint64(256));
    QCOMPARE(summary.countsBefore(0), std::make_pair(qint64(0), qint64(0)));
}

void tst_AppTrends::longRunDrawnWhole()
{
    AppFolder folder;
    const int n = 100000;
    {
        QFile file("long.jsonl");
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("{\"record\":\"run\",\"case\":\"PPPCallTest\"}\n");
        for (int i = 1; i <= n; ++i) {
            const bool pass = i != 42001 && i != 42002;
            const double dial = i == 73457 ? 9999 : 1000 + i % 300;
            file.write(QJsonDocument(cycleLine(i, pass, dial, 40 + i % 7)).toJson(QJsonDocument::Compact) + '\n');
        }
    }
    TrendsWindow t;
    t.resize(1000, 500);
    t.show();
    QVERIFY(t.openRecords("long.jsonl"));
    t.redrawNow();

    QCOMPARE(int(t.records().cycleCount()), n);
    QCOMPARE(t.records().passCount(), n - 2);
    const int bound = 2 * t.bucketCount() + 2;
    QVERIFY2(bound < 4000, qPrintable(QString::number(bound)));
    for (QXYSeries *s : {static_cast<QXYSeries *>(t.dialUpSeries()), static_cast<QXYSeries *>(t.hangUpSeries()),
                         static_cast<QXYSeries *>(t.fpySeries()), static_cast<QXYSeries *>(t.failedSeries())})
        QVERIFY2(s->count() <= bound, qPrintable(QString("%1: %2").arg(s->name()).arg(s->count())));
    QVERIFY(points(t.dialUpSeries()).contains(QPointF(73457, 9.999)));
    QVERIFY(points(t.failedSeries()).size() >= 1);
    QCOMPARE(points(t.failedSeries()).first().x(), 42001.0);
    QCOMPARE(points(t.fpySeries()).last(), QPointF(n, 99));

    // Kept as a bounded summary: the cycles in pairs.
    QVERIFY(t.records().summary().buckets().size() <= std::size_t(CycleSummary::kDefaultCap));
    QCOMPARE(t.records().summary().bucketSize(), 2);

    // A stretch of a hundred cycles is read again and drawn in full: every
    // cycle, both failures, the FPY going on from the cycles before it.
    auto *axis = qobject_cast<QValueAxis *>(t.findChild<QChartView *>()->chart()->axes(Qt::Horizontal).value(0));
    QVERIFY(axis);
    axis->setRange(41950, 42050);
    t.redrawNow();
    const QList<QPointF> dial = points(t.dialUpSeries());
    QCOMPARE(dial.size(), 101);
    for (int i = 0; i < dial.size(); ++i)
        QCOMPARE(dial[i], QPointF(41950 + i, (1000 + (41950 + i) % 300) / 1000.0));
    QCOMPARE(points(t.failedSeries()),
             (QList<QPointF>{QPointF(42001, (1000 + 42001 % 300) / 1000.0), QPointF(42002, (1000 + 42002 % 300) / 1000.0)}));
    const QList<QPointF> fpy = points(t.fpySeries());
    QCOMPARE(fpy.size(), 101);
    QCOMPARE(fpy.first(), QPointF(41950, 100));
    QCOMPARE(fpy.at(52), QPointF(42002, RunFiles::fpy(42000, 2)));

    // Whole run again.
    for (QPushButton *b : t.findChildren<QPushButton *>())
        if (b->text() == QStringLiteral("Whole run"))
            b->click();
    QVERIFY(t.dialUpSeries()->count() <= bound);
    QVERIFY(points(t.dialUpSeries()).contains(QPointF(73457, 9.999)));
}

void tst_AppTrends::trendsActionOpensTheWindow()
{
    AppFolder folder;
    testMainWindow w;
    auto *trends = w.findChild<TrendsWindow *>();
    QVERIFY(trends);
    QVERIFY(!trends->isVisible());
    QAction *action = w.findChild<QToolBar *>()->actions().at(1);
    QCOMPARE(action->text(), QStringLiteral("Trends"));
    action->trigger();
    QVERIFY(trends->isVisible());
    QVERIFY(trends->isWindow());
    QVERIFY(trends->following());
    // Nothing to report before the first run's records.
    auto *report = w.findChild<QAction *>(QStringLiteral("saveReportAction"));
    QVERIFY(report && !report->isEnabled());
    QVERIFY(!w.saveReport(QStringLiteral("r.html")));
    QVERIFY(!QFile::exists(QStringLiteral("r.html")));
    QVERIFY(!trends->saveReport(QStringLiteral("r.html")));
    QVERIFY(trends->warningText().contains(QStringLiteral("Report not written")));
}

namespace {

// "1.234 s" for ms, as the report shows a time.
QString reportSeconds(double ms)
{
    return QString::number(ms / 1000.0, 'f', 3) + QStringLiteral(" s");
}

// The nearest-rank percentile of values.
double nearestRank(QList<double> values, double p)
{
    std::sort(values.begin(), values.end());
    const int rank = std::max(1, int(std::ceil(p / 100.0 * values.size() - 1e-9)));
    return values.at(rank - 1);
}

// A register network run whose figures spread, failing in the registration
// at three hours of the day.
RecordFile registrationRun(int cycles)
{
    RecordFile r;
    r.run = {{"record", "run"}, {"version", "1.0.5"}, {"case", "RegisterNetTest"}, {"bench", "bench3"},
             {"port", "/dev/ttyUSB2"}, {"board", "ABCDE"}, {"start", "2026-03-01T07:59:00.000+05:30"},
             {"pingHost", "127.0.0.1"}, {"limits", QJsonObject{{"registerMs", 30000}, {"cycles", cycles}}}};
    std::mt19937 random(7);
    int pass = 0;
    for (int n = 1; n <= cycles; ++n) {
        QJsonObject c{{"record", "cycle"}, {"cycle", n},
                      {"start", QStringLiteral("2026-03-01T%1:%2:00.000+05:30").arg(8 + n % 3, 2, 10, QChar('0')).arg(n % 60, 2, 10, QChar('0'))},
                      {"durationMs", 2000}};
        c.insert("registerMs", double(200 + random() % 3000));
        if (n % 9 == 0) {
            c.insert("pass", false);
            c.insert("failedStep", n % 18 == 0 ? "deregister" : "reregister");
            c.insert("failedLine", QStringLiteral("Failed!!!no +CREG in cycle %1").arg(n));
        } else {
            c.insert("pass", true);
            c.insert("deregisterMs", double(40 + random() % 100));
            c.insert("reregisterMs", double(150 + random() % 70000)); // past a minute now and then
            ++pass;
        }
        r.cycles.append(c);
    }
    r.end = {{"record", "end"}, {"cycles", cycles}, {"pass", pass}, {"fail", cycles - pass},
             {"fpy", RunFiles::fpy(pass, cycles - pass)}, {"end", "2026-03-01T10:00:00.000+05:30"},
             {"durationMs", 7261000}, {"reason", "cycle limit"}};
    return r;
}

} // namespace

void tst_AppTrends::reportHoldsTheRecords()
{
    AppFolder folder;
    for (const RecordFile &run : {sampleRun(120), registrationRun(300)}) {
        QVERIFY(run.write(QStringLiteral("run.jsonl")));
        // Saved by the trends window's button as by the runner.
        TrendsWindow t;
        QVERIFY(t.openRecords(QStringLiteral("run.jsonl")));
        QVERIFY(t.saveReport(QStringLiteral("run.html")));
        QCOMPARE(ReportPage::xmllintComplaints(QStringLiteral("run.html")), QString());
        const ReportPage page(QStringLiteral("run.html"));
        QVERIFY2(page.parseError.isEmpty(), qPrintable(page.parseError));
        // No log files beside these records: that alone is missing.
        QVERIFY2(page.problems.size() == 1 && page.says({"log lines", "not found"}), qPrintable(page.problems.join('\n')));
        QCOMPARE(page.elements.value(QStringLiteral("script")), 0);

        qint64 pass = 0;
        double dialSeconds = 0;
        int dials = 0;
        QHash<QString, QList<double>> figures;
        QHash<QString, int> steps;
        QHash<QString, int> hours;
        QList<QJsonObject> failed;
        for (const QJsonObject &c : run.cycles) {
            pass += c.value("pass").toBool() ? 1 : 0;
            if (c.contains("dialUpMs")) {
                dialSeconds += c.value("dialUpMs").toInt() / 1000.0;
                ++dials;
            }
            for (const char *key : {"dialUpMs", "hangUpMs", "registerMs", "deregisterMs", "reregisterMs"})
                if (c.contains(key))
                    figures[key] << c.value(key).toDouble();
            if (!c.value("pass").toBool()) {
                failed << c;
                ++steps[c.value("failedStep").toString()];
                ++hours[c.value("start").toString().mid(11, 2)];
            }
        }
        const qint64 fail = run.cycles.size() - pass;
        const QStringList counts = RunFiles::countLines(pass, fail);
        QCOMPARE(page.text("count-total"), counts.at(0));
        QCOMPARE(page.text("count-pass"), counts.at(1));
        QCOMPARE(page.text("count-fail"), counts.at(2));
        QCOMPARE(page.text("count-fpy"), counts.at(3));
        QCOMPARE(page.text("avg-dial-up"),
                 QStringLiteral("Avg Dial-up Time: ") + (dials > 0 ? QString::number(dialSeconds / dials, 'g', 6) + "s" : "-"));
        QCOMPARE(page.text("fact-case").contains(run.run.value("case").toString()), true);
        QCOMPARE(page.text("fact-start"), run.run.value("start").toString());
        QCOMPARE(page.text("fact-reason"), run.end.value("reason").toString());

        for (auto it = figures.cbegin(); it != figures.cend(); ++it) {
            const QString key = it.key();
            QCOMPARE(page.text(key + "-count"), QString::number(it.value().size()));
            // Exact to the ms up to a minute; past it counted to a tenth of a percent.
            for (const auto &[id, p] : {std::pair<const char *, double>{"-median", 50}, {"-p95", 95}, {"-p99", 99}}) {
                const double expected = nearestRank(it.value(), p);
                const double shown = page.text(key + id).section(' ', 0, 0).toDouble() * 1000;
                QVERIFY2(std::abs(shown - expected) <= (expected < 65536 ? 0.5 : expected / 1000 + 1),
                         qPrintable(key + id + ": " + page.text(key + id) + " for " + QString::number(expected)));
            }
            QCOMPARE(page.text(key + "-max"), reportSeconds(*std::max_element(it.value().begin(), it.value().end())));
        }
        QVERIFY(!page.byId.contains("dialUpMs-count") || figures.contains("dialUpMs"));

        const QList<QStringList> stepRows = page.tables.value("steps").mid(1);
        QCOMPARE(stepRows.size(), steps.size());
        for (const QStringList &row : stepRows)
            QCOMPARE(row.at(1).toInt(), steps.value(row.at(0)));
        for (int h = 0; h < 24; ++h) {
            const QString hour = QStringLiteral("%1").arg(h, 2, 10, QChar('0'));
            QCOMPARE(page.text("hour-" + hour).toInt(), hours.value(hour));
        }
        const QList<QStringList> failedRows = page.tables.value("failed").mid(1);
        QCOMPARE(failedRows.size(), failed.size());
        for (int i = 0; i < failed.size(); ++i) {
            QCOMPARE(failedRows.at(i).at(0).toInt(), failed.at(i).value("cycle").toInt());
            QCOMPARE(failedRows.at(i).at(4), failed.at(i).value("failedLine").toString());
        }
    }
    // The facts and settings of the run line; a run of 2:01:01.
    const ReportPage page(QStringLiteral("run.html"));
    QCOMPARE(page.text("fact-bench"), QStringLiteral("bench3"));
    QCOMPARE(page.text("fact-board"), QStringLiteral("ABCDE"));
    QCOMPARE(page.text("fact-length"), QStringLiteral("2:01:01"));
    QVERIFY(page.tables.value("settings").contains(QStringList{"limits.registerMs", "30000"}));
    QVERIFY(page.tables.value("settings").contains(QStringList{"pingHost", "127.0.0.1"}));
}

void tst_AppTrends::reportSaysWhatIsMissing_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QStringList>("said");
    QTest::addColumn<int>("cycles"); // on the report
    QTest::addColumn<int>("failedRows");

    const RecordFile run = sampleRun(30); // failures at 7, 11, 14, 21, 22, 28
    QByteArray head = compact(run.run);
    QByteArray body;
    for (const QJsonObject &c : run.cycles)
        body += compact(c);
    const QByteArray end = compact(run.end);
    const QByteArray last = compact(run.cycles.last());

    QTest::newRow("cut by a crash") << head + body.left(body.size() - last.size() / 2)
                                    << QStringList{"No end line"} << 29 << 6;
    QTest::newRow("last line cut") << head + body.left(body.size() - 5) << QStringList{"cut short"} << 29 << 6;
    QTest::newRow("lines not JSON") << head + "garbage\n" + body + "{\"level\":\"info\",\"msg\":\"x\"}\n\x01\x02\xff\n" + end
                                    << QStringList{"3 line(s)", "no record"} << 30 << 6;
    const int between = body.indexOf('\n', body.size() / 2) + 1;
    QTest::newRow("huge line") << head + body.left(between) + QByteArray(3 << 20, 'x') + "\n" + body.mid(between) + end
                               << QStringList{"1 line(s) over 1 MB"} << 30 << 6;
    QTest::newRow("huge tail without a line feed") << head + body + QByteArray(3 << 20, '{')
                                                   << QStringList{"over 1 MB"} << 30 << 6;
    RecordFile other = sampleRun(5);
    other.run.insert("case", "RegisterNetTest");
    other.run.insert("start", "2026-03-02T01:00:00.000+01:00");
    QByteArray second = compact(other.run);
    for (const QJsonObject &c : other.cycles)
        second += compact(c);
    // The last run, as the trends window shows the file.
    QTest::newRow("two runs in one file") << head + body + end + second
                                          << QStringList{"1 earlier run(s) in its first 32 line(s)"} << 5 << 0;
    QTest::newRow("two runs, the first cut") << head + body.left(body.size() - last.size()) + second
                                             << QStringList{"1 earlier run(s) in its first 30 line(s)"} << 5 << 0;
    QTest::newRow("three runs") << second + head + body + end + second
                                << QStringList{"2 earlier run(s) in its first 38 line(s)"} << 5 << 0;
    QTest::newRow("records of another program") << QByteArray("{\"ts\":1,\"cycle\":\"a\"}\n{\"ts\":2}\nplain text\n")
                                                << QStringList{"no record file"} << 0 << 0;
    QTest::newRow("empty file") << QByteArray() << QStringList{"no record file"} << 0 << 0;
    QTest::newRow("no run line") << body + end << QStringList{"No run line"} << 30 << 6;
    QByteArray shuffled = head;
    for (int n : {1, 2, 5, 3, 6})
        shuffled += compact(run.cycles.at(n - 1));
    QTest::newRow("numbers out of order") << shuffled << QStringList{"2 cycle(s) are missing", "cycle 3"} << 4 << 0;
    QTest::newRow("out of order said") << shuffled << QStringList{"1 line(s) out of order"} << 4 << 0;
    QTest::newRow("totals disagree") << head + body.left(body.size() - last.size()) + end
                                     << QStringList{"end line counts 30 cycles", "29 cycles"} << 29 << 6;
}

void tst_AppTrends::reportSaysWhatIsMissing()
{
    QFETCH(QByteArray, file);
    QFETCH(QStringList, said);
    QFETCH(int, cycles);
    QFETCH(int, failedRows);
    AppFolder folder;
    QFile out(QStringLiteral("run.jsonl"));
    QVERIFY(out.open(QIODevice::WriteOnly) && out.write(file) == file.size());
    out.close();
    RunReport report;
    QVERIFY(report.read(QStringLiteral("run.jsonl")));
    QCOMPARE(report.cycles(), qint64(cycles));
    QVERIFY(RunReportWriter::write(report, QStringLiteral("run.html")));
    QCOMPARE(ReportPage::xmllintComplaints(QStringLiteral("run.html")), QString());
    const ReportPage page(QStringLiteral("run.html"));
    QVERIFY2(page.says(said), qPrintable(page.problems.join('\n')));
    QCOMPARE(page.text("count-total"), QStringLiteral("Total: %1").arg(cycles));
    QCOMPARE(page.tables.value("failed").size(), failedRows > 0 ? failedRows + 1 : 0);
    if (QByteArray(QTest::currentDataTag()).contains("runs"))
        QVERIFY(page.text("fact-case").contains(QStringLiteral("RegisterNetTest")));
}

void tst_AppTrends::reportEscapesWhatTheChipSaid()
{
    AppFolder folder;
    RecordFile run = sampleRun(3);
    // A reply of the chip, logged in red, that a browser would take for markup.
    const QString hostile = QStringLiteral("Failed!!!<script>alert(1)</script><b>x</b> & \"q\" 'a' ]]> \x1b[31m\x01 ") + QChar(0xd800)
                            + QStringLiteral(" \u00e9\U0001F600");
    run.cycles[2].insert("pass", false);
    run.cycles[2].insert("failedStep", "<img src=x onerror=alert(1)>");
    run.cycles[2].insert("failedLine", hostile);
    run.run.insert("port", "</td><td>COM3");
    run.run.insert("echoHost", "h\"><svg onload=alert(1)>");
    run.end = QJsonObject();
    QVERIFY(run.write(QStringLiteral("run.jsonl")));
    RunReport report;
    // Log lines are the chip's words too.
    report.setExcerptSource([&hostile](const QJsonObject &, const QJsonObject &) {
        RunReport::Excerpt e;
        e.lines = {QStringLiteral("========"), hostile, QStringLiteral("<!-- -->")};
        e.redLine = 1;
        return e;
    });
    QVERIFY(report.read(QStringLiteral("run.jsonl")));
    QVERIFY(RunReportWriter::write(report, QStringLiteral("run.html")));
    QCOMPARE(ReportPage::xmllintComplaints(QStringLiteral("run.html")), QString());
    const ReportPage page(QStringLiteral("run.html"));
    QVERIFY2(page.parseError.isEmpty(), qPrintable(page.parseError));
    for (const char *element : {"script", "b", "img"})
        QCOMPARE(page.elements.value(QLatin1String(element)), 0);
    QCOMPARE(page.elements.value(QStringLiteral("svg")), 2); // the charts' own
    const QStringList row = page.tables.value("failed").at(1);
    QCOMPARE(row.at(2), QStringLiteral("<img src=x onerror=alert(1)>"));
    // Shown as written; control characters as their symbols, a broken character replaced.
    QString shown = hostile;
    shown.replace(QChar(0x1b), QChar(0x241b)).replace(QChar(0x01), QChar(0x2401)).replace(QChar(0xd800), QChar(0xfffd));
    QCOMPARE(row.at(4), shown);
    QCOMPARE(page.text("fact-port"), QStringLiteral("</td><td>COM3"));
    QVERIFY(page.tables.value("settings").contains(QStringList{"echoHost", "h\"><svg onload=alert(1)>"}));
    QVERIFY(AppFolder::read(QStringLiteral("run.html")).contains("<span class=\"red\">Failed!!!&lt;script&gt;"));
}

void tst_AppTrends::reportStaysBounded()
{
    // A long run with many failures: the columns, the listed failures and
    // the excerpts looked up stay at their caps; the counts stay whole.
    AppFolder folder;
    const int cycles = 2 * RunReport::kMaxListedFailures + 5000;
    QFile out(QStringLiteral("run.jsonl"));
    QVERIFY(out.open(QIODevice::WriteOnly));
    out.write(compact(sampleRun(1).run));
    for (int n = 1; n <= cycles; ++n) {
        const bool pass = n % 2 == 0;
        out.write(QStringLiteral("{\"record\":\"cycle\",\"cycle\":%1,\"pass\":%2,\"dialUpMs\":%3,\"start\":\"2026-03-01T%4:00:00.000+00:00\"%5}\n")
                      .arg(n)
                      .arg(pass ? "true" : "false")
                      .arg(n % 1000)
                      .arg(n % 24, 2, 10, QChar('0'))
                      .arg(pass ? "" : ",\"failedStep\":\"dialUpPpp\",\"failedLine\":\"Failed!!!dial\"")
                      .toLatin1());
    }
    out.close();
    int lookedUp = 0;
    RunReport report;
    report.setExcerptSource([&lookedUp](const QJsonObject &, const QJsonObject &) {
        ++lookedUp;
        return RunReport::Excerpt();
    });
    QVERIFY(report.read(QStringLiteral("run.jsonl")));
    QCOMPARE(report.cycles(), qint64(cycles));
    QCOMPARE(report.failures(), qint64(cycles - cycles / 2));
    QCOMPARE(lookedUp, RunReport::kMaxExcerpts);
    QCOMPARE(int(report.failedCycles().size()), RunReport::kMaxListedFailures);
    QCOMPARE(report.failuresNotListed(), report.failures() - RunReport::kMaxListedFailures);
    QVERIFY(report.columns().size() <= std::size_t(RunReport::kColumns));
    QVERIFY(report.columns().size() > std::size_t(RunReport::kColumns / 2));
    QCOMPARE(report.columns().front().first, 1);
    QCOMPARE(report.columns().back().last, cycles);
    qint64 failedInColumns = 0;
    for (const RunReport::Column &c : report.columns()) {
        failedInColumns += c.failed;
        QVERIFY(c.high[RunReport::DialUp] <= 999 && c.low[RunReport::DialUp] >= 0);
    }
    QCOMPARE(failedInColumns, report.failures());
    QCOMPARE(report.histogram(RunReport::DialUp).max(), 999.0);
    qint64 byHour = 0;
    for (const qint64 n : report.failuresByHour())
        byHour += n;
    QCOMPARE(byHour, report.failures());
    QVERIFY(report.problems().join(' ').contains(QStringLiteral("Only the first 10000 failed cycles")));
    QVERIFY(RunReportWriter::write(report, QStringLiteral("run.html")));
    const ReportPage page(QStringLiteral("run.html"));
    QCOMPARE(page.tables.value("failed").size(), RunReport::kMaxListedFailures + 1);
    QVERIFY(page.text("not-listed").startsWith(QString::number(report.failuresNotListed())));
}

void tst_AppTrends::cycleLogAcrossManyFiles_data()
{
    QTest::addColumn<bool>("positions");
    QTest::addColumn<int>("lagMs");
    QTest::newRow("records with log positions") << true << 0;
    QTest::newRow("older records, found by time") << false << 0;
    // Lines stamped well after the next cycles began, as when the window
    // took them late: positions and counting still find every cycle whole.
    QTest::newRow("log far behind the worker") << true << 5000;
}

void tst_AppTrends::cycleLogAcrossManyFiles()
{
    QFETCH(bool, positions);
    QFETCH(int, lagMs);
    AppFolder folder;
    const SpreadRun run = spreadRun(120, 3, positions, QDate(2026, 3, 1), lagMs);
    QVERIFY(QDir().mkdir("records"));
    QVERIFY(run.records.write("records/run.jsonl"));
    QVERIFY(run.files.size() > 150);
    QVERIFY(std::any_of(run.files.begin(), run.files.end(), [](const QString &f) { return f.endsWith("-2.log"); }));

    // Only a later cycle with a position bounds a late log; the run's last
    // cycles have none, and their lines came more than 2 s after its end.
    const int bounded = lagMs > 0 ? 118 : 120;
    int straddling = 0;
    for (int n = 1; n <= bounded; ++n) {
        const CycleLog log = cycleLog(n);
        QVERIFY2(log.problems.isEmpty(), qPrintable(QString::number(n) + ": " + log.problems.join("; ")));
        QCOMPARE(log.lines, run.lines.at(n - 1));
        QCOMPARE(log.foundByTime, !positions);
        QCOMPARE(log.leftOut, 0);
        straddling += log.files.size() > 1 ? 1 : 0;
        if (n % 7 == 0)
            QCOMPARE(log.lines.value(log.redLine).section(' ', 1), QString("Failed!!!PPP Dial up failed!"));
        else
            QCOMPARE(log.redLine, -1);
    }
    QVERIFY(straddling > 100);

    // The trends window's failure list and the report find the same lines:
    // each red line, in whichever file.
    TrendsWindow t;
    QVERIFY(t.openRecords("records/run.jsonl"));
    for (const FailureList::Failure &f : t.records().failures().failures()) {
        if (f.query.cycle > bounded)
            continue;
        CycleLogQuery q = f.query;
        if (!q.hasPosition() && f.anchorOffset >= 0)
            q.anchorOn(CycleLogLocator::queryFor(t.records().lineAt(f.anchorOffset)));
        const CycleLog log = CycleLogLocator("log").find(q);
        QVERIFY2(log.problems.isEmpty(), qPrintable(log.problems.join("; ")));
        QCOMPARE(log.lines, run.lines.at(q.cycle - 1));
    }
    RunReport report;
    QVERIFY(report.read("records/run.jsonl"));
    QCOMPARE(report.failedCycles().size(), size_t(120 / 7));
    for (const RunReport::Failure &f : report.failedCycles()) {
        if (f.cycle > bounded)
            continue;
        QVERIFY2(f.excerpt.missing.isEmpty(), qPrintable(f.excerpt.missing));
        QCOMPARE(f.excerpt.lines, run.lines.at(f.cycle - 1));
        QCOMPARE(f.excerpt.lines.value(f.excerpt.redLine).section(' ', 1), QString("Failed!!!PPP Dial up failed!"));
    }

    // A cycle of more lines than the excerpt keeps: its first and last
    // halves, the count of those between, the red line among the kept.
    QStringList view{RunFiles::logStamp(QDateTime(QDate(2026, 3, 2), QTime(9, 0, 0, 5))) + " ================================="};
    for (int k = 0; k < 5000; ++k)
        view << RunFiles::logStamp(QDateTime(QDate(2026, 3, 2), QTime(9, 0, 1, k % 1000))) + " Received 2000 bytes";
    view << RunFiles::logStamp(QDateTime(QDate(2026, 3, 2), QTime(9, 0, 2))) + " Failed!!!Received data error!";
    QVERIFY(!RunFiles::saveLog(".", view.join('\n').toLocal8Bit(), QDateTime(QDate(2026, 3, 2), QTime(9, 0, 3))).isEmpty());
    CycleLogQuery big;
    big.cycle = 1;
    big.logAt = QDateTime(QDate(2026, 3, 2), QTime(9, 0, 0, 5));
    big.logLine = 0;
    big.failed = true;
    const CycleLog log = CycleLogLocator("log").find(big);
    QCOMPARE(log.lines.size(), CycleLogLocator::kMaxLines);
    QCOMPARE(log.leftOut, 5002 - CycleLogLocator::kMaxLines);
    QCOMPARE(log.leftOutAt, CycleLogLocator::kMaxLines / 2);
    QCOMPARE(log.lines.first(), view.first());
    QCOMPARE(log.redLine, CycleLogLocator::kMaxLines - 1);

    // A runner's unsaved part file, begun in one year, holding a cycle of
    // the next: found by time from an older record.
    const QDateTime eve(QDate(2027, 1, 1), QTime(0, 0, 0, 200));
    const QStringList yearEnd{RunFiles::logStamp(eve) + " =================================",
                              RunFiles::logStamp(eve.addMSecs(600)) + " Dial up PPP..."};
    QFile part("log/.2026-12-31-23-59-58.4242.part");
    QVERIFY(part.open(QIODevice::WriteOnly));
    QVERIFY(part.write(yearEnd.join('\n').toLocal8Bit()) > 0);
    part.close();
    CycleLogQuery newYear;
    newYear.cycle = 1;
    newYear.start = eve;
    newYear.until = eve.addMSecs(2000);
    const CycleLog inPart = CycleLogLocator("log").find(newYear);
    QCOMPARE(inPart.lines, yearEnd);
    QVERIFY(inPart.foundByTime);
}

void tst_AppTrends::cycleLogWithFilesGoneCutOrJunk()
{
    AppFolder folder;
    const SpreadRun run = spreadRun(60, 7, true);
    QVERIFY(QDir().mkdir("records"));
    QVERIFY(run.records.write("records/run.jsonl"));
    // The file that holds cycle n's separator, and the one after it.
    const auto fileOf = [&run](int n) {
        for (const QString &f : run.files)
            if (AppFolder::read(f).contains(run.lines.at(n - 1).first().toLocal8Bit()))
                return f;
        return QString();
    };

    // Gone: a file holding one cycle whole and the start of the next. The
    // first is said to be in no file; the second is shown from the next
    // file on, with a word on its start.
    const auto holds = [&run](const QString &file, int n, bool last) {
        return AppFolder::read(file).contains((last ? run.lines.at(n - 1).last() : run.lines.at(n - 1).first()).toLocal8Bit());
    };
    int whole = 20;
    while (!(holds(fileOf(whole), whole, true) && fileOf(whole + 1) == fileOf(whole) && !holds(fileOf(whole), whole + 1, true)))
        ++whole;
    QVERIFY(whole < 50);
    const int straddler = whole + 1;
    const QString gone = fileOf(whole);
    QVERIFY(QFile::remove(gone));
    CycleLog log = cycleLog(whole);
    QVERIFY(log.lines.isEmpty());
    QVERIFY(log.problems.join(' ').contains("no log file"));
    log = cycleLog(straddler);
    QVERIFY2(log.problems.join(' ').contains("start of cycle"), qPrintable(log.problems.join("; ")));
    QVERIFY(!log.lines.isEmpty() && log.lines.size() < run.lines.at(straddler - 1).size());
    QCOMPARE(log.lines, run.lines.at(straddler - 1).mid(run.lines.at(straddler - 1).size() - log.lines.size()));
    // The cycles around it are untouched.
    QCOMPARE(cycleLog(whole - 3).lines, run.lines.at(whole - 4));
    QCOMPARE(cycleLog(straddler + 3).lines, run.lines.at(straddler + 2));

    // Cut short in the middle of a cycle: its first lines and those the
    // next file goes on with; cut in the run's last cycle, a word on the rest.
    const auto cutAfterSecondLine = [&run](const QString &file, int n) {
        QByteArray text = AppFolder::read(file);
        const QByteArray separator = run.lines.at(n - 1).first().toLocal8Bit();
        text.truncate(text.indexOf(separator) + separator.size() + 20);
        QFile f(file);
        return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(text) == text.size();
    };
    int cutCycle = 40;
    while (fileOf(cutCycle) == fileOf(cutCycle + 1) || holds(fileOf(cutCycle), cutCycle, true)
           || !AppFolder::read(fileOf(cutCycle)).contains(run.lines.at(cutCycle - 1).at(1).toLocal8Bit()))
        ++cutCycle;
    const QString cut = fileOf(cutCycle);
    QVERIFY(cutAfterSecondLine(cut, cutCycle));
    log = cycleLog(cutCycle);
    const QStringList whole40 = run.lines.at(cutCycle - 1);
    QVERIFY(log.lines.size() > 2);
    QCOMPARE(log.lines.first(), whole40.first());
    QVERIFY(whole40.at(1).startsWith(log.lines.at(1)) && log.lines.at(1) != whole40.at(1));
    QCOMPARE(log.lines.mid(2), whole40.mid(whole40.size() - (log.lines.size() - 2)));
    QCOMPARE(cycleLog(cutCycle + 1).lines, run.lines.at(cutCycle));
    QVERIFY(cutAfterSecondLine(run.files.last(), 60));
    log = cycleLog(60);
    QCOMPARE(log.lines.size(), 2);
    QVERIFY2(log.problems.join(' ').contains("ends inside cycle 60"), qPrintable(log.problems.join("; ")));

    // Junk among the log files and in the records: a "log file" of 30 MB
    // without a line feed, lines that are no JSON, a line of 3 MB.
    QFile junk(QString("log/%1-9.log").arg(RunFiles::fileStamp(QDateTime::fromString(run.records.cycles.at(31)["start"].toString(), Qt::ISODateWithMs))));
    QVERIFY(junk.open(QIODevice::WriteOnly));
    const QByteArray block(1 << 20, 'x');
    for (int k = 0; k < 30; ++k)
        QVERIFY(junk.write(block) == block.size());
    junk.close();
    QFile records("records/run.jsonl");
    QVERIFY(records.open(QIODevice::WriteOnly | QIODevice::Append));
    records.write("not json\n" + QByteArray(3 << 20, '{') + "\n");
    records.close();
    QElapsedTimer clock;
    clock.start();
    for (int n = 30; n <= 38; ++n)
        if (fileOf(n) != gone && fileOf(n) != cut)
            QCOMPARE(cycleLog(n).lines, run.lines.at(n - 1));
    qInfo() << "nine look-ups past 30 MB of junk took" << clock.elapsed() << "ms";
    CycleLogQuery none;
    QVERIFY(!CycleLogLocator::queryFromRecords("records/run.jsonl", 61, &none));
    QVERIFY(!CycleLogLocator::queryFromRecords("records/missing.jsonl", 1, &none));
    QVERIFY(CycleLogLocator("nowhere").find(CycleLogLocator::queryFor(run.records.cycles.first())).problems.size() == 1);
}

void tst_AppTrends::failuresListOpensTheCycleLog()
{
    AppFolder folder;
    const SpreadRun run = spreadRun(120, 3, true);
    QVERIFY(QDir().mkdir("records"));
    QVERIFY(run.records.write("records/run.jsonl"));
    TrendsWindow t;
    t.resize(1200, 600);
    t.show();
    QVERIFY(t.openRecords("records/run.jsonl"));
    t.redrawNow();

    // One row per failure, in the order of the run; counts beside them.
    QTableView *list = t.failureView();
    QCOMPARE(list->model()->rowCount(), 17);
    QCOMPARE(list->model()->index(2, 0).data().toInt(), 21);
    QCOMPARE(list->model()->index(2, 2).data().toString(), QString("dialUpPpp"));
    QCOMPARE(list->model()->index(2, 3).data().toString(), QString("Failed!!!PPP Dial up failed!"));
    QVERIFY2(t.failureCountsText().contains(QRegularExpression("dialUpPpp +17\\b")), qPrintable(t.failureCountsText()));
    QVERIFY(t.failureCountsText().contains(QRegularExpression("08h +17\\b")));
    QVERIFY(t.failureCountsText().contains(QRegularExpression("09h +0\\b")));

    // A click on a row shows that cycle's lines, its red line marked.
    QVERIFY(QTest::qWaitForWindowExposed(&t));
    list->scrollTo(list->model()->index(2, 0));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(list->model()->index(2, 1)).center());
    CycleLogDialog *view = t.cycleLogDialog();
    QVERIFY(view && view->isVisible());
    QCOMPARE(view->text(), run.lines.at(20).join('\n'));
    QVERIFY(view->redLineText().endsWith(" Failed!!!PPP Dial up failed!"));
    QCOMPARE(view->redLineText(), run.lines.at(20).at(2));
    QVERIFY(view->problemText().isEmpty());

    // So does a red dot, and a cycle that is not listed (read from the file).
    emit t.failedSeries()->clicked(QPointF(35, 0));
    QCOMPARE(view->text(), run.lines.at(34).join('\n'));
    QVERIFY(t.openCycleLog(8));
    QCOMPARE(view->text(), run.lines.at(7).join('\n'));
    QVERIFY(view->redLineText().isEmpty());

    // A file that holds an earlier run before this one (joined files): the
    // cycle numbers start again, and no click may open the earlier run's lines.
    const SpreadRun earlier = spreadRun(30, 3, true, QDate(2026, 2, 27));
    QVERIFY(earlier.records.write("records/earlier.jsonl"));
    QFile mixed("records/mixed.jsonl");
    QVERIFY(mixed.open(QIODevice::WriteOnly));
    QVERIFY(mixed.write(AppFolder::read("records/earlier.jsonl") + AppFolder::read("records/run.jsonl")) > 0);
    mixed.close();
    QVERIFY(t.openRecords("records/mixed.jsonl"));
    t.redrawNow();
    QCOMPARE(t.records().cycleCount(), 120);
    QCOMPARE(list->model()->rowCount(), 17);
    QVERIFY2(t.failureCountsText().contains("1 earlier run(s) in the file left out"), qPrintable(t.failureCountsText()));
    QVERIFY(t.warningText().contains("1 earlier run(s)"));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(list->model()->index(2, 1)).center());
    QCOMPARE(view->text(), run.lines.at(20).join('\n'));
    emit t.failedSeries()->clicked(QPointF(14, 0));
    QCOMPARE(view->text(), run.lines.at(13).join('\n'));
    QVERIFY(t.openCycleLog(8));
    QCOMPARE(view->text(), run.lines.at(7).join('\n'));

    // The log gone: the view says so instead of showing nothing.
    QVERIFY(QDir("log").removeRecursively());
    QVERIFY(!t.openCycleLog(21));
    QVERIFY(view->text().isEmpty());
    QVERIFY(view->problemText().contains("log"));

    // The list keeps the newest failures up to its cap, counts them all.
    FailureList kept(5);
    for (const QJsonObject &c : run.records.cycles)
        if (!c["pass"].toBool())
            kept.addFailure(c);
    QCOMPARE(int(kept.failures().size()), 5);
    QCOMPARE(kept.total(), 17);
    QCOMPARE(kept.dropped(), 12);
    QVERIFY(!kept.find(7));
    QVERIFY(kept.find(119) && kept.find(119)->query.hasPosition());
    QCOMPARE(kept.byStep().value(0).second, 17);
    // A damaged file's red line of a megabyte is kept to what a row shows.
    QJsonObject huge = run.records.cycles.at(6);
    huge["cycle"] = 121;
    huge["failedLine"] = QString(1 << 20, 'x');
    kept.addFailure(huge);
    QVERIFY(kept.find(121)->query.failedLine.size() <= 512);
}

void tst_AppTrends::reportSavedAwayFromTheWindow()
{
    AppFolder folder;
    QVERIFY(sampleRun(50).write(QStringLiteral("run.jsonl")));
    {
        ReportSaver saver;
        QSignalSpy done(&saver, &ReportSaver::sngFinished);
        QVERIFY(saver.start(QStringLiteral("run.jsonl"), QStringLiteral("run.html"), false));
        QVERIFY(!saver.start(QStringLiteral("run.jsonl"), QStringLiteral("other.html"), false)); // one at a time
        QVERIFY(done.wait(30000));
        QCOMPARE(done.first().at(1).toString(), QString());
        QCOMPARE(ReportPage(QStringLiteral("run.html")).text("count-total"), QStringLiteral("Total: 50"));
        QVERIFY(!QFile::exists(QStringLiteral("other.html")));
        QVERIFY(saver.start(QStringLiteral("gone.jsonl"), QStringLiteral("gone.html"), false));
        QVERIFY(done.wait(30000));
        QVERIFY(done.last().at(1).toString().startsWith(QStringLiteral("cannot read")));
        QVERIFY(!QFile::exists(QStringLiteral("gone.html")));
    }
    // Closing the window while a long run is being read stops the reading: no report.
    QFile big(QStringLiteral("big.jsonl"));
    QVERIFY(big.open(QIODevice::WriteOnly));
    big.write(compact(sampleRun(1).run));
    QByteArray lines;
    for (int n = 1; n <= 400000; ++n)
        lines += "{\"record\":\"cycle\",\"cycle\":" + QByteArray::number(n) + ",\"pass\":true,\"dialUpMs\":300}\n";
    QVERIFY(big.write(lines) == lines.size());
    big.close();
    {
        ReportSaver saver;
        QVERIFY(saver.start(QStringLiteral("big.jsonl"), QStringLiteral("big.html"), false));
    }
    QVERIFY(!QFile::exists(QStringLiteral("big.html")));
}

QTEST_MAIN(tst_AppTrends)
#include "tst_apptrends.moc"
