// The program's life between the application object and its end: the
// window, the termination signals and the event loop. main runs it; the
// shutdown tests run it in a child process of their own.
#ifndef PROGRAMRUN_H
#define PROGRAMRUN_H

#include <functional>

class QApplication;
class testMainWindow;

namespace ProgramRun {

// Shows the window, runs the event loop until the window is closed or the
// process is asked to end (SIGTERM, SIGINT, SIGHUP), then closes the
// window, which stops a run and saves its files and the settings. Returns
// the event loop's result. `shown`, if given, is called with the window
// once it is shown.
int exec(QApplication &app, const std::function<void(testMainWindow &)> &shown = {});

} // namespace ProgramRun

#endif // PROGRAMRUN_H
