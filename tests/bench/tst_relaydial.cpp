// Relay boards and the dial-up service through the client library, as the
// program's relay and dial layers use them: state sequences, refusals,
// failures at a stage, disconnections, dials that never complete; several
// chips, each on its own channel and dial line, and a runner per chip.
#include "BenchClient.h"
#include "BenchProcess.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

constexpr int kConnected = 0x2000;
constexpr int kDisconnected = 0x2001;
constexpr int kAuthenticate = 5;
constexpr int kConnectDevice = 2;
constexpr int kInvalidHandle = 6;
constexpr int kCannotFindPhonebookEntry = 623;
constexpr int kPortNotAvailable = 633;
constexpr int kNoCarrier = 679;

QJsonObject ask(const QJsonObject &req)
{
    return BenchClient::request(req);
}

bool ok(const QJsonObject &reply)
{
    return reply.value("ok").toBool();
}

struct Event
{
    int state;
    int error;
};

// Dials on the session and collects its events until a final one or waitMs.
QList<Event> dialAndFollow(BenchSession &s, int *conn, int waitMs, QJsonObject *reply = nullptr,
                           const QString &peer = QString())
{
    QList<Event> events;
    QJsonObject req{{"op", "dial"}, {"number", "*99***1#"}};
    if (!peer.isNull())
        req.insert("peer", peer);
    if (!s.send(req))
        return events;
    const QJsonObject r = s.next(3000);
    if (reply)
        *reply = r;
    if (!ok(r))
        return events;
    *conn = r.value("conn").toInt();
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < waitMs) {
        const QJsonObject e = s.next(int(waitMs - t.elapsed()));
        if (e.isEmpty())
            break;
        if (e.value("event").toString() != "dial" || e.value("conn").toInt() != *conn)
            continue;
        events.append({e.value("state").toInt(), e.value("error").toInt()});
        if (events.last().error != 0 || events.last().state >= kConnected)
            break;
    }
    return events;
}

QList<int> states(const QList<Event> &events)
{
    QList<int> out;
    for (const Event &e : events)
        out << e.state;
    return out;
}

} // namespace

class TestRelayDial : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void boardsAndChannels();
    void boardFaults();
    void boardUnpluggedMidRun();

    void dialConnects();
    void dialRefused();
    void dialFailsAtStage();
    void dialDisconnected();
    void dialNeverCompletesUntilHungUp();
    void dialEndsWithItsConnection();
    void connectedLineDrops();
    void slowDial();

    void severalChips();
    void runnersKeepToTheirChips();

private:
    BenchProcess m_bench;
};

void TestRelayDial::initTestCase()
{
    QVERIFY2(m_bench.start({"--boards", "BNCH1:2,BNCH2:8", "--dial-step-ms", "20"}),
             qPrintable(m_bench.errorString()));
}

void TestRelayDial::init()
{
    QVERIFY(m_bench.clearFaults());
    for (const QString &serial : {QStringLiteral("BNCH1"), QStringLiteral("BNCH2")}) {
        const int channels = serial == "BNCH1" ? 2 : 8;
        for (int ch = 1; ch <= channels; ++ch)
            QVERIFY(m_bench.setRelay(serial, ch, false));
    }
}

void TestRelayDial::cleanupTestCase()
{
    QVERIFY(m_bench.stop());
}

void TestRelayDial::boardsAndChannels()
{
    const QJsonArray boards = ask({{"op", "relay.list"}}).value("boards").toArray();
    QCOMPARE(boards.size(), 2);
    QCOMPARE(boards.at(0).toObject().value("serial").toString(), QString("BNCH1"));
    QCOMPARE(boards.at(1).toObject().value("channels").toInt(), 8);

    QJsonObject r = ask({{"op", "relay.set"}, {"serial", "BNCH2"}, {"channel", 8}, {"on", true}});
    QVERIFY(ok(r));
    QCOMPARE(r.value("status").toInt(), 0x80);
    r = ask({{"op", "relay.set"}, {"serial", "BNCH2"}, {"channel", 3}, {"on", true}});
    QCOMPARE(r.value("status").toInt(), 0x84);
    r = ask({{"op", "relay.set"}, {"serial", "BNCH2"}, {"channel", 8}, {"on", false}});
    QCOMPARE(r.value("status").toInt(), 0x04);
    QCOMPARE(ask({{"op", "relay.status"}, {"serial", "BNCH2"}}).value("status").toInt(), 0x04);
    // Only board 1, channel 1 feeds the chip.
    QVERIFY(!m_bench.state().value("chip").toObject().value("powered").toBool());
    QVERIFY(ok(ask({{"op", "relay.set"}, {"serial", "BNCH1"}, {"channel", 1}, {"on", true}})));
    QVERIFY(m_bench.state().value("chip").toObject().value("powered").toBool());

    // Channels that do not exist, boards that do not exist.
    QVERIFY(!ok(ask({{"op", "relay.set"}, {"serial", "BNCH1"}, {"channel", 3}, {"on", true}})));
    QVERIFY(!ok(ask({{"op", "relay.set"}, {"serial", "BNCH1"}, {"channel", 0}, {"on", true}})));
    QVERIFY(!ok(ask({{"op", "relay.status"}, {"serial", "NOPE1"}})));
    QVERIFY(!ok(ask({{"op", "relay.status"}})));
}

