// One RAS connection from RasDialA to RasHangUpA: the dial thread, the
// caller's notifier and the state that status queries read.
//
// The notifier is called only from the dial thread, one call at a time, in
// the order of the reports, and stops with the first terminal report
// (connected, disconnected or an error), as RAS does. RasHangUpA cancels
// the connection and joins the dial thread, so no notifier call can start
// after it returns.
#ifndef RASCONNECTION_H
#define RASCONNECTION_H

#include "DialBackend.h"
#include "ras.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class RasConnection : public std::enable_shared_from_this<RasConnection>
{
public:
    RasConnection(std::unique_ptr<DialBackend> backend, RASDIALFUNC notifier);
    ~RasConnection();
    RasConnection(const RasConnection &) = delete;
    RasConnection &operator=(const RasConnection &) = delete;

    // Caller's side. Starts the dial thread and waits up to acceptTimeoutMs
    // for the back-end's verdict: 0 when the dial is under way, otherwise
    // the refusal code. After a refusal the thread has ended, unless the
    // refused dial still holds its line (holdsLine()): then the caller owns
    // the connection and must hang it up.
    DWORD start(int acceptTimeoutMs);
    bool holdsLine() const;
    // Blocks until the dial has connected or failed; 0 when connected.
    DWORD waitFinished();
    // Cancels the dial, releases what it holds and joins the dial thread
    // (unless called from that very thread, i.e. from the notifier).
    void hangUp();
    void status(RASCONNSTATUSA *out);

    // Back-end's side (dial thread).
    void accepted();
    void refused(DWORD code);
    // Refused, but the device has taken the line: it stays held, without
    // notifications, until hung up.
    void refusedHoldingLine(DWORD code);
    void report(RASCONNSTATE state, DWORD error);
    void setDeviceName(const std::string &name);
    void setInterfaceName(const std::string &name);
    // Any thread: the link's network interface; empty while not known.
    std::string interfaceName() const;
    bool cancelled() const { return m_cancelled.load(); }
    // Sleeps until cancelled or timeoutMs elapsed (negative: no limit).
    // True when cancelled.
    bool waitCancelled(int timeoutMs);

    static bool isTerminal(RASCONNSTATE state, DWORD error);

private:
    enum class Verdict { Pending, Accepted, Refused };

    void cancel();
    void joinThread();

    std::unique_ptr<DialBackend> m_backend;
    const RASDIALFUNC m_notifier;

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    Verdict m_verdict = Verdict::Pending;
    DWORD m_refusal = 0;
    bool m_lineHeld = false;
    RASCONNSTATE m_state = RASCS_OpenPort;
    DWORD m_error = 0;
    bool m_finished = false; // a terminal report arrived; no more notifications
    std::string m_deviceName;
    std::string m_interfaceName;

    std::atomic<bool> m_cancelled{false};
    std::thread m_thread;
};

#endif // RASCONNECTION_H
