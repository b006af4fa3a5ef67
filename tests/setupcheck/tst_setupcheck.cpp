// The set-up check: ready on the virtual bench, and each broken set-up it
// is meant to catch, made for real where this machine allows it.
#include "BenchProcess.h"
#include "FakePppd.h"
#include "SetupCheck.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSerialPort>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

struct CheckRun
{
    int exitCode = -1;
    QStringList lines;
    QString line(const QString &name) const
    {
        for (const QString &l : lines) {
            if (l.mid(6).startsWith(name + QStringLiteral(": ")))
                return l;
        }
        return QString();
    }
};

// trevalo-run --check, optionally as another user (through setpriv).
CheckRun runCheck(const QStringList &args, const QStringList &asUser = {})
{
    QProcess p;
    const QString program = TestSupport::siblingProgram(QStringLiteral("trevalo-run"));
    const QStringList checkArgs = QStringList{QStringLiteral("--check")} + args;
    if (asUser.isEmpty())
        p.start(program, checkArgs);
    else
        p.start(QStringLiteral("setpriv"), asUser + QStringList{program} + checkArgs);
    CheckRun run;
    if (!p.waitForFinished(60000))
        return run;
    run.exitCode = p.exitCode();
    run.lines = QString::fromLocal8Bit(p.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    return run;
}

bool writeFile(const QString &path, const QByteArray &text, QFile::Permissions permissions)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(text) == text.size()
           && (f.close(), f.setPermissions(permissions));
}

const QFile::Permissions kExecutable = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
const QFile::Permissions kPlain = QFile::ReadOwner | QFile::WriteOwner;

} // namespace

class TestSetupCheck : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void readyOnTheVirtualBench();
    void portMissingUnreadableOrHeld();
    void modemManagerAndTheModemPort();
    void pppdAndPeerFile();
    void leftoverPppdEndedOrNamed();
    void benchOutOfReachIsNamed();
    void pingThatCannotSend();

private:
    BenchProcess m_bench;
    QTemporaryDir m_dir;
};

void TestSetupCheck::init()
{
    QVERIFY(m_dir.isValid());
    QVERIFY2(m_bench.start(), qPrintable(m_bench.errorString()));
}

void TestSetupCheck::cleanup()
{
    m_bench.stop();
}

void TestSetupCheck::readyOnTheVirtualBench()
{
    const CheckRun ready = runCheck({"--port", m_bench.atLink(), "--board", "BNCH1"});
    QCOMPARE(ready.lines.size(), 7);
    for (const QString &line : ready.lines)
        QVERIFY2(line.startsWith("ok    "), qPrintable(ready.lines.join('\n')));
    QCOMPARE(ready.exitCode, 0);
    // The name the port list shows, without /dev/, is the same port.
    QVERIFY(m_bench.atPort().startsWith("/dev/"));
    const CheckRun bare = runCheck({"--port", m_bench.atPort().mid(5), "--board", "BNCH1"});
    QVERIFY2(bare.line("port").startsWith("ok    port: " + m_bench.atPort()), qPrintable(bare.lines.join('\n')));
    QCOMPARE(bare.exitCode, 0);

    // Without options it checks the bench's own port and board, as a run
    // would use them: the port by its stable link.
    const CheckRun defaults = runCheck({});
    QVERIFY2(defaults.line("port").startsWith("ok    port: " + m_bench.atLink()), qPrintable(defaults.lines.join('\n')));
    QCOMPARE(defaults.exitCode, 0);

    // A steps file needs only what its steps use: a power cycle over AT
    // commands the port and the board, dial and ping pppd and ping.
    const QString cases = QStringLiteral(TREVALO_PACKAGING_DIR "/../tests/engine/cases/");
    const CheckRun radio = runCheck({"--steps", cases + "register-net.yml"});
    QCOMPARE(radio.lines.size(), 3);
    QVERIFY2(radio.line("port").startsWith("ok    port: " + m_bench.atLink()), qPrintable(radio.lines.join('\n')));
    QVERIFY(radio.line("relay board").startsWith("ok    "));
    QCOMPARE(radio.exitCode, 0);
    const CheckRun call = runCheck({"--steps", cases + "ppp-call.yml"});
    QCOMPARE(call.lines.size(), 4);
    QVERIFY2(call.line("port").isEmpty() && call.line("relay board").isEmpty(), qPrintable(call.lines.join('\n')));
    QVERIFY(call.line("ping").startsWith("ok    "));
    QCOMPARE(call.exitCode, 0);
    // A file that cannot be used is bad input, as for a run.
    QCOMPARE(runCheck({"--steps", "/no/such/case.yml"}).exitCode, 2);

    const CheckRun otherBoard = runCheck({"--port", m_bench.atPort(), "--board", "BNCH9"});
    QCOMPARE(otherBoard.exitCode, 1);
    QVERIFY2(otherBoard.line("relay board").startsWith("FAIL  relay board: BNCH9 not listed (found BNCH1)"),
             qPrintable(otherBoard.line("relay board")));

    // An unplugged board is not listed either.
    QVERIFY(m_bench.setFault("relay.missing", true));
    SetupCheck::Options o;
    o.board = QStringLiteral("BNCH1");
    const SetupCheck::Item gone = SetupCheck::checkRelayBoard(o);
    QVERIFY(!gone.ok);
    QVERIFY2(gone.advice.contains("60-trevalo-relay.rules"), qPrintable(gone.advice));
}

