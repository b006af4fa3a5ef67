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
#include <QTest>
#include <QTimer>

#include <memory>

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
