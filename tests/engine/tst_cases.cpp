// The connection cases as whole runs against the virtual bench: its dial
// service and its echo server, with faults switched on per test.
#include "BenchWorkerTest.h"
#include "EchoServer.h"
#include "RecordFile.h"
#include "SilentHost.h"
#include "SocketMannger.h"
#include "TestCases.h"
#include "WorkerTexts.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QFile>
#include <QTemporaryDir>
#include <QJsonObject>
#include <QJsonValue>
#include <QTest>

using namespace WorkerText;

class TestCasesRun : public BenchWorkerTest
{
    Q_OBJECT

public:
    TestCasesRun() : BenchWorkerTest({QStringLiteral("--dial-step-ms"), QStringLiteral("5")}) {}

private slots:
    void pppCallCycles();
    void pppCallRefusedDialsArePaced();
    void pppCallWithAPingThatFails();
    void shortShortPassingCycleOrder();
    void shortShortGivesUpAfterThreeInARow_data();
    void shortShortGivesUpAfterThreeInARow();
    void longLongWrongEchoOnFifthExchange();
    void stopDuringEchoWait_data();
    void stopDuringEchoWait();
    void stopDuringDialCountsNothing();
    void stopDuringConnectCountsNothing_data();
    void stopDuringConnectCountsNothing();
    void realFailureWithAStopPendingIsCounted_data();
    void realFailureWithAStopPendingIsCounted();
    void longLongEndsWhenServerHangsUpAfterEcho_data();
    void longLongEndsWhenServerHangsUpAfterEcho();
    void longShortKeepsOneLinkAcrossCycles();
    void recordsHoldEveryCountedCycle_data();
    void recordsHoldEveryCountedCycle();
    void unwritableRecordsAreReportedOnce();
    void runLimitsEndTheRun_data();
    void runLimitsEndTheRun();

private:
    // Runs the case procedure directly in the worker (with channels, no
    // start()), so counters can be preset.
    void runCaseInWorker(int caseIndex, int pppFails, int tcpFails);
    QStringList textsFrom(int from) const { return h->texts().mid(from); }
};

void TestCasesRun::runCaseInWorker(int caseIndex, int pppFails, int tcpFails)
{
    h->setup.caseIndex = caseIndex;
    h->makeChannels();
    QVERIFY(h->runInWorker([&] {
        h->access().pppFailCount() = pppFails;
        h->access().tcpFailCount() = tcpFails;
        h->worker->runSelectedCase();
    }, 30000));
}

void TestCasesRun::pppCallCycles()
{
    // A host ping refuses to take fails its cycle; the run goes on.
    h->setup.caseIndex = 0;
    h->setup.pingAddress = QStringLiteral("-q");
    h->stopAfterResults = 2;
    h->startRun();
    QVERIFY(h->waitFinished(1, 30000));
    QCOMPARE(h->results, (QVector<bool>{false, false}));
    const int firstResult = h->resultAt.first();
    // The failed ping hangs up before the result is counted.
    QCOMPARE(h->texts().mid(firstResult - 4, 4),
             (QStringList{QStringLiteral("ping -q..."), QStringLiteral("Failed!!!ping error!"), ClosePpp,
                          Closed}));

    // A real ping of the loopback passes the cycle.
    h->clear();
    h->setup.pingAddress = QStringLiteral("127.0.0.1");
    h->stopAfterResults = 1;
    h->startRun();
    QVERIFY(h->waitFinished(1, 30000));
    QCOMPARE(h->results, QVector<bool>{true});
    QCOMPARE(h->texts().at(h->resultAt.first() - 1), Closed);
    QCOMPARE(h->texts().last(), Finished);
}

