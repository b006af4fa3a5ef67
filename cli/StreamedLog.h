// The runner's log files: the same "log/<yyyy-MM-dd-hh-mm-ss>.log" files the
// window saves, but every line goes to disk as it comes (into a hidden part
// file that a save renames into place), so a run of days holds no log in
// memory and a crash leaves its lines in the part file.
#ifndef STREAMEDLOG_H
#define STREAMEDLOG_H

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QString>

class StreamedLog
{
public:
    explicit StreamedLog(const QString &outDir) : m_outDir(outDir) {}
    ~StreamedLog();

    // False when the line could not be written; it is then kept for the
    // next attempt.
    bool append(const QByteArray &line);
    // Gives the lines so far their file, "log/<stamp>.log" (or a "-N"
    // sibling when that name is taken); returns it relative to the output
    // folder, empty when nothing was logged or the file could not be made.
    QString save(const QDateTime &when);
    // Any lines since the last save.
    bool isEmpty() const { return !m_hasLines; }

private:
    bool openPart();

    const QString m_outDir;
    QFile m_part;
    QByteArray m_pending; // lines the part file did not take
    bool m_hasLines = false;
};

#endif // STREAMEDLOG_H
