// Base of the test classes that run a worker against a virtual bench. Each
// test function gets a fresh worker in its own thread (h), set up for the
// case given here, pointed at the bench's AT port, its echo server and the
// loopback for ping, and handed the bench's first relay board when there
// is one. The bench runs once for the whole test class with its faults
// cleared before each function, or with FreshBench anew for each. After
// every function no relay board may be left open.
#ifndef BENCHWORKERTEST_H
#define BENCHWORKERTEST_H

#include "BenchProcess.h"
#include "WorkerHarness.h"

#include <QObject>
#include <QStringList>

#include <memory>

class BenchWorkerTest : public QObject
{
    Q_OBJECT

public:
    enum BenchLife { SharedBench, FreshBench };

protected:
    explicit BenchWorkerTest(const QStringList &benchArgs, int caseIndex = 0, BenchLife life = SharedBench);

    // Like the window's Start; returns once the run reports "Running...".
    void startRunning();
    // A fresh worker as each test function gets it, for a second run in the
    // same function; the bench and its faults stay as they are.
    void freshHarness();
    // A radio run whose first power-off fails: the relay sticks once the
    // chip has power, and the run is stopped after that cycle's result.
    // Checks that cycle (power on, power off, the red failure, a failed
    // result) and that the held board is released when the run ends.
    void runWithPowerOffStuck();

    BenchProcess bench;
    std::unique_ptr<WorkerHarness> h;

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

private:
    void startBench();

    const QStringList m_benchArgs;
    const int m_caseIndex;
    const BenchLife m_life;
};

#endif // BENCHWORKERTEST_H
