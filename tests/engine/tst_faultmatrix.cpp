// Every bench fault against every case it can touch, each as a short run of
// the worker. The cycle results, the record file, the result file and the
// red lines must agree with each other and with what the fault causes; a run
// leaves no file descriptor, thread, child process, dial, connection or
// powered chip behind; and a Stop in the middle of the faulted step ends the
// run at once, the cycle it cut counting nothing.
#include "BenchClient.h"
#include "BenchWorkerTest.h"
#include "RecordFile.h"
#include "RunFiles.h"
#include "SocketMannger.h"
#include "TestCases.h"
#include "WorkerTexts.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <memory>
#include <utility>

#include <dirent.h>
#include <unistd.h>

using namespace WorkerText;

namespace {

enum Case { Call = 0, ShortShort, LongShort, LongLong, Register, SleepWake };

// What the Stop pass may count for the cycle it lands in.
enum class StopCounts {
    Nothing, // the cut cycle counts nothing
    Failure, // the faulted step fails although the Stop is pending: a counted failure
    Either,  // whether the failure or the Stop comes first is a race of the two
};

struct Row
{
    QString tag;
    QJsonObject faults;
    // Set after the first counted cycle, from the worker thread, which then
    // waits until its connection has seen the server go.
    QJsonObject serverGoes;
    int caseIndex = 0;
    int cycles = 0;          // the run's cycle limit; 0: the run ends by itself
    QString verdicts;        // the counted cycles in order, P or F
    QString failedStep;      // of every failed cycle
    QString failedLine;      // and its red line
    int rasError = 0;        // of every failed cycle; 0: none on record
    QStringList failedCycle; // the worker's lines of the first failed cycle up to its result; empty: not checked
    QString endLine;         // red line outside the counted cycles that ends the run; empty: none
    QStringList tail;        // the worker's last lines of the run (data left out); empty: not checked
    QString endReason;       // the records' end reason when not the limit's or "gave up"
    QString figure;          // a figure every counted cycle carries, at least atLeast
    int atLeast = 0;
    // The Stop pass: the line at which Stop is pressed and what is counted.
    QString stopLine;
    bool stopInWorker = false; // raised in the worker thread at the line, so it is pending when the next step begins
    StopCounts stopCounts = StopCounts::Nothing;
    QString stopVerdicts; // counted before the cycle the Stop lands in
    QStringList stopTail;  // the last lines of the stopped run; empty: not checked
    QString stopEndReason; // the records' end reason of the stopped run when not "Stop"

