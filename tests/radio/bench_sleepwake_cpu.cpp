// Measures what the sleep-wake case's powered wait costs the worker thread:
// CPU time over the wait and how long a Stop takes to end it. Prints the
// figures; run by hand: bench_sleepwake_cpu [wait seconds, default 30].
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <cstdio>

#ifdef Q_OS_UNIX
#include <pthread.h>
#include <time.h>
#endif

#include "BenchProcess.h"
#include "TestCases.h"
#include "WorkerHarness.h"

namespace {

#ifdef Q_OS_UNIX
double cpuMs(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}
#endif

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int waitS = argc > 1 ? qMax(1, atoi(argv[1])) : 30;

#ifndef Q_OS_UNIX
    std::printf("thread CPU clocks are only read on Unix\n");
    return 0;
#else
    BenchProcess bench;
    if (!bench.start({QStringLiteral("--boards"), QStringLiteral("CPU01:1")})) {
        std::fprintf(stderr, "bench: %s\n", qPrintable(bench.errorString()));
        return 1;
    }
    WorkerHarness run;
    run.setup.caseIndex = TestCases::SleepWakePpp;
    WorkerLimits limits = WorkerHarness::quickLimits();
    limits.sleepWakeMs = (waitS + 60) * 1000; // only the Stop ends it
    run.worker->setLimits(limits);
    if (!run.selectBoard(0)) {
        std::fprintf(stderr, "no bench board listed\n");
        return 1;
    }

    clockid_t workerClock{};
    run.runInWorker([&] { pthread_getcpuclockid(pthread_self(), &workerClock); });

    run.startRun();
    if (!run.waitLine(QStringLiteral("Power on chip..."), 0, 10000)) {
        std::fprintf(stderr, "the run did not power the chip\n");
        return 1;
    }
    run.pump(500); // let the wait settle in

    const double cpuBefore = cpuMs(workerClock);
    const double processBefore = cpuMs(CLOCK_PROCESS_CPUTIME_ID);
    QElapsedTimer wall;
    wall.start();
    while (wall.elapsed() < waitS * 1000)
        QThread::msleep(200);
    const double wallMs = double(wall.elapsed());
    const double workerCpu = cpuMs(workerClock) - cpuBefore;
    const double processCpu = cpuMs(CLOCK_PROCESS_CPUTIME_ID) - processBefore;

    const qint64 stopMs = run.stop();
    const bool poweredOff = run.indexOf(QStringLiteral("Power off chip...")) >= 0;

    std::printf("powered wait observed:       %.1f s\n", wallMs / 1000.0);
    std::printf("worker thread CPU time:      %.1f ms (%.3f %% of one core)\n", workerCpu, 100.0 * workerCpu / wallMs);
    std::printf("whole test process CPU time: %.1f ms\n", processCpu);
    std::printf("Stop until the run ended:    %lld ms (stop latency limit %d ms, power-off %s)\n",
                static_cast<long long>(stopMs), limits.stopLatencyMs, poweredOff ? "logged" : "MISSING");
    return poweredOff ? 0 : 1;
#endif
}
