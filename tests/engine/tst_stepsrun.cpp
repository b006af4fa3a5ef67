// Custom cases from steps files run by the worker against the virtual bench:
// the register network and PPP dial-up cases written as steps files must
// leave the same log, counts, result file and records as the built-in cases
// under the same faults, a failing cycle and a Stop in a wait included; and
// what only a steps file does (captured values, its give-up rule, a plain
// wait) is checked on the same bench.
#include "BenchWorkerTest.h"
#include "RecordFile.h"
#include "RunFiles.h"
#include "StepsFileParser.h"
#include "TestCases.h"
#include "WorkerTexts.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

using namespace WorkerText;

namespace {
const QString DialStarted = QStringLiteral("Try to open the port ... ...");

QByteArray caseText(const QString &name)
{
    QFile f(QStringLiteral(TREVALO_SOURCE_DIR "/tests/engine/cases/") + name);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QStringList keys(QJsonObject o, const QStringList &without = {})
{
    for (const QString &k : without)
        o.remove(k);
    return o.keys();
}
} // namespace

class tst_StepsRun : public BenchWorkerTest
{
    Q_OBJECT

public:
    tst_StepsRun()
        : BenchWorkerTest({QStringLiteral("--dial-step-ms"), QStringLiteral("5"), QStringLiteral("--boards"),
                           QStringLiteral("REG01:2")},
                          TestCases::Custom)
    {
    }

private slots:
    void sameAsBuiltInCase_data();
    void sameAsBuiltInCase();
    void shippedExamplesRunOnTheBench_data();
    void shippedExamplesRunOnTheBench();
    void capturedValuesGoOnRecord();
    void captureThatFindsNothingFailsTheCycle();
    void giveUpAfterFailedDialsInARow();
    void stopEndsAPlainWait();

private:
    struct Outcome
    {
        QStringList lines; // colour and text of the worker's own lines, "Stop ..." left out
        int stops = 0;
        QVector<bool> results;
        RecordFile records;
        QByteArray result; // the result file of those counts
    };
    // A run on a fresh worker: the built-in case, or (builtIn -1) the steps
    // text; ended by the cycle limit, the case itself or a Stop at stopLine.
    void run(int builtIn, const QByteArray &steps, const QJsonObject &faults, int cycles, const QString &stopLine,
             Outcome &out);
    void useSteps(const QByteArray &text);
    // A port that a fault kept away comes back with the next boot without it.
    void portBack();

    QTemporaryDir m_dir;
    int m_runs = 0;
};

void tst_StepsRun::useSteps(const QByteArray &text)
{
    QString error;
    h->setup.steps = StepsFileParser::parse(text, QStringLiteral("case.yml"), &error);
    QVERIFY2(h->setup.steps, qPrintable(error));
    h->setup.caseIndex = TestCases::Custom;
}

void tst_StepsRun::portBack()
{
    QVERIFY(bench.clearFaults());
    if (QFileInfo::exists(bench.atLink()))
        return;
    QVERIFY(bench.setChipPower(true));
    QVERIFY(QTest::qWaitFor([this] { return QFileInfo::exists(bench.atLink()); }, 10000));
    QVERIFY(bench.setChipPower(false));
}

void tst_StepsRun::run(int builtIn, const QByteArray &steps, const QJsonObject &faults, int cycles,
                       const QString &stopLine, Outcome &out)
{
    portBack();
    freshHarness();
    // The name that follows the chip's port when it comes back as another device.
    h->setup.portName = bench.atLink();
    QVERIFY(bench.setFaults(faults));
    const QString records = m_dir.filePath(QString::number(++m_runs));
    h->worker->setRecordsDir(records);
    if (builtIn >= 0)
        h->setup.caseIndex = builtIn;
    else
        useSteps(steps);
    testWorker::RunLimits limits;
    limits.cycles = cycles;
    h->worker->setRunLimits(limits);
    h->stopOnLinePrefix = stopLine;
    h->startRun();
    QVERIFY(h->waitFinished(1, 30000));

    for (const LogLine &l : h->lines) {
        if (l.color == QColor(Qt::yellow))
            continue;
        if (l.text == Stop)
            ++out.stops;
        else
            out.lines << l.color.name() + QLatin1Char(' ') + l.text;
    }
    out.results = h->results;
    out.records = RecordFile(h->worker->recordFile());
    QVERIFY(out.records.opened);
    const int pass = int(h->results.count(true));
    const QString written = RunFiles::writeResult(records, h->setup.caseTag(),
                                                  RunFiles::countLines(pass, h->results.size() - pass),
                                                  QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5)));
    QVERIFY(!written.isEmpty());
    QFile result(QDir(records).filePath(written));
    QVERIFY(result.open(QIODevice::ReadOnly));
    out.result = result.readAll();
}

