// The files a run leaves beside the program, shared by the window and the
// runner so both write them alike: log files, result files and their stamps.
#ifndef RUNFILES_H
#define RUNFILES_H

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

namespace RunFiles {

// "MM-dd-hh-mm-ss-" followed by the milliseconds without leading zeros,
// written twice: the stamp every log line has always carried.
QString logStamp(const QDateTime &when);
// The stamp up to its milliseconds: "MM-dd-hh-mm-ss-"; empty for an invalid time.
QString logStampPrefix(const QDateTime &when);
// "yyyy-MM-dd-hh-mm-ss", used in file names.
QString fileStamp(const QDateTime &when);

// Writes text to "<dir>/log/<stamp>.log" (or a "-N" sibling when an earlier
// save in the same second holds lines the text no longer has), whole or not
// at all. Returns the path written, empty on failure.
QString saveLog(const QString &dir, const QByteArray &text, const QDateTime &when);

// The log auto-save period used for a configured value: 0 (junk in the
// settings file) means the default hour, anything below a minute is raised
// to a minute, and a timer's int range is respected.
int autoSaveIntervalMs(unsigned int configuredMs);

// Passed cycles in percent of all, truncated; 0 without cycles.
int fpy(qint64 pass, qint64 fail);
// "Total: n", "PASS: n", "FAIL: n", "FPY: n%": the count lines of a result.
QStringList countLines(qint64 pass, qint64 fail);
// Writes "<dir>/result/<tag>.<stamp>.txt": the case and the count lines,
// CRLF line ends. A file of that name is replaced only when it is ownPath
// (the run's own earlier write); otherwise "-2", "-3", ... is used.
// Returns the path relative to dir, empty on failure, a file that could
// not be written whole included (it is removed).
QString writeResult(const QString &dir, const QString &tag, const QStringList &counts, const QDateTime &when,
                    const QString &ownPath = QString());

} // namespace RunFiles

#endif // RUNFILES_H
