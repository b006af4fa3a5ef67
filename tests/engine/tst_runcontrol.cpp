// Run control and the worker's waiting primitive, with the worker in its
// own thread as in the program.
#include "SocketMannger.h"
#include "UartEngine.h"
#include "WorkerHarness.h"

#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <memory>
#include <thread>

#include "LogBackPressure.h"
#include "WorkerAccess.h"

class TestRunControl : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void stopWhenIdleReturnsAtOnce();
    void caseOutOfRangeRunsNothing();
    void stopRightAfterStartRunsNoCase_data();
    void stopRightAfterStartRunsNoCase();
    void unopenablePortEndsTheRun();
    void secondRunStartsClean();
    void startingRunIsNeverSeenIdle();

    void waitForEndsOnEventDeadlineAndStop();
    void logBackPressureHoldsTheEmitterOnlyForAConsumer();

private:
    // Keeps the worker thread busy for ms, so a queued start() waits behind it.
    void occupyWorker(int ms);

    std::unique_ptr<WorkerHarness> h;
};

void TestRunControl::init()
{
    h = std::make_unique<WorkerHarness>();
}

void TestRunControl::cleanup()
{
    h.reset();
}

void TestRunControl::occupyWorker(int ms)
{
    QMetaObject::invokeMethod(h->worker, [ms] { QThread::msleep(ms); }, Qt::QueuedConnection);
}

void TestRunControl::stopWhenIdleReturnsAtOnce()
{
    QElapsedTimer t;
    t.start();
    h->worker->stopTest();
    QVERIFY(t.elapsed() < 100);
    QCOMPARE(h->texts(), QStringList{QStringLiteral("Stop ...")});
    QCOMPARE(h->lines.first().color, QColor(Qt::white));
    QCOMPARE(h->finishCount, 0);
}

void TestRunControl::caseOutOfRangeRunsNothing()
{
    h->setup.caseIndex = 7;
    h->startRun();
    QVERIFY(h->waitFinished());
    QCOMPARE(h->texts(), (QStringList{QStringLiteral("Running..."), QStringLiteral("Test is finished!")}));
    QVERIFY(h->results.isEmpty());
    QVERIFY(!h->access().running());
}

void TestRunControl::stopRightAfterStartRunsNoCase_data()
{
    QTest::addColumn<int>("caseIndex");
    QTest::newRow("long-long") << 3;
    QTest::newRow("register network") << 4;
}

void TestRunControl::stopRightAfterStartRunsNoCase()
{
    QFETCH(int, caseIndex);
    h->setup.caseIndex = caseIndex;
    h->setup.portName = QStringLiteral("/nonexistent/ttyNONE");
    occupyWorker(300);
    h->startRun();
    QElapsedTimer t;
    t.start();
    h->worker->stopTest();
    // Stop waited for the announced run to come and go.
    QVERIFY(t.elapsed() >= 200);
    QVERIFY(!h->access().running());
    QVERIFY(!h->access().startPending());
    QVERIFY(h->waitFinished());
    h->pump(50);
    QCOMPARE(h->finishCount, 1);
    // No case ran and the port was not touched.
    QCOMPARE(h->texts(), (QStringList{QStringLiteral("Stop ..."), QStringLiteral("Test is finished!")}));
}

void TestRunControl::unopenablePortEndsTheRun()
{
    h->setup.caseIndex = 4;
    h->setup.portName = QStringLiteral("/nonexistent/ttyNONE");
    h->startRun();
    QVERIFY(h->waitFinished());
    const QStringList texts = h->texts();
    QCOMPARE(texts.first(), QStringLiteral("Open port..."));
    QCOMPARE(texts.last(), QStringLiteral("Failed!!!Failed to open port!"));
    QCOMPARE(h->lines.last().color, QColor(Qt::red));
    QVERIFY(!texts.contains(QStringLiteral("Running...")));
    QVERIFY(!texts.contains(QStringLiteral("Test is finished!")));

    QElapsedTimer t;
    t.start();
    h->worker->stopTest();
    QVERIFY(t.elapsed() < 100);
}

void TestRunControl::secondRunStartsClean()
{
    h->setup.caseIndex = 7;
    h->worker->stopTest();
    QVERIFY(h->access().stopRequested());
    h->runInWorker([this] {
        h->access().pppFailCount() = 2;
        h->access().tcpFailCount() = 5;
    });
    // A direct start(), as tests and tools do, starts afresh as well.
    h->runInWorker([this] { h->worker->start(); });
    QVERIFY(h->waitFinished());
    QVERIFY(!h->access().stopRequested());
    QCOMPARE(h->access().pppFailCount(), 0);
    QCOMPARE(h->access().tcpFailCount(), 0);
    QVERIFY(h->texts().contains(QStringLiteral("Running...")));

    // An announced run after a Stop runs its case too.
    h->worker->stopTest();
    h->clear();
    h->startRun();
    QVERIFY(h->waitFinished());
    QCOMPARE(h->texts(), (QStringList{QStringLiteral("Running..."), QStringLiteral("Test is finished!")}));

    // Each run has its own channel pair; the earlier pairs do not pile up.
    for (int run = 0; run < 3; ++run) {
        h->startRun();
        QVERIFY(h->waitFinished(2 + run));
    }
    int uarts = -1;
    int sockets = -1;
    h->runInWorker([&] {
        uarts = int(h->worker->findChildren<UartEngine *>(Qt::FindDirectChildrenOnly).size());
        sockets = int(h->worker->findChildren<SocketMannger *>(Qt::FindDirectChildrenOnly).size());
    });
    QCOMPARE(uarts, 1);
    QCOMPARE(sockets, 1);
}

