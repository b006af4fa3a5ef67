// Dial-up and hang-up steps against the virtual bench's dial service.
#include "BenchWorkerTest.h"
#include "DialNotifier.h"
#include "WorkerTexts.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QTest>
#include <QTimer>

using namespace WorkerText;

class TestDial : public BenchWorkerTest
{
    Q_OBJECT

public:
    TestDial() : BenchWorkerTest({QStringLiteral("--dial-step-ms"), QStringLiteral("15")}) {}

private slots:
    void progressCodes();
    void dialLogsEachStageOnceAndReportsTimes();
    void refusedDialLogsOneLineAndNoTime_data();
    void refusedDialLogsOneLineAndNoTime();
    void failedDialHangsUp_data();
    void failedDialHangsUp();
    void dialIsBounded();
    void stopDuringDialHangsUpQuietly();
    void hangUpWithoutConnection();

private:
    bool dial(qint64 *ms = nullptr);
};

bool TestDial::dial(qint64 *ms)
{
    bool ok = false;
    h->runInWorker([&] {
        QElapsedTimer t;
        t.start();
        ok = h->worker->dialUpPpp();
        if (ms)
            *ms = t.elapsed();
    });
    return ok;
}

void TestDial::progressCodes()
{
    // An error code wins over any state, the connected state included.
    QCOMPARE(DialNotifier::codeFor(RASCS_Connected, 0), 0);
    QCOMPARE(DialNotifier::codeFor(RASCS_Connected, 678), -1);
    QCOMPARE(DialNotifier::codeFor(RASCS_OpenPort, 633), -1);
    QCOMPARE(DialNotifier::codeFor(RASCS_Disconnected, 0), -1);
    QCOMPARE(DialNotifier::codeFor(RASCS_OpenPort, 0), 1);
    QCOMPARE(DialNotifier::codeFor(RASCS_DeviceConnected, 0), 2);
    QCOMPARE(DialNotifier::codeFor(RASCS_Authenticate, 0), 3);
    QCOMPARE(DialNotifier::codeFor(RASCS_Authenticated, 0), 4);
    QCOMPARE(DialNotifier::codeFor(RASCS_PortOpened, 0), 5);
    QCOMPARE(DialNotifier::codeFor(RASCS_Projected, 0), 5);

    // A failure is not overwritten by a later report of the same dial.
    DialNotifier::arm(nullptr);
    QCOMPARE(DialNotifier::state(), DialNotifier::NoReport);
    DialNotifier::notify(0, RASCS_OpenPort, 0);
    QCOMPARE(DialNotifier::state(), 1);
    DialNotifier::notify(0, RASCS_ConnectDevice, 651);
    DialNotifier::notify(0, RASCS_Connected, 0);
    QCOMPARE(DialNotifier::state(), -1);
    DialNotifier::arm(nullptr);
    QCOMPARE(DialNotifier::state(), DialNotifier::NoReport);
}

void TestDial::dialLogsEachStageOnceAndReportsTimes()
{
    QVERIFY(dial());
    // OpenPort, PortOpened, ConnectDevice, DeviceConnected, AllDevicesConnected,
    // Authenticate, Authenticated, Connected: the two states between OpenPort
    // and DeviceConnected share one line.
    QCOMPARE(h->texts(), (QStringList{QStringLiteral("Try to open the port ... ..."),
                                      QStringLiteral("PPP Connecting..."),
                                      QStringLiteral("Have connected to the device"),
                                      QStringLiteral("PPP Connecting..."),
                                      QStringLiteral("Try to Authenticate the usr/pwd ..."),
                                      QStringLiteral("Authenticate Ok"),
                                      DialOk}));
    QCOMPARE(h->lines.last().color, QColor(Qt::green));
    QCOMPARE(h->avgTimes.size(), 1);
    QVERIFY(h->avgTimes.first().first);
    // Seven steps of 15 ms at least, and monotonic.
    QVERIFY2(h->avgTimes.first().second >= 100 && h->avgTimes.first().second < 3000,
             qPrintable(QString::number(h->avgTimes.first().second)));
    QCOMPARE(bench.dials().value(QStringLiteral("up")).toInt(), 1);

    bool hung = false;
    h->runInWorker([&] { hung = h->worker->hangUpPpp(); });
    QVERIFY(hung);
    QCOMPARE(h->texts().mid(7), (QStringList{ClosePpp, Closed}));
    QCOMPARE(h->avgTimes.size(), 2);
    QVERIFY(!h->avgTimes.last().first);
    QVERIFY(h->avgTimes.last().second >= 0);
    QCOMPARE(bench.dials().value(QStringLiteral("held")).toInt(), 0);
}

