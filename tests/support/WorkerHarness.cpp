#include "WorkerHarness.h"

#include "SocketMannger.h"
#include "UartEngine.h"
#include "usb_relay_device.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMetaObject>
#include <QTest>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>

namespace {
qint64 steadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
} // namespace

WorkerHarness::WorkerHarness(QObject *parent) : QObject(parent)
{
    worker = new testWorker;
    worker->setSetup(&setup);
    worker->setLimits(quickLimits());
    worker->moveToThread(&thread);
    connect(&thread, &QThread::finished, worker, &QObject::deleteLater);

    connect(worker, &testWorker::sngLog, this, [this](const QString &text, const QColor &color) {
        lines.append({text, color});
        if (!stopOnLinePrefix.isEmpty() && text.startsWith(stopOnLinePrefix)) {
            stopOnLinePrefix.clear();
            pressStop();
        }
    });
    connect(worker, &testWorker::sngUpdateRadio, this, [this](bool pass) {
        results.append(pass);
        resultAt.append(lines.size());
        if (stopAfterResults > 0 && results.size() == stopAfterResults)
            pressStop();
    });
    // Runs in the worker thread, before the line is queued to this one.
    connect(worker, &testWorker::sngLog, this, [this](const QString &text, const QColor &) {
        if (m_workerStopAt.load() < 0 && !m_workerStopPrefix.isEmpty() && text.startsWith(m_workerStopPrefix)) {
            m_workerStopAt = steadyMs();
            access().stopRequested() = true;
        }
    }, Qt::DirectConnection);
    connect(worker, &testWorker::sngUpdateAvgTime, this, [this](bool startPpp, int ms) {
        avgTimes.append({startPpp, ms});
    });
    connect(worker, &testWorker::sngFinishAll, this, [this] {
        ++finishCount;
        m_finishedAt = steadyMs();
    });
    connect(worker, &testWorker::sngStep, this, [this](const QString &step, int limitMs) { steps.append({step, limitMs}); });
    thread.start();
}

WorkerHarness::~WorkerHarness()
{
    worker->stopTest();
    thread.quit();
    thread.wait();
    usb_relay_device_free_enumerate(m_boards);
}

WorkerLimits WorkerHarness::quickLimits()
{
    WorkerLimits l;
    l.connectMs = 3000;
    l.writeMs = 2000;
    l.echoWaitMs = 1500;
    l.registerMs = 1500;
    l.deregisterMs = 1500;
    l.reregisterMs = 1500;
    l.dialBoundMs = 5000;
    l.pingStartMs = 5000;
    l.pingFinishMs = 8000;
    l.pingDeadlineS = 5;
    l.sleepWakeMs = 300;
    l.cyclePauseMs = 50;
    l.stopLatencyMs = 50;
    return l;
}

void WorkerHarness::makeChannels()
{
    runInWorker([this] {
        const WorkerAccess state(worker);
        state.uart() = new UartEngine(worker);
        state.socketMgr() = new SocketMannger(worker);
        QObject::connect(state.uart(), &UartEngine::sngLogtext, worker, &testWorker::onLog);
        QObject::connect(state.socketMgr(), &SocketMannger::sngSocketLog, worker, &testWorker::onLog);
    });
}

bool WorkerHarness::selectBoard(int index)
{
    usb_relay_device_free_enumerate(m_boards);
    m_boards = usb_relay_device_enumerate();
    usb_relay_device_info *record = m_boards;
    for (int i = 0; i < index && record; ++i)
        record = record->next;
    if (!record)
        return false;
    setup.relayDevice = *record;
    return true;
}

void WorkerHarness::pressStop()
{
    QElapsedTimer t;
    t.start();
    worker->stopTest();
    stopTookMs = t.elapsed();
}

void WorkerHarness::stopInWorkerOnLine(const QString &prefix)
{
    m_workerStopPrefix = prefix;
    m_workerStopAt = -1;
}

qint64 WorkerHarness::workerStopLatencyMs() const
{
    const qint64 raised = m_workerStopAt.load();
    return raised < 0 || m_finishedAt < raised ? -1 : m_finishedAt - raised;
}

bool WorkerHarness::runInWorker(const std::function<void()> &fn, int waitMs)
{
    auto done = std::make_shared<std::atomic<bool>>(false);
    QMetaObject::invokeMethod(worker, [fn, done] {
        fn();
        *done = true;
    }, Qt::QueuedConnection);
    const bool ok = waitUntil([done] { return done->load(); }, waitMs);
    // Deliver the signals queued before fn returned.
    QCoreApplication::processEvents();
    return ok;
}

void WorkerHarness::startRun()
{
    worker->announceStart();
    QMetaObject::invokeMethod(worker, &testWorker::start, Qt::QueuedConnection);
}

qint64 WorkerHarness::stop()
{
    QElapsedTimer t;
    t.start();
    worker->stopTest();
    const qint64 took = t.elapsed();
    QCoreApplication::processEvents(); // what the worker queued before it ended
    return took;
}

bool WorkerHarness::waitUntil(const std::function<bool()> &pred, int waitMs)
{
    return QTest::qWaitFor(pred, waitMs);
}

bool WorkerHarness::waitFinished(int runs, int waitMs)
{
    return waitUntil([&] { return finishCount >= runs; }, waitMs);
}

bool WorkerHarness::waitResults(int count, int waitMs)
{
    return waitUntil([&] { return results.size() >= count; }, waitMs);
}

bool WorkerHarness::waitLine(const QString &text, int from, int waitMs)
{
    return waitUntil([&] { return indexOf(text, from) >= 0; }, waitMs);
}

void WorkerHarness::pump(int ms)
{
    QTest::qWait(ms);
}

QStringList WorkerHarness::texts() const
{
    QStringList out;
    for (const LogLine &l : lines)
        out << l.text;
    return out;
}

int WorkerHarness::indexOf(const QString &text, int from) const
{
    for (int i = std::max(0, from); i < lines.size(); ++i)
        if (lines[i].text == text)
            return i;
    return -1;
}

int WorkerHarness::count(const QString &text, int from) const
{
    int n = 0;
    for (int i = std::max(0, from); i < lines.size(); ++i)
        n += lines[i].text == text ? 1 : 0;
    return n;
}

bool WorkerHarness::hasLine(const QString &text, const QColor &color) const
{
    return std::any_of(lines.cbegin(), lines.cend(),
                       [&](const LogLine &l) { return l.text == text && l.color == color; });
}

QStringList WorkerHarness::workerLines(int from) const
{
    QStringList out;
    for (int i = std::max(0, from); i < lines.size(); ++i)
        if (lines[i].color != QColor(Qt::yellow))
            out << lines[i].text;
    return out;
}

QColor WorkerHarness::colorOf(const QString &text) const
{
    const int i = indexOf(text);
    return i < 0 ? QColor() : lines[i].color;
}

void WorkerHarness::clear()
{
    lines.clear();
    results.clear();
    avgTimes.clear();
    steps.clear();
    resultAt.clear();
    finishCount = 0;
    stopTookMs = -1;
    m_workerStopPrefix.clear();
    m_workerStopAt = -1;
    m_finishedAt = -1;
}
