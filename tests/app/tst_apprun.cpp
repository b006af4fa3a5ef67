// Whole runs through the window with the real worker thread against a
// virtual bench process: Start, Stop, the worker ending a run by itself,
// Stop right after Start, relay hand-over, auto-save and closing mid-run.
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QTextEdit>
#include <QTimer>
#include <QtTest>

#include <QRegularExpression>
#include <QThread>

#include <algorithm>
#include <memory>

#include "AppTestSupport.h"
#include "ReportPage.h"
#include "BenchProcess.h"
#include "CycleLogLocator.h"
#include "RecordFile.h"
#include "RunStatusBar.h"
#include "TrendsWindow.h"
#include "TestCases.h"
#include "TestSetup.h"
#include "testMainWindow.h"
#include "WorkerAccess.h"
#include "testWorker.h"
#include "RelayChannelLock.h"

#include <QJsonArray>
#include <QJsonObject>
#include "usb_relay_device.h"

namespace {

void press(testMainWindow &w, QComboBox *box)
{
    QMouseEvent ev(QEvent::MouseButtonPress, QPointF(4, 4), box->mapToGlobal(QPointF(4, 4)),
                   Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    w.eventFilter(box, &ev);
}

QString logText(testMainWindow &w)
{
    return widget<QTextEdit>(w, "teLog")->toPlainText();
}

// Presses Start with a port chosen and waits until the worker is running.
bool startRunning(testMainWindow &w)
{
    w.fillPortList({QStringLiteral("ttyNONE")});
    widget<QPushButton>(w, "startBtn")->click();
    return QTest::qWaitFor([&w] { return logText(w).contains(QStringLiteral("Running...")); }, 10000);
}

// Counts the worker's end-of-run signals as the window's thread sees them.
struct FinishCounter
{
    int count = 0;
    QObject context;
    explicit FinishCounter(testWorker *worker)
    {
        QObject::connect(worker, &testWorker::sngFinishAll, &context, [this] { ++count; },
                         Qt::QueuedConnection);
    }
};

// Records every line the worker emits, in emission order, as the window's
// thread receives it.
struct LineRecorder
{
    QStringList lines;
    QObject context;
    explicit LineRecorder(testWorker *worker)
    {
        QObject::connect(worker, &testWorker::sngLog, &context,
                         [this](const QString &text, const QColor &) { lines << text; });
    }
};

// The log files in the order they were written: by stamp, then the plain
// name before its "-2", "-3", ... siblings of the same second.
QStringList logFilesInOrder()
{
    QStringList files = QDir(QStringLiteral("log")).entryList(QDir::Files);
    const QRegularExpression name(QStringLiteral("^(\\d{4}(?:-\\d\\d){5})(?:-(\\d+))?\\.log$"));
    auto key = [&name](const QString &f) {
        const QRegularExpressionMatch m = name.match(f);
        return qMakePair(m.captured(1), m.captured(2).isEmpty() ? 1 : m.captured(2).toInt());
    };
    std::sort(files.begin(), files.end(), [&key](const QString &a, const QString &b) { return key(a) < key(b); });
    return files;
}

// Every line the files hold, in order, without its stamp. A save that
// starts with the whole of the one before it is a later state of the same
// view (the second save at the end of a run) and takes its place.
QStringList savedLines(int *fileCount)
{
    QList<QByteArray> contents;
    for (const QString &f : logFilesInOrder()) {
        const QByteArray text = AppFolder::read(QStringLiteral("log/") + f);
        if (!contents.isEmpty() && !contents.constLast().isEmpty() && text.startsWith(contents.constLast()))
            contents.removeLast();
        contents << text;
    }
    *fileCount = int(contents.size());
    const QRegularExpression stamp(QStringLiteral("^\\d\\d-\\d\\d-\\d\\d-\\d\\d-\\d\\d-\\d+ "));
    QStringList lines;
    for (const QByteArray &c : contents) {
        if (c.isEmpty())
            continue;
        for (const QString &l : QString::fromLocal8Bit(c).split(QLatin1Char('\n')))
            lines << QString(l).remove(stamp);
    }
    return lines;
}

WorkerLimits quickLimits()
{
    WorkerLimits l;
    l.connectMs = 3000;
    l.echoWaitMs = 3000;
    l.registerMs = 3000;
    l.deregisterMs = 3000;
    l.reregisterMs = 3000;
    l.dialBoundMs = 5000;
    l.pingDeadlineS = 2;
    l.pingFinishMs = 5000;
    l.sleepWakeMs = 500;
    l.cyclePauseMs = 50;
    return l;
}

} // namespace

class tst_AppRun : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void startStopCycle();
    void stopSavesBeforeTheFinishArrives();
    void runEndingByItself();
    void stopRightAfterStart_data();
    void stopRightAfterStart();
    void relayRecordHandedOverAndListFrozen();
    void customTestRunsTheChosenStepsFile();
    void autoSaveDuringRun();
    void floodIsBoundedAndStopSavesEveryLine_data();
    void floodIsBoundedAndStopSavesEveryLine();
    void failedAutoSaveKeepsTheLines();
    void closingTheWindow();
    void statusBarFollowsEachWait_data();
    void statusBarFollowsEachWait();
    void metricsFromTheSettings_data();
    void metricsFromTheSettings();

private:
    bool startBench(const QStringList &args = {});
    std::unique_ptr<BenchProcess> m_bench;
};

void tst_AppRun::init()
{
    qunsetenv("TREVALO_BENCH");
}

void tst_AppRun::cleanup()
{
    m_bench.reset();
}

bool tst_AppRun::startBench(const QStringList &args)
{
    m_bench = std::make_unique<BenchProcess>();
    if (!m_bench->start(QStringList{"--boards", "BNCH1:2,BNCH2:2"} + args)) {
        qWarning("bench: %s", qPrintable(m_bench->errorString()));
        return false;
    }
    return true;
}

