// The program's own channels against a bench process: UartEngine on the
// chip's AT port through a power cycle and both radio exchanges, and
// SocketMannger through an echo exchange, with and without faults.
#include "BenchProcess.h"
#include "SocketMannger.h"
#include "UartEngine.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTest>

class TestLinksBench : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void radioCycleThroughUartEngine();
    void partialRepliesStillFound();
    void echoThroughSocketMannger_data();
    void echoThroughSocketMannger();
    void serverDownRefusesConnection();

private:
    // As the link steps wait: gather until the text is in the buffer.
    static bool waitFor(UartEngine &uart, const QByteArray &text, int waitMs);
    static QByteArray gather(SocketMannger &sock, int size, int waitMs);
    static QByteArray payload(int size);

    BenchProcess m_bench;
};

void TestLinksBench::initTestCase()
{
    QVERIFY2(m_bench.start({"--boot-ms", "50", "--register-ms", "100", "--deregister-ms", "30"}),
             qPrintable(m_bench.errorString()));
}

void TestLinksBench::init()
{
    QVERIFY(m_bench.clearFaults());
    QVERIFY(m_bench.setChipPower(false));
}

void TestLinksBench::cleanupTestCase()
{
    QVERIFY(m_bench.stop());
}

bool TestLinksBench::waitFor(UartEngine &uart, const QByteArray &text, int waitMs)
{
    QElapsedTimer t;
    t.start();
    while (!uart.m_recvBuffer.contains(text) && t.elapsed() < waitMs) {
        uart.waitReadyRead(50);
        QCoreApplication::processEvents();
    }
    return uart.m_recvBuffer.contains(text);
}

QByteArray TestLinksBench::gather(SocketMannger &sock, int size, int waitMs)
{
    QElapsedTimer t;
    t.start();
    while (sock.m_recvBuffer.size() < size && t.elapsed() < waitMs) {
        sock.waitReadyRead(100);
        QCoreApplication::processEvents();
    }
    return sock.m_recvBuffer;
}

QByteArray TestLinksBench::payload(int size)
{
    QByteArray p(size, Qt::Uninitialized);
    for (char &c : p)
        c = char(QRandomGenerator::global()->bounded(33, 127));
    return p;
}

void TestLinksBench::radioCycleThroughUartEngine()
{
    UartEngine uart;
    QVERIFY(uart.open(m_bench.atPort(), 115200, 0));
    for (int cycle = 0; cycle < 3; ++cycle) {
        uart.m_recvBuffer.clear();
        QVERIFY(m_bench.setChipPower(true));
        QVERIFY(waitFor(uart, "CREG: 1", 3000));

        uart.m_recvBuffer.clear();
        QVERIFY(uart.write("AT+CFUN=0\r\n"));
        QVERIFY(waitFor(uart, "CREG: 0", 3000));
        QVERIFY(uart.m_recvBuffer.startsWith("OK"));
        QVERIFY(!uart.m_recvBuffer.contains('\r') && !uart.m_recvBuffer.contains('\n'));

        uart.m_recvBuffer.clear();
        QVERIFY(uart.write("AT+CFUN=1\r\n"));
        QVERIFY(waitFor(uart, "CREG: 1", 3000));
        QCOMPARE(uart.m_recvBuffer, QByteArray("OK+CREG: 1"));

        QVERIFY(m_bench.setChipPower(false));
    }
    uart.close();
}

void TestLinksBench::partialRepliesStillFound()
{
    QVERIFY(m_bench.setFaults({{"at.pieces", 5}, {"at.pieceGapMs", 20}}));
    UartEngine uart;
    QVERIFY(uart.open(m_bench.atPort(), 115200, 0));
    QVERIFY(m_bench.setChipPower(true));
    QVERIFY(waitFor(uart, "CREG: 1", 3000));
    uart.m_recvBuffer.clear();
    QVERIFY(uart.write("AT+CFUN=0\r\n"));
    QVERIFY(waitFor(uart, "CREG: 0", 3000));
    QCOMPARE(uart.m_recvBuffer, QByteArray("OK+CREG: 0"));
    uart.close();
}

void TestLinksBench::echoThroughSocketMannger_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("value");
    QTest::addColumn<bool>("same");
    QTest::newRow("faithful") << QString() << 0 << true;
    QTest::newRow("split in 3") << "echo.split" << 3 << true;
    QTest::newRow("delayed") << "echo.delayMs" << 300 << true;
    QTest::newRow("one byte wrong") << "echo.corruptAt" << 1 << false;
    QTest::newRow("extra bytes") << "echo.extra" << 2 << false;
    QTest::newRow("missing") << "echo.drop" << 1 << false;
}

void TestLinksBench::echoThroughSocketMannger()
{
    QFETCH(QString, fault);
    QFETCH(int, value);
    QFETCH(bool, same);
    if (!fault.isEmpty())
        QVERIFY(m_bench.setFault(fault, value));
    SocketMannger sock;
    QVERIFY(sock.connectToHost("127.0.0.1", m_bench.echoPort(), 3000));
    const QByteArray p = payload(2047);
    QVERIFY(sock.write(p, 3000));
    const QByteArray got = gather(sock, p.size() + (same ? 0 : 2), same ? 5000 : 1000);
    QCOMPARE(got == p, same);
    sock.close();
}

void TestLinksBench::serverDownRefusesConnection()
{
    QVERIFY(m_bench.setFault("echo.down", true));
    SocketMannger sock;
    QVERIFY(!sock.connectToHost("127.0.0.1", m_bench.echoPort(), 2000));
}

QTEST_GUILESS_MAIN(TestLinksBench)
#include "tst_linksbench.moc"