void TestRelayDial::boardFaults()
{
    // A missing board is neither listed nor reachable.
    QVERIFY(m_bench.setFault("relay.missing", "BNCH2"));
    QJsonArray boards = ask({{"op", "relay.list"}}).value("boards").toArray();
    QCOMPARE(boards.size(), 1);
    QCOMPARE(boards.at(0).toObject().value("serial").toString(), QString("BNCH1"));
    QVERIFY(!ok(ask({{"op", "relay.status"}, {"serial", "BNCH2"}})));
    QVERIFY(m_bench.setFault("relay.missing", true));
    QVERIFY(ask({{"op", "relay.list"}}).value("boards").toArray().isEmpty());
    QVERIFY(ok(ask({{"op", "relay.list"}})));
    QVERIFY(m_bench.setFault("relay.missing", false));

    // The status query fails; switching still works.
    QVERIFY(m_bench.setFault("relay.statusFails", "BNCH1"));
    QVERIFY(!ok(ask({{"op", "relay.status"}, {"serial", "BNCH1"}})));
    QVERIFY(ok(ask({{"op", "relay.status"}, {"serial", "BNCH2"}})));
    QVERIFY(m_bench.setRelay("BNCH1", 1, true));
    QVERIFY(m_bench.setFault("relay.statusFails", false));

    // The switch reports failure and the channel stays.
    QVERIFY(m_bench.setFault("relay.switchFails", "BNCH1"));
    QVERIFY(!m_bench.setRelay("BNCH1", 1, false));
    QCOMPARE(ask({{"op", "relay.status"}, {"serial", "BNCH1"}}).value("status").toInt(), 1);
    QVERIFY(m_bench.state().value("chip").toObject().value("powered").toBool());
    QVERIFY(m_bench.setFault("relay.switchFails", false));

    // The switch "succeeds" but the contact does not follow: the reply's
    // status tells the truth.
    QVERIFY(m_bench.setFault("relay.switchStuck", "BNCH1"));
    const QJsonObject r = ask({{"op", "relay.set"}, {"serial", "BNCH1"}, {"channel", 1}, {"on", false}});
    QVERIFY(ok(r));
    QCOMPARE(r.value("status").toInt(), 1);
    QVERIFY(m_bench.state().value("chip").toObject().value("powered").toBool());

    // Bad values are refused as a whole.
    QVERIFY(!m_bench.setFaults({{"relay.switchStuck", false}, {"relay.missing", 3}}));
    QCOMPARE(m_bench.faults().value("relay.switchStuck").toString(), QString("BNCH1"));
    QVERIFY(!m_bench.setFault("no.such.fault", true));
}

void TestRelayDial::boardUnpluggedMidRun()
{
    QVERIFY(m_bench.setRelay("BNCH2", 5, true));
    QVERIFY(m_bench.setFault("relay.missing", "BNCH2"));
    QVERIFY(!m_bench.setRelay("BNCH2", 5, false));
    QVERIFY(m_bench.setFault("relay.missing", false));
    // Back again with every contact released.
    QCOMPARE(ask({{"op", "relay.status"}, {"serial", "BNCH2"}}).value("status").toInt(), 0);
}

