// Steps files as the window and the runner read them: every kind of wrong
// file is refused with the file, the line and column and what is wrong,
// and the files shipped with the program and the tests are read as meant.
#include "StepsFileParser.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

class tst_StepsFile : public QObject
{
    Q_OBJECT

private slots:
    void refusals_data();
    void refusals();
    void times_data();
    void times();
    void fileTooLargeIsNotRead();
    void stepsAndFields();
    void shippedFilesParse();
};

namespace {
const QByteArray head = "name: Test\ntag: T1\n";
}

void tst_StepsFile::refusals_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("where"); // line:column, empty when the whole file
    QTest::addColumn<QString>("what");

    QTest::newRow("not YAML") << QByteArray(head + "cycle: [power_on\n") << QString() << "not YAML";
    QTest::newRow("unknown step") << QByteArray(head + "cycle:\n  - power_onn\n") << "4:5" << "unknown step \"power_onn\"";
    QTest::newRow("unknown field") << QByteArray(head + "cycle:\n  - at: {command: AT, expekt: OK}\n") << "4:23"
                                   << "at has no field \"expekt\"";
    QTest::newRow("unknown top field") << QByteArray(head + "cycles:\n  - ping\n") << "3:1" << "unknown field \"cycles\"";
    QTest::newRow("missing command") << QByteArray(head + "cycle:\n  - at: {expect: OK}\n") << "4:9"
                                     << "at: field \"command\" is missing";
    QTest::newRow("missing timeout") << QByteArray(head + "cycle:\n  - wait_for: {expect: X}\n") << "4:15"
                                     << "wait_for: field \"timeout\" is missing";
    QTest::newRow("missing tag") << QByteArray("name: Test\ncycle: [ping]\n") << "1:1" << "field \"tag\" is missing";
    QTest::newRow("bad time") << QByteArray(head + "cycle:\n  - wait: 10 parsecs\n") << "4:11"
                              << "wait: \"10 parsecs\" is not a time";
    QTest::newRow("time without unit") << QByteArray(head + "cycle:\n  - wait: 10\n") << "4:11" << "is not a time";
    QTest::newRow("time over a day") << QByteArray(head + "cycle:\n  - wait: 25h\n") << "4:11" << "longer than 24h";
    QTest::newRow("bad regex") << QByteArray(head + "cycle:\n  - wait_for: {expect: '/CREG: (/', timeout: 1s}\n")
                               << "4:24" << "does not compile";
    QTest::newRow("bad capture regex")
        << QByteArray(head + "cycle:\n  - at: {command: AT, capture: {a: '(['}}\n") << "4:36" << "does not compile";
    QTest::newRow("capture twice") << QByteArray(head + "cycle:\n  - at: {command: AT+CSQ, capture: {rssi: '(\\d+)'}}\n"
                                                        "  - at: {command: AT+CSQ, capture: {rssi: '(\\d+)'}}\n")
                                   << "5:37" << "the name \"rssi\" is used twice";
    QTest::newRow("empty cycle") << QByteArray(head + "cycle: []\n") << "3:8" << "cycle: no steps";
    QTest::newRow("tag with a dot") << QByteArray("name: x\ntag: a.b\ncycle: [ping]\n") << "2:6" << "letters and digits";
    QTest::newRow("not UTF-8") << QByteArray(head + "cycle:\n  - at: {command: \"AT\xff\"}\n") << "4:22" << "not UTF-8";
    QTest::newRow("NUL") << QByteArray(head + QByteArray("cycle: [ping]\0\n", 15)) << "3:14" << "not UTF-8";
    QByteArray many = head + "cycle:\n";
    for (int i = 0; i < 1001; ++i)
        many += "- ping\n";
    QTest::newRow("too many steps") << many << "1004:3" << "more than 1000 steps";
    QTest::newRow("capture in setup")
        << QByteArray(head + "setup:\n  - at: {command: AT, capture: {a: '(.)'}}\ncycle: [ping]\n") << "4:32"
        << "only cycle steps";
    QTest::newRow("limit unknown") << QByteArray(head + "cycle: [ping]\nlimits: {give_up: 3}\n") << "4:10"
                                   << "unknown limit";
    // The file's text quoted in the one line, its line feeds written out.
    QTest::newRow("step name with a line feed") << QByteArray(head + "cycle:\n  - \"po\\nwer\"\n") << "4:5"
                                                << "unknown step \"po\\nwer\"";
    QTest::newRow("empty") << QByteArray("# nothing\n") << QString() << "empty";
    QTest::newRow("deep nesting") << QByteArray(head + "cycle: " + QByteArray(5000, '[') + "\n") << QString()
                                  << "not YAML";
}

void tst_StepsFile::refusals()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, where);
    QFETCH(QString, what);
    QString error;
    QVERIFY(!StepsFileParser::parse(text, QStringLiteral("lab.yml"), &error));
    QVERIFY2(error.startsWith(where.isEmpty() ? QStringLiteral("lab.yml") : QStringLiteral("lab.yml:") + where + QLatin1Char(':')),
             qPrintable(error));
    QVERIFY2(error.contains(what), qPrintable(error));
    QVERIFY(!error.contains(QLatin1Char('\n')));
}

