#include "ProgramRun.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMessageBox>

#include <cstdio>

#include "DataFolder.h"
#include "DataFolderLock.h"
#include "SignalWatcher.h"
#include "testMainWindow.h"

namespace {

// Standard error for scripts and terminals; a message box for whoever
// started the window by a click, unless no screen shows it (it would wait
// for a press nobody can make).
int refuse(const QString &reason)
{
    std::fprintf(stderr, "trevalo: %s\n", qPrintable(reason));
    std::fflush(stderr);
    const QString platform = QGuiApplication::platformName();
    if (platform != QLatin1String("offscreen") && platform != QLatin1String("minimal"))
        QMessageBox::critical(nullptr, QStringLiteral("trevalo"), reason);
    return 2;
}

bool sameFolder(const QString &a, const QString &b)
{
    if (a.isEmpty() || b.isEmpty())
        return false;
    const QString ca = QFileInfo(a).canonicalFilePath();
    return !ca.isEmpty() && ca == QFileInfo(b).canonicalFilePath();
}

} // namespace

int ProgramRun::start(QApplication &app, const QStringList &arguments,
                      const std::function<void(testMainWindow &)> &shown)
{
    QCommandLineParser parser;
    const QCommandLineOption dataOpt(QStringLiteral("data"),
                                     QStringLiteral("Keep settings, logs, results and records in <dir>."),
                                     QStringLiteral("dir"));
    parser.addOption(dataOpt);
    if (!parser.parse(arguments))
        return refuse(parser.errorText());
    if (!parser.positionalArguments().isEmpty())
        return refuse(QStringLiteral("unexpected argument: %1 (the only option is --data DIR)")
                          .arg(parser.positionalArguments().first()));

    const QString programFolder = QCoreApplication::applicationDirPath();
    QString folder;
    QString instance;
    if (parser.isSet(dataOpt)) {
        if (parser.value(dataOpt).isEmpty())
            return refuse(QStringLiteral("--data needs a folder"));
        QString error;
        folder = DataFolder::prepare(parser.value(dataOpt), &error);
        if (folder.isEmpty())
            return refuse(error);
        // The program's own folders keep the plain title, as without --data.
        if (!sameFolder(folder, programFolder) && !sameFolder(folder, DataFolder::userFolder())) {
            instance = QFileInfo(folder).fileName();
            if (instance.isEmpty())
                instance = QDir::toNativeSeparators(folder);
        }
    } else {
        // Beside the program wherever it was started from (a copied program
        // folder is an instance of its own); an installed program keeps them
        // in the user's data folder instead.
        folder = DataFolder::choose(programFolder);
    }

    DataFolderLock lock;
    QString problem;
    switch (lock.acquire(folder, &problem)) {
    case DataFolderLock::Taken:
        break;
    case DataFolderLock::HeldByOther:
        return refuse(problem + QStringLiteral("; give this window a folder of its own with --data DIR"));
    case DataFolderLock::Failed:
        // A folder given by name was found writable a moment ago; the
        // default may be a last resort that is not, where the saves fail
        // visibly in the log as they always did.
        if (parser.isSet(dataOpt))
            return refuse(problem);
        break;
    }
    // Every file is written relative to it: nowhere else will do.
    if (!QDir::setCurrent(folder))
        return refuse(QStringLiteral("cannot work in the data folder %1").arg(QDir::toNativeSeparators(folder)));
    return exec(app, shown, instance);
}

int ProgramRun::exec(QApplication &app, const std::function<void(testMainWindow &)> &shown, const QString &instance)
{
    // Ctrl-C in the terminal or a kill ends the program the way closing the
    // window does. The watcher is made before the window and so outlives
    // it: a second signal while the window stops the run and saves its
    // files must find the handlers still in place, not the default ones
    // that would end the process mid-save.
    SignalWatcher termination;
    if (termination.install())
        QObject::connect(&termination, &SignalWatcher::terminationRequested, &app, &QCoreApplication::quit);

    testMainWindow window;
    if (!instance.isEmpty())
        window.setInstanceName(instance);
    window.show();
    if (shown)
        shown(window);
    return app.exec();
}
