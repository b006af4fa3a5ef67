// Every fault of the bench, given at start-up (--fault) and set live
// (fault.set), observed by a real client of the part it concerns: both ways
// must act alike.
#include "BenchClient.h"
#include "BenchProcess.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSerialPort>
#include <QTcpSocket>
#include <QTest>

namespace {

constexpr int kConnected = 0x2000;
constexpr int kDisconnected = 0x2001;

// "name=value" as the command line takes it, as fault.set takes it.
QJsonObject asJson(const QStringList &assignments)
{
    QJsonObject out;
    for (const QString &a : assignments) {
        const QString name = a.section(QLatin1Char('='), 0, 0);
        const QString text = a.section(QLatin1Char('='), 1);
        bool isNumber = false;
        const int n = text.toInt(&isNumber);
        if (text == QLatin1String("true"))
            out.insert(name, true);
        else
            out.insert(name, isNumber ? QJsonValue(n) : QJsonValue(text));
    }
    return out;
}

struct DialEvent
{
    int state = -1;
    int error = 0;
    qint64 atMs = 0;
};

} // namespace

class TestFaults : public QObject
{
    Q_OBJECT

private slots:
    void sameFromStartAndLive_data();
    void sameFromStartAndLive();
    void everyFaultHasARow();
    void forOneChipOrAll();

private:
    // Whether the named fault showed its effect to a client; *seen says what.
    bool acted(const BenchProcess &bench, const QString &fault, QString *seen);
    bool chipActed(const BenchProcess &bench, const QString &fault, QString *seen);
    bool dialActed(const BenchProcess &bench, const QString &fault, QString *seen);
    bool echoActed(const BenchProcess &bench, const QString &fault, QString *seen);

    QStringList m_rows;
};

void TestFaults::sameFromStartAndLive_data()
{
    QTest::addColumn<QStringList>("faults"); // the first is the one observed
    QTest::addColumn<bool>("live");
    const QList<QStringList> rows = {
        {"creg.never=true"},
        {"creg.lateMs=500"},
        {"cfun.noReply=true"},
        {"at.pieces=3", "at.pieceGapMs=200"},
        {"at.pieceGapMs=200", "at.pieces=3"},
        {"at.vanish=true"},
        {"at.staysAway=true", "at.vanish=true"},
        {"sim.absent=true"},
        {"csq.rssi=7"},
        {"csq.unknown=true"},
        {"attach.off=true"},
        {"reboot.hang=true"},
        {"relay.missing=BNCH2"},
        {"relay.statusFails=BNCH2"},
        {"relay.switchFails=BNCH2"},
        {"relay.switchStuck=BNCH2"},
        {"dial.refuse=633"},
        {"dial.refuseHeld=true", "dial.refuse=633"},
        {"dial.failAt=2"},
        {"dial.failCode=700", "dial.failAt=3"},
        {"dial.disconnect=true"},
        {"dial.hang=true"},
        {"dial.slowMs=100"},
        {"dial.dropAfterMs=100"},
        {"echo.corruptAt=2"},
        {"echo.drop=true"},
        {"echo.extra=3"},
        {"echo.split=4"},
        {"echo.delayMs=500"},
        {"echo.close=true"},
        {"echo.down=true"},
    };
    m_rows.clear();
    for (const QStringList &faults : rows) {
        m_rows << faults.first().section(QLatin1Char('='), 0, 0);
        for (const bool live : {false, true}) {
            QTest::addRow("%s, %s", qPrintable(faults.first()), live ? "live" : "at start")
                << faults << live;
        }
    }
}

void TestFaults::sameFromStartAndLive()
{
    QFETCH(QStringList, faults);
    QFETCH(bool, live);
    QStringList args{"--boards", "BNCH1:2,BNCH2:2", "--boot-ms", "30", "--register-ms", "60",
                     "--deregister-ms", "20", "--dial-step-ms", "5"};
    if (!live) {
        for (const QString &f : faults)
            args << "--fault" << f;
    }
    BenchProcess bench;
    QVERIFY2(bench.start(args), qPrintable(bench.errorString()));
    if (live)
        QVERIFY(bench.setFaults(asJson(faults)));
    // Both ways the bench reports the same values.
    const QJsonObject wanted = asJson(faults);
    const QJsonObject values = bench.faults();
    for (auto it = wanted.begin(); it != wanted.end(); ++it)
        QCOMPARE(values.value(it.key()), it.value());

    QString seen;
    const bool effect = acted(bench, faults.first().section(QLatin1Char('='), 0, 0), &seen);
    QVERIFY2(effect, qPrintable(seen));
    QVERIFY(bench.stop());
}

