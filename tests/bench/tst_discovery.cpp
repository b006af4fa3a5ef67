// Finding a bench: the fixture, TREVALO_BENCH, bench.json, one bench per
// folder, two benches side by side, and clean withdrawal on exit.
#include "BenchClient.h"
#include "BenchProcess.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>
#include <QElapsedTimer>
#include <QLocalServer>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <thread>

class TestDiscovery : public QObject
{
    Q_OBJECT

private slots:
    void withoutBench();
    void fixtureSetsAndRestoresEnvironment();
    void publishedInfo();
    void requestsFromAnotherThread();
    void badRequests();
    void secondBenchInSameFolderRefused();
    void twoBenchesSideBySide();
    void signalsWithdrawPublication_data();
    void signalsWithdrawPublication();
    void staleFolderTakenOver();
    void endsWithTheProcessThatStartedIt();
    void badOptions_data();
    void badOptions();
    void faultsFromCommandLine();
    void quitRequest();
    void echoPortTaken();
    void silentServerTimesOut();
};

void TestDiscovery::withoutBench()
{
    qunsetenv("TREVALO_BENCH");
    QVERIFY(BenchClient::runtimeDir().isEmpty());
    QVERIFY(!BenchClient::isAvailable());
    QVERIFY(BenchClient::info().isEmpty());
    QVERIFY(BenchClient::atPortPath().isEmpty());
    QVERIFY(BenchClient::controlPath().isEmpty());
    const QJsonObject reply = BenchClient::request({{"op", "hello"}}, 500);
    QCOMPARE(reply.value("ok").toBool(), false);
    QVERIFY(!reply.value("error").toString().isEmpty());
    BenchSession session;
    QVERIFY(!session.open(500));
    QVERIFY(!session.isOpen());
    QVERIFY(session.next(10).isEmpty());

    // A folder without a bench in it is no bench either.
    QTemporaryDir empty;
    qputenv("TREVALO_BENCH", QFile::encodeName(empty.path()));
    QVERIFY(!BenchClient::isAvailable());
    QCOMPARE(BenchClient::request({{"op", "hello"}}, 500).value("ok").toBool(), false);
    qunsetenv("TREVALO_BENCH");
}

void TestDiscovery::fixtureSetsAndRestoresEnvironment()
{
    qputenv("TREVALO_BENCH", "/nonexistent/earlier");
    {
        BenchProcess bench;
        QVERIFY2(bench.start(), qPrintable(bench.errorString()));
        QCOMPARE(BenchClient::runtimeDir(), bench.runtimeDir());
        QVERIFY(BenchClient::isAvailable());
        QCOMPARE(BenchClient::atPortPath(), bench.atPort());
        const QJsonObject hello = BenchClient::request({{"op", "hello"}});
        QVERIFY(hello.value("ok").toBool());
        QCOMPARE(hello.value("name").toString(), QString("trevalo-bench"));
        QCOMPARE(qint64(hello.value("pid").toDouble()), bench.pid());
    }
    QCOMPARE(qgetenv("TREVALO_BENCH"), QByteArray("/nonexistent/earlier"));
    qunsetenv("TREVALO_BENCH");
    {
        BenchProcess bench;
        QVERIFY2(bench.start(), qPrintable(bench.errorString()));
        QVERIFY(bench.stop());
        QVERIFY(!qEnvironmentVariableIsSet("TREVALO_BENCH"));
    }
}

void TestDiscovery::publishedInfo()
{
    BenchProcess bench;
    QVERIFY2(bench.start({"--boards", "ABCDE:1,FGHIJ:8"}), qPrintable(bench.errorString()));
    const QJsonObject info = BenchClient::info();
    QCOMPARE(info.value("name").toString(), QString("trevalo-bench"));
    QCOMPARE(info.value("version").toInt(), 1);
    QVERIFY(info.value("atPort").toString().startsWith("/dev/pts/"));
    QVERIFY(QFile::exists(info.value("atPort").toString()));
    QCOMPARE(info.value("echo").toObject().value("host").toString(), QString("127.0.0.1"));
    QVERIFY(bench.echoPort() > 0);
    QCOMPARE(BenchClient::controlPath(), QDir(bench.runtimeDir()).filePath("control.sock"));
    const QJsonArray boards = info.value("boards").toArray();
    QCOMPARE(boards.size(), 2);
    QCOMPARE(boards.at(1).toObject().value("serial").toString(), QString("FGHIJ"));
    QCOMPARE(boards.at(1).toObject().value("channels").toInt(), 8);
}

