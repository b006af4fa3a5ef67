#include "RunOptions.h"

#include "DataFolder.h"
#if !defined(Q_OS_WIN)
#include "MetricsWriter.h"
#include "PppPeer.h"
#endif
#include "StepsFileParser.h"
#include "TestCases.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryFile>

#include <cstdio>

namespace {

// A positive whole number, or -1.
int positiveCount(const QString &text)
{
    bool ok = false;
    const int n = text.trimmed().toInt(&ok);
    return ok && n > 0 ? n : -1;
}

} // namespace

qint64 RunOptions::parseDuration(const QString &text)
{
    static const QRegularExpression form(QStringLiteral("^\\s*(\\d{1,9})\\s*(ms|s|m|h|d)?\\s*$"),
                                         QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m = form.match(text);
    if (!m.hasMatch())
        return -1;
    const qint64 value = m.captured(1).toLongLong();
    const QString unit = m.captured(2).toLower();
    qint64 factor = 1000;
    if (unit == QLatin1String("ms"))
        factor = 1;
    else if (unit == QLatin1String("m"))
        factor = 60 * 1000;
    else if (unit == QLatin1String("h"))
        factor = 3600 * 1000;
    else if (unit == QLatin1String("d"))
        factor = 24 * 3600 * 1000;
    const qint64 ms = value * factor;
    return ms > 0 ? ms : -1;
}

int RunOptions::parseCase(const QString &text)
{
    const QString t = text.trimmed();
    bool isNumber = false;
    const int n = t.toInt(&isNumber);
    if (isNumber)
        return n >= 0 && n < TestCases::Count ? n : -1;
    for (int i = 0; i < TestCases::Count; ++i)
        if (TestCases::resultTag(i).compare(t, Qt::CaseInsensitive) == 0)
            return i;
    return -1;
}

QString RunOptions::firstMissing(const QString &folder)
{
    QString missing;
    for (QFileInfo f(QDir::cleanPath(QDir(folder).absolutePath())); !f.exists(); f = QFileInfo(f.absolutePath())) {
        if (f.absoluteFilePath() == missing)
            break; // the root
        missing = f.absoluteFilePath();
    }
    return missing;
}

bool RunOptions::makeFolder(const QString &folder)
{
    const QString missing = firstMissing(folder);
    if (!QDir().mkpath(folder))
        return false;
    if (!missing.isEmpty())
        m_created.append({QDir(folder).absolutePath(), missing});
    return true;
}

void RunOptions::withdrawFolders()
{
    // Only folders still empty: nothing that someone else put there goes.
    for (auto it = m_created.crbegin(); it != m_created.crend(); ++it) {
        for (QString f = QDir::cleanPath(it->first); QDir().rmdir(f) && f != it->second;)
            f = QFileInfo(f).absolutePath();
    }
    m_created.clear();
}

RunOptions::Outcome RunOptions::bad(const QString &why)
{
    m_error = why;
    return Bad;
}

RunOptions::Outcome RunOptions::parse(const QStringList &arguments)
{
    QStringList cases;
    for (int i = 0; i < TestCases::Count; ++i)
        cases << QStringLiteral("%1 %2").arg(i).arg(TestCases::resultTag(i));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Runs one trevalo test case without a window and reports every cycle.\n"
                       "Exit status: 0 every counted cycle passed, 1 a cycle failed or the run gave up,\n"
                       "2 bad options or a set-up that cannot run, 3 the run ended before it counted a cycle,\n"
                       "4 a log, result, record, JUnit or report file could not be written completely.\n"
                       "With --report FILE --from RECORDS it writes the report of an earlier run instead:\n"
                       "exit status 0 written, 2 bad options or records that cannot be read, 4 not written.\n"
                       "With --check it checks the machine for a bench instead and prints one line per\n"
                       "item; exit status 0 when everything is ready, 1 when not, 2 for bad options.\n"
                       "Cases: ") + cases.join(QStringLiteral(", ")));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption caseOpt(QStringLiteral("case"),
                                     QStringLiteral("Test case to run: its result tag or its number (required)."),
                                     QStringLiteral("case"));
    const QCommandLineOption stepsOpt(QStringLiteral("steps"),
                                      QStringLiteral("Run the test case of this steps file instead of a built-in "
                                                     "one (not with --case); with --check: check what it needs."),
                                      QStringLiteral("file"));
    const QCommandLineOption portOpt(QStringLiteral("port"),
                                     QStringLiteral("Serial AT port of the chip (register network test; default: "
                                                    "the virtual bench's AT port link ttyAT when TREVALO_BENCH names one)."),
                                     QStringLiteral("port"));
    const QCommandLineOption boardOpt(QStringLiteral("board"),
                                      QStringLiteral("Serial number of the relay board (radio cases; default: the "
                                                     "first board listed)."),
                                      QStringLiteral("serial"));
    const QCommandLineOption channelOpt(QStringLiteral("channel"),
                                        QStringLiteral("Relay channel that switches this chip's supply, 1 to the "
                                                       "board's channel count (radio cases; default: the settings' "
                                                       "RelayChannel, else 1)."),
                                        QStringLiteral("N"));
    const QCommandLineOption cyclesOpt(QStringLiteral("cycles"),
                                       QStringLiteral("End the run after N counted cycles."), QStringLiteral("N"));
    const QCommandLineOption durationOpt(QStringLiteral("duration"),
                                         QStringLiteral("End the run after this long, e.g. 90m, 36h, 45s, 2d; a cycle "
                                                        "still in progress then counts nothing."),
                                         QStringLiteral("time"));
    const QCommandLineOption failuresOpt(QStringLiteral("max-failures"),
                                         QStringLiteral("End the run after N failed cycles."), QStringLiteral("N"));
    const QCommandLineOption settingsOpt(QStringLiteral("settings"),
                                         QStringLiteral("Settings file with the window's INI keys (default: the "
                                                        "window's cfg/trevalo.ini)."),
                                         QStringLiteral("file"));
    const QCommandLineOption outOpt(QStringLiteral("out"),
                                    QStringLiteral("Folder for log/, result/ and records/ (default: the window's, "
                                                   "beside the program or, once installed, in the user's data "
                                                   "folder)."),
                                    QStringLiteral("dir"));
    const QCommandLineOption junitOpt(QStringLiteral("junit"),
                                      QStringLiteral("Also write a JUnit XML report, one test case per cycle."),
                                      QStringLiteral("file"));
    const QCommandLineOption reportOpt(QStringLiteral("report"),
                                       QStringLiteral("Also write a run report, one HTML file with the run's facts, "
                                                      "counts, times, failures and their log excerpts."),
                                       QStringLiteral("file"));
    const QCommandLineOption fromOpt(QStringLiteral("from"),
                                     QStringLiteral("With --report: start no run, report on the earlier run whose "
                                                    "record file this is."),
                                     QStringLiteral("records"));
    const QCommandLineOption quietOpt(QStringLiteral("quiet"),
                                      QStringLiteral("Print one progress line per cycle instead of the log."));
    const QCommandLineOption checkOpt(QStringLiteral("check"),
                                      QStringLiteral("Check the machine for a bench instead of running: the AT port "
                                                     "(--port), ModemManager, the relay board (--board), pppd and its "
                                                     "peer file, ping."));
    const QCommandLineOption peerOpt(QStringLiteral("peer"),
                                     QStringLiteral("With --check: the pppd peer file (default: "
                                                    "/etc/ppp/peers/provider)."),
                                     QStringLiteral("file"));
    const QCommandLineOption pppdOpt(QStringLiteral("pppd"),
                                     QStringLiteral("With --check: the pppd to check (default: the one on PATH)."),
                                     QStringLiteral("path"));
    const QCommandLineOption pingOpt(QStringLiteral("ping"),
                                     QStringLiteral("With --check: the ping to check (default: the one on PATH)."),
                                     QStringLiteral("path"));
    parser.addOptions({caseOpt, stepsOpt, portOpt, boardOpt, channelOpt, cyclesOpt, durationOpt, failuresOpt, settingsOpt,
                       outOpt, junitOpt, reportOpt, fromOpt, quietOpt, checkOpt, peerOpt, pppdOpt, pingOpt});
