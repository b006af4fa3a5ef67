// The echo server with a real TCP client: faithful echo, every echo fault,
// the server going down and up, and that connections leave nothing behind.
#include "BenchProcess.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTest>

class TestEcho : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void echoesEveryByte_data();
    void echoesEveryByte();
    void corruptAtNthExchange();
    void missingEcho();
    void extraTrailingBytes();
    void splitIntoPieces();
    void delayedEcho();
    void serverClosesConnection();
    void serverDownAndUp();
    void listensOnLoopbackOnly();
    void connectionsLeaveNothingBehind();

private:
    bool connectClient(QTcpSocket &s);
    // Everything that arrives within waitMs or until `size` bytes are in.
    QByteArray receive(QTcpSocket &s, int size, int waitMs, int *reads = nullptr);
    QByteArray payload(int size);
    qint64 exchanges();

    BenchProcess m_bench;
};

void TestEcho::initTestCase()
{
    QVERIFY2(m_bench.start(), qPrintable(m_bench.errorString()));
}

void TestEcho::init()
{
    QVERIFY(m_bench.clearFaults());
}

void TestEcho::cleanupTestCase()
{
    QVERIFY(m_bench.stop());
}

bool TestEcho::connectClient(QTcpSocket &s)
{
    s.connectToHost(QStringLiteral("127.0.0.1"), m_bench.echoPort());
    return s.waitForConnected(3000);
}

QByteArray TestEcho::receive(QTcpSocket &s, int size, int waitMs, int *reads)
{
    QByteArray got;
    QElapsedTimer t;
    t.start();
    int n = 0;
    while (got.size() < size) {
        const qint64 left = waitMs - t.elapsed();
        if (left <= 0 || !s.waitForReadyRead(int(left)))
            break;
        got += s.readAll();
        ++n;
    }
    if (reads)
        *reads = n;
    return got;
}

QByteArray TestEcho::payload(int size)
{
    QByteArray p(size, Qt::Uninitialized);
    for (char &c : p)
        c = char(QRandomGenerator::global()->bounded(33, 127));
    return p;
}

qint64 TestEcho::exchanges()
{
    return qint64(m_bench.state().value("echo").toObject().value("exchanges").toDouble());
}

void TestEcho::echoesEveryByte_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::newRow("one byte") << QByteArray("x");
    QTest::newRow("largest payload") << payload(2047);
    QByteArray binary(256, 0);
    for (int i = 0; i < 256; ++i)
        binary[i] = char(i);
    QTest::newRow("every byte value") << binary;
    QTest::newRow("bulk 600 kB") << payload(600 * 1024);
}

void TestEcho::echoesEveryByte()
{
    QFETCH(QByteArray, data);
    QTcpSocket s;
    QVERIFY(connectClient(s));
    s.write(data);
    QCOMPARE(receive(s, data.size(), 10000), data);
    // Nothing more follows.
    QVERIFY(receive(s, 1, 100).isEmpty());
}

void TestEcho::corruptAtNthExchange()
{
    QVERIFY(m_bench.setFault("echo.corruptAt", 2));
    QTcpSocket s;
    QVERIFY(connectClient(s));
    for (int i = 1; i <= 3; ++i) {
        const QByteArray p = payload(500);
        s.write(p);
        const QByteArray got = receive(s, p.size(), 3000);
        QCOMPARE(got.size(), p.size());
        int differences = 0;
        for (int k = 0; k < p.size(); ++k)
            differences += p.at(k) != got.at(k) ? 1 : 0;
        QCOMPARE(differences, i == 2 ? 1 : 0);
        QVERIFY(!got.contains('\r') && !got.contains('\n'));
    }
    // One shot: the fault is off again, and counting spans connections.
    QCOMPARE(m_bench.faults().value("echo.corruptAt").toInt(), 0);
    QVERIFY(m_bench.setFault("echo.corruptAt", 1));
    QTcpSocket other;
    QVERIFY(connectClient(other));
    other.write("abc");
    QCOMPARE(receive(other, 3, 3000), QByteArray("acc"));
}

void TestEcho::missingEcho()
{
    QVERIFY(m_bench.setFault("echo.drop", true));
    QTcpSocket s;
    QVERIFY(connectClient(s));
    const qint64 before = exchanges();
    s.write("hello");
    QVERIFY(receive(s, 1, 400).isEmpty());
    QCOMPARE(exchanges(), before + 1);
    QCOMPARE(s.state(), QAbstractSocket::ConnectedState);
    QVERIFY(m_bench.setFault("echo.drop", false));
    s.write("again");
    QCOMPARE(receive(s, 5, 2000), QByteArray("again"));
}

