// The sleep-wake PPP case against a virtual bench: powered wait, power-off,
// dial-up and hang-up, and a Stop at each of its stages.
#include <QtTest>

#include "BenchWorkerTest.h"
#include "MetricsWriter.h"
#include "RecordFile.h"
#include "TestCases.h"
#include "WorkerTexts.h"

#include <sys/stat.h>

using namespace WorkerText;

class tst_SleepWake : public BenchWorkerTest
{
    Q_OBJECT

public:
    tst_SleepWake()
        : BenchWorkerTest({QStringLiteral("--boards"), QStringLiteral("SLP01:1")}, TestCases::SleepWakePpp, FreshBench)
    {
    }

private slots:
    void passingCyclePowersOffBeforeDialling();
    void failedDialFailsTheCycleOnly();
    void failedDialWithAStopPendingIsCounted();
    void stopDuringThePoweredWait();
    void stopDuringADial();
    void stopJustAfterAPassingCycle();
    void failedPowerOffSkipsTheDial();
    void metricsHeartbeatDuringThePoweredWait();
};

void tst_SleepWake::passingCyclePowersOffBeforeDialling()
{
    startRunning();
    QVERIFY(h->waitResults(1, 15000));
    QCOMPARE(h->results.first(), true);

    const QStringList cycle = h->workerLines(h->indexOf(Separator));
    QCOMPARE(cycle.mid(0, 3), (QStringList{Separator, PowerOn, PowerOff}));
    const int ok = cycle.indexOf(DialOk);
    QVERIFY(ok > 2);
    QCOMPARE(cycle.mid(ok, 3), (QStringList{DialOk, ClosePpp, Closed}));
    QVERIFY(h->resultAt[0] > h->indexOf(Closed));
    QCOMPARE(h->colorOf(DialOk), QColor(Qt::green));

    h->stop();
    QVERIFY(h->waitFinished(1, 5000));
    QVERIFY(!bench.chipPowered());
    QVERIFY(bench.dials().value(QStringLiteral("connected")).toInt() >= 1);
    QCOMPARE(bench.dials().value(QStringLiteral("up")).toInt(), 0);
}

void tst_SleepWake::failedDialFailsTheCycleOnly()
{
    QTemporaryDir records;
    h->worker->setRecordsDir(records.path());
    QVERIFY(bench.setFault(QStringLiteral("dial.refuse"), 633));
    startRunning();
    QVERIFY(h->waitResults(1, 15000));
    QVERIFY(bench.clearFaults());
    QVERIFY(h->waitResults(2, 15000));
    QCOMPARE(h->results.mid(0, 2), (QVector<bool>{false, true}));
    QVERIFY(h->indexOf(DialFailed) > h->indexOf(PowerOff));
    QVERIFY(h->resultAt[0] > h->indexOf(DialFailed));
    h->stop();

    // The failed dial on record; the passing cycle with its timed dial-up and hang-up.
    const RecordFile rec(h->worker->recordFile());
    QCOMPARE(rec.cycles.size(), h->results.size());
    QCOMPARE(rec.cycles[0].value("failedStep").toString(), QStringLiteral("dialUpPpp"));
    QCOMPARE(rec.cycles[0].value("failedLine").toString(), DialFailed);
    QVERIFY(rec.cycles[1].value("pass").toBool());
    QVERIFY(rec.cycles[1].value("dialUpMs").toInt(-1) >= 0);
    QVERIFY(rec.cycles[1].value("hangUpMs").toInt(-1) >= 0);
    QCOMPARE(rec.run.value("board").toString(), QStringLiteral("SLP01"));
}

void tst_SleepWake::failedDialWithAStopPendingIsCounted()
{
    // The dial really failed; the Stop came only as it did. The cycle counts,
    // and the next one ends the run once its chip is powered.
    QVERIFY(bench.setFault(QStringLiteral("dial.refuse"), 633));
    h->stopInWorkerOnLine(DialFailed);
    startRunning();
    QVERIFY(h->waitFinished(1, 15000));
    QCOMPARE(h->results, QVector<bool>{false});
    QCOMPARE(h->workerLines(h->resultAt[0]), (QStringList{Separator, PowerOn, PowerOff, Finished}));
    QVERIFY(!bench.chipPowered());
}

void tst_SleepWake::stopDuringThePoweredWait()
{
    WorkerLimits limits = WorkerHarness::quickLimits();
    limits.sleepWakeMs = 60000;
    h->worker->setLimits(limits);
    startRunning();
    QVERIFY(h->waitLine(PowerOn, 0, 5000));
    QVERIFY(h->waitUntil([&] { return bench.chipPowered(); }, 5000));
    QTest::qWait(300);

    // Power-off follows within one pass of the wait, and nothing is counted.
    QVERIFY(h->stop() < 1000);
    QVERIFY(h->waitFinished(1, 2000));
    const int stopAt = h->indexOf(Stop);
    QCOMPARE(h->workerLines(stopAt), (QStringList{Stop, PowerOff, Finished}));
    QVERIFY(h->results.isEmpty());
    QVERIFY(!bench.chipPowered());
}

