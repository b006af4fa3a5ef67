// The runner's standard output or error, written by a thread of its own so
// that a reader who does not keep up (a pipe nobody reads, a stopped
// terminal, a stalled ssh session) never holds up the run or a Stop. What
// waits for the reader is bounded: past the cap, lines are dropped and a
// note says how many before the next line that gets through. Only the
// console loses lines this way; the files never do.
#ifndef CONSOLEOUTPUT_H
#define CONSOLEOUTPUT_H

#include <QByteArray>

#include <memory>
#include <thread>

class ConsoleOutput
{
public:
    // Bytes waiting for the reader before lines are dropped: several
    // seconds of the fastest case's log.
    static constexpr qsizetype defaultCap = 256 * 1024;
    // At the end, how long the writer may go without a reader taking
    // anything, and how long it may take in all, before what is left is
    // abandoned and the program ends anyway.
    static constexpr int idleLingerMs = 1000;
    static constexpr int longestLingerMs = 10000;

    // fd: 1 for standard output, 2 for standard error.
    explicit ConsoleOutput(int fd, qsizetype cap = defaultCap);
    // Gives the reader the rest within the linger limits; a writer still
    // stuck in a write is left behind and ends with the process.
    ~ConsoleOutput();
    ConsoleOutput(const ConsoleOutput &) = delete;
    ConsoleOutput &operator=(const ConsoleOutput &) = delete;

    // Queues text and a line feed; never waits for the reader.
    void line(const QByteArray &text);
    // Lines dropped so far because the reader did not take them.
    qint64 dropped() const;

private:
    struct State;
    static void writeLoop(const std::shared_ptr<State> &state);

    // Shared with the writer thread, which may outlive this object.
    std::shared_ptr<State> m_state;
    std::thread m_writer;
};

#endif // CONSOLEOUTPUT_H