#if !defined(Q_OS_WIN)
    const QCommandLineOption metricsOpt(QStringLiteral("metrics"),
                                        QStringLiteral("Write Prometheus metrics to DIR/trevalo_<bench>.prom for "
                                                       "node_exporter's textfile collector."),
                                        QStringLiteral("dir"));
    const QCommandLineOption benchOpt(QStringLiteral("bench"),
                                      QStringLiteral("Bench name in the metrics: letters, digits, _ and - (default: "
                                                     "the host name)."),
                                      QStringLiteral("name"));
    const QCommandLineOption pppPeerOpt(QStringLiteral("ppp-peer"),
                                        QStringLiteral("pppd peer file in /etc/ppp/peers that dials this chip's "
                                                       "modem (default: the settings' PppPeer, else provider); "
                                                       "with --check, the peer file checked."),
                                        QStringLiteral("name"));
    parser.addOptions({metricsOpt, benchOpt, pppPeerOpt});
#endif

    if (!parser.parse(arguments))
        return bad(parser.errorText());
    if (parser.isSet(helpOption)) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return Done;
    }
    if (parser.isSet(versionOption)) {
        std::printf("%s %s\n", qPrintable(QCoreApplication::applicationName()),
                    qPrintable(QCoreApplication::applicationVersion()));
        return Done;
    }
    if (!parser.positionalArguments().isEmpty())
        return bad(QStringLiteral("unexpected argument: %1").arg(parser.positionalArguments().first()));

    port = parser.value(portOpt);
    board = parser.value(boardOpt);
