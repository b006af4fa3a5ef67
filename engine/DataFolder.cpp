#include "DataFolder.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryFile>

QString DataFolder::choose(const QString &programFolder)
{
    if (!isInstalled(programFolder) && isWritable(programFolder))
        return programFolder;
    return choose(programFolder, userFolder());
}

QString DataFolder::choose(const QString &programFolder, const QString &userFolder)
{
    if (!isInstalled(programFolder) && isWritable(programFolder))
        return programFolder;
    if (!userFolder.isEmpty() && QDir().mkpath(userFolder) && isWritable(userFolder))
        return QDir(userFolder).absolutePath();
    // Nowhere better: the saves fail visibly in the log, as they would have.
    return programFolder;
}

QString DataFolder::prepare(const QString &folder, QString *error)
{
    const QString path = folder.isEmpty() ? QString() : QFileInfo(folder).absoluteFilePath();
    if (path.isEmpty() || !QDir().mkpath(path)) {
        *error = QStringLiteral("cannot create the data folder %1").arg(QDir::toNativeSeparators(path.isEmpty() ? folder : path));
        return {};
    }
    if (!isWritable(path)) {
        *error = QStringLiteral("cannot write to the data folder %1").arg(QDir::toNativeSeparators(path));
        return {};
    }
    return QDir::cleanPath(path);
}

QString DataFolder::userFolder()
{
    // AppDataLocation is named after the running program; the window and
    // the runner share one folder, so it is built from the generic one.
    const QString generic = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (generic.isEmpty())
        return {};
    return QDir(generic).filePath(QStringLiteral("trevalo"));
}

bool DataFolder::isWritable(const QString &folder)
{
    if (folder.isEmpty() || !QDir(folder).exists())
        return false;
    QTemporaryFile probe(QDir(folder).filePath(QStringLiteral(".trevalo-write-XXXXXX")));
    return probe.open();
}

bool DataFolder::isInstalled(const QString &programFolder)
{
    return !programFolder.isEmpty()
           && QFileInfo(QDir(programFolder).filePath(QStringLiteral("../share/trevalo"))).isDir();
}
