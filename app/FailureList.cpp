#include "FailureList.h"

#include <QObject>

#include <algorithm>

void FailureList::addFailure(const QJsonObject &line)
{
    Failure f;
    f.query = CycleLogLocator::queryFor(line);
    // A damaged file may carry lines of a megabyte: the list keeps what a
    // row shows, so 10,000 of them stay a few megabytes.
    constexpr int kMaxText = 512;
    f.query.failedLine.truncate(kMaxText);
    f.step = line.value(QStringLiteral("failedStep")).toString().left(64);
    f.rasError = line.value(QStringLiteral("rasError")).toInt();
    f.anchorOffset = f.query.hasPosition() ? -1 : m_anchorOffset;
    ++m_total;
    if (f.query.start.isValid())
        ++m_byHour[std::size_t(f.query.start.time().hour())];
    QString step = f.step;
    auto known = std::find_if(m_byStep.begin(), m_byStep.end(), [&step](const auto &s) { return s.first == step; });
    if (known == m_byStep.end() && m_byStep.size() >= kMaxSteps) {
        step = QObject::tr("other");
        known = std::find_if(m_byStep.begin(), m_byStep.end(), [&step](const auto &s) { return s.first == step; });
    }
    if (known == m_byStep.end())
        m_byStep.append({step, 1});
    else
        ++known->second;
    m_failures.push_back(std::move(f));
    while (int(m_failures.size()) > m_cap)
        m_failures.pop_front();
    m_waitsForNext = true;
    ++m_unbound;
}

void FailureList::nextCycle(const QJsonObject &line)
{
    const CycleLogQuery later = CycleLogLocator::queryFor(line);
    if (m_waitsForNext && !m_failures.empty())
        m_failures.back().query.boundBy(later);
    m_waitsForNext = false;
    // The first later cycle whose separator the log had taken bounds the
    // lines of every failure before it in the log's own time.
    if (later.hasPosition()) {
        const std::size_t unbound = std::min(m_unbound, m_failures.size());
        for (std::size_t i = m_failures.size() - unbound; i < m_failures.size(); ++i)
            m_failures[i].query.boundBy(later);
        m_unbound = 0;
    }
}

void FailureList::runEnded(const QJsonObject &line)
{
    if (m_waitsForNext && !m_failures.empty())
        m_failures.back().query.until =
            QDateTime::fromString(line.value(QStringLiteral("end")).toString(), Qt::ISODateWithMs);
    m_waitsForNext = false;
    m_unbound = 0;
}

const FailureList::Failure *FailureList::find(qint64 cycle) const
{
    // Kept in the order of the file, which is the order of the cycles.
    const auto it = std::lower_bound(m_failures.begin(), m_failures.end(), cycle,
                                     [](const Failure &f, qint64 n) { return f.query.cycle < n; });
    return it != m_failures.end() && it->query.cycle == cycle ? &*it : nullptr;
}
