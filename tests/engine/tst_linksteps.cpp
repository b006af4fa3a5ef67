// The TCP echo steps against a loopback echo server and the AT wait against
// a real pseudo-terminal, each run in the worker's own thread.
#include "BenchProcess.h"
#include "EchoServer.h"
#include "PseudoTerminal.h"
#include "SilentHost.h"
#include "SocketMannger.h"
#include "UartEngine.h"
#include "WorkerHarness.h"
#include "WorkerTexts.h"

#include <QElapsedTimer>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>

#include <memory>

#if defined(Q_OS_LINUX)
#include <cstdio>
#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

// A network namespace of its own, made on a short-lived thread so that no
// thread of the test leaves the machine's; kept alive by the descriptor
// (inherited by ip, which finds it as /proc/self/fd/N). -1 where the
// machine does not allow it.
int newNetNamespace()
{
    int fd = -1;
    std::thread([&fd] {
        if (::unshare(CLONE_NEWNET) == 0)
            fd = ::open("/proc/thread-self/ns/net", O_RDONLY);
    }).join();
    return fd;
}

// Runs fn on a thread that has joined the namespace.
template <class Fn>
bool inNamespace(int ns, Fn fn)
{
    bool ok = false;
    std::thread([&] { ok = ::setns(ns, CLONE_NEWNET) == 0 && fn(); }).join();
    return ok;
}

bool run(int ns, const QString &program, const QStringList &args)
{
    return inNamespace(ns, [&] {
        std::vector<std::string> texts{program.toStdString()};
        for (const QString &a : args)
            texts.push_back(a.toStdString());
        std::vector<char *> argv;
        for (std::string &t : texts)
            argv.push_back(t.data());
        argv.push_back(nullptr);
        pid_t pid = -1;
        int status = 0;
        return ::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) == 0
               && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    });
}

// Packets through the interface both ways, as the namespace counts them.
qint64 packets(int ns, const char *interface)
{
    qint64 total = -1;
    inNamespace(ns, [&] {
        QFile dev(QStringLiteral("/proc/thread-self/net/dev"));
        if (!dev.open(QIODevice::ReadOnly))
            return false;
        for (const QByteArray &line : dev.readAll().split('\n')) {
            const QList<QByteArray> f = line.simplified().replace(":", ": ").simplified().split(' ');
            if (f.size() >= 11 && f.at(0) == QByteArray(interface) + ':')
                total = f.at(2).toLongLong() + f.at(10).toLongLong();
        }
        return true;
    });
    return total;
}

} // namespace
#endif

using namespace WorkerText;

class TestLinkSteps : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void echoPassesAndCompleteEchoIsJudgedAtOnce();
    void echoInPiecesPasses();
    void echoVerdicts_data();
    void echoVerdicts();
    void stopDuringEchoWaitAnswersTrueQuietly();
    void portOutsideRangeNeverWraps_data();
    void portOutsideRangeNeverWraps();
    void refusedConnectionAndUnconnectedWrite();
    void silentHostTimesOut();
    void stopDuringConnectEndsQuietly();
    void runsKeepToTheirOwnLinks();

    void atWaitFindsTextAlreadyReceived();
    void atWaitCommandAndReplyInPieces();
    void atWaitZeroTimeoutAndTimeoutEmptyTheBuffer();
    void atWaitFailedWrite();
    void atWaitStop();
    void portOpenAndClose();
    void portThatVanishesIsReopenedAfterPowerOn();

private:
    // Exchanges one payload through the worker: connect, send, check.
    bool exchange(qint64 *checkMs = nullptr);
    // Connects the worker to setup's host; how long it took into ms (-1
    // when the step never returned).
    bool connectTimed(qint64 &ms);
    // Waits for "CREG: 1" with `buffered` already received, after sending
    // `command` unless empty; the time taken (-1 when the wait never
    // returned) and what is left in the buffer come back in ms and left.
    bool atWait(const QByteArray &buffered, const QByteArray &command, int timeoutMs, qint64 &ms,
                QByteArray &left);

    std::unique_ptr<WorkerHarness> h;
    std::unique_ptr<EchoServer> server;
};

