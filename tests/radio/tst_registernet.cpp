// The register-network case against a virtual bench: a worker in its own
// thread switching the bench's chip and following its "+CREG" reports.
#include <QtTest>

#include <memory>
#include <vector>

#include "BenchWorkerTest.h"
#include "PseudoTerminal.h"
#include "RecordFile.h"
#include "TestCases.h"
#include "UartEngine.h"
#include "WorkerTexts.h"

using namespace WorkerText;

namespace {
const QString OpenFailed = QStringLiteral("Failed!!!Fail to open device!");

int ptsNumber(const QString &path)
{
    return path.startsWith(QLatin1String("/dev/pts/")) ? path.mid(9).toInt() : -1;
}
}

class tst_RegisterNet : public BenchWorkerTest
{
    Q_OBJECT

public:
    tst_RegisterNet()
        : BenchWorkerTest({QStringLiteral("--boards"), QStringLiteral("REG01:2")}, TestCases::RegisterNet, FreshBench)
    {
    }

private slots:
    void passingCyclesFollowRegistration();
    void chipThatNeverRegistersFailsEveryCycle();
    void unpluggedBoardFailsEachCycleUntilStop();
    void stopWhileWaitingForDeregistration();
    void lateReportOfTheLastCycleDoesNotPassTheNext();
    void failedPowerOffFailsTheCycleAndTheBoardIsReleased();
    void portThatGoesWithTheSupplyIsReopenedEachCycle();
    void portNumberTakenByAnotherTerminalIsRefused();
    void chipLeftPoweredIsSwitchedOffBeforeItsFirstCycle();
};

void tst_RegisterNet::passingCyclesFollowRegistration()
{
    QTemporaryDir records;
    h->worker->setRecordsDir(records.path());
    startRunning();
    QVERIFY(h->waitResults(2, 10000));
    QCOMPARE(h->results, (QVector<bool>{true, true}));

    // One cycle: power on, the three exchanges in silence, power off, result.
    const int first = h->indexOf(Separator);
    const int second = h->indexOf(Separator, first + 1);
    QCOMPARE(h->workerLines(first).mid(0, 4), (QStringList{Separator, PowerOn, PowerOff, Separator}));
    QVERIFY(h->resultAt[0] > h->indexOf(PowerOff, first));
    QVERIFY(h->resultAt[0] <= second);
    const QJsonArray commands = bench.chip().value(QStringLiteral("lastCommands")).toArray();
    QVERIFY(commands.contains(QStringLiteral("AT+CFUN=0")));
    QVERIFY(commands.contains(QStringLiteral("AT+CFUN=1")));

    QVERIFY(h->stop() < 5000);
    QCOMPARE(h->finishCount, 1);
    QCOMPARE(h->lines.last().text, Finished);
    QVERIFY(!bench.chip().value(QStringLiteral("powered")).toBool());
    QVERIFY(h->results.size() >= 2);
    for (bool pass : h->results)
        QVERIFY(pass);

    // Each passing cycle keeps its three registration times and its board.
    const RecordFile rec(h->worker->recordFile());
    QCOMPARE(rec.brokenLines, 0);
    QCOMPARE(rec.run.value("board").toString(), QStringLiteral("REG01"));
    QCOMPARE(rec.run.value("port").toString(), h->setup.portName);
    QCOMPARE(rec.cycles.size(), h->results.size());
    QVERIFY2(rec.cycleFault().isEmpty(), qPrintable(rec.cycleFault()));
    for (const QJsonObject &c : rec.cycles)
        for (const char *key : {"registerMs", "deregisterMs", "reregisterMs"})
            QVERIFY2(c.value(QLatin1String(key)).toInt(-1) >= 0, key);
    QCOMPARE(rec.end.value("reason").toString(), QStringLiteral("Stop"));
}