void TestCasesRun::pppCallWithAPingThatFails()
{
    // A ping that runs and reports lost replies, first on PATH.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray report = "PING 127.0.0.1 (127.0.0.1) 56(84) bytes of data.\n"
                              "64 bytes from 127.0.0.1: icmp_seq=1 ttl=64 time=0.040 ms\n\n"
                              "--- 127.0.0.1 ping statistics ---\n"
                              "4 packets transmitted, 1 received, 75% packet loss, time 3062ms\n";
    QFile script(dir.filePath(QStringLiteral("ping")));
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\nprintf '%s' '" + report + "'\nexit 1\n");
    script.close();
    QVERIFY(script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(dir.path()) + ':' + path);

    h->setup.caseIndex = 0;
    h->stopAfterResults = 1;
    h->startRun();
    const bool finished = h->waitFinished(1, 30000);
    qputenv("PATH", path);
    QVERIFY(finished);

    // The report in yellow, the verdict in red, then the hang-up; the cycle fails.
    QCOMPARE(h->results, QVector<bool>{false});
    const int ping = h->indexOf(QStringLiteral("ping 127.0.0.1..."));
    QVERIFY(ping > 0);
    QCOMPARE(h->lines.at(ping + 1).text, QString::fromLatin1(report));
    QCOMPARE(h->lines.at(ping + 1).color, QColor(Qt::yellow));
    QCOMPARE(h->texts().mid(ping + 2, 3), (QStringList{QStringLiteral("Failed!!!ping error!"), ClosePpp, Closed}));
    QCOMPARE(h->colorOf(QStringLiteral("Failed!!!ping error!")), QColor(Qt::red));
    QVERIFY(h->resultAt.first() >= h->indexOf(Closed, ping) + 1);
    QCOMPARE(bench.dials().value(QStringLiteral("up")).toInt(), 0);
}

void TestCasesRun::pppCallRefusedDialsArePaced()
{
    QVERIFY(bench.setFault(QStringLiteral("dial.refuse"), 633));
    WorkerLimits l = WorkerHarness::quickLimits();
    l.cyclePauseMs = 200;
    h->worker->setLimits(l);
    h->setup.caseIndex = 0;
    h->stopAfterResults = 3;
    QElapsedTimer t;
    t.start();
    h->startRun();
    QVERIFY(h->waitFinished(1, 10000));
    QCOMPARE(h->results, (QVector<bool>{false, false, false}));
    // Two pauses between three failed cycles; the Stop cuts the third short.
    QVERIFY2(t.elapsed() >= 400 && t.elapsed() < 1500, qPrintable(QString::number(t.elapsed())));
    QCOMPARE(h->count(DialFailed), 3);
}

void TestCasesRun::shortShortPassingCycleOrder()
{
    h->setup.caseIndex = 1;
    h->stopAfterResults = 2;
    h->startRun();
    QVERIFY(h->waitFinished(1, 30000));
    QCOMPARE(h->results, (QVector<bool>{true, true}));
    const QStringList t = h->texts();
    QCOMPARE(t.first(), QStringLiteral("Running..."));
    QCOMPARE(t.at(1), Separator);
    // A passing cycle reports its result after the hang-up.
    QCOMPARE(t.at(h->resultAt.first() - 1), Closed);
    QCOMPARE(t.at(h->resultAt.first() - 3), CloseSocket);
    QCOMPARE(t.last(), Finished);
    // Every cycle hangs up, also the one the Stop cut short.
    QCOMPARE(h->count(ClosePpp), h->count(Separator));

    // Each wait is reported with the limit it runs under, the payload's size
    // in the send and the echo alike.
    const WorkerLimits &l = h->worker->limits();
    QVERIFY(h->steps.size() >= 5);
    QCOMPARE(h->steps.at(0), qMakePair(QStringLiteral("dialling"), l.dialBoundMs));
    QCOMPARE(h->steps.at(1), qMakePair(QStringLiteral("connecting to 127.0.0.1:%1").arg(h->setup.hostPort), l.connectMs));
    static const QRegularExpression sending(QStringLiteral("^sending (\\d+ bytes|\\d+\\.\\d KB)$"));
    const QRegularExpressionMatch size = sending.match(h->steps.at(2).first);
    QVERIFY2(size.hasMatch(), qPrintable(h->steps.at(2).first));
    QCOMPARE(h->steps.at(2).second, l.writeMs);
    QCOMPARE(h->steps.at(3), qMakePair(QStringLiteral("echo %1 sent, waiting").arg(size.captured(1)), l.echoWaitMs));
    QCOMPARE(h->steps.at(4), qMakePair(QStringLiteral("hanging up"), 0));
}