void tst_AppRun::startStopCycle()
{
    QVERIFY(startBench());
    AppFolder folder("junk period", m_bench->echoPort());
    testMainWindow w;
    w.show();
    w.workerObject()->setLimits(quickLimits());
    FinishCounter finished(w.workerObject());

    auto *ports = widget<QComboBox>(w, "portCBx");
    press(w, ports);
    QVERIFY(ports->findText(m_bench->atPort()) >= 0);
    ports->setCurrentIndex(ports->findText(m_bench->atPort()));
    QCOMPARE(w.state(), testMainWindow::Ready);

    w.appendLogLine(QStringLiteral("left from before"), QColor(Qt::white));
    widget<QLabel>(w, "DialupLb")->setText(QStringLiteral("Avg Dial-up Time: 9s"));
    widget<QPushButton>(w, "startBtn")->click();

    QCOMPARE(w.state(), testMainWindow::Running);
    QVERIFY(!widget<QPushButton>(w, "startBtn")->isEnabled());
    QVERIFY(widget<QPushButton>(w, "stopBtn")->isEnabled());
    QVERIFY(!ports->isEnabled());
    QVERIFY(!widget<QComboBox>(w, "caseCBx")->isEnabled());
    QVERIFY(!widget<QComboBox>(w, "deviceCBx")->isEnabled());
    QVERIFY(!logText(w).contains(QStringLiteral("left from before")));
    QVERIFY(w.autoSaveTimerObject()->isActive());
    QCOMPARE(w.autoSaveTimerObject()->interval(), 3600000); // junk period falls back to an hour
    QCOMPARE(widget<QLabel>(w, "lbPass")->text(), QStringLiteral("PASS: 0"));
    QCOMPARE(widget<QLabel>(w, "lbFail")->text(), QStringLiteral("FAIL: 0"));
    QCOMPARE(widget<QLabel>(w, "lbTotal")->text(), QStringLiteral("Total: 0"));
    QCOMPARE(widget<QLabel>(w, "DialupLb")->text(), QStringLiteral("Avg Dial-up Time: "));

    QTRY_VERIFY_WITH_TIMEOUT(logText(w).contains(QStringLiteral("Running...")), 10000);
    // At least one whole cycle with its dial-up time.
    QTRY_VERIFY_WITH_TIMEOUT(widget<QLabel>(w, "lbTotal")->text() != QStringLiteral("Total: 0"), 30000);
    QTRY_VERIFY_WITH_TIMEOUT(widget<QLabel>(w, "DialupLb")->text().endsWith(QLatin1Char('s')), 10000);

    widget<QPushButton>(w, "stopBtn")->click();
    QCOMPARE(w.state(), testMainWindow::Ready);
    QVERIFY(widget<QPushButton>(w, "startBtn")->isEnabled());
    QVERIFY(!widget<QPushButton>(w, "stopBtn")->isEnabled());
    QVERIFY(!w.autoSaveTimerObject()->isActive());
    QVERIFY(!w.metricsWriter()); // no metrics unless the settings ask for them
    QTRY_COMPARE(finished.count, 1);
    QTest::qWait(100);
    QCOMPARE(finished.count, 1);

    const QString text = logText(w);
    QVERIFY(text.contains(QStringLiteral(" Stop ...")));
    QVERIFY(text.contains(QStringLiteral(" Test is finished!")));
    QVERIFY(text.indexOf(QStringLiteral(" Stop ...")) < text.indexOf(QStringLiteral(" Test is finished!")));

    // The last of the saves holds the whole view; the view stays on screen.
    const QStringList logs = folder.files(QStringLiteral("log"));
    QVERIFY(!logs.isEmpty());
    QCOMPARE(AppFolder::read(QStringLiteral("log/") + logs.last()), text.toLocal8Bit());
    const QStringList results = folder.files(QStringLiteral("result"));
    QVERIFY(!results.isEmpty());
    QVERIFY(results.last().startsWith(QStringLiteral("PPPCallTest.")));
    QCOMPARE(AppFolder::read(QStringLiteral("result/") + results.last()),
             QStringLiteral("#Test Case: PPPCallTest\r\n#%1\r\n#%2\r\n#%3\r\n#%4\r\n")
                 .arg(widget<QLabel>(w, "lbTotal")->text(), widget<QLabel>(w, "lbPass")->text(),
                      widget<QLabel>(w, "lbFail")->text(), widget<QLabel>(w, "lbFPY")->text())
                 .toLatin1());
    // Every cycle the window counted is on record beside them.
    const QStringList records = folder.files(QStringLiteral("records"));
    QCOMPARE(records.size(), 1);
    QVERIFY(records.first().startsWith(QStringLiteral("PPPCallTest.")));
    const RecordFile rec(QStringLiteral("records/") + records.first());
    QCOMPARE(rec.brokenLines, 0);
    QCOMPARE(QStringLiteral("Total: %1").arg(rec.cycles.size()), widget<QLabel>(w, "lbTotal")->text());
    QCOMPARE(rec.end.value("reason").toString(), QStringLiteral("Stop"));

    // The figures stay after the run; the next Start resets them and the view.
    const QString total = widget<QLabel>(w, "lbTotal")->text();
    QTest::qWait(200);
    QCOMPARE(widget<QLabel>(w, "lbTotal")->text(), total);
    widget<QPushButton>(w, "startBtn")->click();
    QCOMPARE(widget<QLabel>(w, "lbTotal")->text(), QStringLiteral("Total: 0"));
    QVERIFY(!logText(w).contains(QStringLiteral("Test is finished!")));
    widget<QPushButton>(w, "stopBtn")->click();
    QTRY_COMPARE(finished.count, 2);
    QCOMPARE(w.state(), testMainWindow::Ready);
}