#if !defined(Q_OS_WIN)
    // A name that pppd would read as an option or a path is never dialled.
    pppPeer = parser.value(pppPeerOpt);
    if (parser.isSet(pppPeerOpt) && !PppPeer::isName(pppPeer))
        return bad(PppPeer::problem(pppPeer, false));
#endif
    // The file is read and checked whole before anything else happens.
    if (parser.isSet(stepsOpt)) {
        if (parser.isSet(caseOpt))
            return bad(QStringLiteral("--steps and --case: give one of them"));
        stepsPath = parser.value(stepsOpt);
        QString why;
        steps = StepsFileParser::read(stepsPath, &why);
        if (!steps)
            return bad(why);
        caseIndex = TestCases::Custom;
    }
    if (parser.isSet(checkOpt)) {
        // Its PppPeer is the peer a run with these settings dials.
        settingsFile = parser.value(settingsOpt);
        peerFile = parser.value(peerOpt);
        pppd = parser.value(pppdOpt);
        ping = parser.value(pingOpt);
        return Check;
    }
    for (const QCommandLineOption *checkOnly : {&peerOpt, &pppdOpt, &pingOpt})
        if (parser.isSet(*checkOnly))
            return bad(QStringLiteral("--%1 belongs to --check").arg(checkOnly->names().first()));

    if (parser.isSet(reportOpt)) {
        reportFile = QFileInfo(parser.value(reportOpt)).absoluteFilePath();
        if (parser.value(reportOpt).isEmpty() || !QFileInfo(QFileInfo(reportFile).absolutePath()).isDir())
            return bad(QStringLiteral("no folder for the report: %1").arg(parser.value(reportOpt)));
    }
    if (parser.isSet(fromOpt)) {
        if (!parser.isSet(reportOpt))
            return bad(QStringLiteral("--from needs --report"));
        // No run: options that shape one would be ignored without a word.
        for (const QCommandLineOption *runOnly : {&caseOpt, &stepsOpt, &cyclesOpt, &durationOpt, &failuresOpt, &junitOpt})
            if (parser.isSet(*runOnly))
                return bad(QStringLiteral("--%1 belongs to a run, not to --from").arg(runOnly->names().first()));
        fromRecords = parser.value(fromOpt);
        return Report;
    }

    if (!steps) {
        if (!parser.isSet(caseOpt))
            return bad(QStringLiteral("no case given (--case or --steps)"));
        caseIndex = parseCase(parser.value(caseOpt));
        if (caseIndex < 0)
            return bad(QStringLiteral("unknown case: %1").arg(parser.value(caseOpt)));
    }

    // Whether the board has it is known only once the board is found.
    if (parser.isSet(channelOpt) && (channel = positiveCount(parser.value(channelOpt))) < 0)
        return bad(QStringLiteral("--channel needs a whole number above 0: %1").arg(parser.value(channelOpt)));
    if (parser.isSet(cyclesOpt) && (cycles = positiveCount(parser.value(cyclesOpt))) < 0)
        return bad(QStringLiteral("--cycles needs a whole number above 0: %1").arg(parser.value(cyclesOpt)));
    if (parser.isSet(failuresOpt) && (maxFailures = positiveCount(parser.value(failuresOpt))) < 0)
        return bad(QStringLiteral("--max-failures needs a whole number above 0: %1").arg(parser.value(failuresOpt)));
    if (parser.isSet(durationOpt) && (durationMs = parseDuration(parser.value(durationOpt))) < 0)
        return bad(QStringLiteral("unparsable duration: %1 (use e.g. 90m or 36h)").arg(parser.value(durationOpt)));

    quiet = parser.isSet(quietOpt);