void TestLinkSteps::init()
{
    h = std::make_unique<WorkerHarness>();
    server = std::make_unique<EchoServer>();
    QVERIFY(server->port() != 0);
    h->setup.hostName = QStringLiteral("127.0.0.1");
    h->setup.hostPort = server->port();
    h->makeChannels();
}

void TestLinkSteps::cleanup()
{
    h.reset();
    server.reset();
}

bool TestLinkSteps::exchange(qint64 *checkMs)
{
    bool ok = false;
    h->runInWorker([&] {
        if (!h->worker->connectServer() || !h->worker->sendData())
            return;
        QElapsedTimer t;
        t.start();
        ok = h->worker->checkReceive(h->access().sentData());
        if (checkMs)
            *checkMs = t.elapsed();
    });
    return ok;
}

bool TestLinkSteps::connectTimed(qint64 &ms)
{
    bool connected = false;
    ms = -1;
    h->runInWorker([&] {
        QElapsedTimer t;
        t.start();
        connected = h->worker->connectServer();
        ms = t.elapsed();
    });
    return connected;
}

bool TestLinkSteps::atWait(const QByteArray &buffered, const QByteArray &command, int timeoutMs, qint64 &ms,
                           QByteArray &left)
{
    bool ok = false;
    ms = -1;
    h->runInWorker([&] {
        h->access().uart()->m_recvBuffer = buffered;
        QElapsedTimer t;
        t.start();
        ok = h->worker->waitAtResponse(command, "CREG: 1", timeoutMs);
        ms = t.elapsed();
        left = h->access().uart()->m_recvBuffer;
    });
    return ok;
}

void TestLinkSteps::echoPassesAndCompleteEchoIsJudgedAtOnce()
{
    qint64 ms = -1;
    QVERIFY(exchange(&ms));
    QVERIFY2(ms < 500, qPrintable(QString::number(ms)));
    QVERIFY(h->hasLine(QStringLiteral("connect to server..."), Qt::white));
    QVERIFY(h->hasLine(QStringLiteral("Send data to server..."), Qt::white));
    const QByteArray sent = h->access().sentData();
    QVERIFY(sent.size() >= 1 && sent.size() <= 2047);
    QVERIFY(h->hasLine(QStringLiteral("[send] ") + QString::fromLatin1(sent), Qt::yellow));
    QVERIFY(!h->texts().contains(NoData) && !h->texts().contains(WrongData));

    // The echo is complete in the buffer already: no wait before the verdict.
    bool again = false;
    qint64 againMs = -1;
    h->runInWorker([&] {
        QElapsedTimer t;
        t.start();
        again = h->worker->checkReceive(h->access().sentData());
        againMs = t.elapsed();
    });
    QVERIFY(again);
    QVERIFY2(againMs < 200, qPrintable(QString::number(againMs)));

    bool closed = false;
    h->runInWorker([&] { closed = h->worker->closeSocket() && h->worker->closeSocket(); });
    QVERIFY(closed);
    QCOMPARE(h->count(CloseSocket), 2);
}

void TestLinkSteps::echoInPiecesPasses()
{
    server->setMode(EchoServer::Pieces);
    QVERIFY(exchange());
    QVERIFY(!h->texts().contains(NoData) && !h->texts().contains(WrongData));
}

void TestLinkSteps::echoVerdicts_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("failure");
    QTest::addColumn<int>("minMs");
    QTest::addColumn<int>("maxMs");
    const int wait = WorkerHarness::quickLimits().echoWaitMs;
    // One byte wrong at the right length is judged at once; too long only
    // when the whole wait is over.
    QTest::newRow("one byte wrong") << int(EchoServer::WrongByte) << WrongData << 0 << 400;
    QTest::newRow("extra bytes") << int(EchoServer::Extra) << WrongData << wait - 50 << wait + 600;
    QTest::newRow("no echo") << int(EchoServer::Silent) << NoData << wait - 50 << wait + 600;
    QTest::newRow("server hangs up") << int(EchoServer::Hangup) << NoData << wait - 50 << wait + 600;
}

