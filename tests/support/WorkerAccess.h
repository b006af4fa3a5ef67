// The tests' view of a worker's state: the flags, counters, channels and
// handles that a test presets or checks, and nothing the worker does not hold.
#ifndef WORKERACCESS_H
#define WORKERACCESS_H

#include "testWorker.h"

class WorkerAccess
{
public:
    explicit WorkerAccess(testWorker *worker) : w(worker) {}

    std::atomic<bool> &running() const { return w->running; }
    std::atomic<bool> &stopRequested() const { return w->stopRequested; }
    std::atomic<bool> &startPending() const { return w->startPending; }
    int &pppFailCount() const { return w->pppFailCount; }
    int &tcpFailCount() const { return w->tcpFailCount; }
    intptr_t &relayHandle() const { return w->relayHandle; }
    QByteArray &sentData() const { return w->sentData; }
    UartEngine *&uart() const { return w->uart; }
    SocketMannger *&socketMgr() const { return w->socketMgr; }
    // The dialled link's interface, as a dial through pppd sets it.
    QString &linkInterface() const { return w->m_linkInterface; }

    template <class Flag>
    static bool runActive(const Flag &pending, const Flag &running)
    {
        return testWorker::runActive(pending, running);
    }

private:
    testWorker *w;
};

#endif // WORKERACCESS_H
