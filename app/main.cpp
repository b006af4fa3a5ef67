// trevalo: bench endurance tester for cellular modem chips.
#include <QApplication>

#include "ProgramRun.h"

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // cfg/trevalo.ini, log/, result/ and records/ lie beside the program,
    // wherever it was started from, or in the folder --data names; an
    // installed program keeps them in the user's data folder instead.
    return ProgramRun::start(app, app.arguments());
}