void TestRelayDial::dialConnects()
{
    BenchSession s;
    QVERIFY(s.open());
    int conn = 0;
    const QList<Event> events = dialAndFollow(s, &conn, 5000);
    QCOMPARE(states(events), (QList<int>{0, 1, 2, 3, 4, 5, 14, kConnected}));
    for (const Event &e : events)
        QCOMPARE(e.error, 0);
    // Status from another connection, as a status query would ask.
    QJsonObject st = ask({{"op", "dial.status"}, {"conn", conn}});
    QCOMPARE(st.value("state").toInt(), kConnected);
    QCOMPARE(st.value("error").toInt(), 0);
    QVERIFY(ok(ask({{"op", "hangup"}, {"conn", conn}})));
    st = ask({{"op", "dial.status"}, {"conn", conn}});
    QVERIFY(!ok(st));
    QCOMPARE(st.value("error").toInt(), kInvalidHandle);
    QCOMPARE(ask({{"op", "hangup"}, {"conn", conn}}).value("error").toInt(), kInvalidHandle);
    const QJsonObject dials = m_bench.state().value("dials").toObject();
    QVERIFY(dials.value("connected").toInt() >= 1);
    QVERIFY(dials.value("hangups").toInt() >= 1);
}

void TestRelayDial::dialRefused()
{
    QVERIFY(m_bench.setFault("dial.refuse", 633));
    BenchSession s;
    QVERIFY(s.open());
    int conn = 0;
    QJsonObject reply;
    QVERIFY(dialAndFollow(s, &conn, 500, &reply).isEmpty());
    QCOMPARE(reply.value("ok").toBool(), false);
    QCOMPARE(reply.value("error").toInt(), 633);
    // Nothing follows a refusal.
    QVERIFY(s.next(200).isEmpty());
}

void TestRelayDial::dialFailsAtStage()
{
    QVERIFY(m_bench.setFaults({{"dial.failAt", kConnectDevice}, {"dial.failCode", 678}}));
    BenchSession s;
    QVERIFY(s.open());
    int conn = 0;
    const QList<Event> events = dialAndFollow(s, &conn, 5000);
    QCOMPARE(states(events), (QList<int>{0, 1, kConnectDevice}));
    QCOMPARE(events.last().error, 678);
    QVERIFY(s.next(200).isEmpty());
    const QJsonObject st = ask({{"op", "dial.status"}, {"conn", conn}});
    QCOMPARE(st.value("state").toInt(), kConnectDevice);
    QCOMPARE(st.value("error").toInt(), 678);

    // Failing in the very first report, with the default code.
    QVERIFY(m_bench.setFaults({{"dial.failAt", 0}, {"dial.failCode", 0}}));
    const QList<Event> first = dialAndFollow(s, &conn, 5000);
    QCOMPARE(first.size(), 1);
    QCOMPARE(first.first().state, 0);
    QCOMPARE(first.first().error, 678);
}

void TestRelayDial::dialDisconnected()
{
    QVERIFY(m_bench.setFault("dial.disconnect", true));
    BenchSession s;
    QVERIFY(s.open());
    int conn = 0;
    const QList<Event> events = dialAndFollow(s, &conn, 5000);
    QCOMPARE(states(events), (QList<int>{0, 1, 2, 3, 4, 5, 14, kDisconnected}));
}

void TestRelayDial::dialNeverCompletesUntilHungUp()
{
    QVERIFY(m_bench.setFault("dial.hang", true));
    BenchSession s;
    QVERIFY(s.open());
    int conn = 0;
    const QList<Event> events = dialAndFollow(s, &conn, 800);
    QCOMPARE(states(events).last(), kAuthenticate);
    QCOMPARE(m_bench.state().value("dials").toObject().value("inProgress").toInt(), 1);
    QVERIFY(ok(ask({{"op", "hangup"}, {"conn", conn}})));
    QVERIFY(s.next(200).isEmpty());
    QCOMPARE(m_bench.state().value("dials").toObject().value("inProgress").toInt(), 0);
}

void TestRelayDial::dialEndsWithItsConnection()
{
    QVERIFY(m_bench.setFault("dial.hang", true));
    int conn = 0;
    {
        BenchSession s;
        QVERIFY(s.open());
        dialAndFollow(s, &conn, 300);
        QVERIFY(conn > 0);
    }
    // The asking connection is gone, so is its dial.
    QTRY_VERIFY(!ok(ask({{"op", "dial.status"}, {"conn", conn}})));
    const QJsonObject dials = m_bench.state().value("dials").toObject();
    QCOMPARE(dials.value("inProgress").toInt(), 0);
    QVERIFY(dials.value("abandoned").toInt() >= 1);
}

