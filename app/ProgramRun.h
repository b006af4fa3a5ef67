// The program's life between the application object and its end: its
// options and data folder, the window, the termination signals and the
// event loop. main runs it; the shutdown tests run it in a child process of
// their own.
#ifndef PROGRAMRUN_H
#define PROGRAMRUN_H

#include <QString>
#include <QStringList>

#include <functional>

class QApplication;
class testMainWindow;

namespace ProgramRun {

// The program as started with these arguments (the program's name first):
// settles in its data folder (--data DIR, made if missing; else beside the
// program or the user's data folder), holds it against a second window and
// runs exec() there. Returns 2 after saying why on standard error (and in a
// message box where one can be seen) when the options are bad, the folder
// cannot be made or written, or another window holds it.
int start(QApplication &app, const QStringList &arguments,
          const std::function<void(testMainWindow &)> &shown = {});

// Shows the window, runs the event loop until the window is closed or the
// process is asked to end (SIGTERM, SIGINT, SIGHUP), then closes the
// window, which stops a run and saves its files and the settings. Returns
// the event loop's result. `shown`, if given, is called with the window
// once it is shown. A non-empty instance names this window's data folder
// in its title.
int exec(QApplication &app, const std::function<void(testMainWindow &)> &shown = {},
         const QString &instance = QString());

} // namespace ProgramRun

#endif // PROGRAMRUN_H
