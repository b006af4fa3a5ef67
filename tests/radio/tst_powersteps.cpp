// Chip power control against a virtual bench: what each step logs, what it
// leaves switched and which board handles it leaves open.
#include <QtTest>

#include "BenchProcess.h"
#include "TestCases.h"
#include "WorkerHarness.h"
#include "usb_relay_device.h"

#include <memory>

class tst_PowerSteps : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void powerOnThenOffLogsOnlyTheAnnouncements();
    void anotherChannelSwitchesAloneAndLeavesTheChip();
    void unopenableBoardsFailWithoutAHandle_data();
    void unopenableBoardsFailWithoutAHandle();
    void failedSwitchOnKeepsOneHandle_data();
    void failedSwitchOnKeepsOneHandle();
    void failedSwitchOffKeepsTheBoardOpen();

private:
    // Runs a step in the worker thread; its result.
    bool step(bool (testWorker::*fn)());

    BenchProcess m_bench;
    std::unique_ptr<WorkerHarness> m_run;
};

void tst_PowerSteps::initTestCase()
{
    QVERIFY2(m_bench.start({QStringLiteral("--boards"), QStringLiteral("PWR01:2,PWR02:1")}),
             qPrintable(m_bench.errorString()));
}

void tst_PowerSteps::init()
{
    QVERIFY(m_bench.clearFaults());
    QVERIFY(m_bench.setRelay(QStringLiteral("PWR01"), 1, false));
    QVERIFY(m_bench.setRelay(QStringLiteral("PWR01"), 2, false));
    m_run = std::make_unique<WorkerHarness>();
    m_run->setup.caseIndex = TestCases::RegisterNet;
    QVERIFY(m_run->selectBoard(0));
}

void tst_PowerSteps::cleanup()
{
    QVERIFY(m_bench.clearFaults());
    if (m_run->access().relayHandle() != 0)
        usb_relay_device_close(m_run->access().relayHandle());
    m_run.reset();
    QCOMPARE(usb_relay_device_open_handle_count(), 0);
}

bool tst_PowerSteps::step(bool (testWorker::*fn)())
{
    bool result = false;
    testWorker *worker = m_run->worker;
    if (!m_run->runInWorker([&] { result = (worker->*fn)(); }))
        qWarning("step did not return");
    return result;
}

void tst_PowerSteps::powerOnThenOffLogsOnlyTheAnnouncements()
{
    QVERIFY(step(&testWorker::powerOnChip));
    QCOMPARE(m_run->workerLines(), QStringList{QStringLiteral("Power on chip...")});
    QCOMPARE(m_run->lines.first().color, QColor(Qt::white));
    QVERIFY(m_run->access().relayHandle() != 0);
    QCOMPARE(usb_relay_device_open_handle_count(), 1);
    QVERIFY(m_bench.chipPowered());

    QVERIFY(step(&testWorker::powerOffChip));
    QCOMPARE(m_run->workerLines(), (QStringList{QStringLiteral("Power on chip..."), QStringLiteral("Power off chip...")}));
    QCOMPARE(m_run->lines.last().color, QColor(Qt::white));
    QCOMPARE(m_run->access().relayHandle(), intptr_t(0));
    QCOMPARE(usb_relay_device_open_handle_count(), 0);
    QVERIFY(!m_bench.chipPowered());
}

void tst_PowerSteps::anotherChannelSwitchesAloneAndLeavesTheChip()
{
    // Channel 1 feeds another run's chip, which is on; this run has channel 2.
    QVERIFY(m_bench.setRelay(QStringLiteral("PWR01"), 1, true));
    m_run->setup.relayChannel = 2;
    const auto status = [this] {
        return int(m_bench.state()[QStringLiteral("boards")].toArray().first()[QStringLiteral("status")].toDouble());
    };
    QVERIFY(step(&testWorker::powerOnChip));
    QCOMPARE(status(), 3);
    QVERIFY(step(&testWorker::powerOffChip));
    QCOMPARE(status(), 1);
    QVERIFY(m_bench.chipPowered());
    QCOMPARE(m_run->workerLines(), (QStringList{QStringLiteral("Power on chip..."), QStringLiteral("Power off chip...")}));
}

