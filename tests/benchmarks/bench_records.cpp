// What the per-cycle records cost: cycles per second of the long-long case
// on the virtual bench without and with a record file, and with the
// Prometheus metrics file written beside the records. Prints the figures;
// run by hand: bench_records [seconds per run, default 10]. A run that cannot
// measure (no cycle, a failed cycle, a run that ends early, no record file)
// exits 1 with the reason instead of a figure.
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

// Cycles counted per second over one run of runS seconds against the
// bench's echo server; 0 with why in error when the run could not measure.
double cyclesPerSecond(quint16 echoPort, const QString &recordsDir, int runS, QString &error,
                       const QString &metricsDir = QString())
{
    WorkerHarness h;
    h.setup.caseIndex = TestCases::ExternalLongLong;
    h.setup.hostName = QStringLiteral("127.0.0.1");
    h.setup.hostPort = echoPort;
    // In this (the window's) thread, as the window and the runner have it.
    MetricsWriter metrics;
    metrics.follow(h.worker);
    if (!metricsDir.isEmpty() && !metrics.start(metricsDir, QStringLiteral("bench"))) {
        error = QStringLiteral("cannot write metrics into ") + metricsDir;
        return 0;
    }
    h.worker->setRecordsDir(recordsDir);
    testWorker::RunLimits limits;
    limits.durationMs = runS * 1000;
    h.worker->setRunLimits(limits);
    QElapsedTimer t;
    h.startRun();
    h.waitUntil([&h] { return !h.results.isEmpty() || h.finishCount > 0; }, 20000);
    if (h.results.isEmpty()) {
        error = h.finishCount > 0 ? QStringLiteral("the run ended before its first cycle: ")
                                        + testWorker::endReasonText(h.worker->endReason())
                                  : QStringLiteral("no cycle counted within 20 s");
        return 0;
    }
    t.start();
    const int first = h.results.size();
    if (!h.waitFinished(1, runS * 1000 + 30000)) {
        error = QStringLiteral("the run did not end");
        return 0;
    }
    const qint64 ms = t.elapsed();
    // A run that gave up or failed cycles measures something else.
    if (h.worker->endReason() != testWorker::EndReason::DurationLimit) {
        error = QStringLiteral("the run ended early: ") + testWorker::endReasonText(h.worker->endReason());
        return 0;
    }
    if (h.results.contains(false)) {
        error = QStringLiteral("%1 of %2 cycles failed").arg(h.results.count(false)).arg(h.results.size());
        return 0;
    }
    if (!recordsDir.isEmpty() && h.worker->recordFile().isEmpty()) {
        error = QStringLiteral("no record file written");
        return 0;
    }
    if (h.results.size() <= first) {
        error = QStringLiteral("no cycle counted after the first");
        return 0;
    }
    return (h.results.size() - first) * 1000.0 / qMax<qint64>(1, ms);
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
    if (!dir.isValid()) {
        std::fprintf(stderr, "bench_records: no temporary folder for the records\n");
        return 1;
    }
    QString error;
    const double without = cyclesPerSecond(bench.echoPort(), QString(), runS, error);
    if (!error.isEmpty()) {
        std::fprintf(stderr, "bench_records: without records: %s\n", qPrintable(error));
        return 1;
    }
    const double with = cyclesPerSecond(bench.echoPort(), dir.path(), runS, error);
    if (!error.isEmpty()) {
        std::fprintf(stderr, "bench_records: with records: %s\n", qPrintable(error));
        return 1;
    }
    const double withMetrics = cyclesPerSecond(bench.echoPort(), dir.path(), runS, error, dir.path());
    if (!error.isEmpty()) {
        std::fprintf(stderr, "bench_records: with records and metrics: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("long-long case, %d s each: %.1f cycles/s without records, %.1f cycles/s with records\n", runS,
                without, with);
    std::printf("with records and metrics: %.1f cycles/s\n", withMetrics);
    return 0;
}
