// The RAS layer and the dial object dialling the virtual bench's modem,
// with the bench running as a separate process.
#include "BenchProcess.h"
#include "CZorvPppDialObj.h"
#include "NotifierLog.h"
#include "ras.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QLocalServer>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>

namespace {

HRASCONN dial(DWORD *rc, LPVOID notifier = reinterpret_cast<LPVOID>(&NotifierLog::notifier))
{
    RASDIALPARAMSA p;
    std::memset(&p, 0, sizeof(p));
    p.dwSize = sizeof(p);
    std::strcpy(p.szPhoneNumber, "*99***1#");
    HRASCONN h = nullptr;
    *rc = RasDialA(nullptr, nullptr, &p, 0, notifier, &h);
    return h;
}

RASCONNSTATUSA queryStatus(HRASCONN h)
{
    RASCONNSTATUSA s;
    std::memset(&s, 0, sizeof(s));
    s.dwSize = sizeof(s);
    RasGetConnectStatusA(h, &s);
    return s;
}

const QList<int> kFullDial{RASCS_OpenPort,          RASCS_PortOpened,   RASCS_ConnectDevice,
                           RASCS_DeviceConnected,   RASCS_AllDevicesConnected,
                           RASCS_Authenticate,      RASCS_Authenticated, RASCS_Connected};

} // namespace

class TestRasDialBench : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void connectsAndHangsUp();
    void refusalComesBackFromRasDial();
    void refusalHoldingTheLineHandsOutAHandle();
    void failureAtAStage_data();
    void failureAtAStage();
    void slowDialReturnsAtOnce();
    void neverCompletingDialHangsUpPromptly();
    void lineDropShowsInStatus();
    void dialObjectOverTheBench();
    void dialObjectLeavesNoLineHeld();
    void silentBenchIsAnError();
    void benchVanishingMidDial();

private:
    QJsonObject dials() const { return m_bench.state().value("dials").toObject(); }
    BenchProcess m_bench;
};

void TestRasDialBench::initTestCase()
{
    QVERIFY2(m_bench.start(), qPrintable(m_bench.errorString()));
}

void TestRasDialBench::init()
{
    QVERIFY(m_bench.isRunning());
    QVERIFY(m_bench.clearFaults());
    NotifierLog::instance().reset();
}

void TestRasDialBench::cleanupTestCase()
{
    m_bench.stop();
}

void TestRasDialBench::connectsAndHangsUp()
{
    DWORD rc = 1;
    const HRASCONN h = dial(&rc);
    QCOMPARE(rc, DWORD(0));
    QVERIFY(NotifierLog::instance().waitForEnd(10000));
    QCOMPARE(NotifierLog::instance().states(), kFullDial);
    for (const NotifierCall &c : NotifierLog::instance().calls()) {
        QCOMPARE(c.error, DWORD(0));
        QVERIFY(c.thread != std::this_thread::get_id());
    }
    QCOMPARE(queryStatus(h).rasconnstate, RASCS_Connected);
    QCOMPARE(dials().value("up").toInt(), 1);

    QCOMPARE(RasHangUpA(h), DWORD(0));
    NotifierLog::instance().markHungUp();
    // Released by the time RasHangUpA returned, as a hang-up, not abandoned.
    const QJsonObject d = dials();
    QCOMPARE(d.value("held").toInt(), 0);
    QCOMPARE(d.value("hangups").toInt(), 1);
    QCOMPARE(d.value("abandoned").toInt(), 0);
}

void TestRasDialBench::refusalComesBackFromRasDial()
{
    QVERIFY(m_bench.setFault("dial.refuse", 633));
    DWORD rc = 0;
    const HRASCONN h = dial(&rc);
    QCOMPARE(rc, DWORD(633));
    QVERIFY(h == nullptr);
    QTest::qWait(100);
    QVERIFY(NotifierLog::instance().calls().isEmpty());
}

void TestRasDialBench::refusalHoldingTheLineHandsOutAHandle()
{
    QVERIFY(m_bench.setFaults({{"dial.refuse", 633}, {"dial.refuseHeld", true}}));
    DWORD rc = 0;
    const HRASCONN h = dial(&rc);
    QCOMPARE(rc, DWORD(633));
    QVERIFY(h != nullptr);
    QCOMPARE(queryStatus(h).dwError, DWORD(633));
    QCOMPARE(dials().value("held").toInt(), 1);

    QCOMPARE(RasHangUpA(h), DWORD(0));
    QCOMPARE(dials().value("held").toInt(), 0);
    QCOMPARE(dials().value("abandoned").toInt(), 0);
    QCOMPARE(RasHangUpA(h), DWORD(ERROR_INVALID_HANDLE));
    QVERIFY(NotifierLog::instance().calls().isEmpty());
}