void TestRunControl::waitForEndsOnEventDeadlineAndStop()
{
    using WR = testWorker::WaitResult;
    WR result = WR::Done;
    qint64 ms = -1;
    auto timed = [&](int timeoutMs, const std::function<bool()> &done) {
        h->runInWorker([&] {
            QElapsedTimer t;
            t.start();
            result = h->worker->waitFor(timeoutMs, done);
            ms = t.elapsed();
        });
    };

    // Woken by an event of the worker thread long before the tick.
    WorkerLimits slowTick = WorkerHarness::quickLimits();
    slowTick.stopLatencyMs = 1000;
    h->worker->setLimits(slowTick);
    bool fired = false;
    h->runInWorker([&] { QTimer::singleShot(30, h->worker, [&] { fired = true; }); });
    timed(3000, [&] { return fired; });
    QCOMPARE(result, WR::Done);
    QVERIFY2(ms < 600, qPrintable(QString::number(ms)));

    h->worker->setLimits(WorkerHarness::quickLimits());
    timed(0, [] { return true; });
    QCOMPARE(result, WR::TimedOut);
    timed(1000, [] { return true; });
    QCOMPARE(result, WR::Done);
    QVERIFY(ms < 100);
    timed(250, [] { return false; });
    QCOMPARE(result, WR::TimedOut);
    QVERIFY2(ms >= 250 && ms < 600, qPrintable(QString::number(ms)));

    // The stop request wakes it at once, even with a slow tick.
    h->worker->setLimits(slowTick);
    QTimer::singleShot(200, this, [this] { h->worker->stopTest(); });
    timed(10000, [] { return false; });
    QCOMPARE(result, WR::Stopped);
    QVERIFY2(ms >= 190 && ms < 700, qPrintable(QString::number(ms)));
}

void TestRunControl::logBackPressureHoldsTheEmitterOnlyForAConsumer()
{
    LogBackPressure flow(10);
    std::atomic<bool> stop{false};

    // Nobody consumes (a worker without a window): lines never wait.
    for (int i = 0; i < 100; ++i)
        flow.beforeEmit(true, stop);
    QCOMPARE(flow.inFlight(), 0);

    flow.setConsumer(true);
    std::atomic<int> emitted{0};
    std::atomic<bool> quit{false};
    std::thread emitter([&] {
        while (!quit) {
            flow.beforeEmit(true, stop);
            ++emitted;
        }
    });
    // Held at the cap: the line past it waits.
    QTRY_COMPARE(flow.inFlight(), 11);
    QThread::msleep(200);
    QCOMPARE(emitted.load(), 10);
    QCOMPARE(flow.inFlight(), 11);

    // The consumer takes lines: the emitter goes on once it is down to half.
    for (int i = 0; i < 5; ++i)
        flow.taken();
    QThread::msleep(100);
    QCOMPARE(emitted.load(), 10);
    flow.taken();
    QTRY_COMPARE(emitted.load(), 16);
    QCOMPARE(flow.inFlight(), 11);
    QCOMPARE(flow.takePeak(), 11);

    // A stop releases it at once and it no longer waits; taking a line that
    // was never counted leaves the count at zero.
    stop = true;
    flow.wake();
    QTRY_VERIFY(emitted.load() > 1000);
    quit = true;
    emitter.join();
    flow.setConsumer(false);
    flow.taken();
    QCOMPARE(flow.inFlight(), 0);
}

QTEST_GUILESS_MAIN(TestRunControl)
namespace {
// The two run flags as start() flips them: announced, then running raised
// and the mark dropped, both right after the first load by the reader.
struct StartRace
{
    bool pending = true;
    bool running = false;
    int loads = 0;
};

struct RacedFlag
{
    StartRace *race;
    bool StartRace::*value;
    bool load() const
    {
        const bool seen = race->*value;
        if (++race->loads == 1) {
            race->running = true;
            race->pending = false;
        }
        return seen;
    }
};
} // namespace

void TestRunControl::startingRunIsNeverSeenIdle()
{
    // Whichever flag is read first, start() may switch both before the
    // second load; Stop must still see the run.
    StartRace race;
    const RacedFlag pending{&race, &StartRace::pending};
    const RacedFlag running{&race, &StartRace::running};
    QVERIFY(WorkerAccess::runActive(pending, running));
    QVERIFY(race.running);
}

#include "tst_runcontrol.moc"