    QString reason() const
    {
        if (!endReason.isEmpty())
            return endReason;
        return cycles > 0 && verdicts.size() == cycles ? QStringLiteral("cycle limit") : QStringLiteral("gave up");
    }
};

const QString Running = QStringLiteral("Running...");
const QString DialStarted = QStringLiteral("Try to open the port ... ...");
const QString Authenticating = QStringLiteral("Try to Authenticate the usr/pwd ...");
const QString Sent = QStringLiteral("[send] ");
const QString RegisteredData = QStringLiteral("\r\n+CREG: 1");

QString caseName(int caseIndex)
{
    static const char *const names[] = {"call", "short-short", "long-short", "long-long", "register", "sleep-wake"};
    return QString::fromLatin1(names[caseIndex]);
}

// The dial faults that fail a dial, the same way in every case that dials.
// stopLine empty: the dial is refused at once.
void addFailedDials(QVector<Row> &t, const QString &name, const QJsonObject &faults, int rasError, int cycles,
                    const QStringList &dialLines, const QString &stopLine, bool stopInWorker)
{
    for (const int c : {Call, ShortShort, LongShort, LongLong, SleepWake}) {
        Row r;
        r.tag = name + QStringLiteral(", ") + caseName(c);
        r.faults = faults;
        r.caseIndex = c;
        r.failedStep = QStringLiteral("dialUpPpp");
        r.failedLine = DialFailed;
        r.rasError = rasError;
        if (c == LongShort || c == LongLong) {
            r.endLine = DialFailed; // the run's one dial: nothing counted
            r.tail = dialLines.mid(dialLines.indexOf(DialFailed)) + QStringList{Finished};
        } else if (c == ShortShort) {
            r.verdicts = QStringLiteral("FFF");
            r.endLine = PppOrTcpGaveUp;
        } else {
            r.cycles = cycles;
            r.verdicts = QString(cycles, QLatin1Char('F'));
        }
        if (c == Call || c == ShortShort)
            r.failedCycle = QStringList{Separator} + dialLines;
        else if (c == SleepWake)
            r.failedCycle = QStringList{Separator, PowerOn, PowerOff} + dialLines;
        if (!stopLine.isEmpty()) {
            // A dial that waits for its progress is cut short by the Stop,
            // and hangs up what it began.
            r.stopLine = stopLine;
            r.stopInWorker = stopInWorker;
            r.stopTail = QStringList{ClosePpp, Closed, Finished};
        } else if (c == LongShort || c == LongLong) {
            // Refused at once while the Stop is pending: the run ends before a cycle.
            r.stopLine = Running;
            r.stopInWorker = true;
        } else {
            // Refused at once while the Stop is pending: the failure counts.
            r.stopLine = c == SleepWake ? PowerOff : Separator;
            r.stopInWorker = true;
            r.stopCounts = StopCounts::Failure;
        }
        t << r;
    }
}

// Dial faults under which every cycle passes.
void addPassingDials(QVector<Row> &t, const QString &name, const QJsonObject &faults, int dialUpAtLeast)
{
    for (const int c : {Call, ShortShort, LongShort, LongLong, SleepWake}) {
        Row r;
        r.tag = name + QStringLiteral(", ") + caseName(c);
        r.faults = faults;
        r.caseIndex = c;
        // A passing ping takes three seconds.
        r.cycles = c == Call || c == SleepWake ? 1 : 2;
        r.verdicts = QString(r.cycles, QLatin1Char('P'));
        if (dialUpAtLeast > 0 && c != LongShort && c != LongLong) {
            r.figure = QStringLiteral("dialUpMs");
            r.atLeast = dialUpAtLeast;
        }
        if (dialUpAtLeast > 0) {
            r.stopLine = DialStarted; // in the slow dial
        } else if (c == Call) {
            r.stopLine = QStringLiteral("ping 127.0.0.1..."); // in the ping on a dropped line
        } else if (c == SleepWake) {
            r.stopLine = DialOk;
            r.stopInWorker = true;
        } else {
            r.stopLine = SendData; // in the exchange on a dropped line
            r.stopInWorker = true;
        }
        t << r;
    }
}

void addEcho(QVector<Row> &t, const QString &name, const QJsonObject &faults, const QString &verdicts,
             const QString &failedLine, const QString &stopLine, bool stopInWorker)
{
    for (const int c : {ShortShort, LongShort, LongLong}) {
        Row r;
        r.tag = name + QStringLiteral(", ") + caseName(c);
        r.faults = faults;
        r.caseIndex = c;
        r.verdicts = verdicts;
        if (failedLine.isEmpty()) {
            r.cycles = int(verdicts.size());
        } else {
            // A wrong or missing echo ends the run with its cycle.
            r.failedStep = QStringLiteral("checkReceive");
            r.failedLine = failedLine;
            r.tail = QStringList{failedLine, CloseSocket, ClosePpp, Closed, Finished};
            if (c == LongLong)
                r.failedCycle = QStringList{Separator, SendData, failedLine};
            else if (c == LongShort)
                r.failedCycle = QStringList{Separator, ConnectServer, SendData, failedLine};
        }
        r.stopLine = stopLine;
        r.stopInWorker = stopInWorker;
        r.stopTail = QStringList{CloseSocket, ClosePpp, Closed, Finished};
        t << r;
    }
}

void addRelay(QVector<Row> &t, const QString &fault, const QString &failedLine)
{
    for (const int c : {Register, SleepWake}) {
        Row r;
        r.tag = fault + QStringLiteral(", ") + caseName(c);
        r.faults = {{fault, true}};
        r.caseIndex = c;
        r.cycles = 2;
        r.verdicts = QStringLiteral("FF");
        r.failedStep = QStringLiteral("powerOnChip");
        r.failedLine = failedLine;
        r.failedCycle = QStringList{Separator, PowerOn, failedLine};
        // The power-up fails at once, the Stop pending: the failure counts.
        r.stopLine = PowerOn;
        r.stopInWorker = true;
        r.stopCounts = StopCounts::Failure;
        t << r;
    }
}

const QVector<Row> &matrix()
{
    static const QVector<Row> table = [] {
        QVector<Row> t;
        const QStringList refused{DialFailed};
        // Slowed down so that the failure comes well after the Stop.
        const int slow = 50;
        const QString connecting = QStringLiteral("PPP Connecting...");
        const QString deviceConnected = QStringLiteral("Have connected to the device");
        addFailedDials(t, QStringLiteral("dial.refuse"), {{"dial.refuse", 633}}, 633, 2, refused, QString(), true);
        addFailedDials(t, QStringLiteral("dial.refuseHeld"), {{"dial.refuse", 633}, {"dial.refuseHeld", true}}, 633, 2,
                       refused, QString(), true);
        addFailedDials(t, QStringLiteral("dial.failAt"), {{"dial.failAt", 2}, {"dial.slowMs", slow}}, 678, 2,
                       {DialStarted, connecting, DialFailed, ClosePpp, Closed}, DialStarted, true);
        addFailedDials(t, QStringLiteral("dial.failCode"),
                       {{"dial.failAt", 3}, {"dial.failCode", 700}, {"dial.slowMs", slow}}, 700, 2,
                       {DialStarted, connecting, DialFailed, ClosePpp, Closed}, DialStarted, true);
        addFailedDials(t, QStringLiteral("dial.disconnect"), {{"dial.disconnect", true}, {"dial.slowMs", slow}}, 0, 2,
                       {DialStarted, connecting, deviceConnected, connecting, Authenticating,
                        QStringLiteral("Authenticate Ok"), DialFailed, ClosePpp, Closed},
                       DialStarted, true);
        // Stuck until the dial's own bound; the Stop comes while it waits.
        addFailedDials(t, QStringLiteral("dial.hang"), {{"dial.hang", true}, {"dial.slowMs", 20}}, 0, 1,
                       {DialStarted, connecting, deviceConnected, connecting, Authenticating, DialFailed, ClosePpp,
                        Closed},
                       Authenticating, false);
        addPassingDials(t, QStringLiteral("dial.slowMs"), {{"dial.slowMs", 60}}, 8 * 60);
        addPassingDials(t, QStringLiteral("dial.dropAfterMs"), {{"dial.dropAfterMs", 100}}, 0);

        addEcho(t, QStringLiteral("echo.corruptAt"), {{"echo.corruptAt", 2}}, QStringLiteral("PF"), WrongData, SendData, true);
        addEcho(t, QStringLiteral("echo.drop"), {{"echo.drop", true}}, QStringLiteral("F"), NoData, Sent, false);
        addEcho(t, QStringLiteral("echo.extra"), {{"echo.extra", 3}}, QStringLiteral("F"), WrongData, SendData, true);
        addEcho(t, QStringLiteral("echo.split"), {{"echo.split", 4}}, QStringLiteral("PP"), QString(), SendData, true);
        addEcho(t, QStringLiteral("echo.delayMs"), {{"echo.delayMs", 400}}, QStringLiteral("PP"), QString(), Sent, false);
        addEcho(t, QStringLiteral("echo.close"), {{"echo.close", true}}, QStringLiteral("F"), NoData, Sent, false);
        for (Row &r : t)
            if (r.faults.contains(QStringLiteral("echo.delayMs"))) {
                r.figure = QStringLiteral("durationMs");
                r.atLeast = 350;
            }
        // The server is down: connections are refused.
        for (const int c : {ShortShort, LongShort, LongLong}) {
            Row r;
            r.tag = QStringLiteral("echo.down, ") + caseName(c);
            r.faults = {{"echo.down", true}};
            r.caseIndex = c;
            r.failedStep = QStringLiteral("connectServer");
            r.failedLine = ConnectFailed;
            r.verdicts = c == LongLong ? QString() : QStringLiteral("FFF");
            r.endLine = c == LongLong ? ConnectFailed : c == LongShort ? TcpGaveUp : PppOrTcpGaveUp;
            if (c == LongShort)
                r.failedCycle = QStringList{Separator, ConnectServer, ConnectFailed};
            // The line is hung up before the run gives up, or after.
            if (c == ShortShort)
                r.tail = QStringList{ClosePpp, Closed, PppOrTcpGaveUp, Finished};
            else
                r.tail = QStringList{r.endLine, ClosePpp, Closed, Finished};
            r.stopLine = ConnectServer;
            r.stopInWorker = true;
            r.stopCounts = StopCounts::Either;
            t << r;
        }

        {
            // The server goes between two exchanges of the one connection: the
            // next write fails, is counted, and the run ends saying why, even
            // with a Stop pending as it fails.
            const QString lost = QStringLiteral("Failed!!!Connection to server lost, the run ends");
            Row r;
            r.tag = QStringLiteral("echo.down after a cycle, long-long");
            r.serverGoes = {{"echo.down", true}};
            r.caseIndex = LongLong;
            r.verdicts = QStringLiteral("PF");
            r.failedStep = QStringLiteral("sendData");
            r.failedLine = WriteFailed;
            r.endLine = lost;
            r.endReason = QStringLiteral("connection lost");
            r.tail = QStringList{lost, CloseSocket, ClosePpp, Closed, Finished};
            r.stopLine = WriteFailed;
            r.stopInWorker = true;
            r.stopCounts = StopCounts::Failure;
            r.stopVerdicts = QStringLiteral("P");
            r.stopTail = r.tail;
            r.stopEndReason = r.endReason;
            t << r;
        }

        // The chip, on its stable port name.
        const auto chip = [&t](const QString &tag, const QJsonObject &faults) -> Row & {
            Row r;
            r.tag = tag + QStringLiteral(", register");
            r.faults = faults;
            r.caseIndex = Register;
            r.cycles = 1;
            r.verdicts = QStringLiteral("P");
            r.stopLine = PowerOn;
            t << r;
            return t.last();
        };
        {
            Row &r = chip(QStringLiteral("creg.never"), {{"creg.never", true}});
            r.verdicts = QStringLiteral("F");
            r.failedStep = QStringLiteral("register");
            r.failedLine = AtTimeout;
            r.failedCycle = QStringList{Separator, PowerOn, AtTimeout, PowerOff};
        }
        {
            // Timers of the bench may fire a little early.
            Row &r = chip(QStringLiteral("creg.lateMs"), {{"creg.lateMs", 500}});
            r.figure = QStringLiteral("registerMs");
            r.atLeast = 450;
        }
        {
            Row &r = chip(QStringLiteral("cfun.noReply"), {{"cfun.noReply", true}});
            r.verdicts = QStringLiteral("F");
            r.failedStep = QStringLiteral("deregister");
            r.failedLine = AtTimeout;
            r.failedCycle = QStringList{Separator, PowerOn, AtTimeout, PowerOff};
            r.stopLine = RegisteredData; // in the wait for a reply to AT+CFUN=0
        }
        chip(QStringLiteral("at.pieces"), {{"at.pieces", 3}, {"at.pieceGapMs", 100}});
        {
            // The port goes at power-off; the next cycle opens it again.
            Row &r = chip(QStringLiteral("at.vanish"), {{"at.vanish", true}});
            r.cycles = 2;
            r.verdicts = QStringLiteral("PP");
            r.stopLine = TryReopen;
            r.stopInWorker = true;
            r.stopVerdicts = QStringLiteral("P");
        }
        {
            Row &r = chip(QStringLiteral("at.staysAway"), {{"at.vanish", true}, {"at.staysAway", true}});
            r.cycles = 2;
            r.verdicts = QStringLiteral("PF");
            r.failedStep = QStringLiteral("reopenPort");
            r.failedLine = PortFailed;
            r.failedCycle = QStringList{Separator, PowerOn, TryReopen, PortFailed, PowerOff};
            r.stopLine = TryReopen; // in the wait for the port
            r.stopVerdicts = QStringLiteral("P");
        }
        // Commands the built-in cases never send: their cycles pass.
        for (const char *name : {"sim.absent", "csq.unknown", "attach.off", "reboot.hang"})
            chip(QString::fromLatin1(name), {{QString::fromLatin1(name), true}});
        chip(QStringLiteral("csq.rssi"), {{"csq.rssi", 7}});

        addRelay(t, QStringLiteral("relay.missing"), DeviceOpenFailed);
        addRelay(t, QStringLiteral("relay.statusFails"), DeviceStatusFailed);
        addRelay(t, QStringLiteral("relay.switchFails"), RelayOpenFailed);
        addRelay(t, QStringLiteral("relay.switchStuck"), RelayOpenFailed);
        return t;
    }();
    return table;
}

// Limits short enough for a failing wait to cost well under a second.
WorkerLimits matrixLimits()
{
    WorkerLimits l = WorkerHarness::quickLimits();
    l.connectMs = 2000;
    l.writeMs = 1000;
    l.echoWaitMs = 800;
    l.registerMs = 1000;
    l.deregisterMs = 800;
    l.reregisterMs = 1000;
    l.dialBoundMs = 700;
    l.sleepWakeMs = 100;
    l.cyclePauseMs = 20;
    return l;
}

// Limits long enough that a Stop which did not end the wait it landed in
// shows as a run that overran its deadline.
WorkerLimits stopLimits()
{
    WorkerLimits l = matrixLimits();
    for (int WorkerLimits::*wait : {&WorkerLimits::connectMs, &WorkerLimits::writeMs, &WorkerLimits::echoWaitMs,
                                    &WorkerLimits::registerMs, &WorkerLimits::deregisterMs,
                                    &WorkerLimits::reregisterMs, &WorkerLimits::dialBoundMs})
        l.*wait = 20000;
    return l;
}

QString verdictText(const QVector<bool> &results)
{
    QString out;
    for (const bool pass : results)
        out += pass ? QLatin1Char('P') : QLatin1Char('F');
    return out;
}

// What this process holds: open files, threads and child processes.
struct Holdings
{
    QStringList fds; // what each descriptor refers to
    QStringList threads; // their names
    QList<qint64> children;

