#include "RunFiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QScopeGuard>
#include <QStringConverter>
#include <QTextStream>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#if defined(Q_OS_WIN)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace RunFiles {

QString logStamp(const QDateTime &when)
{
    // Qt 6 reads "zz" as two-digit milliseconds; the log has always carried
    // the unpadded milliseconds twice ("...-09-77" for 7 ms), so build it.
    if (!when.isValid())
        return QString();
    const QString ms = QString::number(when.time().msec());
    return logStampPrefix(when) + ms + ms;
}

QString logStampPrefix(const QDateTime &when)
{
    // Built by hand: QDateTime::toString parses its format through the
    // locale each time.
    if (!when.isValid())
        return QString();
    const QDate d = when.date();
    const QTime t = when.time();
    char text[32];
    const int n = std::snprintf(text, sizeof text, "%02d-%02d-%02d-%02d-%02d-", d.month(), d.day(), t.hour(),
                                t.minute(), t.second());
    return QString::fromLatin1(text, std::max(0, std::min(n, int(sizeof text) - 1)));
}

QString fileStamp(const QDateTime &when)
{
    return when.toString(QStringLiteral("yyyy-MM-dd-hh-mm-ss"));
}

namespace {

bool syncToDisk(QFile &file)
{
    if (!file.flush())
        return false;
#if defined(Q_OS_WIN)
    return _commit(file.handle()) == 0;
#else
    return ::fdatasync(file.handle()) == 0;
#endif
}

// Writes text to a new hidden file in the log folder, on the disk; file then
// names it (also when writing failed, so it can be removed).
bool stage(const QDir &base, const QByteArray &text, QFile &file)
{
    const QString prefix = QStringLiteral("log/.save-%1-").arg(QCoreApplication::applicationPid());
    constexpr int attempts = 100;
    for (int n = 1; n <= attempts; ++n) {
        file.setFileName(base.filePath(prefix + QString::number(n)));
        // Never an existing file: one left by a crashed process of the same id.
        if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            const bool written = file.write(text) == text.size() && syncToDisk(file);
            file.close();
            return written;
        }
        if (!file.exists()) {
            file.setFileName(QString());
            return false;
        }
    }
    file.setFileName(QString());
    return false;
}

// True when the file at path may be replaced by text: it holds nothing the
// text does not (the text grew from it).
bool textGrewFrom(const QString &path, const QByteArray &text)
{
    QFile file(path);
    if (file.size() > text.size() || !file.open(QIODevice::ReadOnly))
        return false; // cannot tell what it holds: leave it alone
    return text.startsWith(file.readAll());
}

} // namespace

QString saveLog(const QString &dir, const QByteArray &text, const QDateTime &when, const QString &ownPath)
{
    const QString stamp = fileStamp(when);
    const QDir base(dir);
    base.mkdir(QStringLiteral("log"));

    // Written to a hidden file and given its name only when every byte
    // reached the disk: a full or failing disk leaves no half file and is
    // reported, instead of losing lines silently.
    QFile staged;
    auto unstage = qScopeGuard([&staged] {
        if (!staged.fileName().isEmpty())
            staged.remove();
    });

    // Saves within one second share a name; see the header for who may
    // replace which file.
    constexpr int maxSiblings = 1000;
    for (int n = 1; n <= maxSiblings; ++n) {
        const QString path = n == 1 ? QStringLiteral("log/%1.log").arg(stamp)
                                    : QStringLiteral("log/%1-%2.log").arg(stamp).arg(n);
        const QString target = base.filePath(path);
        if (path == ownPath && QFileInfo::exists(target)) {
            if (!textGrewFrom(target, text))
                continue;
            QSaveFile out(target);
            // Flushed before the commit: Qt's commit does not see a flush the
            // disk refused and would put an empty file in place.
            if (!out.open(QIODevice::WriteOnly) || out.write(text) != text.size() || !out.flush() || !out.commit())
                return QString();
            return path;
        }
        if (QFileInfo::exists(target))
            continue;
        if (staged.fileName().isEmpty() && !stage(base, text, staged))
            return QString();
        bool taken = false;
        if (renameToNewName(staged.fileName(), target, &taken)) {
            unstage.dismiss(); // it is the log file now
            // The same view saved again in a later second (Stop, then the
            // finish): the new file holds every line of the earlier one.
            if (!ownPath.isEmpty() && ownPath != path && textGrewFrom(base.filePath(ownPath), text))
                QFile::remove(base.filePath(ownPath));
            return path;
        }
        if (!taken)
            return QString(); // not a name clash: the folder refuses it
    }
    return QString();
}

