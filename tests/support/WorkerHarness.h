// Runs a testWorker in its own thread the way the window does and records
// everything it emits, so tests can drive single steps or whole runs.
#ifndef WORKERHARNESS_H
#define WORKERHARNESS_H

#include "TestSetup.h"
#include "WorkerAccess.h"
#include "testWorker.h"

#include <QColor>
#include <QObject>
#include <QPair>
#include <QStringList>
#include <QThread>
#include <QVector>

#include <atomic>
#include <functional>

struct usb_relay_device_info;

struct LogLine
{
    QString text;
    QColor color;
};

class WorkerHarness : public QObject
{
    Q_OBJECT

public:
    explicit WorkerHarness(QObject *parent = nullptr);
    ~WorkerHarness() override;

    // Limits that keep a cycle well under a second; a test may shorten them
    // further.
    static WorkerLimits quickLimits();

    // Gives the worker its channels without a run, in the worker thread.
    void makeChannels();
    // Lists the relay boards and hands the worker a copy of record `index`,
    // as the window does at Start; the list stays alive with the harness.
    bool selectBoard(int index);
    // Runs fn in the worker thread and waits (handling this thread's events)
    // until it returns or waitMs passes; false on timeout.
    bool runInWorker(const std::function<void()> &fn, int waitMs = 20000);
    // Like the window's Start: announce, then queue start().
    void startRun();
    // Like the window's Stop, from this thread; returns how long stopTest took.
    qint64 stop();

    // Each handles events until its condition holds; false after waitMs.
    bool waitUntil(const std::function<bool()> &pred, int waitMs = 20000);
    // sngFinishAll has come `runs` times in all.
    bool waitFinished(int runs = 1, int waitMs = 20000);
    bool waitResults(int count, int waitMs);
    bool waitLine(const QString &text, int from, int waitMs);
    // Handles events for ms milliseconds.
    void pump(int ms);

    // The worker's state, for presetting and checking it.
    WorkerAccess access() const { return WorkerAccess(worker); }

    QStringList texts() const;
    // Index of the first line equal to text at or after from; -1 when none.
    int indexOf(const QString &text, int from = 0) const;
    int count(const QString &text, int from = 0) const;
    bool hasLine(const QString &text, const QColor &color) const;
    // The worker's own lines from `from` on, the serial channel's port
    // lines (yellow) left out.
    QStringList workerLines(int from = 0) const;
    // Colour of the first line equal to text; invalid when none.
    QColor colorOf(const QString &text) const;
    void clear();

    TestSetup setup;
    testWorker *worker = nullptr;
    QThread thread;

    QVector<LogLine> lines;
    QVector<bool> results;
    QVector<QPair<bool, int>> avgTimes;
    // Every step the worker reported, with its limit.
    QVector<QPair<QString, int>> steps;
    int finishCount = 0;
    // Number of lines logged when each result arrived, to check the order
    // of results against log lines.
    QVector<int> resultAt;
    // When set, the harness presses Stop as soon as this many results came.
    int stopAfterResults = 0;
    // When set, the harness presses Stop as soon as a line starting so came.
    QString stopOnLinePrefix;
    // How long that Stop (or the one after stopAfterResults) took to return; -1 before.
    qint64 stopTookMs = -1;
    // When set before a run, the stop request is raised in the worker thread
    // the moment a line starting so is logged, once: a Stop that lands just
    // as the step that logged it returns, or before the next step begins,
    // before the case looks at the request, whatever the GUI thread is doing.
    void stopInWorkerOnLine(const QString &prefix);
    // Milliseconds from that request to the end of the run (sngFinishAll);
    // -1 when it was not raised.
    qint64 workerStopLatencyMs() const;

private:
    void pressStop();

    usb_relay_device_info *m_boards = nullptr;
    QString m_workerStopPrefix;           // read in the worker thread during a run
    std::atomic<qint64> m_workerStopAt{-1}; // steady-clock ms of the raised request
    qint64 m_finishedAt = -1;
};

#endif // WORKERHARNESS_H
