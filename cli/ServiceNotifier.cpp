#include "ServiceNotifier.h"

#include <cstdio>

#if defined(Q_OS_LINUX)
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

ServiceNotifier::ServiceNotifier(QObject *parent) : QObject(parent)
{
#if defined(Q_OS_LINUX)
    const QByteArray address = qgetenv("NOTIFY_SOCKET");
    const QByteArray usec = qgetenv("WATCHDOG_USEC");
    const QByteArray pid = qgetenv("WATCHDOG_PID");
    for (const char *name : {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"})
        qunsetenv(name);

    // Only a path or an abstract name; anything longer than a socket
    // address can hold is no address at all.
    if (address.size() < 2 || (address[0] != '/' && address[0] != '@')
        || size_t(address.size()) >= sizeof(sockaddr_un::sun_path))
        return;
    m_socket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_socket < 0)
        return;
    m_address = address;

    bool ok = false;
    const qint64 allowedUs = usec.toLongLong(&ok);
    // A watchdog set for another process (the manager names the one it watches).
    if (!pid.isEmpty() && pid.toLongLong() != qint64(::getpid()))
        ok = false;
    if (ok && allowedUs > 0) {
        m_watchdog.setTimerType(Qt::CoarseTimer);
        m_watchdog.setInterval(int(qBound<qint64>(qint64(1), allowedUs / 2000, qint64(24) * 3600 * 1000)));
        // From the event loop: a loop that hangs stops the pings, and the
        // manager ends the run and starts it again.
        connect(&m_watchdog, &QTimer::timeout, this, [this] { send(QByteArrayLiteral("WATCHDOG=1")); });
        m_watchdog.start();
    }
#endif
}

ServiceNotifier::~ServiceNotifier()
{
#if defined(Q_OS_LINUX)
    if (m_socket >= 0)
        ::close(m_socket);
#endif
}

void ServiceNotifier::ready(const QString &status)
{
    QByteArray message = QByteArrayLiteral("READY=1");
    if (!status.isEmpty())
        message += QByteArrayLiteral("\nSTATUS=") + status.toUtf8();
    send(message);
}

void ServiceNotifier::stopping()
{
    // The end of a run by its limits and a signal that comes during it say it once.
    if (m_stopping)
        return;
    m_stopping = true;
    send(QByteArrayLiteral("STOPPING=1"));
}

void ServiceNotifier::send(const QByteArray &message)
{
#if defined(Q_OS_LINUX)
    if (m_socket < 0)
        return;
    sockaddr_un to{};
    to.sun_family = AF_UNIX;
    std::memcpy(to.sun_path, m_address.constData(), size_t(m_address.size()));
    if (to.sun_path[0] == '@')
        to.sun_path[0] = '\0';
    const socklen_t length = socklen_t(offsetof(sockaddr_un, sun_path) + size_t(m_address.size()));
    // Never waits: a manager that does not read must not hold up the run.
    ssize_t sent;
    do
        sent = ::sendto(m_socket, message.constData(), size_t(message.size()), MSG_DONTWAIT | MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr *>(&to), length);
    while (sent < 0 && errno == EINTR);
    if (sent == qint64(message.size())) {
        if (m_failed) {
            m_failed = false;
            std::fprintf(stderr, "trevalo-run: the service manager hears the runner again\n");
        }
        return;
    }
    if (!m_failed) {
        m_failed = true;
        std::fprintf(stderr, "trevalo-run: cannot reach the service manager at %s: %s\n", m_address.constData(),
                     std::strerror(sent < 0 ? errno : EMSGSIZE));
    }
#else
    Q_UNUSED(message);
#endif
}