void tst_RegisterNet::chipThatNeverRegistersFailsEveryCycle()
{
    QVERIFY(bench.setFault(QStringLiteral("creg.never"), true));
    WorkerLimits limits = WorkerHarness::quickLimits();
    limits.registerMs = 700;
    h->worker->setLimits(limits);
    QTemporaryDir records;
    h->worker->setRecordsDir(records.path());
    startRunning();
    QVERIFY(h->waitResults(2, 10000));
    QCOMPARE(h->results, (QVector<bool>{false, false}));

    for (int cycle = 0, from = 0; cycle < 2; ++cycle) {
        from = h->indexOf(Separator, from);
        QCOMPARE(h->workerLines(from).mid(0, 4), (QStringList{Separator, PowerOn, AtTimeout, PowerOff}));
        QVERIFY(h->resultAt[cycle] > h->indexOf(PowerOff, from));
        ++from;
    }
    QCOMPARE(h->colorOf(AtTimeout), QColor(Qt::red));
    // Nothing to deregister: the radio commands are never sent.
    QVERIFY(!bench.chip().value(QStringLiteral("lastCommands")).toArray().contains(QStringLiteral("AT+CFUN=0")));

    h->stop();
    QVERIFY(h->waitFinished(1, 5000));
    QVERIFY(!bench.chip().value(QStringLiteral("powered")).toBool());
    // On record: the first exchange failed with its time-out line.
    const RecordFile rec(h->worker->recordFile());
    QVERIFY(rec.cycles.size() >= 2);
    QCOMPARE(rec.cycles[0].value("failedStep").toString(), QStringLiteral("register"));
    QCOMPARE(rec.cycles[0].value("failedLine").toString(), AtTimeout);
    QVERIFY(!rec.cycles[0].contains("registerMs"));
}

void tst_RegisterNet::unpluggedBoardFailsEachCycleUntilStop()
{
    startRunning();
    QVERIFY(h->waitResults(1, 10000));
    QVERIFY(bench.setFault(QStringLiteral("relay.missing"), true));
    const int before = h->results.size();
    QVERIFY(h->waitResults(before + 3, 10000));
    // The cycle under way when the board went may still have passed.
    const int from = h->resultAt[before];
    QVERIFY(h->count(OpenFailed) >= 2);
    QCOMPARE(h->colorOf(OpenFailed), QColor(Qt::red));
    for (int i = before + 1; i < h->results.size(); ++i)
        QVERIFY(!h->results[i]);
    // A failed power-on switches nothing off.
    QCOMPARE(h->count(PowerOff, from), 0);

    QVERIFY(h->stop() < 5000);
    QCOMPARE(h->finishCount, 1);
    QCOMPARE(h->lines.last().text, Finished);
    QCOMPARE(h->access().relayHandle(), intptr_t(0));
}

void tst_RegisterNet::stopWhileWaitingForDeregistration()
{
    QVERIFY(bench.setFault(QStringLiteral("cfun.noReply"), true));
    WorkerLimits limits = WorkerHarness::quickLimits();
    limits.deregisterMs = 20000;
    h->worker->setLimits(limits);
    startRunning();
    QVERIFY(h->waitUntil([&] {
        return bench.chip().value(QStringLiteral("lastCommands")).toArray().contains(QStringLiteral("AT+CFUN=0"));
    }, 10000));
    QVERIFY(bench.chip().value(QStringLiteral("powered")).toBool());

    QVERIFY(h->stop() < 2000);
    QVERIFY(h->waitFinished(1, 2000));
    QVERIFY(h->results.isEmpty());
    const int stopAt = h->indexOf(Stop);
    QVERIFY(stopAt >= 0);
    QCOMPARE(h->workerLines(stopAt), (QStringList{Stop, PowerOff, QStringLiteral("Close port..."), Finished}));
    QCOMPARE(h->count(AtTimeout), 0);
    QVERIFY(!bench.chip().value(QStringLiteral("powered")).toBool());
    QCOMPARE(h->access().relayHandle(), intptr_t(0));
}

void tst_RegisterNet::lateReportOfTheLastCycleDoesNotPassTheNext()
{
    QTemporaryDir records;
    h->worker->setRecordsDir(records.path());
    WorkerLimits limits = WorkerHarness::quickLimits();
    limits.registerMs = 700;
    limits.cyclePauseMs = 400;
    h->worker->setLimits(limits);
    startRunning();
    QVERIFY(h->waitResults(1, 10000));
    QCOMPARE(h->results[0], true);

    // The chip stops registering, and a report left over from the last
    // cycle reaches the channel before the next power-up.
    QVERIFY(bench.setFault(QStringLiteral("creg.never"), true));
    const QJsonObject chipBefore = bench.chip();
    const WorkerAccess state = h->access();
    QMetaObject::invokeMethod(h->worker, [state] {
        if (state.uart())
            state.uart()->m_recvBuffer.append("+CREG: 1");
    }, Qt::QueuedConnection);

    QVERIFY(h->waitResults(2, 10000));
    QCOMPARE(h->results[1], false);
    QCOMPARE(h->count(AtTimeout), 1);
    // It is the registration wait that failed: nothing was written to the
    // chip, neither a command it took nor bytes it dropped while booting.
    for (const char *counter : {"commands", "discardedBytes"})
        QCOMPARE(bench.chip().value(QLatin1String(counter)).toInt(), chipBefore.value(QLatin1String(counter)).toInt());
    h->stop();
    // The record blames the registration, not the chip's answer to AT+CFUN=0.
    const RecordFile rec(h->worker->recordFile());
    QVERIFY(rec.cycles.size() >= 2);
    QCOMPARE(rec.cycles[1].value("failedStep").toString(), QStringLiteral("register"));
}

