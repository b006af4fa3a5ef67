// Prints how much processor time the worker thread spends in its long waits
// (AT reply, echo, dial) and how fast a Stop ends a wait. Not a test: run it
// by hand, optionally with the wait length in seconds as the argument. A
// wait that cannot be set up, or ends before its length, exits 1 with the
// reason instead of a figure.
#include "BenchProcess.h"
#include "EchoServer.h"
#include "PseudoTerminal.h"
#include "SocketMannger.h"
#include "UartEngine.h"
#include "WorkerHarness.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QRegularExpression>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

double threadCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1.0e6;
}

double nowMs()
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Runs fn in the worker thread and prints wall and processor time of it.
// False, with the reason, when fn did not wait its whole length.
bool measure(WorkerHarness &h, const char *what, const std::function<bool()> &fn, int waitMs)
{
    double cpu = 0;
    double wall = 0;
    bool result = false;
    const bool returned = h.runInWorker([&] {
        const double c0 = threadCpuMs();
        const double w0 = nowMs();
        result = fn();
        wall = nowMs() - w0;
        cpu = threadCpuMs() - c0;
    }, waitMs + 60000);
    if (!returned || wall < waitMs * 0.9) {
        std::fprintf(stderr, "%s: %s\n", what,
                     returned ? qPrintable(QStringLiteral("ended after %1 ms of %2: nothing measured").arg(wall, 0, 'f', 0).arg(waitMs))
                              : "did not return");
        return false;
    }
    std::printf("%-28s wall %8.0f ms  worker cpu %7.1f ms  (%.3f%% of a core)  result %s\n", what, wall, cpu,
                wall > 0 ? 100.0 * cpu / wall : 0.0, result ? "true" : "false");
    std::fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, atoi(argv[1])) : 30;
    const int waitMs = seconds * 1000;

    WorkerHarness h;
    WorkerLimits limits; // program defaults, the waits stretched to the chosen length
    limits.echoWaitMs = waitMs;
    limits.dialBoundMs = waitMs;
    h.worker->setLimits(limits);
    h.makeChannels();

    // AT wait: the chip stays silent on a real pseudo-terminal.
    PseudoTerminal pty;
    h.setup.portName = pty.slavePath();
    bool opened = false;
    h.runInWorker([&] { opened = h.worker->openPort(); });
    if (!opened) {
        std::fprintf(stderr, "cannot open the pseudo-terminal %s\n", qPrintable(pty.slavePath()));
        return 1;
    }
    if (!measure(h, "AT reply wait (silent chip)",
                 [&] { return h.worker->waitAtResponse(QByteArray(), "CREG: 1", waitMs); }, waitMs))
        return 1;

    // The same wait as a steps file's expectation by regular expression.
    const QRegularExpression registered(QStringLiteral("\\+CREG: [15]"));
    if (!measure(h, "AT reply wait, regex", [&] {
            return h.worker->waitAtReply(QByteArray(), registered.pattern(), [&](const QByteArray &received) {
                return registered.match(QString::fromUtf8(received)).hasMatch();
            }, waitMs);
        }, waitMs))
        return 1;

    // Echo wait: a server that never answers.
    EchoServer echo(EchoServer::Silent);
    h.setup.hostName = QStringLiteral("127.0.0.1");
    h.setup.hostPort = echo.port();
    bool sent = false;
    h.runInWorker([&] { sent = h.worker->connectServer() && h.worker->sendData(); });
    if (!sent) {
        std::fprintf(stderr, "cannot send to the silent server on 127.0.0.1:%u\n", unsigned(echo.port()));
        return 1;
    }
    if (!measure(h, "echo wait (silent server)", [&] { return h.worker->checkReceive(h.access().sentData()); },
                 waitMs))
        return 1;
    h.runInWorker([&] { h.worker->closeSocket(); });

    // Dial wait: the bench's dial stalls in authentication until the bound.
    BenchProcess bench;
    if (!bench.start() || !bench.setFault(QStringLiteral("dial.hang"), true)) {
        std::fprintf(stderr, "dial wait: no bench (%s)\n", qPrintable(bench.errorString()));
        return 1;
    }
    if (!measure(h, "dial wait (stalled dial)", [&] { return h.worker->dialUpPpp(); }, waitMs))
        return 1;
    bench.stop();

    // Stop latency: from the request to the wait's return, 20 times.
    std::vector<double> latencies;
    for (int i = 0; i < 20; ++i) {
        double returnedAt = 0;
        double stopAt = 0;
        QTimer::singleShot(50 + 7 * i, &h, [&] {
            stopAt = nowMs();
            h.access().stopRequested() = true;
            if (auto *d = QAbstractEventDispatcher::instance(h.worker->thread()))
                d->wakeUp();
        });
        const bool returned = h.runInWorker([&] {
            h.worker->waitFor(10000, [] { return false; });
            returnedAt = nowMs();
        });
        if (!returned || stopAt == 0) {
            std::fprintf(stderr, "stop latency: the wait did not return, or no stop was raised\n");
            return 1;
        }
        latencies.push_back(returnedAt - stopAt);
        h.access().stopRequested() = false;
    }
    std::sort(latencies.begin(), latencies.end());
    std::printf("stop latency of a wait        median %.2f ms  max %.2f ms  (20 stops)\n", latencies[10],
                latencies.back());
    return 0;
}