void TestSetupCheck::portMissingUnreadableOrHeld()
{
    SetupCheck::Options o;
    o.port = m_dir.filePath("ttyUSB7");
    SetupCheck::Item missing = SetupCheck::checkPort(o);
    QVERIFY(!missing.ok);
    QVERIFY(missing.detail.endsWith("does not exist"));
    o.port.clear();
    QVERIFY(!SetupCheck::checkPort(o).ok);

    // Held by another program: it would answer in the chip's place.
    const QString port = m_bench.atPort();
    {
        QSerialPort holder;
        holder.setPortName(port);
        QVERIFY(holder.open(QIODevice::ReadWrite));
        const CheckRun held = runCheck({"--port", port});
        const QString line = held.line("port");
        QVERIFY2(line.startsWith("FAIL") && line.contains(QString("(pid %1)").arg(QCoreApplication::applicationPid())),
                 qPrintable(line));
        QCOMPARE(held.exitCode, 1);
    }
    QVERIFY(runCheck({"--port", port}).line("port").startsWith("ok"));

    // A user outside the port's group, as on a fresh machine.
    if (::geteuid() != 0 || QStandardPaths::findExecutable("setpriv").isEmpty())
        QSKIP("needs root and setpriv to run the check as another user");
    const group *dialout = ::getgrnam("dialout");
    QVERIFY(dialout);
    const QByteArray device = QFile::encodeName(port);
    QVERIFY(::chown(device.constData(), uid_t(-1), dialout->gr_gid) == 0);
    QVERIFY(::chmod(device.constData(), 0660) == 0);
    const QStringList nobody{"--reuid=65534", "--regid=65534", "--clear-groups"};
    const CheckRun denied = runCheck({"--port", port}, nobody);
    QVERIFY2(denied.line("port").startsWith(QString("FAIL  port: %1 cannot be opened read-write (").arg(port)),
             qPrintable(denied.lines.join('\n')));
    QVERIFY2(denied.line("port").contains("group dialout"), qPrintable(denied.line("port")));
    QCOMPARE(denied.exitCode, 1);
    // In the group, the same user may.
    const CheckRun member = runCheck({"--port", port},
                                     {"--reuid=65534", "--regid=65534",
                                      QString("--groups=%1").arg(dialout->gr_gid)});
    QVERIFY2(member.line("port").startsWith("ok"), qPrintable(member.lines.join('\n')));
}

