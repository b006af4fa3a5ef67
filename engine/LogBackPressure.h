// Keeps the log lines that a worker has emitted and its window has not yet
// taken within a cap. Past the cap the emitting thread waits for the window
// (blocking, with a deadline, woken at once by a stop request) instead of
// queueing lines without bound; no line is ever dropped. It stays inactive
// until a consumer registers, so a worker without a window never waits.
#ifndef LOGBACKPRESSURE_H
#define LOGBACKPRESSURE_H

#include <QMutex>
#include <QWaitCondition>

#include <atomic>

class LogBackPressure
{
public:
    // Lines in flight before the emitter waits: the window writes this many
    // in a few tens of milliseconds, far less than a second of any case.
    static constexpr int defaultCap = 1000;
    // Longest single wait; after it the line goes out anyway, so a consumer
    // that stopped taking lines without saying so cannot hang the worker.
    static constexpr int longestWaitMs = 5000;

    explicit LogBackPressure(int cap = defaultCap) : m_cap(cap) {}

    // Consumer thread: registers (or withdraws) the consumer. Either way the
    // count starts afresh and a waiting emitter is released.
    void setConsumer(bool present);
    bool hasConsumer() const { return m_consumer; }

    // Emitting thread, before each line goes out. With mayWait, and while
    // over the cap, blocks until the consumer is down to half the cap, stop
    // is raised, the consumer withdraws or longestWaitMs passes.
    void beforeEmit(bool mayWait, const std::atomic<bool> &stop);
    // Consumer thread, for every line it takes.
    void taken();
    // Releases a waiting emitter now (a stop was requested).
    void wake();

    int inFlight() const { return m_inFlight; }
    // Highest count seen since the last call; for benchmarks.
    int takePeak();
    int cap() const { return m_cap; }
    void setCap(int cap) { m_cap = cap; } // tests only, while no line is in flight

private:
    std::atomic<int> m_cap;
    std::atomic<int> m_inFlight{0};
    std::atomic<int> m_peak{0};
    std::atomic<bool> m_consumer{false};
    std::atomic<bool> m_waiting{false};
    QMutex m_mutex;
    QWaitCondition m_wake;
};

#endif // LOGBACKPRESSURE_H