void TestCasesRun::shortShortGivesUpAfterThreeInARow_data()
{
    QTest::addColumn<int>("pppFails");
    QTest::addColumn<int>("tcpFails");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("cycles");
    // A failed dial-up leaves the TCP count alone, and the other way round.
    QTest::newRow("third failed dial-up") << 2 << 2 << QStringLiteral("dial.refuse") << 1;
    QTest::newRow("third failed connection after a dial failure") << 1 << 2 << QStringLiteral("echo.down") << 1;
    // A successful dial-up resets only its own count.
    QTest::newRow("connection failures after good dial-ups") << 2 << 0 << QStringLiteral("echo.down") << 3;
}

void TestCasesRun::shortShortGivesUpAfterThreeInARow()
{
    QFETCH(int, pppFails);
    QFETCH(int, tcpFails);
    QFETCH(QString, fault);
    QFETCH(int, cycles);
    QVERIFY(bench.setFault(fault, fault == QLatin1String("dial.refuse") ? QJsonValue(633) : QJsonValue(true)));
    runCaseInWorker(1, pppFails, tcpFails);
    QCOMPARE(h->results, QVector<bool>(cycles, false));
    QCOMPARE(h->count(Separator), cycles);
    QCOMPARE(h->texts().last(),
             QStringLiteral("Failed!!!Fail to establish PPP or TCP connection for more than three times in a row"));
    QCOMPARE(h->lines.last().color, QColor(Qt::red));
    if (fault == QLatin1String("echo.down")) {
        // The failure is counted before the line is taken down.
        QCOMPARE(h->texts().at(h->resultAt.first()), ClosePpp);
        QCOMPARE(h->access().pppFailCount(), 0);
        QCOMPARE(h->access().tcpFailCount(), 3);
    } else {
        QCOMPARE(h->access().pppFailCount(), 3);
        QCOMPARE(h->access().tcpFailCount(), 2);
    }
}

void TestCasesRun::longLongWrongEchoOnFifthExchange()
{
    QVERIFY(bench.setFault(QStringLiteral("echo.corruptAt"), 5));
    h->setup.caseIndex = 3;
    h->startRun();
    QVERIFY(h->waitFinished(1, 30000));
    QCOMPARE(h->results, (QVector<bool>{true, true, true, true, false}));
    QCOMPARE(h->count(QStringLiteral("connect to server...")), 1);
    QCOMPARE(textsFrom(h->lines.size() - 5),
             (QStringList{WrongData, CloseSocket, ClosePpp,
                          Closed, Finished}));
    QCOMPARE(h->texts().at(h->resultAt.last()), CloseSocket);
}

void TestCasesRun::stopDuringEchoWait_data()
{
    QTest::addColumn<int>("caseIndex");
    QTest::addColumn<QVector<bool>>("results");
    QTest::addColumn<bool>("byDuration");
    QTest::addColumn<QString>("reason");
    // An exchange cut short has no verdict, whatever cut it short.
    QTest::newRow("short-short") << 1 << QVector<bool>{} << false << QStringLiteral("Stop");
    QTest::newRow("long-short") << 2 << QVector<bool>{} << false << QStringLiteral("Stop");
    QTest::newRow("long-long") << 3 << QVector<bool>{} << false << QStringLiteral("Stop");
    QTest::newRow("long-long, duration limit") << 3 << QVector<bool>{} << true << QStringLiteral("duration limit");
}