void TestLinkSteps::echoVerdicts()
{
    QFETCH(int, mode);
    QFETCH(QString, failure);
    QFETCH(int, minMs);
    QFETCH(int, maxMs);
    server->setMode(EchoServer::Mode(mode));
    qint64 ms = -1;
    QVERIFY(!exchange(&ms));
    QVERIFY2(ms >= minMs && ms <= maxMs, qPrintable(QString::number(ms)));
    QVERIFY(h->hasLine(failure, Qt::red));
    QCOMPARE(h->count(NoData) + h->count(WrongData), 1);
}

void TestLinkSteps::stopDuringEchoWaitAnswersTrueQuietly()
{
    server->setMode(EchoServer::Silent);
    h->worker->setLimits([] {
        WorkerLimits l = WorkerHarness::quickLimits();
        l.echoWaitMs = 20000;
        return l;
    }());
    QTimer::singleShot(300, this, [this] { h->worker->stopTest(); });
    qint64 ms = -1;
    QVERIFY(exchange(&ms));
    // Seen within the stop latency, not at the end of the wait.
    QVERIFY2(ms >= 250 && ms < 900, qPrintable(QString::number(ms)));
    QVERIFY(!h->texts().contains(NoData));
}

void TestLinkSteps::portOutsideRangeNeverWraps_data()
{
    QTest::addColumn<int>("offset");
    QTest::addColumn<int>("fixedPort");
    QTest::newRow("65536 above the server") << 65536 << 0;
    QTest::newRow("zero") << 0 << 0;
    QTest::newRow("negative") << 0 << -1;
}

void TestLinkSteps::portOutsideRangeNeverWraps()
{
    QFETCH(int, offset);
    QFETCH(int, fixedPort);
    h->setup.hostPort = offset ? offset + server->port() : fixedPort;
    bool ok = true;
    h->runInWorker([&] { ok = h->worker->connectServer(); });
    QVERIFY(!ok);
    QVERIFY(h->hasLine(QStringLiteral("Failed!!!Fail to connect to host"), Qt::red));
    h->pump(100);
    QCOMPARE(server->connections(), 0);
}

void TestLinkSteps::refusedConnectionAndUnconnectedWrite()
{
    const quint16 closedPort = TestSupport::freeLoopbackPort();
    QVERIFY(closedPort != 0);
    h->setup.hostPort = closedPort;
    bool connected = true;
    bool sent = true;
    qint64 ms = -1;
    h->runInWorker([&] {
        QElapsedTimer t;
        t.start();
        connected = h->worker->connectServer();
        ms = t.elapsed();
        sent = h->worker->sendData();
    });
    QVERIFY(!connected);
    QVERIFY2(ms < 1000, qPrintable(QString::number(ms)));
    QVERIFY(!sent);
    QVERIFY(h->hasLine(QStringLiteral("Failed!!!Fail to write data to server"), Qt::red));
    QVERIFY(!h->access().sentData().isEmpty());
}

void TestLinkSteps::silentHostTimesOut()
{
    SilentHost silent;
    QVERIFY(silent.port() != 0);
    h->setup.hostPort = silent.port();
    WorkerLimits l = WorkerHarness::quickLimits();
    l.connectMs = 400;
    h->worker->setLimits(l);
    qint64 ms = -1;
    QVERIFY(!connectTimed(ms));
    QVERIFY2(ms >= 350, qPrintable(QString::number(ms)));
    QVERIFY(h->hasLine(QStringLiteral("Failed!!!Fail to connect to host"), Qt::red));

    // The abandoned attempt does not get in the way of the next one.
    h->setup.hostPort = server->port();
    QVERIFY(exchange());
}

void TestLinkSteps::stopDuringConnectEndsQuietly()
{
    SilentHost silent;
    h->setup.hostPort = silent.port();
    WorkerLimits l = WorkerHarness::quickLimits();
    l.connectMs = 20000;
    h->worker->setLimits(l);
    QTimer::singleShot(300, this, [this] { h->worker->stopTest(); });
    qint64 ms = -1;
    QVERIFY(!connectTimed(ms));
    // Seen within the stop latency, not after the connection limit.
    QVERIFY2(ms >= 250 && ms < 1500, qPrintable(QString::number(ms)));
    QVERIFY(!h->texts().contains(QStringLiteral("Failed!!!Fail to connect to host")));
}

