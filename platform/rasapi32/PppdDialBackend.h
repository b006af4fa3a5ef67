// Dials through pppd: "pppd call provider nodetach ..." with a chat connect
// script dialling the number, followed through pppd's log on its stdout and
// its exit status. Hanging up ends pppd with SIGTERM, then SIGKILL.
#ifndef PPPDDIALBACKEND_H
#define PPPDDIALBACKEND_H

#include "DialBackend.h"
#include "DialRequest.h"
#include "PppdProgress.h"

#include <sys/types.h>


class PppdDialBackend : public DialBackend
{
public:
    // How long pppd gets to close the link after SIGTERM, and to exit on its
    // own after it reported a failure, before it is killed.
    static constexpr int kTerminateGraceMs = 5000;

    explicit PppdDialBackend(DialRequest request);
    ~PppdDialBackend() override;

    void run(RasConnection &connection) override;
    void wake() override;

private:
    bool spawn(pid_t *pid, int *outFd);
    void apply(RasConnection &connection, PppdProgress &progress,
               const std::vector<PppdProgress::Report> &reports) const;
    // Waits up to timeoutMs for pid to exit; true with *status when it did.
    bool waitExit(pid_t pid, int pidFd, int timeoutMs, int *status) const;
    void terminate(pid_t pid, int pidFd) const;

    const DialRequest m_request;
    int m_wake[2] = {-1, -1};
};

#endif // PPPDDIALBACKEND_H
