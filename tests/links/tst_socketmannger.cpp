// SocketMannger against a real TCP server on 127.0.0.1. The server runs in
// its own thread because the channel's waits block the test thread.
#include <QElapsedTimer>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QThread>
#include <QTimer>

#include "SocketMannger.h"

#include <atomic>

namespace {

// Answers every received burst according to its mode.
class ScriptedServer : public QThread
{
public:
    enum Mode { Echo, EchoInThreePieces, AppendLineEnd };

    explicit ScriptedServer(Mode mode) : m_mode(mode) {}
    ~ScriptedServer() override
    {
        quit();
        wait();
    }

    quint16 startServing()
    {
        start();
        m_ready.acquire();
        return m_port;
    }

protected:
    void run() override
    {
        QTcpServer server;
        server.listen(QHostAddress::LocalHost, 0);
        m_port = server.serverPort();
        QObject::connect(&server, &QTcpServer::newConnection, [&server, this] {
            while (QTcpSocket *peer = server.nextPendingConnection()) {
                QObject::connect(peer, &QTcpSocket::readyRead, peer, [peer, this] { answer(peer, peer->readAll()); });
                QObject::connect(peer, &QTcpSocket::disconnected, peer, &QObject::deleteLater);
            }
        });
        m_ready.release();
        exec();
    }

private:
    void answer(QTcpSocket *peer, const QByteArray &data)
    {
        switch (m_mode) {
        case Echo:
            peer->write(data);
            break;
        case AppendLineEnd:
            peer->write(data + "\r\n");
            break;
        case EchoInThreePieces: {
            const int third = data.size() / 3;
            const QList<QByteArray> pieces{data.left(third), data.mid(third, third), data.mid(2 * third)};
            for (int i = 0; i < pieces.size(); ++i) {
                QTimer::singleShot(60 * i, peer, [peer, piece = pieces.at(i)] {
                    peer->write(piece);
                    peer->flush();
                });
            }
            break;
        }
        }
    }

    const Mode m_mode;
    QSemaphore m_ready;
    std::atomic<quint16> m_port{0};
};

// Lets the channel read until its buffer holds size bytes or time runs out.
bool receiveUntil(SocketMannger &channel, int size, int timeoutMs = 3000)
{
    QElapsedTimer t;
    t.start();
    while (channel.m_recvBuffer.size() < size && t.elapsed() < timeoutMs)
        channel.waitReadyRead(100);
    return channel.m_recvBuffer.size() >= size;
}

quint16 closedLoopbackPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort(); // closed again when probe goes
}

} // namespace

class TestSocketMannger : public QObject
{
    Q_OBJECT

private slots:
    void echoRoundTrip();
    void piecesGiveOneLineEachAndOneBuffer();
    void lineEndsAreLoggedButNotStored();
    void refusedConnectionFailsAtOnce();
    void reconnectAfterFailureAndClose();
    void closeWhenUnconnectedChangesNothing();
    void waitOnUnconnectedSocketReturnsAtOnce();
};

void TestSocketMannger::echoRoundTrip()
{
    ScriptedServer server(ScriptedServer::Echo);
    const quint16 port = server.startServing();
    SocketMannger channel;
    QSignalSpy spy(&channel, &SocketMannger::sngSocketLog);

    QVERIFY(channel.connectToHost(QStringLiteral("127.0.0.1"), port));
    QVERIFY(channel.isConnected());
    QVERIFY(channel.write("0123456789abc"));
    QVERIFY(receiveUntil(channel, 13));
    QCOMPARE(channel.m_recvBuffer, QByteArray("0123456789abc"));
    QVERIFY(spy.count() >= 1);
    QCOMPARE(spy.at(0).at(1).value<QColor>(), QColor(Qt::yellow));
}

