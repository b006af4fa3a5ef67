// Where the program keeps cfg/, log/, result/ and records/: beside the
// program while its folder is writable (a build folder, an unpacked copy),
// otherwise in the user's data folder (an installed program).
#ifndef DATAFOLDER_H
#define DATAFOLDER_H

#include <QString>

class DataFolder
{
public:
    // The folder to make current at start-up, created if needed; the
    // program's own folder when no other can be had.
    static QString choose(const QString &programFolder);
    // As choose(), with the fallback given (tests).
    static QString choose(const QString &programFolder, const QString &userFolder);

    // The user's data folder: QStandardPaths::AppDataLocation of the
    // application "trevalo", whichever program asks (the window, the runner).
    static QString userFolder();

    // True when a file can be created in folder: tried, not guessed from
    // permission bits, so read-only mounts and immutable folders count.
    static bool isWritable(const QString &folder);
};

#endif // DATAFOLDER_H