void tst_AppRun::stopSavesBeforeTheFinishArrives()
{
    QVERIFY(startBench());
    AppFolder folder("3600000", m_bench->echoPort());
    testMainWindow w;
    w.workerObject()->setLimits(quickLimits());
    FinishCounter finished(w.workerObject());
    QVERIFY(startRunning(w));
    QTRY_VERIFY_WITH_TIMEOUT(widget<QLabel>(w, "lbTotal")->text() != QStringLiteral("Total: 0"), 30000);

    // The finish notification is kept from the window: whatever is on disk
    // after Stop, Stop wrote itself.
    QVERIFY(QObject::disconnect(w.workerObject(), &testWorker::sngFinishAll, &w, nullptr));
    widget<QPushButton>(w, "stopBtn")->click();
    QCOMPARE(w.state(), testMainWindow::Ready);
    QTRY_COMPARE(finished.count, 1);

    const QStringList logs = folder.files(QStringLiteral("log"));
    QCOMPARE(logs.size(), 1);
    const QByteArray saved = AppFolder::read(QStringLiteral("log/") + logs.first());
    QVERIFY(saved.contains("Running..."));
    QVERIFY(saved.contains("Stop ..."));
    const QStringList results = folder.files(QStringLiteral("result"));
    QCOMPARE(results.size(), 1);
    QCOMPARE(AppFolder::read(QStringLiteral("result/") + results.first()),
             QStringLiteral("#Test Case: PPPCallTest\r\n#%1\r\n#%2\r\n#%3\r\n#%4\r\n")
                 .arg(widget<QLabel>(w, "lbTotal")->text(), widget<QLabel>(w, "lbPass")->text(),
                      widget<QLabel>(w, "lbFail")->text(), widget<QLabel>(w, "lbFPY")->text())
                 .toLatin1());
}

void tst_AppRun::runEndingByItself()
{
    // A refused dial ends the long-short case at once.
    QVERIFY(startBench({"--fault", "dial.refuse=100"}));
    AppFolder folder("3600000", m_bench->echoPort());
    testMainWindow w;
    w.workerObject()->setLimits(quickLimits());
    FinishCounter finished(w.workerObject());

    w.fillPortList({QStringLiteral("ttyNONE")});
    widget<QComboBox>(w, "caseCBx")->setCurrentIndex(2);
    QCOMPARE(w.state(), testMainWindow::Ready);
    auto *report = w.findChild<QAction *>(QStringLiteral("saveReportAction"));
    QVERIFY(report && !report->isEnabled());
    widget<QPushButton>(w, "startBtn")->click();

    QTRY_COMPARE_WITH_TIMEOUT(finished.count, 1, 15000);
    QTRY_COMPARE(w.state(), testMainWindow::Ready);
    QVERIFY(!w.autoSaveTimerObject()->isActive());
    QVERIFY(widget<QPushButton>(w, "startBtn")->isEnabled());
    QVERIFY(logText(w).contains(QStringLiteral("Test is finished!")));
    QVERIFY(!logText(w).contains(QStringLiteral("Stop ...")));
    // The status bar says the case gave up, not that someone stopped it.
    const QString ended = w.findChild<RunStatusBar *>()->runText();
    QVERIFY2(ended.startsWith(QStringLiteral("Last run: gave up after 0:00:")) && ended.endsWith(QStringLiteral(", 0 cycles")),
             qPrintable(ended));

    const QStringList logs = folder.files(QStringLiteral("log"));
    QCOMPARE(logs.size(), 1);
    QCOMPARE(AppFolder::read(QStringLiteral("log/") + logs.first()), logText(w).toLocal8Bit());
    const QStringList results = folder.files(QStringLiteral("result"));
    QCOMPARE(results.size(), 1);
    QCOMPARE(AppFolder::read(QStringLiteral("result/") + results.first()),
             QByteArray("#Test Case: ExternalLongShortTest\r\n#Total: 0\r\n#PASS: 0\r\n#FAIL: 0\r\n#FPY: 0%\r\n"));

    // Save report... writes the run's report once it has records.
    QVERIFY(report->isEnabled());
    QVERIFY(w.saveReport(QStringLiteral("run.html")));
    const ReportPage page(QStringLiteral("run.html"));
    QVERIFY2(page.parseError.isEmpty(), qPrintable(page.parseError));
    QCOMPARE(page.text("fact-reason"), QStringLiteral("gave up"));
    QCOMPARE(page.text("count-total"), QStringLiteral("Total: 0"));
    QVERIFY(page.text("fact-case").contains(QStringLiteral("ExternalLongShortTest")));
    // A folder that refuses the file: a red line, no file.
    QVERIFY(!w.saveReport(QStringLiteral("no/such/folder/run.html")));
    w.flushLog();
    QVERIFY(logText(w).contains(QStringLiteral("Fail to write report")));
}

void tst_AppRun::stopRightAfterStart_data()
{
    QTest::addColumn<int>("caseIndex");
    QTest::newRow("dial-up") << 0;
    QTest::newRow("long-long") << 3;
    QTest::newRow("register, port opened first") << 4;
}

void tst_AppRun::stopRightAfterStart()
{
    QFETCH(int, caseIndex);
    QVERIFY(startBench());
    AppFolder folder("3600000", m_bench->echoPort());
    testMainWindow w;
    w.workerObject()->setLimits(quickLimits());
    FinishCounter finished(w.workerObject());

    press(w, widget<QComboBox>(w, "portCBx"));
    auto *ports = widget<QComboBox>(w, "portCBx");
    ports->setCurrentIndex(ports->findText(m_bench->atPort()));
    widget<QComboBox>(w, "caseCBx")->setCurrentIndex(caseIndex);
    press(w, widget<QComboBox>(w, "deviceCBx"));
    QCOMPARE(w.state(), testMainWindow::Ready);

    for (int round = 0; round < 3; ++round) {
        widget<QPushButton>(w, "startBtn")->click();
        widget<QPushButton>(w, "stopBtn")->click();
        // Stop returns only once the run has ended.
        QVERIFY(!WorkerAccess(w.workerObject()).running());
        QCOMPARE(w.state(), testMainWindow::Ready);
        QTRY_COMPARE(finished.count, round + 1);
        QVERIFY(logText(w).contains(QStringLiteral("Stop ...")));
        QVERIFY(logText(w).contains(QStringLiteral("Test is finished!")));
    }
    QVERIFY(!folder.files(QStringLiteral("log")).isEmpty());
    QVERIFY(!folder.files(QStringLiteral("result")).isEmpty());
}