void tst_RegisterNet::failedPowerOffFailsTheCycleAndTheBoardIsReleased()
{
    // Registration comes late enough for the relay to stick meanwhile.
    QVERIFY(bench.setFault(QStringLiteral("creg.lateMs"), 700));
    runWithPowerOffStuck();
    if (QTest::currentTestFailed())
        return;
    // The whole cycle ran; only its power-off failed, and that fails it.
    QCOMPARE(h->count(AtTimeout), 0);
}

void tst_RegisterNet::portThatGoesWithTheSupplyIsReopenedEachCycle()
{
    // The port disappears at every power-off and is back, as a new device
    // under its stable name, once the chip has booted.
    QVERIFY(bench.setFault(QStringLiteral("at.vanish"), true));
    h->setup.portName = bench.atLink();
    WorkerLimits limits = WorkerHarness::quickLimits();
    limits.registerMs = 1200;
    h->worker->setLimits(limits);
    QTemporaryDir records;
    h->worker->setRecordsDir(records.path());
    startRunning();
    QVERIFY(h->waitResults(4, 20000));
    QCOMPARE(h->results, (QVector<bool>{true, true, true, true}));
    const QString reopened = QStringLiteral("Open port %1 sucessfully!").arg(bench.atLink());
    // The first cycle uses the port Start opened; every later one opens it
    // again within its registration wait, and the chip then registers.
    for (int cycle = 0, from = 0; cycle < 4; ++cycle) {
        from = h->indexOf(Separator, from);
        const QStringList lines = h->workerLines(from);
        if (cycle == 0) {
            QCOMPARE(lines.mid(0, 3), (QStringList{Separator, PowerOn, PowerOff}));
        } else {
            QCOMPARE(lines.mid(0, 4), (QStringList{Separator, PowerOn, TryReopen, PowerOff}));
            const int tried = h->indexOf(TryReopen, from);
            QCOMPARE(h->lines.at(tried).color, QColor(Qt::white));
            const int opened = h->indexOf(reopened, tried);
            QVERIFY(opened > tried && opened < h->resultAt[cycle]);
            QCOMPARE(h->lines.at(opened).color, QColor(Qt::yellow));
        }
        ++from;
    }

    // A port that stays away fails those cycles, each after its wait, and
    // the run goes on; once it is back the cycles pass again.
    QVERIFY(bench.setFault(QStringLiteral("at.staysAway"), true));
    const int before = h->results.size();
    QVERIFY(h->waitResults(before + 3, 20000));
    QVERIFY(bench.setFault(QStringLiteral("at.staysAway"), false));
    const int away = h->results.size();
    QVERIFY(h->waitResults(away + 3, 20000));
    QCOMPARE(h->finishCount, 0);
    QCOMPARE(h->results.mid(before + 1, 2), (QVector<bool>{false, false}));
    QCOMPARE(h->results.last(), true);
    const int failedAt = h->indexOf(PortFailed, h->resultAt[before]);
    QVERIFY(failedAt > 0);
    QCOMPARE(h->lines.at(failedAt).color, QColor(Qt::red));
    const int failedCycle = h->indexOf(Separator, h->resultAt[before]);
    QCOMPARE(h->workerLines(failedCycle).mid(0, 5),
             (QStringList{Separator, PowerOn, TryReopen, PortFailed, PowerOff}));
    QCOMPARE(h->count(AtTimeout), 0);

    QVERIFY(h->stop() < 5000);
    QVERIFY(h->waitFinished(1, 5000));
    QVERIFY(!bench.chip().value(QStringLiteral("powered")).toBool());
    // On record: the reopened cycles keep their registration time, the
    // failed ones name the step and its red line.
    const RecordFile rec(h->worker->recordFile());
    QCOMPARE(rec.brokenLines, 0);
    QCOMPARE(rec.cycles.size(), h->results.size());
    QVERIFY(rec.cycles[1].value("registerMs").toInt(-1) >= 0);
    QCOMPARE(rec.cycles[before + 1].value("failedStep").toString(), QStringLiteral("reopenPort"));
    QCOMPARE(rec.cycles[before + 1].value("failedLine").toString(), PortFailed);
}

