// A testWorker in its own thread, as the window runs it, set up for one of
// the radio cases on a virtual bench's relay board, with everything it emits
// recorded for the test.
#ifndef RADIORUN_H
#define RADIORUN_H

#include <QColor>
#include <QObject>
#include <QStringList>
#include <QThread>
#include <QVector>

#include <functional>

#include "TestSetup.h"
#include "testWorker.h"
#include "usb_relay_device.h"

class RadioRun : public QObject
{
    Q_OBJECT

public:
    struct Line
    {
        QString text;
        QColor color;
    };

    explicit RadioRun(int caseIndex, QObject *parent = nullptr);
    ~RadioRun() override;

    // Limits that keep a cycle well under a second.
    static WorkerLimits quickLimits();

    // Lists the boards and hands the worker a copy of record `index`, as the
    // window does at Start; the list stays alive until the run is destroyed.
    bool selectBoard(int index);
    // Like the window's Start.
    void start();
    // Like the window's Stop, from this thread; returns how long stopTest took.
    qint64 stop();
    // Runs fn in the worker thread and waits for it.
    bool inWorker(const std::function<void()> &fn, int waitMs = 20000);

    bool waitUntil(const std::function<bool()> &pred, int waitMs);
    bool waitResults(int count, int waitMs);
    bool waitLine(const QString &text, int from, int waitMs);
    bool waitFinished(int waitMs);

    int indexOf(const QString &text, int from = 0) const;
    int count(const QString &text, int from = 0) const;
    // The worker's own lines from `from` on, the serial channel's port
    // lines (yellow) left out.
    QStringList workerLines(int from = 0) const;
    QColor colorOf(const QString &text) const;

    TestSetup setup;
    testWorker *worker = nullptr;
    QVector<Line> lines;
    QVector<bool> results;
    QVector<int> resultAt; // lines logged when each result came
    int finishCount = 0;

private:
    QThread m_thread;
    usb_relay_device_info *m_boards = nullptr;
};

#endif // RADIORUN_H
