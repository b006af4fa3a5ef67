#include "NotifierLog.h"

#include <chrono>

NotifierLog &NotifierLog::instance()
{
    static NotifierLog log;
    return log;
}

void WINAPI NotifierLog::notifier(UINT message, RASCONNSTATE state, DWORD error)
{
    NotifierLog &log = instance();
    HRASCONN hangUp = nullptr;
    {
        std::lock_guard<std::mutex> lock(log.m_mutex);
        log.m_calls.append({message, state, error, std::this_thread::get_id(), log.m_hungUp});
        if (log.m_hangUpHandle && state == log.m_hangUpOn) {
            hangUp = log.m_hangUpHandle;
            log.m_hangUpHandle = nullptr;
        }
        log.m_changed.notify_all();
    }
    if (hangUp) {
        RasHangUpA(hangUp);
        log.markHungUp();
    }
}

void NotifierLog::reset()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.clear();
    m_hungUp = false;
    m_hangUpHandle = nullptr;
}

void NotifierLog::markHungUp()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_hungUp = true;
}

QList<NotifierCall> NotifierLog::calls() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
}

QList<int> NotifierLog::states() const
{
    QList<int> out;
    for (const NotifierCall &c : calls())
        out.append(int(c.state));
    return out;
}

bool NotifierLog::waitForEnd(int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] {
        for (const NotifierCall &c : m_calls) {
            if (c.error != 0 || c.state == RASCS_Connected || c.state == RASCS_Disconnected)
                return true;
        }
        return false;
    });
}

bool NotifierLog::waitForCount(int count, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [this, count] { return m_calls.size() >= count; });
}

void NotifierLog::hangUpFromNotifier(HRASCONN handle, RASCONNSTATE onState)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_hangUpHandle = handle;
    m_hangUpOn = onState;
}
