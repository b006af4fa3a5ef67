// The ping probe: the real ping against loopback, the real ping in a
// private network namespace that loses a reply, and a stand-in "ping"
// first on PATH for the wordings and exits loopback cannot produce.
#include "BenchProcess.h"
#include "PingReport.h"
#include "WorkerHarness.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

namespace {
const QString pingError = QStringLiteral("Failed!!!ping error!");
// What iputils prints after its replies when all four came back.
const QByteArray allAnswered = "\n--- 127.0.0.1 ping statistics ---\n"
                               "4 packets transmitted, 4 received, 0% packet loss, time 3060ms\n"
                               "rtt min/avg/max/mdev = 0.031/0.045/0.062/0.011 ms\n";
} // namespace

class TestPing : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void loopbackSucceeds();
    void unsafeHostIsRefusedWithoutRunningPing_data();
    void unsafeHostIsRefusedWithoutRunningPing();
    void hostTravelsAsOneArgument();
    void slashHostIsAnOptionOnWindows();
    void verdictsFromOutput_data();
    void verdictsFromOutput();
    void missingPingProgram();
    void stopDuringPing();
    void hungPingFails();
    void realPingLosingOneReplyFails();

private:
    // Puts a stand-in ping first on PATH that prints output and exits with code.
    void useStandIn(const QByteArray &output, int code, int sleepS = 0);
    // Puts a stand-in ping with this shell body first on PATH.
    void useScript(const QByteArray &body);
    bool ping(qint64 *ms = nullptr);

    QTemporaryDir m_dir;
    QByteArray m_path;
    std::unique_ptr<WorkerHarness> h;
};

void TestPing::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_path = qgetenv("PATH");
}

void TestPing::init()
{
    qputenv("PATH", m_path);
    QFile::remove(m_dir.filePath(QStringLiteral("ping")));
    QFile::remove(m_dir.filePath(QStringLiteral("args")));
    h = std::make_unique<WorkerHarness>();
    h->setup.pingAddress = QStringLiteral("127.0.0.1");
}

void TestPing::cleanup()
{
    h.reset();
    qputenv("PATH", m_path);
}

void TestPing::useStandIn(const QByteArray &output, int code, int sleepS)
{
    QFile out(m_dir.filePath(QStringLiteral("output")));
    QVERIFY(out.open(QIODevice::WriteOnly));
    out.write(output);
    out.close();
    const QByteArray dir = QFile::encodeName(m_dir.path());
    useScript("for a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" + dir + "/args'\n"
              "cat '" + dir + "/output'\n"
              + (sleepS ? "sleep " + QByteArray::number(sleepS) + "\n" : QByteArray())
              + "exit " + QByteArray::number(code) + "\n");
}

