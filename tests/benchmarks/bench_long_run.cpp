// Runs the long-long connection case against the virtual bench with the
// window (offscreen or on a display) for a given time and prints, every
// report period: cycles, cycles/s, lines shown/s, lines queued (on their way
// to the window or waiting in it for the next repaint, now), the most lines
// in flight between the threads since the last report, resident memory, the
// heap in use (now, and right after the view was last saved and
// cleared), the view's lines and the log files written so far. Then
// presses Stop and prints the time until the run ended and until the log
// and result files were written.
// Before the run a bare echo loop against the same bench gives the round
// trips per second that the bench allows, for the ratio.
//   QT_QPA_PLATFORM=offscreen bench_long_run [minutes=15] [report-seconds=30] [echo-seconds=20]
//       [view-bound-lines=the window's]
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QTextEdit>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cstdio>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "BenchProcess.h"
#include "EchoRoundTrip.h"
#include "testMainWindow.h"
#include "testWorker.h"

namespace {

double residentMb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    }
    return -1;
}

// What the program holds on the heap, against what the allocator keeps
// from the system: a resident size that rises while this stays flat is the
// allocator's, not a leak.
double heapInUseMb()
{
#ifdef __GLIBC__
    const struct mallinfo2 m = mallinfo2();
    return double(m.uordblks + m.hblkhd) / (1024.0 * 1024.0);
#else
    return -1;
#endif
}