void TestDiscovery::requestsFromAnotherThread()
{
    BenchProcess bench;
    QVERIFY2(bench.start(), qPrintable(bench.errorString()));
    // Plain threads without a Qt event loop, as the dial layer's callers use.
    QList<bool> results(8, false);
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&results, i] {
            bool all = true;
            for (int k = 0; k < 20; ++k)
                all = all && BenchClient::request({{"op", "hello"}}).value("ok").toBool();
            BenchSession s;
            all = all && s.open() && s.send({{"op", "relay.list"}});
            all = all && s.next(3000).value("boards").toArray().size() == 1;
            results[i] = all;
        });
    }
    for (auto &t : threads)
        t.join();
    for (bool r : results)
        QVERIFY(r);
}

void TestDiscovery::badRequests()
{
    BenchProcess bench;
    QVERIFY2(bench.start(), qPrintable(bench.errorString()));
    BenchSession s;
    QVERIFY(s.open());
    // Garbage and unknown ops get an answer and leave the connection usable.
    QVERIFY(s.send({{"op", "no.such.op"}}));
    QJsonObject r = s.next(3000);
    QCOMPARE(r.value("ok").toBool(), false);
    QVERIFY(r.value("error").toString().contains("unknown op"));
    QVERIFY(s.send({{"nothing", 1}}));
    QCOMPARE(s.next(3000).value("ok").toBool(), false);
    QVERIFY(s.send({{"op", "relay.set"}, {"serial", "BNCH1"}}));
    QCOMPARE(s.next(3000).value("ok").toBool(), false);
    // A fault value beyond any whole number is refused, not converted.
    QVERIFY(s.send({{"op", "fault.set"}, {"faults", QJsonObject{{"echo.extra", 1e300}, {"dial.failAt", -1e300}}}}));
    r = s.next(3000);
    QCOMPARE(r.value("ok").toBool(), false);
    QVERIFY(r.value("error").toString().contains("bad value"));
    QCOMPARE(bench.faults().value("echo.extra").toInt(), 0);
    QVERIFY(s.send({{"op", "hello"}, {"id", 42}}));
    r = s.next(3000);
    QVERIFY(r.value("ok").toBool());
    QCOMPARE(r.value("id").toInt(), 42);

    // Lines that are no JSON object at all.
    QLocalSocket raw;
    raw.connectToServer(bench.controlPath());
    QVERIFY(raw.waitForConnected(3000));
    raw.write("not json\n[1,2]\n\n");
    QByteArray got;
    while (got.count('\n') < 2 && raw.waitForReadyRead(3000))
        got += raw.readAll();
    QCOMPARE(got.count("\"ok\":false"), 2);
    QVERIFY(bench.request({{"op", "hello"}}).value("ok").toBool());
}

void TestDiscovery::secondBenchInSameFolderRefused()
{
    BenchProcess bench;
    QVERIFY2(bench.start(), qPrintable(bench.errorString()));
    QProcess second;
    second.start(TestSupport::siblingProgram("trevalo-bench"),
                 {"--dir", bench.runtimeDir(), "--echo-port", "0"});
    QVERIFY(second.waitForFinished(5000));
    QVERIFY(second.exitCode() != 0);
    QVERIFY(QString::fromLocal8Bit(second.readAllStandardError()).contains("already running"));
    // The first bench is untouched.
    QVERIFY(QFile::exists(QDir(bench.runtimeDir()).filePath("bench.json")));
    QVERIFY(bench.request({{"op", "hello"}}).value("ok").toBool());
}

void TestDiscovery::twoBenchesSideBySide()
{
    BenchProcess a;
    BenchProcess b;
    QVERIFY2(a.start({"--boards", "AAAAA:2"}), qPrintable(a.errorString()));
    QVERIFY2(b.start({"--boards", "BBBBB:2"}), qPrintable(b.errorString()));
    QVERIFY(a.runtimeDir() != b.runtimeDir());
    QVERIFY(a.atPort() != b.atPort());
    QVERIFY(a.echoPort() != b.echoPort());
    QVERIFY(a.setRelay("AAAAA", 1, true));
    QVERIFY(a.setFault("echo.drop", true));
    QVERIFY(a.state().value("chip").toObject().value("powered").toBool());
    QVERIFY(!b.state().value("chip").toObject().value("powered").toBool());
    QCOMPARE(b.faults().value("echo.drop").toBool(), false);
    QVERIFY(!b.setRelay("AAAAA", 1, true));
    // The later start owns the environment; stopping it hands it back.
    QCOMPARE(BenchClient::runtimeDir(), b.runtimeDir());
    QVERIFY(b.stop());
    QCOMPARE(BenchClient::runtimeDir(), a.runtimeDir());
    QVERIFY(a.stop());
}

void TestDiscovery::signalsWithdrawPublication_data()
{
    QTest::addColumn<int>("sig");
    QTest::addColumn<bool>("ownFolder");
    QTest::newRow("TERM, given folder") << int(SIGTERM) << false;
    QTest::newRow("INT, own folder") << int(SIGINT) << true;
    QTest::newRow("HUP, given folder") << int(SIGHUP) << false;
}

