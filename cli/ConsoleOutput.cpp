#include "ConsoleOutput.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(Q_OS_WIN)
#include <io.h>
#else
#include <poll.h>
#include <unistd.h>
#endif

struct ConsoleOutput::State
{
    int fd = 1;
    qsizetype cap = defaultCap;
    std::mutex mutex;
    std::condition_variable wake;     // text queued, or closing
    std::condition_variable progress; // bytes written, or the writer ended
    QByteArray queue;
    qsizetype inFlight = 0;  // bytes the writer has taken and not yet written
    qint64 unannounced = 0;  // dropped lines the next accepted line is preceded by a note of
    qint64 droppedTotal = 0;
    qint64 written = 0;
    bool closing = false;
    bool finished = false;
};

namespace {

// Bytes written, or -1 when the descriptor refuses them (closed reader, bad
// descriptor, full disk under a redirect).
qint64 writeSome(int fd, const char *data, qint64 size)
{
#if defined(Q_OS_WIN)
    const int n = ::_write(fd, data, unsigned(std::min<qint64>(size, 1 << 20)));
    return n < 0 ? -1 : n;
#else
    for (;;) {
        const ssize_t n = ::write(fd, data, size_t(size));
        if (n >= 0)
            return n;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            // A descriptor someone else made non-blocking: wait for room here,
            // in the writer's thread, where waiting harms nobody.
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, -1) >= 0 || errno == EINTR)
                continue;
        }
        return -1;
    }
#endif
}

QByteArray droppedNote(qint64 lines)
{
    return "[" + QByteArray::number(lines) + " lines not shown: the output was not read in time]\n";
}

} // namespace

ConsoleOutput::ConsoleOutput(int fd, qsizetype cap) : m_state(std::make_shared<State>())
{
    m_state->fd = fd;
    m_state->cap = cap;
    m_writer = std::thread(writeLoop, m_state);
}

ConsoleOutput::~ConsoleOutput()
{
    using Clock = std::chrono::steady_clock;
    State &s = *m_state;
    std::unique_lock<std::mutex> lock(s.mutex);
    if (s.unannounced > 0)
        s.queue += droppedNote(s.unannounced);
    s.closing = true;
    s.wake.notify_one();
    // A reader that keeps taking gets the rest; one that takes nothing for
    // a second, or dawdles past the longest linger, does not hold up the end.
    const Clock::time_point last = Clock::now() + std::chrono::milliseconds(longestLingerMs);
    while (!s.finished) {
        const qint64 before = s.written;
        const Clock::time_point until = std::min(last, Clock::now() + std::chrono::milliseconds(idleLingerMs));
        if (!s.progress.wait_until(lock, until, [&] { return s.finished || s.written != before; }))
            break;
        if (Clock::now() >= last)
            break;
    }
    const bool finished = s.finished;
    lock.unlock();
    if (finished)
        m_writer.join();
    else
        m_writer.detach(); // blocked in a write; the state lives on with it
}

void ConsoleOutput::line(const QByteArray &text)
{
    State &s = *m_state;
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.closing)
        return;
    if (s.queue.size() + s.inFlight + text.size() + 1 > s.cap) {
        ++s.unannounced;
        ++s.droppedTotal;
        return;
    }
    if (s.unannounced > 0) {
        s.queue += droppedNote(s.unannounced);
        s.unannounced = 0;
    }
    s.queue += text;
    s.queue += '\n';
    s.wake.notify_one();
}

qint64 ConsoleOutput::dropped() const
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->droppedTotal;
}

void ConsoleOutput::writeLoop(const std::shared_ptr<State> &state)
{
    State &s = *state;
    std::unique_lock<std::mutex> lock(s.mutex);
    for (;;) {
        s.wake.wait(lock, [&] { return !s.queue.isEmpty() || s.closing; });
        if (s.queue.isEmpty())
            break; // closing, and everything written
        QByteArray chunk;
        chunk.swap(s.queue);
        s.inFlight = chunk.size();
        qsizetype done = 0;
        while (done < chunk.size()) {
            lock.unlock();
            const qint64 n = writeSome(s.fd, chunk.constData() + done, chunk.size() - done);
            lock.lock();
            if (n <= 0)
                break;
            done += n;
            s.inFlight -= n;
            s.written += n;
            s.progress.notify_all();
        }
        s.inFlight = 0;
        if (done < chunk.size()) {
            // The descriptor refuses writes: these lines are lost to the
            // console, and said so if it ever takes text again.
            const qint64 lost = chunk.mid(done).count('\n');
            s.unannounced += lost;
            s.droppedTotal += lost;
        }
    }
    s.finished = true;
    s.progress.notify_all();
}
