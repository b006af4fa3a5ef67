// The connection cases: PPP and TCP set up and torn down at different
// rhythms. A cycle cut short by a Stop reports no result.
#include "testWorker.h"

#include "SocketMannger.h"
#include "TestSetup.h"

namespace {
const QString separator = QStringLiteral("=================================");
constexpr int failLimit = 3;
} // namespace

bool testWorker::pppCallTest()
{
    if (!setup || setup->caseIndex != 0)
        return true;
    for (;;) {
        if (stopRequested)
            return false;
        log(separator, QColor(Qt::white));

        bool result = false;
        bool dialFailed = false;
        if (!dialUpPpp()) {
            if (stopRequested)
                return false; // the dial has hung up already
            result = false;
            dialFailed = true;
        } else {
            if (stopRequested) {
                hangUpPpp();
                return false;
            }
            if (!pingHost()) {
                hangUpPpp();
                result = false;
            } else {
                if (stopRequested) {
                    hangUpPpp();
                    return false;
                }
                result = hangUpPpp();
            }
        }
        emitResult(result);
        if (stopRequested)
            return false;
        // This case has no give-up rule; a dial that RAS refuses at once
        // (no modem) would otherwise repeat as fast as the processor allows.
        if (dialFailed && waitFor(m_limits.cyclePauseMs, [] { return false; }) == WaitResult::Stopped)
            return false;
    }
}

bool testWorker::externalShortShortTest()
{
    if (!setup || setup->caseIndex != 1)
        return true;
    for (;;) {
        if (stopRequested)
            return false;
        if (pppFailCount >= failLimit || tcpFailCount >= failLimit) {
            log(QStringLiteral("Failed!!!Fail to establish PPP or TCP connection for more than three times in a row"),
                QColor(Qt::red));
            return false;
        }
        log(separator, QColor(Qt::white));

        if (!dialUpPpp()) {
            if (stopRequested)
                return false;
            ++pppFailCount;
            emitResult(false);
        } else {
            pppFailCount = 0;
            if (stopRequested) {
                hangUpPpp();
                return false;
            }
            if (!connectServer()) {
                if (stopRequested) {
                    hangUpPpp();
                    return false;
                }
                ++tcpFailCount;
                emitResult(false);
                hangUpPpp();
            } else {
                tcpFailCount = 0;
                if (stopRequested) {
                    closeSocket();
                    hangUpPpp();
                    return false;
                }
                if (!sendData()) {
                    if (stopRequested) {
                        closeSocket();
                        hangUpPpp();
                        return false;
                    }
                    emitResult(false);
                    closeSocket();
                    hangUpPpp();
                } else if (!checkReceive(sentData)) {
                    // A wrong or missing echo ends the run.
                    emitResult(false);
                    closeSocket();
                    hangUpPpp();
                    return false;
                } else {
                    if (stopRequested) {
                        closeSocket();
                        hangUpPpp();
                        return false;
                    }
                    closeSocket();
                    if (stopRequested) {
                        hangUpPpp();
                        return false;
                    }
                    emitResult(hangUpPpp());
                }
            }
        }
        if (stopRequested)
            return false;
    }
}

bool testWorker::externalLongShortTest()
{
    if (!setup || setup->caseIndex != 2)
        return true;
    if (!dialUpPpp())
        return false;
    if (stopRequested) {
        hangUpPpp();
        return false;
    }
    for (;;) {
        if (tcpFailCount >= failLimit) {
            log(QStringLiteral("Failed!!!Fail to establish TCP connection for more than three times in a row"),
                QColor(Qt::red));
            hangUpPpp();
            return false;
        }
        log(separator, QColor(Qt::white));

        if (!connectServer()) {
            if (stopRequested) {
                hangUpPpp();
                return false;
            }
            ++tcpFailCount;
            emitResult(false);
        } else {
            tcpFailCount = 0;
            if (stopRequested) {
                closeSocket();
                hangUpPpp();
                return false;
            }
            if (!sendData()) {
                if (stopRequested) {
                    closeSocket();
                    hangUpPpp();
                    return false;
                }
                emitResult(false);
                closeSocket();
            } else if (!checkReceive(sentData)) {
                emitResult(false);
                closeSocket();
                hangUpPpp();
                return false;
            } else {
                if (stopRequested) {
                    closeSocket();
                    hangUpPpp();
                    return false;
                }
                closeSocket();
                if (stopRequested) {
                    hangUpPpp();
                    return false;
                }
                emitResult(true);
            }
        }
        if (stopRequested) {
            hangUpPpp();
            return false;
        }
    }
}

bool testWorker::externalLongLongTest()
{
    if (!setup || setup->caseIndex != 3)
        return true;
    if (!dialUpPpp())
        return false;
    if (stopRequested) {
        hangUpPpp();
        return false;
    }
    if (!connectServer()) {
        hangUpPpp();
        return false;
    }
    if (stopRequested) {
        closeSocket();
        hangUpPpp();
        return false;
    }
    for (;;) {
        log(separator, QColor(Qt::white));
        if (!sendData()) {
            if (stopRequested) {
                closeSocket();
                hangUpPpp();
                return false;
            }
            emitResult(false);
            // With the connection gone every further write fails at once;
            // going on would only flood the log with failed cycles.
            if (!socketMgr->isConnected()) {
                closeSocket();
                hangUpPpp();
                return false;
            }
        } else if (checkReceive(sentData)) {
            // Also after a Stop during the echo wait: the cycle counts as passed.
            emitResult(true);
        } else {
            emitResult(false);
            closeSocket();
            hangUpPpp();
            return false;
        }
        if (stopRequested) {
            closeSocket();
            hangUpPpp();
            return false;
        }
    }
}
