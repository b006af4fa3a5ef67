// Runs a testWorker in its own thread the way the window does and records
// everything it emits, so tests can drive single steps or whole runs.
#ifndef WORKERHARNESS_H
#define WORKERHARNESS_H

#include "TestSetup.h"
#include "testWorker.h"

#include <QColor>
#include <QElapsedTimer>
#include <QObject>
#include <QStringList>
#include <QThread>
#include <QVector>

#include <atomic>
#include <functional>

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

    // Limits short enough for tests; a test may shorten them further.
    static WorkerLimits quickLimits();

    // Gives the worker its channels without a run, in the worker thread.
    void makeChannels();
    // Runs fn in the worker thread and waits (handling this thread's events)
    // until it returns or waitMs passes; false on timeout.
    bool runInWorker(const std::function<void()> &fn, int waitMs = 20000);
    // Like the window's Start: announce, then queue start().
    void startRun();
    // Handles events until sngFinishAll has come `runs` times in all.
    bool waitFinished(int runs = 1, int waitMs = 20000);
    // Handles events until pred holds or waitMs passes.
    bool waitUntil(const std::function<bool()> &pred, int waitMs = 20000);
    // Handles events for ms milliseconds.
    void pump(int ms);

    QStringList texts() const;
    // Index of the first line equal to text at or after from; -1 when none.
    int indexOf(const QString &text, int from = 0) const;
    int count(const QString &text) const;
    bool hasLine(const QString &text, const QColor &color) const;
    void clear();

    TestSetup setup;
    testWorker *worker = nullptr;
    QThread thread;

    QVector<LogLine> lines;
    QVector<bool> results;
    QVector<QPair<bool, int>> avgTimes;
    int finishCount = 0;
    // Number of lines logged when each result arrived, to check the order
    // of results against log lines.
    QVector<int> resultAt;
    // When set, the harness presses Stop as soon as this many results came.
    int stopAfterResults = 0;
    // When set, the harness presses Stop as soon as a line starting so came.
    QString stopOnLinePrefix;
};

#endif // WORKERHARNESS_H