void TestDial::refusedDialLogsOneLineAndNoTime_data()
{
    QTest::addColumn<bool>("lineHeld");
    QTest::newRow("refused") << false;
    QTest::newRow("refused after taking the line") << true;
}

void TestDial::refusedDialLogsOneLineAndNoTime()
{
    QFETCH(bool, lineHeld);
    QVERIFY(bench.setFaults({{QStringLiteral("dial.refuse"), 633},
                             {QStringLiteral("dial.refuseHeld"), lineHeld}}));
    QVERIFY(!dial());
    QCOMPARE(h->texts(), QStringList{DialFailed});
    QCOMPARE(h->lines.first().color, QColor(Qt::red));
    QVERIFY(h->avgTimes.isEmpty());
    // Whatever the refusal left is released, without a word.
    QCOMPARE(bench.dials().value(QStringLiteral("held")).toInt(), 0);
}

void TestDial::failedDialHangsUp_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("linesBefore");
    QTest::newRow("error in the first report") << QStringLiteral("dial.failAt") << int(RASCS_OpenPort) << 0;
    QTest::newRow("error with the connected state") << QStringLiteral("dial.failAt") << int(RASCS_Connected) << 6;
    QTest::newRow("disconnected instead of connected") << QStringLiteral("dial.disconnect") << 1 << 6;
}

void TestDial::failedDialHangsUp()
{
    QFETCH(QString, fault);
    QFETCH(int, value);
    QFETCH(int, linesBefore);
    QVERIFY(bench.setFault(fault, value));
    QVERIFY(!dial());
    const QStringList texts = h->texts();
    QCOMPARE(texts.size(), linesBefore + 3);
    QCOMPARE(texts.mid(linesBefore),
             (QStringList{DialFailed, ClosePpp, Closed}));
    QCOMPARE(h->lines.at(linesBefore).color, QColor(Qt::red));
    QCOMPARE(h->avgTimes.size(), 1);
    QVERIFY(!h->avgTimes.first().first);
}

void TestDial::dialIsBounded()
{
    QVERIFY(bench.setFault(QStringLiteral("dial.hang"), true));
    WorkerLimits l = WorkerHarness::quickLimits();
    l.dialBoundMs = 800;
    h->worker->setLimits(l);
    qint64 ms = -1;
    QVERIFY(!dial(&ms));
    QVERIFY2(ms >= 790 && ms < 1300, qPrintable(QString::number(ms)));
    QCOMPARE(h->texts().mid(h->texts().size() - 3),
             (QStringList{DialFailed, ClosePpp, Closed}));
    QCOMPARE(bench.dials().value(QStringLiteral("held")).toInt(), 0);
}

void TestDial::stopDuringDialHangsUpQuietly()
{
    QVERIFY(bench.setFault(QStringLiteral("dial.hang"), true));
    WorkerLimits l = WorkerHarness::quickLimits();
    l.dialBoundMs = 20000;
    h->worker->setLimits(l);
    QTimer::singleShot(300, this, [this] { h->worker->stopTest(); });
    qint64 ms = -1;
    QVERIFY(!dial(&ms));
    QVERIFY2(ms < 600, qPrintable(QString::number(ms)));
    QVERIFY(!h->texts().contains(DialFailed));
    QCOMPARE(h->texts().mid(h->texts().size() - 2), (QStringList{ClosePpp, Closed}));
    QCOMPARE(bench.dials().value(QStringLiteral("held")).toInt(), 0);
}

void TestDial::hangUpWithoutConnection()
{
    bool hung = false;
    h->runInWorker([&] { hung = h->worker->hangUpPpp(); });
    QVERIFY(hung);
    QCOMPARE(h->texts(), (QStringList{ClosePpp, Closed}));
    QCOMPARE(h->avgTimes.size(), 1);
    QVERIFY(h->avgTimes.first().second >= 0 && h->avgTimes.first().second < 500);
}

QTEST_GUILESS_MAIN(TestDial)
#include "tst_dial.moc"
