// trevalo-run's command line: the options, the case, counts and durations.
#include "FuzzSupport.h"
#include "RunOptions.h"

#include <QDir>

#include <fcntl.h>
#include <unistd.h>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    FuzzSupport::start(argc, argv);
    // --help and --version print; nobody reads it here.
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        ::dup2(null, STDOUT_FILENO);
        ::close(null);
    }
    return 0;
}

// One argument per line. The options create and probe folders: every path
// stays inside a scratch folder (no "/", no ".."), and --out defaults to one
// there instead of the program's folder.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using FuzzSupport::check;
    QStringList arguments{QStringLiteral("trevalo-run"), QStringLiteral("--out=out")};
    const QList<QByteArray> lines = FuzzSupport::bytes(data, size).split('\n');
    for (const QByteArray &line : lines) {
        QString argument = QString::fromLocal8Bit(line);
        argument.replace(QLatin1Char('/'), QLatin1Char('_'));
        while (argument.contains(QLatin1String("..")))
            argument.replace(QLatin1String(".."), QLatin1String("_."));
        arguments << argument;
        RunOptions::parseDuration(argument);
        const int caseIndex = RunOptions::parseCase(argument);
        check(caseIndex >= -1 && caseIndex < 6, "a case is -1 or 0 to 5");
    }

    const QString home = QDir::currentPath();
    const QString here = FuzzSupport::scratch() + QStringLiteral("/run");
    check(QDir().mkpath(here) && QDir::setCurrent(here), "scratch folder entered");
    const QString inside = QDir::currentPath();
    RunOptions options;
    const RunOptions::Outcome outcome = options.parse(arguments);
    QDir::setCurrent(home);
    QDir(here).removeRecursively();

    if (outcome == RunOptions::Bad)
        check(!options.error().isEmpty(), "a refusal says why");
    if (outcome == RunOptions::Run) {
        check(options.caseIndex >= 0 && options.caseIndex < 6, "a run has a case");
        check(options.cycles >= 0 && options.maxFailures >= 0 && options.durationMs >= 0, "limits not negative");
        check(options.outDir.startsWith(inside), "output stays where it was asked to be");
    }
    return 0;
}
