// The RAS dial notifier and the progress code it leaves for the dial wait.
// RAS calls the notifier on a thread of its own, so it only records the code
// and wakes the waiting worker thread; it touches no Qt object.
#ifndef DIALNOTIFIER_H
#define DIALNOTIFIER_H

#if defined(_WIN32)
#include <windows.h>
#include <ras.h>
#else
#include "ras.h"
#endif

class QAbstractEventDispatcher;

namespace DialNotifier {

// Progress codes: -1 failed or disconnected, 0 connected, 1 port opening,
// 2 device connected, 3 authenticating, 4 authenticated, 5 other progress;
// NoReport before the first report of a dial.
constexpr int NoReport = -9999;

// Of type RASDIALFUNC; its address is what the dial object hands to RAS.
void WINAPI notify(UINT unMsg, RASCONNSTATE rasconnstate, DWORD dwError);

// Maps one report to its progress code; the error code wins over the state.
int codeFor(RASCONNSTATE state, DWORD error);

// Starts a new dial: the code goes back to NoReport and reports wake the
// given dispatcher (null: wake nobody).
void arm(QAbstractEventDispatcher *waiter);
// The dial wait is over: no one is woken any more.
void disarm();
int state();
// The RAS error code of the dial's first failed report; 0 when none.
int error();

} // namespace DialNotifier

#endif // DIALNOTIFIER_H