// Answers the next file dialog with path (or cancels it when empty).
void answerFileDialog(const QString &path)
{
    QTimer::singleShot(50, [path] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog) {
            answerFileDialog(path); // not open yet
            return;
        }
        if (path.isEmpty()) {
            dialog->reject();
            return;
        }
        // Typed in, as a user would: the dialog's list may still be loading.
        auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        QVERIFY(name);
        name->setText(path);
        static_cast<QDialog *>(dialog)->done(QDialog::Accepted);
    });
}

void tst_AppRun::customTestRunsTheChosenStepsFile()
{
    QVERIFY(startBench());
    AppFolder folder("3600000", m_bench->echoPort());
    const auto write = [](const QString &name, const QByteArray &text) {
        QFile f(name);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(text) == text.size());
    };
    write(QStringLiteral("bad.yml"), "name: Bad\ntag: Bad\ncycle:\n  - powr_on\n");
    write(QStringLiteral("lab.yml"), "name: Lab test\ntag: Lab\nsetup: [open_port]\ncycle:\n  - power_on\n"
                                     "  - wait_for: {expect: 'CREG: 1', timeout: 5s, capture: {reg: 'CREG: (\\d)'}}\n"
                                     "  - power_off\n");
    const QString bad = QDir::current().absoluteFilePath(QStringLiteral("bad.yml"));
    const QString lab = QDir::current().absoluteFilePath(QStringLiteral("lab.yml"));
    {
        testMainWindow w;
        w.show();
        w.workerObject()->setLimits(quickLimits());
        FinishCounter finished(w.workerObject());
        press(w, widget<QComboBox>(w, "portCBx"));
        auto *ports = widget<QComboBox>(w, "portCBx");
        ports->setCurrentIndex(ports->findText(m_bench->atPort()));
        auto *cases = widget<QComboBox>(w, "caseCBx");
        QCOMPARE(cases->itemText(TestCases::Custom), QStringLiteral("Custom test"));
        // The size of the form with the board list shown, as for a radio case.
        cases->setCurrentIndex(TestCases::RegisterNet);
        QApplication::processEvents();
        const QSize size = w.size();

        // A file that cannot be used: its red line, and Start stays off.
        answerFileDialog(bad);
        cases->setCurrentIndex(TestCases::Custom);
        QCOMPARE(w.testSetup()->stepsFile, bad);
        QTRY_VERIFY2(logText(w).contains(QStringLiteral("bad.yml:4:5: unknown step \"powr_on\"")), qPrintable(logText(w)));
        QCOMPARE(w.state(), testMainWindow::NotReady);
        QVERIFY(!widget<QPushButton>(w, "startBtn")->isEnabled());
        QVERIFY(w.findChild<RunStatusBar *>()->stepText().contains(QStringLiteral("steps file")));

        cases->setCurrentIndex(0);
        answerFileDialog(lab);
        cases->setCurrentIndex(TestCases::Custom);
        press(w, widget<QComboBox>(w, "deviceCBx"));
        QVERIFY(widget<QComboBox>(w, "deviceCBx")->isVisible()); // its power steps need a board
        QCOMPARE(w.state(), testMainWindow::Ready);
        QCOMPARE(w.size(), size);
        widget<QPushButton>(w, "startBtn")->click();
        QTRY_VERIFY_WITH_TIMEOUT(widget<QLabel>(w, "lbTotal")->text() == QStringLiteral("Total: 1"), 15000);
        widget<QPushButton>(w, "stopBtn")->click();
        QTRY_COMPARE(finished.count, 1);
        QCOMPARE(folder.files(QStringLiteral("result")).size(), 1);
        QVERIFY(folder.files(QStringLiteral("result")).first().startsWith(QStringLiteral("Lab.")));
        const RecordFile rec(QStringLiteral("records/") + folder.files(QStringLiteral("records")).first());
        QCOMPARE(rec.run.value("stepsFile").toString(), QStringLiteral("lab.yml"));
        QCOMPARE(rec.cycles.first().value("values").toObject(), (QJsonObject{{"reg", 1}}));
    }
    // The choice is remembered, and offered by the next dialog.
    QVERIFY(AppFolder::read(QStringLiteral("cfg/trevalo.ini")).contains("StepsFile=" + lab.toUtf8()));
}

