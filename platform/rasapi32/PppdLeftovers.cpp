#include "PppdLeftovers.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// Without a pid descriptor the end of a process is looked for this often.
constexpr int kGonePollMs = 50;
// After SIGKILL a process is gone at once; this only bounds a wait on a
// process the kernel cannot end (stuck in a driver).
constexpr int kKillWaitMs = 2000;

std::string readSmallFile(const std::string &path, size_t limit = 4096)
{
    std::string text;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return text;
    char buf[1024];
    while (text.size() < limit) {
        const ssize_t n = ::read(fd, buf, sizeof(buf));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        text.append(buf, size_t(n));
    }
    ::close(fd);
    return text.substr(0, limit);
}

// A process as /proc shows it; start is the kernel's start time in clock
// ticks, which tells a process from a later one given the same pid.
struct Process
{
    bool running = false;
    std::string start;
    std::string name;
    std::vector<std::string> args;
};

Process process(const std::string &procDir, long pid)
{
    Process p;
    if (pid <= 0)
        return p;
    const std::string dir = procDir + "/" + std::to_string(pid);
    const std::string stat = readSmallFile(dir + "/stat");
    // "pid (comm) state ppid ...": the name may hold blanks and brackets.
    const size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return p;
    std::vector<std::string> fields;
    size_t at = close + 1;
    while (at < stat.size()) {
        while (at < stat.size() && stat[at] == ' ')
            ++at;
        const size_t end = stat.find(' ', at);
        fields.push_back(stat.substr(at, end == std::string::npos ? std::string::npos : end - at));
        if (end == std::string::npos)
            break;
        at = end;
    }
    // fields[0] is the state (field 3), fields[19] the start time (field 22).
    if (fields.size() < 20 || fields[0] == "Z" || fields[0] == "X")
        return p;
    p.running = true;
    p.start = fields[19];
    p.name = readSmallFile(dir + "/comm");
    while (!p.name.empty() && p.name.back() == '\n')
        p.name.pop_back();
    const std::string cmdline = readSmallFile(dir + "/cmdline", 65536);
    for (size_t from = 0; from < cmdline.size();) {
        const size_t end = cmdline.find('\0', from);
        p.args.push_back(cmdline.substr(from, end == std::string::npos ? std::string::npos : end - from));
        if (end == std::string::npos)
            break;
        from = end + 1;
    }
    return p;
}

// pppd dialling the peer as a dial of ours starts it ("pppd call provider
// nodetach ..."; a script stand-in shows its interpreter first).
bool isOurPppd(const Process &p, const std::string &peer)
{
    if (!p.running || p.name != "pppd")
        return false;
    bool call = false, nodetach = false;
    for (size_t i = 0; i + 1 < p.args.size(); ++i)
        call = call || (p.args[i] == "call" && p.args[i + 1] == peer);
    for (const std::string &a : p.args)
        nodetach = nodetach || a == "nodetach";
    return call && nodetach;
}

long toPid(const std::string &text)
{
    char *end = nullptr;
    errno = 0;
    const long pid = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str() || pid <= 0)
        return 0;
    return pid;
}

struct PidFile
{
    std::string path;
    long pppd = 0;
    std::string pppdStart;
    long starter = 0;
    std::string starterStart;
    std::string peer;
};

// "pppd <pid> <start>\nstarter <pid> <start>\npeer <name>\n"; a file
// without the peer line was written before there was a choice of peers.
bool readPidFile(const std::string &path, PidFile *out)
{
    const std::string text = readSmallFile(path, 256);
    char a[32] = {0}, b[32] = {0}, peer[80] = {0};
    long pppd = 0, starter = 0;
    const int fields =
        std::sscanf(text.c_str(), "pppd %ld %31s starter %ld %31s peer %79s", &pppd, a, &starter, b, peer);
    if (fields < 4)
        return false;
    *out = PidFile{path, pppd, a, starter, b, fields == 5 ? std::string(peer) : std::string("provider")};
    return pppd > 0 && starter > 0;
}

std::vector<PidFile> pidFiles(const std::string &dir)
{
    std::vector<PidFile> files;
    DIR *d = ::opendir(dir.c_str());
    if (!d)
        return files;
    while (const dirent *e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name.compare(0, 5, "pppd.") != 0 || name.find(".tmp") != std::string::npos)
            continue;
        PidFile f;
        const std::string path = dir + "/" + name;
        if (readPidFile(path, &f))
            files.push_back(f);
        else
            ::unlink(path.c_str()); // cut short by a kill while it was written
    }
    ::closedir(d);
    return files;
}

std::string pidFilePath(const PppdLeftovers::Places &places, long pid)
{
    return places.pidDir + "/pppd." + std::to_string(pid);
}

// The folder exists, is ours and no one else may write into it.
bool usableFolder(const std::string &dir, bool create)
{
    if (dir.empty())
        return false;
    if (create && ::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat st;
    return ::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid()
           && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

int pidFd(long pid)
{
#ifdef SYS_pidfd_open
    const long fd = ::syscall(SYS_pidfd_open, pid_t(pid), 0);
    if (fd >= 0) {
        ::fcntl(int(fd), F_SETFD, FD_CLOEXEC);
        return int(fd);
    }
#endif
    return -1;
}

bool stillThere(const std::string &procDir, long pid, const std::string &start)
{
    const Process p = process(procDir, pid);
    return p.running && p.start == start;
}

// Waits up to ms for the process to end, blocking on its pid descriptor
// where the kernel has one.
bool waitGone(const std::string &procDir, long pid, const std::string &start, int fd, int ms)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (!stillThere(procDir, pid, start))
            return true;
        const long left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return false;
        if (fd >= 0) {
            pollfd p{fd, POLLIN, 0};
            ::poll(&p, 1, int(left));
        } else {
            ::poll(nullptr, 0, int(left < kGonePollMs ? left : kGonePollMs));
        }
    }
}

