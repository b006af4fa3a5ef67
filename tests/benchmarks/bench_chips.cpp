// Several runners at once on one virtual bench of eight chips (BNCH1:8):
// 1, 2, 4 and 8 trevalo-run processes, runner k on chip k's channel and AT
// port, in the register network case and in the external long-long case.
// Prints cycles/s per runner (slowest and mean) and in total, against one
// runner's rate; for the long-long case also the echo round trips/s the
// bench allows as many bare clients at once (its limit). Then 8 runners
// whose chips never register, all waiting for "CREG: 1", and the processor
// time they take meanwhile. Fails loudly when a runner fails a cycle or a
// step goes wrong, never on speed.
//   bench_chips [seconds per measurement=20] [seconds of waiting measured=10]
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include <unistd.h>

#include "BenchProcess.h"
#include "EchoRoundTrip.h"
#include "RecordFile.h"

namespace {

constexpr int kChips = 8;

// User plus system time of a process, in seconds; -1 when it is gone.
double cpuSeconds(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray s = f.readAll();
    const QList<QByteArray> fields = s.mid(s.lastIndexOf(')') + 2).split(' ');
    // Fields 14 and 15 of the file; the list starts at field 3.
    return double(fields.value(11).toLongLong() + fields.value(12).toLongLong()) / double(::sysconf(_SC_CLK_TCK));
}

struct Outcome
{
    int cycles = 0;
    int failed = 0;
    double rate = 0; // cycles/s between the first and the last cycle's start
};

// The one record file the run left under out/records.
Outcome readRecords(const QString &out)
{
    Outcome o;
    const QDir records(out + QStringLiteral("/records"));
    const QStringList files = records.entryList({QStringLiteral("*.jsonl")}, QDir::Files);
    if (files.size() != 1)
        return o;
    const RecordFile r(records.filePath(files.first()));
    o.cycles = r.cycles.size();
    for (const QJsonObject &c : r.cycles)
        o.failed += c.value(QStringLiteral("pass")).toBool() ? 0 : 1;
    if (o.cycles >= 3) {
        const QDateTime first = QDateTime::fromString(r.cycles.first().value(QStringLiteral("start")).toString(),
                                                      Qt::ISODateWithMs);
        const QDateTime last = QDateTime::fromString(r.cycles.last().value(QStringLiteral("start")).toString(),
                                                     Qt::ISODateWithMs);
        const qint64 ms = first.msecsTo(last);
        o.rate = ms > 0 ? (o.cycles - 1) * 1000.0 / ms : 0;
    }
    return o;
}

class Runners
{
public:
    Runners(const BenchProcess &bench, const QString &work) : m_bench(bench), m_work(work) {}