void TestCasesRun::stopDuringEchoWait()
{
    QFETCH(int, caseIndex);
    QFETCH(QVector<bool>, results);
    QFETCH(bool, byDuration);
    QFETCH(QString, reason);
    QVERIFY(bench.setFault(QStringLiteral("echo.drop"), true));
    QTemporaryDir dir;
    h->worker->setRecordsDir(dir.path());
    WorkerLimits l = WorkerHarness::quickLimits();
    l.echoWaitMs = 20000;
    h->worker->setLimits(l);
    h->setup.caseIndex = caseIndex;
    if (byDuration) {
        testWorker::RunLimits limits;
        limits.durationMs = 800;
        h->worker->setRunLimits(limits);
    } else {
        h->stopOnLinePrefix = QStringLiteral("[send] ");
    }
    h->startRun();
    QVERIFY(h->waitFinished(1, 10000));
    QCOMPARE(h->results, results);
    QVERIFY(!h->texts().contains(NoData));
    QCOMPARE(textsFrom(h->lines.size() - 4), (QStringList{CloseSocket, ClosePpp, Closed, Finished}));
    const RecordFile rec(h->worker->recordFile());
    QCOMPARE(rec.cycles.size(), 0);
    QCOMPARE(rec.end.value("reason").toString(), reason);
}

void TestCasesRun::stopDuringDialCountsNothing()
{
    QVERIFY(bench.setFault(QStringLiteral("dial.hang"), true));
    WorkerLimits l = WorkerHarness::quickLimits();
    l.dialBoundMs = 20000;
    h->worker->setLimits(l);
    h->setup.caseIndex = 1;
    h->stopOnLinePrefix = QStringLiteral("Try to Authenticate");
    h->startRun();
    QVERIFY(h->waitFinished(1, 5000));
    QVERIFY(h->results.isEmpty());
    QVERIFY(!h->texts().contains(DialFailed));
    QCOMPARE(textsFrom(h->lines.size() - 3), (QStringList{ClosePpp, Closed, Finished}));
    QCOMPARE(h->access().pppFailCount(), 0);
}

void TestCasesRun::stopDuringConnectCountsNothing_data()
{
    QTest::addColumn<int>("caseIndex");
    QTest::newRow("short-short") << 1;
    QTest::newRow("long-short") << 2;
    QTest::newRow("long-long") << 3;
}

void TestCasesRun::stopDuringConnectCountsNothing()
{
    QFETCH(int, caseIndex);
    SilentHost silent;
    h->setup.hostPort = silent.port();
    WorkerLimits l = WorkerHarness::quickLimits();
    l.connectMs = 20000;
    h->worker->setLimits(l);
    h->setup.caseIndex = caseIndex;
    h->stopOnLinePrefix = QStringLiteral("connect to server...");
    QElapsedTimer t;
    t.start();
    h->startRun();
    QVERIFY(h->waitFinished(1, 10000));
    QVERIFY2(t.elapsed() < 5000, qPrintable(QString::number(t.elapsed())));
    QVERIFY(h->results.isEmpty());
    QCOMPARE(h->access().tcpFailCount(), 0);
    QVERIFY(!h->texts().contains(QStringLiteral("Failed!!!Fail to connect to host")));
    QCOMPARE(textsFrom(h->lines.size() - 3), (QStringList{ClosePpp, Closed, Finished}));
}

void TestCasesRun::realFailureWithAStopPendingIsCounted_data()
{
    QTest::addColumn<int>("caseIndex");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QJsonValue>("value");
    QTest::addColumn<QString>("failedLine");
    QTest::addColumn<QString>("failedStep");
    const QString refused = QStringLiteral("Failed!!!Fail to connect to host");
    QTest::newRow("ppp call, dial refused") << 0 << QStringLiteral("dial.refuse") << QJsonValue(633) << DialFailed
                                            << QStringLiteral("dialUpPpp");
    QTest::newRow("ppp call, dial fails on its way") << 0 << QStringLiteral("dial.failAt") << QJsonValue(2)
                                                     << DialFailed << QStringLiteral("dialUpPpp");
    QTest::newRow("short-short, dial refused") << 1 << QStringLiteral("dial.refuse") << QJsonValue(633) << DialFailed
                                               << QStringLiteral("dialUpPpp");
    QTest::newRow("short-short, connection refused") << 1 << QStringLiteral("echo.down") << QJsonValue(true)
                                                     << refused << QStringLiteral("connectServer");
    QTest::newRow("long-short, connection refused") << 2 << QStringLiteral("echo.down") << QJsonValue(true)
                                                    << refused << QStringLiteral("connectServer");
}

