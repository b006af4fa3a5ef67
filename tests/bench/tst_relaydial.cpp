// Relay boards and the dial-up service through the client library, as the
// program's relay and dial layers use them: state sequences, refusals,
// failures at a stage, disconnections, dials that never complete.
#include "BenchClient.h"
#include "BenchProcess.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QTest>

namespace {

constexpr int kConnected = 0x2000;
constexpr int kDisconnected = 0x2001;
constexpr int kAuthenticate = 5;
constexpr int kConnectDevice = 2;
constexpr int kInvalidHandle = 6;

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
QList<Event> dialAndFollow(BenchSession &s, int *conn, int waitMs, QJsonObject *reply = nullptr)
{
    QList<Event> events;
    if (!s.send({{"op", "dial"}, {"number", "*99***1#"}}))
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

QTEST_GUILESS_MAIN(TestRelayDial)
#include "tst_relaydial.moc"