void TestFaults::everyFaultHasARow()
{
    if (m_rows.isEmpty())
        sameFromStartAndLive_data();
    BenchProcess bench;
    QVERIFY2(bench.start(), qPrintable(bench.errorString()));
    QStringList names = bench.faults().keys();
    names.sort();
    QStringList rows = m_rows;
    rows.sort();
    QCOMPARE(rows, names);
}

void TestFaults::forOneChipOrAll()
{
    BenchProcess bench;
    QVERIFY2(bench.start({"--chips", "2", "--boot-ms", "30", "--register-ms", "60", "--fault",
                          "chip2:creg.never", "--fault", "chip1:csq.rssi=5"}),
             qPrintable(bench.errorString()));
    const QJsonArray chips = bench.info().value("chips").toArray();
    QCOMPARE(chips.size(), 2);
    QSerialPort ports[2];
    for (int k = 0; k < 2; ++k) {
        ports[k].setPortName(chips.at(k).toObject().value("atPort").toString());
        QVERIFY(ports[k].open(QIODevice::ReadWrite));
    }
    const auto readFor = [](QSerialPort &port, int waitMs) {
        QByteArray got;
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < waitMs && port.waitForReadyRead(int(waitMs - t.elapsed())))
            got += port.readAll();
        return got + port.readAll();
    };
    const auto csq = [&](int k) {
        ports[k].write("AT+CSQ\r");
        return readFor(ports[k], 250);
    };
    const QJsonObject started = bench.request({{"op", "fault.get"}});
    QCOMPARE(started.value("faults").toObject().value("creg.never").toBool(), false);
    QCOMPARE(started.value("chipFaults").toObject().value("2").toObject().value("creg.never").toBool(), true);

    QVERIFY(bench.setRelay("BNCH1", 1, true));
    QVERIFY(bench.setRelay("BNCH1", 2, true));
    QCOMPARE(readFor(ports[0], 500), QByteArray("\r\n+CREG: 1\r\n"));
    QVERIFY(readFor(ports[1], 1).isEmpty()); // booted, never registered
    QCOMPARE(csq(0), QByteArray("\r\n+CSQ: 5,99\r\n\r\nOK\r\n"));
    QCOMPARE(csq(1), QByteArray("\r\n+CSQ: 21,99\r\n\r\nOK\r\n"));

    // Live for one chip; then for all chips, which overrides both chips' own.
    QVERIFY(bench.request({{"op", "fault.set"}, {"chip", 2}, {"faults", QJsonObject{{"csq.unknown", true}}}})
                .value("ok").toBool());
    QCOMPARE(csq(0), QByteArray("\r\n+CSQ: 5,99\r\n\r\nOK\r\n"));
    QCOMPARE(csq(1), QByteArray("\r\n+CSQ: 99,99\r\n\r\nOK\r\n"));
    QVERIFY(bench.setFaults({{"csq.rssi", 9}, {"creg.never", false}}));
    QCOMPARE(csq(0), QByteArray("\r\n+CSQ: 9,99\r\n\r\nOK\r\n"));
    QCOMPARE(csq(1), QByteArray("\r\n+CSQ: 99,99\r\n\r\nOK\r\n"));
    QVERIFY(bench.setRelay("BNCH1", 2, false));
    QVERIFY(bench.setRelay("BNCH1", 2, true));
    QCOMPARE(readFor(ports[1], 500), QByteArray("\r\n+CREG: 1\r\n"));

    // Refused whole: no such chip, a fault of the whole bench for one chip.
    for (const QJsonObject &bad :
         {QJsonObject{{"op", "fault.set"}, {"chip", 3}, {"faults", QJsonObject{{"creg.never", true}}}},
          QJsonObject{{"op", "fault.set"}, {"chip", 1}, {"faults", QJsonObject{{"creg.never", true}, {"echo.drop", true}}}},
          QJsonObject{{"op", "fault.set"}, {"chip", "2"}, {"faults", QJsonObject{{"creg.never", true}}}}})
        QVERIFY(!bench.request(bad).value("ok").toBool());
    QVERIFY(bench.clearFaults());
    QVERIFY(!bench.request({{"op", "fault.get"}}).contains("chipFaults"));
    QCOMPARE(csq(1), QByteArray("\r\n+CSQ: 21,99\r\n\r\nOK\r\n"));
    QVERIFY(bench.stop());
}

