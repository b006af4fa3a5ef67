// What the per-cycle records cost: cycles per second of the long-long case
// on the virtual bench without and with a record file, and with the
// Prometheus metrics file written beside the records. Prints the figures;
// run by hand: bench_records [seconds per run, default 10].
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>

#include "BenchProcess.h"
#include "MetricsWriter.h"
#include "TestCases.h"
#include "WorkerHarness.h"

namespace {

// Cycles counted in runS seconds of one run.
double cyclesPerSecond(const QString &recordsDir, int runS, quint16 echoPort, const QString &metricsDir = QString())
{
    WorkerHarness h;
    h.setup.caseIndex = TestCases::ExternalLongLong;
    h.setup.hostPort = echoPort;
    // In this (the window's) thread, as the window and the runner have it.
    MetricsWriter metrics;
    metrics.follow(h.worker);
    if (!metricsDir.isEmpty() && !metrics.start(metricsDir, QStringLiteral("bench")))
        return -1;
    h.worker->setRecordsDir(recordsDir);
    testWorker::RunLimits limits;
    limits.durationMs = runS * 1000;
    h.worker->setRunLimits(limits);
    QElapsedTimer t;
    h.startRun();
    if (!h.waitResults(1, 20000))
        return -1;
    t.start();
    const int first = h.results.size();
    if (!h.waitFinished(1, runS * 1000 + 30000))
        return -1;
    return (h.results.size() - first) * 1000.0 / qMax<qint64>(1, t.elapsed());
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int runS = argc > 1 ? qMax(1, atoi(argv[1])) : 10;

    BenchProcess bench;
    if (!bench.start()) {
        std::fprintf(stderr, "bench: %s\n", qPrintable(bench.errorString()));
        return 1;
    }
    QTemporaryDir dir;
    const double without = cyclesPerSecond(QString(), runS, bench.echoPort());
    const double with = cyclesPerSecond(dir.path(), runS, bench.echoPort());
    const double withMetrics = cyclesPerSecond(dir.path(), runS, bench.echoPort(), dir.path());
    std::printf("long-long case, %d s each: %.1f cycles/s without records, %.1f cycles/s with records\n", runS,
                without, with);
    std::printf("with records and metrics: %.1f cycles/s\n", withMetrics);
    return 0;
}
