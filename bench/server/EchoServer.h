// The TCP echo server on 127.0.0.1. Sends back what it receives, one
// exchange at a time: an exchange is a burst of bytes received on one
// connection that ends with a quiet gap (gapMs), counted over the server's
// lifetime. Echo faults act on whole exchanges.
#ifndef ECHOSERVER_H
#define ECHOSERVER_H

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>

class EchoConnection;
class FaultSet;
class QTcpServer;
class QTimer;

class EchoServer : public QObject
{
    Q_OBJECT

public:
    // What to do with one exchange.
    struct Plan
    {
        QList<QByteArray> pieces; // sent in order, gapMs apart
        int delayMs = 0;          // before the first piece
        int gapMs = 0;
        bool close = false;       // close the connection instead of answering
    };

    EchoServer(FaultSet *faults, int gapMs, QObject *parent = nullptr);

    // Listens on 127.0.0.1:port (0 picks a free port).
    bool listen(quint16 port, QString *error);
    quint16 port() const { return m_port; }
    bool isListening() const;
    int gapMs() const { return m_gapMs; }
    QJsonObject counters() const;

    // Called by a connection when one exchange is complete.
    Plan planExchange(const QByteArray &received);

private:
    void onNewConnection();
    void onFaultsChanged(const QStringList &names);
    void goDown();
    void comeUp();

    FaultSet *m_faults;
    int m_gapMs;
    QTcpServer *m_server;
    QTimer *m_relisten;
    quint16 m_port = 0;
    QList<QPointer<EchoConnection>> m_connections;
    int m_corruptCountdown = 0;
    qint64 m_accepted = 0;
    qint64 m_exchanges = 0;
    qint64 m_bytesIn = 0;
    qint64 m_bytesOut = 0;
    qint64 m_corrupted = 0;
    qint64 m_dropped = 0;
    qint64 m_closed = 0;
};

#endif // ECHOSERVER_H