    // n runners of the case, runner k on chip k; each ends after seconds.
    bool start(const QString &caseTag, int n, int seconds, const QString &tag)
    {
        const QString program = QCoreApplication::applicationDirPath() + QStringLiteral("/trevalo-run");
        const QJsonArray chips = m_bench.info().value(QStringLiteral("chips")).toArray();
        if (chips.size() < n) {
            std::fprintf(stderr, "the bench has %d chips, not %d\n", int(chips.size()), n);
            return false;
        }
        const QString ini = m_work + QStringLiteral("/trevalo.ini");
        QFile file(ini);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
            || file.write(QStringLiteral("[trevalo]\nHostName=127.0.0.1\nHostPort=%1\nPingAddress=127.0.0.1\n")
                              .arg(m_bench.echoPort())
                              .toLatin1())
                   < 0
            || !file.flush()) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(ini));
            return false;
        }
        m_outs.clear();
        m_processes.clear();
        for (int k = 1; k <= n; ++k) {
            const QString out = QStringLiteral("%1/%2-%3-%4").arg(m_work, tag).arg(n).arg(k);
            auto p = std::make_unique<QProcess>();
            p->setProgram(program);
            p->setArguments({QStringLiteral("--case"), caseTag, QStringLiteral("--board"), QStringLiteral("BNCH1"),
                             QStringLiteral("--channel"), QString::number(k), QStringLiteral("--port"),
                             chips.at(k - 1).toObject().value(QStringLiteral("atLink")).toString(),
                             QStringLiteral("--settings"), ini, QStringLiteral("--out"), out,
                             QStringLiteral("--duration"), QStringLiteral("%1s").arg(seconds),
                             QStringLiteral("--quiet")});
            p->setStandardOutputFile(QProcess::nullDevice());
            p->start();
            if (!p->waitForStarted(5000)) {
                std::fprintf(stderr, "cannot start %s: %s\n", qPrintable(program), qPrintable(p->errorString()));
                return false;
            }
            m_outs << out;
            m_processes.push_back(std::move(p));
        }
        return true;
    }

    double cpuSeconds() const
    {
        double sum = 0;
        for (const auto &p : m_processes)
            sum += std::max(0.0, ::cpuSeconds(p->processId()));
        return sum;
    }

    // Waits for every runner; false (said on stderr) when one did not end
    // well: exit status 0 is every counted cycle passed.
    bool finish(int waitMs, std::vector<Outcome> *outcomes)
    {
        bool good = true;
        outcomes->clear();
        for (size_t i = 0; i < m_processes.size(); ++i) {
            QProcess &p = *m_processes[i];
            if (!p.waitForFinished(waitMs)) {
                std::fprintf(stderr, "runner %zu did not end in time\n", i + 1);
                p.kill();
                p.waitForFinished();
                good = false;
            } else if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
                std::fprintf(stderr, "runner %zu ended with status %d: %s\n", i + 1, p.exitCode(),
                             p.readAllStandardError().trimmed().constData());
                good = false;
            }
            outcomes->push_back(readRecords(m_outs.at(int(i))));
            if (outcomes->back().cycles < 3 || outcomes->back().failed > 0) {
                std::fprintf(stderr, "runner %zu: %d cycles, %d failed\n", i + 1, outcomes->back().cycles,
                             outcomes->back().failed);
                good = false;
            }
        }
        return good;
    }

    // Stops every runner as Ctrl-C would and waits for it.
    void stop()
    {
        for (const auto &p : m_processes)
            p->terminate();
        for (const auto &p : m_processes) {
            if (!p->waitForFinished(10000)) {
                p->kill();
                p->waitForFinished();
            }
        }
    }

private:
    const BenchProcess &m_bench;
    QString m_work;
    QStringList m_outs;
    std::vector<std::unique_ptr<QProcess>> m_processes;
};

// n clients at once, each sending payloads of 1 to 2047 bytes and awaiting
// them back whole: the round trips/s the bench's echo server allows in
// total; -1 when a client failed.
double bareEchoLoops(quint16 port, int n, int seconds)
{
    std::atomic<long> trips{0};
    std::atomic<bool> failed{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < n; ++i) {
        threads.emplace_back([&, i] {
            QTcpSocket socket;
            socket.connectToHost(QStringLiteral("127.0.0.1"), port);
            if (!socket.waitForConnected(5000)) {
                failed = true;
                return;
            }
            QRandomGenerator rng(quint32(7 + i));
            QElapsedTimer clock;
            clock.start();
            while (clock.elapsed() < seconds * 1000 && !failed) {
                if (!echoRoundTrip(socket, rng)) {
                    failed = true;
                    return;
                }
                ++trips;
            }
        });
    }
    for (std::thread &t : threads)
        t.join();
    return failed ? -1 : double(trips) / seconds;
}