void TestEcho::extraTrailingBytes()
{
    QVERIFY(m_bench.setFault("echo.extra", 3));
    QTcpSocket s;
    QVERIFY(connectClient(s));
    s.write("payload");
    QCOMPARE(receive(s, 10, 2000), QByteArray("payloadZZZ"));
    QVERIFY(receive(s, 1, 100).isEmpty());
}

void TestEcho::splitIntoPieces()
{
    QVERIFY(m_bench.setFault("echo.split", 4));
    QTcpSocket s;
    QVERIFY(connectClient(s));
    const QByteArray p = payload(1000);
    s.write(p);
    int reads = 0;
    QCOMPARE(receive(s, p.size(), 3000, &reads), p);
    QVERIFY2(reads >= 2, qPrintable(QString::number(reads)));
    // More pieces than bytes: one byte each.
    QVERIFY(m_bench.setFault("echo.split", 50));
    s.write("ab");
    QCOMPARE(receive(s, 2, 2000), QByteArray("ab"));
}

void TestEcho::delayedEcho()
{
    QVERIFY(m_bench.setFault("echo.delayMs", 500));
    QTcpSocket s;
    QVERIFY(connectClient(s));
    QElapsedTimer t;
    t.start();
    s.write("late");
    QCOMPARE(receive(s, 4, 3000), QByteArray("late"));
    QVERIFY2(t.elapsed() >= 450, qPrintable(QString::number(t.elapsed())));
}

void TestEcho::serverClosesConnection()
{
    QVERIFY(m_bench.setFault("echo.close", true));
    QTcpSocket s;
    QVERIFY(connectClient(s));
    s.write("bye");
    QVERIFY(receive(s, 1, 2000).isEmpty());
    if (s.state() != QAbstractSocket::UnconnectedState)
        QVERIFY(s.waitForDisconnected(2000));
}

void TestEcho::serverDownAndUp()
{
    QTcpSocket held;
    QVERIFY(connectClient(held));
    QVERIFY(m_bench.setFault("echo.down", true));
    // Open connections are cut, new ones refused.
    if (held.state() != QAbstractSocket::UnconnectedState)
        QVERIFY(held.waitForDisconnected(2000));
    QTcpSocket refused;
    QVERIFY(!connectClient(refused));
    QCOMPARE(refused.error(), QAbstractSocket::ConnectionRefusedError);
    QCOMPARE(m_bench.state().value("echo").toObject().value("listening").toBool(), false);

    QVERIFY(m_bench.setFault("echo.down", false));
    QTcpSocket back;
    QVERIFY(connectClient(back)); // the same published port
    back.write("up");
    QCOMPARE(receive(back, 2, 2000), QByteArray("up"));
}

void TestEcho::listensOnLoopbackOnly()
{
    // The listening socket is bound to 127.0.0.1, never to any address.
    QFile tcp("/proc/net/tcp");
    if (!tcp.open(QIODevice::ReadOnly))
        QSKIP("no /proc/net/tcp");
    const QByteArray wanted = QByteArray("0100007F:") + QByteArray::number(m_bench.echoPort(), 16).toUpper().rightJustified(4, '0') + " 00000000:0000 0A";
    const QByteArray any = QByteArray("00000000:") + QByteArray::number(m_bench.echoPort(), 16).toUpper().rightJustified(4, '0') + " 00000000:0000 0A";
    const QByteArray table = tcp.readAll();
    QVERIFY(table.contains(wanted));
    QVERIFY(!table.contains(any));
}

void TestEcho::connectionsLeaveNothingBehind()
{
    const auto counters = [this] { return m_bench.state().value("echo").toObject(); };
    const qint64 before = qint64(counters().value("connections").toDouble());
    for (int i = 0; i < 50; ++i) {
        QTcpSocket s;
        QVERIFY(connectClient(s));
        s.write("x");
        QCOMPARE(receive(s, 1, 2000), QByteArray("x"));
        if (i % 2)
            s.abort(); // rudely
        else
            s.disconnectFromHost();
    }
    QTRY_COMPARE(counters().value("open").toInt(), 0);
    QCOMPARE(qint64(counters().value("connections").toDouble()), before + 50);
}

QTEST_GUILESS_MAIN(TestEcho)
#include "tst_echo.moc"
