#include "testWorker.h"

#include "SocketMannger.h"
#include "TestSetup.h"
#include "UartEngine.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QTimer>

#include <algorithm>

testWorker::testWorker(QObject *parent) : QObject(parent)
{
}

testWorker::~testWorker() = default;

void testWorker::announceStart()
{
    stopRequested = false;
    startPending = true;
}

void testWorker::stopTest()
{
    log(tr("Stop ..."), QColor(Qt::white));
    stopRequested = true;
    m_logFlow.wake();
    // A wait in the worker thread sleeps on its event dispatcher; wake it so
    // the request is seen now rather than at the next tick.
    if (QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance(thread()))
        dispatcher->wakeUp();

    while (running || startPending) {
        QCoreApplication::processEvents();
        if (!(running || startPending))
            break;
        QThread::msleep(50);
    }
}

void testWorker::start()
{
    // An announced run keeps a Stop that came in before this point; a direct
    // call starts afresh.
    const bool announced = startPending;
    if (!announced)
        stopRequested = false;

    uart = new UartEngine(this);
    socketMgr = new SocketMannger(this);
    relayHandle = 0;
    connect(uart, &UartEngine::sngLogtext, this, &testWorker::onLog);
    connect(socketMgr, &SocketMannger::sngSocketLog, this, &testWorker::onLog);
    pppFailCount = 0;
    tcpFailCount = 0;

    const int caseIndex = setup ? setup->caseIndex : -1;

    if (stopRequested) {
        // Stopped between Start and here: nothing to run, not even the port.
        startPending = false;
        log(tr("Test is finished!"), QColor(Qt::white));
        emit sngFinishAll();
        return;
    }

    if (caseIndex == 4 && !openPort()) {
        log(tr("Failed!!!Failed to open port!"), QColor(Qt::red));
        startPending = false;
        emit sngFinishAll();
        return;
    }

    // running goes up before the pending mark drops, so stopTest never sees
    // a moment with neither set.
    running = true;
    startPending = false;

    if (!stopRequested)
        runSelectedCase();

    if (caseIndex == 4)
        closePort();
    log(tr("Test is finished!"), QColor(Qt::white));
    running = false;
    emit sngFinishAll();
}

void testWorker::runSelectedCase()
{
    log(tr("Running..."), QColor(Qt::white));
    switch (setup ? setup->caseIndex : -1) {
    case 0:
        pppCallTest();
        break;
    case 1:
        externalShortShortTest();
        break;
    case 2:
        externalLongShortTest();
        break;
    case 3:
        externalLongLongTest();
        break;
    case 4:
        registerNetTest();
        break;
    case 5:
        sleepWakePppTest();
        break;
    default:
        break;
    }
}

void testWorker::onLog(QString log, QColor color)
{
    this->log(log, color);
}

void testWorker::log(const QString &text, const QColor &color)
{
    // Only the worker's own thread may wait for the window; "Stop ..." comes
    // from the window's thread and is delivered there at once.
    m_logFlow.beforeEmit(QThread::currentThread() == thread(), stopRequested);
    emit sngLog(text, color);
}

void testWorker::emitResult(bool pass)
{
    emit sngUpdateRadio(pass);
    QCoreApplication::processEvents();
}

qint64 testWorker::monotonicMs()
{
    static QElapsedTimer clock = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return clock.elapsed();
}

testWorker::WaitResult testWorker::waitFor(int timeoutMs, const std::function<bool()> &done)
{
    if (timeoutMs <= 0)
        return WaitResult::TimedOut;
    if (done())
        return WaitResult::Done;
    if (stopRequested)
        return WaitResult::Stopped;

    QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance();
    QElapsedTimer elapsed;
    elapsed.start();

    // The tick bounds each sleep, so the stop request and the deadline are
    // looked at even while nothing arrives; between ticks the thread sleeps.
    const int tickMs = std::max(1, m_limits.stopLatencyMs);
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);

    for (;;) {
        const qint64 left = timeoutMs - elapsed.elapsed();
        if (left <= 0)
            return WaitResult::TimedOut;
        tick.start(int(std::min<qint64>(tickMs, left)));
        if (dispatcher)
            dispatcher->processEvents(QEventLoop::WaitForMoreEvents);
        else
            QThread::msleep(std::min<qint64>(tickMs, left));
        QCoreApplication::sendPostedEvents();
        if (done())
            return WaitResult::Done;
        if (stopRequested)
            return WaitResult::Stopped;
    }
}
