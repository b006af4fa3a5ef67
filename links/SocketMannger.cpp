#include "SocketMannger.h"

#include "LineEnds.h"

#include <QTcpSocket>

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

SocketMannger::~SocketMannger() = default;

bool SocketMannger::connectToHost(const QString &hostName, quint16 port, int waitMs)
{
    beginConnect(hostName, port);
    return m_tcpSocket->waitForConnected(waitMs);
}

void SocketMannger::beginConnect(const QString &hostName, quint16 port)
{
    // An attempt that timed out may leave the socket still connecting, and
    // Qt ignores a new connectToHost then: drop it so this is a fresh try.
    if (m_tcpSocket->state() != QAbstractSocket::UnconnectedState)
        m_tcpSocket->abort();
    m_unwritten = 0;
    m_tcpSocket->connectToHost(hostName, port, QIODevice::ReadWrite);
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
    return m_tcpSocket->state();
}

bool SocketMannger::waitReadyRead(int waitMs)
{
    return m_tcpSocket->waitForReadyRead(waitMs);
}

void SocketMannger::close()
{
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
