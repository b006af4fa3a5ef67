// The program as a process of its own: a run of the register network case
// against a virtual bench ended by SIGTERM twice, 150 ms apart, while the
// window stops the run; and two windows on one PC, each in its data folder.
// The program runs as a child process (this executable started again with
// --program or --window), through the same code as the real one.
#include <QApplication>
#include <QComboBox>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QPushButton>
#include <QtTest>

#include <QTemporaryDir>

#include <csignal>
#include <cstdio>
#include <memory>

#include "AppTestSupport.h"
#include "BenchClient.h"
#include "BenchProcess.h"
#include "ProgramRun.h"
#include "RunStatusBar.h"
#include "testMainWindow.h"
#include "testWorker.h"

namespace {

// The child: the program in the given folder, case 4 started on the bench's
// AT port and first board; "running" on stdout once the chip is powered.
int runProgram(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QDir::setCurrent(QString::fromLocal8Bit(argv[2]));
    return ProgramRun::exec(app, [](testMainWindow &w) {
        QObject::connect(w.workerObject(), &testWorker::sngLog, &w, [](const QString &text) {
            if (text == QLatin1String("Power on chip...")) {
                std::puts("running");
                std::fflush(stdout);
            }
        });
        auto *ports = widget<QComboBox>(w, "portCBx");
        w.refreshPortList();
        ports->setCurrentIndex(ports->findText(BenchClient::atPortPath()));
        widget<QComboBox>(w, "caseCBx")->setCurrentIndex(4);
        w.refreshDeviceList();
        widget<QPushButton>(w, "startBtn")->click();
    });
}

// The child as started with the program's own options: "title <title>" on
// stdout once shown; with a case other than "none", that case started on
// the bench's AT port (chip CHIP's, given as CASE:CHIP) and first board, and
// "counted PASS|FAIL <status run line>" once its first cycle is counted.
int runWindow(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // CASE, or CASE:CHIP for a chip of a bench of several chips.
    const QStringList caseAndChip = QString::fromLocal8Bit(argv[2]).split(QLatin1Char(':'));
    const QString caseArg = caseAndChip.first();
    const int chip = caseAndChip.size() > 1 ? caseAndChip.at(1).toInt() : 1;
    QStringList arguments{QString::fromLocal8Bit(argv[0])};
    for (int i = 3; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return ProgramRun::start(app, arguments, [caseArg, chip](testMainWindow &w) {
        std::printf("title %s\n", qPrintable(w.windowTitle()));
        std::fflush(stdout);
        if (caseArg == QLatin1String("none"))
            return;
        auto *status = w.findChild<RunStatusBar *>();
        auto counted = std::make_shared<bool>(false);
        QObject::connect(w.workerObject(), &testWorker::sngUpdateRadio, &w, [status, counted](bool pass) {
            if (*counted)
                return;
            *counted = true;
            std::printf("counted %s %s\n", pass ? "PASS" : "FAIL", qPrintable(status->runText()));
            std::fflush(stdout);
        });
        auto *ports = widget<QComboBox>(w, "portCBx");
        w.refreshPortList();
        const QJsonArray chips = BenchClient::info().value(QStringLiteral("chips")).toArray();
        const QString port = chip > 1 ? chips.at(chip - 1).toObject().value(QStringLiteral("atPort")).toString()
                                      : BenchClient::atPortPath();
        ports->setCurrentIndex(ports->findText(port));
        widget<QComboBox>(w, "caseCBx")->setCurrentIndex(caseArg.toInt());
        w.refreshDeviceList();
        widget<QPushButton>(w, "startBtn")->click();
    });
}

// A line the child printed, or empty once it ended or the time is up.
QByteArray lineOf(QProcess &child, int timeoutMs)
{
    if (!QTest::qWaitFor([&] { return child.canReadLine() || child.state() == QProcess::NotRunning; }, timeoutMs))
        return {};
    return child.readLine().trimmed();
}

QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
}

} // namespace

class tst_AppSignals : public QObject
{
    Q_OBJECT

private slots:
    void secondSignalDuringShutdownKeepsTheFiles();
    void twoWindowsEachInItsFolder();
};

