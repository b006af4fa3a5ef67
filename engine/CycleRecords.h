// The record file of one run: one JSON object per line, the run first, then
// one line per counted cycle, then the totals. Every line reaches the disk
// before append() returns, so a crash loses at most the cycle in progress.
#ifndef CYCLERECORDS_H
#define CYCLERECORDS_H

#include <QDateTime>
#include <QFile>
#include <QJsonObject>
#include <QString>

class CycleRecords
{
public:
    // Creates "<dir>/<tag>.<yyyy-MM-dd-hh-mm-ss>.jsonl" (a "-2", "-3", ...
    // sibling when a run of the same second has one); false when it cannot.
    bool open(const QString &dir, const QString &tag, const QDateTime &start);
    // False when the line did not reach the disk whole.
    bool append(const QJsonObject &line);
    QString path() const { return m_path; }

    // ISO 8601 with milliseconds and the UTC offset.
    static QString isoStamp(const QDateTime &when);

private:
    QFile m_file;
    QString m_path;
};

#endif // CYCLERECORDS_H
