// A run's record file as the trends window reads it: the run line, the
// figures of every cycle and the end line. A file still being written is
// followed by reading what has been appended since; a line not yet ended
// (or cut short by a crash) is left for later and reported.
#ifndef RECORDSFILE_H
#define RECORDSFILE_H

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <vector>

class RecordsFile
{
public:
    // What the charts need of one cycle; a figure not taken is negative.
    struct Cycle
    {
        int number = 0;
        bool pass = false;
        int passesSoFar = 0; // passed cycles up to this one, itself included
        float dialUpMs = -1;
        float hangUpMs = -1;
    };

    // Reads the whole file; false when it cannot be opened.
    bool open(const QString &path);
    // Reads the lines appended since; the number of new cycles.
    int readMore();
    void clear();

    QString path() const { return m_path; }
    const QJsonObject &run() const { return m_run; }
    const QJsonObject &end() const { return m_end; }
    const std::vector<Cycle> &cycles() const { return m_cycles; }
    int passCount() const { return m_passCount; }
    // Lines that were no record (damaged), and whether the file ends in a
    // line that is not whole.
    int damagedLines() const { return m_damaged; }
    bool unfinishedLastLine() const { return m_pendingTail; }
    // Empty while every line read is whole and sound.
    QString warning() const;

    // The record fields in the order the columns have in a CSV export.
    static QStringList csvColumns();
    // Writes one row per cycle record of recordsPath (fields it lacks stay
    // empty, fields unknown here follow the known ones). Damaged lines are
    // left out. False with a reason when a file cannot be read or written.
    static bool exportCsv(const QString &recordsPath, const QString &csvPath, QString *error = nullptr);

private:
    void take(const QByteArray &line);

    QString m_path;
    qint64 m_offset = 0; // bytes consumed, up to the end of the last whole line
    QJsonObject m_run;
    QJsonObject m_end;
    std::vector<Cycle> m_cycles;
    int m_passCount = 0;
    int m_damaged = 0;
    bool m_pendingTail = false;
};

#endif // RECORDSFILE_H
