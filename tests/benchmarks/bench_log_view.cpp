// Logs 20,000 lines of mixed colours and lengths (up to 2,100 characters)
// through the window's log path and prints lines per second, overall and
// per block of 5,000, so a slowdown as the view grows shows.
//   QT_QPA_PLATFORM=offscreen bench_log_view [lines] [one-colour|single|mixed] [rounds=3]
// Each round logs the same lines into a fresh window; a round lasts well
// under a second, so a neighbour's burst on a shared host can halve one
// round's figure: the rounds are printed each, then their median.
// Lines arrive as the worker's do (stamped on arrival, written at the next
// repaint); the event loop runs every 50 lines. "one-colour" logs every line
// in white, which leaves the view's style sheet untouched after the first
// line. "single" writes every line on its own (one edit, one scroll, one
// style sheet per line), for comparison. The view is never cleared here: no
// run is active, so the bound does not apply and the view grows to the end.
#include <QApplication>
#include <QColor>
#include <QDir>
#include <QElapsedTimer>
#include <QFont>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTextEdit>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "testMainWindow.h"

namespace {

struct Round
{
    double linesPerSecond = 0;
    qint64 characters = 0;
    double seconds = 0;
};

Round logLines(const QStringList &texts, int total, bool oneColour, bool single)
{
    testMainWindow window;
    window.show();
    QApplication::processEvents();
    QTextEdit *const view = window.findChild<QTextEdit *>(QStringLiteral("teLog"));

    const QColor colours[] = {QColor(Qt::white), QColor(Qt::yellow), QColor(Qt::red), QColor(Qt::green)};
    const int block = 5000;
    Round r;
    QElapsedTimer all, part;
    all.start();
    part.start();
    for (int i = 0; i < total; ++i) {
        // Several lines of one colour in a row, as a cycle logs them.
        const QColor &c = oneColour ? colours[0] : colours[(i / 3) % 4];
        const QString &text = texts.at(i % texts.size());
        r.characters += text.size();
        if (single)
            window.appendLogLine(text, c);
        else
            QMetaObject::invokeMethod(&window, "onLogText", Qt::DirectConnection, Q_ARG(QString, text),
                                      Q_ARG(QColor, c));
        if (i % 50 == 49)
            QApplication::processEvents();
        if ((i + 1) % block == 0) {
            window.flushLog(); // the block's lines are in the view before it is timed
            const double s = part.nsecsElapsed() / 1e9;
            std::printf("  lines %6d-%6d: %8.0f lines/s\n", i + 2 - block, i + 1, block / s);
            std::fflush(stdout);
            part.restart();
        }
    }
    window.flushLog();
    QApplication::processEvents();
    r.seconds = all.nsecsElapsed() / 1e9;
    r.linesPerSecond = total / r.seconds;
    std::printf("%s: %d lines (%lld characters) in %.2f s: %.0f lines/s, %.1f M characters/s\n",
                single ? "one line at a time" : "batched", total, r.characters, r.seconds, r.linesPerSecond,
                r.characters / r.seconds / 1e6);

    // Saved and cleared as at the view's bound in a run: the clear hands the
    // view's memory back to the system, so the next round starts as the
    // view does after a bound save, not from memory already in use.
    {
        QElapsedTimer save;
        save.start();
        window.saveLog();
        std::printf("saving the view (%lld characters) took %.0f ms\n", qlonglong(view->toPlainText().size()),
                    save.nsecsElapsed() / 1e6);
        QElapsedTimer clear;
        clear.start();
        QMetaObject::invokeMethod(&window, "onClearLog", Qt::DirectConnection);
        std::printf("clearing it took %.0f ms\n", clear.nsecsElapsed() / 1e6);
    }
    return r;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const int total = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 20000;
    const QByteArray mode = argc > 2 ? QByteArray(argv[2]) : QByteArray();
    const bool oneColour = mode == "one-colour";
    const bool single = mode == "single";
    const int rounds = std::max(1, argc > 3 ? QString::fromLocal8Bit(argv[3]).toInt() : 3);
    if (total <= 0) {
        std::fprintf(stderr, "usage: bench_log_view [lines > 0] [one-colour|single|mixed] [rounds]\n");
        return 2;
    }

    QTemporaryDir dir;
    QDir::setCurrent(dir.path());
    {
        testMainWindow window;
        const QFont f = window.findChild<QTextEdit *>(QStringLiteral("teLog"))->document()->defaultFont();
        std::printf("view font: shaping %s\n",
                    (f.styleStrategy() & QFont::PreferNoShaping) ? "skipped where possible" : "always");
    }

    QRandomGenerator rng(20261207);
    QStringList texts;
    for (int i = 0; i < 64; ++i) {
        // Mostly short progress lines, some payload-sized dumps.
        const int len = (i % 8 == 0) ? 1000 + int(rng.bounded(1101)) : 10 + int(rng.bounded(70));
        QString t;
        t.reserve(len);
        for (int k = 0; k < len; ++k)
            t += QChar(char('A' + rng.bounded(26)));
        texts << t;
    }

    std::vector<double> figures;
    for (int round = 1; round <= rounds; ++round) {
        std::printf("round %d of %d\n", round, rounds);
        figures.push_back(logLines(texts, total, oneColour, single).linesPerSecond);
    }
    std::sort(figures.begin(), figures.end());
    std::printf("median of %d rounds: %.0f lines/s (lowest %.0f, highest %.0f)\n", rounds,
                figures[figures.size() / 2], figures.front(), figures.back());
    return 0;
}