void TestPing::useScript(const QByteArray &body)
{
    QFile script(m_dir.filePath(QStringLiteral("ping")));
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\n" + body);
    script.close();
    QFile::setPermissions(script.fileName(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("PATH", QFile::encodeName(m_dir.path()) + ':' + m_path);
}

bool TestPing::ping(qint64 *ms)
{
    bool ok = false;
    h->runInWorker([&] {
        QElapsedTimer t;
        t.start();
        ok = h->worker->pingHost();
        if (ms)
            *ms = t.elapsed();
    }, 30000);
    return ok;
}

void TestPing::loopbackSucceeds()
{
    QVERIFY(ping());
    QCOMPARE(h->lines.first().text, QStringLiteral("ping 127.0.0.1..."));
    QCOMPARE(h->lines.size(), 2);
    QCOMPARE(h->lines.at(1).color, QColor(Qt::yellow));
    QVERIFY(h->lines.at(1).text.contains(QStringLiteral("127.0.0.1")));
}

void TestPing::unsafeHostIsRefusedWithoutRunningPing_data()
{
    QTest::addColumn<QString>("host");
    QTest::newRow("option-like") << QStringLiteral("-f");
    QTest::newRow("empty") << QString();
}

void TestPing::unsafeHostIsRefusedWithoutRunningPing()
{
    QFETCH(QString, host);
    useStandIn("Reply from 1.2.3.4\n", 0);
    h->setup.pingAddress = host;
    QVERIFY(!ping());
    QCOMPARE(h->texts(), (QStringList{QStringLiteral("ping ") + host + QStringLiteral("..."), pingError}));
    QVERIFY(!QFile::exists(m_dir.filePath(QStringLiteral("args"))));
}

void TestPing::hostTravelsAsOneArgument()
{
    useStandIn("Reply from x\n" + allAnswered, 0);
    h->setup.pingAddress = QStringLiteral("bench host; touch pwned");
    QVERIFY(ping());
    QFile args(m_dir.filePath(QStringLiteral("args")));
    QVERIFY(args.open(QIODevice::ReadOnly));
    const QList<QByteArray> list = args.readAll().split('\n');
    QVERIFY(list.size() >= 2);
    QCOMPARE(list.at(list.size() - 2), QByteArray("bench host; touch pwned"));
    QCOMPARE(list.at(list.size() - 3), QByteArray("--"));
    QVERIFY(!QFile::exists(QStringLiteral("pwned")));
    // No dialled link known: routing decides.
    QVERIFY(!list.contains("-I"));

    // Through the chip's own link once its dial has named it.
    h->clear();
    h->access().linkInterface() = QStringLiteral("ppp-chip2");
    QVERIFY(ping());
    args.close();
    QVERIFY(args.open(QIODevice::ReadOnly));
    const QList<QByteArray> pinned = args.readAll().split('\n');
    const int at = int(pinned.indexOf("-I"));
    QVERIFY(at >= 0 && at + 1 < pinned.size());
    QCOMPARE(pinned.at(at + 1), QByteArray("ppp-chip2"));
    QVERIFY(at < pinned.indexOf("--"));
}

void TestPing::verdictsFromOutput_data()
{
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("pass");
    QTest::newRow("one of four timed out")
        << QByteArray("Reply from 1.2.3.4: bytes=32\r\nRequest timed out.\r\nReply from 1.2.3.4: bytes=32\r\n") << 0
        << false;
    QTest::newRow("wording split by a line break") << QByteArray("Destination host\r\n unreachable.\r\n") << 0 << false;
    QTest::newRow("request timed out, Chinese")
        << QByteArray("\xe6\x9d\xa5\xe8\x87\xaa\r\n\xe8\xaf\xb7\xe6\xb1\x82\xe8\xb6\x85\xe6\x97\xb6\xe3\x80\x82\r\n") << 0
        << false;
    QTest::newRow("cannot find host, Chinese")
        << QByteArray("Ping \xe8\xaf\xb7\xe6\xb1\x82\xe6\x89\xbe\xe4\xb8\x8d\xe5\x88\xb0\xe4\xb8\xbb\xe6\x9c\xba x\r\n")
        << 0 << false;
    QTest::newRow("unreachable, Chinese")
        << QByteArray("\xe6\x97\xa0\xe6\xb3\x95\xe8\xae\xbf\xe9\x97\xae\xe7\x9b\xae\xe6\xa0\x87\xe4\xb8\xbb\xe6\x9c\xba\r\n")
        << 0 << false;
    QTest::newRow("unlisted trouble, clean exit") << QByteArray("General failure.\r\n") + allAnswered << 0 << true;
    QTest::newRow("every request answered")
        << QByteArray("PING 127.0.0.1 (127.0.0.1) 56(84) bytes of data.\n"
                      "64 bytes from 127.0.0.1: icmp_seq=1 ttl=64 time=0.031 ms\n") + allAnswered
        << 0 << true;
    QTest::newRow("duplicates, every request answered")
        << QByteArray("4 packets transmitted, 4 received, +2 duplicates, 0% packet loss, time 3004ms\n") << 0
        << true;
    // With a deadline, ping sends on until it has its four replies and
    // exits 0 though some were lost.
    QTest::newRow("one of five lost, clean exit")
        << QByteArray("--- 10.64.64.64 ping statistics ---\n"
                      "5 packets transmitted, 4 received, 20% packet loss, time 4006ms\n")
        << 0 << false;
    QTest::newRow("half lost, clean exit")
        << QByteArray("8 packets transmitted, 4 received, 50% packet loss, time 7012ms\n") << 0 << false;
    QTest::newRow("errors, clean exit")
        << QByteArray("4 packets transmitted, 4 received, +1 errors, 0% packet loss, time 3004ms\n") << 0
        << false;
    QTest::newRow("errors, all lost")
        << QByteArray("From 10.0.0.1 icmp_seq=1 Destination Host Unreachable\n"
                      "4 packets transmitted, 0 received, +4 errors, 100% packet loss, time 3060ms\n")
        << 1 << false;
    QTest::newRow("no summary, clean exit")
        << QByteArray("PING 127.0.0.1 (127.0.0.1) 56(84) bytes of data.\n"
                      "64 bytes from 127.0.0.1: icmp_seq=1 ttl=64 time=0.031 ms\n")
        << 0 << false;
    QTest::newRow("unreadable summary, clean exit")
        << QByteArray("99999999999 packets transmitted, 99999999999 received, 0% packet loss\n") << 0 << false;
    QTest::newRow("clean words, non-zero exit") << QByteArray("1 packets transmitted, 0 received\n") << 1 << false;
    QTest::newRow("no output") << QByteArray() << 0 << false;
}

void TestPing::verdictsFromOutput()
{
    QFETCH(QByteArray, output);
    QFETCH(int, code);
    QFETCH(bool, pass);
    useStandIn(output, code);
    QCOMPARE(ping(), pass);
    if (output.isEmpty()) {
        QCOMPARE(h->texts().last(), QStringLiteral("Failed!!!Fail to get ping result!"));
        return;
    }
    // The output always shows, in yellow, before any verdict line.
    QCOMPARE(h->lines.at(1).text, QString::fromLocal8Bit(output));
    QCOMPARE(h->lines.at(1).color, QColor(Qt::yellow));
    if (pass) {
        QCOMPARE(h->lines.size(), 2);
    } else {
        QCOMPARE(h->lines.size(), 3);
        QVERIFY(h->hasLine(pingError, Qt::red));
    }
}

void TestPing::missingPingProgram()
{
    qputenv("PATH", QFile::encodeName(m_dir.path()));
    QVERIFY(!ping());
    QVERIFY(h->hasLine(QStringLiteral("Failed!!!Fail to start ping process!"), Qt::red));
}

void TestPing::stopDuringPing()
{
    useStandIn("Reply from x\n", 0, 20);
    QTimer::singleShot(300, this, [this] { h->worker->stopTest(); });
    qint64 ms = -1;
    QVERIFY(ping(&ms));
    QVERIFY2(ms < 1500, qPrintable(QString::number(ms)));
    QCOMPARE(h->count(pingError), 0);
}

void TestPing::hungPingFails()
{
    useStandIn("Reply from x\n", 0, 20);
    WorkerLimits l = WorkerHarness::quickLimits();
    l.pingFinishMs = 500;
    h->worker->setLimits(l);
    qint64 ms = -1;
    QVERIFY(!ping(&ms));
    QVERIFY2(ms < 3000, qPrintable(QString::number(ms)));
    QVERIFY(h->hasLine(pingError, Qt::red));
}

void TestPing::slashHostIsAnOptionOnWindows()
{
    // Windows ping reads "/t" as "ping forever" and "/?" as help.
    QVERIFY(PingReport::looksLikeOption(QStringLiteral("/t"), true));
    QVERIFY(PingReport::looksLikeOption(QStringLiteral("/?"), true));
    QVERIFY(PingReport::looksLikeOption(QStringLiteral("-t"), true));
    QVERIFY(!PingReport::looksLikeOption(QStringLiteral("bench.host"), true));
    // Elsewhere a leading "/" is no option.
    QVERIFY(PingReport::looksLikeOption(QStringLiteral("-t"), false));
    QVERIFY(!PingReport::looksLikeOption(QStringLiteral("/t"), false));
}

void TestPing::realPingLosingOneReplyFails()
{
    const QString lossy = TestSupport::siblingProgram(QStringLiteral("lossy-ping"));
    const QString realPing = QStandardPaths::findExecutable(QStringLiteral("ping"));
    if (realPing.isEmpty())
        QSKIP("no ping on this machine");
    if (QProcess::execute(lossy, {QStringLiteral("--check")}) != 0)
        QSKIP("no private network namespace allowed here");

    // The real ping, in a namespace of its own whose loopback answers
    // every request but the given one (0: none lost).
    useScript("exec '" + QFile::encodeName(lossy) + "' \"$LOSE\" '" + QFile::encodeName(realPing) + "' \"$@\"\n");
    WorkerLimits l = WorkerHarness::quickLimits();
    l.pingDeadlineS = 10;
    l.pingFinishMs = 20000;
    h->worker->setLimits(l);

    qputenv("LOSE", "0");
    QVERIFY(ping());
    QVERIFY(h->lines.at(1).text.contains(QStringLiteral("4 packets transmitted, 4 received")));

    h->clear();
    qputenv("LOSE", "2");
    QVERIFY(!ping());
    QCOMPARE(h->lines.at(1).color, QColor(Qt::yellow));
    QVERIFY2(h->lines.at(1).text.contains(QStringLiteral("5 packets transmitted, 4 received")),
             qPrintable(h->lines.at(1).text));
    QCOMPARE(h->texts().last(), pingError);
    QCOMPARE(h->lines.last().color, QColor(Qt::red));
    qunsetenv("LOSE");
}

QTEST_GUILESS_MAIN(TestPing)
#include "tst_ping.moc"