void tst_AppRun::relayRecordHandedOverAndListFrozen()
{
    QVERIFY(startBench());
    AppFolder folder("3600000", m_bench->echoPort());
    testMainWindow w;
    w.show();
    w.workerObject()->setLimits(quickLimits());
    FinishCounter finished(w.workerObject());

    auto *ports = widget<QComboBox>(w, "portCBx");
    auto *devices = widget<QComboBox>(w, "deviceCBx");
    press(w, ports);
    ports->setCurrentIndex(ports->findText(m_bench->atPort()));
    widget<QComboBox>(w, "caseCBx")->setCurrentIndex(5);
    QCOMPARE(w.state(), testMainWindow::NotReady); // no board chosen yet

    press(w, devices);
    QVERIFY(devices->findText(QStringLiteral("BNCH1")) >= 0);
    QVERIFY(devices->findText(QStringLiteral("BNCH2")) >= 0);
    QCOMPARE(devices->currentIndex(), 0);
    QCOMPARE(w.state(), testMainWindow::Ready);
    devices->setCurrentIndex(devices->findText(QStringLiteral("BNCH2")));
    // The choice survives a refresh by name.
    press(w, devices);
    QCOMPARE(devices->currentText(), QStringLiteral("BNCH2"));

    const usb_relay_device_info *record = w.relayList();
    for (int n = devices->currentIndex(); n > 0; --n)
        record = record->next;
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(record->serial_number)), QByteArray("BNCH2"));

    // A peer name pppd would read as a path, a channel the board lacks, and
    // one another run holds: a red line each and no run.
    w.testSetup()->pppPeer = QStringLiteral("../provider");
    widget<QPushButton>(w, "startBtn")->click();
    QCOMPARE(w.state(), testMainWindow::Ready);
    QVERIFY(logText(w).contains(QStringLiteral("Bad pppd peer name \"../provider\"")));
    QVERIFY(logText(w).contains(QStringLiteral("(PppPeer in the settings)")));
    w.testSetup()->pppPeer = QStringLiteral("provider");
    w.testSetup()->relayChannel = 3;
    widget<QPushButton>(w, "startBtn")->click();
    QCOMPARE(w.state(), testMainWindow::Ready);
    QVERIFY(logText(w).contains(QStringLiteral("Relay board BNCH2 has channels 1 to 2, not 3")));
    w.testSetup()->relayChannel = 2;
    {
        RelayChannelLock other;
        QString error;
        QVERIFY2(other.acquire(*record, 2, &error), qPrintable(error));
        widget<QPushButton>(w, "startBtn")->click();
        QCOMPARE(w.state(), testMainWindow::Ready);
        QVERIFY(logText(w).contains(QStringLiteral("Relay channel 2 of board BNCH2 is held by another run (pid %1)")
                                        .arg(QCoreApplication::applicationPid())));
    }

    widget<QPushButton>(w, "startBtn")->click();
    QCOMPARE(w.state(), testMainWindow::Running);
    // Its own channel only, on the chosen board.
    const auto boardStatus = [this](const char *serial) {
        for (const QJsonValue &b : m_bench->state()[QStringLiteral("boards")].toArray())
            if (b[QStringLiteral("serial")].toString() == QLatin1String(serial))
                return int(b[QStringLiteral("status")].toDouble());
        return -1;
    };
    QTRY_COMPARE_WITH_TIMEOUT(boardStatus("BNCH2"), 2, 10000);
    QCOMPARE(boardStatus("BNCH1"), 0);
    {
        RelayChannelLock other;
        QString error;
        QVERIFY(!other.acquire(*record, 2, &error));
    }
    const usb_relay_device_info &copy = w.testSetup()->relayDevice;
    QCOMPARE(copy.serial_number, record->serial_number);
    QCOMPARE(copy.device_path, record->device_path);
    QCOMPARE(copy.type, record->type);
    QCOMPARE(copy.next, record->next);

    // While the run goes on, presses refresh nothing: the worker's copy
    // keeps pointing into the live list and the port stays chosen.
    const usb_relay_device_info *list = w.relayList();
    const QString port = w.testSetup()->portName;
    press(w, devices);
    press(w, ports);
    w.refreshDeviceList();
    w.fillPortList({QStringLiteral("ttyOTHER")});
    QCOMPARE(w.relayList(), list);
    QCOMPARE(devices->currentText(), QStringLiteral("BNCH2"));
    QCOMPARE(w.testSetup()->portName, port);
    QCOMPARE(ports->currentText(), port);

    QTRY_VERIFY_WITH_TIMEOUT(logText(w).contains(QStringLiteral("Running...")), 10000);
    widget<QPushButton>(w, "stopBtn")->click();
    QTRY_COMPARE(finished.count, 1);
    QCOMPARE(w.state(), testMainWindow::Ready);
    {
        RelayChannelLock other;
        QString error;
        QVERIFY2(other.acquire(*record, 2, &error), qPrintable(error));
    }

    // Idle again: the list can be refreshed.
    press(w, devices);
    QCOMPARE(devices->currentText(), QStringLiteral("BNCH2"));
}

void tst_AppRun::autoSaveDuringRun()
{
    QVERIFY(startBench());
    AppFolder folder("3600000", m_bench->echoPort());
    testMainWindow w;
    w.workerObject()->setLimits(quickLimits());
    FinishCounter finished(w.workerObject());

    QVERIFY(startRunning(w));

    QVERIFY(QMetaObject::invokeMethod(w.autoSaveTimerObject(), "timeout", Qt::DirectConnection));
    QVERIFY(!logText(w).contains(QStringLiteral("Running...")));
    QStringList logs = folder.files(QStringLiteral("log"));
    QCOMPARE(logs.size(), 1);
    QVERIFY(AppFolder::read(QStringLiteral("log/") + logs.first()).contains("Running..."));

    widget<QPushButton>(w, "stopBtn")->click();
    QTRY_COMPARE(finished.count, 1);
    // The lines written before the auto-save are all still on disk.
    logs = folder.files(QStringLiteral("log"));
    QByteArray all;
    for (const QString &f : logs)
        all += AppFolder::read(QStringLiteral("log/") + f);
    QVERIFY(all.contains("Running..."));
    QVERIFY(all.contains("Test is finished!"));
}

void tst_AppRun::floodIsBoundedAndStopSavesEveryLine_data()
{
    QTest::addColumn<int>("lineBound");
    QTest::addColumn<qint64>("charBound");
    QTest::newRow("line bound") << 300 << (qint64(1) << 40);
    QTest::newRow("character bound") << 1000000 << qint64(150000);
}

