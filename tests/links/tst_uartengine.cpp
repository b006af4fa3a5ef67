// UartEngine against a real pseudo-terminal: the test holds the master
// side and plays the chip.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSerialPort>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include "ChannelWait.h"
#include "PortIdentity.h"
#include "PseudoTerminal.h"
#include "UartEngine.h"

namespace {

using Lines = QList<QPair<QString, QColor>>;

Lines linesOf(const QSignalSpy &spy)
{
    Lines lines;
    for (const QList<QVariant> &args : spy)
        lines.append({args.at(0).toString(), args.at(1).value<QColor>()});
    return lines;
}

bool writeText(const QString &path, const QByteArray &text)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(text) == text.size();
}

} // namespace

class TestUartEngine : public QObject
{
    Q_OBJECT

private slots:
    void openAndCloseLogAndSettle();
    void reopenClosesTheOldPortFirst();
    void lineSettingsAfterOpen();
    void failedOpenIsYellowAndLeavesPortClosed();
    void chunksKeepOrderWithoutLineEnds();
    void nulByteCutsTheLogLineButNotTheBuffer();
    void writeReachesTheChip();
    void writeOnClosedPortFails();
    void destructionClosesAnOpenPort();
    void vanishedDeviceDoesNotSpin();
    void bareNamesLieUnderDev();
    void identityTellsTheChipsPortFromAStranger();
};

void TestUartEngine::openAndCloseLogAndSettle()
{
    PseudoTerminal pty;
    QVERIFY(!pty.slavePath().isEmpty());
    UartEngine engine;
    QSignalSpy spy(&engine, &UartEngine::sngLogtext);

    engine.close(); // not open: no line, no wait
    QCOMPARE(spy.count(), 0);

    QVERIFY(engine.open(pty.slavePath(), 115200, 0));
    QVERIFY(engine.isOpen());
    QElapsedTimer t;
    t.start();
    engine.close();
    QVERIFY2(t.elapsed() >= 490, "the settle wait after closing lasts 500 ms");
    QVERIFY(!engine.isOpen());

    const Lines lines = linesOf(spy);
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines.at(0).first, QStringLiteral("Open port %1 sucessfully!").arg(pty.slavePath()));
    QCOMPARE(lines.at(1).first, QStringLiteral("Close port %1").arg(pty.slavePath()));
    QCOMPARE(lines.at(0).second, QColor(Qt::yellow));
    QCOMPARE(lines.at(1).second, QColor(Qt::yellow));
}

void TestUartEngine::lineSettingsAfterOpen()
{
    PseudoTerminal pty;
    QVERIFY(pty.setOtherLineSettings());
    QCOMPARE(pty.lineSettings(), QStringLiteral("9600 8N2 rtscts ixon ixoff"));
    UartEngine engine;
    // The worker's values: 115200 baud, no flow control.
    QVERIFY(engine.open(pty.slavePath(), 115200, int(QSerialPort::NoFlowControl)));
    QCOMPARE(pty.lineSettings(), QStringLiteral("115200 8N1"));
}

void TestUartEngine::reopenClosesTheOldPortFirst()
{
    PseudoTerminal first;
    PseudoTerminal second;
    UartEngine engine;
    QVERIFY(engine.open(first.slavePath(), 115200, 0));
    QSignalSpy spy(&engine, &UartEngine::sngLogtext);
    QElapsedTimer t;
    t.start();
    QVERIFY(engine.open(second.slavePath(), 115200, 0));
    QVERIFY(t.elapsed() >= 490);
    const Lines lines = linesOf(spy);
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines.at(0).first, QStringLiteral("Close port %1").arg(first.slavePath()));
    QCOMPARE(lines.at(1).first, QStringLiteral("Open port %1 sucessfully!").arg(second.slavePath()));
}

void TestUartEngine::failedOpenIsYellowAndLeavesPortClosed()
{
    UartEngine engine;
    QSignalSpy spy(&engine, &UartEngine::sngLogtext);
    const QString missing = QStringLiteral("/dev/trevalo-no-such-port");
    QVERIFY(!engine.open(missing, 115200, 0));
    QVERIFY(!engine.isOpen());
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toString(), QStringLiteral("Failed to open %1").arg(missing));
    QCOMPARE(spy.at(0).at(1).value<QColor>(), QColor(Qt::yellow));
}

