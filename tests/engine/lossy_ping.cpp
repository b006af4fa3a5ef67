// Runs a ping inside a private network namespace whose loopback loses one
// reply: the kernel's own echo replies are switched off there, and this
// program answers every echo request but the DROP-th itself.
//
//   lossy-ping --check              exit 0 when this machine allows it
//   lossy-ping DROP PING [ARG...]   runs PING ARG..., exits with its status
//
// All traffic stays inside the namespace, which ends with the program.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

bool bringLoopbackUp()
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ::ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
    ok = ok && ::ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    ::close(fd);
    return ok;
}

bool kernelRepliesOff()
{
    const int fd = ::open("/proc/sys/net/ipv4/icmp_echo_ignore_all", O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, "1", 1) == 1;
    ::close(fd);
    return ok;
}

// A private namespace with loopback up and a raw socket that sees its echo
// requests; -1 when the machine does not allow it.
int privateLoopback()
{
    if (::unshare(CLONE_NEWNET) != 0 || !bringLoopbackUp() || !kernelRepliesOff())
        return -1;
    return ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
}

unsigned short checksum(const unsigned char *data, size_t size)
{
    unsigned long sum = 0;
    for (size_t i = 0; i + 1 < size; i += 2)
        sum += (unsigned(data[i]) << 8) | data[i + 1];
    if (size % 2)
        sum += unsigned(data[size - 1]) << 8;
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return htons(static_cast<unsigned short>(~sum));
}

// Answers one echo request read from the raw socket, unless it is the one
// to drop. Everything else (our own replies, other ICMP) is ignored.
void answer(int raw, int dropAt, int *requests)
{
    unsigned char packet[65536];
    sockaddr_in from{};
    socklen_t fromLen = sizeof from;
    const ssize_t n = ::recvfrom(raw, packet, sizeof packet, 0, reinterpret_cast<sockaddr *>(&from), &fromLen);
    if (n < int(sizeof(ip)))
        return;
    const size_t headerLen = size_t(reinterpret_cast<const ip *>(packet)->ip_hl) * 4;
    if (size_t(n) < headerLen + 8)
        return;
    unsigned char *icmp = packet + headerLen;
    const size_t icmpLen = size_t(n) - headerLen;
    if (icmp[0] != ICMP_ECHO)
        return;
    if (++*requests == dropAt)
        return;
    icmp[0] = ICMP_ECHOREPLY;
    icmp[1] = 0;
    icmp[2] = icmp[3] = 0;
    const unsigned short sum = checksum(icmp, icmpLen);
    std::memcpy(icmp + 2, &sum, 2);
    ::sendto(raw, icmp, icmpLen, 0, reinterpret_cast<sockaddr *>(&from), fromLen);
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc == 2 && std::strcmp(argv[1], "--check") == 0)
        return privateLoopback() >= 0 ? 0 : 1;
    if (argc < 3) {
        std::fprintf(stderr, "usage: lossy-ping --check | lossy-ping DROP PING [ARG...]\n");
        return 2;
    }
    const int dropAt = std::atoi(argv[1]);
    const int raw = privateLoopback();
    if (raw < 0) {
        std::fprintf(stderr, "lossy-ping: no private network namespace here: %s\n", std::strerror(errno));
        return 2;
    }

    const pid_t child = ::fork();
    if (child < 0)
        return 2;
    if (child == 0) {
        ::execvp(argv[2], argv + 2);
        std::perror("lossy-ping: exec");
        ::_exit(127);
    }

    // Wakes on a request or on the ping's end, never on a timer.
    const int childFd = int(::syscall(SYS_pidfd_open, child, 0));
    int requests = 0;
    for (;;) {
        pollfd fds[2] = {{raw, POLLIN, 0}, {childFd, POLLIN, 0}};
        const int ready = ::poll(fds, childFd >= 0 ? 2 : 1, childFd >= 0 ? -1 : 100);
        if (ready < 0 && errno != EINTR)
            break;
        if (ready > 0 && (fds[0].revents & POLLIN))
            answer(raw, dropAt, &requests);
        int status = 0;
        if (::waitpid(child, &status, WNOHANG) == child)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 2;
}