// Runs the case with 1, 2, 4 and 8 runners and prints the rates.
bool measureCase(const BenchProcess &bench, const QString &work, const QString &caseTag, int seconds,
                 bool withEchoLimit)
{
    std::printf("\n%s, %d s per measurement\n", qPrintable(caseTag), seconds);
    std::printf("%8s %12s %12s %12s %10s %14s %10s%s\n", "runners", "slowest/s", "mean/s", "total/s", "per-run%",
                "total% of n*1", "CPU%", withEchoLimit ? "   bench limit/s" : "");
    double single = 0;
    for (const int n : {1, 2, 4, 8}) {
        Runners runners(bench, work);
        if (!runners.start(caseTag, n, seconds, caseTag))
            return false;
        const double cpuBefore = runners.cpuSeconds();
        QElapsedTimer clock;
        clock.start();
        QThread::msleep(ulong(seconds) * 1000 - 500);
        const double cpu = runners.cpuSeconds() - cpuBefore;
        const double wall = clock.elapsed() / 1000.0;
        std::vector<Outcome> outcomes;
        if (!runners.finish((seconds + 60) * 1000, &outcomes))
            return false;
        double total = 0, slowest = 1e9;
        for (const Outcome &o : outcomes) {
            total += o.rate;
            slowest = std::min(slowest, o.rate);
        }
        if (n == 1)
            single = total;
        const double limit = withEchoLimit ? bareEchoLoops(bench.echoPort(), n, std::max(2, seconds / 4)) : 0;
        if (limit < 0) {
            std::fprintf(stderr, "bare echo loops failed\n");
            return false;
        }
        std::printf("%8d %12.2f %12.2f %12.1f %9.0f%% %13.0f%% %9.1f%%", n, slowest, total / n, total,
                    100.0 * slowest / single, 100.0 * total / (n * single), 100.0 * cpu / wall);
        if (withEchoLimit)
            std::printf(" %16.1f", limit);
        std::printf("\n");
        std::fflush(stdout);
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(5, QString::fromLocal8Bit(argv[1]).toInt()) : 20;
    const int waitSeconds = argc > 2 ? std::max(2, QString::fromLocal8Bit(argv[2]).toInt()) : 10;
    QTemporaryDir work;
    if (!work.isValid()) {
        std::fprintf(stderr, "no temporary folder\n");
        return 1;
    }
    const QStringList boards{QStringLiteral("--chips"), QString::number(kChips), QStringLiteral("--boards"),
                             QStringLiteral("BNCH1:8")};
    std::printf("bench: %d chips on BNCH1:8, bench timings as default (boot 150 ms, register 200 ms, "
                "dial step 40 ms, echo gap 10 ms); %d processor(s)\n",
                kChips, QThread::idealThreadCount());
    {
        BenchProcess bench;
        if (!bench.start(boards)) {
            std::fprintf(stderr, "bench: %s\n", qPrintable(bench.errorString()));
            return 1;
        }
        if (!measureCase(bench, work.path(), QStringLiteral("RegisterNetTest"), seconds, false))
            return 1;
    }
    {
        // The connection case's dial line needs its chip: all powered.
        BenchProcess bench;
        if (!bench.start(boards + QStringList{QStringLiteral("--power-on")})) {
            std::fprintf(stderr, "bench: %s\n", qPrintable(bench.errorString()));
            return 1;
        }
        QElapsedTimer t;
        t.start();
        while (bench.chip().value(QStringLiteral("creg")).toInt() != 1 && t.elapsed() < 5000)
            QThread::msleep(20);
        if (!measureCase(bench, work.path(), QStringLiteral("ExternalLongLongTest"), seconds, true))
            return 1;
    }
    {
        // Every chip stays unregistered: the runners wait out their
        // registration wait (30 s) while the processor time is taken.
        BenchProcess bench;
        if (!bench.start(boards + QStringList{QStringLiteral("--fault"), QStringLiteral("creg.never")})) {
            std::fprintf(stderr, "bench: %s\n", qPrintable(bench.errorString()));
            return 1;
        }
        Runners runners(bench, work.path());
        if (!runners.start(QStringLiteral("RegisterNetTest"), kChips, 120, QStringLiteral("waiting")))
            return 1;
        QThread::sleep(4); // the pause before the first cycle, power-on, the port opened
        int powered = 0;
        for (const QJsonValue &c : bench.state().value(QStringLiteral("chips")).toArray())
            powered += c.toObject().value(QStringLiteral("powered")).toBool() ? 1 : 0;
        const double before = runners.cpuSeconds();
        const double benchBefore = cpuSeconds(bench.pid());
        QElapsedTimer clock;
        clock.start();
        QThread::sleep(ulong(std::min(waitSeconds, 24)));
        const double cpu = runners.cpuSeconds() - before;
        const double benchCpu = cpuSeconds(bench.pid()) - benchBefore;
        const double wall = clock.elapsed() / 1000.0;
        runners.stop();
        if (powered != kChips) {
            std::fprintf(stderr, "only %d of %d chips were powered while waiting\n", powered, kChips);
            return 1;
        }
        std::printf("\n%d runners waiting for registration, %.1f s: runners %.2f%% of a core together "
                    "(%.3f s), bench %.2f%%\n",
                    kChips, wall, 100.0 * cpu / wall, cpu, 100.0 * benchCpu / wall);
    }
    return 0;
}