void tst_SleepWake::stopDuringADial()
{
    QVERIFY(bench.setFault(QStringLiteral("dial.slowMs"), 1500));
    startRunning();
    QVERIFY(h->waitUntil([&] { return bench.dials().value(QStringLiteral("inProgress")).toInt() > 0; }, 10000));
    QVERIFY(h->stop() < 5000);
    QVERIFY(h->waitFinished(1, 2000));

    // Whether the dial finished or was cut short, the line is hung up and
    // the stopped cycle counts neither way.
    QVERIFY(h->results.isEmpty());
    const int stopAt = h->indexOf(Stop);
    QVERIFY(h->indexOf(ClosePpp, stopAt) > stopAt);
    QCOMPARE(h->lines.last().text, Finished);
    QCOMPARE(h->count(Separator), 1);
    QCOMPARE(bench.dials().value(QStringLiteral("inProgress")).toInt(), 0);
    QCOMPARE(bench.dials().value(QStringLiteral("up")).toInt(), 0);
}

void tst_SleepWake::stopJustAfterAPassingCycle()
{
    WorkerLimits limits = WorkerHarness::quickLimits();
    limits.cyclePauseMs = 600;
    h->worker->setLimits(limits);
    startRunning();
    QVERIFY(h->waitResults(1, 15000));
    const int afterPass = h->lines.size();

    // The next cycle still starts, powers up, and ends at once.
    h->stop();
    QVERIFY(h->waitFinished(1, 3000));
    QCOMPARE(h->results.size(), 1);
    QCOMPARE(h->workerLines(afterPass), (QStringList{Stop, Separator, PowerOn, PowerOff, Finished}));
    QVERIFY(!bench.chipPowered());
}

void tst_SleepWake::failedPowerOffSkipsTheDial()
{
    WorkerLimits l = WorkerHarness::quickLimits();
    l.sleepWakeMs = 1000; // time enough for the relay to stick meanwhile
    h->worker->setLimits(l);
    runWithPowerOffStuck();
    if (QTest::currentTestFailed())
        return;
    // The power-off after the wait failed: no dial-up follows.
    QCOMPARE(h->count(DialOk) + h->count(DialFailed), 0);
    QCOMPARE(bench.dials().value(QStringLiteral("started")).toInt(), 0);
}

void tst_SleepWake::metricsHeartbeatDuringThePoweredWait()
{
    // No cycle is counted for the whole powered wait; the file must still be
    // rewritten at every heartbeat, or the farm takes the bench for dead.
    WorkerLimits limits = WorkerHarness::quickLimits();
    limits.sleepWakeMs = 60000;
    h->worker->setLimits(limits);
    QTemporaryDir dir;
    MetricsWriter metrics;
    metrics.setHeartbeatMs(200);
    metrics.follow(h->worker);
    QVERIFY(metrics.start(dir.path(), QStringLiteral("slp")));
    startRunning();
    QVERIFY(h->waitUntil([&] { return bench.chipPowered(); }, 5000));

    // Each write is a new file renamed into place: count them by inode.
    QSet<quint64> inodes;
    QByteArray text;
    QElapsedTimer t;
    t.start();
    // Every 200 ms; a loaded machine (sanitizers) may take longer for four.
    while (inodes.size() < 4 && t.elapsed() < 8000) {
        h->pump(50);
        QFile f(metrics.filePath());
        QVERIFY(f.open(QIODevice::ReadOnly));
        text = f.readAll();
        struct stat st{};
        QVERIFY(::fstat(f.handle(), &st) == 0);
        inodes.insert(quint64(st.st_ino));
    }
    QVERIFY(h->results.isEmpty());
    QVERIFY2(inodes.size() >= 4, qPrintable(QString::number(inodes.size())));
    QVERIFY(text.contains("trevalo_run_active{bench=\"slp\",case=\"SleepWakePPPTest\"} 1\n"));
    QVERIFY(text.contains("trevalo_run_last_cycle_timestamp_seconds{bench=\"slp\",case=\"SleepWakePPPTest\"} 0\n"));
    h->stop();
    QVERIFY(h->waitFinished(1, 3000));
    h->pump(50);
    QFile f(metrics.filePath());
    QVERIFY(f.open(QIODevice::ReadOnly));
    QVERIFY(f.readAll().contains("trevalo_run_active{bench=\"slp\",case=\"SleepWakePPPTest\"} 0\n"));
}

QTEST_GUILESS_MAIN(tst_SleepWake)
#include "tst_sleepwake.moc"
