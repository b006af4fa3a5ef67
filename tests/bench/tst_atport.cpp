// The chip's AT port as a serial-port client sees it: power through the
// relay, registration reports, the radio commands, framing, pieces, and the
// chip's faults.
#include "BenchProcess.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <memory>
#include <QJsonArray>
#include <QSerialPort>
#include <QTest>

namespace {

const QByteArray kCreg1 = "\r\n+CREG: 1\r\n";
const QByteArray kCreg0 = "\r\n+CREG: 0\r\n";
const QByteArray kOk = "\r\nOK\r\n";
const QByteArray kError = "\r\nERROR\r\n";

} // namespace

class TestAtPort : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void silentAndDeafWhileUnpowered();
    void registrationAfterPowerOn();
    void radioOffAndOn();
    void commandParsing();
    void powerOffCancelsPendingReports();
    void reopeningThePort();
    void repliesInPieces();
    void registrationNeverComes();
    void registrationComesLate();
    void cfunRepliesMissing();
    void unpluggedSupplyBoardCutsPower();
    void portVanishesWhileUnpowered();
    void signalSimAttachAndFlightMode();
    void rebootByCommand();

private:
    bool openPort(const QString &name = QString());
    // Reads until `wanted` has arrived (true) or waitMs passed; counts reads.
    bool readUntil(const QByteArray &wanted, int waitMs);
    // Reads whatever comes within waitMs.
    QByteArray readFor(int waitMs);
    bool powerUpAndRegister();
    void send(const QByteArray &cmd);

    BenchProcess m_bench;
    QSerialPort *m_port = nullptr;
    QByteArray m_got;
    int m_reads = 0;
};

void TestAtPort::init()
{
    // Short chip delays keep each case quick; the order of events is what counts.
    QVERIFY2(m_bench.start({"--boot-ms", "50", "--register-ms", "100", "--deregister-ms", "30"}),
             qPrintable(m_bench.errorString()));
    m_port = new QSerialPort(this);
    QVERIFY(openPort());
    m_got.clear();
    m_reads = 0;
}

void TestAtPort::cleanup()
{
    delete m_port;
    m_port = nullptr;
    QVERIFY(m_bench.stop());
}

bool TestAtPort::openPort(const QString &name)
{
    m_port->setPortName(name.isEmpty() ? m_bench.atPort() : name);
    if (!m_port->open(QIODevice::ReadWrite))
        return false;
    return m_port->setBaudRate(115200) && m_port->setDataBits(QSerialPort::Data8)
           && m_port->setParity(QSerialPort::NoParity) && m_port->setStopBits(QSerialPort::OneStop)
           && m_port->setFlowControl(QSerialPort::NoFlowControl);
}

bool TestAtPort::readUntil(const QByteArray &wanted, int waitMs)
{
    QElapsedTimer t;
    t.start();
    // Bytes that came while the test was processing events are buffered
    // already; waitForReadyRead only reports those that come after it.
    if (m_port->bytesAvailable() > 0) {
        m_got += m_port->readAll();
        ++m_reads;
    }
    while (!m_got.contains(wanted)) {
        const qint64 left = waitMs - t.elapsed();
        if (left <= 0 || !m_port->waitForReadyRead(int(left)))
            return m_got.contains(wanted);
        m_got += m_port->readAll();
        ++m_reads;
    }
    return true;
}

QByteArray TestAtPort::readFor(int waitMs)
{
    readUntil(QByteArray("\x01never\x02"), waitMs);
    return m_got;
}

void TestAtPort::send(const QByteArray &cmd)
{
    m_got.clear();
    m_reads = 0;
    m_port->write(cmd);
    m_port->waitForBytesWritten(1000);
}

bool TestAtPort::powerUpAndRegister()
{
    m_got.clear();
    return m_bench.setChipPower(true) && readUntil(kCreg1, 3000);
}

void TestAtPort::silentAndDeafWhileUnpowered()
{
    send("AT\r\n");
    QVERIFY(readFor(300).isEmpty());
    const QJsonObject chip = m_bench.state().value("chip").toObject();
    QCOMPARE(chip.value("powered").toBool(), false);
    QVERIFY(chip.value("discardedBytes").toInt() >= 4);
    QVERIFY(chip.value("lastCommands").toArray().isEmpty());
    // A relay channel other than the supply does not power the chip.
    QVERIFY(m_bench.setRelay("BNCH1", 2, true));
    QVERIFY(readFor(400).isEmpty());
}