void TestSetupCheck::modemManagerAndTheModemPort()
{
    SetupCheck::Options o;
    o.port = m_bench.atPort();
    o.udevDataDir = m_dir.filePath("udev");
    QVERIFY(QDir().mkpath(o.udevDataDir));
    const SetupCheck::Item absent = SetupCheck::checkModemManager(o);
    if (!absent.ok || absent.detail != "not running")
        QSKIP("a ModemManager runs on this machine");

    // A process by that name, as the check sees it.
    const QString fake = m_dir.filePath("ModemManager");
    QVERIFY(QFile::copy(QStandardPaths::findExecutable("sleep"), fake));
    QProcess mm;
    mm.start(fake, {"60"});
    QVERIFY(mm.waitForStarted());
    QTRY_VERIFY(!SetupCheck::checkModemManager(o).detail.startsWith("not running"));
    const SetupCheck::Item pts = SetupCheck::checkModemManager(o);
    QVERIFY2(pts.ok && pts.detail.contains("pseudo-terminals"), qPrintable(pts.detail));

    // A USB serial port (ttyUSB9: 188:9), without and with udev's ignore mark.
    o.port = m_dir.filePath("ttyUSB9");
    if (::mknod(QFile::encodeName(o.port).constData(), S_IFCHR | 0600, makedev(188, 9)) != 0) {
        mm.kill();
        mm.waitForFinished();
        QSKIP("cannot make a device node here");
    }
    const SetupCheck::Item probed = SetupCheck::checkModemManager(o);
    QVERIFY(!probed.ok);
    QVERIFY2(probed.detail.contains(QString("pid %1").arg(mm.processId())), qPrintable(probed.detail));
    QVERIFY(probed.advice.contains("70-trevalo-modem-no-mm.rules"));
    QVERIFY(writeFile(o.udevDataDir + "/c188:9", "E:ID_VENDOR_ID=2c7c\nE:ID_MM_DEVICE_IGNORE=1\n", kPlain));
    QVERIFY(SetupCheck::checkModemManager(o).ok);
    QVERIFY(writeFile(o.udevDataDir + "/c188:9", "E:ID_MM_DEVICE_IGNORE=0\n", kPlain));
    QVERIFY(!SetupCheck::checkModemManager(o).ok);

    mm.kill();
    mm.waitForFinished();
    QVERIFY(SetupCheck::checkModemManager(o).ok);
}

