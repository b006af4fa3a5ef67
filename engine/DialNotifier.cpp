#include "DialNotifier.h"

#include <QAbstractEventDispatcher>

#include <atomic>

namespace {
std::atomic<int> dialState{DialNotifier::NoReport};
std::atomic<QAbstractEventDispatcher *> dialWaiter{nullptr};
std::atomic<int> dialError{0};
} // namespace

namespace DialNotifier {

int codeFor(RASCONNSTATE state, DWORD error)
{
    if (error != 0)
        return -1;
    switch (state) {
    case RASCS_OpenPort:
        return 1;
    case RASCS_DeviceConnected:
        return 2;
    case RASCS_Authenticate:
        return 3;
    case RASCS_Authenticated:
        return 4;
    case RASCS_Connected:
        return 0;
    case RASCS_Disconnected:
        return -1;
    default:
        return 5;
    }
}

void WINAPI notify(UINT, RASCONNSTATE rasconnstate, DWORD dwError)
{
    const int code = codeFor(rasconnstate, dwError);
    int noError = 0;
    if (dwError != 0)
        dialError.compare_exchange_strong(noError, int(dwError));
    // A failure stays recorded for the rest of the dial: a later report must
    // not hide it from a wait that has not looked yet.
    int current = dialState.load();
    while (current != -1 && !dialState.compare_exchange_weak(current, code)) {
    }
    if (QAbstractEventDispatcher *waiter = dialWaiter.load())
        waiter->wakeUp();
}

void arm(QAbstractEventDispatcher *waiter)
{
    dialState = NoReport;
    dialError = 0;
    dialWaiter = waiter;
}

void disarm()
{
    dialWaiter = nullptr;
}

int state()
{
    return dialState.load();
}

int error()
{
    return dialError.load();
}

} // namespace DialNotifier
