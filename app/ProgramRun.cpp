#include "ProgramRun.h"

#include <QApplication>

#include "SignalWatcher.h"
#include "testMainWindow.h"

int ProgramRun::exec(QApplication &app, const std::function<void(testMainWindow &)> &shown)
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
    window.show();
    if (shown)
        shown(window);
    return app.exec();
}
