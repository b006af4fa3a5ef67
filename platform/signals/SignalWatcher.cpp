#include "SignalWatcher.h"

#include <QSocketNotifier>

#ifdef Q_OS_WIN

// A Windows GUI program is ended through its window; nothing to watch.
SignalWatcher::SignalWatcher(QObject *parent) : QObject(parent) {}
SignalWatcher::~SignalWatcher() = default;
bool SignalWatcher::install() { return false; }
void SignalWatcher::onReadable() {}

#else

#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace {
// The only state the handler touches: written once before the handlers go in.
int g_pipe[2] = {-1, -1};

void onSignal(int sig)
{
    const unsigned char b = static_cast<unsigned char>(sig);
    const ssize_t rc = ::write(g_pipe[0], &b, 1);
    (void)rc; // nothing a handler could do about a full pipe
}
} // namespace

SignalWatcher::SignalWatcher(QObject *parent) : QObject(parent) {}

SignalWatcher::~SignalWatcher()
{
    for (const int sig : std::as_const(m_watched))
        ::signal(sig, SIG_DFL);
}

bool SignalWatcher::install()
{
    if (g_pipe[0] < 0) {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_pipe) != 0)
            return false;
        ::fcntl(g_pipe[0], F_SETFL, ::fcntl(g_pipe[0], F_GETFL) | O_NONBLOCK);
    }
    m_notifier = new QSocketNotifier(g_pipe[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SignalWatcher::onReadable);

    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
        // A signal ignored when the program started stays ignored: nohup
        // ignores SIGHUP so that a run outlives the login it came from.
        struct sigaction before {};
        if (::sigaction(sig, nullptr, &before) == 0 && before.sa_handler == SIG_IGN)
            continue;
        if (::sigaction(sig, &sa, nullptr) == 0 && !m_watched.contains(sig))
            m_watched.append(sig);
    }
    // A peer that vanishes mid-write must not take the process down.
    ::signal(SIGPIPE, SIG_IGN);
    return true;
}

void SignalWatcher::onReadable()
{
    unsigned char b = 0;
    if (::read(g_pipe[1], &b, 1) == 1)
        emit terminationRequested(int(b));
}

#endif // Q_OS_WIN
