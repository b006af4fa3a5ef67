// A JUnit XML report of one run for CI systems: one test case per counted
// cycle, a failed cycle with the step that failed and its red line.
#ifndef JUNITREPORT_H
#define JUNITREPORT_H

#include <QDateTime>
#include <QString>

class CycleVerdicts;

class JUnitReport
{
public:
    // Every cycle the run counted is in the report: from the record file
    // where it holds the cycle, from the run's own verdicts where it does
    // not (a disk that filled, a record file that could not be made).
    JUnitReport(const QString &caseTag, const CycleVerdicts &verdicts) : m_tag(caseTag), m_verdicts(verdicts) {}

    // Takes the cycles' details from a record file (read again when
    // writing, so a run of any length needs no memory per cycle); false
    // when unreadable.
    bool readRecords(const QString &recordFile);
    bool write(const QString &path, const QDateTime &started);
    // After write(): how many of the counted cycles the record file held.
    int cyclesOnRecord() const { return m_onRecord; }

private:
    struct Cycle
    {
        int number = 0;
        bool pass = true;
        qint64 durationMs = -1; // -1: not known
        QString step;
        QString message;
    };
    // Calls fn for every counted cycle in order; false when the record file
    // cannot be read. onRecord: how many came from the record file.
    template <typename Fn>
    bool forEachCycle(Fn &&fn, int *onRecord = nullptr) const;

    QString m_tag;
    const CycleVerdicts &m_verdicts;
    QString m_recordFile;
    int m_onRecord = 0;
};

#endif // JUNITREPORT_H