void TestCasesRun::realFailureWithAStopPendingIsCounted()
{
    // The step really failed; the Stop only came before the case looked.
    QFETCH(int, caseIndex);
    QFETCH(QString, fault);
    QFETCH(QJsonValue, value);
    QFETCH(QString, failedLine);
    QFETCH(QString, failedStep);
    QVERIFY(bench.setFault(fault, value));
    QTemporaryDir dir;
    h->worker->setRecordsDir(dir.path());
    h->setup.caseIndex = caseIndex;
    h->stopInWorkerOnLine(failedLine);
    h->startRun();
    QVERIFY(h->waitFinished(1, 30000));
    QCOMPARE(h->results, QVector<bool>{false});
    QCOMPARE(h->count(Separator), 1);
    const RecordFile rec(h->worker->recordFile());
    QCOMPARE(rec.cycles.size(), 1);
    QCOMPARE(rec.cycles[0].value("failedStep").toString(), failedStep);
    QCOMPARE(rec.cycles[0].value("failedLine").toString(), failedLine);
    QCOMPARE(rec.end.value("reason").toString(), QStringLiteral("Stop"));
    QCOMPARE(bench.dials().value(QStringLiteral("up")).toInt(), 0);
}

void TestCasesRun::longLongEndsWhenServerHangsUpAfterEcho_data()
{
    QTest::addColumn<bool>("closeSeenBeforeWrite");
    QTest::addColumn<bool>("stopPending");
    QTest::newRow("close seen whenever") << false << false;
    QTest::newRow("close seen before the next write") << true << false;
    QTest::newRow("close seen before the next write, Stop pending") << true << true;
}

void TestCasesRun::longLongEndsWhenServerHangsUpAfterEcho()
{
    QFETCH(bool, closeSeenBeforeWrite);
    QFETCH(bool, stopPending);
    const QString writeFailed = QStringLiteral("Failed!!!Fail to write data to server");
    // Every later write fails at once; the run must not race through
    // failed cycles on a dead connection.
    EchoServer server(EchoServer::EchoHangup);
    QTemporaryDir dir;
    h->worker->setRecordsDir(dir.path());
    h->setup.hostPort = server.port();
    h->setup.caseIndex = 3;
    if (closeSeenBeforeWrite) {
        // The server's close reaches the worker before its next write.
        const WorkerAccess state = h->access();
        connect(h->worker, &testWorker::sngUpdateRadio, h->worker, [state](bool) {
            QElapsedTimer t;
            t.start();
            while (state.socketMgr()->isConnected() && t.elapsed() < 5000)
                state.socketMgr()->waitReadyRead(100);
        }, Qt::DirectConnection);
    }
    if (stopPending)
        h->stopInWorkerOnLine(writeFailed);
    h->startRun();
    QVERIFY(h->waitFinished(1, 30000));
    QVERIFY2(h->results.size() == 2, qPrintable(QString::number(h->results.size())));
    QCOMPARE(h->results, (QVector<bool>{true, false}));
    // Depending on when the close is seen, the write or the echo check fails.
    QCOMPARE(h->count(writeFailed)
                 + h->count(NoData),
             1);
    QCOMPARE(textsFrom(h->lines.size() - 4), (QStringList{CloseSocket, ClosePpp, Closed, Finished}));
    if (!closeSeenBeforeWrite)
        return;
    // The failed write is counted, and the operator reads why the run ends.
    const QString lost = QStringLiteral("Failed!!!Connection to server lost, the run ends");
    QCOMPARE(h->count(writeFailed), 1);
    QCOMPARE(h->texts().at(h->resultAt.last()), lost);
    QCOMPARE(h->colorOf(lost), QColor(Qt::red));
    const RecordFile rec(h->worker->recordFile());
    QCOMPARE(rec.cycles.size(), 2);
    QCOMPARE(rec.cycles[1].value("failedStep").toString(), QStringLiteral("sendData"));
    QCOMPARE(rec.cycles[1].value("failedLine").toString(), writeFailed);
    QCOMPARE(rec.end.value("reason").toString(), QStringLiteral("connection lost"));
}