void tst_StepsRun::sameAsBuiltInCase_data()
{
    QTest::addColumn<int>("builtIn");
    QTest::addColumn<QString>("file");
    QTest::addColumn<QJsonObject>("faults");
    QTest::addColumn<int>("cycles");
    QTest::addColumn<QString>("stopLine");
    QTest::addColumn<QString>("verdicts");

    const int reg = TestCases::RegisterNet;
    const QString regFile = QStringLiteral("register-net.yml");
    QTest::newRow("register, passing") << reg << regFile << QJsonObject() << 2 << QString() << "PP";
    QTest::newRow("register, never registers") << reg << regFile << QJsonObject{{"creg.never", true}} << 2 << QString()
                                               << "FF";
    QTest::newRow("register, no reply to AT+CFUN=0") << reg << regFile << QJsonObject{{"cfun.noReply", true}} << 1
                                                     << QString() << "F";
    QTest::newRow("register, port stays away") << reg << regFile
                                               << QJsonObject{{"at.vanish", true}, {"at.staysAway", true}} << 2
                                               << QString() << "PF";
    QTest::newRow("register, Stop in the wait for +CREG: 1") << reg << regFile << QJsonObject{{"creg.lateMs", 20000}}
                                                             << 0 << PowerOn << "";

    const int call = TestCases::PppCall;
    const QString callFile = QStringLiteral("ppp-call.yml");
    QTest::newRow("ppp, passing") << call << callFile << QJsonObject() << 1 << QString() << "P";
    QTest::newRow("ppp, refused dials") << call << callFile << QJsonObject{{"dial.refuse", 633}} << 2 << QString()
                                        << "FF";
    QTest::newRow("ppp, Stop in the dial") << call << callFile << QJsonObject{{"dial.slowMs", 60}} << 0 << DialStarted
                                           << "";
}

void tst_StepsRun::sameAsBuiltInCase()
{
    QFETCH(int, builtIn);
    QFETCH(QString, file);
    QFETCH(QJsonObject, faults);
    QFETCH(int, cycles);
    QFETCH(QString, stopLine);
    QFETCH(QString, verdicts);

    // The file's times, the built-in case's limits in these runs.
    QByteArray text = caseText(file);
    QVERIFY(!text.isEmpty());
    const WorkerLimits limits = WorkerHarness::quickLimits();
    QCOMPARE(limits.registerMs, limits.reregisterMs);
    text.replace("30s", QByteArray::number(limits.registerMs) + "ms");
    text.replace("15s", QByteArray::number(limits.deregisterMs) + "ms");

    Outcome builtInRun;
    run(builtIn, QByteArray(), faults, cycles, stopLine, builtInRun);
    if (QTest::currentTestFailed())
        return;
    Outcome stepsRun;
    run(-1, text, faults, cycles, stopLine, stepsRun);
    if (QTest::currentTestFailed())
        return;

    QString seen;
    for (const bool pass : builtInRun.results)
        seen += pass ? QLatin1Char('P') : QLatin1Char('F');
    QCOMPARE(seen, verdicts);
    QCOMPARE(stepsRun.results, builtInRun.results);
    QCOMPARE(stepsRun.lines, builtInRun.lines);
    QCOMPARE(stepsRun.stops, builtInRun.stops);
    QCOMPARE(stepsRun.stops, stopLine.isEmpty() ? 0 : 1);
    QCOMPARE(stepsRun.result, builtInRun.result);

    const RecordFile &a = builtInRun.records;
    const RecordFile &b = stepsRun.records;
    QCOMPARE(b.brokenLines, 0);
    QCOMPARE(keys(b.run, {QStringLiteral("stepsFile"), QStringLiteral("stepsSha256")}), keys(a.run));
    QCOMPARE(b.run.value(QStringLiteral("case")), a.run.value(QStringLiteral("case")));
    QCOMPARE(b.run.value(QStringLiteral("board")), a.run.value(QStringLiteral("board")));
    QCOMPARE(b.run.value(QStringLiteral("stepsFile")).toString(), QStringLiteral("case.yml"));
    QCOMPARE(b.cycles.size(), a.cycles.size());
    for (int i = 0; i < a.cycles.size(); ++i) {
        QCOMPARE(keys(b.cycles[i]), keys(a.cycles[i]));
        for (const char *field : {"cycle", "pass", "failedStep", "failedLine", "rasError"})
            QCOMPARE(b.cycles[i].value(QLatin1String(field)), a.cycles[i].value(QLatin1String(field)));
    }
    QCOMPARE(keys(b.end), keys(a.end));
    for (const char *field : {"cycles", "pass", "fail", "fpy", "reason"})
        QCOMPARE(b.end.value(QLatin1String(field)), a.end.value(QLatin1String(field)));
}