void tst_StepsFile::times_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("ms");
    QTest::newRow("ms") << "500ms" << qint64(500);
    QTest::newRow("s") << "2s" << qint64(2000);
    QTest::newRow("min") << "1.5min" << qint64(90000);
    QTest::newRow("h") << "1h" << qint64(3600000);
    QTest::newRow("spaces") << " 3 s " << qint64(3000);
    QTest::newRow("parsecs") << "10 parsecs" << qint64(-1);
    QTest::newRow("negative") << "-1s" << qint64(-1);
    QTest::newRow("bare") << "5" << qint64(-1);
    QTest::newRow("huge") << "999999999h" << qint64(StepsFileParser::maxTimeMs + 1);
}

void tst_StepsFile::times()
{
    QFETCH(QString, text);
    QFETCH(qint64, ms);
    QCOMPARE(StepsFileParser::parseTime(text), ms);
}

void tst_StepsFile::fileTooLargeIsNotRead()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("big.yml"));
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QVERIFY(f.write(head + "cycle: [ping]\n") > 0);
    QVERIFY(f.resize(100LL * 1024 * 1024)); // sparse: no disk space taken
    f.close();
    QString error;
    QVERIFY(!StepsFileParser::read(path, &error));
    QVERIFY2(error.startsWith(QStringLiteral("big.yml: larger than")), qPrintable(error));
    QVERIFY(!StepsFileParser::read(dir.filePath(QStringLiteral("none.yml")), &error));
    QVERIFY2(error.contains(QStringLiteral("cannot be read")), qPrintable(error));
    // A pipe would hold the reader up until its writer ends.
    const QString fifo = dir.filePath(QStringLiteral("fifo.yml"));
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    QVERIFY(!StepsFileParser::read(fifo, &error));
    QCOMPARE(error, fifo + QStringLiteral(": not a file"));
}

void tst_StepsFile::stepsAndFields()
{
    using Kind = StepsFile::Kind;
    QString error;
    const auto file = StepsFileParser::parse(head + "setup:\n"
                                                    "  - open_port\n"
                                                    "cycle:\n"
                                                    "  - power_on: {port_timeout: 5s}\n"
                                                    "  - at: {name: signal, command: AT+CSQ, timeout: 2s,\n"
                                                    "         capture: {rssi: '\\+CSQ: (\\d+),'}}\n"
                                                    "  - wait_for: {expect: '+CREG: 1', timeout: 500ms, record: registerMs}\n"
                                                    "  - at: {command: AT, expect: 'O.', regex: true}\n"
                                                    "  - wait: {name: resting, time: 1.5min}\n"
                                                    "  - dial_up\n  - connect\n  - echo\n  - close_socket\n  - ping\n"
                                                    "  - hang_up\n  - power_off\n  - close_port\n"
                                                    "limits: {give_up_after_failed_dials: 3, give_up_after_failed_connects: 2}\n",
                                             QStringLiteral("lab.yml"), &error);
    QVERIFY2(file, qPrintable(error));
    QCOMPARE(file->name, QStringLiteral("Test"));
    QCOMPARE(file->tag, QStringLiteral("T1"));
    QVERIFY(file->opensPortFirst());
    QCOMPARE(int(file->cycle.size()), 13);
    const StepsFile::Step &at = file->cycle[1];
    QCOMPARE(at.kind, Kind::At);
    QCOMPARE(at.name, QStringLiteral("signal"));
    QCOMPARE(at.command, QByteArray("AT+CSQ"));
    QCOMPARE(at.expect, QByteArray("OK")); // the default
    QCOMPARE(at.timeoutMs, 2000);
    QCOMPARE(at.line, 7);
    QCOMPARE(int(at.captures.size()), 1);
    QCOMPARE(at.captures[0].pattern.match(QStringLiteral("+CSQ: 21,99OK")).captured(1), QStringLiteral("21"));
    QCOMPARE(file->cycle[0].timeoutMs, 5000);
    QCOMPARE(file->cycle[2].expect, QByteArray("+CREG: 1"));
    QCOMPARE(file->cycle[2].recordMs, QStringLiteral("registerMs"));
    QVERIFY(file->cycle[3].expectPattern.isValid() && file->cycle[3].expect.isEmpty());
    QCOMPARE(file->cycle[4].timeoutMs, 90000);
    QCOMPARE(file->failedDialsInARow, 3);
    QCOMPARE(file->failedConnectsInARow, 2);
    QVERIFY(file->needs(Kind::Ping) && file->needs(Kind::WaitFor));
    QCOMPARE(file->sha256.size(), 64);
}

void tst_StepsFile::shippedFilesParse()
{
    QStringList files;
    for (const QString &folder : {QStringLiteral(TREVALO_SOURCE_DIR "/packaging/cases"),
                                  QStringLiteral(TREVALO_SOURCE_DIR "/tests/engine/cases")})
        for (const QString &name : QDir(folder).entryList({QStringLiteral("*.yml")}))
            files << QDir(folder).filePath(name);
    QCOMPARE(files.size(), 6);
    for (const QString &path : files) {
        QString error;
        const auto file = StepsFileParser::read(path, &error);
        QVERIFY2(file, qPrintable(error));
        QVERIFY(!file->cycle.empty());
    }
}

QTEST_GUILESS_MAIN(tst_StepsFile)
#include "tst_stepsfile.moc"
