// trevalo-run as a separate process against a virtual bench: its exit
// statuses and one-line reasons, the run limits, the files it leaves after
// a signal or a kill, and its JUnit report.
#include "BenchProcess.h"
#include "RecordFile.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QXmlStreamReader>

#include <csignal>

namespace {

struct Outcome
{
    int exitCode = -1;
    QProcess::ExitStatus status = QProcess::CrashExit;
    QByteArray out;
    QByteArray err;
};

// The one file in a folder with that suffix; empty when there is not exactly one.
QString onlyFile(const QString &dir, const QString &suffix)
{
    const QStringList names = QDir(dir).entryList({QStringLiteral("*") + suffix}, QDir::Files);
    return names.size() == 1 ? QDir(dir).filePath(names.first()) : QString();
}

// "#Total: 5" and the like, from a result file.
int resultCount(const QString &resultFile, const QString &label)
{
    QFile file(resultFile);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QByteArray prefix = '#' + label.toLatin1() + ": ";
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().replace('%', "").toInt();
    }
    return -1;
}

} // namespace

class TestRunner : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void badInputExitsWithAReason_data();
    void badInputExitsWithAReason();
    void limitsEndTheRun_data();
    void limitsEndTheRun();
    void signalsStopTheRunWithFilesWritten();
    void killKeepsEveryFinishedCycle();
    void junitCountsWhatTheResultCounts();
    void runsWithoutADisplay();

private:
    QStringList baseArgs(const QString &pingHost = QStringLiteral("127.0.0.1"));
    void startRunner(QProcess &p, const QStringList &args);
    Outcome run(const QStringList &args, int waitMs = 60000);

    BenchProcess bench;
    std::unique_ptr<QTemporaryDir> work;
};

void TestRunner::initTestCase()
{
    QVERIFY2(bench.start({QStringLiteral("--dial-step-ms"), QStringLiteral("5"), QStringLiteral("--boards"),
                          QStringLiteral("RUN01:2")}),
             qPrintable(bench.errorString()));
}

void TestRunner::init()
{
    QVERIFY(bench.clearFaults());
    work = std::make_unique<QTemporaryDir>();
    QVERIFY(work->isValid());
}

QStringList TestRunner::baseArgs(const QString &pingHost)
{
    // The bench's echo server and the loopback for ping, through the window's keys.
    const QString ini = work->filePath(QStringLiteral("trevalo.ini"));
    QFile file(ini);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(QStringLiteral("[trevalo]\nHostName=127.0.0.1\nHostPort=%1\nPingAddress=%2\n")
                       .arg(bench.echoPort())
                       .arg(pingHost)
                       .toLatin1());
    return {QStringLiteral("--settings"), ini, QStringLiteral("--out"), work->filePath(QStringLiteral("out"))};
}

void TestRunner::startRunner(QProcess &p, const QStringList &args)
{
    p.setProgram(QCoreApplication::applicationDirPath() + QStringLiteral("/trevalo-run"));
    p.setArguments(args);
    p.start();
}

Outcome TestRunner::run(const QStringList &args, int waitMs)
{
    QProcess p;
    startRunner(p, args);
    Outcome o;
    if (!p.waitForFinished(waitMs)) {
        p.kill();
        p.waitForFinished();
        return o;
    }
    o.exitCode = p.exitCode();
    o.status = p.exitStatus();
    o.out = p.readAllStandardOutput();
    o.err = p.readAllStandardError();
    return o;
}