void TestRasDialBench::failureAtAStage_data()
{
    QTest::addColumn<QJsonObject>("faults");
    QTest::addColumn<int>("state");
    QTest::addColumn<int>("error");
    QTest::newRow("authentication")
        << QJsonObject{{"dial.failAt", RASCS_Authenticate}, {"dial.failCode", 691}}
        << int(RASCS_Authenticate) << 691;
    QTest::newRow("first report") << QJsonObject{{"dial.failAt", RASCS_OpenPort}}
                                  << int(RASCS_OpenPort) << 678;
    QTest::newRow("error on connected")
        << QJsonObject{{"dial.failAt", RASCS_Connected}, {"dial.failCode", 718}}
        << int(RASCS_Connected) << 718;
    QTest::newRow("disconnected") << QJsonObject{{"dial.disconnect", true}}
                                  << int(RASCS_Disconnected) << 0;
}

void TestRasDialBench::failureAtAStage()
{
    QFETCH(QJsonObject, faults);
    QFETCH(int, state);
    QFETCH(int, error);
    QVERIFY(m_bench.setFaults(faults));
    DWORD rc = 1;
    const HRASCONN h = dial(&rc);
    QCOMPARE(rc, DWORD(0));
    QVERIFY(NotifierLog::instance().waitForEnd(10000));
    QTest::qWait(150);
    const QList<NotifierCall> calls = NotifierLog::instance().calls();
    QCOMPARE(int(calls.last().state), state);
    QCOMPARE(int(calls.last().error), error);
    QCOMPARE(int(queryStatus(h).dwError), error);
    QCOMPARE(RasHangUpA(h), DWORD(0));
    QCOMPARE(dials().value("held").toInt(), 0);
}

void TestRasDialBench::slowDialReturnsAtOnce()
{
    QVERIFY(m_bench.setFault("dial.slowMs", 150));
    QElapsedTimer t;
    t.start();
    DWORD rc = 1;
    const HRASCONN h = dial(&rc);
    const qint64 returned = t.elapsed();
    QCOMPARE(rc, DWORD(0));
    QVERIFY2(returned < 500, qPrintable(QString::number(returned)));
    QVERIFY(NotifierLog::instance().waitForEnd(10000));
    QVERIFY(t.elapsed() >= 8 * 150);
    QCOMPARE(NotifierLog::instance().states(), kFullDial);
    QCOMPARE(RasHangUpA(h), DWORD(0));
}

void TestRasDialBench::neverCompletingDialHangsUpPromptly()
{
    QVERIFY(m_bench.setFault("dial.hang", true));
    DWORD rc = 1;
    const HRASCONN h = dial(&rc);
    QVERIFY(NotifierLog::instance().waitForCount(6, 5000));
    QCOMPARE(NotifierLog::instance().states().last(), int(RASCS_Authenticate));
    QCOMPARE(queryStatus(h).rasconnstate, RASCS_Authenticate);
    QElapsedTimer t;
    t.start();
    QCOMPARE(RasHangUpA(h), DWORD(0));
    NotifierLog::instance().markHungUp();
    QVERIFY2(t.elapsed() < 1000, qPrintable(QString::number(t.elapsed())));
    QCOMPARE(dials().value("held").toInt(), 0);
    QTest::qWait(200);
    for (const NotifierCall &c : NotifierLog::instance().calls())
        QVERIFY(!c.afterHangUp);
}

void TestRasDialBench::lineDropShowsInStatus()
{
    QVERIFY(m_bench.setFault("dial.dropAfterMs", 200));
    DWORD rc = 1;
    const HRASCONN h = dial(&rc);
    QVERIFY(NotifierLog::instance().waitForEnd(10000));
    QCOMPARE(queryStatus(h).rasconnstate, RASCS_Connected);
    QTRY_COMPARE_WITH_TIMEOUT(queryStatus(h).rasconnstate, RASCS_Disconnected, 3000);
    QCOMPARE(queryStatus(h).dwError, DWORD(ERROR_DISCONNECTION));
    QCOMPARE(NotifierLog::instance().states(), kFullDial);
    QCOMPARE(RasHangUpA(h), DWORD(0));
}