void TestDiscovery::signalsWithdrawPublication()
{
    QFETCH(int, sig);
    QFETCH(bool, ownFolder);
    QTemporaryDir parent;
    // A folder the bench has to create itself is removed again on exit;
    // a folder it was given stays.
    const QString dir = ownFolder ? parent.filePath("made-by-bench") : parent.path();
    QProcess p;
    p.start(TestSupport::siblingProgram("trevalo-bench"), {"--dir", dir, "--echo-port", "0"});
    QVERIFY(p.waitForReadyRead(5000));
    const QByteArray line = p.readLine().trimmed();
    QCOMPARE(line, "TREVALO_BENCH=" + QFile::encodeName(dir));
    QVERIFY(QFile::exists(dir + "/bench.json"));
    QVERIFY(QFile::exists(dir + "/control.sock"));
    ::kill(pid_t(p.processId()), sig);
    QVERIFY(p.waitForFinished(5000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 0);
    QVERIFY(!QFile::exists(dir + "/bench.json"));
    QVERIFY(!QFile::exists(dir + "/control.sock"));
    QCOMPARE(QFileInfo::exists(dir), !ownFolder);
}

void TestDiscovery::staleFolderTakenOver()
{
    // What a killed bench leaves behind does not block the next one.
    QTemporaryDir dir;
    QProcess p;
    p.start(TestSupport::siblingProgram("trevalo-bench"), {"--dir", dir.path(), "--echo-port", "0"});
    QVERIFY(p.waitForReadyRead(5000));
    p.kill();
    QVERIFY(p.waitForFinished(5000));
    QVERIFY(QFile::exists(dir.filePath("bench.json")));

    QProcess next;
    next.start(TestSupport::siblingProgram("trevalo-bench"), {"--dir", dir.path(), "--echo-port", "0"});
    QVERIFY(next.waitForReadyRead(5000));
    QVERIFY(next.readLine().startsWith("TREVALO_BENCH="));
    QVERIFY(BenchClient::requestAt(dir.filePath("control.sock"), {{"op", "hello"}}).value("ok").toBool());
    next.terminate();
    QVERIFY(next.waitForFinished(5000));
}

void TestDiscovery::endsWithTheProcessThatStartedIt()
{
    QTemporaryDir dir;
    QProcess parent;
    // A shell starts the bench as its child, naming itself, and waits.
    parent.start(QStringLiteral("/bin/sh"),
                 {"-c", "\"$0\" --dir \"$1\" --echo-port 0 --parent-pid $$ & wait",
                  TestSupport::siblingProgram("trevalo-bench"), dir.path()});
    QVERIFY(parent.waitForStarted(5000));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(dir.filePath("bench.json")), 5000);
    QFile info(dir.filePath("bench.json"));
    QVERIFY(info.open(QIODevice::ReadOnly));
    const pid_t bench = pid_t(QJsonDocument::fromJson(info.readAll()).object().value("pid").toDouble());
    QVERIFY(bench > 0);
    // Gone, or a zombie nobody has reaped yet.
    const auto ended = [bench] {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(bench));
        if (!stat.open(QIODevice::ReadOnly))
            return true;
        const QByteArray line = stat.readAll();
        const int close = line.lastIndexOf(')');
        return close < 0 || line.mid(close + 2, 1) == "Z";
    };
    QVERIFY(!ended());

    // Killed outright: no destructor, no trap, nothing stops the bench but itself.
    ::kill(pid_t(parent.processId()), SIGKILL);
    QVERIFY(parent.waitForFinished(5000));
    const bool endedByItself = QTest::qWaitFor(ended, 5000);
    if (!endedByItself)
        ::kill(bench, SIGKILL); // leave nothing behind when failing
    QVERIFY(endedByItself);
    // It ended the clean way, withdrawing its publication.
    QVERIFY(!QFile::exists(dir.filePath("bench.json")));
    QVERIFY(!QFile::exists(dir.filePath("control.sock")));
}

