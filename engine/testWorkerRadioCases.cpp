// The radio cases: every cycle switches the chip's supply through the relay.
// Case 4 follows the network registration over AT commands; case 5 keeps the
// chip powered for a long while, powers it off and then dials PPP.
#include "testWorker.h"

#include <QByteArray>
#include <QThread>

#include "TestCases.h"
#include "TestSetup.h"
#include "UartEngine.h"
#include "usb_relay_device.h"

namespace {

const char *const Separator = "=================================";

// One AT exchange of the register network cycle: the command written (none
// for the first, which only waits), the text awaited and its time limit.
struct AtExchange
{
    const char *command;
    const char *expected;
    int WorkerLimits::*limit;
};

const AtExchange registerExchanges[] = {
    {"", "CREG: 1", &WorkerLimits::registerMs},
    {"AT+CFUN=0\r\n", "CREG: 0", &WorkerLimits::deregisterMs},
    {"AT+CFUN=1\r\n", "CREG: 1", &WorkerLimits::reregisterMs},
};

} // namespace

testWorker::RadioCycle testWorker::beginRadioCycle()
{
    QThread::msleep(static_cast<unsigned long>(qMax(0, limits().cyclePauseMs)));
    log(QString::fromLatin1(Separator), QColor(Qt::white));
    if (powerOnChip())
        return RadioCycle::Powered;
    emitResult(false);
    return stopRequested ? RadioCycle::EndRun : RadioCycle::Failed;
}

bool testWorker::endRadioRun()
{
    // A run that ends after a failed power-off still holds the board;
    // nothing would ever close it, since the next run starts from a zero handle.
    if (relayHandle != 0) {
        usb_relay_device_close(relayHandle);
        relayHandle = 0;
    }
    return true;
}

bool testWorker::registerNetTest()
{
    if (!setup || setup->caseIndex != TestCases::RegisterNet)
        return true;

    for (;;) {
        switch (beginRadioCycle()) {
        case RadioCycle::EndRun:
            return endRadioRun();
        case RadioCycle::Failed:
            continue;
        case RadioCycle::Powered:
            break;
        }
        // Whatever the chip said before this power-up (a late report of the
        // previous cycle) must not count as this cycle's registration.
        if (uart)
            uart->m_recvBuffer.clear();
        if (stopRequested) {
            powerOffChip();
            return endRadioRun();
        }

        // Registration after power-up, then radio off and on again.
        bool exchangesPassed = true;
        for (const AtExchange &exchange : registerExchanges) {
            if (!waitAtResponse(QByteArray(exchange.command), QByteArray(exchange.expected), limits().*exchange.limit)) {
                exchangesPassed = false;
                break;
            }
            if (stopRequested) {
                powerOffChip();
                return endRadioRun();
            }
        }
        if (!exchangesPassed) {
            // The chip is switched off before the cycle counts as failed.
            powerOffChip();
            emitResult(false);
            continue;
        }

        if (!powerOffChip()) {
            emitResult(false);
            continue;
        }
        emitResult(true);
        if (stopRequested)
            return endRadioRun();
    }
}

bool testWorker::sleepWakePppTest()
{
    if (!setup || setup->caseIndex != TestCases::SleepWakePpp)
        return true;

    for (;;) {
        switch (beginRadioCycle()) {
        case RadioCycle::EndRun:
            return endRadioRun();
        case RadioCycle::Failed:
            continue;
        case RadioCycle::Powered:
            break;
        }
        if (stopRequested) {
            powerOffChip();
            return endRadioRun();
        }

        // The powered wait sleeps on the thread's events; nothing ends it early
        // but a stop request.
        if (waitFor(limits().sleepWakeMs, [] { return false; }) == WaitResult::Stopped) {
            powerOffChip();
            return endRadioRun();
        }

        if (!powerOffChip()) {
            emitResult(false);
            continue;
        }
        if (!dialUpPpp()) {
            // A dial cut short by Stop has hung up already and is no failure
            // of the chip: the run ends without a result for this cycle.
            if (stopRequested)
                return endRadioRun();
            emitResult(false);
            continue;
        }
        if (stopRequested) {
            hangUpPpp();
            return endRadioRun();
        }
        hangUpPpp();
        emitResult(true);
    }
}
