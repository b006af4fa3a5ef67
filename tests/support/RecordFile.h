// A run's record file as the tests read it: the run line, the cycle lines
// and the end line, each line checked to be one whole JSON object.
#ifndef RECORDFILE_H
#define RECORDFILE_H

#include <QJsonObject>
#include <QString>
#include <QVector>

struct RecordFile
{
    RecordFile() = default;
    explicit RecordFile(const QString &path);

    // Writes the run line, the cycle lines and the end line (when not empty)
    // as the worker does: one compact JSON object per line. False on failure.
    bool write(const QString &path) const;

    bool opened = false;
    int brokenLines = 0; // lines that are no JSON object, or out of place
    QJsonObject run;
    QVector<QJsonObject> cycles;
    QJsonObject end; // empty when the run did not end in order

    // Every cycle line numbered 1, 2, ... with a stamp carrying its offset,
    // a duration and a verdict; a description of the first fault otherwise.
    QString cycleFault() const;
};

#endif // RECORDFILE_H