void TestLinkSteps::runsKeepToTheirOwnLinks()
{
#if !defined(Q_OS_LINUX)
    QSKIP("traffic is pinned to a link on Linux only");
#else
    // Two chips' links (veth pairs in a private namespace) lead to one far
    // side with the echo server and the ping host; unpinned traffic is
    // routed through link A. Everything stays inside the namespaces.
    const QString ip = QStandardPaths::findExecutable(QStringLiteral("ip"), {"/usr/sbin", "/sbin", "/usr/bin", "/bin"});
    if (ip.isEmpty())
        QSKIP("no ip here (Debian package iproute2)");
    const int nearNs = newNetNamespace();
    const int farNs = newNetNamespace();
    const auto closeNs = qScopeGuard([&] {
        for (const int fd : {nearNs, farNs})
            if (fd >= 0)
                ::close(fd);
    });
    if (nearNs < 0 || farNs < 0)
        QSKIP("no private network namespace allowed here");
    // No IPv6 chatter on the links: the counters see only what the runs send.
    for (const int ns : {nearNs, farNs})
        inNamespace(ns, [] {
            FILE *f = std::fopen("/proc/sys/net/ipv6/conf/default/disable_ipv6", "w");
            return f && std::fputs("1", f) >= 0 && std::fclose(f) == 0;
        });
    const QString far = QStringLiteral("/proc/self/fd/%1").arg(farNs);
    const QList<QStringList> nearSide{
        {"link", "set", "lo", "up"},
        {"link", "add", "vna", "type", "veth", "peer", "name", "vfa"},
        {"link", "add", "vnb", "type", "veth", "peer", "name", "vfb"},
        {"link", "set", "vfa", "netns", far},
        {"link", "set", "vfb", "netns", far},
        {"addr", "add", "192.0.2.1/24", "dev", "vna"},
        {"addr", "add", "198.51.100.1/24", "dev", "vnb"},
        {"link", "set", "vna", "up"},
        {"link", "set", "vnb", "up"},
        {"route", "add", "203.0.113.1/32", "via", "192.0.2.2", "dev", "vna"}};
    const QList<QStringList> farSide{
        {"link", "set", "lo", "up"},
        {"addr", "add", "203.0.113.1/32", "dev", "lo"},
        {"addr", "add", "192.0.2.2/24", "dev", "vfa"},
        {"addr", "add", "198.51.100.2/24", "dev", "vfb"},
        {"link", "set", "vfa", "up"},
        {"link", "set", "vfb", "up"}};
    for (const QStringList &args : nearSide)
        QVERIFY2(run(nearNs, ip, args), qPrintable(args.join(' ')));
    for (const QStringList &args : farSide)
        QVERIFY2(run(farNs, ip, args), qPrintable(args.join(' ')));
    EchoServer farServer(EchoServer::Echo, QHostAddress(QStringLiteral("203.0.113.1")), farNs);
    QVERIFY(farServer.port() != 0);

    // Two runs side by side, each on the near side with its chip's link.
    std::unique_ptr<WorkerHarness> runs[2];
    const char *links[2] = {"vna", "vnb"};
    for (int i = 0; i < 2; ++i) {
        runs[i] = std::make_unique<WorkerHarness>();
        WorkerHarness &r = *runs[i];
        bool joined = false;
        r.runInWorker([&] { joined = ::setns(nearNs, CLONE_NEWNET) == 0; });
        QVERIFY(joined);
        r.setup.pingAddress = r.setup.hostName = QStringLiteral("203.0.113.1");
        r.setup.hostPort = farServer.port();
        r.makeChannels();
        r.access().linkInterface() = QString::fromLatin1(links[i]);
    }
    // One cycle's traffic: ping and the echo exchange.
    const auto cycle = [](WorkerHarness &r) {
        bool ok = false;
        r.runInWorker([&] {
            testWorker &w = *r.worker;
            ok = w.pingHost() && w.connectServer() && w.sendData() && w.checkReceive(r.access().sentData());
            w.closeSocket();
        });
        return ok;
    };
    struct Counts { qint64 a, b; };
    const auto counts = [&] { return Counts{packets(nearNs, "vna"), packets(nearNs, "vnb")}; };

    Counts before = counts();
    QVERIFY2(cycle(*runs[0]), qPrintable(runs[0]->texts().join('|')));
    Counts after = counts();
    QVERIFY(after.a - before.a >= 8);
    QCOMPARE(after.b - before.b, 0);

    before = after;
    QVERIFY2(cycle(*runs[1]), qPrintable(runs[1]->texts().join('|')));
    after = counts();
    QVERIFY(after.b - before.b >= 8);
    QCOMPARE(after.a - before.a, 0); // not the route's link: its own

    // Chip B's link goes down: only B's cycles fail, with the usual red lines.
    QVERIFY(run(nearNs, ip, {"link", "set", "vnb", "down"}));
    runs[1]->clear();
    QVERIFY(!cycle(*runs[1]));
    QVERIFY(runs[1]->hasLine(QStringLiteral("Failed!!!Fail to get ping result!"), Qt::red));
    QVERIFY(cycle(*runs[0]));

    // Then it vanishes: the connection is not made through another link.
    QVERIFY(run(nearNs, ip, {"link", "del", "vnb"}));
    runs[1]->clear();
    bool connected = true;
    runs[1]->runInWorker([&] { connected = runs[1]->worker->connectServer(); });
    QVERIFY(!connected);
    QCOMPARE(runs[1]->texts().mid(1), (QStringList{QStringLiteral("vnb: No such device"), ConnectFailed}));
    QCOMPARE(farServer.connections(), 3);
    QVERIFY(cycle(*runs[0]));
#endif
}

