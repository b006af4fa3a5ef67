// SocketMannger against a real TCP server on 127.0.0.1. The server runs in
// its own thread because the channel's waits block the test thread.
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

#include "BenchProcess.h"
#include "ChannelWait.h"
#include "EchoServer.h"
#include "SocketMannger.h"

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
    EchoServer server;
    const quint16 port = server.port();
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
    EchoServer server(EchoServer::Pieces);
    const quint16 port = server.port();
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
    EchoServer server(EchoServer::LineEnd);
    const quint16 port = server.port();
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
    QVERIFY(!channel.connectToHost(QStringLiteral("127.0.0.1"), TestSupport::freeLoopbackPort()));
    QVERIFY2(t.elapsed() < 5000, "a refusal ends the attempt without waiting for the limit");
    QCOMPARE(spy.count(), 0); // the channel itself logs nothing
}

void TestSocketMannger::reconnectAfterFailureAndClose()
{
    EchoServer server;
    const quint16 port = server.port();
    SocketMannger channel;

    QVERIFY(!channel.connectToHost(QStringLiteral("127.0.0.1"), TestSupport::freeLoopbackPort()));
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
