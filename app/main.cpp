// trevalo: bench endurance tester for cellular modem chips.
#include <QApplication>
#include <QDir>

#include "DataFolder.h"
#include "SignalWatcher.h"
#include "testMainWindow.h"

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // cfg/trevalo.ini, log/ and result/ lie beside the program, wherever it
    // was started from; an installed program keeps them in the user's data
    // folder instead.
    QDir::setCurrent(DataFolder::choose(QCoreApplication::applicationDirPath()));

    testMainWindow window;
    window.show();

    // Ctrl-C in the terminal or a kill ends the program the way closing the
    // window does: the run is stopped and its log, result and settings saved.
    SignalWatcher termination;
    if (termination.install())
        QObject::connect(&termination, &SignalWatcher::terminationRequested, &app, &QCoreApplication::quit);

    return app.exec();
}