void TestRunner::badInputExitsWithAReason_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<bool>("ranCase"); // got as far as opening the port
    const auto row = [](const char *name, const QStringList &args, const char *reason, bool ran = false) {
        QTest::newRow(name) << args << QString::fromLatin1(reason) << ran;
    };
    row("no case", {}, "no case given (--case)");
    row("unknown case", {"--case", "Nope"}, "unknown case: Nope");
    row("case number out of range", {"--case", "6"}, "unknown case: 6");
    row("unknown option", {"--case", "3", "--bogus"}, "Unknown option 'bogus'.");
    row("zero cycles", {"--case", "3", "--cycles", "0"}, "--cycles needs a whole number above 0: 0");
    row("negative cycles", {"--case", "3", "--cycles=-3"}, "--cycles needs a whole number above 0: -3");
    row("zero failures", {"--case", "3", "--max-failures", "0"}, "--max-failures needs a whole number above 0: 0");
    row("unparsable duration", {"--case", "3", "--duration", "abc"}, "unparsable duration: abc (use e.g. 90m or 36h)");
    row("unknown duration unit", {"--case", "3", "--duration", "10x"}, "unparsable duration: 10x (use e.g. 90m or 36h)");
    row("zero duration", {"--case", "3", "--duration", "0m"}, "unparsable duration: 0m (use e.g. 90m or 36h)");
    row("no such port", {"--case", "RegisterNetTest", "--port", "/dev/no-such-tty"}, "no such port: /dev/no-such-tty");
    row("board not listed", {"--case", "4", "--board", "NOPE1"}, "no relay board NOPE1");
    row("output under a file", {"--case", "3", "--out", "/proc/version/out"},
        "cannot create output folder: /proc/version/out");
    row("output folder refusing files", {"--case", "3", "--out", "/proc"}, "cannot write to output folder: /proc");
    row("no settings file", {"--case", "3", "--settings", "/no/such/trevalo.ini"},
        "cannot read settings file: /no/such/trevalo.ini");
    row("check option without --check", {"--case", "3", "--peer", "/etc/ppp/peers/provider"},
        "--peer belongs to --check");
    row("port that is no serial port", {"--case", "4", "--port", "/dev/null"}, "cannot open port /dev/null", true);
}

void TestRunner::badInputExitsWithAReason()
{
    QFETCH(QStringList, args);
    QFETCH(QString, reason);
    QFETCH(bool, ranCase);
    const Outcome o = run(baseArgs() + args);
    QCOMPARE(o.status, QProcess::NormalExit);
    QCOMPARE(o.exitCode, 2);
    // One line, the reason last.
    QCOMPARE(o.err.count('\n'), 1);
    QCOMPARE(QString::fromLocal8Bit(o.err.trimmed()), QStringLiteral("trevalo-run: ") + reason);
    const QString out = work->filePath(QStringLiteral("out"));
    QCOMPARE(QDir(out + QStringLiteral("/records")).exists(), ranCase);
    if (ranCase) {
        const RecordFile rec(onlyFile(out + QStringLiteral("/records"), QStringLiteral(".jsonl")));
        QCOMPARE(rec.end.value("reason").toString(), QStringLiteral("port failed"));
    }
}

void TestRunner::limitsEndTheRun_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("pingHost");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<int>("total"); // -1: any
    QTest::addColumn<int>("fail");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<int>("echoDelayMs");
    QTest::newRow("cycles") << QStringList{"--case", "ExternalLongLongTest", "--cycles", "5"}
                            << QStringLiteral("127.0.0.1") << 0 << 5 << 0 << QStringLiteral("cycle limit") << 0;
    QTest::newRow("max failures") << QStringList{"--case", "0", "--max-failures", "2"} << QStringLiteral("-q") << 1
                                  << 2 << 2 << QStringLiteral("failure limit") << 0;
    QTest::newRow("duration") << QStringList{"--case", "3", "--duration", "2s"} << QStringLiteral("127.0.0.1") << 0
                              << -1 << 0 << QStringLiteral("duration limit") << 0;
    // The limit falls, almost surely, into an echo wait.
    QTest::newRow("duration, slow echo") << QStringList{"--case", "3", "--duration", "2s"} << QStringLiteral("127.0.0.1")
                                         << 0 << -1 << 0 << QStringLiteral("duration limit") << 600;
}

