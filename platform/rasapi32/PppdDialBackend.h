// Dials through pppd: "pppd call provider nodetach ..." with a chat connect
// script dialling the number, followed through pppd's log on its stdout and
// its exit status. Hanging up ends pppd with SIGTERM, then SIGKILL. When a
// dial fails, pppd's last lines go to the "trevalo.pppd" log category, and
// its last word (its own reason) becomes the text of the dial's error code.
#ifndef PPPDDIALBACKEND_H
#define PPPDDIALBACKEND_H

#include "DialBackend.h"
#include "DialRequest.h"
#include "PppdProgress.h"

#include <deque>
#include <string>
#include <sys/types.h>


class PppdDialBackend : public DialBackend
{
public:
    // How long pppd gets to close the link after SIGTERM, and to exit on its
    // own after it reported a failure, before it is killed.
    static constexpr int kTerminateGraceMs = 5000;
    // How much of pppd's output is kept for the failure report.
    static constexpr size_t kReasonLines = 6;
    static constexpr size_t kReasonLineChars = 300;

    explicit PppdDialBackend(DialRequest request);
    ~PppdDialBackend() override;

    void run(RasConnection &connection) override;
    void wake() override;

private:
    // False with the reason in *why when pppd cannot be started.
    bool spawn(pid_t *pid, int *outFd, std::string *why);
    // exitStatus: the waitpid status when the reports come from pppd's
    // exit, -1 otherwise.
    void apply(RasConnection &connection, PppdProgress &progress,
               const std::vector<PppdProgress::Report> &reports, int exitStatus = -1);
    void keepLine(const std::string &line);
    void logReason(int exitStatus) const;
    // pppd's last line and, when known, how it ended: the error's text.
    std::string reason(int exitStatus) const;
    // Waits up to timeoutMs for pid to exit; true with *status when it did.
    bool waitExit(pid_t pid, int pidFd, int timeoutMs, int *status) const;
    void terminate(pid_t pid, int pidFd) const;

    const DialRequest m_request;
    int m_wake[2] = {-1, -1};
    std::deque<std::string> m_tail; // pppd's last lines
    bool m_reasonLogged = false;
};

#endif // PPPDDIALBACKEND_H
