#include "BenchClient.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QLocalSocket>

#ifndef Q_OS_WIN
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

namespace {

// A reply line longer than this is not one the bench sends; stop reading.
constexpr int kMaxLine = 4 * 1024 * 1024;
// bench.json is a few hundred bytes; a file this large is not the bench's.
constexpr qint64 kMaxInfo = 1024 * 1024;

QJsonObject failure(const QString &text)
{
    return QJsonObject{{QStringLiteral("ok"), false}, {QStringLiteral("error"), text}};
}

QByteArray encode(const QJsonObject &msg)
{
    return QJsonDocument(msg).toJson(QJsonDocument::Compact) + '\n';
}

// Takes one complete line off the front of buf; false when none is complete.
bool takeLine(QByteArray &buf, QByteArray &line)
{
    const int nl = buf.indexOf('\n');
    if (nl < 0)
        return false;
    line = buf.left(nl);
    buf.remove(0, nl + 1);
    return true;
}

QJsonObject decode(const QByteArray &line, bool *valid)
{
    QJsonParseError err{};
    const QJsonDocument doc = QJsonDocument::fromJson(line, &err);
    *valid = err.error == QJsonParseError::NoError && doc.isObject();
    return *valid ? doc.object() : QJsonObject();
}

#ifndef Q_OS_WIN

int remainingMs(const QDeadlineTimer &deadline)
{
    const qint64 left = deadline.remainingTime();
    if (left < 0)
        return -1; // forever
    return int(qMin<qint64>(left, 1 << 30));
}

// Waits for events on fd; false on timeout or failure.
bool waitFd(int fd, short events, const QDeadlineTimer &deadline)
{
    for (;;) {
        pollfd p{fd, events, 0};
        const int rc = ::poll(&p, 1, remainingMs(deadline));
        if (rc > 0)
            return true;
        if (rc == 0)
            return false;
        if (errno != EINTR)
            return false;
    }
}

int connectUnix(const QString &path, const QDeadlineTimer &deadline, QString *error)
{
    const QByteArray native = QFile::encodeName(path);
    sockaddr_un addr{};
    if (native.isEmpty() || size_t(native.size()) >= sizeof(addr.sun_path)) {
        *error = QStringLiteral("bad control socket path");
        return -1;
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, native.constData(), size_t(native.size()));

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return -1;
    }
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof(addr));
    } while (rc < 0 && errno == EINTR);
    if (rc < 0 && (errno == EINPROGRESS || errno == EAGAIN)) {
        // The listener's backlog is full: wait for it to make room.
        if (waitFd(fd, POLLOUT, deadline)) {
            int soerr = 0;
            socklen_t len = sizeof(soerr);
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &len);
            rc = soerr == 0 ? 0 : -1;
            errno = soerr;
        } else {
            errno = ETIMEDOUT;
        }
    }
    if (rc < 0) {
        *error = QStringLiteral("cannot connect to the bench: %1")
                     .arg(QString::fromLocal8Bit(std::strerror(errno)));
        ::close(fd);
        return -1;
    }
    return fd;
}

bool writeAll(int fd, const QByteArray &data, const QDeadlineTimer &deadline)
{
    const char *p = data.constData();
    qsizetype left = data.size();
    while (left > 0) {
        const ssize_t n = ::send(fd, p, size_t(left), MSG_NOSIGNAL);
        if (n > 0) {
            p += n;
            left -= n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!waitFd(fd, POLLOUT, deadline))
                return false;
            continue;
        }
        return false;
    }
    return true;
}

// Reads until buf holds a complete line. 1: a line is there, 0: timeout,
// -1: the connection closed or failed.
int readLine(int fd, QByteArray &buf, const QDeadlineTimer &deadline)
{
    char chunk[4096];
    while (buf.indexOf('\n') < 0) {
        if (buf.size() > kMaxLine)
            return -1;
        const ssize_t n = ::recv(fd, chunk, sizeof(chunk), 0);
        if (n > 0) {
            buf.append(chunk, n);
            continue;
        }
        if (n == 0)
            return -1;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return -1;
        if (!waitFd(fd, POLLIN, deadline))
            return deadline.hasExpired() ? 0 : -1;
    }
    return 1;
}

#endif

} // namespace

QString BenchClient::runtimeDir()
{
    return QString::fromLocal8Bit(qgetenv("TREVALO_BENCH"));
}

QJsonObject BenchClient::info()
{
    const QString dir = runtimeDir();
    if (dir.isEmpty())
        return {};
    QFile file(QDir(dir).filePath(QStringLiteral("bench.json")));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    // Read at every dial and relay call: only what the file holds, not a
    // fixed megabyte each time.
    if (file.size() > kMaxInfo)
        return {};
    bool valid = false;
    const QJsonObject obj = decode(file.readAll(), &valid);
    return valid ? obj : QJsonObject();
}