void TestRelayDial::connectedLineDrops()
{
    QVERIFY(m_bench.setFault("dial.dropAfterMs", 200));
    BenchSession s;
    QVERIFY(s.open());
    int conn = 0;
    QCOMPARE(states(dialAndFollow(s, &conn, 5000)).last(), kConnected);
    const QJsonObject drop = s.next(2000);
    QCOMPARE(drop.value("state").toInt(), kDisconnected);
    QCOMPARE(drop.value("error").toInt(), 628);
    QCOMPARE(ask({{"op", "dial.status"}, {"conn", conn}}).value("state").toInt(), kDisconnected);
}

void TestRelayDial::slowDial()
{
    QVERIFY(m_bench.setFault("dial.slowMs", 100));
    BenchSession s;
    QVERIFY(s.open());
    int conn = 0;
    QElapsedTimer t;
    t.start();
    QCOMPARE(states(dialAndFollow(s, &conn, 5000)).last(), kConnected);
    QVERIFY2(t.elapsed() >= 8 * 100, qPrintable(QString::number(t.elapsed())));
}

void TestRelayDial::severalChips()
{
    BenchProcess bench;
    QVERIFY2(bench.start({"--chips", "3", "--boards", "BNCH1:2,BNCH2:2", "--boot-ms", "30",
                          "--register-ms", "60", "--dial-step-ms", "5"}),
             qPrintable(bench.errorString()));
    // Chip k on the k-th channel across the boards, each with its own port.
    const QJsonObject info = bench.info();
    const QJsonArray chips = info.value("chips").toArray();
    QCOMPARE(chips.size(), 3);
    QCOMPARE(chips.at(0).toObject().value("atLink").toString(), info.value("atLink").toString());
    QCOMPARE(chips.at(0).toObject().value("atPort").toString(), info.value("atPort").toString());
    QCOMPARE(chips.at(2).toObject().value("board").toString(), QString("BNCH2"));
    QCOMPARE(chips.at(2).toObject().value("channel").toInt(), 1);
    QCOMPARE(chips.at(1).toObject().value("atLink").toString(),
             QDir(bench.runtimeDir()).filePath("ttyAT2"));
    for (const QJsonValue &c : chips) {
        QCOMPARE(QFileInfo(c.toObject().value("atLink").toString()).symLinkTarget(),
                 c.toObject().value("atPort").toString());
    }
    const auto chip = [&bench](int k) {
        return bench.state().value("chips").toArray().at(k - 1).toObject();
    };

    // Chip 2's channel boots chip 2 only.
    QVERIFY(bench.setRelay("BNCH1", 2, true));
    QTRY_COMPARE(chip(2).value("creg").toInt(), 1);
    QVERIFY(!chip(1).value("powered").toBool());
    QVERIFY(!chip(3).value("powered").toBool());
    QVERIFY(bench.setRelay("BNCH1", 2, false));
    QVERIFY(!chip(2).value("powered").toBool());

    // A dial takes its chip's line: none while that chip is off, whatever
    // the others do; no carrier before it has registered.
    QVERIFY(bench.setRelay("BNCH1", 1, true));
    QTRY_COMPARE(chip(1).value("creg").toInt(), 1);
    BenchSession s;
    QVERIFY(s.openAt(bench.controlPath()));
    int chip1Conn = 0, conn = 0;
    QJsonObject reply;
    QVERIFY(dialAndFollow(s, &conn, 500, &reply, "chip2").isEmpty());
    QCOMPARE(reply.value("error").toInt(), kPortNotAvailable);
    QCOMPARE(states(dialAndFollow(s, &chip1Conn, 5000)).last(), kConnected);
    QVERIFY(dialAndFollow(s, &conn, 500, &reply, "chip4").isEmpty());
    QCOMPARE(reply.value("error").toInt(), kCannotFindPhonebookEntry);
    QVERIFY(dialAndFollow(s, &conn, 500, &reply, "chip02").isEmpty());
    QCOMPARE(reply.value("error").toInt(), kCannotFindPhonebookEntry);

    // Registration late enough for the dial to get there first.
    QVERIFY(bench.request({{"op", "fault.set"}, {"chip", 2}, {"faults", QJsonObject{{"creg.lateMs", 1000}}}})
                .value("ok").toBool());
    QVERIFY(bench.setRelay("BNCH1", 2, true));
    QList<Event> events = dialAndFollow(s, &conn, 5000, nullptr, "provider2");
    QCOMPARE(states(events), (QList<int>{0, 1, kConnectDevice}));
    QCOMPARE(events.last().error, kNoCarrier);
    QTRY_COMPARE(chip(2).value("creg").toInt(), 1);
    QCOMPARE(states(dialAndFollow(s, &conn, 5000, nullptr, "chip2")).last(), kConnected);

    // Chip 2 loses its supply: its line drops, chip 1's stays up.
    QVERIFY(bench.setRelay("BNCH1", 2, false));
    const QJsonObject drop = s.next(2000);
    QCOMPARE(drop.value("conn").toInt(), conn);
    QCOMPARE(drop.value("state").toInt(), kDisconnected);
    QCOMPARE(drop.value("error").toInt(), 628);
    QCOMPARE(bench.request({{"op", "dial.status"}, {"conn", chip1Conn}}).value("state").toInt(), kConnected);

    // A dial line's fault for one chip leaves the others' lines alone.
    QVERIFY(bench.request({{"op", "fault.set"}, {"chip", 1}, {"faults", QJsonObject{{"dial.refuse", 633}}}})
                .value("ok").toBool());
    QVERIFY(bench.setRelay("BNCH2", 1, true));
    QTRY_COMPARE(chip(3).value("creg").toInt(), 1);
    QCOMPARE(states(dialAndFollow(s, &conn, 5000, nullptr, "chip3")).last(), kConnected);
    QVERIFY(dialAndFollow(s, &conn, 500, &reply, "provider").isEmpty());
    QCOMPARE(reply.value("error").toInt(), 633);
    QVERIFY(bench.stop());
}

