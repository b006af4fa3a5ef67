// A JUnit XML report of one run for CI systems: one test case per counted
// cycle, a failed cycle with the step that failed and its red line.
#ifndef JUNITREPORT_H
#define JUNITREPORT_H

#include <QDateTime>
#include <QString>
#include <QVector>

class JUnitReport
{
public:
    explicit JUnitReport(const QString &caseTag) : m_tag(caseTag) {}

    // Takes the cycles from a record file (read again when writing, so a
    // run of any length needs no memory per cycle); false when unreadable.
    bool readRecords(const QString &recordFile);
    // A cycle known only by its verdict.
    void addCycle(bool pass, qint64 durationMs, const QString &message);
    bool write(const QString &path, const QDateTime &started) const;

private:
    struct Cycle
    {
        int number = 0;
        bool pass = true;
        qint64 durationMs = 0;
        QString step;
        QString message;
    };
    // Calls fn for every cycle, from the record file or the list.
    template <typename Fn>
    bool forEachCycle(Fn &&fn) const;

    QString m_tag;
    QString m_recordFile;
    QVector<Cycle> m_cycles;
};

#endif // JUNITREPORT_H
