#include "EchoServer.h"

#include <QHostAddress>
#include <QMetaObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#if defined(Q_OS_LINUX)
#include <sched.h>
#endif

EchoServer::EchoServer(Mode mode) : EchoServer(mode, QHostAddress(QHostAddress::LocalHost)) {}

EchoServer::EchoServer(Mode mode, const QHostAddress &address, int netnsFd) : m_mode(mode)
{
    m_thread.start();
    // The server object lives in the server thread; set it up there.
    QObject *context = new QObject;
    context->moveToThread(&m_thread);
    QMetaObject::invokeMethod(
        context,
        [this, context, address, netnsFd] {
#if defined(Q_OS_LINUX)
            // The thread's sockets are made in the namespace it joins.
            if (netnsFd >= 0 && ::setns(netnsFd, CLONE_NEWNET) != 0)
                return;
#else
            (void)netnsFd;
#endif
            m_server = new QTcpServer(context);
            QObject::connect(m_server, &QTcpServer::newConnection, context, [this] { onNewConnection(); });
            m_server->listen(address, 0);
            m_port = m_server->serverPort();
        },
        Qt::BlockingQueuedConnection);
    connect(&m_thread, &QThread::finished, context, &QObject::deleteLater);
}

EchoServer::~EchoServer()
{
    m_thread.quit();
    m_thread.wait();
}

void EchoServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        ++m_connections;
        QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
            QByteArray data = socket->readAll();
            if (data.isEmpty())
                return;
            const int chunk = ++m_chunks;
            Mode mode = Mode(m_mode.load());
            if (m_wrongOnChunk > 0 && chunk == m_wrongOnChunk)
                mode = WrongByte;
            switch (mode) {
            case Echo:
                socket->write(data);
                break;
            case Pieces: {
                const int third = std::max<int>(1, int(data.size() / 3));
                for (int i = 0; i < 3; ++i) {
                    const QByteArray piece = i < 2 ? data.mid(i * third, third) : data.mid(2 * third);
                    QTimer::singleShot(60 * (i + 1), socket, [socket, piece] { socket->write(piece); });
                }
                break;
            }
            case WrongByte:
                data[0] = data[0] == '#' ? '$' : '#';
                socket->write(data);
                break;
            case Extra:
                socket->write(data + "##");
                break;
            case LineEnd:
                socket->write(data + "\r\n");
                break;
            case Silent:
                break;
            case Hangup:
                socket->disconnectFromHost();
                break;
            case EchoHangup:
                socket->write(data);
                socket->disconnectFromHost();
                break;
            }
        });
    }
}
