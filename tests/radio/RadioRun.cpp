#include "RadioRun.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMetaObject>

#include <atomic>
#include <memory>

RadioRun::RadioRun(int caseIndex, QObject *parent) : QObject(parent)
{
    setup.caseIndex = caseIndex;
    worker = new testWorker;
    worker->setup = &setup;
    worker->setLimits(quickLimits());
    worker->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, worker, &QObject::deleteLater);
    connect(worker, &testWorker::sngLog, this, [this](const QString &text, const QColor &color) {
        lines.append({text, color});
    });
    connect(worker, &testWorker::sngUpdateRadio, this, [this](bool pass) {
        results.append(pass);
        resultAt.append(lines.size());
    });
    connect(worker, &testWorker::sngFinishAll, this, [this] { ++finishCount; });
    m_thread.start();
}

RadioRun::~RadioRun()
{
    worker->stopTest();
    m_thread.quit();
    m_thread.wait();
    usb_relay_device_free_enumerate(m_boards);
}

WorkerLimits RadioRun::quickLimits()
{
    WorkerLimits l;
    l.registerMs = 1500;
    l.deregisterMs = 1500;
    l.reregisterMs = 1500;
    l.dialBoundMs = 5000;
    l.sleepWakeMs = 300;
    l.cyclePauseMs = 100;
    l.stopLatencyMs = 50;
    return l;
}

bool RadioRun::selectBoard(int index)
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

void RadioRun::start()
{
    worker->announceStart();
    QMetaObject::invokeMethod(worker, &testWorker::start, Qt::QueuedConnection);
}

qint64 RadioRun::stop()
{
    QElapsedTimer t;
    t.start();
    worker->stopTest();
    const qint64 took = t.elapsed();
    QCoreApplication::processEvents(); // what the worker queued before it ended
    return took;
}

bool RadioRun::inWorker(const std::function<void()> &fn, int waitMs)
{
    auto done = std::make_shared<std::atomic<bool>>(false);
    QMetaObject::invokeMethod(worker, [fn, done] {
        fn();
        *done = true;
    }, Qt::QueuedConnection);
    const bool ok = waitUntil([done] { return done->load(); }, waitMs);
    QCoreApplication::processEvents();
    return ok;
}

bool RadioRun::waitUntil(const std::function<bool()> &pred, int waitMs)
{
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() > waitMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    return true;
}

bool RadioRun::waitResults(int count, int waitMs)
{
    return waitUntil([&] { return results.size() >= count; }, waitMs);
}

bool RadioRun::waitLine(const QString &text, int from, int waitMs)
{
    return waitUntil([&] { return indexOf(text, from) >= 0; }, waitMs);
}

bool RadioRun::waitFinished(int waitMs)
{
    return waitUntil([&] { return finishCount > 0; }, waitMs);
}

int RadioRun::indexOf(const QString &text, int from) const
{
    for (int i = qMax(0, from); i < lines.size(); ++i) {
        if (lines[i].text == text)
            return i;
    }
    return -1;
}

int RadioRun::count(const QString &text, int from) const
{
    int n = 0;
    for (int i = qMax(0, from); i < lines.size(); ++i)
        n += lines[i].text == text ? 1 : 0;
    return n;
}

QStringList RadioRun::workerLines(int from) const
{
    QStringList out;
    for (int i = qMax(0, from); i < lines.size(); ++i) {
        if (lines[i].color != QColor(Qt::yellow))
            out << lines[i].text;
    }
    return out;
}

QColor RadioRun::colorOf(const QString &text) const
{
    const int i = indexOf(text);
    return i < 0 ? QColor() : lines[i].color;
}