void TestDiscovery::badOptions_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("short serial") << QStringList{"--boards", "ABC:2"};
    QTest::newRow("three channels") << QStringList{"--boards", "ABCDE:3"};
    QTest::newRow("same board twice") << QStringList{"--boards", "ABCDE:2,ABCDE:4"};
    QTest::newRow("port out of range") << QStringList{"--echo-port", "70000"};
    QTest::newRow("unknown fault") << QStringList{"--fault", "chip.explodes=1"};
    QTest::newRow("bad fault value") << QStringList{"--fault", "dial.failAt=-5"};
    QTest::newRow("unknown option") << QStringList{"--frobnicate"};
    QTest::newRow("more chips than channels") << QStringList{"--boards", "ABCDE:2,FGHIJ:1", "--chips", "4"};
    QTest::newRow("nine chips") << QStringList{"--boards", "ABCDE:8,FGHIJ:8", "--chips", "9"};
    QTest::newRow("no chip") << QStringList{"--chips", "0"};
    QTest::newRow("fault for a chip not there") << QStringList{"--fault", "chip2:creg.never"};
    QTest::newRow("bench fault for one chip") << QStringList{"--chips", "2", "--fault", "chip2:echo.drop"};
    QTest::newRow("parent pid not a number") << QStringList{"--parent-pid", "me"};
    // The process named is not the one that started the bench.
    QTest::newRow("parent pid of a stranger") << QStringList{"--parent-pid", "1"};
}

void TestDiscovery::badOptions()
{
    QFETCH(QStringList, args);
    QTemporaryDir dir;
    QProcess p;
    p.start(TestSupport::siblingProgram("trevalo-bench"), QStringList{"--dir", dir.path()} + args);
    QVERIFY(p.waitForFinished(5000));
    QVERIFY(p.exitCode() != 0);
    QVERIFY(!p.readAllStandardError().isEmpty());
    QVERIFY(!QFile::exists(dir.filePath("bench.json")));
    QVERIFY(!QFile::exists(dir.filePath("control.sock")));
}

void TestDiscovery::faultsFromCommandLine()
{
    BenchProcess bench;
    QVERIFY2(bench.start({"--fault", "relay.missing=BNCH1", "--fault", "dial.failAt=2",
                          "--fault", "echo.drop", "--fault", "creg.never=off"}),
             qPrintable(bench.errorString()));
    const QJsonObject faults = bench.faults();
    QCOMPARE(faults.value("relay.missing").toString(), QString("BNCH1"));
    QCOMPARE(faults.value("dial.failAt").toInt(), 2);
    QCOMPARE(faults.value("echo.drop").toBool(), true);
    QCOMPARE(faults.value("creg.never").toBool(), false);
    QVERIFY(bench.request({{"op", "relay.list"}}).value("boards").toArray().isEmpty());
    // The server starts down when asked to.
    BenchProcess down;
    QVERIFY2(down.start({"--fault", "echo.down=true"}), qPrintable(down.errorString()));
    QCOMPARE(down.state().value("echo").toObject().value("listening").toBool(), false);
    QVERIFY(down.echoPort() > 0);
}

void TestDiscovery::quitRequest()
{
    QTemporaryDir dir;
    QProcess p;
    p.start(TestSupport::siblingProgram("trevalo-bench"), {"--dir", dir.path(), "--echo-port", "0"});
    QVERIFY(p.waitForReadyRead(5000));
    const QJsonObject reply =
        BenchClient::requestAt(dir.filePath("control.sock"), {{"op", "quit"}});
    QVERIFY(reply.value("ok").toBool());
    QVERIFY(p.waitForFinished(5000));
    QCOMPARE(p.exitCode(), 0);
    QVERIFY(!QFile::exists(dir.filePath("bench.json")));
}

void TestDiscovery::echoPortTaken()
{
    QTcpServer squatter;
    QVERIFY(squatter.listen(QHostAddress::LocalHost, 0));
    QTemporaryDir dir;
    QProcess p;
    p.start(TestSupport::siblingProgram("trevalo-bench"),
            {"--dir", dir.path(), "--echo-port", QString::number(squatter.serverPort())});
    QVERIFY(p.waitForFinished(5000));
    QVERIFY(p.exitCode() != 0);
    QVERIFY(QString::fromLocal8Bit(p.readAllStandardError()).contains("echo server cannot listen"));
    QVERIFY(p.readAllStandardOutput().isEmpty());
    QVERIFY(!QFile::exists(dir.filePath("bench.json")));
    QVERIFY(!QFile::exists(dir.filePath("bench.lock")));
}

void TestDiscovery::silentServerTimesOut()
{
    // Something listens but never answers: the request gives up on time.
    QTemporaryDir dir;
    QLocalServer mute;
    QVERIFY(mute.listen(dir.filePath("control.sock")));
    QElapsedTimer t;
    t.start();
    const QJsonObject reply = BenchClient::requestAt(dir.filePath("control.sock"), {{"op", "hello"}}, 300);
    QCOMPARE(reply.value("ok").toBool(), false);
    QVERIFY(t.elapsed() >= 250);
    QVERIFY2(t.elapsed() < 2000, qPrintable(QString::number(t.elapsed())));
    BenchSession s;
    QVERIFY(s.openAt(dir.filePath("control.sock"), 300));
    QVERIFY(s.next(100).isEmpty());
    QVERIFY(s.isOpen());
}

QTEST_GUILESS_MAIN(TestDiscovery)
#include "tst_discovery.moc"