void tst_AppRun::floodIsBoundedAndStopSavesEveryLine()
{
    QFETCH(int, lineBound);
    QFETCH(qint64, charBound);
    // The long-long case against the bench logs as fast as the echo allows.
    QVERIFY(startBench());
    AppFolder folder("3600000", m_bench->echoPort());
    testMainWindow w;
    w.workerObject()->setLimits(quickLimits());
    w.setLogViewBound(lineBound, charBound);
    LogBackPressure &flow = w.workerObject()->logFlow();
    const int cap = 40;
    flow.setCap(cap);
    FinishCounter finished(w.workerObject());
    LineRecorder recorder(w.workerObject());

    widget<QComboBox>(w, "caseCBx")->setCurrentIndex(3);
    QVERIFY(startRunning(w));
    // The view is saved and cleared at its bound, again and again.
    QTRY_VERIFY_WITH_TIMEOUT(folder.files(QStringLiteral("log")).size() >= 3, 60000);
    auto *view = widget<QTextEdit>(w, "teLog");
    QVERIFY(view->document()->blockCount() <= lineBound + cap + 2);

    // The window stops taking lines for a while: the worker waits for it
    // instead of queueing without bound.
    QThread::msleep(800);
    QTest::qWait(200);
    QThread::msleep(800);
    QVERIFY2(flow.takePeak() <= cap + 2, "lines in flight beyond the cap");

    // Stop with the window behind: the run ends and its files are written.
    QThread::msleep(300);
    widget<QPushButton>(w, "stopBtn")->click();
    QCOMPARE(w.state(), testMainWindow::Ready);
    QVERIFY(!WorkerAccess(w.workerObject()).running());
    QTRY_COMPARE(finished.count, 1);
    QTRY_COMPARE(recorder.lines.constLast(), QStringLiteral("Test is finished!"));
    QVERIFY(!folder.files(QStringLiteral("result")).isEmpty());
    // Once Stop is raised nothing waits any more, so the few lines that wind
    // the cycle down may all be on their way before a busy GUI thread takes
    // one: they, and no more, may stand over the cap.
    const qsizetype stopAt = recorder.lines.lastIndexOf(QStringLiteral("Stop ..."));
    QVERIFY(stopAt >= 0);
    const int windDown = int(recorder.lines.size() - stopAt);
    QVERIFY2(flow.takePeak() <= cap + 2 + windDown, qPrintable(QString::number(windDown)));

    // Every line the worker emitted is in the files, once and in order.
    int files = 0;
    const QStringList saved = savedLines(&files);
    QVERIFY(files >= 3);
    QCOMPARE(saved.size(), recorder.lines.size());
    QCOMPARE(saved, recorder.lines);

    // Each cycle's lines are found again from its record, across the files:
    // straight from the position on record, or counted on from an earlier
    // cycle's when the window had not taken the separator yet.
    QVector<QStringList> emitted; // the worker's lines of each cycle
    for (const QString &line : recorder.lines) {
        if (line == QLatin1String("================================="))
            emitted.append(QStringList());
        if (!emitted.isEmpty())
            emitted.last() << line;
    }
    const RecordFile rec(QStringLiteral("records/") + folder.files(QStringLiteral("records")).value(0));
    QVERIFY(rec.cycles.size() >= 3);
    const CycleLogLocator locator(QStringLiteral("log"));
    CycleLogQuery earlier;
    int onRecord = 0;
    const int step = std::max(1, int(rec.cycles.size()) / 200);
    for (int i = 0; i < rec.cycles.size(); ++i) {
        CycleLogQuery q = CycleLogLocator::queryFor(rec.cycles.at(i));
        q.anchorOn(earlier);
        earlier = q;
        onRecord += q.hasPosition() ? 1 : 0;
        if (i % step != 0 && i + 1 != rec.cycles.size())
            continue;
        for (int later = i + 1; later < rec.cycles.size(); ++later)
            if (q.boundBy(CycleLogLocator::queryFor(rec.cycles.at(later))))
                break;
        if (!q.until.isValid())
            q.until = QDateTime::fromString(rec.end["end"].toString(), Qt::ISODateWithMs);
        const CycleLog log = locator.find(q);
        QVERIFY2(log.problems.isEmpty(), qPrintable(log.problems.join("; ")));
        QVERIFY2(!log.foundByTime,
                 qPrintable(QStringLiteral("cycle %1 (start %2, until %3, anchor cycle %4 at %5 line %6) found by time at %7")
                                .arg(q.cycle)
                                .arg(q.start.toString(Qt::ISODateWithMs), q.until.toString(Qt::ISODateWithMs))
                                .arg(q.anchorCycle)
                                .arg(q.anchorAt.toString(Qt::ISODateWithMs))
                                .arg(q.anchorLine)
                                .arg(log.lines.value(0))));
        QStringList lines = log.lines;
        for (QString &l : lines)
            l = l.section(QLatin1Char(' '), 1);
        QCOMPARE(lines, emitted.value(int(q.cycle) - 1).mid(0, lines.size()));
        QVERIFY2(lines.size() == emitted.value(int(q.cycle) - 1).size(),
                 qPrintable(QStringLiteral("cycle %1 of %2: %3 of %4 lines found in %5 (until %6, log bound %7)")
                                .arg(q.cycle)
                                .arg(rec.cycles.size())
                                .arg(lines.size())
                                .arg(emitted.value(int(q.cycle) - 1).size())
                                .arg(log.files.join(QLatin1Char(',')), q.until.toString(Qt::ISODateWithMs),
                                     q.untilLog.toString(Qt::ISODateWithMs))));
    }
    qInfo() << onRecord << "of" << rec.cycles.size() << "cycles have their log position on record";
    QVERIFY2(onRecord * 2 >= rec.cycles.size(), qPrintable(QString("%1 of %2").arg(onRecord).arg(rec.cycles.size())));
}