void TestLinkSteps::atWaitFindsTextAlreadyReceived()
{
    qint64 ms = -1;
    QByteArray left = "unset";
    QVERIFY(atWait("xx+CREG: 1OK", QByteArray(), 1000, ms, left));
    QVERIFY(left.isEmpty());
}

void TestLinkSteps::atWaitCommandAndReplyInPieces()
{
    PseudoTerminal pty;
    QVERIFY(!pty.slavePath().isEmpty());
    QVERIFY(pty.setOtherLineSettings());
    h->setup.portName = pty.slavePath();
    bool opened = false;
    h->runInWorker([&] { opened = h->worker->openPort(); });
    QVERIFY(opened);
    // The chip's line: 115200 baud, 8 data bits, no parity, 1 stop bit, no flow control.
    QCOMPARE(pty.lineSettings(), QStringLiteral("115200 8N1"));

    // Stale text must not count once a command has been sent.
    h->runInWorker([&] { h->access().uart()->m_recvBuffer = "+CREG: 0"; });
    std::atomic<bool> done{false};
    bool ok = false;
    QMetaObject::invokeMethod(h->worker, [&] {
        ok = h->worker->waitAtResponse("AT+CFUN=0\r\n", "CREG: 0", 1500);
        done = true;
    }, Qt::QueuedConnection);
    QCOMPARE(pty.receive(2000), QByteArray("AT+CFUN=0\r\n"));
    QVERIFY(pty.send("\r\nOK\r\n"));
    QTest::qWait(100);
    QVERIFY(pty.send("\r\n+CRE"));
    QTest::qWait(100);
    QVERIFY(pty.send("G: 0\r\n"));
    QVERIFY(h->waitUntil([&] { return done.load(); }, 5000));
    QVERIFY(ok);

    bool closed = false;
    h->runInWorker([&] { closed = h->worker->closePort(); });
    QVERIFY(closed);
    QVERIFY(h->hasLine(QStringLiteral("Close port..."), Qt::white));
}

void TestLinkSteps::atWaitZeroTimeoutAndTimeoutEmptyTheBuffer()
{
    qint64 ms = -1;
    QByteArray left = "unset";
    QVERIFY(!atWait("CREG: 1", QByteArray(), 0, ms, left));
    QVERIFY(left.isEmpty());
    QVERIFY(h->hasLine(AtTimeout, Qt::red));

    h->clear();
    left = "unset";
    QVERIFY(!atWait("CREG: 2", QByteArray(), 300, ms, left));
    QVERIFY2(ms >= 290 && ms < 900, qPrintable(QString::number(ms)));
    QVERIFY(left.isEmpty());
    QCOMPARE(h->count(AtTimeout), 1);
}

void TestLinkSteps::atWaitFailedWrite()
{
    // The port was never opened, so the write cannot go out.
    qint64 ms = -1;
    QByteArray left = "unset";
    QVERIFY(!atWait("CREG: 1", "AT+CFUN=1\r\n", 1000, ms, left));
    QVERIFY(left.isEmpty());
    QCOMPARE(h->texts(), QStringList{QStringLiteral("Write AT command failed!")});
}

