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
    void boundConnectionKeepsToItsDevice();
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

void TestSocketMannger::boundConnectionKeepsToItsDevice()
{
#if !defined(Q_OS_LINUX)
    QSKIP("connections are bound to a device on Linux only");
#endif
    EchoServer server;
    const quint16 port = server.port();
    SocketMannger channel;
    QSignalSpy spy(&channel, &SocketMannger::sngSocketLog);

    // Through the device the server is on, by address and by name; the
    // connection made on our own socket carries the exchange as before.
    channel.setBindDevice(QStringLiteral("lo"));
    for (const QString &host : {QStringLiteral("127.0.0.1"), QStringLiteral("localhost")}) {
        QVERIFY2(channel.connectToHost(host, port, 5000), qPrintable(host));
        channel.m_recvBuffer.clear();
        QVERIFY(channel.write("pinned"));
        QVERIFY(receiveUntil(channel, 6));
        QCOMPARE(channel.m_recvBuffer, QByteArray("pinned"));
        channel.close();
        QVERIFY(!channel.isConnected());
    }
    QVERIFY(!channel.connectToHost(QStringLiteral("127.0.0.1"), TestSupport::freeLoopbackPort(), 5000));

    // A link that is gone: no connection through any other way, one line why.
    spy.clear();
    channel.setBindDevice(QStringLiteral("trevalo-gone0"));
    QVERIFY(!channel.connectToHost(QStringLiteral("127.0.0.1"), port, 5000));
    QCOMPARE(channel.state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toString(), QStringLiteral("trevalo-gone0: No such device"));
    QCOMPARE(spy.at(0).at(1).value<QColor>(), QColor(Qt::yellow));

    // Unbound again, routing decides as before.
    channel.setBindDevice(QString());
    QVERIFY(channel.connectToHost(QStringLiteral("127.0.0.1"), port));
}

QTEST_GUILESS_MAIN(TestSocketMannger)
#include "tst_socketmannger.moc"
