#include "RunFiles.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QStringConverter>
#include <QTextStream>

#include <algorithm>
#include <cstdio>

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

QString saveLog(const QString &dir, const QByteArray &text, const QDateTime &when)
{
    const QString stamp = fileStamp(when);
    const QDir base(dir);
    base.mkdir(QStringLiteral("log"));

    // Saves within one second share a name. An earlier file may be replaced
    // only by a later state of the same text (it is a prefix of ours); if the
    // text was cleared in between, its lines go to "-2", "-3", ...
    constexpr int maxSiblings = 1000;
    for (int n = 1; n <= maxSiblings; ++n) {
        const QString path = n == 1 ? QStringLiteral("log/%1.log").arg(stamp)
                                    : QStringLiteral("log/%1-%2.log").arg(stamp).arg(n);
        QFile file(base.filePath(path));
        if (file.exists()) {
            if (file.size() > text.size())
                continue;
            if (!file.open(QIODevice::ReadOnly))
                continue; // cannot tell what it holds: leave it alone
            const QByteArray earlier = file.readAll();
            file.close();
            if (!text.startsWith(earlier))
                continue;
        }
        // Written to a temporary file and renamed into place only when every
        // byte reached the disk: a full or failing disk leaves the earlier
        // file as it was and is reported, instead of losing lines silently.
        // Flushed before the commit: Qt's commit does not see a flush the
        // disk refused and would put an empty file in place.
        QSaveFile out(base.filePath(path));
        if (!out.open(QIODevice::WriteOnly) || out.write(text) != text.size() || !out.flush() || !out.commit())
            break;
        return path;
    }
    return QString();
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
    // and is kept.
    constexpr int maxSiblings = 1000;
    QString name;
    for (int n = 1; n <= maxSiblings && name.isEmpty(); ++n) {
        const QString candidate = n == 1 ? QStringLiteral("result/%1.%2.txt").arg(tag, stamp)
                                         : QStringLiteral("result/%1.%2-%3.txt").arg(tag, stamp).arg(n);
        if (candidate == ownPath || !QFile::exists(base.filePath(candidate)))
            name = candidate;
    }
    if (name.isEmpty())
        return QString();

    QFile file(base.filePath(name));
    if (!file.open(QIODevice::WriteOnly))
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
    return name;
}

} // namespace RunFiles
