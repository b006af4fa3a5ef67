// The register-network case against a virtual bench: a worker in its own
// thread switching the bench's chip and following its "+CREG" reports.
#include <QtTest>

#include "BenchProcess.h"
#include "RadioRun.h"
#include "TestCases.h"
#include "UartEngine.h"

namespace {
const QString Separator = QStringLiteral("=================================");
const QString PowerOn = QStringLiteral("Power on chip...");
const QString PowerOff = QStringLiteral("Power off chip...");
const QString Timeout = QStringLiteral("Failed!!!Wait AT response time out!");
const QString OpenFailed = QStringLiteral("Failed!!!Fail to open device!");
const QString Finished = QStringLiteral("Test is finished!");
}

class tst_RegisterNet : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void passingCyclesFollowRegistration();
    void chipThatNeverRegistersFailsEveryCycle();
    void unpluggedBoardFailsEachCycleUntilStop();
    void stopWhileWaitingForDeregistration();
    void lateReportOfTheLastCycleDoesNotPassTheNext();

private:
    QJsonObject chip() const { return m_bench.state().value(QStringLiteral("chip")).toObject(); }
    void startRun();

    BenchProcess m_bench;
    RadioRun *m_run = nullptr;
};

void tst_RegisterNet::init()
{
    QVERIFY2(m_bench.start({QStringLiteral("--boards"), QStringLiteral("REG01:2")}), qPrintable(m_bench.errorString()));
    m_run = new RadioRun(TestCases::RegisterNet);
    m_run->setup.portName = m_bench.atPort();
    QVERIFY(m_run->selectBoard(0));
}

void tst_RegisterNet::cleanup()
{
    delete m_run;
    m_run = nullptr;
    QCOMPARE(usb_relay_device_open_handle_count(), 0);
    m_bench.stop();
}

void tst_RegisterNet::startRun()
{
    m_run->start();
    QVERIFY(m_run->waitLine(QStringLiteral("Running..."), 0, 5000));
}

void tst_RegisterNet::passingCyclesFollowRegistration()
{
    startRun();
    QVERIFY(m_run->waitResults(2, 10000));
    QCOMPARE(m_run->results, (QVector<bool>{true, true}));

    // One cycle: power on, the three exchanges in silence, power off, result.
    const int first = m_run->indexOf(Separator);
    const int second = m_run->indexOf(Separator, first + 1);
    QCOMPARE(m_run->workerLines(first).mid(0, 4), (QStringList{Separator, PowerOn, PowerOff, Separator}));
    QVERIFY(m_run->resultAt[0] > m_run->indexOf(PowerOff, first));
    QVERIFY(m_run->resultAt[0] <= second);
    const QJsonArray commands = chip().value(QStringLiteral("lastCommands")).toArray();
    QVERIFY(commands.contains(QStringLiteral("AT+CFUN=0")));
    QVERIFY(commands.contains(QStringLiteral("AT+CFUN=1")));

    QVERIFY(m_run->stop() < 5000);
    QCOMPARE(m_run->finishCount, 1);
    QCOMPARE(m_run->lines.last().text, Finished);
    QVERIFY(!chip().value(QStringLiteral("powered")).toBool());
    QVERIFY(m_run->results.size() >= 2);
    for (bool pass : m_run->results)
        QVERIFY(pass);
}

void tst_RegisterNet::chipThatNeverRegistersFailsEveryCycle()
{
    QVERIFY(m_bench.setFault(QStringLiteral("creg.never"), true));
    WorkerLimits limits = RadioRun::quickLimits();
    limits.registerMs = 700;
    m_run->worker->setLimits(limits);
    startRun();
    QVERIFY(m_run->waitResults(2, 10000));
    QCOMPARE(m_run->results, (QVector<bool>{false, false}));

    for (int cycle = 0, from = 0; cycle < 2; ++cycle) {
        from = m_run->indexOf(Separator, from);
        QCOMPARE(m_run->workerLines(from).mid(0, 4), (QStringList{Separator, PowerOn, Timeout, PowerOff}));
        QVERIFY(m_run->resultAt[cycle] > m_run->indexOf(PowerOff, from));
        ++from;
    }
    QCOMPARE(m_run->colorOf(Timeout), QColor(Qt::red));
    // Nothing to deregister: the radio commands are never sent.
    QVERIFY(!chip().value(QStringLiteral("lastCommands")).toArray().contains(QStringLiteral("AT+CFUN=0")));

    m_run->stop();
    QVERIFY(m_run->waitFinished(5000));
    QVERIFY(!chip().value(QStringLiteral("powered")).toBool());
}

