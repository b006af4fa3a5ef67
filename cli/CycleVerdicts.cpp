#include "CycleVerdicts.h"

#include <algorithm>

int CycleVerdicts::lineIndex(const QString &step, const QString &line)
{
    const QString kept = line.left(maxLineChars);
    // Most runs fail the same few ways; the latest one is the likeliest.
    for (int i = m_lines.size() - 1; i >= 0; --i)
        if (m_lines.at(i).step == step && m_lines.at(i).line == kept)
            return i;
    if (m_lines.size() < maxLines - 1) {
        m_lines.append({step, kept});
        return m_lines.size() - 1;
    }
    // The last slot stands for every red line beyond the bound.
    if (m_lines.size() < maxLines)
        m_lines.append({QString(), QStringLiteral("cycle failed (its red line was not kept: more than %1 different ones in this run)")
                                       .arg(maxLines - 1)});
    return maxLines - 1;
}

void CycleVerdicts::addFailure(const QString &step, const QString &line)
{
    const int cycle = ++m_count;
    ++m_failures;
    const int index = lineIndex(step, line);
    if (!m_spans.isEmpty() && m_spans.last().last == cycle - 1 && m_spans.last().failure == index)
        m_spans.last().last = cycle;
    else
        m_spans.append({cycle, cycle, index});
}

const CycleVerdicts::Failure *CycleVerdicts::failureOf(int cycle) const
{
    // The last span starting at or before the cycle.
    const auto after = std::upper_bound(m_spans.cbegin(), m_spans.cend(), cycle,
                                        [](int n, const Span &s) { return n < s.first; });
    if (after == m_spans.cbegin())
        return nullptr;
    const Span &span = *(after - 1);
    return cycle <= span.last ? &m_lines.at(span.failure) : nullptr;
}