    static QStringList entries(const char *dir)
    {
        QStringList names;
        if (DIR *d = ::opendir(dir)) {
            while (const dirent *e = ::readdir(d))
                if (e->d_name[0] != '.')
                    names << QString::fromLatin1(e->d_name);
            ::closedir(d);
        }
        return names;
    }

    // "socket:[123]" with the table that holds it: tcp or unix.
    static QString kindOf(const QString &target)
    {
        if (!target.startsWith(QLatin1String("socket:[")))
            return target;
        const QByteArray inode = target.mid(8, target.size() - 9).toLatin1();
        for (const char *table : {"tcp", "tcp6", "unix"}) {
            QFile f(QStringLiteral("/proc/self/net/") + QLatin1String(table));
            if (f.open(QIODevice::ReadOnly) && f.readAll().contains(" " + inode + " "))
                return target + QLatin1Char(' ') + QLatin1String(table);
        }
        return target;
    }

    static Holdings now()
    {
        Holdings h;
        // The listing's own descriptor is among them, every time alike.
        for (const QString &fd : entries("/proc/self/fd")) {
            char target[256];
            const ssize_t n = ::readlink(QByteArray("/proc/self/fd/" + fd.toLatin1()).constData(), target, sizeof target);
            h.fds << (n > 0 ? fd + QLatin1Char('=') + kindOf(QString::fromLatin1(target, int(n))) : QString());
        }
        h.fds.sort();
        for (const QString &task : entries("/proc/self/task")) {
            QFile comm(QStringLiteral("/proc/self/task/%1/comm").arg(task));
            h.threads << (comm.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(comm.readAll().trimmed()) : task);
        }
        h.threads.sort();
        const qint64 self = ::getpid();
        if (DIR *d = ::opendir("/proc")) {
            while (const dirent *e = ::readdir(d)) {
                bool isPid = false;
                const qint64 pid = QByteArray(e->d_name).toLongLong(&isPid);
                if (!isPid)
                    continue;
                QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
                if (!stat.open(QIODevice::ReadOnly))
                    continue;
                // "pid (name) state ppid ...": the name may hold anything but the last ')'.
                const QByteArray text = stat.readAll();
                const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
                if (fields.size() > 1 && fields.at(1).toLongLong() == self)
                    h.children << pid;
            }
            ::closedir(d);
        }
        std::sort(h.children.begin(), h.children.end());
        return h;
    }

