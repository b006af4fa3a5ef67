#include "SocketMannger.h"

#include "LineEnds.h"

#include <QEventLoop>
#include <QHostInfo>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QTimer>

#if defined(Q_OS_LINUX)
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

SocketMannger::SocketMannger(QObject *parent) : QObject(parent)
{
    renewSocket();
}

void SocketMannger::renewSocket()
{
    delete m_tcpSocket;
    m_tcpSocket = new QTcpSocket(this);
    connect(m_tcpSocket, &QAbstractSocket::errorOccurred, this, &SocketMannger::onError);
    connect(m_tcpSocket, &QIODevice::readyRead, this, &SocketMannger::onReadyRead);
    connect(m_tcpSocket, &QIODevice::bytesWritten, this, [this](qint64 written) {
        m_unwritten = qMax<qint64>(0, m_unwritten - written);
    });
}

SocketMannger::~SocketMannger()
{
    cancelPinned();
}

bool SocketMannger::connectToHost(const QString &hostName, quint16 port, int waitMs)
{
    beginConnect(hostName, port);
    if (m_pinnedState == QAbstractSocket::UnconnectedState)
        return m_tcpSocket->waitForConnected(waitMs);
    // A bound connection is made on this thread's events.
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    // The attempt ends with the Qt socket connected or with its one line.
    connect(m_tcpSocket, &QAbstractSocket::stateChanged, &loop, &QEventLoop::quit);
    connect(this, &SocketMannger::sngSocketLog, &loop, &QEventLoop::quit);
    limit.start(waitMs);
    if (m_pinnedState != QAbstractSocket::UnconnectedState)
        loop.exec();
    if (m_pinnedState != QAbstractSocket::UnconnectedState)
        close();
    return isConnected();
}

void SocketMannger::beginConnect(const QString &hostName, quint16 port)
{
    cancelPinned();
    // An attempt that timed out may leave the socket still connecting, and
    // Qt ignores a new connectToHost then: drop it so this is a fresh try.
    if (m_tcpSocket->state() != QAbstractSocket::UnconnectedState)
        m_tcpSocket->abort();
    m_unwritten = 0;
#if defined(Q_OS_LINUX)
    if (!m_bindDevice.isEmpty()) {
        m_pinnedDevice = m_bindDevice;
        m_pinnedPort = port;
        m_pinnedAddresses.clear();
        m_pinnedError.clear();
        QHostAddress address;
        if (address.setAddress(hostName)) {
            m_pinnedAddresses << address;
            m_pinnedState = QAbstractSocket::ConnectingState;
            pinnedConnectNext();
        } else {
            m_pinnedState = QAbstractSocket::HostLookupState;
            m_pinnedLookup = QHostInfo::lookupHost(hostName, this, &SocketMannger::onPinnedLookup);
        }
        return;
    }
#endif
    m_tcpSocket->connectToHost(hostName, port, QIODevice::ReadWrite);
}

void SocketMannger::onPinnedLookup(const QHostInfo &info)
{
    m_pinnedLookup = -1;
    if (m_pinnedState != QAbstractSocket::HostLookupState)
        return;
    m_pinnedAddresses = info.addresses();
    if (m_pinnedAddresses.isEmpty()) {
        pinnedFailed(info.errorString());
        return;
    }
    m_pinnedState = QAbstractSocket::ConnectingState;
    pinnedConnectNext();
}

void SocketMannger::pinnedConnectNext()
{
#if defined(Q_OS_LINUX)
    while (!m_pinnedAddresses.isEmpty()) {
        const QHostAddress address = m_pinnedAddresses.takeFirst();
        sockaddr_storage to{};
        socklen_t toLen = 0;
        bool ipv4 = false;
        const quint32 v4 = address.toIPv4Address(&ipv4);
        if (ipv4) {
            auto *in = reinterpret_cast<sockaddr_in *>(&to);
            in->sin_family = AF_INET;
            in->sin_port = htons(m_pinnedPort);
            in->sin_addr.s_addr = htonl(v4);
            toLen = sizeof(sockaddr_in);
        } else if (address.protocol() == QAbstractSocket::IPv6Protocol) {
            auto *in6 = reinterpret_cast<sockaddr_in6 *>(&to);
            in6->sin6_family = AF_INET6;
            in6->sin6_port = htons(m_pinnedPort);
            const Q_IPV6ADDR bytes = address.toIPv6Address();
            std::memcpy(&in6->sin6_addr, &bytes, sizeof(bytes));
            in6->sin6_scope_id = address.scopeId().toUInt();
            toLen = sizeof(sockaddr_in6);
        } else {
            continue;
        }
        const int fd = ::socket(to.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            m_pinnedError = QString::fromLocal8Bit(std::strerror(errno));
            continue;
        }
        // Bound before it connects: unprivileged since Linux 5.7, and the
        // connection then never leaves through another interface.
        const QByteArray device = m_pinnedDevice.toLocal8Bit();
        if (::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, device.constData(), socklen_t(device.size())) != 0) {
            m_pinnedError = QString::fromLocal8Bit(std::strerror(errno));
            ::close(fd);
            continue;
        }
        if (::connect(fd, reinterpret_cast<const sockaddr *>(&to), toLen) == 0 || errno == EINPROGRESS) {
            m_pinnedFd = fd;
            m_pinnedNotifier = new QSocketNotifier(qintptr(fd), QSocketNotifier::Write, this);
            connect(m_pinnedNotifier, &QSocketNotifier::activated, this, &SocketMannger::onPinnedWritable);
            return;
        }
        m_pinnedError = QString::fromLocal8Bit(std::strerror(errno));
        ::close(fd);
    }
    pinnedFailed(m_pinnedError);