void TestRelayDial::runnersKeepToTheirChips()
{
    const QString runner = QCoreApplication::applicationDirPath() + "/trevalo-run";
    if (!QFileInfo(runner).isExecutable())
        QSKIP("trevalo-run is not built");
    BenchProcess bench;
    QVERIFY2(bench.start({"--chips", "2", "--boards", "BNCH1:2", "--boot-ms", "30",
                          "--register-ms", "60", "--deregister-ms", "20"}),
             qPrintable(bench.errorString()));
    // Chip 2 never answers the radio-off command: each of its cycles fails.
    QVERIFY(bench.request({{"op", "fault.set"}, {"chip", 2}, {"faults", QJsonObject{{"cfun.noReply", true}}}})
                .value("ok").toBool());
    QTemporaryDir work;
    QVERIFY(work.isValid());
    const QJsonArray chips = bench.info().value("chips").toArray();
    QProcess runs[2];
    for (int k = 1; k <= 2; ++k) {
        QFile ini(work.filePath(QStringLiteral("trevalo%1.ini").arg(k)));
        QVERIFY(ini.open(QIODevice::WriteOnly));
        runs[k - 1].setProgram(runner);
        runs[k - 1].setArguments(
            {"--case", "RegisterNetTest", "--board", "BNCH1", "--channel", QString::number(k), "--port",
             chips.at(k - 1).toObject().value("atLink").toString(), "--settings",
             work.filePath(QStringLiteral("trevalo%1.ini").arg(k)), "--out",
             work.filePath(QStringLiteral("out%1").arg(k)), "--quiet",
             k == 1 ? "--cycles" : "--max-failures", k == 1 ? "3" : "1"});
        runs[k - 1].start();
    }
    for (QProcess &p : runs) {
        QVERIFY(p.waitForFinished(50000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    }
    QCOMPARE(runs[0].exitCode(), 0);
    QCOMPARE(runs[1].exitCode(), 1);
    QCOMPARE(runs[1].readAllStandardError().trimmed(), QByteArray("trevalo-run: 1 of 1 cycles failed"));
    // Each chip saw its own runner's commands only, and is off again.
    for (int k = 1; k <= 2; ++k) {
        const QJsonObject chip = bench.state().value("chips").toArray().at(k - 1).toObject();
        QVERIFY(!chip.value("powered").toBool());
        QCOMPARE(chip.value("commands").toInt(), k == 1 ? 3 * 2 : 1);
    }
    QVERIFY(bench.stop());
}

QTEST_GUILESS_MAIN(TestRelayDial)
#include "tst_relaydial.moc"
