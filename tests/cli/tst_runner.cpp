// trevalo-run as a separate process against a virtual bench: its exit
// statuses and one-line reasons, the run limits, the files it leaves after
// a signal or a kill, its JUnit report, where an installed copy keeps its
// files and what it tells systemd.
#include "BenchProcess.h"
#include "CycleVerdicts.h"
#include "RecordFile.h"
#include "ServiceNotifier.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QXmlStreamReader>

#include <QThread>

#include <csignal>
#include <cstddef>
#include <cstring>
#include <functional>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

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
    void runsWithoutADisplay();

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
    row("no folder for the report", {"--case", "3", "--junit", "/no/such/dir/report.xml"},
        "no folder for the JUnit report: /no/such/dir/report.xml");
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
    QTest::newRow("cycles") << QStringList{"--case", "ExternalLongLongTest", "--cycles", "5"}
                            << QStringLiteral("127.0.0.1") << 0 << 5 << 0 << QStringLiteral("cycle limit");
    QTest::newRow("max failures") << QStringList{"--case", "0", "--max-failures", "2"} << QStringLiteral("-q") << 1
                                  << 2 << 2 << QStringLiteral("failure limit");
    QTest::newRow("duration") << QStringList{"--case", "3", "--duration", "2s"} << QStringLiteral("127.0.0.1") << 0
                              << -1 << 0 << QStringLiteral("duration limit");
    // The chip's ten powered minutes outlast the run: nothing counted is no pass.
    QTest::newRow("duration before the first cycle")
        << QStringList{"--case", "SleepWakePPPTest", "--duration", "2s"} << QStringLiteral("127.0.0.1") << 3 << 0 << 0
        << QStringLiteral("duration limit");
}

void TestRunner::limitsEndTheRun()
{
    QFETCH(QStringList, args);
    QFETCH(QString, pingHost);
    QFETCH(int, exitCode);
    QFETCH(int, total);
    QFETCH(int, fail);
    QFETCH(QString, reason);
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
    QByteArray printed;
    QVERIFY(QTest::qWaitFor([&] {
        p.waitForReadyRead(100);
        printed += p.readAllStandardOutput();
        return printed.contains("=================================");
    }, 20000));
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
    QByteArray printed;
    QVERIFY(QTest::qWaitFor([&] {
        p.waitForReadyRead(100);
        printed += p.readAllStandardOutput();
        return printed.contains("=================================");
    }, 20000));

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