void TestAtPort::registrationAfterPowerOn()
{
    QVERIFY(m_bench.setChipPower(true));
    QVERIFY(readUntil(kCreg1, 3000));
    // Exactly the unsolicited report, framed as a modem frames it.
    QCOMPARE(m_got, kCreg1);
    const QJsonObject chip = m_bench.state().value("chip").toObject();
    QVERIFY(chip.value("powered").toBool());
    QCOMPARE(chip.value("creg").toInt(), 1);
    send("AT\r");
    QVERIFY(readUntil(kOk, 1000));
    QCOMPARE(m_got, kOk);
}

void TestAtPort::radioOffAndOn()
{
    QVERIFY(powerUpAndRegister());
    send("AT+CFUN=0\r\n");
    QVERIFY(readUntil(kCreg0, 2000));
    QCOMPARE(m_got, kOk + kCreg0); // the reply first, then the report
    QCOMPARE(m_bench.state().value("chip").toObject().value("creg").toInt(), 0);

    send("AT+CFUN=1\r\n");
    QVERIFY(readUntil(kCreg1, 2000));
    QCOMPARE(m_got, kOk + kCreg1);

    // Radio already on: only the reply, no second report.
    send("AT+CFUN=1\r\n");
    QCOMPARE(readFor(400), kOk);

    const QJsonArray last = m_bench.state().value("chip").toObject().value("lastCommands").toArray();
    QCOMPARE(last.last().toString(), QString("AT+CFUN=1"));
    QCOMPARE(last.size(), 3);
}

void TestAtPort::commandParsing()
{
    QVERIFY(powerUpAndRegister());
    // A command may arrive byte by byte; line feeds are ignored.
    m_got.clear();
    for (const char c : QByteArray("\nA\nT\r")) {
        m_port->write(&c, 1);
        m_port->waitForBytesWritten(1000);
        QTest::qWait(5);
    }
    QVERIFY(readUntil(kOk, 1000));

    send("AT+CGMI\r");
    QVERIFY(readUntil(kError, 1000));
    QCOMPARE(m_got, kError);

    // Two commands in one write: two replies, in order.
    send("AT\rATI\r");
    QVERIFY(readUntil(kOk + kError, 1000));

    // Empty lines get no reply at all.
    send("\r\r\n\r");
    QVERIFY(readFor(200).isEmpty());

    // An endless line is refused once it ends, not stored without bound.
    send(QByteArray(5000, 'A') + "\r");
    QVERIFY(readUntil(kError, 1000));
    QCOMPARE(m_got, kError);
    send("AT\r");
    QVERIFY(readUntil(kOk, 1000));
}

void TestAtPort::powerOffCancelsPendingReports()
{
    QVERIFY(powerUpAndRegister());
    QVERIFY(m_bench.setFault("creg.lateMs", 300));
    send("AT+CFUN=0\r");
    QVERIFY(readUntil(kCreg0, 2000));
    send("AT+CFUN=1\r");
    QVERIFY(readUntil(kOk, 1000));
    // The registration report is pending; the supply drops first.
    QVERIFY(m_bench.setChipPower(false));
    m_got.clear();
    QVERIFY(!readFor(700).contains("CREG"));
    const QJsonObject chip = m_bench.state().value("chip").toObject();
    QCOMPARE(chip.value("powered").toBool(), false);
    QCOMPARE(chip.value("creg").toInt(), 0);

    // Powering up again starts from scratch: one report, no leftovers.
    QVERIFY(m_bench.setFault("creg.lateMs", 0));
    QVERIFY(powerUpAndRegister());
    QCOMPARE(m_got, kCreg1);
}

void TestAtPort::reopeningThePort()
{
    QVERIFY(powerUpAndRegister());
    // A client closing the port must not upset the chip's side.
    for (int i = 0; i < 3; ++i) {
        m_port->close();
        QTest::qWait(50);
        QVERIFY(openPort());
        send("AT\r");
        QVERIFY(readUntil(kOk, 1000));
    }
    QVERIFY(m_bench.request({{"op", "hello"}}).value("ok").toBool());
}