void TestSetupCheck::pppdAndPeerFile()
{
    SetupCheck::Options o;
    o.pppd = m_dir.filePath("pppd");
    o.peerFile = m_dir.filePath("peers/provider");

    const SetupCheck::Item missing = SetupCheck::checkPppd(o);
    QVERIFY(!missing.ok);
    QCOMPARE(missing.advice, QString("sudo apt install ppp"));
    QVERIFY(writeFile(o.pppd, "#!/bin/sh\nexit 0\n", kPlain));
    const SetupCheck::Item notExecutable = SetupCheck::checkPppd(o);
    QVERIFY2(!notExecutable.ok && notExecutable.detail.contains("cannot be run"), qPrintable(notExecutable.detail));
    QVERIFY(QFile::setPermissions(o.pppd, kExecutable));
    if (::geteuid() == 0)
        QVERIFY(SetupCheck::checkPppd(o).ok);
    else
        QVERIFY(!SetupCheck::checkPppd(o).ok); // neither root nor set-user-id

    // The peer file: missing, naming a port that is not there, then the
    // shipped sample pointed at the bench's port.
    const SetupCheck::Item noPeer = SetupCheck::checkPeerFile(o);
    QVERIFY(!noPeer.ok);
    QVERIFY2(noPeer.advice.contains("ppp/peers/provider"), qPrintable(noPeer.advice));
    QVERIFY(QDir().mkpath(m_dir.filePath("peers")));
    QFile sample(QStringLiteral(TREVALO_PACKAGING_DIR "/ppp/peers/provider"));
    QVERIFY(sample.open(QIODevice::ReadOnly));
    QByteArray peer = sample.readAll();
    QVERIFY(writeFile(o.peerFile, QByteArray(peer).replace("\n/dev/ttyUSB2\n", "\n/dev/ttyUSB97\n"), kPlain));
    const SetupCheck::Item badPort = SetupCheck::checkPeerFile(o);
    QVERIFY2(!badPort.ok && badPort.detail.contains("/dev/ttyUSB97"), qPrintable(badPort.detail));
    QVERIFY(writeFile(o.peerFile, peer.replace("\n/dev/ttyUSB2\n", "\n" + QFile::encodeName(m_bench.atPort()) + "\n"), kPlain));
    const SetupCheck::Item good = SetupCheck::checkPeerFile(o);
    QVERIFY2(good.ok, qPrintable(good.detail + good.advice));

    // A further modem's peer: its own file is checked, from its own sample.
    o.peerName = QStringLiteral("chip2");
    o.peerFile = m_dir.filePath("peers/chip2");
    const SetupCheck::Item noSecond = SetupCheck::checkPeerFile(o);
    QVERIFY(!noSecond.ok);
    QVERIFY2(noSecond.detail.contains(o.peerFile) && noSecond.advice.contains("ppp/peers/chip2"),
             qPrintable(noSecond.detail + noSecond.advice));
    QFile second(QStringLiteral(TREVALO_PACKAGING_DIR "/ppp/peers/chip2"));
    QVERIFY(second.open(QIODevice::ReadOnly));
    QByteArray text = second.readAll();
    QVERIFY(text.contains("\n/dev/serial/by-id/"));
    text.replace(QByteArray("\n/dev/serial/by-id/usb-VENDOR_PRODUCT_SERIAL2-if02-port0\n"),
                 "\n" + QFile::encodeName(m_bench.atPort()) + "\n");
    QVERIFY(writeFile(o.peerFile, text, kPlain));
    const SetupCheck::Item secondGood = SetupCheck::checkPeerFile(o);
    QVERIFY2(secondGood.ok, qPrintable(secondGood.detail + secondGood.advice));
}

void TestSetupCheck::leftoverPppdEndedOrNamed()
{
    const QByteArray benchEnv = qgetenv("TREVALO_BENCH");
    SetupCheck::Options o;
    o.pppd = QStringLiteral("/usr/sbin/pppd");
    o.peerFile = m_dir.filePath("provider");
    o.lockDir = m_dir.filePath("lock");
    QVERIFY(QDir().mkpath(o.lockDir));
    QVERIFY(writeFile(o.peerFile, "# the modem\n/dev/ttyUSB2 # data port\nlock\n", kPlain));
    // A process that holds the port's lock and is not ours: named, never ended.
    const QString stranger = m_dir.filePath("stranger/pppd");
    QVERIFY(QDir().mkpath(m_dir.filePath("stranger")));
    QVERIFY(QFile::copy(QStandardPaths::findExecutable("sleep"), stranger));
    QProcess foreign;
    foreign.start(stranger, {"60"});
    QVERIFY(foreign.waitForStarted());
    const qint64 holder = foreign.processId();
    QVERIFY(writeFile(o.lockDir + "/LCK..ttyUSB2", QByteArray::number(holder).rightJustified(10) + "\n", kPlain));

    SetupCheck::Item held, ended, clear;
    qint64 left = 0;
    {
        FakePppd pppd;
        QVERIFY(pppd.isValid());
        // A run killed outright with its link up.
        left = pppd.leaveBehind();
        QVERIFY(FakePppd::isRunning(left));
        held = SetupCheck::checkLeftoverPppd(o);
        foreign.kill();
        foreign.waitForFinished();
        ended = SetupCheck::checkLeftoverPppd(o);
        clear = SetupCheck::checkLeftoverPppd(o);
        // Another modem's leftover is ended only by the check of its peer.
        const qint64 second = pppd.leaveBehind(QStringLiteral("chip2"));
        QVERIFY(second > 0);
        QVERIFY(SetupCheck::checkLeftoverPppd(o).ok);
        QVERIFY(FakePppd::isRunning(second));
        o.peerName = QStringLiteral("chip2");
        const SetupCheck::Item own = SetupCheck::checkLeftoverPppd(o);
        QVERIFY2(own.ok && own.detail.contains(QString("Ended pppd (pid %1)").arg(second)), qPrintable(own.detail));
        QVERIFY(!FakePppd::isRunning(second));
    }
    qputenv("TREVALO_BENCH", benchEnv);
    QVERIFY(left > 0);
    QVERIFY(!FakePppd::isRunning(left));
    // The leftover is ours, so it was ended; the stranger holds the port.
    QVERIFY(!held.ok);
    QVERIFY2(held.detail.contains(QString("Ended pppd (pid %1) left running by trevalo (pid ").arg(left)),
             qPrintable(held.detail));
    QVERIFY2(held.detail.contains(QString("/dev/ttyUSB2 is locked by pppd (pid %1), which trevalo did not start")
                                      .arg(holder)),
             qPrintable(held.detail));
    QVERIFY(!held.advice.isEmpty());
    // The lock of a process that ended is pppd's to take over.
    QVERIFY2(ended.ok && ended.detail == "none holds the modem's port", qPrintable(ended.detail));
    QVERIFY(clear.ok);
    // Under the bench nothing is dialled through pppd.
    o.pppd.clear();
    QVERIFY(SetupCheck::checkLeftoverPppd(o).detail.startsWith("not used"));
}

