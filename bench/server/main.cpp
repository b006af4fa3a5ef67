// trevalo-bench: the virtual test bench. See bench/README.md.
#include "BenchOptions.h"
#include "BenchServer.h"
#include "SignalWatcher.h"

#include <QCoreApplication>

#include <cstdio>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>
#endif

namespace {

// Asks the kernel for SIGTERM when the parent goes, which the signal
// watcher turns into the usual clean exit; a parent already gone before
// that request counts the same.
bool endWithParent(qint64 parentPid, QString *error)
{
#ifdef Q_OS_LINUX
    if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0) {
        *error = QStringLiteral("cannot follow the parent process");
        return false;
    }
    if (qint64(::getppid()) != parentPid) {
        *error = QStringLiteral("process %1 that started the bench is gone (or did not start it)").arg(parentPid);
        return false;
    }
    return true;
#else
    Q_UNUSED(parentPid);
    *error = QStringLiteral("--parent-pid works on Linux only");
    return false;
#endif
}

} // namespace

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
    if (options.parentPid > 0 && !endWithParent(options.parentPid, &error)) {
        std::fprintf(stderr, "trevalo-bench: %s\n", qPrintable(error));
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