void TestRunner::limitsEndTheRun()
{
    QFETCH(QStringList, args);
    QFETCH(QString, pingHost);
    QFETCH(int, exitCode);
    QFETCH(int, total);
    QFETCH(int, fail);
    QFETCH(QString, reason);
    QFETCH(int, echoDelayMs);
    if (echoDelayMs > 0)
        QVERIFY(bench.setFault(QStringLiteral("echo.delayMs"), echoDelayMs));
    QElapsedTimer t;
    t.start();
    const Outcome o = run(baseArgs(pingHost) + args);
    QCOMPARE(o.status, QProcess::NormalExit);
    QCOMPARE(o.exitCode, exitCode);
    const QString out = work->filePath(QStringLiteral("out"));
    const QString result = onlyFile(out + QStringLiteral("/result"), QStringLiteral(".txt"));
    const RecordFile rec(onlyFile(out + QStringLiteral("/records"), QStringLiteral(".jsonl")));
    QCOMPARE(rec.brokenLines, 0);
    QCOMPARE(rec.end.value("reason").toString(), reason);
    if (total >= 0)
        QCOMPARE(resultCount(result, QStringLiteral("Total")), total);
    QCOMPARE(resultCount(result, QStringLiteral("Total")), rec.cycles.size());
    QCOMPARE(resultCount(result, QStringLiteral("FAIL")), fail);
    if (reason == QLatin1String("duration limit"))
        QVERIFY2(t.elapsed() >= 2000 && t.elapsed() < 15000, qPrintable(QString::number(t.elapsed())));
    // A cycle on record as passed ran to its end: its echo came back whole,
    // also the last one before the limit.
    for (const QJsonObject &c : rec.cycles)
        if (c.value("pass").toBool() && c.contains("bytesSent"))
            QCOMPARE(c.value("bytesReceived").toInt(), c.value("bytesSent").toInt());
    // Not a terminal: the log without colour codes, then the summary.
    QVERIFY(!o.out.contains('\033'));
    QVERIFY(o.out.contains(QStringLiteral("Cycles: %1  PASS: %2  FAIL: %3")
                               .arg(rec.cycles.size())
                               .arg(rec.cycles.size() - fail)
                               .arg(fail)
                               .toLatin1()));
    QVERIFY(o.out.contains(" Test is finished!\n"));
    if (exitCode == 1)
        QCOMPARE(o.err.trimmed(), QStringLiteral("trevalo-run: %1 of %2 cycles failed").arg(fail).arg(total).toLatin1());
    else
        QVERIFY(o.err.isEmpty());
    // The log file holds what was printed, stamps included.
    QFile log(onlyFile(out + QStringLiteral("/log"), QStringLiteral(".log")));
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QByteArray logText = log.readAll();
    QVERIFY(logText.endsWith(" Test is finished!"));
    QVERIFY(o.out.startsWith(logText.left(logText.indexOf('\n') + 1)));
}

