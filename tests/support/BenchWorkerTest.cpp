#include "BenchWorkerTest.h"

#include "WorkerAccess.h"
#include "WorkerTexts.h"
#include "usb_relay_device.h"

#include <QTest>

BenchWorkerTest::BenchWorkerTest(const QStringList &benchArgs, int caseIndex, BenchLife life)
    : m_benchArgs(benchArgs), m_caseIndex(caseIndex), m_life(life)
{
}

void BenchWorkerTest::startBench()
{
    QVERIFY2(bench.start(m_benchArgs), qPrintable(bench.errorString()));
}

void BenchWorkerTest::initTestCase()
{
    if (m_life == SharedBench)
        startBench();
}

void BenchWorkerTest::init()
{
    if (m_life == FreshBench)
        startBench();
    else
        QVERIFY(bench.clearFaults());
    freshHarness();
}

void BenchWorkerTest::freshHarness()
{
    h = std::make_unique<WorkerHarness>();
    h->setup.caseIndex = m_caseIndex;
    h->setup.portName = bench.atPort();
    h->setup.hostName = QStringLiteral("127.0.0.1");
    h->setup.hostPort = bench.echoPort();
    h->setup.pingAddress = QStringLiteral("127.0.0.1");
    if (m_benchArgs.contains(QStringLiteral("--boards")))
        QVERIFY(h->selectBoard(0));
}

void BenchWorkerTest::cleanup()
{
    h.reset();
    QCOMPARE(usb_relay_device_open_handle_count(), 0);
    if (m_life == FreshBench)
        bench.stop();
}

void BenchWorkerTest::cleanupTestCase()
{
    bench.stop();
}

void BenchWorkerTest::startRunning()
{
    h->startRun();
    QVERIFY(h->waitLine(QStringLiteral("Running..."), 0, 5000));
}

void BenchWorkerTest::runWithPowerOffStuck()
{
    using namespace WorkerText;
    h->stopAfterResults = 1;
    startRunning();
    QVERIFY(h->waitUntil([this] { return bench.chipPowered(); }, 5000));
    QVERIFY(bench.setFault(QStringLiteral("relay.switchStuck"), true));
    QVERIFY(h->waitFinished(1, 15000));

    QCOMPARE(h->results.first(), false);
    QCOMPARE(h->workerLines(h->indexOf(Separator)).mid(0, 4),
             (QStringList{Separator, PowerOn, PowerOff, RelayCloseFailed}));
    QCOMPARE(h->colorOf(RelayCloseFailed), QColor(Qt::red));
    QVERIFY(h->resultAt.first() > h->indexOf(RelayCloseFailed));
    QCOMPARE(h->lines.last().text, Finished);
    QCOMPARE(usb_relay_device_open_handle_count(), 0);
    QCOMPARE(h->access().relayHandle(), intptr_t(0));
}
