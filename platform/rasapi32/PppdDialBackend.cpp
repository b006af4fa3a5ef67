#include "PppdDialBackend.h"

#include "PppdLeftovers.h"
#include "RasConnection.h"
#include "RasErrorText.h"
#include "SystemProgram.h"

#include <QLoggingCategory>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

Q_LOGGING_CATEGORY(lcPppd, "trevalo.pppd")

namespace {

void closeFd(int &fd)
{
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

// A descriptor that becomes readable when pid exits, so the wait needs no
// polling; -1 where the kernel offers none.
int openPidFd(pid_t pid)
{
#ifdef SYS_pidfd_open
    const long fd = ::syscall(SYS_pidfd_open, pid, 0);
    if (fd >= 0) {
        ::fcntl(int(fd), F_SETFD, FD_CLOEXEC);
        return int(fd);
    }
#else
    (void)pid;
#endif
    return -1;
}

// Without a pid descriptor the exit is looked for this often.
constexpr int kExitPollMs = 100;

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? int(left) : 0;
}

} // namespace

PppdDialBackend::PppdDialBackend(DialRequest request) : m_request(std::move(request))
{
    if (::pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0)
        m_wake[0] = m_wake[1] = -1;
}

PppdDialBackend::~PppdDialBackend()
{
    closeFd(m_wake[0]);
    closeFd(m_wake[1]);
}

void PppdDialBackend::wake()
{
    if (m_wake[1] >= 0) {
        const char byte = 1;
        (void)!::write(m_wake[1], &byte, 1);
    }
}

bool PppdDialBackend::spawn(pid_t *pid, int *outFd, std::string *why)
{
    // Found as the set-up check finds it: a plain login's PATH has no
    // /usr/sbin.
    const std::string program = SystemProgram::find("pppd");
    if (program.empty()) {
        *why = "pppd cannot be started (is the ppp package installed?)";
        return false;
    }
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        *why = "pppd cannot be started: " + std::string(std::strerror(errno));
        return false;
    }

    const std::vector<std::string> args = m_request.pppdArguments();
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);

    // Its own process group, so a kill reaches the connect script too; and
    // the signal state of a fresh program, whatever the caller blocked.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK
                                        | POSIX_SPAWN_SETSIGDEF);

    const int rc = ::posix_spawn(pid, program.c_str(), &actions, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (rc != 0) {
        ::close(out[0]);
        // Permission denied: trevalo-run --check names the group to join.
        *why = "pppd cannot be started: " + program + ": " + std::strerror(rc);
        return false;
    }
    *outFd = out[0];
    return true;
}

void PppdDialBackend::apply(RasConnection &connection, PppdProgress &progress,
                            const std::vector<PppdProgress::Report> &reports, int exitStatus)
{
    if (!progress.device().empty())
        connection.setDeviceName(progress.device());
    if (!progress.interfaceName().empty())
        connection.setInterfaceName(progress.interfaceName());
    for (const PppdProgress::Report &r : reports) {
        // Logged before the report, so whoever hears of the failure can
        // already read why.
        if (r.error != 0 && !m_reasonLogged) {
            m_reasonLogged = true;
            logReason(exitStatus);
            RasErrorText::note(r.error, reason(exitStatus));
        }
        connection.report(r.state, r.error);
    }
}

void PppdDialBackend::keepLine(const std::string &line)
{
    std::string text = line.substr(0, kReasonLineChars);
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    if (text.empty())
        return;
    m_tail.push_back(std::move(text));
    if (m_tail.size() > kReasonLines)
        m_tail.pop_front();
}

void PppdDialBackend::logReason(int exitStatus) const
{
    for (const std::string &line : m_tail)
        qCWarning(lcPppd, "pppd: %s", line.c_str());
    if (exitStatus < 0)
        return;
    if (WIFEXITED(exitStatus))
        qCWarning(lcPppd, "pppd: exit status %d", WEXITSTATUS(exitStatus));
    else if (WIFSIGNALED(exitStatus))
        qCWarning(lcPppd, "pppd: ended by signal %d", WTERMSIG(exitStatus));
}

std::string PppdDialBackend::reason(int exitStatus) const
{
    std::string text = "pppd";
    if (!m_tail.empty()) {
        // Its messages on standard error name it already.
        const std::string &last = m_tail.back();
        text = last.compare(0, 5, "pppd:") == 0 ? last : text + ": " + last;
    }
    if (exitStatus >= 0 && WIFEXITED(exitStatus))
        text += " (exit status " + std::to_string(WEXITSTATUS(exitStatus)) + ")";
    else if (exitStatus >= 0 && WIFSIGNALED(exitStatus))
        text += " (ended by signal " + std::to_string(WTERMSIG(exitStatus)) + ")";
    return text;
}

