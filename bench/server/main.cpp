// trevalo-bench: the virtual test bench. See bench/README.md.
#include "BenchOptions.h"
#include "BenchServer.h"
#include "SignalWatcher.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("trevalo-bench"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0.5"));

    BenchOptions options;
    QString error;
    bool exitNow = false;
    if (!BenchOptions::parse(QCoreApplication::arguments(), &options, &error, &exitNow)) {
        if (exitNow)
            return 0;
        std::fprintf(stderr, "trevalo-bench: %s\n", qPrintable(error));
        return 2;
    }

    SignalWatcher watcher;
    if (!watcher.install()) {
        std::fprintf(stderr, "trevalo-bench: cannot watch for signals\n");
        return 1;
    }
    BenchServer bench;
    QObject::connect(&watcher, &SignalWatcher::terminationRequested, &app,
                     [](int) { QCoreApplication::quit(); });
    QObject::connect(&bench, &BenchServer::quitRequested, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    if (!bench.start(options, &error)) {
        std::fprintf(stderr, "trevalo-bench: %s\n", qPrintable(error));
        bench.shutdown();
        return 1;
    }
    std::printf("TREVALO_BENCH=%s\n", qPrintable(bench.runtimeDir()));
    std::fflush(stdout);

    const int rc = app.exec();
    bench.shutdown();
    return rc;
}