void TestSocketMannger::piecesGiveOneLineEachAndOneBuffer()
{
    ScriptedServer server(ScriptedServer::EchoInThreePieces);
    const quint16 port = server.startServing();
    SocketMannger channel;
    QSignalSpy spy(&channel, &SocketMannger::sngSocketLog);

    QVERIFY(channel.connectToHost(QStringLiteral("localhost"), port));
    const QByteArray payload("AAAABBBBCCCC");
    QVERIFY(channel.write(payload));
    QVERIFY(receiveUntil(channel, payload.size()));
    QCOMPARE(channel.m_recvBuffer, payload);
    QCOMPARE(spy.count(), 3);
    QCOMPARE(spy.at(0).at(0).toString(), QStringLiteral("AAAA"));
    QCOMPARE(spy.at(2).at(0).toString(), QStringLiteral("CCCC"));
}

void TestSocketMannger::lineEndsAreLoggedButNotStored()
{
    ScriptedServer server(ScriptedServer::AppendLineEnd);
    const quint16 port = server.startServing();
    SocketMannger channel;
    QSignalSpy spy(&channel, &SocketMannger::sngSocketLog);

    QVERIFY(channel.connectToHost(QStringLiteral("127.0.0.1"), port));
    QVERIFY(channel.write("xyz"));
    QElapsedTimer t;
    t.start();
    while (spy.isEmpty() || spy.last().at(0).toString().right(1) != QLatin1String("\n")) {
        QVERIFY(t.elapsed() < 3000);
        channel.waitReadyRead(100);
    }
    QCOMPARE(channel.m_recvBuffer, QByteArray("xyz"));
    QString logged;
    for (const auto &args : spy)
        logged += args.at(0).toString();
    QCOMPARE(logged, QStringLiteral("xyz\r\n"));
}

void TestSocketMannger::refusedConnectionFailsAtOnce()
{
    SocketMannger channel;
    QSignalSpy spy(&channel, &SocketMannger::sngSocketLog);
    QElapsedTimer t;
    t.start();
    QVERIFY(!channel.connectToHost(QStringLiteral("127.0.0.1"), closedLoopbackPort()));
    QVERIFY2(t.elapsed() < 5000, "a refusal ends the attempt without waiting for the limit");
    QCOMPARE(spy.count(), 0); // the channel itself logs nothing
}

void TestSocketMannger::reconnectAfterFailureAndClose()
{
    ScriptedServer server(ScriptedServer::Echo);
    const quint16 port = server.startServing();
    SocketMannger channel;

    QVERIFY(!channel.connectToHost(QStringLiteral("127.0.0.1"), closedLoopbackPort()));
    QVERIFY(channel.connectToHost(QStringLiteral("127.0.0.1"), port));
    channel.close();
    QVERIFY(!channel.isConnected());
    // the same socket serves the next connection of the run
    QVERIFY(channel.connectToHost(QStringLiteral("127.0.0.1"), port));
    channel.m_recvBuffer.clear();
    QVERIFY(channel.write("again"));
    QVERIFY(receiveUntil(channel, 5));
    QCOMPARE(channel.m_recvBuffer, QByteArray("again"));

    // a new attempt while still connected starts afresh instead of being ignored
    QVERIFY(channel.connectToHost(QStringLiteral("127.0.0.1"), port));
    QVERIFY(channel.isConnected());
}

void TestSocketMannger::closeWhenUnconnectedChangesNothing()
{
    SocketMannger channel;
    channel.m_recvBuffer = "left over";
    QSignalSpy spy(&channel, &SocketMannger::sngSocketLog);
    channel.close();
    QCOMPARE(spy.count(), 0);
    QCOMPARE(channel.m_recvBuffer, QByteArray("left over"));
}

void TestSocketMannger::waitOnUnconnectedSocketReturnsAtOnce()
{
    SocketMannger channel;
    QElapsedTimer t;
    t.start();
    QVERIFY(!channel.waitReadyRead(1000));
    QVERIFY(t.elapsed() < 500);
    QVERIFY(!channel.write("nobody listens", 200));
}

QTEST_GUILESS_MAIN(TestSocketMannger)
#include "tst_socketmannger.moc"