void TestCasesRun::longShortKeepsOneLinkAcrossCycles()
{
    h->setup.caseIndex = 2;
    h->stopAfterResults = 2;
    h->startRun();
    QVERIFY(h->waitFinished(1, 30000));
    QCOMPARE(h->results, (QVector<bool>{true, true}));
    const QStringList connectCycle{Separator, QStringLiteral("connect to server..."),
                                   QStringLiteral("Send data to server..."), CloseSocket};
    const QStringList lines = h->workerLines();
    // One dial, then cycles of connect, exchange and close: a passing
    // cycle counts after its socket is closed.
    QCOMPARE(lines.mid(0, 2), (QStringList{QStringLiteral("Running..."), QStringLiteral("Try to open the port ... ...")}));
    const int first = lines.indexOf(Separator);
    QCOMPARE(lines.mid(first, 4), connectCycle);
    QCOMPARE(h->texts().at(h->resultAt.first() - 1), CloseSocket);
    QCOMPARE(h->count(DialOk), 1);
    // The Stop ends the run with the one hang-up.
    QCOMPARE(h->count(ClosePpp), 1);
    QCOMPARE(textsFrom(h->lines.size() - 3), (QStringList{ClosePpp, Closed, Finished}));
}

void TestCasesRun::recordsHoldEveryCountedCycle_data()
{
    QTest::addColumn<int>("caseIndex");
    QTest::addColumn<QStringList>("figures"); // on every cycle line
    QTest::newRow("ppp call") << 0 << QStringList{"dialUpMs", "hangUpMs", "pingReplies", "pingRttMs"};
    QTest::newRow("short-short") << 1 << QStringList{"dialUpMs", "hangUpMs", "bytesSent", "bytesReceived"};
    QTest::newRow("long-short") << 2 << QStringList{"bytesSent", "bytesReceived"};
    QTest::newRow("long-long") << 3 << QStringList{"bytesSent", "bytesReceived"};
}

void TestCasesRun::recordsHoldEveryCountedCycle()
{
    QFETCH(int, caseIndex);
    QFETCH(QStringList, figures);
    QTemporaryDir dir;
    h->worker->setRecordsDir(dir.path());
    h->setup.caseIndex = caseIndex;
    h->setup.pingAddress = QStringLiteral("127.0.0.1");
    h->stopAfterResults = 3;
    h->startRun();
    QVERIFY(h->waitFinished(1, 60000));
    QVERIFY(h->results.size() >= 3);

    const RecordFile rec(h->worker->recordFile());
    QVERIFY(rec.opened);
    QVERIFY(h->worker->recordFile().startsWith(dir.path() + QStringLiteral("/") + TestCases::resultTag(caseIndex) + '.'));
    QCOMPARE(rec.brokenLines, 0);
    QCOMPARE(rec.run.value("case").toString(), TestCases::resultTag(caseIndex));
    QCOMPARE(rec.run.value("echoPort").toInt(), h->setup.hostPort);
    QCOMPARE(rec.run.value("pingHost").toString(), h->setup.pingAddress);
    QVERIFY(!rec.run.value("version").toString().isEmpty());
    // One line per counted cycle, in order, with the verdict the window got.
    QCOMPARE(rec.cycles.size(), h->results.size());
    QVERIFY2(rec.cycleFault().isEmpty(), qPrintable(rec.cycleFault()));
    for (int i = 0; i < rec.cycles.size(); ++i) {
        const QJsonObject &c = rec.cycles[i];
        QCOMPARE(c.value("pass").toBool(), h->results[i]);
        for (const QString &key : figures)
            QVERIFY2(c.value(key).toDouble(-1) >= 0, qPrintable(QStringLiteral("cycle %1: %2").arg(i + 1).arg(key)));
        if (c.contains("bytesSent") && i + 1 < rec.cycles.size())
            QCOMPARE(c.value("bytesReceived").toInt(), c.value("bytesSent").toInt());
    }
    if (caseIndex == 0)
        QCOMPARE(rec.cycles.first().value("pingReplies").toInt(), 4);
    // The dial-up times the window averaged are the ones on record.
    if (caseIndex <= 1) {
        QVector<int> dialUps;
        for (const auto &t : h->avgTimes)
            if (t.first)
                dialUps << t.second;
        QCOMPARE(rec.cycles.first().value("dialUpMs").toInt(), dialUps.first());
    }
    QCOMPARE(rec.end.value("cycles").toInt(), h->results.size());
    QCOMPARE(rec.end.value("pass").toInt(), int(h->results.count(true)));
    QCOMPARE(rec.end.value("reason").toString(), QStringLiteral("Stop"));
}

