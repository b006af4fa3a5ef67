#include "EchoConnection.h"

#include "EchoServer.h"

#include <QTcpSocket>
#include <QTimer>

namespace {
// A burst this large is answered at once rather than held for the gap.
constexpr int kMaxBurst = 256 * 1024;
// A client that does not read what it gets back is cut off at this much.
constexpr qint64 kMaxUnsent = 8 * 1024 * 1024;
} // namespace

EchoConnection::EchoConnection(QTcpSocket *socket, EchoServer *server)
    : QObject(server), m_socket(socket), m_server(server), m_gapTimer(new QTimer(this)),
      m_sendTimer(new QTimer(this))
{
    m_socket->setParent(this);
    m_gapTimer->setSingleShot(true);
    m_sendTimer->setSingleShot(true);
    connect(m_socket, &QTcpSocket::readyRead, this, &EchoConnection::onReadyRead);
    connect(m_socket, &QTcpSocket::disconnected, this, &QObject::deleteLater);
    connect(m_socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError) {
        if (m_socket->state() == QAbstractSocket::UnconnectedState)
            deleteLater();
    });
    connect(m_gapTimer, &QTimer::timeout, this, &EchoConnection::finishExchange);
    connect(m_sendTimer, &QTimer::timeout, this, &EchoConnection::sendNext);
}

void EchoConnection::abort()
{
    m_gapTimer->stop();
    m_sendTimer->stop();
    m_socket->abort();
    deleteLater();
}

void EchoConnection::onReadyRead()
{
    m_burst.append(m_socket->readAll());
    if (m_burst.size() >= kMaxBurst) {
        m_gapTimer->stop();
        finishExchange();
        return;
    }
    m_gapTimer->start(m_server->gapMs());
}

void EchoConnection::finishExchange()
{
    if (m_burst.isEmpty())
        return;
    const EchoServer::Plan plan = m_server->planExchange(m_burst);
    m_burst.clear();
    if (plan.close) {
        m_out.append(Piece{QByteArray(), plan.delayMs, true});
    } else {
        for (int i = 0; i < plan.pieces.size(); ++i)
            m_out.append(Piece{plan.pieces.at(i), i == 0 ? plan.delayMs : plan.gapMs, false});
    }
    if (!m_sendTimer->isActive())
        sendNext();
}

void EchoConnection::sendNext()
{
    while (!m_out.isEmpty()) {
        Piece &p = m_out.first();
        if (p.waitMs > 0) {
            m_sendTimer->start(p.waitMs);
            p.waitMs = 0;
            return;
        }
        const Piece piece = m_out.takeFirst();
        if (piece.close) {
            m_out.clear();
            m_socket->disconnectFromHost();
            return;
        }
        m_socket->write(piece.data);
        m_bytesSent += piece.data.size();
        if (m_socket->bytesToWrite() > kMaxUnsent) {
            abort();
            return;
        }
    }
}