bool PppdDialBackend::waitExit(pid_t pid, int pidFd, int timeoutMs, int *status) const
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const pid_t r = ::waitpid(pid, status, WNOHANG);
        if (r == pid)
            return true;
        if (r < 0 && errno != EINTR) {
            // Someone else reaped it: it is gone all the same.
            *status = 0;
            return true;
        }
        const int left = msLeft(deadline);
        if (left <= 0)
            return false;
        if (pidFd >= 0) {
            pollfd p{pidFd, POLLIN, 0};
            ::poll(&p, 1, left);
        } else {
            ::poll(nullptr, 0, left < kExitPollMs ? left : kExitPollMs);
        }
    }
}

void PppdDialBackend::terminate(pid_t pid, int pidFd) const
{
    int status = 0;
    if (waitExit(pid, pidFd, 0, &status))
        return;
    // pppd closes the link and runs its disconnect script on SIGTERM.
    ::kill(pid, SIGTERM);
    if (waitExit(pid, pidFd, kTerminateGraceMs, &status))
        return;
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

void PppdDialBackend::run(RasConnection &connection)
{
    pid_t pid = -1;
    int outFd = -1;
    std::string why = "pppd cannot be started: no resources";
    if (m_wake[0] < 0 || !spawn(&pid, &outFd, &why)) {
        // No pppd, one this user may not run, or no resources to start it.
        RasErrorText::note(ERROR_PORT_NOT_AVAILABLE, why);
        connection.refused(ERROR_PORT_NOT_AVAILABLE);
        return;
    }
    // Should this process be killed outright, the next dial knows this
    // pppd for ours and ends it.
    const PppdLeftovers::Places places = PppdLeftovers::defaultPlaces(m_request.peer());
    PppdLeftovers::remember(places, long(pid));
    int pidFd = openPidFd(pid);
    connection.setDeviceName("pppd");
    connection.accepted();

    PppdProgress progress;
    apply(connection, progress, progress.started());

    std::string pending;
    bool exited = false;
    int status = 0;
    Clock::time_point lingerDeadline{};
    bool lingering = false;

    while (!connection.cancelled() && !exited) {
        if (progress.ended() && !lingering) {
            // A failed pppd exits on its own; one that lingers is ended.
            lingering = true;
            lingerDeadline = Clock::now() + std::chrono::milliseconds(kTerminateGraceMs);
        }
        if (lingering && msLeft(lingerDeadline) == 0)
            break;

        pollfd fds[3];
        nfds_t n = 0;
        fds[n++] = {m_wake[0], POLLIN, 0};
        const int outIndex = outFd >= 0 ? int(n) : -1;
        if (outFd >= 0)
            fds[n++] = {outFd, POLLIN, 0};
        if (pidFd >= 0)
            fds[n++] = {pidFd, POLLIN, 0};
        int timeout = pidFd >= 0 ? -1 : kExitPollMs;
        if (lingering) {
            const int left = msLeft(lingerDeadline);
            timeout = timeout < 0 || left < timeout ? left : timeout;
        }
        const int rc = ::poll(fds, n, timeout);
        if (rc < 0 && errno != EINTR)
            break;

        if (fds[0].revents & POLLIN) {
            char drain[64];
            while (::read(m_wake[0], drain, sizeof(drain)) > 0) {
            }
        }
        if (outIndex >= 0 && fds[outIndex].revents) {
            char chunk[4096];
            const ssize_t got = ::read(outFd, chunk, sizeof(chunk));
            if (got > 0) {
                pending.append(chunk, size_t(got));
                size_t nl;
                while ((nl = pending.find('\n')) != std::string::npos) {
                    const std::string line = pending.substr(0, nl);
                    pending.erase(0, nl + 1);
                    keepLine(line);
                    if (!connection.cancelled())
                        apply(connection, progress, progress.line(line));
                }
                // A runaway line without an end is not one of pppd's.
                if (pending.size() > 65536)
                    pending.clear();
            } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
                closeFd(outFd);
            }
            continue; // read everything pppd printed before looking at its exit
        }
        exited = waitExit(pid, pidFd, 0, &status);
    }

    const bool hangUp = connection.cancelled();
    if (!exited)
        terminate(pid, pidFd);
    if (!hangUp) {
        if (!pending.empty()) {
            keepLine(pending);
            apply(connection, progress, progress.line(pending));
        }
        apply(connection, progress, progress.exited(status, false), exited ? status : -1);
    }

    closeFd(outFd);
    closeFd(pidFd);
    PppdLeftovers::forget(places, long(pid));
}
