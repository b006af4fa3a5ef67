#include "SocketMannger.h"

#include <QTcpSocket>

namespace {

QByteArray withoutLineEnds(const QByteArray &data)
{
    QByteArray out;
    out.reserve(data.size());
    for (const char c : data) {
        if (c != '\r' && c != '\n')
            out.append(c);
    }
    return out;
}

} // namespace

SocketMannger::SocketMannger(QObject *parent)
    : QObject(parent)
    , m_tcpSocket(new QTcpSocket(this))
{
    connect(m_tcpSocket, &QAbstractSocket::errorOccurred, this, &SocketMannger::onError);
    connect(m_tcpSocket, &QIODevice::readyRead, this, &SocketMannger::onReadyRead);
}

SocketMannger::~SocketMannger() = default;

bool SocketMannger::connectToHost(const QString &hostName, quint16 port, int waitMs)
{
    // An attempt that timed out may leave the socket still connecting, and
    // Qt ignores a new connectToHost then: drop it so this is a fresh try.
    if (m_tcpSocket->state() != QAbstractSocket::UnconnectedState)
        m_tcpSocket->abort();
    m_tcpSocket->connectToHost(hostName, port, QIODevice::ReadWrite);
    return m_tcpSocket->waitForConnected(waitMs);
}

bool SocketMannger::write(const QByteArray &data, int waitMs)
{
    m_tcpSocket->write(data.constData(), data.size());
    return m_tcpSocket->waitForBytesWritten(waitMs);
}

bool SocketMannger::waitReadyRead(int waitMs)
{
    return m_tcpSocket->waitForReadyRead(waitMs);
}

void SocketMannger::close()
{
    m_tcpSocket->close();
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