bool TestFaults::acted(const BenchProcess &bench, const QString &fault, QString *seen)
{
    for (const char *chipPart : {"creg.", "cfun.", "at.", "sim.", "csq.", "attach.", "reboot."}) {
        if (fault.startsWith(QLatin1String(chipPart)))
            return chipActed(bench, fault, seen);
    }
    if (fault.startsWith(QLatin1String("dial.")))
        return dialActed(bench, fault, seen);
    if (fault.startsWith(QLatin1String("echo.")))
        return echoActed(bench, fault, seen);

    // Relay faults act on BNCH2 only; BNCH1 is the control.
    const auto ask = [&](const QJsonObject &req) { return bench.request(req); };
    const auto list = ask({{"op", "relay.list"}}).value("boards").toArray();
    const QJsonObject status = ask({{"op", "relay.status"}, {"serial", "BNCH2"}});
    const QJsonObject set = ask({{"op", "relay.set"}, {"serial", "BNCH2"}, {"channel", 2}, {"on", true}});
    const QJsonObject control = ask({{"op", "relay.set"}, {"serial", "BNCH1"}, {"channel", 2}, {"on", true}});
    *seen = QStringLiteral("boards %1, status %2, set %3")
                .arg(list.size())
                .arg(QString::fromUtf8(QJsonDocument(status).toJson(QJsonDocument::Compact)),
                     QString::fromUtf8(QJsonDocument(set).toJson(QJsonDocument::Compact)));
    if (!control.value("ok").toBool() || control.value("status").toInt() != 2)
        return false;
    if (fault == QLatin1String("relay.missing"))
        return list.size() == 1 && !set.value("ok").toBool();
    if (fault == QLatin1String("relay.statusFails"))
        return list.size() == 2 && !status.value("ok").toBool() && set.value("ok").toBool();
    if (fault == QLatin1String("relay.switchFails"))
        return status.value("ok").toBool() && !set.value("ok").toBool();
    if (fault == QLatin1String("relay.switchStuck"))
        return set.value("ok").toBool() && set.value("status").toInt() == 0;
    *seen = QStringLiteral("no probe for %1").arg(fault);
    return false;
}

