// The program ended by signals: a run of the register network case against
// a virtual bench, then SIGTERM twice, 150 ms apart, while the window stops
// the run. The program runs as a child process (this executable started
// again with --program), through the same code as the real one.
#include <QApplication>
#include <QComboBox>
#include <QProcess>
#include <QPushButton>
#include <QtTest>

#include <csignal>
#include <cstdio>

#include "AppTestSupport.h"
#include "BenchClient.h"
#include "BenchProcess.h"
#include "ProgramRun.h"
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

} // namespace

class tst_AppSignals : public QObject
{
    Q_OBJECT

private slots:
    void secondSignalDuringShutdownKeepsTheFiles();
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

int main(int argc, char *argv[])
{
    if (argc >= 3 && qstrcmp(argv[1], "--program") == 0)
        return runProgram(argc, argv);
    QApplication app(argc, argv);
    tst_AppSignals test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_appsignals.moc"
