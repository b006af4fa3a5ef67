// Where the program keeps cfg/, log/, result/ and records/: beside the
// program while its folder is writable (a build folder, an unpacked copy),
// in the user's data folder when it is not or when the program is installed
// (root may write to /usr/bin, but files do not belong there).
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

    // A folder named by the user (the window's --data): made if missing
    // and returned as an absolute path; empty with a one-line reason when it
    // cannot be made or refuses a file.
    static QString prepare(const QString &folder, QString *error);

    // The user's data folder: QStandardPaths::AppDataLocation of the
    // application "trevalo", whichever program asks (the window, the runner).
    static QString userFolder();

    // True when a file can be created in folder: tried, not guessed from
    // permission bits, so read-only mounts and immutable folders count.
    static bool isWritable(const QString &folder);
    // True when the program folder is the bin/ of an installed tree: the
    // installation puts the set-up files into ../share/trevalo beside it.
    static bool isInstalled(const QString &programFolder);
};

#endif // DATAFOLDER_H