void TestUartEngine::chunksKeepOrderWithoutLineEnds()
{
    PseudoTerminal pty;
    UartEngine engine;
    QVERIFY(engine.open(pty.slavePath(), 115200, 0));
    QSignalSpy spy(&engine, &UartEngine::sngLogtext);

    QVERIFY(pty.send("+CRE"));
    QVERIFY(receiveUntil(engine, 4));
    QCOMPARE(engine.m_recvBuffer, QByteArray("+CRE"));
    QVERIFY(pty.send("G: 1\r\n\r\nOK\r\n"));
    QVERIFY(receiveUntil(engine, 10));
    QCOMPARE(engine.m_recvBuffer, QByteArray("+CREG: 1OK"));

    const Lines lines = linesOf(spy);
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines.at(0).first, QStringLiteral("+CRE"));
    QCOMPARE(lines.at(1).first, QStringLiteral("G: 1\r\n\r\nOK\r\n"));

    // Neither closing nor reopening touches the buffer.
    engine.close();
    QCOMPARE(engine.m_recvBuffer, QByteArray("+CREG: 1OK"));
}

void TestUartEngine::nulByteCutsTheLogLineButNotTheBuffer()
{
    PseudoTerminal pty;
    UartEngine engine;
    QVERIFY(engine.open(pty.slavePath(), 115200, 0));
    QSignalSpy spy(&engine, &UartEngine::sngLogtext);
    QVERIFY(pty.send(QByteArray("ab\0cd", 5)));
    QVERIFY(receiveUntil(engine, 5));
    QCOMPARE(engine.m_recvBuffer, QByteArray("ab\0cd", 5));
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toString(), QStringLiteral("ab"));
}

void TestUartEngine::writeReachesTheChip()
{
    PseudoTerminal pty;
    UartEngine engine;
    QVERIFY(engine.open(pty.slavePath(), 115200, 0));
    QSignalSpy spy(&engine, &UartEngine::sngLogtext);
    QVERIFY(engine.write("AT+CFUN=0\r\n"));
    QCOMPARE(pty.receive(2000), QByteArray("AT+CFUN=0\r\n"));
    QCOMPARE(spy.count(), 0); // a good write logs nothing
}

void TestUartEngine::writeOnClosedPortFails()
{
    UartEngine engine;
    engine.m_recvBuffer = "kept";
    QSignalSpy spy(&engine, &UartEngine::sngLogtext);
    QVERIFY(!engine.write("AT\r\n"));
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toString(), QStringLiteral("Write AT command failed!"));
    QCOMPARE(spy.at(0).at(1).value<QColor>(), QColor(Qt::red));
    QCOMPARE(engine.m_recvBuffer, QByteArray("kept"));
}

void TestUartEngine::destructionClosesAnOpenPort()
{
    PseudoTerminal pty;
    QStringList lines;
    {
        UartEngine engine;
        QVERIFY(engine.open(pty.slavePath(), 115200, 0));
        connect(&engine, &UartEngine::sngLogtext, this, [&lines](const QString &line) { lines << line; });
    }
    QCOMPARE(lines, QStringList{QStringLiteral("Close port %1").arg(pty.slavePath())});
}

void TestUartEngine::vanishedDeviceDoesNotSpin()
{
    PseudoTerminal pty;
    UartEngine engine;
    QVERIFY(engine.open(pty.slavePath(), 115200, 0));
    pty.closeMaster();

    // The hang-up closes the port instead of leaving a notifier firing.
    QElapsedTimer t;
    t.start();
    while (engine.isOpen() && t.elapsed() < 3000)
        engine.waitReadyRead(100);
    QVERIFY(!engine.isOpen());

    QSignalSpy spy(&engine, &UartEngine::sngLogtext);
    QVERIFY(!engine.write("AT\r\n"));
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(1).value<QColor>(), QColor(Qt::red));
}

