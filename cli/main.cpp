// trevalo-run: runs one test case without a window, for scripts, CI jobs and
// bench farms. Same engine, settings and files as the window.
#include "HeadlessRun.h"
#include "RunOptions.h"
#include "RunReport.h"
#include "RunReportWriter.h"
#include "ServiceNotifier.h"
#include "SignalWatcher.h"
#include "TestCases.h"

#include <QCoreApplication>

#include <cstdio>

#if defined(TREVALO_SETUP_CHECK)
#include "BenchClient.h"
#include "PppPeer.h"
#include "SetupCheck.h"
#include "TestSetup.h"
#include "UartEngine.h"

#include <QFileInfo>

namespace {

// One line per item; 0 when everything is ready, 1 when not.
int checkSetup(const RunOptions &options)
{
    SetupCheck::Options check;
    // A bare name, as the port list shows it, names a device under /dev;
    // without one, a virtual bench's AT port is checked as a run would use it.
    if (!options.port.isEmpty())
        check.port = UartEngine::systemLocation(options.port);
    else if (BenchClient::isAvailable())
        check.port = BenchClient::atLinkPath().isEmpty() ? BenchClient::atPortPath() : BenchClient::atLinkPath();
    check.board = options.board;
    // The peer a run would dial; --peer checks a file elsewhere as that peer.
    QString peer = options.pppPeer;
    if (peer.isEmpty() && !options.settingsFile.isEmpty()) {
        TestSetup settings;
        settings.settingsFile = options.settingsFile;
        settings.loadSettings();
        if (!PppPeer::isName(settings.pppPeer)) {
            std::fprintf(stderr, "trevalo-run: %s (PppPeer in %s)\n", qPrintable(PppPeer::problem(settings.pppPeer, false)),
                         qPrintable(options.settingsFile));
            return 2;
        }
        peer = settings.pppPeer;
    }
    if (!peer.isEmpty()) {
        check.peerName = peer;
        check.peerFile = PppPeer::filePath(peer);
    }
    if (!options.peerFile.isEmpty()) {
        check.peerFile = options.peerFile;
        if (options.pppPeer.isEmpty())
            check.peerName = QFileInfo(options.peerFile).fileName();
    }
    check.pppd = options.pppd;
    check.ping = options.ping;
    if (const std::shared_ptr<const StepsFile> &steps = options.steps) {
        using Kind = StepsFile::Kind;
        check.needsPort = steps->needs(Kind::OpenPort) || steps->needs(Kind::At) || steps->needs(Kind::WaitFor);
        check.needsBoard = steps->needs(Kind::PowerOn) || steps->needs(Kind::PowerOff);
        check.needsPppd = steps->needs(Kind::DialUp);
        check.needsPing = steps->needs(Kind::Ping);
    }
    const QList<SetupCheck::Item> items = SetupCheck::run(check);
    for (const SetupCheck::Item &item : items)
        std::printf("%s\n", qPrintable(SetupCheck::format(item)));
    std::fflush(stdout);
    return SetupCheck::allOk(items) ? 0 : 1;
}

} // namespace
#endif

namespace {

// --report with --from: the report of an earlier run, no run started.
// 0 written, 2 records that cannot be read or are none, 4 not written.
int reportFromRecords(const RunOptions &options)
{
    RunReport report;
    if (!report.read(options.fromRecords)) {
        std::fprintf(stderr, "trevalo-run: cannot read records file: %s\n", qPrintable(options.fromRecords));
        return 2;
    }
    if (!report.isRecordFile()) {
        std::fprintf(stderr, "trevalo-run: not a record file of this program: %s\n", qPrintable(options.fromRecords));
        return 2;
    }
    // What the report says is missing, said here too.
    const QStringList problems = report.problems();
    for (const QString &problem : problems)
        std::fprintf(stderr, "trevalo-run: %s\n", qPrintable(problem));
    QString why;
    if (!RunReportWriter::write(report, options.reportFile, &why)) {
        std::fprintf(stderr, "trevalo-run: cannot write the report %s (%s)\n", qPrintable(options.reportFile),
                     qPrintable(why));
        return HeadlessRun::FilesIncomplete;
    }
    std::printf("Report: %s\n", qPrintable(options.reportFile));
    return 0;
}

} // namespace

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
        options.withdrawFolders();
        std::fprintf(stderr, "trevalo-run: %s\n", qPrintable(options.error()));
        return 2;
    case RunOptions::Check:
#if defined(TREVALO_SETUP_CHECK)
        return checkSetup(options);
#else
        std::fprintf(stderr, "trevalo-run: the set-up check looks at a Linux machine only\n");
        return 2;
#endif
    case RunOptions::Report:
        return reportFromRecords(options);
    case RunOptions::Run:
        break;
    }

    // Under systemd: started, alive (the watchdog) and stopping.
    ServiceNotifier service;
    HeadlessRun run(options);
    // Ctrl-C and SIGTERM stop the run like the Stop button; its files are
    // written before the program ends.
    SignalWatcher termination;
    if (termination.install())
        QObject::connect(&termination, &SignalWatcher::terminationRequested, &run, [&run, &service] {
            service.stopping();
            run.requestStop();
        });
    QObject::connect(&run, &HeadlessRun::finished, &app, [&app, &run, &service] {
        service.stopping();
        app.exit(run.exitCode());
    }, Qt::QueuedConnection);
    if (!run.start()) {
        options.withdrawFolders();
        std::fprintf(stderr, "trevalo-run: %s\n", qPrintable(run.error()));
        return 2;
    }
    service.ready(options.steps ? options.steps->tag : TestCases::resultTag(options.caseIndex));
    return app.exec();
}
