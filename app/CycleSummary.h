// A run's cycles reduced to at most a fixed number of buckets of 2^k
// neighbouring cycles: per bucket what a chart column needs (the lowest and
// highest dial-up, hang-up and running FPY with the cycle each belongs to,
// the failed cycles, the counts at its end) and where its first line starts
// in the record file, so that a stretch can be read again in full. When the
// buckets reach the cap, neighbours merge pairwise: memory stays bounded and
// a redraw walks at most the cap, whether the run has a hundred cycles or
// ten million, while no extreme and no failure is lost.
#ifndef CYCLESUMMARY_H
#define CYCLESUMMARY_H

#include <QStringList>
#include <QtGlobal>

#include <utility>
#include <vector>

class CycleSummary
{
public:
    // What the charts need of one cycle; a figure not taken is negative.
    struct Cycle
    {
        int number = 0;
        bool pass = false;
        float dialUpMs = -1;
        float hangUpMs = -1;
        float value = -1;         // the chosen captured value of a custom test, when a number
        QStringList valueNames;   // the names of the values the cycle captured
        // The register network test's three AT exchanges.
        float registerMs = -1;
        float deregisterMs = -1;
        float reregisterMs = -1;
    };

    // The lowest and the highest value of a figure and the cycles they
    // belong to (the earliest on a tie); `empty` while none was taken.
    struct Extremes
    {
        float low = 0;
        float high = 0;
        int lowAt = 0;
        int highAt = 0;
        bool empty = true;
        void take(float value, int at);
        void merge(const Extremes &later);
    };

    struct Bucket
    {
        qint64 offset = 0; // where the line of its first cycle starts
        int first = 0;     // numbers of its first and last cycle
        int last = 0;
        int count = 0;
        int failed = 0;
        int firstFailAt = 0;
        float firstFailDialUpMs = -1;
        qint64 cyclesAtEnd = 0; // counted from the start of the run up to its end
        qint64 passesAtEnd = 0;
        Extremes dialUpMs;
        Extremes hangUpMs;
        Extremes fpy; // running FPY in percent
        Extremes value; // the chosen captured value
    };

    // 64 Ki buckets of 116 bytes: about 7.5 MB at most.
    static constexpr int kDefaultCap = 1 << 16;

    // A summary starting after cyclesBefore cycles of which passesBefore
    // passed (a stretch read again from the middle of a run). The cap is
    // rounded up to an even number of at least 2.
    explicit CycleSummary(int cap = kDefaultCap, qint64 cyclesBefore = 0, qint64 passesBefore = 0);

    // The next cycle of the run, whose line starts at offset.
    void add(const Cycle &cycle, qint64 offset);

    const std::vector<Bucket> &buckets() const { return m_buckets; }
    int bucketSize() const { return m_bucketSize; }
    int cap() const { return m_cap; }
    qint64 cycles() const { return m_cycles; }
    qint64 passes() const { return m_passes; }
    // Cycles and passes before the first bucket.
    qint64 cyclesBefore() const { return m_cyclesBefore; }
    qint64 passesBefore() const { return m_passesBefore; }
    // The cycles seen before bucket i (its start), from the start of the run.
    std::pair<qint64, qint64> countsBefore(int i) const;
    // Indexes [begin, end) of the buckets holding cycles numbered from..to.
    std::pair<int, int> bucketsBetween(double from, double to) const;

private:
    void halve();

    int m_cap;
    int m_bucketSize = 1;
    qint64 m_cyclesBefore;
    qint64 m_passesBefore;
    qint64 m_cycles = 0; // from the start of the run
    qint64 m_passes = 0;
    std::vector<Bucket> m_buckets;
};

#endif // CYCLESUMMARY_H