    bool operator==(const Holdings &o) const { return fds == o.fds && threads == o.threads && children == o.children; }
    QString text() const
    {
        QStringList pids;
        for (const qint64 p : children)
            pids << QString::number(p);
        return QStringLiteral("fds [%1], threads [%2], children [%3]")
            .arg(fds.join(QLatin1Char(',')))
            .arg(threads.join(QLatin1Char(',')))
            .arg(pids.join(QLatin1Char(',')));
    }
};

} // namespace

class TestFaultMatrix : public BenchWorkerTest
{
    Q_OBJECT

public:
    TestFaultMatrix()
        : BenchWorkerTest({QStringLiteral("--boards"), QStringLiteral("BNCH1:2"), QStringLiteral("--boot-ms"),
                           QStringLiteral("30"), QStringLiteral("--register-ms"), QStringLiteral("60"),
                           QStringLiteral("--deregister-ms"), QStringLiteral("20"), QStringLiteral("--dial-step-ms"),
                           QStringLiteral("5")})
    {
    }

private slots:
    void everyFaultHasARow();
    void faultedRun_data();
    void faultedRun();
    void stopLatencies();

private:
    // The chip's port back under its stable name after a row that let it go.
    void bringPortBack();
    // Results, record file, result file and red lines of the run agree.
    void checkRun(const Row &r, bool stopped, const QString &dir);
    // Nothing of the run is left: in this process and on the bench.
    void checkNothingLeft(const Row &r, const Holdings &before);

