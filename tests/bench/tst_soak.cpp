// A bench runs for days: many connections, dials, requests and power
// cycles must leave its memory where it was, and an idle bench must not
// use the processor. Prints the figures it measures.
#include "BenchClient.h"
#include "BenchProcess.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSerialPort>
#include <QTcpSocket>
#include <QTest>
#include <QThread>

#include <unistd.h>

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

qint64 residentKiB(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

// User plus system time of a process, in clock ticks.
qint64 cpuTicks(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray s = f.readAll();
    const QList<QByteArray> fields = s.mid(s.lastIndexOf(')') + 2).split(' ');
    // Fields 14 and 15 of the file; the list starts at field 3.
    return fields.value(11).toLongLong() + fields.value(12).toLongLong();
}

} // namespace

class TestSoak : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void idleBenchSleeps();
    void memoryStaysFlat();

private:
    void workload(int rounds);

    BenchProcess m_bench;
};

void TestSoak::initTestCase()
{
    // AddressSanitizer holds freed memory back in a quarantine, which would
    // read as growth; without it the bench's resident size means what it
    // means in a plain build (plus the sanitizer's fixed overhead).
    if (kAddressSanitizer)
        qputenv("ASAN_OPTIONS", qgetenv("ASAN_OPTIONS") + ":quarantine_size_mb=0");
    QVERIFY2(m_bench.start({"--echo-gap-ms", "1", "--dial-step-ms", "0", "--boot-ms", "0",
                            "--register-ms", "0", "--deregister-ms", "0"}),
             qPrintable(m_bench.errorString()));
}

void TestSoak::cleanupTestCase()
{
    QVERIFY(m_bench.stop());
}

void TestSoak::idleBenchSleeps()
{
    // Powered chip with a client on its port, a held dial, an open echo
    // connection: all silent.
    QSerialPort port;
    port.setPortName(m_bench.atPort());
    QVERIFY(port.open(QIODevice::ReadWrite));
    QVERIFY(m_bench.setChipPower(true));
    BenchSession dial;
    QVERIFY(dial.open());
    QVERIFY(dial.send({{"op", "dial"}, {"number", "*99***1#"}}));
    QTcpSocket echo;
    echo.connectToHost("127.0.0.1", m_bench.echoPort());
    QVERIFY(echo.waitForConnected(3000));
    QTest::qWait(200);

    const qint64 before = cpuTicks(m_bench.pid());
    QThread::msleep(2000);
    const qint64 used = cpuTicks(m_bench.pid()) - before;
    const double percent = 100.0 * double(used) / double(sysconf(_SC_CLK_TCK)) / 2.0;
    qInfo("idle bench: %.1f %% of one core over 2 s", percent);
    QVERIFY2(percent < 10.0, "the idle bench is busy");
    QVERIFY(m_bench.setChipPower(false));
}

void TestSoak::workload(int rounds)
{
    QSerialPort port;
    port.setPortName(m_bench.atPort());
    QVERIFY(port.open(QIODevice::ReadWrite));
    const QByteArray payload(2047, 'p');
    for (int i = 0; i < rounds; ++i) {
        QTcpSocket s;
        s.connectToHost("127.0.0.1", m_bench.echoPort());
        QVERIFY(s.waitForConnected(3000));
        s.write(payload);
        QByteArray got;
        while (got.size() < payload.size() && s.waitForReadyRead(3000))
            got += s.readAll();
        QCOMPARE(got.size(), payload.size());
        s.disconnectFromHost();

        BenchSession d;
        QVERIFY(d.open());
        QVERIFY(d.send({{"op", "dial"}, {"number", "*99***1#"}}));
        const int conn = d.next(3000).value("conn").toInt();
        QVERIFY(conn > 0);
        if (i % 2) // half hung up, half abandoned with their connection
            QVERIFY(BenchClient::request({{"op", "hangup"}, {"conn", conn}}).value("ok").toBool());
        d.close();

        QVERIFY(m_bench.setChipPower(true));
        port.write("AT\rAT+CFUN=0\rAT+CFUN=1\r");
        port.waitForBytesWritten(1000);
        QVERIFY(m_bench.setChipPower(false));
        port.clear();
    }
}

void TestSoak::memoryStaysFlat()
{
    const qint64 pid = m_bench.pid();
    workload(200); // warm up allocator pools
    const qint64 start = residentKiB(pid);
    QElapsedTimer t;
    t.start();
    const int rounds = 1500;
    workload(rounds);
    const qint64 ms = t.elapsed();
    QTRY_COMPARE(m_bench.state().value("echo").toObject().value("open").toInt(), 0);
    QTRY_COMPARE(m_bench.state().value("dials").toObject().value("held").toInt(), 0);
    const qint64 end = residentKiB(pid);
    qInfo("soak: %d rounds (echo 2047 B, dial, power cycle with 3 AT commands) in %lld ms, "
          "%.2f ms per round; bench RSS %lld KiB -> %lld KiB%s",
          rounds, ms, double(ms) / rounds, start, end,
          kAddressSanitizer ? " (AddressSanitizer build, quarantine off)" : "");
    QVERIFY2(end - start < 4096, "the bench grows with use");
}

QTEST_GUILESS_MAIN(TestSoak)
#include "tst_soak.moc"