bool BenchClient::isAvailable()
{
    return !info().isEmpty();
}

QString BenchClient::atPortPath()
{
    return info().value(QStringLiteral("atPort")).toString();
}

QString BenchClient::atLinkPath()
{
    return info().value(QStringLiteral("atLink")).toString();
}

QString BenchClient::controlPath()
{
    const QJsonObject obj = info();
    if (obj.isEmpty())
        return {};
    const QString path = obj.value(QStringLiteral("control")).toString();
    return path.isEmpty() ? QDir(runtimeDir()).filePath(QStringLiteral("control.sock")) : path;
}

QJsonObject BenchClient::request(const QJsonObject &req, int timeoutMs)
{
    const QString path = controlPath();
    if (path.isEmpty())
        return failure(QStringLiteral("no bench"));
    return requestAt(path, req, timeoutMs);
}

QJsonObject BenchClient::requestAt(const QString &socketPath, const QJsonObject &req,
                                   int timeoutMs)
{
    const QDeadlineTimer deadline(qMax(0, timeoutMs));
    BenchSession session;
    if (!session.openAt(socketPath, timeoutMs))
        return failure(QStringLiteral("cannot connect to the bench"));
    if (!session.send(req))
        return failure(QStringLiteral("cannot send to the bench"));
    // The session may carry events of earlier requests on a lasting
    // connection; a fresh one carries only the reply.
    const QJsonObject reply = session.next(int(qMax<qint64>(0, deadline.remainingTime())));
    if (reply.isEmpty())
        return failure(QStringLiteral("no reply from the bench"));
    return reply;
}

BenchSession::BenchSession() = default;

BenchSession::~BenchSession()
{
    close();
}

bool BenchSession::open(int timeoutMs)
{
    const QString path = BenchClient::controlPath();
    if (path.isEmpty())
        return false;
    return openAt(path, timeoutMs);
}

bool BenchSession::openAt(const QString &socketPath, int timeoutMs)
{
    close();
#ifdef Q_OS_WIN
    m_socket = std::make_unique<QLocalSocket>();
    m_socket->connectToServer(socketPath);
    if (!m_socket->waitForConnected(timeoutMs)) {
        m_socket.reset();
        return false;
    }
    return true;
#else
    QString error;
    m_fd = connectUnix(socketPath, QDeadlineTimer(timeoutMs), &error);
    return m_fd >= 0;
#endif
}

bool BenchSession::isOpen() const
{
#ifdef Q_OS_WIN
    return m_socket && m_socket->state() == QLocalSocket::ConnectedState;
#else
    return m_fd >= 0;
#endif
}

bool BenchSession::send(const QJsonObject &msg)
{
    if (!isOpen())
        return false;
    const QByteArray data = encode(msg);
#ifdef Q_OS_WIN
    m_socket->write(data);
    while (m_socket->bytesToWrite() > 0) {
        if (!m_socket->waitForBytesWritten(3000))
            return false;
    }
    return true;
#else
    if (!writeAll(m_fd, data, QDeadlineTimer(3000))) {
        close();
        return false;
    }
    return true;
#endif
}

QJsonObject BenchSession::next(int timeoutMs)
{
    const QDeadlineTimer deadline(qMax(0, timeoutMs));
    for (;;) {
        QJsonObject obj;
        if (takeMessage(m_pending, &obj))
            return obj;
        if (!isOpen())
            return {};
#ifdef Q_OS_WIN
        if (!m_socket->waitForReadyRead(int(qMax<qint64>(0, deadline.remainingTime())))) {
            if (m_socket->state() != QLocalSocket::ConnectedState)
                close();
            return {};
        }
        m_pending.append(m_socket->readAll());
        if (m_pending.size() > kMaxLine) {
            close();
            return {};
        }
#else
        const int rc = readLine(m_fd, m_pending, deadline);
        if (rc < 0) {
            // Keep what arrived before the close: complete lines are still handed out.
            ::close(m_fd);
            m_fd = -1;
            if (m_pending.indexOf('\n') < 0)
                return {};
        } else if (rc == 0) {
            return {};
        }
#endif
    }
}

bool BenchSession::takeMessage(QByteArray &pending, QJsonObject *message)
{
    QByteArray line;
    while (takeLine(pending, line)) {
        bool valid = false;
        const QJsonObject obj = decode(line, &valid);
        if (valid) {
            *message = obj;
            return true;
        }
        // Not one of ours: skip it rather than hand out garbage.
    }
    return false;
}

void BenchSession::close()
{
#ifdef Q_OS_WIN
    if (m_socket) {
        m_socket->abort();
        m_socket.reset();
    }
#else
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
#endif
    m_pending.clear();
}
