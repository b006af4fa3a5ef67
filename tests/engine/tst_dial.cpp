// Dial-up and hang-up steps against the virtual bench's dial service.
#include "BenchWorkerTest.h"
#include "DialNotifier.h"
#include "FakePppd.h"
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
    void pppdsReasonFollowsTheFailure();
    void leftoverPppdIsEndedWithAYellowLine();

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
    // The red line, then RAS's code and words for the refusal as data.
    QCOMPARE(h->texts(), (QStringList{DialFailed, QStringLiteral("RAS error 633: The port is not available.")}));
    QCOMPARE(h->lines.first().color, QColor(Qt::red));
    QCOMPARE(h->lines.last().color, QColor(Qt::yellow));
    QVERIFY(h->avgTimes.isEmpty());
    // Whatever the refusal left is released, without a word.
    QCOMPARE(bench.dials().value(QStringLiteral("held")).toInt(), 0);
}

void TestDial::failedDialHangsUp_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("linesBefore");
    QTest::addColumn<QStringList>("codeLine"); // RAS's error code and text, where it gave one
    const QStringList noAnswer{QStringLiteral("RAS error 678: The remote computer did not respond.")};
    QTest::newRow("error in the first report") << QStringLiteral("dial.failAt") << int(RASCS_OpenPort) << 0
                                               << noAnswer;
    QTest::newRow("error with the connected state") << QStringLiteral("dial.failAt") << int(RASCS_Connected) << 6
                                                    << noAnswer;
    QTest::newRow("disconnected instead of connected") << QStringLiteral("dial.disconnect") << 1 << 6
                                                       << QStringList();
}

void TestDial::failedDialHangsUp()
{
    QFETCH(QString, fault);
    QFETCH(int, value);
    QFETCH(int, linesBefore);
    QFETCH(QStringList, codeLine);
    QVERIFY(bench.setFault(fault, value));
    QVERIFY(!dial());
    const QStringList texts = h->texts();
    QCOMPARE(texts.size(), linesBefore + 3 + codeLine.size());
    QCOMPARE(texts.mid(linesBefore),
             (QStringList{DialFailed} + codeLine + QStringList{ClosePpp, Closed}));
    QCOMPARE(h->lines.at(linesBefore).color, QColor(Qt::red));
    if (!codeLine.isEmpty())
        QCOMPARE(h->lines.at(linesBefore + 1).color, QColor(Qt::yellow));
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

void TestDial::pppdsReasonFollowsTheFailure()
{
    // Without a bench the dial runs pppd, whose own words explain a failure.
    const QByteArray benchEnv = qgetenv("TREVALO_BENCH");
    bool ok = true;
    {
        FakePppd pppd;
        QVERIFY(pppd.isValid());
        pppd.setMode(QStringLiteral("connect-fail"));
        ok = dial();
    }
    qputenv("TREVALO_BENCH", benchEnv);
    QVERIFY(!ok);
    const QStringList texts = h->texts();
    const int failed = texts.indexOf(DialFailed);
    QVERIFY2(failed >= 0, qPrintable(texts.join('|')));
    QCOMPARE(texts.mid(failed), (QStringList{DialFailed, QStringLiteral("RAS error 678: pppd: Connect script failed"),
                                             ClosePpp, Closed}));
    QCOMPARE(h->lines.at(failed + 1).color, QColor(Qt::yellow));
}

void TestDial::leftoverPppdIsEndedWithAYellowLine()
{
    // A run killed outright left its pppd holding the port; this dial ends
    // it first and tells the operator, then dials.
    const QByteArray benchEnv = qgetenv("TREVALO_BENCH");
    bool ok = false;
    qint64 left = 0;
    QString linkDialled, linkAfter;
    {
        FakePppd pppd;
        QVERIFY(pppd.isValid());
        left = pppd.leaveBehind();
        ok = left > 0 && dial();
        linkDialled = h->access().linkInterface();
        h->runInWorker([&] { h->worker->hangUpPpp(); });
        linkAfter = h->access().linkInterface();
    }
    qputenv("TREVALO_BENCH", benchEnv);
    QVERIFY(left > 0);
    QVERIFY(ok);
    QVERIFY(!FakePppd::isRunning(left));
    // The link's interface, as pppd named it, is the cycle's until the hang-up.
    QCOMPARE(linkDialled, QStringLiteral("ppp0"));
    QCOMPARE(linkAfter, QString());
    const QStringList texts = h->texts();
    const QString ended = QStringLiteral("Ended pppd (pid %1) left running by trevalo (pid ").arg(left);
    int at = -1;
    for (int i = 0; i < texts.size() && at < 0; ++i)
        at = texts.at(i).startsWith(ended) ? i : -1;
    QVERIFY2(at >= 0, qPrintable(texts.join('|')));
    QCOMPARE(h->lines.at(at).color, QColor(Qt::yellow));
    const int success = texts.indexOf(QStringLiteral("PPP Dial up Success!"));
    QVERIFY(at < success);
    QCOMPARE(texts.value(success + 1), QStringLiteral("PPP link on ppp0: ping and echo go through it"));
    QCOMPARE(h->lines.at(success + 1).color, QColor(Qt::yellow));
}

QTEST_GUILESS_MAIN(TestDial)
#include "tst_dial.moc"
