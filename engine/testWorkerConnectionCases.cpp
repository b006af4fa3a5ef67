// The connection cases: PPP and TCP set up and torn down at different
// rhythms. Each supplies its cycle to the cycle loop; what a cycle has set
// up is undone by its scope, after a failed cycle's result has been counted.
#include "testWorker.h"

#include "SocketMannger.h"
#include "TestCases.h"
#include "TestSetup.h"

namespace {
constexpr int failLimit = 3;
} // namespace

bool testWorker::pppCallTest()
{
    if (!setup || setup->caseIndex != TestCases::PppCall)
        return true;
    CaseRun c;
    c.stopCheckFirst = true;
    c.cycle = [this](CycleScope &cycle) {
        if (!step("dialUpPpp", [this] { return dialUpPpp(); })) {
            if (m_stepCutShort)
                return CycleEnd::Stopped; // the dial has hung up already
            // This case has no give-up rule; a dial that RAS refuses at once
            // (no modem) would otherwise repeat as fast as the processor allows.
            m_cycle.pauseAfterMs = m_limits.cyclePauseMs;
            return CycleEnd::Fail;
        }
        const CycleScope::Handle ppp = cycle.add([this] { hangUpPpp(); });
        if (stopRequested)
            return CycleEnd::Stopped;
        if (!step("pingHost", [this] { return pingHost(); })) {
            cycle.runNow(ppp); // hung up before the failure is counted
            return CycleEnd::Fail;
        }
        if (stopRequested)
            return CycleEnd::Stopped;
        cycle.dismiss(ppp);
        return hangUpPpp() ? CycleEnd::Pass : CycleEnd::Fail;
    };
    runCycles(c);
    return false;
}

bool testWorker::externalShortShortTest()
{
    if (!setup || setup->caseIndex != TestCases::ExternalShortShort)
        return true;
    CaseRun c;
    c.stopCheckFirst = true;
    c.giveUp = [this] {
        return pppFailCount >= failLimit || tcpFailCount >= failLimit
                   ? QStringLiteral("Failed!!!Fail to establish PPP or TCP connection for more than three times in a row")
                   : QString();
    };
    c.cycle = [this](CycleScope &cycle) {
        if (!step("dialUpPpp", [this] { return dialUpPpp(); })) {
            if (m_stepCutShort)
                return CycleEnd::Stopped;
            ++pppFailCount;
            return CycleEnd::Fail;
        }
        pppFailCount = 0;
        const CycleScope::Handle ppp = cycle.add([this] { hangUpPpp(); });
        if (stopRequested)
            return CycleEnd::Stopped;
        const CycleEnd tcp = tcpRound(cycle);
        if (tcp != CycleEnd::Pass)
            return tcp;
        cycle.dismiss(ppp);
        return hangUpPpp() ? CycleEnd::Pass : CycleEnd::Fail;
    };
    runCycles(c);
    return false;
}

bool testWorker::externalLongShortTest()
{
    if (!setup || setup->caseIndex != TestCases::ExternalLongShort)
        return true;
    CaseRun c;
    // One PPP link for the whole run.
    c.setUp = [this](CycleScope &run) {
        if (!dialUpPpp())
            return false;
        run.add([this] { hangUpPpp(); });
        return !stopRequested;
    };
    c.giveUp = [this] {
        return tcpFailCount >= failLimit
                   ? QStringLiteral("Failed!!!Fail to establish TCP connection for more than three times in a row")
                   : QString();
    };
    c.cycle = [this](CycleScope &cycle) {
        return tcpRound(cycle);
    };
    runCycles(c);
    return false;
}

bool testWorker::externalLongLongTest()
{
    if (!setup || setup->caseIndex != TestCases::ExternalLongLong)
        return true;
    CaseRun c;
    // One PPP link and one TCP connection for the whole run.
    c.setUp = [this](CycleScope &run) {
        if (!dialUpPpp())
            return false;
        run.add([this] { hangUpPpp(); });
        if (stopRequested || !connectServer())
            return false;
        run.add([this] { closeSocket(); });
        return !stopRequested;
    };
    c.cycle = [this](CycleScope &) {
        const CycleEnd echo = echoExchange();
        // A write that failed because the connection is gone is counted;
        // then the run ends and says why, since every further write would
        // fail at once, thousands of cycles a second.
        if (echo == CycleEnd::Fail && !m_cycle.endRunAfterResult && !socketMgr->isConnected())
            m_cycle.connectionLost = true;
        return echo;
    };
    runCycles(c);
    return false;
}

testWorker::CycleEnd testWorker::tcpRound(CycleScope &cycle)
{
    if (!step("connectServer", [this] { return connectServer(); })) {
        if (m_stepCutShort)
            return CycleEnd::Stopped;
        ++tcpFailCount;
        return CycleEnd::Fail;
    }
    tcpFailCount = 0;
    const CycleScope::Handle socket = cycle.add([this] { closeSocket(); });
    if (stopRequested)
        return CycleEnd::Stopped;
    const CycleEnd echo = echoExchange();
    if (echo != CycleEnd::Pass)
        return echo;
    if (stopRequested)
        return CycleEnd::Stopped;
    cycle.runNow(socket);
    return stopRequested ? CycleEnd::Stopped : CycleEnd::Pass;
}

testWorker::CycleEnd testWorker::echoExchange()
{
    if (!step("sendData", [this] { return sendData(); }))
        return m_stepCutShort ? CycleEnd::Stopped : CycleEnd::Fail;
    m_cycle.bytesSent = sentData.size();
    const bool echoed = step("checkReceive", [this] { return checkReceive(sentData); });
    // An echo wait cut short by Stop or by the run's time limit has no
    // verdict, in every case (long-long included): the cycle counts nothing.
    if (m_stepCutShort)
        return CycleEnd::Stopped;
    m_cycle.bytesReceived = socketMgr->m_recvBuffer.size();
    if (echoed)
        return CycleEnd::Pass;
    m_cycle.endRunAfterResult = true; // a wrong or missing echo ends the run
    return CycleEnd::Fail;
}
