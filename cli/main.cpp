// trevalo-run: runs one test case without a window, for scripts, CI jobs and
// bench farms. Same engine, settings and files as the window.
#include "HeadlessRun.h"
#include "RunOptions.h"
#include "SignalWatcher.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("trevalo-run"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TREVALO_VERSION));

    RunOptions options;
    switch (options.parse(QCoreApplication::arguments())) {
    case RunOptions::Done:
        return 0;
    case RunOptions::Bad:
        std::fprintf(stderr, "trevalo-run: %s\n", qPrintable(options.error()));
        return 2;
    case RunOptions::Run:
        break;
    }

    HeadlessRun run(options);
    // Ctrl-C and SIGTERM stop the run like the Stop button; its files are
    // written before the program ends.
    SignalWatcher termination;
    if (termination.install())
        QObject::connect(&termination, &SignalWatcher::terminationRequested, &run, &HeadlessRun::requestStop);
    QObject::connect(&run, &HeadlessRun::finished, &app, [&app, &run] { app.exit(run.exitCode()); },
                     Qt::QueuedConnection);
    if (!run.start()) {
        std::fprintf(stderr, "trevalo-run: %s\n", qPrintable(run.error()));
        return 2;
    }
    return app.exec();
}