bool TestFaults::chipActed(const BenchProcess &bench, const QString &fault, QString *seen)
{
    QSerialPort port;
    port.setPortName(bench.atPort());
    if (!port.open(QIODevice::ReadWrite)) {
        *seen = QStringLiteral("cannot open the AT port");
        return false;
    }
    QByteArray got;
    int reads = 0;
    // Reads until `wanted` is in (true) or waitMs passed.
    const auto readUntil = [&](const QByteArray &wanted, int waitMs) {
        QElapsedTimer t;
        t.start();
        while (!got.contains(wanted)) {
            const qint64 left = waitMs - t.elapsed();
            if (left <= 0 || !port.waitForReadyRead(int(left)))
                return got.contains(wanted);
            got += port.readAll();
            ++reads;
        }
        return true;
    };
    QElapsedTimer sincePower;
    sincePower.start();
    bench.setChipPower(true);
    const bool registered = readUntil("+CREG: 1\r\n", 1500);
    const qint64 registerMs = sincePower.elapsed();
    *seen = QStringLiteral("after power-on %1 ms: %2").arg(registerMs).arg(QString::fromLatin1(got.toPercentEncoding()));

    if (fault == QLatin1String("creg.never"))
        return !registered;
    if (fault == QLatin1String("creg.lateMs"))
        return registered && registerMs >= 450; // boot and register take 90 ms
    if (!registered)
        return false;

    if (fault == QLatin1String("at.vanish") || fault == QLatin1String("at.staysAway")) {
        // Gone at power-off; back after boot unless it stays away.
        const QString link = bench.atLink();
        bench.setChipPower(false);
        const bool gone = !QFileInfo(link).isSymLink();
        bench.setChipPower(true);
        QElapsedTimer t;
        t.start();
        while (!QFileInfo(link).isSymLink() && t.elapsed() < 1000)
            QTest::qWait(20);
        const bool back = QFileInfo(link).isSymLink();
        *seen = QStringLiteral("gone at power-off: %1, back after power-on: %2").arg(gone).arg(back);
        return gone && back == (fault == QLatin1String("at.vanish"));
    }

    got.clear();
    reads = 0;
    // The answers each of these faults changes, whole.
    const struct
    {
        const char *fault, *command, *answer;
    } answers[] = {{"sim.absent", "AT+CPIN?", "\r\n+CME ERROR: 10\r\n"},
                   {"csq.rssi", "AT+CSQ", "\r\n+CSQ: 7,99\r\n\r\nOK\r\n"},
                   {"csq.unknown", "AT+CSQ", "\r\n+CSQ: 99,99\r\n\r\nOK\r\n"},
                   {"attach.off", "AT+CGATT?", "\r\n+CGATT: 0\r\n\r\nOK\r\n"},
                   {"reboot.hang", "AT+CFUN=1,1", "\r\nOK\r\n"}};
    for (const auto &a : answers) {
        if (fault != QLatin1String(a.fault))
            continue;
        port.write(QByteArray(a.command) + '\r');
        readUntil("\x01never", 400);
        if (fault == QLatin1String("reboot.hang")) {
            // Boot and registration take 90 ms; a hung chip stays silent.
            port.write("AT\r");
            readUntil("\x01never", 400);
        }
        *seen = QStringLiteral("%1 got: %2").arg(a.command, QString::fromLatin1(got.toPercentEncoding()));
        return got == a.answer;
    }
    if (fault == QLatin1String("cfun.noReply")) {
        port.write("AT+CFUN=0\r");
        readUntil("\r\n", 400);
        *seen = QStringLiteral("AT+CFUN=0 got: %1").arg(QString::fromLatin1(got.toPercentEncoding()));
        return got.isEmpty();
    }
    // at.pieces and at.pieceGapMs, each with the other: "OK" in three
    // pieces 200 ms apart arrives over at least 400 ms, its first read short.
    QElapsedTimer t;
    t.start();
    port.write("AT\r");
    readUntil("\r", 1000);
    const QByteArray first = got;
    const bool whole = readUntil("\r\nOK\r\n", 2000);
    *seen = QStringLiteral("first read %1, whole after %2 ms")
                .arg(QString::fromLatin1(first.toPercentEncoding()))
                .arg(t.elapsed());
    return whole && first != "\r\nOK\r\n" && t.elapsed() >= 350;
}

bool TestFaults::dialActed(const BenchProcess &bench, const QString &fault, QString *seen)
{
    BenchSession session;
    if (!session.openAt(bench.controlPath()) || !session.send({{"op", "dial"}, {"number", "*99***1#"}})) {
        *seen = QStringLiteral("no control session");
        return false;
    }
    const QJsonObject reply = session.next(3000);
    if (fault == QLatin1String("dial.refuse")) {
        *seen = QString::fromUtf8(QJsonDocument(reply).toJson(QJsonDocument::Compact));
        return !reply.value("ok").toBool() && reply.value("error").toInt() == 633;
    }
    if (fault == QLatin1String("dial.refuseHeld")) {
        // Refused, yet the line is taken and named.
        *seen = QString::fromUtf8(QJsonDocument(reply).toJson(QJsonDocument::Compact));
        return !reply.value("ok").toBool() && reply.value("error").toInt() == 633 && reply.contains("conn");
    }
    const int conn = reply.value("conn").toInt();
    QList<DialEvent> events;
    QElapsedTimer t;
    t.start();
    // Events until the line ends (or, after it connected, 1 s more), or 3 s.
    while (t.elapsed() < 3000) {
        const QJsonObject e = session.next(500);
        if (e.isEmpty()) {
            if (!events.isEmpty() && events.last().state == 5 && fault == QLatin1String("dial.hang"))
                break; // stuck after Authenticate: what dial.hang does
            continue;
        }
        if (e.value("event").toString() != QLatin1String("dial") || e.value("conn").toInt() != conn)
            continue;
        events.append({e.value("state").toInt(), e.value("error").toInt(), t.elapsed()});
        const DialEvent &last = events.last();
        if (last.error != 0 || last.state == kDisconnected)
            break;
        if (last.state == kConnected && fault != QLatin1String("dial.dropAfterMs"))
            break;
    }
    QStringList trace;
    for (const DialEvent &e : events)
        trace << QStringLiteral("%1/%2@%3").arg(e.state).arg(e.error).arg(e.atMs);
    *seen = trace.join(QLatin1Char(' '));
    if (events.isEmpty())
        return false;
    const DialEvent &last = events.last();
    if (fault == QLatin1String("dial.failAt"))
        return last.state == 2 && last.error == 678;
    if (fault == QLatin1String("dial.failCode"))
        return last.state == 3 && last.error == 700;
    if (fault == QLatin1String("dial.disconnect"))
        return last.state == kDisconnected && last.error == 0;
    if (fault == QLatin1String("dial.hang"))
        return last.state == 5 && last.error == 0;
    if (fault == QLatin1String("dial.slowMs"))
        return last.state == kConnected && last.atMs >= 700; // 8 steps of 105 ms
    if (fault == QLatin1String("dial.dropAfterMs"))
        return events.size() >= 2 && events.at(events.size() - 2).state == kConnected
               && last.state == kDisconnected && last.error == 628;
    return false;
}