void TestLinkSteps::atWaitStop()
{
    QTimer::singleShot(200, this, [this] { h->worker->stopTest(); });
    qint64 ms = -1;
    QByteArray left;
    QVERIFY(atWait("CREG: 2", QByteArray(), 20000, ms, left));
    QVERIFY2(ms < 900, qPrintable(QString::number(ms)));
    QCOMPARE(left, QByteArray("CREG: 2"));
    QVERIFY(!h->texts().contains(AtTimeout));
}

void TestLinkSteps::portOpenAndClose()
{
    h->setup.portName = QStringLiteral("/nonexistent/ttyNONE");
    bool opened = true;
    bool closed = false;
    h->runInWorker([&] {
        opened = h->worker->openPort();
        closed = h->worker->closePort();
    });
    QVERIFY(!opened);
    QVERIFY(closed);
    QCOMPARE(h->texts().first(), QStringLiteral("Open port..."));
    QVERIFY(h->hasLine(QStringLiteral("Close port..."), Qt::white));
}

void TestLinkSteps::portThatVanishesIsReopenedAfterPowerOn()
{
    // The port goes with the chip's supply and is back a moment after
    // power-on, under the same name, as a new device.
    BenchProcess bench;
    QVERIFY2(bench.start({"--boot-ms", "300", "--register-ms", "100", "--fault", "at.vanish"}),
             qPrintable(bench.errorString()));
    h->setup.portName = bench.atLink();
    bool ok = false;
    QVERIFY(h->runInWorker([&] { ok = h->worker->openPort(); }));
    QVERIFY(ok);
    // A port that never went is left as it is.
    QVERIFY(h->runInWorker([&] { ok = h->worker->reopenPort(1000); }));
    QVERIFY(ok);
    QVERIFY(!h->texts().contains("Try to open the port ..."));

    const QString reopened = QStringLiteral("Open port %1 sucessfully!").arg(bench.atLink());
    for (int cycle = 0; cycle < 3; ++cycle) {
        QVERIFY(bench.setChipPower(true));
        QVERIFY(bench.setChipPower(false));
        QVERIFY(bench.setChipPower(true));
        const int from = h->lines.size();
        bool registered = false;
        QVERIFY(h->runInWorker([&] {
            ok = h->worker->reopenPort(5000);
            registered = ok && h->worker->waitAtResponse(QByteArray(), "CREG: 1", 5000);
        }));
        QVERIFY2(ok && registered, qPrintable(h->texts().mid(from).join('|')));
        const int tried = h->indexOf("Try to open the port ...", from);
        QVERIFY(tried >= 0);
        QCOMPARE(h->lines.at(tried).color, QColor(Qt::white));
        QVERIFY2(h->indexOf(reopened, tried) > tried, qPrintable(h->texts().mid(from).join('|')));
        QVERIFY(!h->texts().mid(from).contains("Failed!!!Failed to open port!"));
    }

    // A port that stays away fails the step once its time is up.
    QVERIFY(bench.setChipPower(false));
    const int from = h->lines.size();
    QElapsedTimer t;
    t.start();
    QVERIFY(h->runInWorker([&] { ok = h->worker->reopenPort(800); }));
    QVERIFY(!ok);
    QVERIFY2(t.elapsed() >= 800, qPrintable(QString::number(t.elapsed())));
    QVERIFY(h->hasLine("Failed!!!Failed to open port!", Qt::red));
    QCOMPARE(h->count("Try to open the port ...", from), 1);
    // Stopped while waiting for the port: quietly, at once.
    QTimer::singleShot(200, this, [this] { h->worker->stopTest(); });
    t.restart();
    QVERIFY(h->runInWorker([&] { ok = h->worker->reopenPort(20000); }));
    QVERIFY(ok);
    QVERIFY2(t.elapsed() < 5000, qPrintable(QString::number(t.elapsed())));
    QCOMPARE(h->count("Failed!!!Failed to open port!", from), 1);
}

QTEST_GUILESS_MAIN(TestLinkSteps)
#include "tst_linksteps.moc"