void TestCasesRun::unwritableRecordsAreReportedOnce()
{
    // A file where the folder should be: nothing can be written there.
    QTemporaryDir dir;
    const QString blocked = dir.filePath(QStringLiteral("records"));
    QFile plain(blocked);
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.close();
    h->worker->setRecordsDir(blocked);
    h->setup.caseIndex = 3;
    h->stopAfterResults = 3;
    h->startRun();
    QVERIFY(h->waitFinished(1, 30000));
    QVERIFY(h->results.size() >= 3); // the run went on
    QCOMPARE(h->count(QStringLiteral("Fail to open record file")), 1);
    QCOMPARE(h->colorOf(QStringLiteral("Fail to open record file")), QColor(Qt::red));
    QVERIFY(h->worker->recordFile().isEmpty());
}

void TestCasesRun::runLimitsEndTheRun_data()
{
    QTest::addColumn<int>("cycles");
    QTest::addColumn<int>("maxFailures");
    QTest::addColumn<QString>("pingHost");
    QTest::addColumn<int>("counted");
    QTest::addColumn<QString>("reason");
    QTest::newRow("cycles") << 3 << 0 << QStringLiteral("127.0.0.1") << 3 << QStringLiteral("cycle limit");
    QTest::newRow("failures") << 0 << 2 << QStringLiteral("-q") << 2 << QStringLiteral("failure limit");
    QTest::newRow("failures before cycles") << 5 << 2 << QStringLiteral("-q") << 2 << QStringLiteral("failure limit");
}

void TestCasesRun::runLimitsEndTheRun()
{
    QFETCH(int, cycles);
    QFETCH(int, maxFailures);
    QFETCH(QString, pingHost);
    QFETCH(int, counted);
    QFETCH(QString, reason);
    QTemporaryDir dir;
    h->worker->setRecordsDir(dir.path());
    testWorker::RunLimits limits;
    limits.cycles = cycles;
    limits.maxFailures = maxFailures;
    h->worker->setRunLimits(limits);
    h->setup.caseIndex = 0;
    h->setup.pingAddress = pingHost;
    h->startRun();
    QVERIFY(h->waitFinished(1, 60000));
    // Ended right after the last counted cycle, hung up, without a Stop.
    QCOMPARE(h->results.size(), counted);
    QCOMPARE(h->count(Separator), counted);
    QCOMPARE(h->count(WorkerText::Stop), 0);
    QCOMPARE(h->texts().last(), Finished);
    QCOMPARE(RecordFile(h->worker->recordFile()).end.value("reason").toString(), reason);

    // A duration ends the run like a Stop: the cycle it cuts short counts nothing.
    h->clear();
    limits = testWorker::RunLimits();
    limits.durationMs = 700;
    h->worker->setRunLimits(limits);
    h->setup.caseIndex = 3;
    QElapsedTimer t;
    t.start();
    h->startRun();
    QVERIFY(h->waitFinished(1, 30000));
    QVERIFY2(t.elapsed() >= 700 && t.elapsed() < 5000, qPrintable(QString::number(t.elapsed())));
    const RecordFile rec(h->worker->recordFile());
    QCOMPARE(rec.end.value("reason").toString(), QStringLiteral("duration limit"));
    QCOMPARE(rec.cycles.size(), h->results.size());
    QCOMPARE(textsFrom(h->lines.size() - 4), (QStringList{CloseSocket, ClosePpp, Closed, Finished}));
    h->worker->setRunLimits(testWorker::RunLimits());
}

QTEST_GUILESS_MAIN(TestCasesRun)
#include "tst_cases.moc"