    QVector<QPair<QString, qint64>> m_latencies;
};

void TestFaultMatrix::everyFaultHasARow()
{
    QStringList covered;
    for (const Row &r : matrix())
        for (auto it = r.faults.begin(); it != r.faults.end(); ++it)
            covered << it.key();
    covered.removeDuplicates();
    covered.sort();
    QStringList faults = bench.faults().keys();
    faults.sort();
    QCOMPARE(covered, faults);
}

void TestFaultMatrix::faultedRun_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<bool>("stopped");
    const QVector<Row> &t = matrix();
    for (int i = 0; i < t.size(); ++i) {
        QTest::addRow("%s", qPrintable(t[i].tag)) << i << false;
        QTest::addRow("%s, stopped", qPrintable(t[i].tag)) << i << true;
    }
}

void TestFaultMatrix::bringPortBack()
{
    if (QFileInfo::exists(bench.atLink()))
        return;
    // With the faults off, the next boot brings the port back, and it stays.
    QVERIFY(bench.setChipPower(true));
    QVERIFY(h->waitUntil([this] { return QFileInfo::exists(bench.atLink()); }, 5000));
    QVERIFY(bench.setChipPower(false));
}

void TestFaultMatrix::faultedRun()
{
    QFETCH(int, row);
    QFETCH(bool, stopped);
    const Row &r = matrix().at(row);

    h->setup.caseIndex = r.caseIndex;
    if (r.caseIndex == Register) {
        bringPortBack();
        if (QTest::currentTestFailed())
            return;
        h->setup.portName = bench.atLink();
    }
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    h->worker->setRecordsDir(dir.filePath(QStringLiteral("records")));
    h->worker->setLimits(stopped ? stopLimits() : matrixLimits());
    testWorker::RunLimits limits;
    limits.cycles = r.cycles;
    h->worker->setRunLimits(limits);
    QVERIFY(bench.setFaults(r.faults));
    if (!r.serverGoes.isEmpty()) {
        const WorkerAccess state = h->access();
        const QJsonObject faults = r.serverGoes;
        const QString control = bench.controlPath();
        auto done = std::make_shared<bool>(false); // worker thread only
        connect(h->worker, &testWorker::sngUpdateRadio, h->worker, [state, faults, control, done](bool) {
            if (std::exchange(*done, true))
                return;
            BenchClient::requestAt(control, {{"op", "fault.set"}, {"faults", faults}}, 3000);
            QElapsedTimer t;
            t.start();
            while (state.socketMgr()->isConnected() && t.elapsed() < 5000)
                state.socketMgr()->waitReadyRead(100);
        }, Qt::DirectConnection);
    }
    if (stopped && r.stopInWorker)
        h->stopInWorkerOnLine(r.stopLine);
    else if (stopped)
        h->stopOnLinePrefix = r.stopLine;

    // The worker's thread runs its event loop before anything is counted.
    QVERIFY(h->runInWorker([] {}));
    const Holdings before = Holdings::now();
    h->startRun();
    // Generous: only a run that hangs overruns it.
    QVERIFY2(h->waitFinished(1, stopped ? 15000 : 30000), qPrintable(h->texts().join(QLatin1Char('|'))));

    if (stopped) {
        const qint64 latency = r.stopInWorker ? h->workerStopLatencyMs() : h->stopTookMs;
        QVERIFY2(latency >= 0, "the Stop was never pressed");
        m_latencies.append({r.tag, latency});
        qInfo("Stop latency %lld ms (%s)", latency, r.stopInWorker ? "pending at the step" : "pressed during it");
    }
    checkRun(r, stopped, dir.path());
    checkNothingLeft(r, before);
}

