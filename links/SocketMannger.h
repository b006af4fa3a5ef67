// TCP client channel to the echo server. Blocking calls with fixed limits;
// everything the server sends is gathered in one receive buffer without CR
// and LF, and each received chunk is reported as one yellow log line.
#ifndef SOCKETMANNGER_H
#define SOCKETMANNGER_H

#include <QAbstractSocket>
#include <QByteArray>
#include <QColor>
#include <QHostAddress>
#include <QObject>
#include <QString>

class QHostInfo;
class QSocketNotifier;
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

    // The same two operations without the blocking wait, for a caller that
    // waits on its own event loop (and so can give up early): the attempt
    // has ended when state() is Connected or Unconnected, the bytes are out
    // when unwrittenBytes() is 0.
    void beginConnect(const QString &hostName, quint16 port);
    // The network interface later connections go through (SO_BINDTODEVICE,
    // Linux), whatever the routing table prefers; empty: where it sends
    // them. A connection under way or made keeps the one it began with.
    void setBindDevice(const QString &device) { m_bindDevice = device; }
    QString bindDevice() const { return m_bindDevice; }
    // False when the socket would not take the bytes (not connected).
    bool beginWrite(const QByteArray &data);
    QAbstractSocket::SocketState state() const;
    qint64 unwrittenBytes() const { return m_unwritten; }
    // Waits up to waitMs (1000 by default) for incoming data. Returns at
    // once, false, when the socket is not connected: callers that wait for
    // an echo must not loop on it without blocking elsewhere.
    bool waitReadyRead(int waitMs = 1000);
    // Closes the connection, or gives up an attempt still under way.
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
    // A fresh socket in place of the current one, which is deleted.
    void renewSocket();

    // A connection bound to m_bindDevice is made here, on a socket of our
    // own, and handed to the Qt socket once connected.
    void onPinnedLookup(const QHostInfo &info);
    void pinnedConnectNext();
    void onPinnedWritable();
    void pinnedFailed(const QString &why);
    void cancelPinned();

    QString m_bindDevice;
    QAbstractSocket::SocketState m_pinnedState = QAbstractSocket::UnconnectedState;
    int m_pinnedLookup = -1;
    int m_pinnedFd = -1;
    QSocketNotifier *m_pinnedNotifier = nullptr; // child while a connect is under way
    QList<QHostAddress> m_pinnedAddresses;        // still to try
    quint16 m_pinnedPort = 0;
    QString m_pinnedDevice;
    QString m_pinnedError;

    QTcpSocket *m_tcpSocket = nullptr;
    qint64 m_unwritten = 0; // bytes handed to beginWrite and not yet sent
};

#endif // SOCKETMANNGER_H