void tst_PowerSteps::unopenableBoardsFailWithoutAHandle_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("line");
    QTest::newRow("unplugged") << "relay.missing" << "Failed!!!Fail to open device!";
    QTest::newRow("status query fails") << "relay.statusFails" << "Failed!!!Open device error!";
}

void tst_PowerSteps::unopenableBoardsFailWithoutAHandle()
{
    QFETCH(QString, fault);
    QFETCH(QString, line);
    QVERIFY(m_bench.setFault(fault, true));

    for (int attempt = 0; attempt < 3; ++attempt)
        QVERIFY(!step(&testWorker::powerOnChip));
    QStringList expected;
    for (int attempt = 0; attempt < 3; ++attempt)
        expected << QStringLiteral("Power on chip...") << line;
    QCOMPARE(m_run->workerLines(), expected);
    QCOMPARE(m_run->colorOf(line), QColor(Qt::red));
    QCOMPARE(m_run->access().relayHandle(), intptr_t(0));
    QCOMPARE(usb_relay_device_open_handle_count(), 0);
    QVERIFY(!m_bench.chipPowered());
}

void tst_PowerSteps::failedSwitchOnKeepsOneHandle_data()
{
    QTest::addColumn<QString>("fault");
    QTest::newRow("switch refused") << "relay.switchFails";
    QTest::newRow("contact stuck") << "relay.switchStuck";
}

void tst_PowerSteps::failedSwitchOnKeepsOneHandle()
{
    QFETCH(QString, fault);
    QVERIFY(m_bench.setFault(fault, true));

    QVERIFY(!step(&testWorker::powerOnChip));
    QCOMPARE(m_run->workerLines(), (QStringList{QStringLiteral("Power on chip..."), QStringLiteral("Failed!!!Fail to open relay!")}));
    QCOMPARE(m_run->colorOf(QStringLiteral("Failed!!!Fail to open relay!")), QColor(Qt::red));
    QVERIFY(!m_bench.chipPowered());
    // The board stays open after a failed switch.
    const intptr_t held = m_run->access().relayHandle();
    QVERIFY(held != 0);
    QCOMPARE(usb_relay_device_open_handle_count(), 1);

    // Many failed cycles in a row must not pile up open boards.
    for (int i = 0; i < 5; ++i)
        QVERIFY(!step(&testWorker::powerOnChip));
    QCOMPARE(usb_relay_device_open_handle_count(), 1);

    QVERIFY(m_bench.clearFaults());
    QVERIFY(step(&testWorker::powerOnChip));
    QVERIFY(m_bench.chipPowered());
    QCOMPARE(usb_relay_device_open_handle_count(), 1);
    QVERIFY(m_run->access().relayHandle() != held);
    QVERIFY(step(&testWorker::powerOffChip));
    QCOMPARE(usb_relay_device_open_handle_count(), 0);
}

void tst_PowerSteps::failedSwitchOffKeepsTheBoardOpen()
{
    QVERIFY(step(&testWorker::powerOnChip));
    const intptr_t held = m_run->access().relayHandle();
    QVERIFY(m_bench.setFault(QStringLiteral("relay.switchStuck"), true));

    QVERIFY(!step(&testWorker::powerOffChip));
    QCOMPARE(m_run->workerLines(), (QStringList{QStringLiteral("Power on chip..."), QStringLiteral("Power off chip..."),
                                                QStringLiteral("Failed!!!Fail to close relay!")}));
    QCOMPARE(m_run->colorOf(QStringLiteral("Failed!!!Fail to close relay!")), QColor(Qt::red));
    QCOMPARE(m_run->access().relayHandle(), held);
    QCOMPARE(usb_relay_device_open_handle_count(), 1);
    QVERIFY(m_bench.chipPowered()); // the contact did not open: the report must not say otherwise

    QVERIFY(m_bench.clearFaults());
    QVERIFY(step(&testWorker::powerOnChip));
    QCOMPARE(usb_relay_device_open_handle_count(), 1);
    QVERIFY(step(&testWorker::powerOffChip));
    QVERIFY(!m_bench.chipPowered());
    QCOMPARE(usb_relay_device_open_handle_count(), 0);
}

QTEST_GUILESS_MAIN(tst_PowerSteps)
#include "tst_powersteps.moc"