void tst_AppSignals::secondSignalDuringShutdownKeepsTheFiles()
{
    BenchProcess bench;
    QVERIFY2(bench.start(), qPrintable(bench.errorString()));
    AppFolder folder("3600000", bench.echoPort());

    QProcess program;
    program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    program.start(QCoreApplication::applicationFilePath(), {"--program", folder.path()});
    QVERIFY(program.waitForStarted(5000));
    QVERIFY(QTest::qWaitFor([&] { return program.canReadLine() || !program.isOpen()
                                         || program.state() == QProcess::NotRunning; }, 20000));
    QCOMPARE(program.readLine().trimmed(), QByteArray("running"));
    QVERIFY(QFile::remove(folder.path() + "/cfg/trevalo.ini"));

    // The first ends the event loop; the window then stops the run (case 4
    // closes its port with a settle wait), and the second comes meanwhile.
    ::kill(pid_t(program.processId()), SIGTERM);
    QTest::qWait(150);
    ::kill(pid_t(program.processId()), SIGTERM);
    QVERIFY(program.waitForFinished(20000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);

    const QStringList logs = folder.files(QStringLiteral("log"));
    QVERIFY(!logs.isEmpty());
    const QByteArray log = AppFolder::read(folder.path() + "/log/" + logs.last());
    QVERIFY(log.contains("Stop ..."));
    QVERIFY2(log.endsWith("Test is finished!"), log.right(200).constData());
    const QStringList results = folder.files(QStringLiteral("result"));
    QVERIFY(!results.isEmpty());
    QVERIFY(results.last().startsWith(QStringLiteral("RegisterNetTest.")));
    QVERIFY(AppFolder::read(folder.path() + "/cfg/trevalo.ini")
                .contains("HostPort=" + QByteArray::number(bench.echoPort())));
    // The chip was switched off on the way out.
    QVERIFY(!bench.chipPowered());
}

void tst_AppSignals::twoWindowsEachInItsFolder()
{
    // Chip 2 stays unpowered: its line refuses a dial, whatever chip 1 does.
    BenchProcess bench;
    QVERIFY2(bench.start({QStringLiteral("--chips"), QStringLiteral("2")}), qPrintable(bench.errorString()));
    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString chipA = root.filePath(QStringLiteral("chipA")); // made by --data
    const QString chipB = root.filePath(QStringLiteral("chipB"));
    QVERIFY(QDir().mkpath(chipB + QStringLiteral("/cfg")));
    {
        QFile ini(chipB + QStringLiteral("/cfg/trevalo.ini"));
        QVERIFY(ini.open(QIODevice::WriteOnly));
        QVERIFY(ini.write("[trevalo]\nHostName=127.0.0.1\nHostPort=" + QByteArray::number(bench.echoPort())
                          + "\nPingAddress=127.0.0.1\nPppPeer=chip2\n") > 0);
    }
    const auto startWindow = [&root](QProcess &child, const QString &caseArg, const QString &folder) {
        child.setProcessChannelMode(QProcess::SeparateChannels);
        // Anything written relative to where it was started would land here.
        child.setWorkingDirectory(root.path());
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--window"), caseArg, QStringLiteral("--data"), folder});
        return child.waitForStarted(5000);
    };
    const QByteArray plainTitle("ZORV Trevalo Tool v01.00.05");

    // A register network run on channel 1 and a PPP dial-up run, side by side.
    QProcess a, b;
    QVERIFY(startWindow(a, QStringLiteral("4"), QStringLiteral("chipA")));
    QVERIFY(startWindow(b, QStringLiteral("0:2"), chipB));
    QCOMPARE(lineOf(a, 20000), "title chipA \u2014 " + plainTitle);
    QCOMPARE(lineOf(b, 20000), "title chipB \u2014 " + plainTitle);
    const QByteArray countedA = lineOf(a, 30000);
    const QByteArray countedB = lineOf(b, 30000);
    // The first verdict of each, about its own chip only, and the line the
    // status bar shows then.
    QVERIFY2(countedA.startsWith("counted PASS cycle 2 | ")
                 && countedA.endsWith("| Register network test | relay channel 1"),
             countedA.constData());
    QVERIFY2(countedB.startsWith("counted FAIL cycle 2 | ") && countedB.endsWith("| PPP dial-up test | PPP peer chip2"),
             countedB.constData());

    // A third window on chipA's folder is turned away, naming the holder,
    // and leaves its files alone.
    const QStringList filesOfA = entries(chipA + QStringLiteral("/records"));
    QProcess third;
    QVERIFY(startWindow(third, QStringLiteral("4"), chipA));
    QVERIFY(third.waitForFinished(20000));
    QCOMPARE(third.exitStatus(), QProcess::NormalExit);
    QCOMPARE(third.exitCode(), 2);
    QCOMPARE(third.readAllStandardOutput(), QByteArray());
    // Its own line, after whatever Qt may say first.
    const QByteArray refusal = '\n' + third.readAllStandardError();
    QVERIFY2(refusal.contains("\ntrevalo: the data folder " + QFile::encodeName(chipA)
                                + " is in use by another trevalo window (pid " + QByteArray::number(a.processId())
                                + "); give this window a folder of its own with --data DIR"),
             refusal.constData());
    QCOMPARE(entries(chipA + QStringLiteral("/records")), filesOfA);

    for (QProcess *child : {&a, &b}) {
        ::kill(pid_t(child->processId()), SIGTERM);
        QVERIFY(child->waitForFinished(20000));
        QCOMPARE(child->exitCode(), 0);
    }

    // Each folder holds its own run's files and settings, and no other's;
    // nothing landed where they were started.
    QCOMPARE(entries(root.path()), QStringList({QStringLiteral("chipA"), QStringLiteral("chipB")}));
    const auto onlyOf = [](const QString &folder, const char *sub, const QString &tag) {
        const QStringList files = entries(folder + QLatin1Char('/') + QLatin1String(sub));
        return files.size() == 1 && files.first().startsWith(tag + QLatin1Char('.'));
    };
    QVERIFY(onlyOf(chipA, "result", QStringLiteral("RegisterNetTest")));
    QVERIFY(onlyOf(chipA, "records", QStringLiteral("RegisterNetTest")));
    QVERIFY(onlyOf(chipB, "result", QStringLiteral("PPPCallTest")));
    QVERIFY(onlyOf(chipB, "records", QStringLiteral("PPPCallTest")));
    for (const QString &folder : {chipA, chipB}) {
        QVERIFY(!entries(folder + QStringLiteral("/log")).isEmpty());
        QVERIFY(QFileInfo(folder + QStringLiteral("/cfg/trevalo.ini")).isFile());
    }
    QVERIFY(AppFolder::read(chipB + QStringLiteral("/cfg/trevalo.ini")).contains("PppPeer=chip2"));
    QVERIFY(!AppFolder::read(chipA + QStringLiteral("/cfg/trevalo.ini")).contains("PppPeer"));

    // The folder is free again once its window ends, however it ends.
    QProcess again;
    QVERIFY(startWindow(again, QStringLiteral("none"), chipA));
    QCOMPARE(lineOf(again, 20000), "title chipA \u2014 " + plainTitle);
    again.kill();
    QVERIFY(again.waitForFinished(5000));
    QProcess afterKill;
    QVERIFY(startWindow(afterKill, QStringLiteral("none"), chipA));
    QCOMPARE(lineOf(afterKill, 20000), "title chipA \u2014 " + plainTitle);
    ::kill(pid_t(afterKill.processId()), SIGTERM);
    QVERIFY(afterKill.waitForFinished(20000));
    QCOMPARE(afterKill.exitCode(), 0);
}

int main(int argc, char *argv[])
{
    if (argc >= 3 && qstrcmp(argv[1], "--program") == 0)
        return runProgram(argc, argv);
    if (argc >= 3 && qstrcmp(argv[1], "--window") == 0)
        return runWindow(argc, argv);
    QApplication app(argc, argv);
    tst_AppSignals test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_appsignals.moc"