void tst_AppRun::failedAutoSaveKeepsTheLines()
{
    QVERIFY(startBench());
    AppFolder folder("3600000", m_bench->echoPort());
    testMainWindow w;
    w.workerObject()->setLimits(quickLimits());
    FinishCounter finished(w.workerObject());

    QVERIFY(startRunning(w));

    // A plain file where the folder should be: the auto-save cannot write.
    QFile blocker(QStringLiteral("log"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    QVERIFY(QMetaObject::invokeMethod(w.autoSaveTimerObject(), "timeout", Qt::DirectConnection));
    QVERIFY(logText(w).contains(QStringLiteral("Running...")));
    QVERIFY(logText(w).contains(QStringLiteral("Fail to open log file")));

    // Past its character bound the view tries to save, fails, and tries
    // again only after a quarter of the bound more, not at every batch.
    const qint64 charBound = 100000;
    w.setLogViewBound(testMainWindow::defaultViewLineBound, charBound);
    const QString chunk(5000, QLatin1Char('x'));
    for (int i = 0; i < 80; ++i) {
        QVERIFY(QMetaObject::invokeMethod(&w, "onLogText", Qt::DirectConnection, Q_ARG(QString, chunk),
                                          Q_ARG(QColor, QColor(Qt::white))));
        w.flushLog();
    }
    const int retries = int(logText(w).count(QStringLiteral("Fail to open log file"))) - 1;
    const qint64 grown = widget<QTextEdit>(w, "teLog")->document()->characterCount() - charBound;
    QVERIFY2(retries >= 1 && retries <= 2 + grown / (charBound / 4),
             qPrintable(QStringLiteral("%1 retries over %2 characters").arg(retries).arg(grown)));
    QCOMPARE(w.state(), testMainWindow::Running);

    // Once the disk takes files again, the next save holds those lines.
    QVERIFY(QFile::remove(QStringLiteral("log")));
    widget<QPushButton>(w, "stopBtn")->click();
    QTRY_COMPARE(finished.count, 1);
    const QStringList logs = folder.files(QStringLiteral("log"));
    QVERIFY(!logs.isEmpty());
    const QByteArray saved = AppFolder::read(QStringLiteral("log/") + logs.last());
    QVERIFY(saved.contains("Running..."));
    QVERIFY(saved.contains("Test is finished!"));
}

void tst_AppRun::closingTheWindow()
{
    QVERIFY(startBench());
    AppFolder folder("3600000", m_bench->echoPort());

    // Idle: the settings file is written back at once.
    {
        testMainWindow w;
        QVERIFY(QFile::remove(QStringLiteral("cfg/trevalo.ini")));
    }
    QVERIFY(AppFolder::read(QStringLiteral("cfg/trevalo.ini")).contains("PingAddress=127.0.0.1"));

    // Mid-run: the run is stopped, the thread ends, settings are saved.
    {
        auto w = std::make_unique<testMainWindow>();
        w->workerObject()->setLimits(quickLimits());
        QVERIFY(startRunning(*w));
        QVERIFY(QFile::remove(QStringLiteral("cfg/trevalo.ini")));
        w.reset();
    }
    QVERIFY(AppFolder::read(QStringLiteral("cfg/trevalo.ini"))
                .contains(QByteArray("HostPort=") + QByteArray::number(m_bench->echoPort())));
    // The stopped run's end reached the files before the window went.
    const QStringList logs = QDir(QStringLiteral("log")).entryList(QDir::Files, QDir::Name);
    QVERIFY(!logs.isEmpty());
    QVERIFY(AppFolder::read(QStringLiteral("log/") + logs.last()).endsWith("Test is finished!"));
    QCOMPARE(QDir(QStringLiteral("result")).entryList(QDir::Files).size(), 1);
    const QStringList records = QDir(QStringLiteral("records")).entryList(QDir::Files);
    QCOMPARE(records.size(), 1);
    QCOMPARE(RecordFile(QStringLiteral("records/") + records.first()).end.value("reason").toString(),
             QStringLiteral("program closed"));
}

void tst_AppRun::statusBarFollowsEachWait_data()
{
    QTest::addColumn<int>("caseIndex");
    QTest::addColumn<QStringList>("benchArgs");
    QTest::addColumn<QString>("step");     // the wait watched, as the status bar words it
    QTest::addColumn<QString>("nextStep"); // a later step of the run
    QTest::addColumn<bool>("timesShown");  // the last cycle shows its dial-up time
    QTest::addColumn<QString>("chip");     // its relay channel and PPP peer, from the settings

    QTest::newRow("sleep-wake: powered wait")
        << 5 << QStringList{"--dial-step-ms", "300"} << "chip powered" << "dialling" << true
        << "relay channel 1 | PPP peer provider";
    QTest::newRow("register: registration") << 4 << QStringList{"--fault", "creg.lateMs=3500"}
                                            << "waiting for +CREG: 1" << "AT+CFUN=1 sent, waiting for +CREG: 1" << false
                                            << "relay channel 1";
    QTest::newRow("short-short: echo") << 1 << QStringList{"--fault", "echo.delayMs=3500", "--dial-step-ms", "300"}
                                       << "echo " << "dialling" << true << "PPP peer provider";
    QTest::newRow("dial-up: dialling") << 0 << QStringList{"--dial-step-ms", "500"} << "dialling" << "pinging 127.0.0.1"
                                       << true << "PPP peer provider";
}

void tst_AppRun::statusBarFollowsEachWait()
{
    QFETCH(int, caseIndex);
    QFETCH(QStringList, benchArgs);
    QFETCH(QString, step);
    QFETCH(QString, nextStep);
    QFETCH(bool, timesShown);
    QFETCH(QString, chip);

    QVERIFY(startBench(benchArgs));
    AppFolder folder("3600000", m_bench->echoPort());
    testMainWindow w;
    w.show();
    WorkerLimits limits = quickLimits();
    limits.sleepWakeMs = 4000;
    limits.registerMs = 8000;
    limits.reregisterMs = 8000;
    limits.echoWaitMs = 8000;
    limits.pingDeadlineS = 6;
    limits.pingFinishMs = 9000;
    limits.dialBoundMs = 9000;
    w.workerObject()->setLimits(limits);
    FinishCounter finished(w.workerObject());
    auto *status = w.findChild<RunStatusBar *>();
    QVERIFY(status);
    QCOMPARE(status->runText(), QStringLiteral("No run yet"));

    auto *ports = widget<QComboBox>(w, "portCBx");
    press(w, ports);
    ports->setCurrentIndex(ports->findText(m_bench->atPort()));
    auto *cases = widget<QComboBox>(w, "caseCBx");
    cases->setCurrentIndex(caseIndex);
    press(w, widget<QComboBox>(w, "deviceCBx"));
    QCOMPARE(w.state(), testMainWindow::Ready);
    widget<QPushButton>(w, "startBtn")->click();

    // The case, the cycle in progress and the run time, from the start, and
    // which of the PC's chips this is.
    QVERIFY2(status->runText().startsWith(QStringLiteral("cycle 1 | 0:00:0")), qPrintable(status->runText()));
    QVERIFY2(status->runText().endsWith(QStringLiteral(" | ") + cases->currentText() + QStringLiteral(" | ") + chip),
             qPrintable(status->runText()));

    // The wait is named, with the time it has left; the countdown moves.
    static const QRegularExpression countdown(QStringLiteral(", (\\d+):(\\d\\d) left$"));
    QTRY_VERIFY2_WITH_TIMEOUT(status->stepText().startsWith(step) && countdown.match(status->stepText()).hasMatch(),
                              qPrintable(status->stepText()), 15000);
    const QString first = status->stepText();
    const auto secondsLeft = [](const QString &text) {
        const QRegularExpressionMatch m = countdown.match(text);
        return m.captured(1).toInt() * 60 + m.captured(2).toInt();
    };
    QVERIFY2(secondsLeft(first) >= 1 && secondsLeft(first) <= 9, qPrintable(first));
    QTRY_VERIFY2_WITH_TIMEOUT(status->stepText().startsWith(step) && status->stepText() != first,
                              qPrintable(status->stepText()), 3000);
    QVERIFY2(secondsLeft(status->stepText()) < secondsLeft(first), qPrintable(status->stepText()));

    // The steps move on, and the first cycle's verdict shows with its times.
    QTRY_VERIFY2_WITH_TIMEOUT(status->stepText().startsWith(nextStep), qPrintable(status->stepText()), 15000);
    QTRY_VERIFY2_WITH_TIMEOUT(status->lastCycleText().startsWith(QStringLiteral("cycle 1 PASS")),
                              qPrintable(status->lastCycleText()), 20000);
    if (timesShown)
        QVERIFY2(QRegularExpression(QStringLiteral("dial-up \\d+\\.\\d\\d s"))
                     .match(status->lastCycleText()).hasMatch(),
                 qPrintable(status->lastCycleText()));
    QTRY_VERIFY_WITH_TIMEOUT(status->runText().startsWith(QStringLiteral("cycle 2 | ")), 5000);

    widget<QPushButton>(w, "stopBtn")->click();
    QTRY_COMPARE(finished.count, 1);
    // Idle: how and after how long the run ended.
    QTRY_VERIFY2(status->runText().startsWith(QStringLiteral("Last run: Stop after 0:00:")),
                 qPrintable(status->runText()));
    QVERIFY2(QRegularExpression(QStringLiteral(" after 0:00:\\d\\d, [1-9]\\d* cycles$")).match(status->runText()).hasMatch(),
             qPrintable(status->runText()));
    QCOMPARE(status->stepText(), QString());
    const QString idle = status->runText();
    QTest::qWait(1200);
    QCOMPARE(status->runText(), idle);

    // The trends window, opened after the run, catches up with the run's
    // record file to its end.
    auto *trends = w.findChild<TrendsWindow *>();
    trends->show();
    const RecordFile onDisk(w.workerObject()->recordFile());
    QVERIFY(onDisk.cycles.size() >= 1);
    QCOMPARE(trends->records().path(), w.workerObject()->recordFile());
    QCOMPARE(int(trends->records().cycleCount()), onDisk.cycles.size());
    QCOMPARE(trends->records().end()[QStringLiteral("reason")].toString(), QStringLiteral("Stop"));
}

void tst_AppRun::metricsFromTheSettings_data()
{
    QTest::addColumn<QString>("folder");
    QTest::newRow("writable folder") << QStringLiteral("metrics");
    QTest::newRow("folder refusing files") << QStringLiteral("/proc");
}

void tst_AppRun::metricsFromTheSettings()
{
    QFETCH(QString, folder);
    QVERIFY(startBench());
    AppFolder app("3600000", m_bench->echoPort());
    QVERIFY(QDir().mkpath(QStringLiteral("metrics")));
    {
        QFile ini(QStringLiteral("cfg/trevalo.ini"));
        QVERIFY(ini.open(QIODevice::Append));
        ini.write("MetricsFolder=" + folder.toUtf8() + "\nBenchName=w1\n");
    }
    const QString file = QDir(folder).filePath(QStringLiteral("trevalo_w1.prom"));
    const QString refused = QStringLiteral("Fail to write metrics file %1").arg(file);
    {
        testMainWindow w;
        w.workerObject()->setLimits(quickLimits());
        FinishCounter finished(w.workerObject());
        QVERIFY(w.metricsWriter());
        widget<QComboBox>(w, "caseCBx")->setCurrentIndex(3);
        QVERIFY(startRunning(w));
        QTRY_VERIFY_WITH_TIMEOUT(widget<QLabel>(w, "lbTotal")->text() != QStringLiteral("Total: 0"), 30000);
        QTest::qWait(200);
        widget<QPushButton>(w, "stopBtn")->click();
        QTRY_COMPARE(finished.count, 1);
        QTest::qWait(50);
        const int total = widget<QLabel>(w, "lbTotal")->text().section(QLatin1Char(' '), 1).toInt();
        QVERIFY(total > 1);
        if (folder == QLatin1String("/proc")) {
            // Said once in red, however many cycles failed to reach the file; the run went on.
            QCOMPARE(logText(w).count(refused), 1);
            QVERIFY(logText(w).contains(QStringLiteral(" Test is finished!")));
        } else {
            QVERIFY(!logText(w).contains(refused));
            const QByteArray text = AppFolder::read(file);
            QVERIFY2(text.contains(QStringLiteral("trevalo_cycles_total{bench=\"w1\",case=\"ExternalLongLongTest\"} %1\n")
                                       .arg(total)
                                       .toUtf8()),
                     text.constData());
            QVERIFY(text.contains("trevalo_run_active{bench=\"w1\",case=\"ExternalLongLongTest\"} 0\n"));
        }
    }
    // The keys stay in the settings file the window wrote back.
    const QByteArray ini = AppFolder::read(QStringLiteral("cfg/trevalo.ini"));
    QVERIFY(ini.contains("MetricsFolder=" + folder.toUtf8()));
    QVERIFY(ini.contains("BenchName=w1"));
}

QTEST_MAIN(tst_AppRun)
#include "tst_apprun.moc"
