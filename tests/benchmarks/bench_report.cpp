// What a run report costs: a PPP run of 100,000 cycles with 1,000 failed
// ones (one in a hundred), its record file with the log position of every
// cycle and its log in 20 files of about 45,000 lines, as the window saves
// them; the time to read the records (the first 200 failed cycles' lines
// looked up in the log files), to write the HTML, and the report's size.
// Goals: under 2 s, under 5 MB. Prints the figures; run by hand:
// bench_report [cycles, default 100000].
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <cstdio>

#include "CycleRecords.h"
#include "RunFiles.h"
#include "RunReport.h"
#include "RunReportWriter.h"

namespace {

constexpr int kCyclesPerFile = 5000;

qint64 residentBytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine())
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong() * 1024;
    return -1;
}

// The records and log files of the run, as the window leaves them.
bool writeRun(const QString &out, int cycles, QString *recordsPath)
{
    QDir(out).mkpath(QStringLiteral("records"));
    QDir(out).mkpath(QStringLiteral("log"));
    const QDateTime start(QDate(2026, 3, 1), QTime(0, 0));
    *recordsPath = QDir(out).filePath(QStringLiteral("records/PPPCallTest.%1.jsonl").arg(RunFiles::fileStamp(start)));
    QFile records(*recordsPath);
    if (!records.open(QIODevice::WriteOnly))
        return false;
    const auto record = [&records](const QJsonObject &o) {
        records.write(QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n');
    };
    record({{"record", "run"}, {"version", "1.0.5"}, {"case", "PPPCallTest"}, {"bench", "bench1"},
            {"port", ""}, {"echoHost", "127.0.0.1"}, {"echoPort", 6805}, {"pingHost", "127.0.0.1"},
            {"limits", QJsonObject{{"dialBoundMs", 120000}, {"pingFinishMs", 30000}}},
            {"start", CycleRecords::isoStamp(start)}});

    QByteArray log;
    qint64 line = 0;
    int pass = 0;
    const QString separator = QStringLiteral("=================================");
    for (int n = 1; n <= cycles; ++n) {
        const QDateTime at = start.addMSecs(qint64(n) * 2000);
        const auto add = [&log, &line, &at](int ms, const QString &text) {
            log += (RunFiles::logStamp(at.addMSecs(ms)) + QLatin1Char(' ') + text + QLatin1Char('\n')).toLocal8Bit();
            ++line;
        };
        const qint64 separatorLine = line;
        add(0, separator);
        add(5, QStringLiteral("PPP Connecting..."));
        add(300, QStringLiteral("PPP Dial up Success!"));
        add(310, QStringLiteral("ping 127.0.0.1 ..."));
        const bool failed = n % 100 == 0;
        for (int r = 0; r < 4; ++r)
            add(320 + r, QStringLiteral("64 bytes from 127.0.0.1: icmp_seq=%1 ttl=64 time=0.045 ms").arg(r + 1));
        if (failed)
            add(400, QStringLiteral("Failed!!!ping error: 0 received"));
        add(410, QStringLiteral("close PPP..."));
        add(450, QStringLiteral("Closed"));
        QJsonObject c{{"record", "cycle"}, {"cycle", n}, {"start", CycleRecords::isoStamp(at)}, {"durationMs", 460},
                      {"pass", !failed}, {"dialUpMs", 290 + n % 37}, {"hangUpMs", 35 + n % 11},
                      {"pingReplies", failed ? 0 : 4}, {"pingRttMs", 0.045},
                      {"log", QJsonObject{{"at", CycleRecords::isoStamp(at)}, {"line", double(separatorLine)}}}};
        if (failed) {
            c.insert("failedStep", "pingHost");
            c.insert("failedLine", "Failed!!!ping error: 0 received");
        } else {
            ++pass;
        }
        record(c);
        // The view saved and cleared at its bound, named by the time of the save.
        if (n % kCyclesPerFile == 0 || n == cycles) {
            QFile file(QDir(out).filePath(QStringLiteral("log/%1.log").arg(RunFiles::fileStamp(at.addSecs(1)))));
            if (!file.open(QIODevice::WriteOnly) || file.write(log) != log.size())
                return false;
            log.clear();
            line = 0;
        }
    }
    record({{"record", "end"}, {"cycles", cycles}, {"pass", pass}, {"fail", cycles - pass},
            {"fpy", RunFiles::fpy(pass, cycles - pass)}, {"end", CycleRecords::isoStamp(start.addMSecs(qint64(cycles) * 2000 + 1000))},
            {"durationMs", double(qint64(cycles) * 2000 + 1000)}, {"reason", "Stop"}});
    return records.error() == QFile::NoError;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int cycles = argc > 1 ? std::max(100, QByteArray(argv[1]).toInt()) : 100000;
    QTemporaryDir dir;
    QString recordsPath;
    if (!dir.isValid() || !writeRun(dir.path(), cycles, &recordsPath)) {
        std::fprintf(stderr, "bench_report: cannot write the run under %s\n", qPrintable(dir.path()));
        return 1;
    }
    std::printf("run: %d cycles, %d failed; records %.1f MB, log %d files\n", cycles, cycles / 100,
                QFileInfo(recordsPath).size() / 1e6,
                int(QDir(dir.filePath(QStringLiteral("log"))).entryList(QDir::Files).size()));

    const QString html = dir.filePath(QStringLiteral("report.html"));
    QElapsedTimer clock;
    clock.start();
    RunReport report;
    if (!report.read(recordsPath))
        return 1;
    const qint64 readMs = clock.elapsed();
    QString why;
    if (!RunReportWriter::write(report, html, &why)) {
        std::fprintf(stderr, "bench_report: %s\n", qPrintable(why));
        return 1;
    }
    const qint64 totalMs = clock.elapsed();
    int excerpts = 0;
    for (const RunReport::Failure &f : report.failedCycles())
        excerpts += f.excerpt.lines.isEmpty() ? 0 : 1;
    std::printf("report: %lld ms (records and log excerpts %lld ms, HTML %lld ms; goal < 2000 ms)\n",
                static_cast<long long>(totalMs), static_cast<long long>(readMs),
                static_cast<long long>(totalMs - readMs));
    std::printf("report size: %.2f MB (goal < 5 MB); %d excerpts found; problems: %d\n",
                QFileInfo(html).size() / 1e6, excerpts, int(report.problems().size()));
    for (const QString &p : report.problems())
        std::printf("  %s\n", qPrintable(p));
    // The share of the log look-ups: the records read alone.
    clock.restart();
    RunReport recordsOnly;
    recordsOnly.setExcerptSource([](const QJsonObject &, const QJsonObject &) { return RunReport::Excerpt(); });
    recordsOnly.read(recordsPath);
    std::printf("records alone: %lld ms\n", static_cast<long long>(clock.elapsed()));
    std::printf("peak resident memory: %.0f MB\n", residentBytes() / 1e6);
    return 0;
}
