// The radio cases: every cycle switches the chip's supply through the relay.
// Case 4 follows the network registration over AT commands; case 5 keeps the
// chip powered for a long while, powers it off and then dials PPP.
#include "testWorker.h"

#include <QByteArray>

#include "TestCases.h"
#include "TestSetup.h"
#include "UartEngine.h"

namespace {

// One AT exchange of the register network cycle: its name on record, the
// command written (none for the first, which only waits), the text awaited,
// its time limit and the record's figure.
struct AtExchange
{
    const char *name;
    const char *command;
    const char *expected;
    int WorkerLimits::*limit;
    int CycleRecord::*took;
};

const AtExchange registerExchanges[] = {
    {"register", "", "CREG: 1", &WorkerLimits::registerMs, &CycleRecord::registerMs},
    {"deregister", "AT+CFUN=0\r\n", "CREG: 0", &WorkerLimits::deregisterMs, &CycleRecord::deregisterMs},
    {"reregister", "AT+CFUN=1\r\n", "CREG: 1", &WorkerLimits::reregisterMs, &CycleRecord::reregisterMs},
};

} // namespace

testWorker::CaseRun testWorker::radioRun()
{
    CaseRun c;
    c.radioPause = true;
    c.setUp = [this](CycleScope &run) {
        run.add([this] { endRadioRun(); });
        return true;
    };
    return c;
}

bool testWorker::registerNetTest()
{
    if (!setup || setup->caseIndex != TestCases::RegisterNet)
        return true;
    CaseRun c = radioRun();
    c.cycle = [this](CycleScope &cycle) {
        // A failed power-up is the one failure after which a stop is honoured
        // before the next cycle.
        if (!step("powerOnChip", [this] { return powerOnChip(); }))
            return CycleEnd::Fail;
        m_cycle.stopCheckAfter = false;
        const CycleScope::Handle relay = cycle.add([this] { powerOffChip(); });
        // Whatever the chip said before this power-up (a late report of the
        // previous cycle) must not count as this cycle's registration: the
        // cycle would send AT+CFUN=0 to a chip still booting and blame it.
        if (uart)
            uart->m_recvBuffer.clear();
        if (stopRequested)
            return CycleEnd::Stopped;

        // A USB modem's port goes with its supply and comes back after boot:
        // opening it again is part of the wait for registration. A port that
        // stayed does not log anything here.
        qint64 began = monotonicMs();
        if (!step("reopenPort", [this] { return reopenPort(m_limits.registerMs); })) {
            cycle.runNow(relay);
            return CycleEnd::Fail;
        }
        if (stopRequested)
            return CycleEnd::Stopped;

        // Registration after power-up, then radio off and on again.
        for (const AtExchange &exchange : registerExchanges) {
            if (&exchange != registerExchanges)
                began = monotonicMs();
            const int spent = int(monotonicMs() - began);
            if (!step(exchange.name, [&] {
                    return waitAtResponse(QByteArray(exchange.command), QByteArray(exchange.expected),
                                          m_limits.*exchange.limit - spent);
                })) {
                cycle.runNow(relay); // switched off before the cycle counts as failed
                return CycleEnd::Fail;
            }
            if (stopRequested)
                return CycleEnd::Stopped;
            m_cycle.*exchange.took = int(monotonicMs() - began);
        }

        cycle.dismiss(relay);
        if (!step("powerOffChip", [this] { return powerOffChip(); }))
            return CycleEnd::Fail;
        m_cycle.stopCheckAfter = true;
        return CycleEnd::Pass;
    };
    runCycles(c);
    return true;
}

bool testWorker::sleepWakePppTest()
{
    if (!setup || setup->caseIndex != TestCases::SleepWakePpp)
        return true;
    CaseRun c = radioRun();
    c.cycle = [this](CycleScope &cycle) {
        if (!step("powerOnChip", [this] { return powerOnChip(); }))
            return CycleEnd::Fail;
        // After power-up the stop request is next looked at in the next
        // cycle, once its chip is powered.
        m_cycle.stopCheckAfter = false;
        const CycleScope::Handle relay = cycle.add([this] { powerOffChip(); });
        if (stopRequested)
            return CycleEnd::Stopped;

        // The powered wait sleeps on the thread's events; nothing ends it early
        // but a stop request.
        reportStep(QStringLiteral("chip powered"), m_limits.sleepWakeMs);
        if (waitFor(m_limits.sleepWakeMs, [] { return false; }) == WaitResult::Stopped)
            return CycleEnd::Stopped;

        cycle.dismiss(relay);
        if (!step("powerOffChip", [this] { return powerOffChip(); }))
            return CycleEnd::Fail;
        if (!step("dialUpPpp", [this] { return dialUpPpp(); })) {
            // A dial cut short by Stop has hung up already and is no failure
            // of the chip: the run ends without a result for this cycle. One
            // that really failed counts, and a pending stop ends the run
            // once the next cycle has powered the chip.
            if (m_stepCutShort)
                return CycleEnd::Stopped;
            return CycleEnd::Fail;
        }
        const CycleScope::Handle ppp = cycle.add([this] { hangUpPpp(); });
        if (stopRequested)
            return CycleEnd::Stopped;
        cycle.runNow(ppp);
        return CycleEnd::Pass;
    };
    runCycles(c);
    return true;
}