void TestSetupCheck::benchOutOfReachIsNamed()
{
    if (::geteuid() != 0 || QStandardPaths::findExecutable("setpriv").isEmpty())
        QSKIP("needs root and setpriv to run the check as another user");
    // The bench's folder and control socket are its user's only: another
    // user is told so, not to plug a board in.
    const QStringList nobody{"--reuid=65534", "--regid=65534", "--clear-groups"};
    const CheckRun folder = runCheck({"--board", "BNCH1"}, nobody);
    const QString closed = folder.line("relay board");
    QVERIFY2(closed.startsWith("FAIL  relay board: TREVALO_BENCH names ") && closed.contains("Permission denied"),
             qPrintable(folder.lines.join('\n')));
    QVERIFY2(!closed.contains("plug the board in"), qPrintable(closed));
    QCOMPARE(folder.exitCode, 1);

    const QByteArray dir = qgetenv("TREVALO_BENCH");
    QVERIFY(::chmod(dir.constData(), 0755) == 0);
    QVERIFY(::chmod((dir + "/bench.json").constData(), 0644) == 0);
    const CheckRun socket = runCheck({"--board", "BNCH1"}, nobody);
    const QString denied = socket.line("relay board");
    QVERIFY2(denied.startsWith("FAIL  relay board: this user cannot reach the bench's control socket ")
                 && denied.contains("control.sock (Permission denied)") && !denied.contains("plug the board in"),
             qPrintable(socket.lines.join('\n')));
}

void TestSetupCheck::pingThatCannotSend()
{
    SetupCheck::Options o;
    QVERIFY2(SetupCheck::checkPing(o).ok, qPrintable(SetupCheck::checkPing(o).detail));
    o.ping = m_dir.filePath("ping");
    QVERIFY(!SetupCheck::checkPing(o).ok);
    // As iputils says it for a user without the right to send.
    QVERIFY(writeFile(o.ping, "#!/bin/sh\necho 'ping: socktype: SOCK_RAW'\necho 'ping: socket: Operation not permitted'\nexit 2\n",
                      kExecutable));
    const SetupCheck::Item denied = SetupCheck::checkPing(o);
    QVERIFY(!denied.ok);
    QVERIFY2(denied.detail.contains("SOCK_RAW"), qPrintable(denied.detail));
}

QTEST_GUILESS_MAIN(TestSetupCheck)
#include "tst_setupcheck.moc"