qint64 nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Payloads of 1 to 2047 bytes, each sent and awaited back whole: the
// worker's exchange without anything around it. -1 when it cannot measure.
double bareEchoLoop(quint16 port, int seconds)
{
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!socket.waitForConnected(5000)) {
        std::fprintf(stderr, "echo loop: cannot connect to 127.0.0.1:%u\n", unsigned(port));
        return -1;
    }
    QRandomGenerator rng(7);
    QElapsedTimer clock;
    clock.start();
    int trips = 0;
    while (clock.elapsed() < seconds * 1000) {
        if (!echoRoundTrip(socket, rng)) {
            std::fprintf(stderr, "echo loop: reply differs after %d round trips\n", trips);
            return -1;
        }
        ++trips;
    }
    return trips / (clock.elapsed() / 1000.0);
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const double minutes = argc > 1 ? QString::fromLocal8Bit(argv[1]).toDouble() : 15.0;
    const int reportS = argc > 2 ? QString::fromLocal8Bit(argv[2]).toInt() : 30;
    const int echoS = argc > 3 ? QString::fromLocal8Bit(argv[3]).toInt() : 20;
    const int viewLines = argc > 4 ? QString::fromLocal8Bit(argv[4]).toInt() : 0;

    BenchProcess bench;
    if (!bench.start()) {
        std::printf("bench: %s\n", qPrintable(bench.errorString()));
        return 1;
    }

    const double echoRate = echoS > 0 ? bareEchoLoop(bench.echoPort(), echoS) : 0;
    if (echoRate < 0)
        return 1;
    std::printf("bare echo loop against the bench: %.1f round trips/s\n", echoRate);

    QTemporaryDir dir;
    QDir::setCurrent(dir.path());
    QDir().mkdir(QStringLiteral("cfg"));
    QFile ini(QStringLiteral("cfg/trevalo.ini"));
    // Without it the window would dial the default echo port, not the bench's.
    if (!ini.open(QIODevice::WriteOnly)
        || ini.write("[trevalo]\nHostName=127.0.0.1\nHostPort=" + QByteArray::number(bench.echoPort())
                     + "\nPingAddress=127.0.0.1\nAutoSaveLogInternal=3600000\n") < 0
        || !ini.flush()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(QDir::current().filePath(ini.fileName())));
        return 1;
    }
    ini.close();

    testMainWindow window;
    window.show();
    testWorker *worker = window.workerObject();
    // A smaller view bound shows the window's own memory, apart from the
    // view's, within minutes.
    if (viewLines > 0)
        window.setLogViewBound(viewLines, testMainWindow::defaultViewCharBound);
    std::printf("view bound: %d lines\n", viewLines > 0 ? viewLines : testMainWindow::defaultViewLineBound);

    qint64 cycles = 0;
    QObject counter;
    QObject::connect(worker, &testWorker::sngUpdateRadio, &counter, [&cycles](bool) { ++cycles; });
    std::atomic<qint64> runEndedAt{0};
    QObject::connect(worker, &testWorker::sngFinishAll, worker, [&runEndedAt] { runEndedAt = nowMs(); },
                     Qt::DirectConnection);

    window.fillPortList({bench.atPort()});
    window.findChild<QComboBox *>(QStringLiteral("caseCBx"))->setCurrentIndex(3);
    window.findChild<QPushButton *>(QStringLiteral("startBtn"))->click();
    // The heap right after the view was last saved and cleared: what the
    // window holds apart from the view's lines, the figure that must stay
    // flat (the heap at a report also carries however full the view is).
    double heapAfterClear = -1;
    QTextEdit *const view = window.findChild<QTextEdit *>(QStringLiteral("teLog"));
    QObject::connect(view->document(), &QTextDocument::blockCountChanged, &counter,
                     [&heapAfterClear](int blocks) {
                         if (blocks == 1)
                             heapAfterClear = heapInUseMb();
                     });
    std::printf("%7s %9s %9s %9s %8s %8s %9s %9s %9s %9s %6s\n", "time/s", "cycles", "cycles/s", "lines/s",
                "queued", "peak", "RSS/MB", "heap/MB", "cleared", "view", "files");

    QElapsedTimer clock;
    clock.start();
    qint64 lastCycles = 0;
    qint64 lastLines = 0;
    double lastS = 0;
    double peakRss = 0;
    QTimer report;
    QObject::connect(&report, &QTimer::timeout, [&] {
        const double s = clock.elapsed() / 1000.0;
        const double rss = residentMb();
        peakRss = std::max(peakRss, rss);
        const qint64 lines = window.logLinesShown();
        const int queued = worker->logFlow().inFlight() + window.pendingLogLines();
        const int peak = worker->logFlow().takePeak();
        std::printf("%7.0f %9lld %9.1f %9.0f %8d %8d %9.1f %9.1f %9.1f %9d %6lld\n", s, cycles,
                    (cycles - lastCycles) / (s - lastS), (lines - lastLines) / (s - lastS), queued, peak, rss,
                    heapInUseMb(), heapAfterClear,
                    view->document()->blockCount(), qlonglong(QDir(QStringLiteral("log")).entryList(QDir::Files).size()));
        std::fflush(stdout);
        lastCycles = cycles;
        lastLines = lines;
        lastS = s;
        if (s >= minutes * 60 || runEndedAt != 0)
            app.quit();
    });
    report.start(reportS * 1000);
    app.exec();
    // A run that ended by itself (gave up on a failed echo) measured
    // something else than the one this reports on.
    if (runEndedAt != 0) {
        std::fprintf(stderr, "the run ended by itself after %lld cycles: %s\n", cycles,
                     qPrintable(testWorker::endReasonText(worker->endReason())));
        return 1;
    }
    if (cycles == 0) {
        std::fprintf(stderr, "no cycle counted\n");
        return 1;
    }

    const qint64 pressed = nowMs();
    window.findChild<QPushButton *>(QStringLiteral("stopBtn"))->click();
    const qint64 filesWritten = nowMs();
    // The end of the run also saves once more when its signal arrives.
    QElapsedTimer wait;
    wait.start();
    while (window.state() == testMainWindow::Running && wait.elapsed() < 10000)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    QApplication::processEvents();

    if (runEndedAt == 0) {
        std::fprintf(stderr, "the run did not end within 10 s of Stop\n");
        return 1;
    }
    std::printf("overall: %lld cycles in %.0f s, %.1f cycles/s (%.0f%% of the bare echo loop), peak RSS %.1f MB\n",
                cycles, clock.elapsed() / 1000.0, cycles / (clock.elapsed() / 1000.0),
                echoRate > 0 ? 100.0 * cycles / (clock.elapsed() / 1000.0) / echoRate : 0.0, peakRss);
    std::printf("Stop: run ended after %lld ms, log and result files written after %lld ms\n",
                qlonglong(runEndedAt - pressed), qlonglong(filesWritten - pressed));
    // Every line shown is in a file; the view on screen at the end may be in
    // two (the saves at Stop and at the run's end fall in different seconds).
    qint64 savedLines = 0;
    const QStringList logs = QDir(QStringLiteral("log")).entryList(QDir::Files);
    for (const QString &name : logs) {
        QFile f(QStringLiteral("log/") + name);
        if (f.open(QIODevice::ReadOnly) && f.size() > 0)
            savedLines += f.readAll().count('\n') + 1;
    }
    std::printf("log files: %lld holding %lld lines (lines shown: %lld, on screen at the end: %d), "
                "result files: %lld\n",
                qlonglong(logs.size()), savedLines, window.logLinesShown(),
                window.findChild<QTextEdit *>(QStringLiteral("teLog"))->document()->blockCount(),
                qlonglong(QDir(QStringLiteral("result")).entryList(QDir::Files).size()));
    return 0;
}