#endif
}

void SocketMannger::onPinnedWritable()
{
#if defined(Q_OS_LINUX)
    int error = 0;
    socklen_t len = sizeof(error);
    if (::getsockopt(m_pinnedFd, SOL_SOCKET, SO_ERROR, &error, &len) != 0)
        error = errno;
    delete m_pinnedNotifier;
    m_pinnedNotifier = nullptr;
    const int fd = m_pinnedFd;
    m_pinnedFd = -1;
    if (error != 0) {
        ::close(fd);
        m_pinnedError = QString::fromLocal8Bit(std::strerror(error));
        pinnedConnectNext();
        return;
    }
    // The Qt socket owns the descriptor from here on.
    if (!m_tcpSocket->setSocketDescriptor(qintptr(fd), QAbstractSocket::ConnectedState, QIODevice::ReadWrite)) {
        ::close(fd);
        pinnedFailed(m_tcpSocket->errorString());
        return;
    }
    m_pinnedState = QAbstractSocket::UnconnectedState;
#endif
}

void SocketMannger::pinnedFailed(const QString &why)
{
    cancelPinned();
    // Said once, before the worker's red line: a vanished or downed link
    // shows here.
    emit sngSocketLog(QStringLiteral("%1: %2").arg(m_pinnedDevice, why.isEmpty() ? QStringLiteral("no address") : why),
                      QColor(Qt::yellow));
}

void SocketMannger::cancelPinned()
{
    if (m_pinnedLookup >= 0)
        QHostInfo::abortHostLookup(m_pinnedLookup);
    m_pinnedLookup = -1;
    delete m_pinnedNotifier;
    m_pinnedNotifier = nullptr;
#if defined(Q_OS_LINUX)
    if (m_pinnedFd >= 0)
        ::close(m_pinnedFd);
#endif
    m_pinnedFd = -1;
    m_pinnedAddresses.clear();
    m_pinnedState = QAbstractSocket::UnconnectedState;
}

bool SocketMannger::write(const QByteArray &data, int waitMs)
{
    beginWrite(data);
    return m_tcpSocket->waitForBytesWritten(waitMs);
}

bool SocketMannger::beginWrite(const QByteArray &data)
{
    const qint64 queued = m_tcpSocket->write(data.constData(), data.size());
    if (queued > 0)
        m_unwritten += queued;
    return queued == data.size();
}

QAbstractSocket::SocketState SocketMannger::state() const
{
    if (m_pinnedState != QAbstractSocket::UnconnectedState)
        return m_pinnedState;
    return m_tcpSocket->state();
}

bool SocketMannger::waitReadyRead(int waitMs)
{
    return m_tcpSocket->waitForReadyRead(waitMs);
}

void SocketMannger::close()
{
    cancelPinned();
    // Qt's close() only marks an attempt under way for closing once it has
    // connected; giving up means dropping it now.
    const QAbstractSocket::SocketState state = m_tcpSocket->state();
    if (state == QAbstractSocket::HostLookupState || state == QAbstractSocket::ConnectingState)
        m_tcpSocket->abort();
    else
        m_tcpSocket->close();
    m_unwritten = 0;
    // After a refused or broken connection Qt keeps the socket's descriptor
    // until the next attempt; an idle channel must not hold one.
    if (m_tcpSocket->state() == QAbstractSocket::UnconnectedState
        && m_tcpSocket->error() != QAbstractSocket::UnknownSocketError)
        renewSocket();
}

bool SocketMannger::isConnected() const
{
    return m_tcpSocket->state() == QAbstractSocket::ConnectedState;
}

void SocketMannger::onReadyRead()
{
    const qint64 n = m_tcpSocket->bytesAvailable();
    if (n <= 0)
        return;

    const QByteArray data = m_tcpSocket->read(n);
    m_recvBuffer.append(withoutLineEnds(data));
    // The log shows the chunk up to a NUL byte; the buffer keeps all of it.
    emit sngSocketLog(QString::fromLocal8Bit(data.constData()), QColor(Qt::yellow));
}

void SocketMannger::onError(QAbstractSocket::SocketError)
{
    // Errors show through the results of connectToHost and write and
    // through a missing echo.
}
