// trevalo: bench endurance tester for cellular modem chips.
#include <QApplication>
#include <QDir>

#include "ProgramRun.h"

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // cfg/trevalo.ini, log/ and result/ lie beside the program, wherever it
    // was started from.
    QDir::setCurrent(QCoreApplication::applicationDirPath());
    return ProgramRun::exec(app);
}