void tst_StepsRun::shippedExamplesRunOnTheBench_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QJsonObject>("faults");
    QTest::addColumn<QString>("verdicts");
    QTest::addColumn<QString>("failedStep");
    QTest::addColumn<QJsonObject>("values"); // of the last cycle

    QTest::newRow("signal quality") << "signal-quality.yml" << QJsonObject() << "PP" << ""
                                    << QJsonObject{{"rssi", 21}, {"ber", 99}};
    QTest::newRow("signal quality, weak") << "signal-quality.yml" << QJsonObject{{"csq.rssi", 7}} << "PP" << ""
                                          << QJsonObject{{"rssi", 7}, {"ber", 99}};
    QTest::newRow("flight mode") << "flight-mode.yml" << QJsonObject() << "PP" << "" << QJsonObject{{"rssi", 21}};
    QTest::newRow("flight mode, no reply") << "flight-mode.yml" << QJsonObject{{"cfun.noReply", true}} << "FF"
                                           << "flight mode on" << QJsonObject();
    QTest::newRow("SIM and attach") << "sim-attach.yml" << QJsonObject() << "PP" << "" << QJsonObject{{"attached", 1}};
    QTest::newRow("SIM absent") << "sim-attach.yml" << QJsonObject{{"sim.absent", true}} << "FF" << "SIM check"
                                << QJsonObject();
    QTest::newRow("not attached") << "sim-attach.yml" << QJsonObject{{"attach.off", true}} << "FF" << "attached"
                                  << QJsonObject{{"attached", 0}};
    QTest::newRow("dial and ping") << "dial-ping.yml" << QJsonObject() << "P" << "" << QJsonObject();
}

void tst_StepsRun::shippedExamplesRunOnTheBench()
{
    QFETCH(QString, file);
    QFETCH(QJsonObject, faults);
    QFETCH(QString, verdicts);
    QFETCH(QString, failedStep);
    QFETCH(QJsonObject, values);
    QFile f(QStringLiteral(TREVALO_SOURCE_DIR "/packaging/cases/") + file);
    QVERIFY(f.open(QIODevice::ReadOnly));
    // The file as shipped, its pauses shortened.
    QByteArray text = f.readAll();
    for (const char *pause : {"wait: 10s", "wait: 5s", "wait: 2s"})
        text.replace(pause, "wait: 100ms");
    portBack();
    h->setup.portName = bench.atLink();
    QVERIFY(bench.setFaults(faults));
    QTemporaryDir records;
    h->worker->setRecordsDir(records.path());
    useSteps(text);
    testWorker::RunLimits limits;
    limits.cycles = int(verdicts.size());
    h->worker->setRunLimits(limits);
    h->startRun();
    QVERIFY(h->waitFinished(1, 90000));
    QString seen;
    for (const bool pass : h->results)
        seen += pass ? QLatin1Char('P') : QLatin1Char('F');
    QVERIFY2(seen == verdicts, qPrintable(h->texts().join(QLatin1Char('\n')) + QLatin1Char('\n')
                                          + QString::fromUtf8(QJsonDocument(bench.chip()).toJson(QJsonDocument::Compact))));
    const RecordFile rec(h->worker->recordFile());
    QCOMPARE(rec.cycles.size(), verdicts.size());
    QCOMPARE(rec.cycles.last().value(QStringLiteral("failedStep")).toString(), failedStep);
    QCOMPARE(rec.cycles.last().value(QStringLiteral("values")).toObject(), values);
    // What the set-up switched on is off again.
    QVERIFY(!bench.chipPowered());
}

