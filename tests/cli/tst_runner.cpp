// trevalo-run as a separate process against a virtual bench: its exit
// statuses and one-line reasons, the run limits, the files it leaves after
// a signal or a kill, its JUnit report, where an installed copy keeps its
// files, files of several processes in one folder, a disk that refuses
// writes, an output nobody reads and what it tells systemd.
#include "BenchProcess.h"
#include "CycleLogLocator.h"
#include "CycleVerdicts.h"
#include "FullDisk.h"
#include "HeadlessRun.h"
#include "JUnitReport.h"
#include "PseudoTerminal.h"
#include "RecordFile.h"
#include "ReportPage.h"
#include "RunFiles.h"
#include "StreamedLog.h"
#include "ServiceNotifier.h"

#include <QDateTime>
#include <QDir>
#include <QHash>
#include <QJsonObject>
#include <QSet>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QCryptographicHash>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QThread>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QXmlStreamReader>

#include <csignal>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

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

// Files of this process may grow to a few bytes past their size now, as
// under a disk that has just filled; lifted on lift() or destruction.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &m_old);
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN); // a refused write, not a dead process
        rlimit limit = m_old;
        limit.rlim_cur = bytes;
        m_set = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimit() { lift(); }
    bool isSet() const { return m_set; }
    void lift()
    {
        if (!m_set)
            return;
        ::setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_oldHandler);
        m_set = false;
    }

private:
    rlimit m_old{};
    void (*m_oldHandler)(int) = nullptr;
    bool m_set = false;
};

// A metrics file's samples by their series ("name{labels}"); the HELP and
// TYPE lines left out.
QHash<QString, double> metricSamples(const QByteArray &text)
{
    QHash<QString, double> samples;
    for (const QByteArray &line : text.split('\n')) {
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        const int space = line.lastIndexOf(' ');
        samples.insert(QString::fromUtf8(line.left(space)), line.mid(space + 1).toDouble());
    }
    return samples;
}

// promtool's verdict on a metrics text: empty when it is clean.
QString promtoolComplaints(const QByteArray &text)
{
    QProcess p;
    p.start(QStringLiteral("promtool"), {QStringLiteral("check"), QStringLiteral("metrics")});
    if (!p.waitForStarted(10000))
        return QStringLiteral("promtool did not start");
    p.write(text);
    p.closeWriteChannel();
    p.waitForFinished(30000);
    const QByteArray said = p.readAllStandardOutput() + p.readAllStandardError();
    return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0 && said.trimmed().isEmpty()
               ? QString()
               : QString::fromLocal8Bit(said);
}

// systemd's end of $NOTIFY_SOCKET: a datagram socket at a path, or at
// "@name" in the abstract namespace, collecting what the runner says.
class NotifyListener
{
public:
    ~NotifyListener()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }

    bool bind(const QByteArray &address)
    {
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un at{};
        at.sun_family = AF_UNIX;
        if (m_fd < 0 || size_t(address.size()) >= sizeof(at.sun_path))
            return false;
        std::memcpy(at.sun_path, address.constData(), size_t(address.size()));
        if (at.sun_path[0] == '@')
            at.sun_path[0] = '\0';
        return ::bind(m_fd, reinterpret_cast<const sockaddr *>(&at),
                      socklen_t(offsetof(sockaddr_un, sun_path) + size_t(address.size())))
               == 0;
    }

    // What arrives within waitMs, up to and with a message equal to until;
    // 0 takes only what is there already.
    QByteArrayList take(int waitMs, const QByteArray &until = QByteArray())
    {
        QByteArrayList got;
        QElapsedTimer t;
        t.start();
        for (;;) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, int(qMax<qint64>(0, waitMs - t.elapsed()))) <= 0)
                return got;
            char buffer[4096];
            const ssize_t n = ::recv(m_fd, buffer, sizeof(buffer), 0);
            if (n < 0)
                return got;
            got.append(QByteArray(buffer, int(n)));
            if (!until.isEmpty() && got.last() == until)
                return got;
        }
    }

private:
    int m_fd = -1;
};