#if !defined(Q_OS_WIN)
    if (parser.isSet(metricsOpt)) {
        metricsDir = QFileInfo(parser.value(metricsOpt)).absoluteFilePath();
        if (parser.value(metricsOpt).isEmpty())
            return bad(QStringLiteral("--metrics needs a folder"));
    }
    benchName = parser.value(benchOpt);
    if (parser.isSet(benchOpt) && !MetricsWriter::isValidBenchName(benchName))
        return bad(QStringLiteral("--bench takes only letters, digits, _ and -: %1").arg(benchName));
#endif

    // The window's folder: beside the program while it may write there, the
    // user's data folder once installed. Asked only when a default needs it.
    QString dataDir;
    const auto dataFolder = [this, &dataDir] {
        if (dataDir.isEmpty()) {
            const QString user = DataFolder::userFolder();
            const QString missing = firstMissing(user);
            dataDir = DataFolder::choose(QCoreApplication::applicationDirPath());
            if (!missing.isEmpty() && QFileInfo::exists(missing))
                m_created.append({QDir(user).absolutePath(), missing});
        }
        return dataDir;
    };

    if (parser.isSet(settingsOpt)) {
        settingsFile = parser.value(settingsOpt);
        const QFileInfo info(settingsFile);
        if (!info.isFile() || !info.isReadable())
            return bad(QStringLiteral("cannot read settings file: %1").arg(settingsFile));
    } else {
        settingsFile = QDir(dataFolder()).filePath(QStringLiteral("cfg/trevalo.ini"));
    }
    settingsFile = QFileInfo(settingsFile).absoluteFilePath();

    outDir = QFileInfo(parser.isSet(outOpt) ? parser.value(outOpt) : dataFolder()).absoluteFilePath();
    if (outDir.isEmpty() || !makeFolder(outDir))
        return bad(QStringLiteral("cannot create output folder: %1").arg(outDir));
    {
        // A folder that exists may still refuse files.
        QTemporaryFile probe(QDir(outDir).filePath(QStringLiteral(".trevalo-run-XXXXXX")));
        if (!probe.open())
            return bad(QStringLiteral("cannot write to output folder: %1").arg(outDir));
    }

    if (parser.isSet(junitOpt)) {
        junitFile = QFileInfo(parser.value(junitOpt)).absoluteFilePath();
        if (!QFileInfo(QFileInfo(junitFile).absolutePath()).isDir())
            return bad(QStringLiteral("no folder for the JUnit report: %1").arg(junitFile));
    }
    return Run;
}