bool renameToNewName(const QString &from, const QString &to, bool *taken)
{
    if (taken)
        *taken = false;
#if defined(Q_OS_WIN)
    // Without MOVEFILE_REPLACE_EXISTING the move fails on an existing name.
    if (MoveFileExW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(from).utf16()),
                    reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(to).utf16()),
                    MOVEFILE_WRITE_THROUGH))
        return true;
    const DWORD error = GetLastError();
    if (taken)
        *taken = error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS;
    return false;
#else
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
#if defined(RENAME_NOREPLACE)
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP && errno != EOPNOTSUPP) {
        if (taken)
            *taken = errno == EEXIST;
        return false;
    }
#endif
    // A file system without that rename: a second link refuses an existing
    // name just as well. Never a copy, which would write over a file that
    // appeared meanwhile.
    if (::link(source.constData(), target.constData()) != 0) {
        if (taken)
            *taken = errno == EEXIST;
        return false;
    }
    ::unlink(source.constData());
    return true;
#endif
}

int autoSaveIntervalMs(unsigned int configuredMs)
{
    constexpr unsigned int defaultMs = 3600000;
    constexpr unsigned int shortestMs = 60000;
    constexpr unsigned int longestMs = 0x7fffffff;
    if (configuredMs == 0)
        return int(defaultMs);
    if (configuredMs < shortestMs)
        return int(shortestMs);
    if (configuredMs > longestMs)
        return int(longestMs);
    return int(configuredMs);
}

QString averageSeconds(double totalSeconds, qint64 count)
{
    return QString::number(count > 0 ? totalSeconds / double(count) : 0.0, 'g', 6) + QLatin1Char('s');
}

int fpy(qint64 pass, qint64 fail)
{
    const qint64 total = pass + fail;
    // Truncated toward zero: 2 of 3 is 66%.
    return total <= 0 ? 0 : int(pass * 100 / total);
}

QStringList countLines(qint64 pass, qint64 fail)
{
    return {QStringLiteral("Total: %1").arg(pass + fail), QStringLiteral("PASS: %1").arg(pass),
            QStringLiteral("FAIL: %1").arg(fail), QStringLiteral("FPY: %1%").arg(fpy(pass, fail))};
}

QString writeResult(const QString &dir, const QString &tag, const QStringList &counts, const QDateTime &when,
                    const QString &ownPath)
{
    const QDir base(dir);
    base.mkdir(QStringLiteral("result"));
    const QString stamp = fileStamp(when);

    // Runs that end within one second share a name. A Stop and the finish
    // that follows it write the same run twice: the later write replaces
    // the run's own file. Any other file of that name is a different run's
    // and is kept: the file is created only where no file is, in one step
    // with the check, so a run in another process cannot slip in between.
    constexpr int maxSiblings = 1000;
    QString name;
    QFile file;
    for (int n = 1; n <= maxSiblings && name.isEmpty(); ++n) {
        const QString candidate = n == 1 ? QStringLiteral("result/%1.%2.txt").arg(tag, stamp)
                                         : QStringLiteral("result/%1.%2-%3.txt").arg(tag, stamp).arg(n);
        file.setFileName(base.filePath(candidate));
        const bool own = candidate == ownPath && file.exists();
        if (file.open(own ? QIODevice::WriteOnly | QIODevice::Truncate : QIODevice::WriteOnly | QIODevice::NewOnly))
            name = candidate;
        else if (!file.exists())
            return QString(); // not a name clash: the folder cannot be written
    }
    if (name.isEmpty())
        return QString();

    QTextStream out(&file);
    out.setEncoding(QStringConverter::System);
    const QLatin1String eol("\r\n");
    out << "#Test Case: " << tag << eol;
    for (const QString &line : counts)
        out << '#' << line << eol;
    out.flush();
    const bool written = out.status() == QTextStream::Ok;
    file.close();
    // A file the disk took only part of would be read as the run's result.
    if (!written || file.error() != QFileDevice::NoError) {
        file.remove();
        return QString();
    }
    // A Stop and the finish a second or more later: the run keeps one file,
    // the later one.
    if (!ownPath.isEmpty() && ownPath != name)
        QFile::remove(base.filePath(ownPath));
    return name;
}

} // namespace RunFiles
