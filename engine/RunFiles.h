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

// Writes text to "<dir>/log/<stamp>.log", whole or not at all. The file
// another save of that second made (another run's, even in another process)
// is never replaced: the text goes to a "-2", "-3", ... sibling. Only
// ownPath, the caller's own earlier save, is replaced, and only by a later
// state of the same text (it still holds the earlier lines); saved in a
// later second, that text gets the new name and ownPath is removed. Returns the path
// written relative to dir, empty on failure.
QString saveLog(const QString &dir, const QByteArray &text, const QDateTime &when,
                const QString &ownPath = QString());

// Gives the file at from the name to, unless a file of that name exists.
// The file system decides both in one step, so a file another process makes
// under that name in the meantime is never replaced. On failure taken (when
// given) tells whether the name was in use.
bool renameToNewName(const QString &from, const QString &to, bool *taken = nullptr);

// The log auto-save period used for a configured value: 0 (junk in the
// settings file) means the default hour, anything below a minute is raised
// to a minute, and a timer's int range is respected.
int autoSaveIntervalMs(unsigned int configuredMs);

// Passed cycles in percent of all, truncated; 0 without cycles.
int fpy(qint64 pass, qint64 fail);
// An average time as the window shows it: "1.23457s" for 1.234567 s.
QString averageSeconds(double totalSeconds, qint64 count);
// "Total: n", "PASS: n", "FAIL: n", "FPY: n%": the count lines of a result.
QStringList countLines(qint64 pass, qint64 fail);
// Writes "<dir>/result/<tag>.<stamp>.txt": the case and the count lines,
// CRLF line ends. A file of that name is replaced only when it is ownPath
// (the run's own earlier write); otherwise "-2", "-3", ... is used. Written
// under another name, the run's own earlier file is removed: one per run.
// Returns the path relative to dir, empty on failure, a file that could
// not be written whole included (it is removed).
QString writeResult(const QString &dir, const QString &tag, const QStringList &counts, const QDateTime &when,
                    const QString &ownPath = QString());

} // namespace RunFiles

#endif // RUNFILES_H