void tst_StepsRun::capturedValuesGoOnRecord()
{
    portBack();
    QTemporaryDir records;
    h->worker->setRecordsDir(records.path());
    useSteps("name: Capture\ntag: Capture\nsetup: [open_port]\ncycle:\n"
             "  - power_on\n"
             "  - wait_for: {expect: 'CREG: 1', timeout: 2s, capture: {reg: 'CREG: (\\d)'}}\n"
             "  - at: {name: hello, command: AT, expect: '/O[K]/', timeout: 1s, capture: {answer: '(OK)'}}\n"
             "  - power_off\n");
    h->stopAfterResults = 2;
    startRunning();
    QVERIFY(h->waitFinished(1, 15000));
    QCOMPARE(h->results, (QVector<bool>{true, true}));
    const RecordFile file(h->worker->recordFile());
    QCOMPARE(file.run.value(QStringLiteral("case")).toString(), QStringLiteral("Capture"));
    QCOMPARE(file.run.value(QStringLiteral("stepsSha256")).toString(), h->setup.steps->sha256);
    QCOMPARE(file.cycles.size(), 2);
    for (const QJsonObject &c : file.cycles)
        QCOMPARE(c.value(QStringLiteral("values")).toObject(),
                 (QJsonObject{{"reg", 1}, {"answer", QStringLiteral("OK")}}));
    QVERIFY(QFileInfo(file.run.isEmpty() ? QString() : h->worker->recordFile()).fileName().startsWith("Capture."));
    // The step's name from the file is what the status shows.
    QVERIFY(h->steps.contains(qMakePair(QStringLiteral("hello"), 3000)));
    QVERIFY(h->hasLine(QStringLiteral("reg: 1"), QColor(Qt::yellow)));
}

void tst_StepsRun::captureThatFindsNothingFailsTheCycle()
{
    portBack();
    QTemporaryDir records;
    h->worker->setRecordsDir(records.path());
    useSteps("name: Capture\ntag: Capture\nsetup: [open_port]\ncycle:\n"
             "  - power_on\n"
             "  - wait_for: {expect: 'CREG: 1', timeout: 2s}\n"
             "  - at: {name: signal, command: AT, timeout: 1s, capture: {rssi: '\\+CSQ: (\\d+)'}}\n"
             "  - power_off\n");
    h->stopAfterResults = 1;
    startRunning();
    QVERIFY(h->waitFinished(1, 15000));
    QCOMPARE(h->results, QVector<bool>{false});
    const QString red = QStringLiteral("Failed!!!No rssi in the reply");
    QCOMPARE(h->colorOf(red), QColor(Qt::red));
    // Powered off by the scope before the failure is counted.
    QCOMPARE(h->workerLines(h->indexOf(Separator)).mid(0, 4), (QStringList{Separator, PowerOn, red, PowerOff}));
    QVERIFY(h->resultAt.first() > h->indexOf(PowerOff, h->indexOf(red)));
    QVERIFY(!bench.chipPowered());
    const RecordFile file(h->worker->recordFile());
    QCOMPARE(file.cycles.first().value(QStringLiteral("failedStep")).toString(), QStringLiteral("signal"));
    QCOMPARE(file.cycles.first().value(QStringLiteral("failedLine")).toString(), red);
    QVERIFY(!file.cycles.first().contains(QStringLiteral("values")));
}

void tst_StepsRun::giveUpAfterFailedDialsInARow()
{
    QVERIFY(bench.setFaults({{"dial.refuse", 633}}));
    QTemporaryDir records;
    h->worker->setRecordsDir(records.path());
    useSteps(caseText(QStringLiteral("ppp-call.yml")) + "limits: {give_up_after_failed_dials: 2}\n");
    startRunning();
    QVERIFY(h->waitFinished(1, 15000));
    QCOMPARE(h->results, (QVector<bool>{false, false}));
    const QString gaveUp = QStringLiteral("Failed!!!Fail to establish PPP connection for 2 times in a row");
    QCOMPARE(h->colorOf(gaveUp), QColor(Qt::red));
    QCOMPARE(RecordFile(h->worker->recordFile()).end.value(QStringLiteral("reason")).toString(),
             QStringLiteral("gave up"));
}

void tst_StepsRun::stopEndsAPlainWait()
{
    QTemporaryDir records;
    h->worker->setRecordsDir(records.path());
    useSteps("name: Wait\ntag: Wait\ncycle:\n  - wait: {name: resting, time: 1h}\n");
    startRunning();
    QVERIFY(h->waitUntil([this] { return !h->steps.isEmpty() && h->steps.last().first == QStringLiteral("resting"); },
                         5000));
    QCOMPARE(h->steps.last().second, 3600000);
    h->stop();
    QVERIFY(h->waitFinished(1, 5000));
    QVERIFY(h->results.isEmpty());
    QCOMPARE(RecordFile(h->worker->recordFile()).end.value(QStringLiteral("reason")).toString(), QStringLiteral("Stop"));
}

QTEST_MAIN(tst_StepsRun)
#include "tst_stepsrun.moc"
