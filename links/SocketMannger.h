// TCP client channel to the echo server. Blocking calls with fixed limits;
// everything the server sends is gathered in one receive buffer without CR
// and LF, and each received chunk is reported as one yellow log line.
#ifndef SOCKETMANNGER_H
#define SOCKETMANNGER_H

#include <QAbstractSocket>
#include <QByteArray>
#include <QColor>
#include <QObject>
#include <QString>

class QTcpSocket;

class SocketMannger : public QObject
{
    Q_OBJECT

public:
    explicit SocketMannger(QObject *parent = nullptr);
    ~SocketMannger() override;

    // Connects and waits up to waitMs (120000 by default).
    bool connectToHost(const QString &hostName, quint16 port, int waitMs = 120000);
    // Writes all bytes and waits up to waitMs (10000 by default) for them to go out.
    bool write(const QByteArray &data, int waitMs = 10000);
    // Waits up to waitMs (1000 by default) for incoming data. Returns at
    // once, false, when the socket is not connected: callers that wait for
    // an echo must not loop on it without blocking elsewhere.
    bool waitReadyRead(int waitMs = 1000);
    void close();
    bool isConnected() const;

    // Bytes received since the last clear, CR and LF left out. The link
    // steps clear and compare it directly.
    QByteArray m_recvBuffer;

signals:
    void sngSocketLog(QString log, QColor color);

private slots:
    void onReadyRead();
    void onError(QAbstractSocket::SocketError error);

private:
    QTcpSocket *m_tcpSocket = nullptr;
};

#endif // SOCKETMANNGER_H