// True once the runner has printed its first cycle's separator (within 20 s).
bool firstCycleBegun(QProcess &p)
{
    QByteArray printed;
    return QTest::qWaitFor([&] {
        p.waitForReadyRead(100);
        printed += p.readAllStandardOutput();
        return printed.contains("=================================");
    }, 20000);
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
    void hangupUnderNohupIsIgnored();
    void signalBeforeTheFirstCycleProvesNothing();
    void killKeepsEveryFinishedCycle();
    void serviceManagerHearsTheRun();
    void watchdogPingsComeFromTheEventLoop();
    void junitCountsWhatTheResultCounts_data();
    void junitCountsWhatTheResultCounts();
    void verdictsStayCompact();
    void installedRunnerUsesTheUserDataFolder();
    void junitFromDamagedRecords();
    void metricsMatchTheRecords_data();
    void metricsMatchTheRecords();
    void metricsFileIsNeverSeenHalfWritten();
    void unwritableMetricsFolderLetsTheRunGoOn();
    void runsWithoutADisplay();
    void sameSecondSavesOfManyProcessesKeepEveryFile();
    void runnersSharingAFolderKeepTheirOwnFiles();
    void settingsFileThatIsNotIniIsSaidAndKept();
    void logKeepsEveryLineOnceWhenTheDiskRefusesWrites();
    void filesCutShortAreNotTakenForWritten();
    void fileNotWrittenWholeSetsTheExitStatus_data();
    void fileNotWrittenWholeSetsTheExitStatus();
    void logOnADiskThatFillsAndIsCleaned();
    void unreadOutputHoldsUpNeitherRunNorStop();
    void workerWaitsForABusyRunner();
    void runsOnOneBoardKeepToTheirChannels();
    void peerFileIsLookedForWherePppdDials();
    void stepsFileRunsAsACase();
    void reportOfTheRunAndOfItsRecords();

private:
    QStringList baseArgs(const QString &pingHost = QStringLiteral("127.0.0.1"));
    void startRunner(QProcess &p, const QStringList &args);
    Outcome run(const QStringList &args, int waitMs = 60000, const std::function<void()> &inChild = {});
    // Cycles on record so far in the one record file under out/records.
    int cyclesOnRecord();

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

Outcome TestRunner::run(const QStringList &args, int waitMs, const std::function<void()> &inChild)
{
    QProcess p;
    if (inChild)
        p.setChildProcessModifier(inChild);
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

int TestRunner::cyclesOnRecord()
{
    const QString records = work->filePath(QStringLiteral("out/records"));
    return QDir(records).entryList(QDir::Files).size() == 1
               ? RecordFile(onlyFile(records, QStringLiteral(".jsonl"))).cycles.size()
               : 0;
}

void TestRunner::badInputExitsWithAReason_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<bool>("ranCase"); // got as far as opening the port
    const auto row = [](const char *name, const QStringList &args, const char *reason, bool ran = false) {
        QTest::newRow(name) << args << QString::fromLatin1(reason) << ran;
    };
    row("no case", {}, "no case given (--case or --steps)");
    row("steps and case", {"--steps", "/no/such/case.yml", "--case", "3"}, "--steps and --case: give one of them");
    row("steps file missing", {"--steps", "/no/such/case.yml"},
        "/no/such/case.yml: cannot be read (No such file or directory)");
    row("steps file that is a device", {"--steps", "/dev/null"}, "/dev/null: not a file");
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
    row("peer name with a slash", {"--case", "0", "--ppp-peer", "peers/modem2"},
        "bad pppd peer name \"peers/modem2\": letters, digits, \".\", \"_\" and \"-\" only, starting with a letter, a digit or \"_\"");
    row("option-like peer name", {"--case", "1", "--ppp-peer=-detach"}, "bad pppd peer name \"-detach\": letters, digits, \".\", \"_\" and \"-\" only, starting with a letter, a digit or \"_\"");
    row("peer name up a folder", {"--case", "0", "--ppp-peer", ".."}, "bad pppd peer name \"..\": letters, digits, \".\", \"_\" and \"-\" only, starting with a letter, a digit or \"_\"");
    row("board not listed", {"--case", "4", "--board", "NOPE1"}, "no relay board NOPE1");
    row("channel beyond the board", {"--case", "4", "--channel", "3"}, "relay board RUN01 has channels 1 to 2, not 3");
    row("channel zero", {"--case", "5", "--channel", "0"}, "--channel needs a whole number above 0: 0");
    row("output under a file", {"--case", "3", "--out", "/proc/version/out"},
        "cannot create output folder: /proc/version/out");
    row("output folder refusing files", {"--case", "3", "--out", "/proc"}, "cannot write to output folder: /proc");
    row("no settings file", {"--case", "3", "--settings", "/no/such/trevalo.ini"},
        "cannot read settings file: /no/such/trevalo.ini");
    row("check option without --check", {"--case", "3", "--peer", "/etc/ppp/peers/provider"},
        "--peer belongs to --check");
    row("no folder for the report", {"--case", "3", "--junit", "/no/such/dir/report.xml"},
        "no folder for the JUnit report: /no/such/dir/report.xml");
    row("bench name with a dot", {"--case", "3", "--metrics", "/tmp", "--bench", "bench.7"},
        "--bench takes only letters, digits, _ and -: bench.7");
    row("bench name with a label quote", {"--case", "3", "--metrics", "/tmp", "--bench", "b\"7"},
        "--bench takes only letters, digits, _ and -: b\"7");
    row("report in no folder", {"--case", "3", "--report", "/no/such/dir/r.html"},
        "no folder for the report: /no/such/dir/r.html");
    row("records without a report", {"--from", "/tmp/x.jsonl"}, "--from needs --report");
    row("records with a run's option", {"--report", "/tmp/r.html", "--from", "/tmp/x.jsonl", "--cycles", "3"},
        "--cycles belongs to a run, not to --from");
    row("records that are not there", {"--report", "/tmp/r.html", "--from", "/no/such/run.jsonl"},
        "cannot read records file: /no/such/run.jsonl");
    row("records of something else", {"--report", "/tmp/r.html", "--from", "/proc/version"},
        "not a record file of this program: /proc/version");
    row("port that is no serial port", {"--case", "4", "--port", "/dev/null"}, "cannot open port /dev/null", true);
}

void TestRunner::badInputExitsWithAReason()
{
    QFETCH(QStringList, args);
    QFETCH(QString, reason);
    QFETCH(bool, ranCase);
    // An output folder two levels deep that does not exist yet: a refused
    // run leaves neither level behind.
    const QString out = work->filePath(QStringLiteral("new/out"));
    const Outcome o = run(baseArgs() + QStringList{QStringLiteral("--out"), out} + args);
    QCOMPARE(o.status, QProcess::NormalExit);
    QCOMPARE(o.exitCode, 2);
    // One line, the reason last.
    QCOMPARE(o.err.count('\n'), 1);
    QCOMPARE(QString::fromLocal8Bit(o.err.trimmed()), QStringLiteral("trevalo-run: ") + reason);
    QCOMPARE(QFileInfo::exists(work->filePath(QStringLiteral("new"))), ranCase);
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
    // The chip's ten powered minutes outlast the run: nothing counted is no pass.
    QTest::newRow("duration before the first cycle")
        << QStringList{"--case", "SleepWakePPPTest", "--duration", "2s"} << QStringLiteral("127.0.0.1") << 3 << 0 << 0
        << QStringLiteral("duration limit") << 0;
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
    // Without --port the bench's stable link, which no other terminal can take.
    QCOMPARE(rec.run.value("port").toString(), bench.atLink());
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
    // Every cycle's lines are found again from its record in the runner's
    // log files, a failed one with its red line.
    const QString records = onlyFile(out + QStringLiteral("/records"), QStringLiteral(".jsonl"));
    const CycleLogLocator locator(CycleLogLocator::logDirFor(records));
    for (const QJsonObject &c : rec.cycles) {
        CycleLogQuery q;
        QVERIFY(CycleLogLocator::queryFromRecords(records, c.value("cycle").toInt(), &q));
        // Cycles of seconds: the runner has taken each separator long before the verdict.
        if (reason == QLatin1String("failure limit"))
            QVERIFY(q.hasPosition());
        const CycleLog log = locator.find(q);
        QVERIFY2(log.problems.isEmpty(), qPrintable(log.problems.join("; ")));
        QVERIFY(log.lines.value(0).endsWith(QStringLiteral(" =================================")));
        if (!c.value("pass").toBool())
            QVERIFY(log.lines.value(log.redLine).endsWith(QLatin1Char(' ') + c.value("failedLine").toString()));
    }
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
    else if (exitCode == 3)
        QCOMPARE(o.err.trimmed(), "trevalo-run: no cycle counted before the run ended (" + reason.toLatin1() + ')');
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
    const QString report = work->filePath(QStringLiteral("stopped.html"));
    startRunner(p, baseArgs() + QStringList{"--case", "3", "--quiet", "--report", report});
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
    // The report is written after a stop as after any end.
    const ReportPage page(report);
    QVERIFY2(page.opened && page.parseError.isEmpty(), qPrintable(page.parseError));
    QCOMPARE(page.text("fact-reason"), QStringLiteral("Stop"));
    QCOMPARE(page.text("count-total"), QStringLiteral("Total: %1").arg(rec.cycles.size()));
}

void TestRunner::hangupUnderNohupIsIgnored()
{
    // Started as over ssh: nohup ignores SIGHUP, and the logout sends it.
    const QString nohup = QStandardPaths::findExecutable(QStringLiteral("nohup"), {QStringLiteral("/usr/bin"), QStringLiteral("/bin")});
    if (nohup.isEmpty())
        QSKIP("no nohup");
    QProcess p;
    p.setProgram(nohup);
    p.setArguments(QStringList{QCoreApplication::applicationDirPath() + QStringLiteral("/trevalo-run")} + baseArgs()
                   + QStringList{"--case", "3", "--quiet"});
    p.start();
    QVERIFY(QTest::qWaitFor([&] { p.waitForReadyRead(100); return cyclesOnRecord() >= 2; }, 20000));
    ::kill(pid_t(p.processId()), SIGHUP);
    const int before = cyclesOnRecord();
    QVERIFY2(QTest::qWaitFor([&] { p.waitForReadyRead(100); return cyclesOnRecord() >= before + 3; }, 20000),
             p.readAllStandardError().constData());
    QCOMPARE(p.state(), QProcess::Running);
    // SIGTERM still stops it as before.
    ::kill(pid_t(p.processId()), SIGTERM);
    QVERIFY(p.waitForFinished(20000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 0);
    const RecordFile rec(onlyFile(work->filePath(QStringLiteral("out/records")), QStringLiteral(".jsonl")));
    QCOMPARE(rec.end.value("reason").toString(), QStringLiteral("Stop"));
}

void TestRunner::signalBeforeTheFirstCycleProvesNothing()
{
    // The sleep-wake case's first cycle keeps the chip powered for minutes.
    QProcess p;
    startRunner(p, baseArgs() + QStringList{"--case", "5"});
    QVERIFY(firstCycleBegun(p));
    ::kill(pid_t(p.processId()), SIGINT);
    QVERIFY(p.waitForFinished(20000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 3);
    QCOMPARE(p.readAllStandardError().trimmed(), QByteArray("trevalo-run: no cycle counted before the run ended (Stop)"));
    QVERIFY(p.readAllStandardOutput().contains("Cycles: 0  PASS: 0  FAIL: 0"));
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
    // The killed run's cycles are found there, said to be lines never saved.
    const QString killedRecords = onlyFile(work->filePath(QStringLiteral("out/records")), QStringLiteral(".jsonl"));
    for (const int n : {1, int(rec.cycles.size())}) {
        CycleLogQuery q;
        QVERIFY(CycleLogLocator::queryFromRecords(killedRecords, n, &q));
        const CycleLog log = CycleLogLocator(logDir.path()).find(q);
        QCOMPARE(log.files, QStringList{parts.first()});
        QVERIFY(log.lines.value(0).endsWith(QStringLiteral(" =================================")));
        QVERIFY2(log.problems.join(' ').contains(QStringLiteral("never saved")), qPrintable(log.problems.join("; ")));
    }

    // The next run here takes the killed one up and says so, in its record
    // and on standard error (the journal, under systemd).
    const QString records = work->filePath(QStringLiteral("out/records"));
    const QString killed = QFileInfo(onlyFile(records, QStringLiteral(".jsonl"))).fileName();
    const auto runAndRecord = [&](const QStringList &args, Outcome *outcome) {
        const QStringList before = QDir(records).entryList(QDir::Files);
        *outcome = run(baseArgs() + args);
        QStringList added = QDir(records).entryList(QDir::Files);
        for (const QString &name : before)
            added.removeOne(name);
        return added.size() == 1 ? RecordFile(QDir(records).filePath(added.first())) : RecordFile();
    };
    Outcome again;
    const RecordFile restarted = runAndRecord({"--case", "3", "--cycles", "2", "--quiet"}, &again);
    QCOMPARE(again.exitCode, 0);
    QCOMPARE(restarted.run.value("restartOf").toString(), killed);
    QCOMPARE(again.err.trimmed(), "trevalo-run: the last run here ended without its totals; this run restarts it ("
                                      + killed.toLatin1() + ')');
    QCOMPARE(restarted.cycles.size(), 2);
    // That run ended properly: the next one restarts nothing.
    Outcome after;
    QVERIFY(!runAndRecord({"--case", "3", "--cycles", "1", "--quiet"}, &after).run.contains("restartOf"));
    QVERIFY2(after.err.isEmpty(), after.err.constData());

    // A run still going in the same folder is no run cut short.
    QProcess live;
    startRunner(live, baseArgs() + QStringList{"--case", "3", "--quiet"});
    QVERIFY(QTest::qWaitFor([&] {
        live.waitForReadyRead(100);
        return live.readAllStandardOutput().contains("cycle ");
    }, 20000));
    Outcome beside;
    const RecordFile besideRecord = runAndRecord({"--case", "3", "--cycles", "1", "--quiet"}, &beside);
    ::kill(pid_t(live.processId()), SIGTERM);
    QVERIFY(live.waitForFinished(20000));
    QCOMPARE(beside.exitCode, 0);
    QVERIFY(besideRecord.opened);
    QVERIFY(!besideRecord.run.contains("restartOf"));
    QVERIFY2(beside.err.isEmpty(), beside.err.constData());
}

void TestRunner::serviceManagerHearsTheRun()
{
    // As systemd starts it for a Type=notify unit with WatchdogSec=0.3s.
    const QByteArray address = QFile::encodeName(work->filePath(QStringLiteral("notify")));
    NotifyListener systemd;
    QVERIFY(systemd.bind(address));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("NOTIFY_SOCKET"), QString::fromLocal8Bit(address));
    env.insert(QStringLiteral("WATCHDOG_USEC"), QStringLiteral("300000"));
    QProcess p;
    p.setProcessEnvironment(env);
    // The sleep-wake case's first cycle sits for minutes in one wait.
    startRunner(p, baseArgs() + QStringList{"--case", "5"});
    const QByteArrayList first = systemd.take(20000, "READY=1\nSTATUS=SleepWakePPPTest");
    QVERIFY2(!first.isEmpty(), p.readAllStandardError().constData());
    QCOMPARE(first.first(), QByteArray("READY=1\nSTATUS=SleepWakePPPTest"));
    QVERIFY(firstCycleBegun(p));

    // Alive all through the wait: a ping every 150 ms.
    systemd.take(0);
    QTest::qWait(2000);
    const QByteArrayList during = systemd.take(0);
    QVERIFY2(during.count("WATCHDOG=1") >= 4, qPrintable(QString::number(during.count("WATCHDOG=1"))));
    QCOMPARE(during.count("WATCHDOG=1"), during.size());

    // systemctl stop: the runner says it is stopping, once, and ends the run.
    ::kill(pid_t(p.processId()), SIGTERM);
    const QByteArrayList stopping = systemd.take(20000, "STOPPING=1");
    QVERIFY(!stopping.isEmpty());
    QCOMPARE(stopping.last(), QByteArray("STOPPING=1"));
    QVERIFY(p.waitForFinished(20000));
    QCOMPARE(p.exitCode(), 3);
    QVERIFY(!systemd.take(0).contains("STOPPING=1"));
}

void TestRunner::watchdogPingsComeFromTheEventLoop()
{
    const QByteArray address = "@trevalo-tst-runner-" + QByteArray::number(QCoreApplication::applicationPid());
    NotifyListener systemd;
    QVERIFY(systemd.bind(address));
    qputenv("NOTIFY_SOCKET", address);
    qputenv("WATCHDOG_USEC", "100000");
    qputenv("WATCHDOG_PID", QByteArray::number(QCoreApplication::applicationPid()));
    {
        ServiceNotifier notifier;
        QCOMPARE(notifier.watchdogPeriodMs(), 50);
        // pppd and ping do not inherit the manager's socket.
        for (const char *name : {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"})
            QVERIFY(!qEnvironmentVariableIsSet(name));
        QTest::qWait(500);
        QVERIFY(systemd.take(0).count("WATCHDOG=1") >= 3);
        // A loop that hangs says nothing, so systemd ends the process.
        QThread::msleep(500);
        QCOMPARE(systemd.take(0).size(), 0);
        QTest::qWait(300);
        QVERIFY(systemd.take(0).count("WATCHDOG=1") >= 2);
    }

    // A watchdog meant for another process: no pings, the rest as before.
    qputenv("NOTIFY_SOCKET", address);
    qputenv("WATCHDOG_USEC", "100000");
    qputenv("WATCHDOG_PID", "1");
    ServiceNotifier other;
    QCOMPARE(other.watchdogPeriodMs(), 0);
    other.ready();
    other.stopping();
    other.stopping();
    QTest::qWait(300);
    QCOMPARE(systemd.take(100), (QByteArrayList{"READY=1", "STOPPING=1"}));
}

void TestRunner::junitCountsWhatTheResultCounts_data()
{
    QTest::addColumn<QString>("records"); // "whole", "none", "short"
    QTest::addColumn<int>("failAt");      // the exchange that comes back wrong
    QTest::newRow("records whole") << QStringLiteral("whole") << 2;
    // The folder for the records is taken by a file: no record file at all.
    QTest::newRow("no record file") << QStringLiteral("none") << 2;
    // A full disk, as the process sees it: no file may grow past 16 KB. The
    // record file stops after about a hundred cycles, a report of 150 still fits.
    QTest::newRow("records cut short") << QStringLiteral("short") << 150;
}

void TestRunner::junitCountsWhatTheResultCounts()
{
    QFETCH(QString, records);
    QFETCH(int, failAt);
    // One exchange comes back wrong: that cycle fails and the run gives up.
    QVERIFY(bench.setFault(QStringLiteral("echo.corruptAt"), failAt));
    const QString junit = work->filePath(QStringLiteral("report.xml"));
    if (records == QLatin1String("none")) {
        QVERIFY(QDir().mkpath(work->filePath(QStringLiteral("out"))));
        QFile blocker(work->filePath(QStringLiteral("out/records")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
    }
    std::function<void()> inChild;
    if (records == QLatin1String("short"))
        inChild = [] {
            ::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{16384, 16384};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        };
    const QStringList caseArgs = records == QLatin1String("short") ? QStringList{"--case", "3", "--quiet"}
                                                                   : QStringList{"--case", "2", "--cycles", "4"};
    const Outcome o = run(baseArgs() + caseArgs + QStringList{"--junit", junit}, 60000, inChild);
    QCOMPARE(o.status, QProcess::NormalExit);
    // A failed run is never green, whatever else went wrong with the files.
    QVERIFY2(o.exitCode != 0, o.err.constData());

    QFile file(junit);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QXmlStreamReader xml(&file);
    int cases = 0;
    int failures = 0;
    QString message;
    QString failedCase;
    QString note;
    QString lastCase;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        if (xml.name() == QLatin1String("testcase")) {
            ++cases;
            lastCase = xml.attributes().value(QStringLiteral("name")).toString();
        }
        if (xml.name() == QLatin1String("failure")) {
            ++failures;
            message = xml.attributes().value(QStringLiteral("message")).toString();
            failedCase = lastCase;
        }
        if (xml.name() == QLatin1String("system-err"))
            note = xml.readElementText();
    }
    QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
    const QString result = onlyFile(work->filePath(QStringLiteral("out/result")), QStringLiteral(".txt"));
    QCOMPARE(cases, resultCount(result, QStringLiteral("Total")));
    QCOMPARE(failures, resultCount(result, QStringLiteral("FAIL")));
    QCOMPARE(cases, failAt);
    QCOMPARE(failures, 1);
    QCOMPARE(failedCase, QStringLiteral("cycle %1").arg(failAt));
    QCOMPARE(message, QStringLiteral("Failed!!!Recieve wrong data from server!"));
    // The report says when the records could not back it.
    if (records == QLatin1String("whole")) {
        QVERIFY(note.isEmpty());
    } else {
        QVERIFY2(note.startsWith(QStringLiteral("Records incomplete: ")), qPrintable(note));
        QVERIFY(o.err.contains(records == QLatin1String("none") ? "no record file; the JUnit report has every cycle"
                                                                : "the JUnit report has the others from the run itself"));
    }
    if (records == QLatin1String("short")) {
        const int onRecord = RecordFile(onlyFile(work->filePath(QStringLiteral("out/records")), QStringLiteral(".jsonl")))
                                 .cycles.size();
        QVERIFY2(onRecord > 0 && onRecord < failAt, qPrintable(QString::number(onRecord)));
        QVERIFY2(note.contains(QStringLiteral(" holds %1 of %2 counted cycles").arg(onRecord).arg(failAt)), qPrintable(note));
    }
}

void TestRunner::verdictsStayCompact()
{
    CycleVerdicts v;
    v.addPass();
    v.addFailure(QStringLiteral("dialUpPpp"), QStringLiteral("Failed!!!PPP Dial up failed!"));
    v.addFailure(QStringLiteral("dialUpPpp"), QStringLiteral("Failed!!!PPP Dial up failed!"));
    v.addFailure(QStringLiteral("pingHost"), QStringLiteral("Failed!!!Ping failed!"));
    v.addPass();
    v.addFailure(QStringLiteral("dialUpPpp"), QStringLiteral("Failed!!!PPP Dial up failed!"));
    QCOMPARE(v.count(), 6);
    QCOMPARE(v.failures(), 4);
    QVERIFY(!v.failureOf(1) && !v.failureOf(5) && !v.failureOf(0) && !v.failureOf(7));
    for (int n : {2, 3, 6})
        QCOMPARE(v.failureOf(n)->line, QStringLiteral("Failed!!!PPP Dial up failed!"));
    QCOMPARE(v.failureOf(4)->step, QStringLiteral("pingHost"));
    QCOMPARE(v.spans(), 3);
    QCOMPARE(v.lines(), 2);

    // A day of passes costs nothing, a long stretch of one failure one span.
    for (int i = 0; i < 100000; ++i)
        v.addPass();
    for (int i = 0; i < 100000; ++i)
        v.addFailure(QStringLiteral("pingHost"), QStringLiteral("Failed!!!Ping failed!"));
    QCOMPARE(v.spans(), 4);
    QCOMPARE(v.failureOf(100007)->step, QStringLiteral("pingHost"));
    QVERIFY(!v.failureOf(100006));

    // Red lines that all differ are kept up to a bound, each cut short; the
    // verdicts themselves stay exact.
    const int first = v.count() + 1;
    for (int i = 0; i < 1000; ++i)
        v.addFailure(QStringLiteral("sendData"), QStringLiteral("Failed!!!%1 ").arg(i) + QString(5000, QLatin1Char('x')));
    QCOMPARE(v.lines(), CycleVerdicts::maxLines);
    QCOMPARE(v.failures(), 4 + 100000 + 1000);
    QVERIFY(v.failureOf(first)->line.startsWith(QStringLiteral("Failed!!!0 ")));
    QCOMPARE(v.failureOf(first)->line.size(), CycleVerdicts::maxLineChars);
    QVERIFY(v.failureOf(v.count())->line.startsWith(QStringLiteral("cycle failed")));
}

void TestRunner::installedRunnerUsesTheUserDataFolder()
{
    // A copy of the runner in the bin/ of an installed tree; its libraries
    // stay in the build folder.
    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString bin = root.filePath(QStringLiteral("bin"));
    const QString data = root.filePath(QStringLiteral("data"));
    const QString user = data + QStringLiteral("/trevalo");
    QVERIFY(QDir().mkpath(bin) && QDir().mkpath(user + QStringLiteral("/cfg"))
            && QDir().mkpath(root.filePath(QStringLiteral("share/trevalo/setup"))));
    const QString program = bin + QStringLiteral("/trevalo-run");
    QVERIFY(QFile::copy(QCoreApplication::applicationDirPath() + QStringLiteral("/trevalo-run"), program));
    // The window's settings, in the window's folder: the bench's echo server.
    QVERIFY(QFile::copy(baseArgs().at(1), user + QStringLiteral("/cfg/trevalo.ini")));

    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_DATA_HOME"), data);
    env.insert(QStringLiteral("LD_LIBRARY_PATH"), QCoreApplication::applicationDirPath());
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(root.path());
    p.start(program, {QStringLiteral("--case"), QStringLiteral("3"), QStringLiteral("--cycles"), QStringLiteral("2")});
    QVERIFY(p.waitForFinished(60000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QVERIFY2(p.exitCode() == 0, p.readAllStandardError().constData());

    const RecordFile rec(onlyFile(user + QStringLiteral("/records"), QStringLiteral(".jsonl")));
    QCOMPARE(rec.cycles.size(), 2);
    QCOMPARE(rec.run.value("echoPort").toInt(), int(bench.echoPort()));
    QVERIFY(!onlyFile(user + QStringLiteral("/result"), QStringLiteral(".txt")).isEmpty());
    QVERIFY(!onlyFile(user + QStringLiteral("/log"), QStringLiteral(".log")).isEmpty());
    // Nothing beside the program.
    QCOMPARE(QDir(bin).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("trevalo-run")});
}

void TestRunner::junitFromDamagedRecords()
{
    // Damaged figures and a line cut short by a crash: the report still
    // holds the whole cycles, with no impossible time.
    const QString records = work->filePath(QStringLiteral("damaged.jsonl"));
    QFile file(records);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QVERIFY(file.write("{\"record\":\"cycle\",\"cycle\":1,\"pass\":true,\"durationMs\":1e300}\n"
                       "{\"record\":\"cycle\",\"cycle\":2,\"pass\":false,\"durationMs\":-1e300,"
                       "\"failedLine\":\"Failed!!!ping error!\"}\n"
                       "{\"record\":\"cycle\",\"cycle\":3,\"pa")
            > 0);
    file.close();
    CycleVerdicts verdicts;
    verdicts.addPass();
    verdicts.addFailure(QStringLiteral("pingHost"), QStringLiteral("Failed!!!ping error!"));
    verdicts.addPass();
    JUnitReport report(QStringLiteral("PPPCallTest"), verdicts);
    QVERIFY(report.readRecords(records));
    const QString junit = work->filePath(QStringLiteral("damaged.xml"));
    QVERIFY(report.write(junit, QDateTime::currentDateTime()));

    QFile xmlFile(junit);
    QVERIFY(xmlFile.open(QIODevice::ReadOnly));
    QXmlStreamReader xml(&xmlFile);
    QStringList times;
    while (!xml.atEnd()) {
        if (xml.readNext() == QXmlStreamReader::StartElement && xml.attributes().hasAttribute(QStringLiteral("time")))
            times << xml.attributes().value(QStringLiteral("time")).toString();
    }
    QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
    // The suite and the two cycles on record; the cut one has no time.
    QCOMPARE(times, QStringList({"0.000", "0.000", "0.000"}));
    QCOMPARE(report.cyclesOnRecord(), 2);
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

void TestRunner::sameSecondSavesOfManyProcessesKeepEveryFile()
{
    // Four processes save logs, results and streamed logs under one folder,
    // round after round, released together into the same second each round.
    const QString out = work->filePath(QStringLiteral("out"));
    QVERIFY(QDir().mkpath(out));
    constexpr int processes = 4;
    constexpr int rounds = 100;
    std::vector<std::unique_ptr<QProcess>> hammers;
    for (int i = 0; i < processes; ++i) {
        hammers.push_back(std::make_unique<QProcess>());
        hammers.back()->start(QCoreApplication::applicationDirPath() + QStringLiteral("/file-hammer"),
                              {out, QStringLiteral("2026-07-08T09:10:11")});
        QVERIFY(hammers.back()->waitForStarted());
    }

    // Every file a save was given is its alone and holds its text.
    QSet<QString> given;
    for (int round = 0; round < rounds; ++round) {
        // Written out to all before any answer is awaited.
        for (auto &h : hammers)
            h->write("go\n");
        for (auto &h : hammers)
            QVERIFY(h->waitForBytesWritten(5000));
        for (auto &h : hammers) {
            for (int save = 0; save < 3; ++save) {
                while (!h->canReadLine() && h->waitForReadyRead(20000)) {
                }
                QVERIFY(h->canReadLine());
                const QByteArray line = h->readLine().trimmed();
                QVERIFY2(!line.startsWith("FAILED"), line.constData());
                const QList<QByteArray> f = line.split('\t');
                QVERIFY2(f.size() == 3, line.constData());
                const QString path = QString::fromLocal8Bit(f[0]);
                QVERIFY2(!given.contains(path), qPrintable(QStringLiteral("given twice: ") + path));
                given.insert(path);
                QFile file(QDir(out).filePath(path));
                QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(path));
                const QByteArray held = file.readAll();
                const QByteArray text = QByteArray::fromBase64(f[2]);
                QVERIFY2(f[1] == "=" ? held == text : held.contains(text),
                         qPrintable(path + QStringLiteral(" holds ") + held));
            }
        }
    }
    for (auto &h : hammers) {
        h->closeWriteChannel();
        QVERIFY(h->waitForFinished(10000));
        QCOMPARE(h->exitCode(), 0);
    }
    // Nothing beside them: no file lost its name, no hidden file left over.
    const auto count = [&out](const QString &sub) {
        return QDir(QDir(out).filePath(sub)).entryList(QDir::Files | QDir::Hidden).size();
    };
    QCOMPARE(count(QStringLiteral("log")), 2 * processes * rounds);
    QCOMPARE(count(QStringLiteral("result")), processes * rounds);
}

void TestRunner::runnersSharingAFolderKeepTheirOwnFiles()
{
    // Started together for one short cycle each: they end within moments.
    const QStringList args = baseArgs() + QStringList{"--case", "3", "--cycles", "1", "--quiet"};
    std::vector<std::unique_ptr<QProcess>> runners;
    for (int i = 0; i < 3; ++i) {
        runners.push_back(std::make_unique<QProcess>());
        startRunner(*runners.back(), args);
    }
    QSet<QString> named;
    for (auto &r : runners) {
        QVERIFY(r->waitForFinished(60000));
        QCOMPARE(r->exitCode(), 0);
        const QByteArray summary = r->readAllStandardOutput();
        for (const QByteArray &line : summary.split('\n')) {
            for (const char *label : {"Log: ", "Result: "}) {
                if (!line.startsWith(label))
                    continue;
                const QString path = QString::fromLocal8Bit(line.mid(int(qstrlen(label))));
                QVERIFY2(!named.contains(path), qPrintable(QStringLiteral("named twice: ") + path));
                named.insert(path);
                QFile file(path);
                QVERIFY(file.open(QIODevice::ReadOnly));
                const QByteArray held = file.readAll();
                // Its own: the log ends with its run, the result counts one cycle.
                QVERIFY(label[0] == 'L' ? held.endsWith(" Test is finished!") : held.contains("#Total: 1\r\n"));
            }
        }
    }
    QCOMPARE(named.size(), 6);
    const QString out = work->filePath(QStringLiteral("out"));
    QCOMPARE(QDir(out + QStringLiteral("/log")).entryList(QDir::Files | QDir::Hidden).size(), 3);
    QCOMPARE(QDir(out + QStringLiteral("/result")).entryList(QDir::Files).size(), 3);
}

void TestRunner::settingsFileThatIsNotIniIsSaidAndKept()
{
    const QString settings = work->filePath(QStringLiteral("trevalo.json"));
    const QByteArray text = "{\"HostName\": \"10.0.0.1\", \"HostPort\": 7000}\n";
    QFile file(settings);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(text);
    file.close();
    // A port that is not there ends the run right after the settings are read.
    const Outcome o = run({QStringLiteral("--settings"), settings, QStringLiteral("--out"),
                           work->filePath(QStringLiteral("out")), QStringLiteral("--case"), QStringLiteral("4"),
                           QStringLiteral("--port"), QStringLiteral("/dev/no-such-tty")});
    QCOMPARE(o.exitCode, 2);
    const QList<QByteArray> err = o.err.trimmed().split('\n');
    QCOMPARE(err.size(), 2);
    QVERIFY2(err[0].startsWith("trevalo-run: settings file ") && err[0].contains("trevalo.json is not an INI file"),
             err[0].constData());
    QVERIFY(err[0].contains("default settings used"));
    QCOMPARE(err[1], QByteArray("trevalo-run: no such port: /dev/no-such-tty"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), text);
}

void TestRunner::logKeepsEveryLineOnceWhenTheDiskRefusesWrites()
{
    StreamedLog log(work->path());
    QVERIFY(log.append("first line"));
    const QString part = work->filePath(QStringLiteral("log/") + QDir(work->filePath(QStringLiteral("log")))
                                            .entryList({QStringLiteral(".*.part")}, QDir::Files | QDir::Hidden)
                                            .value(0));
    const auto line = [](int n) { return QByteArray("line ") + QByteArray::number(n) + QByteArray(" of the run"); };

    // Room for a line and a half: the next line is cut in two, the rest refused.
    FileSizeLimit full(rlim_t(QFileInfo(part).size() + 30));
    QVERIFY(full.isSet());
    QVERIFY(log.append(line(2)));
    for (int n = 3; n <= 40; ++n)
        QVERIFY(!log.append(line(n)));
    QVERIFY(log.isFailing());
    QCOMPARE(log.failure(), QStringLiteral("File too large"));
    QVERIFY(log.save(QDateTime::currentDateTime()).isEmpty());

    // Room again: what was held goes first, once, then the note, then the rest.
    full.lift();
    for (int n = 41; n <= 45; ++n)
        QVERIFY(log.append(line(n)));
    QVERIFY(!log.isFailing());
    const QString saved = log.save(QDateTime::currentDateTime());
    QVERIFY(!saved.isEmpty());
    QFile file(work->filePath(saved));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().split('\n');
    QCOMPARE(lines.size(), 46);
    QCOMPARE(lines.first(), QByteArray("first line"));
    for (int n = 2; n <= 40; ++n)
        QCOMPARE(lines.at(n - 1), line(n));
    QVERIFY2(lines.at(40).contains(" Log writing failed at ") && lines.at(40).contains("(File too large) and resumed;"),
             lines.at(40).constData());
    QVERIFY2(lines.at(40).endsWith(" the 38 lines logged meanwhile are above"), lines.at(40).constData());
    for (int n = 41; n <= 45; ++n)
        QCOMPARE(lines.at(n), line(n));
    QCOMPARE(log.lostLines(), 0);

    // A disk full for longer than memory may hold: the excess is counted, not kept.
    StreamedLog small(work->filePath(QStringLiteral("small")), 100);
    QVERIFY(small.append("first line"));
    FileSizeLimit fullAgain(0);
    QVERIFY(fullAgain.isSet());
    for (int n = 2; n <= 20; ++n)
        small.append(line(n));
    fullAgain.lift();
    QVERIFY(small.append(line(21)));
    QVERIFY(small.lostLines() > 0);
    QFile smallFile(work->filePath(QStringLiteral("small/") + small.save(QDateTime::currentDateTime())));
    QVERIFY(smallFile.open(QIODevice::ReadOnly));
    const QByteArray smallText = smallFile.readAll();
    QVERIFY2(smallText.contains(QStringLiteral(", %1 more were lost\n").arg(small.lostLines()).toLatin1()),
             smallText.constData());
    QVERIFY(smallText.endsWith("\n" + line(21)));
}

void TestRunner::filesCutShortAreNotTakenForWritten()
{
    const QDateTime when(QDate(2026, 3, 1), QTime(8, 5, 9));
    const QStringList counts = RunFiles::countLines(9, 1);
    {
        // Files are created, but only their first 30 bytes fit.
        FileSizeLimit full(30);
        QVERIFY(full.isSet());
        QCOMPARE(RunFiles::writeResult(work->path(), QStringLiteral("PPPCallTest"), counts, when), QString());
        // The window's log save, too small to be written before its commit.
        QCOMPARE(RunFiles::saveLog(work->path(), QByteArray(100, 'x'), when), QString());
    }
    // No file cut short is left to be read as the run's result or log.
    QCOMPARE(QDir(work->filePath(QStringLiteral("result"))).entryList(QDir::Files | QDir::Hidden), QStringList());
    QCOMPARE(QDir(work->filePath(QStringLiteral("log"))).entryList(QDir::Files | QDir::Hidden), QStringList());
    const QString name = RunFiles::writeResult(work->path(), QStringLiteral("PPPCallTest"), counts, when);
    QCOMPARE(name, QStringLiteral("result/PPPCallTest.2026-03-01-08-05-09.txt"));
    QFile file(work->filePath(name));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("#Test Case: PPPCallTest\r\n#Total: 10\r\n#PASS: 9\r\n#FAIL: 1\r\n#FPY: 90%\r\n"));
}

void TestRunner::fileNotWrittenWholeSetsTheExitStatus_data()
{
    QTest::addColumn<QString>("folder"); // under the work folder, on a full disk
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QByteArray>("unnamed"); // summary line that must not name a file
    QTest::newRow("log") << QStringLiteral("out/log") << QStringLiteral("cannot write the log file under %1/out")
                         << QByteArray("Log: ");
    QTest::newRow("result") << QStringLiteral("out/result")
                            << QStringLiteral("cannot write the result file under %1/out") << QByteArray("Result: ");
    QTest::newRow("records") << QStringLiteral("out/records")
                             << QStringLiteral("cannot write the record file under %1/out/records")
                             << QByteArray("Records: ");
    QTest::newRow("junit") << QStringLiteral("junit")
                           << QStringLiteral("cannot write the JUnit report %1/junit/report.xml")
                           << QByteArray("JUnit: ");
}

void TestRunner::fileNotWrittenWholeSetsTheExitStatus()
{
    QFETCH(QString, folder);
    QFETCH(QString, reason);
    QFETCH(QByteArray, unnamed);
    const QStringList args = baseArgs()
                             + QStringList{"--case", "3", "--cycles", "2", "--quiet", "--junit",
                                           work->filePath(QStringLiteral("junit/report.xml"))};
    QDir(work->path()).mkpath(QStringLiteral("junit"));
    FullDisk disk(work->filePath(folder));
    if (!disk.isFull())
        QSKIP("no full file system can be made here (needs root and tmpfs)");
    const Outcome o = run(args);
    QCOMPARE(o.status, QProcess::NormalExit);
    // Every cycle passed, yet a file does not hold the run.
    QVERIFY(o.out.contains("Cycles: 2  PASS: 2  FAIL: 0"));
    QVERIFY2(o.exitCode == 4, o.err.constData());
    QVERIFY2(o.err.contains("trevalo-run: " + reason.arg(work->path()).toLocal8Bit() + '\n'), o.err.constData());
    QVERIFY2(!o.out.contains("\n" + unnamed), o.out.constData());
    // Nothing cut short is left under a name that looks whole.
    QCOMPARE(QDir(work->filePath(folder)).entryList({QStringLiteral("*.txt"), QStringLiteral("*.log"),
                                                     QStringLiteral("*.xml")},
                                                    QDir::Files),
             QStringList());
}

void TestRunner::logOnADiskThatFillsAndIsCleaned()
{
    FullDisk disk(work->filePath(QStringLiteral("out/log")));
    if (!disk.isFull())
        QSKIP("no full file system can be made here (needs root and tmpfs)");
    QProcess p;
    startRunner(p, baseArgs() + QStringList{"--case", "3"});
    QByteArray out;
    QByteArray err;
    const auto waitFor = [&](const QByteArray &text) {
        return QTest::qWaitFor([&] {
            p.waitForReadyRead(50);
            out += p.readAllStandardOutput();
            err += p.readAllStandardError();
            return err.contains(text);
        }, 20000);
    };
    const QByteArray dir = work->filePath(QStringLiteral("out")).toLocal8Bit();
    QVERIFY2(waitFor("trevalo-run: cannot write the log under " + dir + " (No space left on device); its lines are held until the disk takes them\n"),
             err.constData());
    // Lines pile up while the disk is full; then it is cleaned.
    const qsizetype heldFrom = out.size();
    QVERIFY(QTest::qWaitFor([&] {
        p.waitForReadyRead(50);
        out += p.readAllStandardOutput();
        return out.mid(heldFrom).count(" =================================") >= 20;
    }, 20000));
    QVERIFY(disk.clean());
    QVERIFY2(waitFor("trevalo-run: writing the log under " + dir + " again\n"), err.constData());
    const qsizetype resumedFrom = out.size();
    QVERIFY(QTest::qWaitFor([&] {
        p.waitForReadyRead(50);
        out += p.readAllStandardOutput();
        return out.mid(resumedFrom).count(" =================================") >= 10;
    }, 20000));
    ::kill(pid_t(p.processId()), SIGTERM);
    QVERIFY(p.waitForFinished(20000));
    out += p.readAllStandardOutput();
    err += p.readAllStandardError();
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QVERIFY2(p.exitCode() == 0, err.constData());
    QCOMPARE(err.count('\n'), 2); // one line when writing failed, one when it resumed

    // The file holds every printed line once, in order, and one note.
    QFile log(onlyFile(work->filePath(QStringLiteral("out/log")), QStringLiteral(".log")));
    QVERIFY(log.open(QIODevice::ReadOnly));
    QList<QByteArray> lines = log.readAll().split('\n');
    int notes = 0;
    for (qsizetype i = lines.size() - 1; i >= 0; --i) {
        if (lines.at(i).contains(" Log writing failed at ")) {
            QVERIFY2(lines.at(i).contains("(No space left on device) and resumed; the "), lines.at(i).constData());
            lines.removeAt(i);
            ++notes;
        }
    }
    QCOMPARE(notes, 1);
    const QList<QByteArray> printed = out.left(out.indexOf("\n\n")).split('\n');
    QCOMPARE(lines.size(), printed.size());
    QVERIFY(lines == printed);
    QVERIFY(lines.last().endsWith(" Test is finished!"));
}

void TestRunner::unreadOutputHoldsUpNeitherRunNorStop()
{
    // Standard output a pipe that this test reads only when it chooses to:
    // unread, it fills after 64 KB, as under nohup over a dead ssh session.
    const QByteArray fifo = QFile::encodeName(work->filePath(QStringLiteral("stdout")));
    QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
    const int pipe = ::open(fifo.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    QVERIFY(pipe >= 0);
    const auto closePipe = qScopeGuard([pipe] { ::close(pipe); });
    QProcess p;
    p.setStandardOutputFile(QFile::decodeName(fifo));
    startRunner(p, baseArgs() + QStringList{"--case", "3"});
    QVERIFY(p.waitForStarted());

    // Full once the bytes waiting stop growing while the run logs on (its
    // pages fill before 64 KB when writes do not fit them).
    const auto waitUntilFull = [pipe] {
        int last = -1;
        QElapsedTimer still;
        return QTest::qWaitFor([&] {
            int waiting = 0;
            if (::ioctl(pipe, FIONREAD, &waiting) != 0)
                return false;
            if (waiting != last) {
                last = waiting;
                still.start();
            }
            return waiting >= 16384 && still.elapsed() >= 1000;
        }, 30000);
    };
    QVERIFY(waitUntilFull());
    // The run goes on behind the full pipe: its log file keeps growing, past
    // what the console may hold for the reader.
    const QDir logDir(work->filePath(QStringLiteral("out/log")));
    const auto partSize = [&] {
        const QStringList parts = logDir.entryList({QStringLiteral(".*.part")}, QDir::Files | QDir::Hidden);
        return parts.size() == 1 ? QFileInfo(logDir.filePath(parts.first())).size() : qint64(-1);
    };
    const qint64 before = partSize();
    QVERIFY(QTest::qWaitFor([&] { return partSize() > before + 2 * 256 * 1024; }, 60000));

    // A reader that comes back is told how many lines it missed.
    QByteArray printed;
    QVERIFY(QTest::qWaitFor([&] {
        char buffer[65536];
        ssize_t n = 0;
        while ((n = ::read(pipe, buffer, sizeof buffer)) > 0)
            printed.append(buffer, n);
        return printed.contains(" lines not shown: the output was not read in time]\n");
    }, 20000));
    // Unread again: Stop must not wait for it.
    QVERIFY(waitUntilFull());

    QElapsedTimer stopping;
    stopping.start();
    ::kill(pid_t(p.processId()), SIGTERM);
    const bool ended = p.waitForFinished(15000);
    if (!ended)
        p.kill();
    QVERIFY2(ended, "the runner did not end on SIGTERM with its output unread");
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 0);
    qInfo("ended %lld ms after SIGTERM", stopping.elapsed());

    const QString out = work->filePath(QStringLiteral("out"));
    const RecordFile rec(onlyFile(out + QStringLiteral("/records"), QStringLiteral(".jsonl")));
    QCOMPARE(rec.end.value("reason").toString(), QStringLiteral("Stop"));
    QCOMPARE(resultCount(onlyFile(out + QStringLiteral("/result"), QStringLiteral(".txt")), QStringLiteral("Total")),
             rec.cycles.size());
    QFile log(onlyFile(out + QStringLiteral("/log"), QStringLiteral(".log")));
    QVERIFY(log.open(QIODevice::ReadOnly));
    QVERIFY(log.readAll().endsWith(" Test is finished!"));
    QCOMPARE(logDir.entryList({QStringLiteral(".*.part")}, QDir::Files | QDir::Hidden), QStringList());
}

void TestRunner::workerWaitsForABusyRunner()
{
    RunOptions options;
    QCOMPARE(options.parse(QStringList{QStringLiteral("trevalo-run")} + baseArgs() + QStringList{"--case", "3"}),
             RunOptions::Run);
    const QString records = work->filePath(QStringLiteral("out/records"));
    const auto cycles = [&] {
        const QString file = onlyFile(records, QStringLiteral(".jsonl"));
        return file.isEmpty() ? 0 : RecordFile(file).cycles.size();
    };
    bool started = false;
    qsizetype held = -1;
    qsizetype later = -1;
    int exitCode = -1;
    {
        // The runner in this process, its console silenced meanwhile.
        const int console = ::dup(1);
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        QVERIFY(console >= 0 && null >= 0);
        ::dup2(null, 1);
        ::close(null);
        const auto restore = qScopeGuard([console] {
            ::dup2(console, 1);
            ::close(console);
        });
        HeadlessRun run(options);
        QSignalSpy finished(&run, &HeadlessRun::finished);
        started = run.start() && QTest::qWaitFor([&] { return cycles() >= 3; }, 20000);
        if (started) {
            // The runner's thread stops taking lines: within a few seconds
            // (case 3 logs a few hundred a second) the worker has 1,000 on
            // their way and waits instead of counting on.
            QThread::msleep(4000);
            held = cycles();
            QThread::msleep(1500);
            later = cycles();
            run.requestStop();
            if (!finished.isEmpty() || finished.wait(20000))
                exitCode = run.exitCode();
        }
    }
    QVERIFY(started);
    QVERIFY(held > 0);
    QCOMPARE(later, held);
    QCOMPARE(exitCode, 0);
}

void TestRunner::metricsMatchTheRecords_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("value");
    // The third exchange comes back wrong: two passes, then a failed cycle
    // that ends the run.
    QTest::newRow("wrong echo") << QStringList{"--case", "ExternalShortShortTest"}
                                << QStringLiteral("echo.corruptAt") << 3;
    // Every dial refused: failed dial-ups counted by their RAS error code.
    QTest::newRow("refused dials") << QStringList{"--case", "PppCallTest", "--cycles", "2"}
                                   << QStringLiteral("dial.refuse") << 633;
}

void TestRunner::metricsMatchTheRecords()
{
    QFETCH(QStringList, args);
    QFETCH(QString, fault);
    QFETCH(int, value);
    if (QStandardPaths::findExecutable(QStringLiteral("promtool")).isEmpty())
        QSKIP("promtool is missing: install Debian's prometheus package (scripts/setup does)");
    QVERIFY(bench.setFault(fault, value));
    const QString metrics = work->filePath(QStringLiteral("metrics"));
    QVERIFY(QDir().mkpath(metrics));
    const Outcome o = run(baseArgs() + args + QStringList{"--metrics", metrics, "--bench", "bench-7_a"});
    QCOMPARE(o.status, QProcess::NormalExit);
    QCOMPARE(o.exitCode, 1);
    QVERIFY2(!o.err.contains("metrics"), o.err.constData());

    // Only the file itself in the folder: no temporary file left behind.
    QCOMPARE(QDir(metrics).entryList(QDir::Files | QDir::Hidden), QStringList{"trevalo_bench-7_a.prom"});
    QFile file(QDir(metrics).filePath(QStringLiteral("trevalo_bench-7_a.prom")));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    const QString complaints = promtoolComplaints(text);
    QVERIFY2(complaints.isEmpty(), qPrintable(complaints));

    const RecordFile rec(onlyFile(work->filePath(QStringLiteral("out/records")), QStringLiteral(".jsonl")));
    QVERIFY(rec.cycles.size() >= 2);
    const QString tag = rec.run.value("case").toString();
    const QString l = QStringLiteral("bench=\"bench-7_a\",case=\"%1\"").arg(tag);
    int passes = 0;
    QHash<QString, int> failedSteps;
    QHash<int, int> rasErrors;
    int dials = 0;
    for (const QJsonObject &c : rec.cycles) {
        if (c.value("pass").toBool())
            ++passes;
        else
            ++failedSteps[c.value("failedStep").toString()];
        if (c.value("failedStep").toString() == QLatin1String("dialUpPpp"))
            ++rasErrors[c.value("rasError").toInt()];
        if (c.contains("dialUpMs"))
            ++dials;
    }
    const QHash<QString, double> m = metricSamples(text);
    const auto at = [&m, &l](const char *name, const QString &more = QString()) {
        const QString key = QStringLiteral("%1{%2%3}").arg(QLatin1String(name), l, more.isEmpty() ? QString() : ',' + more);
        return m.value(key, -1);
    };
    QVERIFY2(at("trevalo_cycles_total") == rec.cycles.size(), text.constData());
    QCOMPARE(at("trevalo_run_cycles"), double(rec.cycles.size()));
    QCOMPARE(at("trevalo_run_passes"), double(passes));
    QCOMPARE(at("trevalo_run_fpy_ratio"), double(passes) / rec.cycles.size());
    QCOMPARE(at("trevalo_run_active"), 0.0);
    QVERIFY(!failedSteps.isEmpty());
    for (auto it = failedSteps.cbegin(); it != failedSteps.cend(); ++it)
        QCOMPARE(at("trevalo_cycle_failures_total", QStringLiteral("step=\"%1\"").arg(it.key())), double(it.value()));
    for (auto it = rasErrors.cbegin(); it != rasErrors.cend(); ++it)
        QCOMPARE(at("trevalo_dial_failures_total", QStringLiteral("code=\"%1\"").arg(it.key())), double(it.value()));
    if (fault == QLatin1String("dial.refuse"))
        QCOMPARE(rasErrors.value(633), rec.cycles.size());
    QCOMPARE(at("trevalo_cycle_duration_seconds_count"), double(rec.cycles.size()));
    QCOMPARE(at("trevalo_cycle_duration_seconds_bucket", QStringLiteral("le=\"+Inf\"")), double(rec.cycles.size()));
    QCOMPARE(at("trevalo_dial_up_seconds_count"), double(dials));
    // The run's own details stay on the info series.
    const QString info = QStringLiteral("trevalo_run_info{%1,version=\"%2\",port=\"%3\",board=\"\",run=\"%4\",records=\"%5\"}")
                             .arg(l, rec.run.value("version").toString(), rec.run.value("port").toString(),
                                  QFileInfo(onlyFile(work->filePath(QStringLiteral("out/records")), QStringLiteral(".jsonl")))
                                      .completeBaseName().section(QLatin1Char('.'), 1),
                                  QFileInfo(onlyFile(work->filePath(QStringLiteral("out/records")), QStringLiteral(".jsonl"))).fileName());
    QVERIFY2(m.value(info) == 1, qPrintable(info + QLatin1Char('\n') + QString::fromUtf8(text)));
    const double started = at("trevalo_run_start_timestamp_seconds");
    const double last = at("trevalo_run_last_cycle_timestamp_seconds");
    QVERIFY(started > 1.7e9 && last >= started - 1 && last <= QDateTime::currentSecsSinceEpoch() + 1);
}

void TestRunner::metricsFileIsNeverSeenHalfWritten()
{
    // The long-long case counts about a hundred cycles a second; the file is
    // replaced five times a second while this reads it as fast as it can.
    const QString metrics = work->filePath(QStringLiteral("metrics"));
    QVERIFY(QDir().mkpath(metrics));
    const QString path = QDir(metrics).filePath(QStringLiteral("trevalo_fast.prom"));
    QProcess p;
    startRunner(p, baseArgs() + QStringList{"--case", "3", "--duration", "3s", "--quiet", "--metrics", metrics,
                                            "--bench", "fast"});
    QVERIFY(p.waitForStarted());
    int reads = 0;
    QSet<double> cyclesSeen;
    while (p.state() != QProcess::NotRunning) {
        QFile f(path);
        if (f.open(QIODevice::ReadOnly)) {
            const QByteArray text = f.readAll();
            ++reads;
            // Whole: it ends with the last series and its line feed.
            const int lastLine = text.lastIndexOf('\n', text.size() - 2) + 1;
            const QByteArray last = text.mid(lastLine);
            QVERIFY2(text.endsWith('\n')
                         && (last.startsWith("trevalo_run_info{")
                             || (!text.contains("trevalo_run_info") && last.startsWith("trevalo_run_active{"))),
                     qPrintable(QStringLiteral("read %1: %2").arg(reads).arg(QString::fromUtf8(text.right(200)))));
            cyclesSeen.insert(metricSamples(text).value(
                QStringLiteral("trevalo_cycles_total{bench=\"fast\",case=\"ExternalLongLongTest\"}")));
        } else {
            QVERIFY2(reads == 0, "the file went away between two writes");
        }
        p.waitForFinished(1);
    }
    QCOMPARE(p.exitCode(), 0);
    // It was read while it changed, many times over.
    QVERIFY2(reads > 100 && cyclesSeen.size() >= 10,
             qPrintable(QStringLiteral("%1 reads, %2 counts").arg(reads).arg(cyclesSeen.size())));
}

void TestRunner::unwritableMetricsFolderLetsTheRunGoOn()
{
    // A folder that refuses files: one line on standard error, the run as always.
    const Outcome o = run(baseArgs() + QStringList{"--case", "3", "--cycles", "5", "--metrics", "/proc", "--bench", "b7"});
    QCOMPARE(o.status, QProcess::NormalExit);
    QCOMPARE(o.exitCode, 0);
    QCOMPARE(o.err, QByteArray("trevalo-run: cannot write the metrics file /proc/trevalo_b7.prom\n"));
    QCOMPARE(cyclesOnRecord(), 5);
}

void TestRunner::peerFileIsLookedForWherePppdDials()
{
    // The virtual bench dials without peer files: any well-formed peer runs.
    Outcome o = run(baseArgs() + QStringList{"--case", "0", "--ppp-peer", "chip1", "--cycles", "1", "--quiet"});
    QCOMPARE(o.status, QProcess::NormalExit);
    QCOMPARE(o.exitCode, 0);

    // Where pppd dials, a peer without its file is refused before anything
    // is dialled or written.
    const QByteArray benchEnv = qgetenv("TREVALO_BENCH");
    qunsetenv("TREVALO_BENCH");
    const QString out = work->filePath(QStringLiteral("nopeer"));
    o = run(QStringList{"--out", out, "--case", "0", "--ppp-peer", "trevalo-no-such-peer", "--cycles", "1"});
    qputenv("TREVALO_BENCH", benchEnv);
    QCOMPARE(o.exitCode, 2);
    QCOMPARE(QString::fromLocal8Bit(o.err.trimmed()),
             QStringLiteral("trevalo-run: no pppd peer file /etc/ppp/peers/trevalo-no-such-peer (one per modem: copy "
                            "the sample peer and set its port line)"));
    QVERIFY(!QFileInfo::exists(out));

    // The check looks at the peer the run would dial: the settings' PppPeer,
    // unless --ppp-peer names another.
    const QString ini = work->filePath(QStringLiteral("peer.ini"));
    QFile file(ini);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[trevalo]\nPppPeer=trevalo-no-such-peer\n");
    file.close();
    const auto peerLine = [](const QByteArray &out) {
        for (const QByteArray &line : out.split('\n'))
            if (line.contains(" peer file: "))
                return QString::fromLocal8Bit(line);
        return QString();
    };
    qunsetenv("TREVALO_BENCH");
    o = run({"--check", "--settings", ini});
    const Outcome other = run({"--check", "--settings", ini, "--ppp-peer", "trevalo-other-peer"});
    qputenv("TREVALO_BENCH", benchEnv);
    QCOMPARE(o.exitCode, 1);
    QVERIFY2(peerLine(o.out).startsWith("FAIL  peer file: /etc/ppp/peers/trevalo-no-such-peer does not exist - copy "),
             o.out.constData());
    QVERIFY2(peerLine(o.out).contains("/ppp/peers/chip2 to /etc/ppp/peers/trevalo-no-such-peer"), o.out.constData());
    QVERIFY2(peerLine(other.out).contains("/etc/ppp/peers/trevalo-other-peer does not exist"), other.out.constData());
}

void TestRunner::stepsFileRunsAsACase()
{
    const auto write = [this](const QString &name, const QByteArray &text) {
        QFile f(work->filePath(name));
        return f.open(QIODevice::WriteOnly) && f.write(text) == text.size() ? f.fileName() : QString();
    };
    // Refused before anything is switched: one line with where and what.
    const QString bad = write(QStringLiteral("bad.yml"), "name: Lab\ntag: Lab\ncycle:\n  - power_on\n  - wait: 10 parsecs\n");
    const Outcome refused = run(baseArgs() + QStringList{QStringLiteral("--steps"), bad});
    QCOMPARE(refused.exitCode, 2);
    QCOMPARE(QString::fromLocal8Bit(refused.err),
             QStringLiteral("trevalo-run: bad.yml:5:11: wait: \"10 parsecs\" is not a time (500ms, 2s, 1.5min, 1h)\n"));
    QVERIFY(!QFileInfo::exists(work->filePath(QStringLiteral("out"))));
    QVERIFY(!bench.chipPowered());

    const QByteArray text = "name: Lab test\ntag: Lab\nsetup: [open_port]\ncycle:\n"
                            "  - power_on\n"
                            "  - wait_for: {expect: 'CREG: 1', timeout: 20s, capture: {reg: 'CREG: (\\d)'}}\n"
                            "  - at: {name: 'says \"OK\"', command: AT, expect: OK, timeout: 2s}\n"
                            "  - power_off\n";
    const QString good = write(QStringLiteral("lab.yml"), text);
    const QString metrics = work->filePath(QStringLiteral("metrics"));
    QVERIFY(QDir().mkpath(metrics));
    const Outcome o = run(baseArgs() + QStringList{QStringLiteral("--steps"), good, QStringLiteral("--cycles"),
                                                   QStringLiteral("2"), QStringLiteral("--metrics"), metrics,
                                                   QStringLiteral("--bench"), QStringLiteral("b1")});
    QCOMPARE(o.exitCode, 0);
    // The captured number as a gauge of the last cycle.
    QFile promFile(QDir(metrics).filePath(QStringLiteral("trevalo_b1.prom")));
    QVERIFY(promFile.open(QIODevice::ReadOnly));
    const QByteArray prom = promFile.readAll();
    QVERIFY2(prom.contains("\ntrevalo_captured_reg{bench=\"b1\",case=\"Lab\"} 1\n"), prom.constData());
    // Failures count by the file's step names, each series there from 0.
    for (const char *step : {"waitAtResponse", "says \\\"OK\\\""})
        QVERIFY2(prom.contains(QByteArray("\ntrevalo_cycle_failures_total{bench=\"b1\",case=\"Lab\",step=\"") + step + "\"} 0\n"),
                 prom.constData());
    QVERIFY2(o.out.contains("Lab: cycle limit"), o.out.constData());
    const QString out = work->filePath(QStringLiteral("out"));
    QVERIFY(QFileInfo(onlyFile(out + QStringLiteral("/result"), QStringLiteral(".txt"))).fileName().startsWith("Lab."));
    const RecordFile rec(onlyFile(out + QStringLiteral("/records"), QStringLiteral(".jsonl")));
    QCOMPARE(rec.run.value("case").toString(), QStringLiteral("Lab"));
    QCOMPARE(rec.run.value("stepsFile").toString(), QStringLiteral("lab.yml"));
    QCOMPARE(rec.run.value("stepsSha256").toString(),
             QString::fromLatin1(QCryptographicHash::hash(text, QCryptographicHash::Sha256).toHex()));
    QCOMPARE(rec.cycles.size(), 2);
    for (const QJsonObject &c : rec.cycles)
        QCOMPARE(c.value("values").toObject(), (QJsonObject{{"reg", 1}}));
}

void TestRunner::runsOnOneBoardKeepToTheirChannels()
{
    const auto boardStatus = [this] {
        const QJsonArray boards = bench.state().value(QStringLiteral("boards")).toArray();
        for (const QJsonValue &b : boards)
            if (b.toObject().value(QStringLiteral("serial")).toString() == QLatin1String("RUN01"))
                return int(b.toObject().value(QStringLiteral("status")).toDouble());
        return -1;
    };
    const QString out2 = work->filePath(QStringLiteral("out2"));
    // The sleep-wake case holds channel 2 on for minutes, on an AT port of
    // its own so that it cannot take the other run's chip's lines.
    PseudoTerminal silentChip;
    QProcess holder;
    startRunner(holder, baseArgs() + QStringList{"--out", out2, "--case", "5", "--channel", "2", "--port",
                                                 silentChip.slavePath(), "--quiet"});
    const auto cleanup = qScopeGuard([&] {
        holder.kill();
        holder.waitForFinished();
        bench.setRelay(QStringLiteral("RUN01"), 2, false);
    });
    QTRY_VERIFY_WITH_TIMEOUT(boardStatus() == 2, 15000);

    // The chip on channel 1 goes through its cycles; channel 2 stays on
    // throughout, however often channel 1 is switched.
    QProcess cycling;
    startRunner(cycling, baseArgs() + QStringList{"--case", "4", "--channel", "1", "--cycles", "2", "--quiet"});
    int samples = 0;
    bool channel1Seen = false;
    while (!cycling.waitForFinished(20)) {
        const int status = boardStatus();
        QVERIFY2(status & 2, qPrintable(QStringLiteral("channel 2 went off: status %1").arg(status)));
        channel1Seen = channel1Seen || (status & 1);
        QVERIFY(++samples < 2000);
    }
    QCOMPARE(cycling.exitStatus(), QProcess::NormalExit);
    QCOMPARE(cycling.exitCode(), 0);
    QVERIFY(channel1Seen);
    QCOMPARE(boardStatus(), 2);

    // A third run on the held channel is refused before it switches anything.
    Outcome o = run(baseArgs() + QStringList{"--case", "5", "--channel", "2"});
    QCOMPARE(o.exitCode, 2);
    QCOMPARE(QString::fromLocal8Bit(o.err.trimmed()),
             QStringLiteral("trevalo-run: relay channel 2 of board RUN01 is held by another run (pid %1)")
                 .arg(holder.processId()));
    QCOMPARE(boardStatus(), 2);

    // A holder that dies outright gives its channel up.
    holder.kill();
    QVERIFY(holder.waitForFinished());
    o = run(baseArgs() + QStringList{"--case", "5", "--channel", "2", "--port", silentChip.slavePath(),
                                     "--duration", "300ms", "--quiet"});
    QCOMPARE(o.status, QProcess::NormalExit);
    QCOMPARE(o.exitCode, 3); // ended before a cycle was counted, but it ran
}

QTEST_GUILESS_MAIN(TestRunner)
#include "tst_runner.moc"

void TestRunner::reportOfTheRunAndOfItsRecords()
{
    // The third echo comes back changed: the short-short case fails it and gives up.
    QVERIFY(bench.setFault(QStringLiteral("echo.corruptAt"), 3));
    const QString html = work->filePath(QStringLiteral("run.html"));
    const Outcome o = run(baseArgs() + QStringList{"--case", "1", "--cycles", "6", "--quiet", "--bench", "bench_7",
                                                   "--report", html});
    QCOMPARE(o.status, QProcess::NormalExit);
    QCOMPARE(o.exitCode, 1);
    QVERIFY2(o.out.contains("\nReport: " + html.toLocal8Bit() + "\n"), o.out.constData());
    const QString records = onlyFile(work->filePath(QStringLiteral("out/records")), QStringLiteral(".jsonl"));
    const RecordFile rec(records);
    QCOMPARE(rec.brokenLines, 0);
    QCOMPARE(rec.run.value("bench").toString(), QStringLiteral("bench_7"));

    QCOMPARE(ReportPage::xmllintComplaints(html), QString());
    const ReportPage page(html);
    QVERIFY2(page.parseError.isEmpty(), qPrintable(page.parseError));
    QList<QJsonObject> failed;
    for (const QJsonObject &c : rec.cycles)
        if (!c.value("pass").toBool())
            failed << c;
    QVERIFY(!failed.isEmpty());
    const QStringList counts = RunFiles::countLines(rec.cycles.size() - failed.size(), failed.size());
    QCOMPARE(page.text("count-total"), counts.at(0));
    QCOMPARE(page.text("count-fail"), counts.at(2));
    QCOMPARE(page.text("count-fpy"), counts.at(3));
    QCOMPARE(page.text("fact-reason"), rec.end.value("reason").toString());
    QCOMPARE(page.text("fact-bench"), QStringLiteral("bench_7"));
    QCOMPARE(page.text("dialUpMs-count"), QString::number(rec.cycles.size()));
    const QList<QStringList> rows = page.tables.value("failed").mid(1);
    QCOMPARE(rows.size(), failed.size());
    QCOMPARE(rows.first().at(2), failed.first().value("failedStep").toString());
    QCOMPARE(rows.first().at(4), failed.first().value("failedLine").toString());
    // The failed cycle's log, from its separator to its red line, out of the log file.
    const QString excerpt = page.text(QStringLiteral("excerpt-%1").arg(failed.first().value("cycle").toInt()));
    QVERIFY2(excerpt.contains(" =================================\n") && excerpt.contains(" Send data to server...\n")
                 && excerpt.contains(" " + failed.first().value("failedLine").toString() + "\n"),
             qPrintable(excerpt));
    QVERIFY(page.problems.isEmpty());

    // Any time later, from the records alone: the same report.
    const QString again = work->filePath(QStringLiteral("again.html"));
    const Outcome later = run({QStringLiteral("--report"), again, QStringLiteral("--from"), records});
    QCOMPARE(later.exitCode, 0);
    QCOMPARE(later.out, "Report: " + again.toLocal8Bit() + "\n");
    QCOMPARE(ReportPage(again).byId, page.byId);
    QCOMPARE(ReportPage(again).tables, page.tables);

    // Its log files gone: the report says so and shows the rest.
    QVERIFY(QDir(work->path()).rename(QStringLiteral("out/log"), QStringLiteral("out/log-moved")));
    const QString noLog = work->filePath(QStringLiteral("nolog.html"));
    const Outcome gone = run({QStringLiteral("--report"), noLog, QStringLiteral("--from"), records});
    QCOMPARE(gone.exitCode, 0);
    QVERIFY2(gone.err.contains("were not found"), gone.err.constData());
    const ReportPage partial(noLog);
    QVERIFY(partial.says({QStringLiteral("log lines of %1 failed cycle(s) were not found").arg(failed.size())}));
    QCOMPARE(partial.tables.value("failed"), page.tables.value("failed"));
    QCOMPARE(partial.text("count-total"), page.text("count-total"));
    QVERIFY(!partial.byId.contains(QStringLiteral("excerpt-%1").arg(failed.first().value("cycle").toInt())));

    // What a browser makes of it.
    if (ReportPage::browser().isEmpty())
        QSKIP("chromium is not installed (scripts/setup installs it)");
    const QString png = work->filePath(QStringLiteral("run.png"));
    const QString why = ReportPage::render(html, png, 1000, 1400);
    QVERIFY2(why.isEmpty(), qPrintable(why));
    const QImage shot(png);
    QCOMPARE(shot.size(), QSize(1000, 1400));
    // The failed cycles' red and the dial-up chart's blue are drawn.
    int red = 0;
    int blue = 0;
    for (int y = 0; y < shot.height(); y += 2)
        for (int x = 0; x < shot.width(); x += 2) {
            const QColor c = shot.pixelColor(x, y);
            red += c.red() > 180 && c.green() < 60 && c.blue() < 60 ? 1 : 0;
            blue += c.blue() > 180 && c.red() < 80 && c.green() < 150 ? 1 : 0;
        }
    QVERIFY2(red > 20 && blue > 5, qPrintable(QStringLiteral("red %1, blue %2").arg(red).arg(blue)));
}