void TestAtPort::repliesInPieces()
{
    QVERIFY(m_bench.setFaults({{"at.pieces", 4}, {"at.pieceGapMs", 30}}));
    QVERIFY(powerUpAndRegister());
    QCOMPARE(m_got, kCreg1);
    QVERIFY(m_reads >= 2);

    send("AT+CFUN=0\r");
    QVERIFY(readUntil(kCreg0, 2000));
    // Pieces of consecutive replies never interleave.
    QCOMPARE(m_got, kOk + kCreg0);
    QVERIFY(m_reads >= 3);
}

void TestAtPort::registrationNeverComes()
{
    QVERIFY(m_bench.setFault("creg.never", true));
    QVERIFY(m_bench.setChipPower(true));
    QVERIFY(!readUntil(kCreg1, 600));
    // The chip itself is alive and answers.
    send("AT\r");
    QVERIFY(readUntil(kOk, 1000));
    send("AT+CFUN=0\r");
    QVERIFY(readUntil(kCreg0, 1000));
    send("AT+CFUN=1\r");
    QVERIFY(readUntil(kOk, 1000));
    QVERIFY(!readUntil(kCreg1, 500));
    QCOMPARE(m_bench.state().value("chip").toObject().value("creg").toInt(), 0);
}

void TestAtPort::registrationComesLate()
{
    QVERIFY(m_bench.setFault("creg.lateMs", 800));
    QElapsedTimer t;
    t.start();
    QVERIFY(m_bench.setChipPower(true));
    QVERIFY(readUntil(kCreg1, 4000));
    QVERIFY2(t.elapsed() >= 800, qPrintable(QString::number(t.elapsed())));
}

void TestAtPort::cfunRepliesMissing()
{
    QVERIFY(powerUpAndRegister());
    QVERIFY(m_bench.setFault("cfun.noReply", true));
    send("AT+CFUN=0\r");
    QVERIFY(readFor(400).isEmpty());
    send("AT\r");
    QVERIFY(readUntil(kOk, 1000)); // only the radio commands go unanswered
    QCOMPARE(m_bench.state().value("chip").toObject().value("creg").toInt(), 1);
    QVERIFY(m_bench.setFault("cfun.noReply", false));
    send("AT+CFUN=0\r");
    QVERIFY(readUntil(kCreg0, 1000));
}

void TestAtPort::unpluggedSupplyBoardCutsPower()
{
    QVERIFY(powerUpAndRegister());
    QVERIFY(m_bench.setFault("relay.missing", "BNCH1"));
    const QJsonObject state = m_bench.state();
    QCOMPARE(state.value("chip").toObject().value("powered").toBool(), false);
    send("AT\r");
    QVERIFY(readFor(300).isEmpty());
    // Plugged in again, the relay is off until switched.
    QVERIFY(m_bench.setFault("relay.missing", false));
    QCOMPARE(m_bench.state().value("chip").toObject().value("powered").toBool(), false);
    QVERIFY(powerUpAndRegister());
}

void TestAtPort::portVanishesWhileUnpowered()
{
    const QString link = m_bench.atLink();
    QCOMPARE(QFileInfo(link).symLinkTarget(), m_bench.atPort());
    // Without the fault the port outlives a power cycle.
    QVERIFY(powerUpAndRegister());
    QVERIFY(m_bench.setChipPower(false));
    QVERIFY(powerUpAndRegister());
    QCOMPARE(QFileInfo(link).symLinkTarget(), m_bench.atPort());
    QVERIFY(m_bench.setChipPower(false));

    QVERIFY(m_bench.setFault("at.vanish", true));
    QStringList seen{m_bench.atPort()};
    QVERIFY(powerUpAndRegister());
    for (int cycle = 0; cycle < 3; ++cycle) {
        QVERIFY(m_bench.setChipPower(false));
        // Gone: the open port is hung up, the name leads nowhere.
        QVERIFY(!QFileInfo(link).isSymLink());
        QCOMPARE(m_bench.chip().value("atPort").toString(), QString());
        QVERIFY(!m_port->waitForReadyRead(500) || m_port->readAll().isEmpty());
        QVERIFY2(m_port->error() != QSerialPort::NoError, qPrintable(m_port->errorString()));
        // The client still holds the old port while the new one appears.
        std::unique_ptr<QSerialPort> old(std::exchange(m_port, new QSerialPort(this)));

        // Back after boot, under the same name, as a new device.
        QVERIFY(m_bench.setChipPower(true));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(link).isSymLink(), 3000);
        const QString device = QFileInfo(link).symLinkTarget();
        QCOMPARE(m_bench.chip().value("atPort").toString(), device);
        QVERIFY(QFileInfo::exists(device));
        QVERIFY2(device != seen.last(), qPrintable(device));
        seen << device;
        // As with a real port, the stale handle goes before the name is
        // opened again (its lock is named after the port).
        old.reset();
        QVERIFY2(openPort(link), qPrintable(m_port->errorString()));
        m_got.clear();
        QVERIFY(readUntil(kCreg1, 3000));
        send("AT\r");
        QVERIFY(readUntil(kOk, 1000));
    }
    // The link goes with the bench.
    QVERIFY(m_bench.stop());
    QVERIFY(!QFileInfo(link).isSymLink());
    QVERIFY(m_bench.start());
}

