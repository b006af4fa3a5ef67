#include "testWorker.h"

#include "SocketMannger.h"
#include "TestCases.h"
#include "CycleRecords.h"
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
    // The steps time the dial-up and the hang-up for the window; the cycle's
    // record keeps the single figures.
    connect(this, &testWorker::sngUpdateAvgTime, this, [this](bool startPPP, int time) {
        (startPPP ? m_cycle.dialUpMs : m_cycle.hangUpMs) = time;
    }, Qt::DirectConnection);
}

testWorker::~testWorker() = default;

void testWorker::announceStart()
{
    stopReason = int(EndReason::Stop);
    stopRequested = false;
    startPending = true;
}

void testWorker::stopTest(EndReason reason)
{
    log(tr("Stop ..."), QColor(Qt::white));
    if (!stopRequested)
        stopReason = int(reason);
    stopRequested = true;
    m_logFlow.wake();
    // A wait in the worker thread sleeps on its event dispatcher; wake it so
    // the request is seen now rather than at the next tick.
    if (QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance(thread()))
        dispatcher->wakeUp();

    while (runActive(startPending, running)) {
        QCoreApplication::processEvents();
        if (!runActive(startPending, running))
            break;
        QThread::msleep(50);
    }
}

void testWorker::start()
{
    // An announced run keeps a Stop that came in before this point; a direct
    // call starts afresh.
    const bool announced = startPending;
    if (!announced) {
        stopReason = int(EndReason::Stop);
        stopRequested = false;
    }

    // The previous run's pair is idle and closed by now; over a run of
    // days of Start and Stop it would otherwise pile up.
    delete uart;
    delete socketMgr;
    uart = new UartEngine(this);
    socketMgr = new SocketMannger(this);
    relayHandle = 0;
    connect(uart, &UartEngine::sngLogtext, this, &testWorker::onLog);
    connect(socketMgr, &SocketMannger::sngSocketLog, this, &testWorker::onLog);
    pppFailCount = 0;
    tcpFailCount = 0;
    m_passCount = 0;
    m_failCount = 0;
    m_endReason = EndReason::Stop;
    m_records.reset();


    if (stopRequested) {
        // Stopped between Start and here: nothing to run, not even the port.
        startPending = false;
        log(tr("Test is finished!"), QColor(Qt::white));
        emit sngFinishAll();
        return;
    }

    m_runStartMs = monotonicMs();
    m_deadlineMs = m_runLimits.durationMs > 0 ? m_runStartMs + m_runLimits.durationMs : 0;
    beginRecords();

    // The register network case, and a steps file whose set-up begins so,
    // hold the AT port for the whole run.
    const bool portForRun = setup && setup->opensPortAtStart();
    if (portForRun && !openPort()) {
        log(tr("Failed!!!Failed to open port!"), QColor(Qt::red));
        m_endReason = EndReason::PortFailed;
        endRecords();
        m_deadlineMs = 0;
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
    else
        m_endReason = EndReason(stopReason.load());

    if (portForRun)
        closePort();
    // On disk before the window or the runner hears that the run is over.
    endRecords();
    m_deadlineMs = 0; // the limit belonged to this run
    log(tr("Test is finished!"), QColor(Qt::white));
    running = false;
    emit sngFinishAll();
}

void testWorker::runSelectedCase()
{
    log(tr("Running..."), QColor(Qt::white));
    switch (setup ? setup->caseIndex : -1) {
    case TestCases::PppCall:
        pppCallTest();
        break;
    case TestCases::ExternalShortShort:
        externalShortShortTest();
        break;
    case TestCases::ExternalLongShort:
        externalLongShortTest();
        break;
    case TestCases::ExternalLongLong:
        externalLongLongTest();
        break;
    case TestCases::RegisterNet:
        registerNetTest();
        break;
    case TestCases::SleepWakePpp:
        sleepWakePppTest();
        break;
    case TestCases::Custom:
        stepsFileTest();
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
    noteLine(text, color);
    // Only the worker's own thread may wait for the window; "Stop ..." comes
    // from the window's thread and is delivered there at once.
    m_logFlow.beforeEmit(QThread::currentThread() == thread(), stopRequested);
    emit sngLog(text, color);
}

QString testWorker::sizeText(qint64 bytes)
{
    if (bytes < 1024)
        return QStringLiteral("%1 bytes").arg(bytes);
    return QStringLiteral("%1 KB").arg(double(bytes) / 1024.0, 0, 'f', 1);
}

void testWorker::emitResult(bool pass)
{
    if (!pass)
        emit sngCycleFailed(m_cycle.failedStep, m_cycle.failedStep.isEmpty() ? QString() : m_cycle.failedLine);
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
    if (stopRequested || deadlinePassed())
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
        if (stopRequested || deadlinePassed())
            return WaitResult::Stopped;
    }
}