void TestUartEngine::bareNamesLieUnderDev()
{
    // The port list names ports without /dev/ ("ttyUSB0"); whether such a
    // port is there must not depend on the current folder.
    PseudoTerminal pty;
    const QString path = pty.slavePath();
    QVERIFY(path.startsWith(QLatin1String("/dev/")));
    const QString bare = path.mid(5);
    QCOMPARE(UartEngine::systemLocation(bare), path);
    QCOMPARE(UartEngine::systemLocation(path), path);
    QVERIFY(UartEngine::isPresent(bare));
    QVERIFY(UartEngine::isPresent(path));
    QVERIFY(!UartEngine::isPresent(QStringLiteral("ttyTREVALO_NONE")));
    QVERIFY(!UartEngine::isPresent(QString()));
    // A stable link whose device has gone is no port.
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("ttyAT"));
    QVERIFY(QFile::link(dir.filePath(QStringLiteral("gone")), link));
    QCOMPARE(UartEngine::systemLocation(link), link);
    QVERIFY(!UartEngine::isPresent(link));

    // The bare name opens that device, and the engine sees it stay.
    UartEngine engine;
    QVERIFY(engine.open(bare, 115200, 0));
    QVERIFY(!engine.isGone());
    QVERIFY(pty.send("+CREG: 1\r\n"));
    QVERIFY(receiveUntil(engine, 8));
    QCOMPARE(engine.m_recvBuffer, QByteArray("+CREG: 1"));
}

void TestUartEngine::identityTellsTheChipsPortFromAStranger()
{
    PseudoTerminal chip, stranger;
    QTemporaryDir dir;
    const QString byId = dir.filePath(QStringLiteral("by-id"));
    const QString sys = dir.filePath(QStringLiteral("class-tty"));
    QVERIFY(QDir().mkpath(byId) && QDir().mkpath(sys));
    const QString link = byId + QStringLiteral("/usb-Quectel_EC25_0123-if02-port0");
    QVERIFY(QFile::link(chip.slavePath(), link));
    const QString bench = dir.filePath(QStringLiteral("ttyAT"));
    QVERIFY(QFile::link(chip.slavePath(), bench));

    // Links follow the device; numbers do not.
    QVERIFY(PortIdentity::isStableName(link));
    QVERIFY(PortIdentity::isStableName(bench));
    QVERIFY(!PortIdentity::isStableName(chip.slavePath()));
    QCOMPARE(PortIdentity::stableNames(chip.slavePath(), {bench}, byId), (QStringList{bench, link}));
    QCOMPARE(PortIdentity::stableNames(stranger.slavePath(), {bench}, byId), QStringList());
    // Without sysfs data, the links that lead to a device tell it apart.
    const QString chipId = PortIdentity::of(chip.slavePath(), {bench}, byId, sys);
    QCOMPARE(chipId, QStringLiteral("reached through %1, %2").arg(bench, link));
    QCOMPARE(PortIdentity::of(stranger.slavePath(), {bench}, byId, sys), QString());
    // A USB port: its interface of a device with a serial number, or of
    // the device at that place on the bus.
    const QString iface = dir.filePath(QStringLiteral("devices/usb1/1-1.4/1-1.4:1.2"));
    QVERIFY(QDir().mkpath(iface + QStringLiteral("/tty")));
    QVERIFY(writeText(iface + QStringLiteral("/bInterfaceNumber"), "02\n"));
    QVERIFY(writeText(iface + QStringLiteral("/../idVendor"), "2c7c\n"));
    QVERIFY(writeText(iface + QStringLiteral("/../idProduct"), "0125\n"));
    const QString node = QFileInfo(chip.slavePath()).fileName();
    QVERIFY(QDir().mkpath(sys + QLatin1Char('/') + node));
    QVERIFY(QFile::link(iface + QStringLiteral("/tty"), sys + QLatin1Char('/') + node + QStringLiteral("/device")));
    QCOMPARE(PortIdentity::of(chip.slavePath(), {}, byId, sys), QStringLiteral("usb 2c7c:0125 at 1-1.4 if02"));
    QVERIFY(writeText(iface + QStringLiteral("/../serial"), "0123\n"));
    QCOMPARE(PortIdentity::of(chip.slavePath(), {}, byId, sys), QStringLiteral("usb 2c7c:0125 0123 if02"));
}

QTEST_GUILESS_MAIN(TestUartEngine)
#include "tst_uartengine.moc"