bool TestFaults::echoActed(const BenchProcess &bench, const QString &fault, QString *seen)
{
    QTcpSocket s;
    s.connectToHost(QStringLiteral("127.0.0.1"), bench.echoPort());
    const bool connected = s.waitForConnected(3000);
    if (fault == QLatin1String("echo.down")) {
        *seen = QStringLiteral("connected: %1").arg(connected);
        return !connected && s.error() == QAbstractSocket::ConnectionRefusedError;
    }
    if (!connected) {
        *seen = QStringLiteral("cannot connect");
        return false;
    }
    int reads = 0;
    // Everything that arrives within waitMs or until `size` bytes are in.
    const auto exchange = [&](const QByteArray &sent, int size, int waitMs) {
        s.write(sent);
        QByteArray got;
        reads = 0;
        QElapsedTimer t;
        t.start();
        while (got.size() < size) {
            const qint64 left = waitMs - t.elapsed();
            if (left <= 0 || !s.waitForReadyRead(int(left)))
                break;
            got += s.readAll();
            ++reads;
        }
        return got;
    };
    const QByteArray payload = QByteArray("0123456789abcdefghij").repeated(50);
    QElapsedTimer t;
    t.start();
    const QByteArray got = exchange(payload, int(payload.size()), 2000);
    const qint64 ms = t.elapsed();
    *seen = QStringLiteral("%1 bytes back in %2 reads after %3 ms").arg(got.size()).arg(reads).arg(ms);
    if (fault == QLatin1String("echo.corruptAt")) {
        if (got != payload)
            return false; // the first exchange is intact
        const QByteArray second = exchange(payload, int(payload.size()), 2000);
        int differences = 0;
        for (int k = 0; k < qMin(second.size(), payload.size()); ++k)
            differences += second.at(k) != payload.at(k) ? 1 : 0;
        *seen = QStringLiteral("second exchange: %1 bytes, %2 changed").arg(second.size()).arg(differences);
        return second.size() == payload.size() && differences == 1;
    }
    if (fault == QLatin1String("echo.drop"))
        return got.isEmpty() && s.state() == QAbstractSocket::ConnectedState;
    if (fault == QLatin1String("echo.extra")) {
        const QByteArray more = got + exchange(QByteArray(), 1, 200);
        return more == payload + "ZZZ";
    }
    if (fault == QLatin1String("echo.split"))
        return got == payload && reads >= 2;
    if (fault == QLatin1String("echo.delayMs"))
        return got == payload && ms >= 450;
    if (fault == QLatin1String("echo.close")) {
        if (s.state() != QAbstractSocket::UnconnectedState)
            s.waitForDisconnected(2000);
        return got.isEmpty() && s.state() == QAbstractSocket::UnconnectedState;
    }
    return false;
}

QTEST_GUILESS_MAIN(TestFaults)
#include "tst_faults.moc"
