// The sleep-wake PPP case against a virtual bench: powered wait, power-off,
// dial-up and hang-up, and a Stop at each of its stages.
#include <QtTest>

#include "BenchProcess.h"
#include "RadioRun.h"
#include "TestCases.h"

namespace {
const QString Separator = QStringLiteral("=================================");
const QString PowerOn = QStringLiteral("Power on chip...");
const QString PowerOff = QStringLiteral("Power off chip...");
const QString DialOk = QStringLiteral("PPP Dial up Success!");
const QString DialFailed = QStringLiteral("Failed!!!PPP Dial up failed!");
const QString HangUp = QStringLiteral("close PPP...");
const QString Closed = QStringLiteral("Closed");
const QString Stop = QStringLiteral("Stop ...");
const QString Finished = QStringLiteral("Test is finished!");
}

class tst_SleepWake : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void passingCyclePowersOffBeforeDialling();
    void failedDialFailsTheCycleOnly();
    void stopDuringThePoweredWait();
    void stopDuringADial();
    void stopJustAfterAPassingCycle();

private:
    bool chipPowered() const
    {
        return m_bench.state().value(QStringLiteral("chip")).toObject().value(QStringLiteral("powered")).toBool();
    }
    QJsonObject dials() const { return m_bench.state().value(QStringLiteral("dials")).toObject(); }
    void startRun();

    BenchProcess m_bench;
    RadioRun *m_run = nullptr;
};

void tst_SleepWake::init()
{
    QVERIFY2(m_bench.start({QStringLiteral("--boards"), QStringLiteral("SLP01:1")}), qPrintable(m_bench.errorString()));
    m_run = new RadioRun(TestCases::SleepWakePpp);
    QVERIFY(m_run->selectBoard(0));
}

void tst_SleepWake::cleanup()
{
    delete m_run;
    m_run = nullptr;
    QCOMPARE(usb_relay_device_open_handle_count(), 0);
    m_bench.stop();
}

void tst_SleepWake::startRun()
{
    m_run->start();
    QVERIFY(m_run->waitLine(QStringLiteral("Running..."), 0, 5000));
}

void tst_SleepWake::passingCyclePowersOffBeforeDialling()
{
    startRun();
    QVERIFY(m_run->waitResults(1, 15000));
    QCOMPARE(m_run->results.first(), true);

    const QStringList cycle = m_run->workerLines(m_run->indexOf(Separator));
    QCOMPARE(cycle.mid(0, 3), (QStringList{Separator, PowerOn, PowerOff}));
    const int ok = cycle.indexOf(DialOk);
    QVERIFY(ok > 2);
    QCOMPARE(cycle.mid(ok, 3), (QStringList{DialOk, HangUp, Closed}));
    QVERIFY(m_run->resultAt[0] > m_run->indexOf(Closed));
    QCOMPARE(m_run->colorOf(DialOk), QColor(Qt::green));

    m_run->stop();
    QVERIFY(m_run->waitFinished(5000));
    QVERIFY(!chipPowered());
    QVERIFY(dials().value(QStringLiteral("connected")).toInt() >= 1);
    QCOMPARE(dials().value(QStringLiteral("up")).toInt(), 0);
}

void tst_SleepWake::failedDialFailsTheCycleOnly()
{
    QVERIFY(m_bench.setFault(QStringLiteral("dial.refuse"), 633));
    startRun();
    QVERIFY(m_run->waitResults(1, 15000));
    QVERIFY(m_bench.clearFaults());
    QVERIFY(m_run->waitResults(2, 15000));
    QCOMPARE(m_run->results.mid(0, 2), (QVector<bool>{false, true}));
    QVERIFY(m_run->indexOf(DialFailed) > m_run->indexOf(PowerOff));
    QVERIFY(m_run->resultAt[0] > m_run->indexOf(DialFailed));
    m_run->stop();
}

void tst_SleepWake::stopDuringThePoweredWait()
{
    WorkerLimits limits = RadioRun::quickLimits();
    limits.sleepWakeMs = 60000;
    m_run->worker->setLimits(limits);
    startRun();
    QVERIFY(m_run->waitLine(PowerOn, 0, 5000));
    QVERIFY(m_run->waitUntil([&] { return chipPowered(); }, 5000));
    QTest::qWait(300);

    // Power-off follows within one pass of the wait, and nothing is counted.
    QVERIFY(m_run->stop() < 1000);
    QVERIFY(m_run->waitFinished(2000));
    const int stopAt = m_run->indexOf(Stop);
    QCOMPARE(m_run->workerLines(stopAt), (QStringList{Stop, PowerOff, Finished}));
    QVERIFY(m_run->results.isEmpty());
    QVERIFY(!chipPowered());
}

void tst_SleepWake::stopDuringADial()
{
    QVERIFY(m_bench.setFault(QStringLiteral("dial.slowMs"), 1500));
    startRun();
    QVERIFY(m_run->waitUntil([&] { return dials().value(QStringLiteral("inProgress")).toInt() > 0; }, 10000));
    QVERIFY(m_run->stop() < 5000);
    QVERIFY(m_run->waitFinished(2000));

    // Whether the dial finished or was cut short, the line is hung up and
    // the stopped cycle counts neither way.
    QVERIFY(m_run->results.isEmpty());
    const int stopAt = m_run->indexOf(Stop);
    QVERIFY(m_run->indexOf(HangUp, stopAt) > stopAt);
    QCOMPARE(m_run->lines.last().text, Finished);
    QCOMPARE(m_run->count(Separator), 1);
    QCOMPARE(dials().value(QStringLiteral("inProgress")).toInt(), 0);
    QCOMPARE(dials().value(QStringLiteral("up")).toInt(), 0);
}

void tst_SleepWake::stopJustAfterAPassingCycle()
{
    WorkerLimits limits = RadioRun::quickLimits();
    limits.cyclePauseMs = 600;
    m_run->worker->setLimits(limits);
    startRun();
    QVERIFY(m_run->waitResults(1, 15000));
    const int afterPass = m_run->lines.size();

    // The next cycle still starts, powers up, and ends at once.
    m_run->stop();
    QVERIFY(m_run->waitFinished(3000));
    QCOMPARE(m_run->results.size(), 1);
    QCOMPARE(m_run->workerLines(afterPass), (QStringList{Stop, Separator, PowerOn, PowerOff, Finished}));
    QVERIFY(!chipPowered());
}

QTEST_GUILESS_MAIN(tst_SleepWake)
#include "tst_sleepwake.moc"
