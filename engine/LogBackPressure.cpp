#include "LogBackPressure.h"

#include <QDeadlineTimer>
#include <QMutexLocker>

void LogBackPressure::setConsumer(bool present)
{
    m_consumer = present;
    m_inFlight = 0;
    wake();
}

void LogBackPressure::beforeEmit(bool mayWait, const std::atomic<bool> &stop)
{
    if (!m_consumer)
        return;
    const int now = ++m_inFlight;
    int peak = m_peak;
    while (now > peak && !m_peak.compare_exchange_weak(peak, now)) {
    }
    if (!mayWait || now <= m_cap || stop)
        return;

    const QDeadlineTimer deadline(longestWaitMs);
    QMutexLocker lock(&m_mutex);
    m_waiting = true;
    while (m_inFlight > m_cap / 2 && m_consumer && !stop && !deadline.hasExpired())
        m_wake.wait(&m_mutex, deadline);
    m_waiting = false;
}

void LogBackPressure::taken()
{
    // A line the consumer takes that was never counted (it registered while
    // the line was on its way) must not push the count below zero.
    int n = m_inFlight;
    while (n > 0 && !m_inFlight.compare_exchange_weak(n, n - 1)) {
    }
    if (m_waiting && n - 1 <= m_cap / 2)
        wake();
}

void LogBackPressure::wake()
{
    QMutexLocker lock(&m_mutex);
    m_wake.wakeAll();
}

int LogBackPressure::takePeak()
{
    return m_peak.exchange(m_inFlight);
}