void TestRasDialBench::dialObjectOverTheBench()
{
    CZorvPppDialObj a;
    CZorvPppDialObj b;
    QCOMPARE(a.GetConnectStatus(), -1);
    const int hangupsBefore = dials().value("hangups").toInt();
    QVERIFY(a.hangUp()); // nothing held: nothing reaches the bench
    QCOMPARE(dials().value("hangups").toInt(), hangupsBefore);

    QVERIFY(a.dialUp(reinterpret_cast<void *>(&NotifierLog::notifier)));
    QVERIFY(NotifierLog::instance().waitForEnd(10000));
    QCOMPARE(b.GetConnectStatus(), 1);
    QVERIFY(b.hangUp());
    QCOMPARE(a.GetConnectStatus(), -1);
    QCOMPARE(dials().value("held").toInt(), 0);

    QVERIFY(m_bench.setFault("dial.refuse", 691));
    QVERIFY(!a.dialUp(reinterpret_cast<void *>(&NotifierLog::notifier)));
    QCOMPARE(a.GetConnectStatus(), -1);
}

void TestRasDialBench::silentBenchIsAnError()
{
    // A bench whose control socket takes connections but never answers.
    QTemporaryDir dir;
    QLocalServer silent;
    const QString socketPath = dir.filePath("control.sock");
    QVERIFY(silent.listen(socketPath));
    QFile info(dir.filePath("bench.json"));
    QVERIFY(info.open(QIODevice::WriteOnly));
    info.write(QByteArray("{\"name\":\"trevalo-bench\",\"control\":\"") + socketPath.toUtf8()
               + "\"}");
    info.close();
    const QByteArray saved = qgetenv("TREVALO_BENCH");
    qputenv("TREVALO_BENCH", QFile::encodeName(dir.path()));

    QElapsedTimer t;
    t.start();
    DWORD rc = 0;
    HRASCONN h = dial(&rc);
    QCOMPARE(rc, DWORD(ERROR_REQUEST_TIMEOUT));
    QVERIFY(h == nullptr);
    QVERIFY(t.elapsed() < 8000);

    // And one whose socket is gone.
    silent.close();
    h = dial(&rc);
    QCOMPARE(rc, DWORD(ERROR_PORT_NOT_AVAILABLE));
    QVERIFY(h == nullptr);
    qputenv("TREVALO_BENCH", saved);
    QVERIFY(NotifierLog::instance().calls().isEmpty());
}

void TestRasDialBench::benchVanishingMidDial()
{
    QVERIFY(m_bench.setFault("dial.hang", true));
    DWORD rc = 1;
    const HRASCONN h = dial(&rc);
    QVERIFY(NotifierLog::instance().waitForCount(6, 5000));
    const QByteArray runtime = qgetenv("TREVALO_BENCH");
    m_bench.stop();
    qputenv("TREVALO_BENCH", runtime); // the layer still thinks it is there
    QVERIFY(NotifierLog::instance().waitForEnd(5000));
    QCOMPARE(NotifierLog::instance().calls().last().error, DWORD(ERROR_DISCONNECTION));
    QElapsedTimer t;
    t.start();
    QCOMPARE(RasHangUpA(h), DWORD(0));
    QVERIFY(t.elapsed() < 4000);
    qunsetenv("TREVALO_BENCH");
}

void TestRasDialBench::dialObjectLeavesNoLineHeld()
{
    const auto notifier = reinterpret_cast<void *>(&NotifierLog::notifier);
    CZorvPppDialObj dial;

    // A refusal that left a handle: released at once.
    QVERIFY(m_bench.setFaults({{"dial.refuse", 633}, {"dial.refuseHeld", true}}));
    int hangups = dials().value("hangups").toInt();
    QVERIFY(!dial.dialUp(notifier));
    QCOMPARE(dial.GetConnectStatus(), -1);
    QCOMPARE(dials().value("held").toInt(), 0);
    QCOMPARE(dials().value("hangups").toInt(), hangups + 1);
    QVERIFY(NotifierLog::instance().calls().isEmpty());

    // A dial over one never hung up releases the old line first.
    QVERIFY(m_bench.clearFaults());
    QVERIFY(dial.dialUp(notifier));
    QVERIFY(NotifierLog::instance().waitForEnd(10000));
    NotifierLog::instance().reset();
    hangups = dials().value("hangups").toInt();
    QVERIFY(dial.dialUp(notifier));
    QCOMPARE(dials().value("hangups").toInt(), hangups + 1);
    QVERIFY(NotifierLog::instance().waitForEnd(10000));
    QCOMPARE(dials().value("held").toInt(), 1);
    QCOMPARE(dial.GetConnectStatus(), 1);
    QVERIFY(dial.hangUp());
    QCOMPARE(dials().value("held").toInt(), 0);
}

QTEST_GUILESS_MAIN(TestRasDialBench)
#include "tst_rasdial_bench.moc"