void TestFaultMatrix::checkRun(const Row &r, bool stopped, const QString &dir)
{
    const QString verdicts = verdictText(h->results);
    QStringList expected{stopped ? r.stopVerdicts : r.verdicts};
    if (stopped && r.stopCounts == StopCounts::Failure)
        expected = QStringList{r.stopVerdicts + QLatin1Char('F')};
    else if (stopped && r.stopCounts == StopCounts::Either)
        expected << r.stopVerdicts + QLatin1Char('F');
    QVERIFY2(expected.contains(verdicts), qPrintable(QStringLiteral("counted %1, expected %2; the log: %3")
                                                         .arg(verdicts, expected.join(QStringLiteral(" or ")),
                                                              h->workerLines().join(QLatin1Char('|')))));
    QCOMPARE(h->finishCount, 1);
    QCOMPARE(h->lines.last().text, Finished);
    const QStringList tail = stopped ? r.stopTail : r.tail;
    if (!tail.isEmpty()) {
        const QStringList lines = h->workerLines();
        QCOMPARE(lines.mid(lines.size() - tail.size()), tail);
    }
    // The long link cases dial once for the whole run.
    if (!stopped && (r.caseIndex == LongShort || r.caseIndex == LongLong))
        QCOMPARE(h->count(DialOk), r.endLine == DialFailed ? 0 : 1);

    // The record file: a line per counted cycle with the verdict the window
    // got, the failed step and its red line, and the totals.
    const RecordFile rec(h->worker->recordFile());
    QVERIFY(rec.opened);
    QCOMPARE(rec.brokenLines, 0);
    QVERIFY2(rec.cycleFault().isEmpty(), qPrintable(rec.cycleFault()));
    QCOMPARE(rec.cycles.size(), h->results.size());
    const int passed = int(h->results.count(true));
    const int failed = int(h->results.count(false));
    QCOMPARE(rec.end.value("cycles").toInt(), passed + failed);
    QCOMPARE(rec.end.value("pass").toInt(), passed);
    QCOMPARE(rec.end.value("fail").toInt(), failed);
    QCOMPARE(rec.end.value("fpy").toInt(), RunFiles::fpy(passed, failed));
    QCOMPARE(rec.end.value("reason").toString(),
             !stopped ? r.reason() : r.stopEndReason.isEmpty() ? QStringLiteral("Stop") : r.stopEndReason);
    for (int i = 0; i < rec.cycles.size(); ++i) {
        const QJsonObject &c = rec.cycles[i];
        QCOMPARE(c.value("pass").toBool(), h->results[i]);
        if (h->results[i]) {
            QVERIFY(!c.contains("failedStep"));
        } else {
            QCOMPARE(c.value("failedStep").toString(), r.failedStep);
            QCOMPARE(c.value("failedLine").toString(), r.failedLine);
            QCOMPARE(c.value("rasError").toInt(), r.rasError);
        }
        if (!stopped && !r.figure.isEmpty())
            QVERIFY2(c.value(r.figure).toDouble(-1) >= r.atLeast,
                     qPrintable(QStringLiteral("cycle %1: %2 %3").arg(i + 1).arg(r.figure).arg(c.value(r.figure).toDouble(-1))));
    }

    // The result file the window and the runner write from the same results.
    const QString name = RunFiles::writeResult(dir, TestCases::resultTag(r.caseIndex),
                                               RunFiles::countLines(passed, failed), QDateTime::currentDateTime());
    QVERIFY(!name.isEmpty());
    QFile result(dir + QLatin1Char('/') + name);
    QVERIFY(result.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromLatin1(result.readAll()),
             QStringLiteral("#Test Case: %1\r\n#Total: %2\r\n#PASS: %3\r\n#FAIL: %4\r\n#FPY: %5%\r\n")
                 .arg(rec.run.value("case").toString())
                 .arg(rec.end.value("cycles").toInt())
                 .arg(rec.end.value("pass").toInt())
                 .arg(rec.end.value("fail").toInt())
                 .arg(rec.end.value("fpy").toInt()));

    // The red lines: each failed cycle logged the one on record, between its
    // separator and its result; a passed cycle logged none; outside the
    // counted cycles only the line that ended the run.
    QVector<int> separators;
    for (int i = 0; i < h->lines.size(); ++i)
        if (h->lines[i].text == Separator)
            separators << i;
    // A run that ends by itself counts every cycle it began.
    if (stopped)
        QVERIFY(separators.size() >= h->results.size());
    else
        QCOMPARE(separators.size(), h->results.size());
    QStringList outside;
    int cycle = 0;
    bool firstFailure = true;
    for (int i = 0; i < h->lines.size(); ++i) {
        while (cycle < h->results.size() && i >= h->resultAt[cycle])
            ++cycle;
        const bool inCycle = cycle < h->results.size() && i >= separators[cycle];
        if (inCycle && i == separators[cycle]) {
            QVERIFY(h->resultAt[cycle] > i);
            QVERIFY(cycle + 1 >= separators.size() || h->resultAt[cycle] <= separators[cycle + 1]);
            if (!h->results[cycle] && firstFailure && !r.failedCycle.isEmpty()) {
                QStringList lines;
                for (int k = i; k < h->resultAt[cycle]; ++k)
                    if (h->lines[k].color != QColor(Qt::yellow))
                        lines << h->lines[k].text;
                QCOMPARE(lines, r.failedCycle);
            }
            firstFailure = firstFailure && h->results[cycle];
            // The red lines of this cycle, up to its result.
            QStringList red;
            for (int k = i; k < h->resultAt[cycle]; ++k)
                if (h->lines[k].color == QColor(Qt::red))
                    red << h->lines[k].text;
            if (h->results[cycle])
                QVERIFY2(red.isEmpty(), qPrintable(red.join(QLatin1Char('|'))));
            else // a failing step says so once
                QVERIFY2(red.count(rec.cycles[cycle].value("failedLine").toString()) == 1, qPrintable(red.join(QLatin1Char('|'))));
        }
        if (!inCycle && h->lines[i].color == QColor(Qt::red))
            outside << h->lines[i].text;
    }
    if (!stopped) {
        QCOMPARE(outside, r.endLine.isEmpty() ? QStringList() : QStringList{r.endLine});
    } else {
        for (const QString &line : outside)
            QCOMPARE(line, r.endLine);
    }
}