void TestRunner::signalsStopTheRunWithFilesWritten()
{
    QProcess p;
    startRunner(p, baseArgs() + QStringList{"--case", "3", "--quiet"});
    QVERIFY(QTest::qWaitFor([&] {
        p.waitForReadyRead(100);
        return QDir(work->filePath(QStringLiteral("out/records"))).entryList(QDir::Files).size() == 1
               && RecordFile(onlyFile(work->filePath(QStringLiteral("out/records")), QStringLiteral(".jsonl")))
                          .cycles.size() >= 3;
    }, 20000));
    // A second signal right behind the first must not cut the writing short.
    ::kill(pid_t(p.processId()), SIGTERM);
    ::kill(pid_t(p.processId()), SIGTERM);
    QVERIFY(p.waitForFinished(20000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 0);
    const QString out = work->filePath(QStringLiteral("out"));
    const RecordFile rec(onlyFile(out + QStringLiteral("/records"), QStringLiteral(".jsonl")));
    QCOMPARE(rec.end.value("reason").toString(), QStringLiteral("Stop"));
    const QString result = onlyFile(out + QStringLiteral("/result"), QStringLiteral(".txt"));
    QCOMPARE(resultCount(result, QStringLiteral("Total")), rec.cycles.size());
    QFile log(onlyFile(out + QStringLiteral("/log"), QStringLiteral(".log")));
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QByteArray logText = log.readAll();
    QVERIFY(logText.contains(" Stop ...\n"));
    QVERIFY(logText.endsWith(" Test is finished!"));
}

void TestRunner::killKeepsEveryFinishedCycle()
{
    QProcess p;
    startRunner(p, baseArgs() + QStringList{"--case", "3", "--quiet"});
    QByteArray progress;
    QVERIFY(QTest::qWaitFor([&] {
        p.waitForReadyRead(50);
        progress += p.readAllStandardOutput();
        return progress.count("\ncycle ") + (progress.startsWith("cycle ") ? 1 : 0) >= 5;
    }, 20000));
    ::kill(pid_t(p.processId()), SIGKILL);
    QVERIFY(p.waitForFinished(5000));
    progress += p.readAllStandardOutput();
    const int reported = progress.count("cycle ");

    const RecordFile rec(onlyFile(work->filePath(QStringLiteral("out/records")), QStringLiteral(".jsonl")));
    // Every cycle the runner had reported is on disk, whole and in order.
    QCOMPARE(rec.brokenLines, 0);
    QVERIFY2(rec.cycles.size() >= reported, qPrintable(QStringLiteral("%1 < %2").arg(rec.cycles.size()).arg(reported)));
    QVERIFY2(rec.cycleFault().isEmpty(), qPrintable(rec.cycleFault()));
    QVERIFY(rec.end.isEmpty());
    // The log lines so far wait in the log folder's part file.
    const QDir logDir(work->filePath(QStringLiteral("out/log")));
    const QStringList parts = logDir.entryList({QStringLiteral(".*.part")}, QDir::Files | QDir::Hidden);
    QCOMPARE(parts.size(), 1);
    QFile part(logDir.filePath(parts.first()));
    QVERIFY(part.open(QIODevice::ReadOnly));
    QVERIFY(part.readAll().count(" =================================") >= reported);
}

void TestRunner::junitCountsWhatTheResultCounts()
{
    // The second exchange comes back wrong: one pass, one failure, and the run gives up.
    QVERIFY(bench.setFault(QStringLiteral("echo.corruptAt"), 2));
    const QString junit = work->filePath(QStringLiteral("report.xml"));
    const Outcome o = run(baseArgs() + QStringList{"--case", "2", "--cycles", "4", "--junit", junit});
    QCOMPARE(o.exitCode, 1);

    QFile file(junit);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QXmlStreamReader xml(&file);
    int cases = 0;
    int failures = 0;
    QString message;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        if (xml.name() == QLatin1String("testcase"))
            ++cases;
        if (xml.name() == QLatin1String("failure")) {
            ++failures;
            message = xml.attributes().value(QStringLiteral("message")).toString();
        }
    }
    QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
    const QString result = onlyFile(work->filePath(QStringLiteral("out/result")), QStringLiteral(".txt"));
    QCOMPARE(cases, resultCount(result, QStringLiteral("Total")));
    QCOMPARE(failures, resultCount(result, QStringLiteral("FAIL")));
    QCOMPARE(cases, 2);
    QCOMPARE(message, QStringLiteral("Failed!!!Recieve wrong data from server!"));
}

void TestRunner::runsWithoutADisplay()
{
    // Qt Gui is there for colour values only; the widgets never are.
    const QString ldd = QStandardPaths::findExecutable(QStringLiteral("ldd"));
    if (!ldd.isEmpty()) {
        QProcess p;
        p.start(ldd, {QCoreApplication::applicationDirPath() + QStringLiteral("/trevalo-run")});
        QVERIFY(p.waitForFinished(10000));
        const QByteArray libs = p.readAllStandardOutput();
        QVERIFY(libs.contains("libQt6Core"));
        QVERIFY2(!libs.contains("libQt6Widgets"), libs.constData());
    }

    // No display and no platform plugin: a GUI application object would abort here.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    QProcess p;
    p.setProcessEnvironment(env);
    startRunner(p, baseArgs() + QStringList{"--case", "3", "--cycles", "2"});
    QVERIFY(p.waitForFinished(60000));
    const QByteArray err = p.readAllStandardError();
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QVERIFY2(p.exitCode() == 0, err.constData());
    QVERIFY(p.readAllStandardOutput().contains("Cycles: 2  PASS: 2  FAIL: 0"));
}

QTEST_GUILESS_MAIN(TestRunner)
#include "tst_runner.moc"
