// What a long run costs the trends window: reading a record file of N cycles
// and one redraw of the whole run (what following a live run repeats a few
// times a second). Prints the figures; run by hand: bench_trends [cycles, default 100000].
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineSeries>
#include <QTemporaryDir>

#include <cstdio>

#include "TrendsWindow.h"

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const int n = argc > 1 ? QByteArray(argv[1]).toInt() : 100000;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("run.jsonl"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return 1;
    file.write("{\"record\":\"run\",\"case\":\"ExternalShortShortTest\"}\n");
    const auto line = [](int i) {
        return QJsonDocument(QJsonObject{{"record", "cycle"}, {"cycle", i}, {"start", "2026-03-01T08:05:09.123+01:00"},
                                         {"durationMs", 900}, {"pass", i % 97 != 0},
                                         {"dialUpMs", 400 + i % 300}, {"hangUpMs", 2 + i % 5},
                                         {"bytesSent", 1200}, {"bytesReceived", 1200}})
                   .toJson(QJsonDocument::Compact)
               + '\n';
    };
    bool written = n > 0;
    for (int i = 1; i <= n && written; ++i)
        written = file.write(line(i)) > 0;
    if (!written || !file.flush()) {
        std::fprintf(stderr, "cannot write a record file of %d cycles\n", n);
        return 1;
    }

    TrendsWindow trends;
    trends.resize(1200, 600);
    trends.show();
    QApplication::processEvents();

    QElapsedTimer t;
    t.start();
    trends.openRecords(path);
    const qint64 loadMs = t.elapsed();
    t.restart();
    constexpr int redraws = 20;
    for (int i = 0; i < redraws; ++i) {
        trends.redrawNow();
        QApplication::processEvents();
    }
    const double redrawMs = double(t.elapsed()) / redraws;
    if (trends.dialUpSeries()->count() == 0) {
        std::fprintf(stderr, "the record file drew nothing\n");
        return 1;
    }

    std::printf("cycles %d: load %lld ms, redraw %.1f ms, drawn points %d (dial-up) of %d\n", n, loadMs, redrawMs,
                int(trends.dialUpSeries()->count()), n);
    return 0;
}