void TestFaultMatrix::checkNothingLeft(const Row &r, const Holdings &before)
{
    // Threads and sockets of the run may take a moment to wind down.
    Holdings after = Holdings::now();
    h->waitUntil([&] {
        after = Holdings::now();
        return after == before;
    }, 3000);
    QVERIFY2(after == before, qPrintable(QStringLiteral("before %1, after %2").arg(before.text(), after.text())));

    // The bench holds no dial, no connection, no powered chip of the run.
    const auto settled = [this](const char *part, const char *counter) {
        return h->waitUntil([&] {
            return bench.state().value(QLatin1String(part)).toObject().value(QLatin1String(counter)).toInt() == 0;
        }, 3000);
    };
    for (const char *counter : {"inProgress", "up", "held"})
        QVERIFY2(settled("dials", counter), counter);
    QVERIFY2(settled("echo", "open"), "echo connection left open");
    if (r.caseIndex == Register || r.caseIndex == SleepWake)
        QVERIFY(!bench.chipPowered());
    QCOMPARE(h->access().relayHandle(), intptr_t(0));
}

void TestFaultMatrix::stopLatencies()
{
    if (m_latencies.isEmpty())
        QSKIP("no Stop pass ran");
    std::sort(m_latencies.begin(), m_latencies.end(),
              [](const QPair<QString, qint64> &a, const QPair<QString, qint64> &b) { return a.second < b.second; });
    qInfo("Stop latency over %d runs: median %lld ms, slowest %lld ms (%s)", int(m_latencies.size()),
          m_latencies.at(m_latencies.size() / 2).second, m_latencies.last().second, qPrintable(m_latencies.last().first));
}

QTEST_GUILESS_MAIN(TestFaultMatrix)
#include "tst_faultmatrix.moc"