void TestAtPort::signalSimAttachAndFlightMode()
{
    QVERIFY(powerUpAndRegister());
    const auto exchange = [this](const QByteArray &cmd) {
        send(cmd + "\r");
        return readFor(250);
    };
    QCOMPARE(exchange("AT+CSQ"), QByteArray("\r\n+CSQ: 21,99\r\n") + kOk);
    QCOMPARE(exchange("at+cpin?"), QByteArray("\r\n+CPIN: READY\r\n") + kOk);
    QCOMPARE(exchange("AT+CGATT?"), QByteArray("\r\n+CGATT: 1\r\n") + kOk);

    QVERIFY(m_bench.setFaults({{"csq.rssi", 7}}));
    QCOMPARE(exchange("AT+CSQ"), QByteArray("\r\n+CSQ: 7,99\r\n") + kOk);
    QVERIFY(m_bench.setFaults({{"csq.unknown", true}, {"sim.absent", true}, {"attach.off", true}}));
    QCOMPARE(exchange("AT+CSQ"), QByteArray("\r\n+CSQ: 99,99\r\n") + kOk);
    QCOMPARE(exchange("AT+CPIN?"), QByteArray("\r\n+CME ERROR: 10\r\n"));
    QCOMPARE(exchange("AT+CGATT?"), QByteArray("\r\n+CGATT: 0\r\n") + kOk);
    QVERIFY(!m_bench.setFaults({{"csq.rssi", 32}}));
    QVERIFY(m_bench.clearFaults());

    // Flight mode leaves the network as radio off does; radio on comes back.
    send("AT+CFUN=4\r");
    QVERIFY(readUntil(kCreg0, 2000));
    QCOMPARE(m_got, kOk + kCreg0);
    QCOMPARE(exchange("AT+CGATT?"), QByteArray("\r\n+CGATT: 0\r\n") + kOk);
    send("AT+CFUN=1\r");
    QVERIFY(readUntil(kCreg1, 2000));
    QCOMPARE(m_got, kOk + kCreg1);
}

void TestAtPort::rebootByCommand()
{
    QVERIFY(powerUpAndRegister());
    // Registration late enough to see the chip between its lives.
    QVERIFY(m_bench.setFaults({{"creg.lateMs", 400}}));
    QElapsedTimer t;
    t.start();
    send("AT+CFUN=1,1\r");
    QVERIFY(readUntil(kOk, 1000));
    QCOMPARE(m_bench.chip().value("creg").toInt(), 0);
    QVERIFY(readUntil(kCreg1, 3000));
    QCOMPARE(m_got, kOk + kCreg1);
    QVERIFY(t.elapsed() >= 500); // boot 50 + register 100 + 400 late, less coarse timers' 5 %
    QVERIFY(m_bench.chipPowered());

    // A reboot that hangs keeps the chip dark until its supply is cycled.
    QVERIFY(m_bench.setFaults({{"reboot.hang", true}}));
    send("AT+CFUN=1,1\r");
    QCOMPARE(readFor(500), kOk);
    send("AT\r");
    QVERIFY(readFor(300).isEmpty());
    QVERIFY(m_bench.setChipPower(false));
    QVERIFY(powerUpAndRegister());
}

QTEST_GUILESS_MAIN(TestAtPort)
#include "tst_atport.moc"

