// trevalo: bench endurance tester for cellular modem chips.
#include <QApplication>
#include <QDir>

#include "DataFolder.h"
#include "ProgramRun.h"

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // cfg/trevalo.ini, log/ and result/ lie beside the program, wherever it
    // was started from; an installed program keeps them in the user's data
    // folder instead.
    QDir::setCurrent(DataFolder::choose(QCoreApplication::applicationDirPath()));
    return ProgramRun::exec(app);
}
