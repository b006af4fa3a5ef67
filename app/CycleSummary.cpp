#include "CycleSummary.h"

#include <algorithm>

#include "RunFiles.h"

void CycleSummary::Extremes::take(float value, int at)
{
    if (empty || value < low) {
        low = value;
        lowAt = at;
    }
    if (empty || value > high) {
        high = value;
        highAt = at;
    }
    empty = false;
}

void CycleSummary::Extremes::merge(const Extremes &later)
{
    if (later.empty)
        return;
    if (empty) {
        *this = later;
        return;
    }
    if (later.low < low) {
        low = later.low;
        lowAt = later.lowAt;
    }
    if (later.high > high) {
        high = later.high;
        highAt = later.highAt;
    }
}

CycleSummary::CycleSummary(int cap, qint64 cyclesBefore, qint64 passesBefore)
    : m_cap(std::max(2, cap + (cap & 1))), m_cyclesBefore(cyclesBefore), m_passesBefore(passesBefore),
      m_cycles(cyclesBefore), m_passes(passesBefore)
{
}

void CycleSummary::add(const Cycle &cycle, qint64 offset)
{
    if (m_buckets.empty() || m_buckets.back().count >= m_bucketSize) {
        // Merging before the vector grows past the cap keeps its capacity at the cap.
        if (int(m_buckets.size()) >= m_cap)
            halve();
        if (m_buckets.empty() || m_buckets.back().count >= m_bucketSize) {
            Bucket fresh;
            fresh.offset = offset;
            fresh.first = cycle.number;
            m_buckets.push_back(fresh);
        }
    }
    ++m_cycles;
    m_passes += cycle.pass ? 1 : 0;

    Bucket &b = m_buckets.back();
    b.last = cycle.number;
    ++b.count;
    b.cyclesAtEnd = m_cycles;
    b.passesAtEnd = m_passes;
    if (cycle.dialUpMs >= 0)
        b.dialUpMs.take(cycle.dialUpMs, cycle.number);
    if (cycle.hangUpMs >= 0)
        b.hangUpMs.take(cycle.hangUpMs, cycle.number);
    if (cycle.value >= 0)
        b.value.take(cycle.value, cycle.number);
    b.fpy.take(float(RunFiles::fpy(m_passes, m_cycles - m_passes)), cycle.number);
    if (!cycle.pass) {
        if (b.failed == 0) {
            b.firstFailAt = cycle.number;
            b.firstFailDialUpMs = cycle.dialUpMs;
        }
        ++b.failed;
    }
}

void CycleSummary::halve()
{
    const std::size_t n = m_buckets.size();
    std::size_t kept = 0;
    for (std::size_t i = 0; i < n; i += 2, ++kept) {
        Bucket merged = m_buckets[i];
        if (i + 1 < n) {
            const Bucket &later = m_buckets[i + 1];
            merged.last = later.last;
            merged.count += later.count;
            if (merged.failed == 0) {
                merged.firstFailAt = later.firstFailAt;
                merged.firstFailDialUpMs = later.firstFailDialUpMs;
            }
            merged.failed += later.failed;
            merged.cyclesAtEnd = later.cyclesAtEnd;
            merged.passesAtEnd = later.passesAtEnd;
            merged.dialUpMs.merge(later.dialUpMs);
            merged.hangUpMs.merge(later.hangUpMs);
            merged.value.merge(later.value);
            merged.fpy.merge(later.fpy);
        }
        m_buckets[kept] = merged;
    }
    m_buckets.resize(kept);
    m_bucketSize *= 2;
}

std::pair<qint64, qint64> CycleSummary::countsBefore(int i) const
{
    if (i <= 0 || m_buckets.empty())
        return {m_cyclesBefore, m_passesBefore};
    const Bucket &b = m_buckets[std::size_t(std::min<int>(i, int(m_buckets.size()))) - 1];
    return {b.cyclesAtEnd, b.passesAtEnd};
}

std::pair<int, int> CycleSummary::bucketsBetween(double from, double to) const
{
    // Cycle numbers rise through the file; a bucket is in when it reaches
    // from and starts no later than to.
    const auto begin = std::partition_point(m_buckets.begin(), m_buckets.end(),
                                            [from](const Bucket &b) { return b.last < from; });
    const auto end = std::partition_point(begin, m_buckets.end(), [to](const Bucket &b) { return b.first <= to; });
    return {int(begin - m_buckets.begin()), int(end - m_buckets.begin())};
}