void tst_RegisterNet::portNumberTakenByAnotherTerminalIsRefused()
{
    // The chip's port picked by its number; it goes at power-off and stays
    // away, and another terminal is given that number meanwhile.
    QVERIFY(bench.setFault(QStringLiteral("at.vanish"), true));
    QVERIFY(bench.setFault(QStringLiteral("at.staysAway"), true));
    const QString number = bench.atPort();
    h->setup.portName = number;
    WorkerLimits limits = WorkerHarness::quickLimits();
    limits.registerMs = 2500;
    h->worker->setLimits(limits);
    QTemporaryDir records;
    h->worker->setRecordsDir(records.path());
    startRunning();
    QVERIFY(h->waitResults(1, 10000));
    QCOMPARE(h->results.first(), true);
    // The start named the stable link in yellow.
    const int hint = h->indexOf(QStringLiteral("%1 is also %2: that name follows the chip when its port comes back "
                                               "under another number")
                                    .arg(number, bench.atLink()));
    QVERIFY(hint >= 0);
    QCOMPARE(h->lines.at(hint).color, QColor(Qt::yellow));

    // Terminals below the number fill gaps; one above means it is not free yet.
    std::vector<std::unique_ptr<PseudoTerminal>> held;
    PseudoTerminal *stranger = nullptr;
    QElapsedTimer t;
    t.start();
    while (!stranger && t.elapsed() < 5000 && held.size() < 64) {
        auto pty = std::make_unique<PseudoTerminal>();
        if (pty->slavePath() == number)
            stranger = pty.get();
        if (stranger || ptsNumber(pty->slavePath()) < ptsNumber(number))
            held.push_back(std::move(pty));
        else
            QTest::qWait(20);
    }
    if (!stranger) {
        h->stop();
        QSKIP("another process took the chip's old pseudo-terminal number");
    }
    QVERIFY(h->waitResults(2, 15000));
    QCOMPARE(h->results.at(1), false);
    const QString refused = QStringLiteral("Failed!!!%1 is another device now (").arg(number);
    int at = -1;
    for (int i = h->resultAt[0]; i < h->lines.size() && at < 0; ++i)
        at = h->lines.at(i).text.startsWith(refused) ? i : -1;
    QVERIFY2(at >= 0, qPrintable(h->texts().join('|')));
    QCOMPARE(h->lines.at(at).color, QColor(Qt::red));
    QVERIFY(at < h->resultAt[1]);
    QCOMPARE(h->count(PortFailed), 0);
    QCOMPARE(h->count(AtTimeout), 0);
    // The stranger was never opened and heard nothing.
    QCOMPARE(stranger->receive(200), QByteArray());

    QVERIFY(h->stop() < 5000);
    const RecordFile rec(h->worker->recordFile());
    QVERIFY(rec.cycles.size() >= 2);
    QCOMPARE(rec.cycles[1].value("failedStep").toString(), QStringLiteral("reopenPort"));
    QVERIFY(rec.cycles[1].value("failedLine").toString().startsWith(refused));
}

void tst_RegisterNet::chipLeftPoweredIsSwitchedOffBeforeItsFirstCycle()
{
    // A run killed with the supply on leaves the chip registered: switching
    // the channel on again boots nothing, and the first cycle would wait for
    // a registration that came long before.
    QVERIFY(bench.setRelay(QStringLiteral("REG01"), 1, true));
    QTRY_COMPARE_WITH_TIMEOUT(bench.chip().value(QStringLiteral("creg")).toInt(), 1, 10000);
    QTemporaryDir records;
    h->worker->setRecordsDir(records.path());
    startRunning();
    QVERIFY(h->waitResults(1, 15000));
    QCOMPARE(h->results.first(), true);
    const QString offFirst = QStringLiteral("Relay channel 1 was on: switched off first so that the chip boots");
    QCOMPARE(h->colorOf(offFirst), QColor(Qt::yellow));
    // Said once switching on found the channel on, before the cycle's verdict.
    const int off = h->indexOf(offFirst);
    QVERIFY(off > h->indexOf(PowerOn, h->indexOf(Separator)));
    QVERIFY(h->resultAt[0] > off);
    h->stop();
    QVERIFY(h->waitFinished(1, 5000));
    QVERIFY(!bench.chip().value(QStringLiteral("powered")).toBool());
    // Later cycles find the channel off, as it should be: no such line again.
    QCOMPARE(h->texts().count(offFirst), 1);
}

QTEST_GUILESS_MAIN(tst_RegisterNet)
#include "tst_registernet.moc"
