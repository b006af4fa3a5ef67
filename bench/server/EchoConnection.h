// One client connection of the echo server: gathers each exchange and
// sends back what the server plans for it.
#ifndef ECHOCONNECTION_H
#define ECHOCONNECTION_H

#include <QByteArray>
#include <QList>
#include <QObject>

class EchoServer;
class QTcpSocket;
class QTimer;

class EchoConnection : public QObject
{
    Q_OBJECT

public:
    EchoConnection(QTcpSocket *socket, EchoServer *server);

    void abort();
    qint64 bytesSent() const { return m_bytesSent; }

private:
    void onReadyRead();
    void finishExchange();
    void sendNext();

    struct Piece
    {
        QByteArray data;
        int waitMs = 0; // before this piece goes out
        bool close = false;
    };

    QTcpSocket *m_socket;
    EchoServer *m_server;
    QTimer *m_gapTimer;
    QTimer *m_sendTimer;
    QByteArray m_burst;
    QList<Piece> m_out;
    qint64 m_bytesSent = 0;
};

#endif // ECHOCONNECTION_H