void tst_RegisterNet::unpluggedBoardFailsEachCycleUntilStop()
{
    startRun();
    QVERIFY(m_run->waitResults(1, 10000));
    QVERIFY(m_bench.setFault(QStringLiteral("relay.missing"), true));
    const int before = m_run->results.size();
    QVERIFY(m_run->waitResults(before + 3, 10000));
    // The cycle under way when the board went may still have passed.
    const int from = m_run->resultAt[before];
    QVERIFY(m_run->count(OpenFailed) >= 2);
    QCOMPARE(m_run->colorOf(OpenFailed), QColor(Qt::red));
    for (int i = before + 1; i < m_run->results.size(); ++i)
        QVERIFY(!m_run->results[i]);
    // A failed power-on switches nothing off.
    QCOMPARE(m_run->count(PowerOff, from), 0);

    QVERIFY(m_run->stop() < 5000);
    QCOMPARE(m_run->finishCount, 1);
    QCOMPARE(m_run->lines.last().text, Finished);
    QCOMPARE(m_run->worker->relayHandle, intptr_t(0));
}

void tst_RegisterNet::stopWhileWaitingForDeregistration()
{
    QVERIFY(m_bench.setFault(QStringLiteral("cfun.noReply"), true));
    WorkerLimits limits = RadioRun::quickLimits();
    limits.deregisterMs = 20000;
    m_run->worker->setLimits(limits);
    startRun();
    QVERIFY(m_run->waitUntil([&] {
        return chip().value(QStringLiteral("lastCommands")).toArray().contains(QStringLiteral("AT+CFUN=0"));
    }, 10000));
    QVERIFY(chip().value(QStringLiteral("powered")).toBool());

    QVERIFY(m_run->stop() < 2000);
    QVERIFY(m_run->waitFinished(2000));
    QVERIFY(m_run->results.isEmpty());
    const int stopAt = m_run->indexOf(QStringLiteral("Stop ..."));
    QVERIFY(stopAt >= 0);
    QCOMPARE(m_run->workerLines(stopAt), (QStringList{QStringLiteral("Stop ..."), PowerOff, QStringLiteral("Close port..."), Finished}));
    QCOMPARE(m_run->count(Timeout), 0);
    QVERIFY(!chip().value(QStringLiteral("powered")).toBool());
    QCOMPARE(m_run->worker->relayHandle, intptr_t(0));
}

void tst_RegisterNet::lateReportOfTheLastCycleDoesNotPassTheNext()
{
    WorkerLimits limits = RadioRun::quickLimits();
    limits.registerMs = 700;
    limits.cyclePauseMs = 400;
    m_run->worker->setLimits(limits);
    startRun();
    QVERIFY(m_run->waitResults(1, 10000));
    QCOMPARE(m_run->results[0], true);

    // The chip stops registering, and a report left over from the last
    // cycle reaches the channel before the next power-up.
    QVERIFY(m_bench.setFault(QStringLiteral("creg.never"), true));
    const QJsonObject chipBefore = chip();
    testWorker *worker = m_run->worker;
    QMetaObject::invokeMethod(worker, [worker] {
        if (worker->uart)
            worker->uart->m_recvBuffer.append("+CREG: 1");
    }, Qt::QueuedConnection);

    QVERIFY(m_run->waitResults(2, 10000));
    QCOMPARE(m_run->results[1], false);
    QCOMPARE(m_run->count(Timeout), 1);
    // It is the registration wait that failed: nothing was written to the
    // chip, neither a command it took nor bytes it dropped while booting.
    for (const char *counter : {"commands", "discardedBytes"})
        QCOMPARE(chip().value(QLatin1String(counter)).toInt(), chipBefore.value(QLatin1String(counter)).toInt());
    m_run->stop();
}

QTEST_GUILESS_MAIN(tst_RegisterNet)
#include "tst_registernet.moc"