void sendSignal(int fd, long pid, int sig)
{
#ifdef SYS_pidfd_send_signal
    if (fd >= 0 && ::syscall(SYS_pidfd_send_signal, fd, sig, nullptr, 0) == 0)
        return;
#endif
    ::kill(pid_t(pid), sig);
}

bool endProcess(const std::string &procDir, long pid, const std::string &start, int graceMs)
{
    const int fd = pidFd(pid);
    // The start time was checked just before; the pid descriptor pins the
    // process from here on, so the signal cannot reach a newcomer.
    if (!stillThere(procDir, pid, start)) {
        if (fd >= 0)
            ::close(fd);
        return true;
    }
    // pppd hangs the modem up and removes its lock on SIGTERM.
    sendSignal(fd, pid, SIGTERM);
    bool gone = waitGone(procDir, pid, start, fd, graceMs);
    if (!gone) {
        // Its own process group: the connect script goes with it.
        ::kill(-pid_t(pid), SIGKILL);
        sendSignal(fd, pid, SIGKILL);
        gone = waitGone(procDir, pid, start, fd, kKillWaitMs);
    }
    if (fd >= 0)
        ::close(fd);
    return gone;
}

// The port named in the peer file: its first option line that is a path
// under /dev.
std::string peerDevice(const std::string &peerFile)
{
    const std::string text = readSmallFile(peerFile, 65536);
    size_t from = 0;
    while (from < text.size()) {
        size_t end = text.find('\n', from);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(from, end - from);
        from = end + 1;
        line = line.substr(0, line.find('#'));
        const size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos)
            continue;
        line = line.substr(first);
        line = line.substr(0, line.find_first_of(" \t\r"));
        if (line.compare(0, 5, "/dev/") == 0)
            return line;
    }
    return std::string();
}

std::string baseName(const std::string &path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

PppdLeftovers::Places PppdLeftovers::defaultPlaces(const std::string &peer)
{
    Places places;
    places.pidDir = "/tmp/trevalo-" + std::to_string(::geteuid());
    places.peer = peer;
    places.peerFile = "/etc/ppp/peers/" + peer;
    return places;
}

bool PppdLeftovers::remember(const Places &places, long pid)
{
    if (!usableFolder(places.pidDir, true))
        return false;
    const Process pppd = process(places.procDir, pid);
    const Process self = process(places.procDir, long(::getpid()));
    if (!pppd.running || !self.running)
        return false;
    const std::string text = "pppd " + std::to_string(pid) + " " + pppd.start + "\nstarter "
                             + std::to_string(::getpid()) + " " + self.start + "\npeer " + places.peer + "\n";
    // Written aside and renamed, so a sweep never reads half a file.
    const std::string path = pidFilePath(places, pid);
    const std::string tmp = path + ".tmp";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return false;
    const bool written = ::write(fd, text.data(), text.size()) == ssize_t(text.size());
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || ::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

void PppdLeftovers::forget(const Places &places, long pid)
{
    if (!places.pidDir.empty())
        ::unlink(pidFilePath(places, pid).c_str());
}

std::vector<PppdLeftovers::Finding> PppdLeftovers::sweep(const Places &places, int graceMs)
{
    std::vector<Finding> found;
    std::vector<PidFile> running; // pppds of dials whose process still runs
    if (usableFolder(places.pidDir, false)) {
        for (const PidFile &f : pidFiles(places.pidDir)) {
            const Process pppd = process(places.procDir, f.pppd);
            if (!pppd.running || pppd.start != f.pppdStart) {
                ::unlink(f.path.c_str()); // ended long ago; the pid may be another's now
                continue;
            }
            if (stillThere(places.procDir, f.starter, f.starterStart)) {
                running.push_back(f);
                continue;
            }
            if (f.peer != places.peer)
                continue; // another modem's: left to the next dial of its peer
            if (!isOurPppd(pppd, places.peer)) {
                ::unlink(f.path.c_str());
                continue;
            }
            Finding finding;
            finding.pid = f.pppd;
            finding.ended = endProcess(places.procDir, f.pppd, f.pppdStart, graceMs);
            const std::string what = "pppd (pid " + std::to_string(f.pppd) + ") left running by trevalo (pid "
                                     + std::to_string(f.starter) + "), which ended without hanging up";
            finding.text = finding.ended ? "Ended " + what : "Could not end " + what;
            if (finding.ended)
                ::unlink(f.path.c_str());
            found.push_back(finding);
        }
    }

    // Whoever holds the port's lock now, when it is not a leftover just ended.
    const std::string device = peerDevice(places.peerFile);
    if (device.empty())
        return found;
    const std::string lock = readSmallFile(places.lockDir + "/LCK.." + baseName(device), 64);
    // pppd writes the pid as text, padded with blanks, as other serial
    // programs do.
    const long holder = toPid(lock);
    const Process p = process(places.procDir, holder);
    if (!p.running)
        return found; // no lock, or a stale one: pppd takes that over itself
    for (const Finding &f : found) {
        if (f.pid == holder && f.ended)
            return found;
    }
    Finding finding;
    finding.pid = holder;
    for (const PidFile &f : running) {
        if (f.pppd == holder) {
            finding.text = device + " is in use by pppd (pid " + std::to_string(holder)
                           + ") of a trevalo that is still dialling (pid " + std::to_string(f.starter) + ")";
            found.push_back(finding);
            return found;
        }
    }
    finding.text = device + " is locked by " + (p.name.empty() ? std::string("a process") : p.name) + " (pid "
                   + std::to_string(holder) + "), which trevalo did not start: left alone";
    found.push_back(finding);
    return found;
}
