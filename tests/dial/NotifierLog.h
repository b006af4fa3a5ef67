// Records what a RAS notifier receives, for tests: a free function can carry
// no context, so the record is process-wide.
#ifndef NOTIFIERLOG_H
#define NOTIFIERLOG_H

#include "ras.h"

#include <QList>

#include <condition_variable>
#include <mutex>
#include <thread>

struct NotifierCall
{
    UINT message;
    RASCONNSTATE state;
    DWORD error;
    std::thread::id thread;
    bool afterHangUp; // arrived after RasHangUpA had returned
};

class NotifierLog
{
public:
    static NotifierLog &instance();
    static void WINAPI notifier(UINT message, RASCONNSTATE state, DWORD error);

    void reset();
    // From now on every call is a late one.
    void markHungUp();
    QList<NotifierCall> calls() const;
    QList<int> states() const;
    // Waits for a call ending the dial (connected, disconnected, an error).
    bool waitForEnd(int timeoutMs) const;
    bool waitForCount(int count, int timeoutMs) const;

    // When set, the notifier hangs this handle up from inside the call
    // that reports the given state.
    void hangUpFromNotifier(HRASCONN handle, RASCONNSTATE onState);

private:
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    QList<NotifierCall> m_calls;
    bool m_hungUp = false;
    HRASCONN m_hangUpHandle = nullptr;
    RASCONNSTATE m_hangUpOn = RASCS_OpenPort;
};

#endif // NOTIFIERLOG_H
