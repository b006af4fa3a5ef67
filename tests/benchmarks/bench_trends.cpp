// What a long run costs the trends window: for a record file of 100,000,
// 1 million and 10 million cycles (one file in /tmp that grows between the
// rounds, about 1.7 GB at the end, deleted afterwards) the time to read it,
// the heap and resident memory once it is read, one redraw of the whole run
// (what following a live run repeats a few times a second), and a zoom into
// the longest stretch that is read again from the file, and the CSV export
// up to a million cycles. Prints the figures;
// run by hand: bench_trends [largest cycle count, default 10000000].
#include <QApplication>
#include <QChart>
#include <QChartView>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineSeries>
#include <QTemporaryDir>
#include <QValueAxis>

#include <cstdio>
#include <malloc.h>

#include "TrendsWindow.h"

namespace {

// Bytes the program has taken from the heap and keeps resident.
qint64 heapBytes()
{
    const struct mallinfo2 info = mallinfo2();
    return qint64(info.uordblks + info.hblkhd);
}

qint64 residentBytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine())
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong() * 1024;
    return -1;
}

double mb(qint64 bytes)
{
    return double(bytes) / (1024.0 * 1024.0);
}

// A cycle line as the worker writes it for a short-short run (keys in the
// order QJsonObject writes them), a failure every 97 cycles and a slow dial
// every 100,003.
bool appendCycles(QFile &file, int from, int to)
{
    char line[512];
    for (int i = from; i <= to; ++i) {
        const bool pass = i % 97 != 0;
        const int dial = i % 100003 == 0 ? 29000 : 400 + i % 300;
        const int n = std::snprintf(line, sizeof line,
                                    "{\"bytesReceived\":1200,\"bytesSent\":1200,\"cycle\":%d,\"dialUpMs\":%d,"
                                    "\"durationMs\":900,%s\"hangUpMs\":%d,\"pass\":%s,\"record\":\"cycle\","
                                    "\"start\":\"2026-03-01T08:05:09.123+01:00\"}\n",
                                    i, dial, pass ? "" : "\"failedStep\":\"checkReceive\",\"failedLine\":\"Failed!!!receive data error\",",
                                    2 + i % 5, pass ? "true" : "false");
        if (file.write(line, n) != n)
            return false;
    }
    return file.flush();
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const int largest = argc > 1 ? QByteArray(argv[1]).toInt() : 10000000;
    QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/bench_trends-XXXXXX"));
    const QString path = dir.filePath(QStringLiteral("run.jsonl"));
    QFile file(path);
    if (!dir.isValid() || !file.open(QIODevice::WriteOnly) || file.write("{\"record\":\"run\",\"case\":\"ExternalShortShortTest\"}\n") < 0) {
        std::fprintf(stderr, "bench_trends: cannot write %s\n", qPrintable(path));
        return 1;
    }

    int written = 0;
    for (const int n : {100000, 1000000, 10000000}) {
        if (n > largest)
            break;
        if (!appendCycles(file, written + 1, n)) {
            std::fprintf(stderr, "bench_trends: cannot write %s (disk full?)\n", qPrintable(path));
            return 1;
        }
        written = n;

        malloc_trim(0);
        const qint64 heapBefore = heapBytes();
        const qint64 rssBefore = residentBytes();
        qint64 loadMs = 0;
        double redrawMs = 0;
        double paintedMs = 0;
        double zoomMs = 0;
        int zoomCycles = 0;
        qint64 exportMs = -1;
        int drawn = 0;
        qint64 heapLoaded = 0;
        qint64 rssLoaded = 0;
        {
            TrendsWindow trends;
            trends.resize(1200, 600);
            trends.show();
            QApplication::processEvents();

            QElapsedTimer t;
            t.start();
            // Read in slices with the window answering in between.
            trends.openRecords(path);
            while (!trends.records().caughtUp())
                QApplication::processEvents(QEventLoop::WaitForMoreEvents);
            loadMs = t.elapsed();
            if (trends.records().cycleCount() != n) {
                std::fprintf(stderr, "bench_trends: read %lld cycles of %d\n", trends.records().cycleCount(), n);
                return 1;
            }
            heapLoaded = heapBytes();
            rssLoaded = residentBytes();

            // The series worked out and handed to the chart, then the same
            // with the chart painted.
            constexpr int redraws = 20;
            t.restart();
            for (int i = 0; i < redraws; ++i)
                trends.redrawNow();
            redrawMs = double(t.nsecsElapsed()) / 1e6 / redraws;
            t.restart();
            for (int i = 0; i < redraws; ++i) {
                trends.redrawNow();
                trends.repaint();
                QApplication::processEvents();
            }
            paintedMs = double(t.nsecsElapsed()) / 1e6 / redraws;
            drawn = int(trends.dialUpSeries()->count());

            // The longest stretch drawn from the file rather than the
            // summary: just under half a bucket per pixel column.
            const CycleSummary &summary = trends.records().summary();
            if (summary.bucketSize() > 1) {
                const int buckets = trends.bucketCount() / 2 - 1;
                const CycleSummary::Bucket &first = summary.buckets().at(summary.buckets().size() / 2);
                const double from = first.first;
                const double to = from + double(buckets) * summary.bucketSize() - 1;
                zoomCycles = int(to - from + 1);
                auto *axis = qobject_cast<QValueAxis *>(trends.findChild<QChartView *>()->chart()->axes(Qt::Horizontal).value(0));
                t.restart();
                axis->setRange(from, to);
                trends.redrawNow();
                zoomMs = double(t.nsecsElapsed()) / 1e6;
            }

            // The CSV export streams the file twice (columns, then rows);
            // at 10 million cycles it would need another 2 GB.
            if (n <= 1000000) {
                const QString csv = dir.filePath(QStringLiteral("run.csv"));
                t.restart();
                if (!trends.exportCsv(csv)) {
                    std::fprintf(stderr, "bench_trends: CSV export failed\n");
                    return 1;
                }
                exportMs = t.elapsed();
                QFile::remove(csv);
            }
        }

        std::printf("cycles %9d: load %6lld ms (%.2f us/cycle); heap %+.1f MB, resident %+.1f MB (%.1f MB) once read;"
                    " redraw %.2f ms (%.1f ms painted), %d dial-up points drawn",
                    n, loadMs, 1000.0 * double(loadMs) / n, mb(heapLoaded - heapBefore), mb(rssLoaded - rssBefore),
                    mb(rssLoaded), redrawMs, paintedMs, drawn);
        if (zoomCycles > 0)
            std::printf("; zoom into %d cycles read again: %.0f ms", zoomCycles, zoomMs);
        if (exportMs >= 0)
            std::printf("; CSV export %lld ms", exportMs);
        std::printf("\n");
        std::fflush(stdout);
    }
    file.close();
    return 0;
}
