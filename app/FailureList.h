// The failed cycles of a run as the trends window lists them: the newest
// ones up to a cap (with a count of the older ones let go), each with what
// its record says and where its log lines are, and counts of all failures
// by failed step and by hour of the day, which stay small however long the
// run: the steps are a handful (names past kMaxSteps count as one "other").
#ifndef FAILURELIST_H
#define FAILURELIST_H

#include <QJsonObject>
#include <QString>
#include <QVector>

#include <array>
#include <deque>
#include <utility>

#include "CycleLogLocator.h"

class FailureList
{
public:
    struct Failure
    {
        CycleLogQuery query; // cycle, start, red line (its first 512 characters), log position, next cycle's start
        QString step;
        int rasError = 0;
        // Where the line of the nearest earlier cycle with a log position
        // starts in the record file, for a failure without its own; -1 for none.
        qint64 anchorOffset = -1;
    };

    static constexpr int kDefaultCap = 10000;
    static constexpr int kMaxSteps = 32;

    explicit FailureList(int cap = kDefaultCap) : m_cap(cap) {}

    // A failed cycle's record line, found at offset in the record file.
    void addFailure(const QJsonObject &line);
    // A cycle line after a failure: the one right after the newest failure
    // (where that one ends) and each with a log position (which bounds the
    // failures before it in the log).
    void nextCycle(const QJsonObject &line);
    // The end line of the run.
    void runEnded(const QJsonObject &line);
    // A cycle line with a log position starts at offset.
    void positionAt(qint64 offset) { m_anchorOffset = offset; }
    // The newest failure still waits for the start of the cycle after it.
    bool waitsForNext() const { return m_waitsForNext; }
    // Some failure still waits for a later cycle with a log position.
    bool waitsForBound() const { return m_unbound > 0; }

    const std::deque<Failure> &failures() const { return m_failures; }
    // The failure of cycle number cycle among those kept; null for none.
    const Failure *find(qint64 cycle) const;
    qint64 total() const { return m_total; }
    // Failures no longer kept, the oldest.
    qint64 dropped() const { return m_total - qint64(m_failures.size()); }
    // (step, count) in the order the steps first failed; "" for none on record.
    const QVector<std::pair<QString, qint64>> &byStep() const { return m_byStep; }
    const std::array<qint64, 24> &byHour() const { return m_byHour; }

private:
    int m_cap;
    std::deque<Failure> m_failures;
    qint64 m_total = 0;
    qint64 m_anchorOffset = -1;
    bool m_waitsForNext = false;
    std::size_t m_unbound = 0; // the newest failures without a later log position
    QVector<std::pair<QString, qint64>> m_byStep;
    std::array<qint64, 24> m_byHour{};
};

#endif // FAILURELIST_H
