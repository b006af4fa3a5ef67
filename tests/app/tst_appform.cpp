// The window's form, its initial state, the enabling of the controls by
// selection, the two list refreshes and the About box.
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QRegularExpression>
#include <QStatusBar>
#include <QTextEdit>
#include <QTimer>
#include <QToolBar>
#include <QVBoxLayout>
#include <QtTest>

#include "AppTestSupport.h"
#include "DataFolderLock.h"
#include "LockedFolder.h"
#include "RunStatusBar.h"
#include "TestCases.h"
#include "TestSetup.h"
#include "testMainWindow.h"
#include "testWorker.h"

class tst_AppForm : public QObject
{
    Q_OBJECT

private slots:
    void init() { qunsetenv("TREVALO_BENCH"); }

    void formWidgetsAndTexts();
    void formLayoutOrder();
    void imagesLoad();
    void initialState();
    void logViewIsReadOnly();
    void controlsFollowSelection_data();
    void controlsFollowSelection();
    void portListKeepsChoiceByName();
    void portRefreshThroughPressAddsBenchPort();
    void relayListWithoutBoards();
    void statusBarTextsFitTheWindow();
    void aboutBox();
    void programPicksItsDataFolder_data();
    void programPicksItsDataFolder();
    void dataFolderThatCannotBeUsed_data();
    void dataFolderThatCannotBeUsed();
    void folderLockStaysWithTheWindow();
};

void tst_AppForm::formWidgetsAndTexts()
{
    AppFolder folder;
    testMainWindow w;

    QCOMPARE(w.objectName(), QStringLiteral("testMainWindow"));
    QCOMPARE(w.size(), QSize(636, 601));
    QCOMPARE(w.font().family(), QStringLiteral("Times New Roman"));
    QCOMPARE(w.font().pointSize(), 11);
    QCOMPARE(w.windowTitle(), QStringLiteral("ZORV Trevalo Tool v01.00.05"));

    const struct { const char *name; const char *cls; const char *text; } widgets[] = {
        {"centralwidget", "QWidget", nullptr},
        {"logoLabel", "QLabel", ""},
        {"label_3", "QLabel", "Case List"},
        {"caseCBx", "QComboBox", nullptr},
        {"startBtn", "QPushButton", "Start"},
        {"stopBtn", "QPushButton", "Stop"},
        {"deviceCBx", "QComboBox", nullptr},
        {"portCBx", "QComboBox", nullptr},
        {"label", "QLabel", "Port"},
        {"deviceLb", "QLabel", "Device List"},
        {"teLog", "QTextEdit", nullptr},
        {"AvgTime", "QGroupBox", ""},
        {"DialupLb", "QLabel", "Avg Dial-up Time: "},
        {"HanpupLb", "QLabel", "Avg Hanp-up Time: "},
        {"groupBox", "QGroupBox", ""},
        {"lbTotal", "QLabel", "Total: 0"},
        {"lbPass", "QLabel", "Pass: 0"},
        {"lbFail", "QLabel", "Fail: 0"},
        {"lbFPY", "QLabel", "FPY: 0%"},
    };
    for (const auto &e : widgets) {
        QObject *o = w.findChild<QObject *>(QString::fromLatin1(e.name));
        QVERIFY2(o, e.name);
        QCOMPARE(QString::fromLatin1(o->metaObject()->className()), QString::fromLatin1(e.cls));
        if (!e.text)
            continue;
        if (auto *l = qobject_cast<QLabel *>(o))
            QCOMPARE(l->text(), QString::fromLatin1(e.text));
        else if (auto *b = qobject_cast<QPushButton *>(o))
            QCOMPARE(b->text(), QString::fromLatin1(e.text));
        else if (auto *g = qobject_cast<QGroupBox *>(o))
            QCOMPARE(g->title(), QString::fromLatin1(e.text));
    }

    QCOMPARE(widget<QLabel>(w, "lbTotal")->styleSheet(), QString());
    QCOMPARE(widget<QLabel>(w, "lbPass")->styleSheet(), QStringLiteral("color: rgb(0, 255, 0);"));
    QCOMPARE(widget<QLabel>(w, "lbFail")->styleSheet(), QStringLiteral("color: rgb(255, 0, 0);"));
    QCOMPARE(widget<QLabel>(w, "lbFPY")->styleSheet(), QStringLiteral("color: rgb(0, 0, 255);"));
    for (const char *name : {"label", "deviceLb"}) {
        const QFont f = widget<QLabel>(w, name)->font();
        QCOMPARE(f.family(), QStringLiteral("Times New Roman"));
        QCOMPARE(f.pointSize(), 11);
    }

    auto *cases = widget<QComboBox>(w, "caseCBx");
    const QStringList expected = {
        "PPP dial-up test", "External short-short connection test",
        "External long-short connection test", "External long-long connection test",
        "Register network test", "Sleep-wake PPP test", "Custom test"};
    QCOMPARE(cases->count(), expected.size());
    for (int i = 0; i < expected.size(); ++i)
        QCOMPARE(cases->itemText(i), expected.at(i));
    QCOMPARE(cases->currentIndex(), 0);

    auto *log = widget<QTextEdit>(w, "teLog");
    QCOMPARE(log->styleSheet(), QStringLiteral("QTextEdit {font: times bold 12pt; background: black }"));

    // The window adds its own tool bar with the About, Trends and Save
    // report entries and a status bar; the form adds none, and its size
    // stays as it was.
    const QList<QToolBar *> bars = w.findChildren<QToolBar *>();
    QCOMPARE(bars.size(), 1);
    QCOMPARE(bars.first()->windowTitle(), QStringLiteral("Tools"));
    QCOMPARE(bars.first()->minimumHeight(), 30);
    QCOMPARE(bars.first()->maximumHeight(), 30);
    QCOMPARE(bars.first()->actions().size(), 3);
    QCOMPARE(bars.first()->actions().first()->text(), QStringLiteral("About"));
    QVERIFY(!bars.first()->actions().first()->icon().isNull());
    QCOMPARE(bars.first()->actions().at(1)->text(), QStringLiteral("Trends"));
    QCOMPARE(bars.first()->actions().at(2)->text(), QStringLiteral("Save report..."));
    QVERIFY(!w.menuWidget());
    QCOMPARE(w.findChildren<QStatusBar *>().size(), 1);
    QCOMPARE(w.statusBar(), w.findChild<QStatusBar *>());
    QCOMPARE(w.size(), QSize(636, 601));
    // The status bar's texts never make the window wider than its form.
    QCOMPARE(w.minimumSizeHint().width(), w.centralWidget()->minimumSizeHint().width());
}

void tst_AppForm::formLayoutOrder()
{
    AppFolder folder;
    testMainWindow w;

    auto *vertical = widget<QVBoxLayout>(w, "verticalLayout");
    QVERIFY(vertical);
    QCOMPARE(vertical->count(), 4);
    QCOMPARE(vertical->itemAt(0)->layout()->objectName(), QStringLiteral("horizontalLayout_4"));
    QCOMPARE(vertical->itemAt(1)->widget()->objectName(), QStringLiteral("teLog"));
    QCOMPARE(vertical->itemAt(2)->widget()->objectName(), QStringLiteral("AvgTime"));
    QCOMPARE(vertical->itemAt(3)->widget()->objectName(), QStringLiteral("groupBox"));

    auto *grid = widget<QGridLayout>(w, "gridLayout");
    QVERIFY(grid);
    auto cellName = [grid](int row, int col) {
        QLayoutItem *item = grid->itemAtPosition(row, col);
        if (!item)
            return QString();
        return item->widget() ? item->widget()->objectName() : item->layout()->objectName();
    };
    QCOMPARE(cellName(0, 0), QStringLiteral("label"));
    QCOMPARE(cellName(0, 1), QStringLiteral("portCBx"));
    QCOMPARE(cellName(0, 2), QStringLiteral("horizontalLayout_2"));
    QCOMPARE(cellName(1, 0), QStringLiteral("deviceLb"));
    QCOMPARE(cellName(1, 1), QStringLiteral("deviceCBx"));
    QCOMPARE(cellName(1, 2), QStringLiteral("horizontalLayout_3"));

    // Each row's box starts with an expanding 40x20 spacer, so the case list
    // and the buttons sit at the right.
    for (const char *row : {"horizontalLayout_2", "horizontalLayout_3"}) {
        auto *box = widget<QHBoxLayout>(w, row);
        QVERIFY(box);
        QCOMPARE(box->count(), 3);
        QSpacerItem *spacer = box->itemAt(0)->spacerItem();
        QVERIFY(spacer);
        QCOMPARE(spacer->sizeHint(), QSize(40, 20));
        QCOMPARE(spacer->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
        QCOMPARE(spacer->sizePolicy().verticalPolicy(), QSizePolicy::Minimum);
    }
    auto *counts = widget<QHBoxLayout>(w, "horizontalLayout");
    QCOMPARE(counts->itemAt(0)->widget()->objectName(), QStringLiteral("lbTotal"));
    QCOMPARE(counts->itemAt(1)->widget()->objectName(), QStringLiteral("lbPass"));
    QCOMPARE(counts->itemAt(2)->widget()->objectName(), QStringLiteral("lbFail"));
    QCOMPARE(counts->itemAt(3)->widget()->objectName(), QStringLiteral("lbFPY"));
}

void tst_AppForm::imagesLoad()
{
    for (const char *path : {":/images/MainWnd.ico", ":/images/logo.png", ":/images/about.png"})
        QVERIFY2(!QPixmap(QString::fromLatin1(path)).isNull(), path);
    QVERIFY(!QIcon(QStringLiteral(":/images/MainWnd.ico")).pixmap(32, 32).isNull());

    AppFolder folder;
    testMainWindow w;
    QVERIFY(!w.windowIcon().isNull());
    QVERIFY(!widget<QLabel>(w, "logoLabel")->pixmap().isNull());
}

void tst_AppForm::initialState()
{
    AppFolder folder;
    testMainWindow w;
    w.show();

    QCOMPARE(w.state(), testMainWindow::NotReady);
    QVERIFY(!widget<QPushButton>(w, "startBtn")->isEnabled());
    QVERIFY(!widget<QPushButton>(w, "stopBtn")->isEnabled());
    QVERIFY(widget<QComboBox>(w, "portCBx")->isEnabled());
    QVERIFY(widget<QComboBox>(w, "caseCBx")->isEnabled());
    QCOMPARE(widget<QComboBox>(w, "portCBx")->count(), 0);
    QCOMPARE(widget<QComboBox>(w, "deviceCBx")->count(), 0);
    QVERIFY(widget<QComboBox>(w, "deviceCBx")->isHidden());
    QVERIFY(widget<QLabel>(w, "deviceLb")->isHidden());
    QVERIFY(!widget<QGroupBox>(w, "AvgTime")->isHidden());
    QVERIFY(!w.autoSaveTimerObject()->isActive());
    QVERIFY(!w.autoSaveTimerObject()->isSingleShot());
    QVERIFY(widget<QTextEdit>(w, "teLog")->toPlainText().isEmpty());
    QVERIFY(w.testSetup()->portName.isEmpty());
    QCOMPARE(w.testSetup()->caseIndex, 0);
    QCOMPARE(w.testSetup()->hostName, QStringLiteral("127.0.0.1"));
}

void tst_AppForm::logViewIsReadOnly()
{
    AppFolder folder;
    testMainWindow w;
    w.show();
    auto *log = widget<QTextEdit>(w, "teLog");
    QVERIFY(log->isReadOnly());
    log->setFocus();
    QTest::keyClicks(log, "typed");
    QVERIFY(log->toPlainText().isEmpty());
}

void tst_AppForm::controlsFollowSelection_data()
{
    QTest::addColumn<int>("caseIndex");
    QTest::addColumn<bool>("port");
    QTest::addColumn<bool>("relay");
    QTest::addColumn<bool>("ready");
    QTest::addColumn<bool>("relayShown");
    QTest::addColumn<bool>("avgShown");
    for (int c = 0; c < 6; ++c) {
        for (int p = 0; p < 2; ++p) {
            for (int r = 0; r < 2; ++r) {
                const bool needsRelay = c == 4 || c == 5;
                const bool ready = p && (!needsRelay || r);
                QTest::addRow("case%d-port%d-relay%d", c, p, r)
                    << c << bool(p) << bool(r) << ready << needsRelay << (c != 4);
            }
        }
    }
}

void tst_AppForm::controlsFollowSelection()
{
    QFETCH(int, caseIndex);
    QFETCH(bool, port);
    QFETCH(bool, relay);
    QFETCH(bool, ready);
    QFETCH(bool, relayShown);
    QFETCH(bool, avgShown);

    AppFolder folder;
    testMainWindow w;
    w.show();
    auto *ports = widget<QComboBox>(w, "portCBx");
    auto *devices = widget<QComboBox>(w, "deviceCBx");
    auto *cases = widget<QComboBox>(w, "caseCBx");

    // Visit another case first, so every index really changes the box.
    cases->setCurrentIndex(caseIndex == 3 ? 4 : 3);
    if (port)
        w.fillPortList({QStringLiteral("ttyTEST0")});
    if (relay) {
        devices->addItem(QStringLiteral("ABCDE"));
        devices->setCurrentIndex(0);
    }
    cases->setCurrentIndex(caseIndex);

    QCOMPARE(w.testSetup()->caseIndex, caseIndex);
    QCOMPARE(w.testSetup()->portName, port ? QStringLiteral("ttyTEST0") : QString());
    QCOMPARE(w.state(), ready ? testMainWindow::Ready : testMainWindow::NotReady);
    QCOMPARE(widget<QPushButton>(w, "startBtn")->isEnabled(), ready);
    QVERIFY(!widget<QPushButton>(w, "stopBtn")->isEnabled());
    QVERIFY(ports->isEnabled());
    QVERIFY(cases->isEnabled());
    QVERIFY(devices->isEnabled());
    QCOMPARE(devices->isVisible(), relayShown);
    QCOMPARE(widget<QLabel>(w, "deviceLb")->isVisible(), relayShown);
    QCOMPARE(widget<QGroupBox>(w, "AvgTime")->isVisible(), avgShown);

    // Before the first run the status bar says what Start still needs.
    const QString hint = w.findChild<RunStatusBar *>()->stepText();
    if (!port)
        QVERIFY2(hint.contains(QStringLiteral("Port list")), qPrintable(hint));
    else if (!ready)
        QVERIFY2(hint.contains(QStringLiteral("relay board")), qPrintable(hint));
    else
        QCOMPARE(hint, QStringLiteral("Ready: press Start"));
}

void tst_AppForm::portListKeepsChoiceByName()
{
    AppFolder folder;
    testMainWindow w;
    auto *ports = widget<QComboBox>(w, "portCBx");

    // First fill: nothing chosen before, so the first entry is taken.
    w.fillPortList({"ttyA", "ttyB", "ttyC"});
    QCOMPARE(ports->currentText(), QStringLiteral("ttyA"));
    QCOMPARE(w.testSetup()->portName, QStringLiteral("ttyA"));
    QCOMPARE(w.state(), testMainWindow::Ready);

    ports->setCurrentIndex(2);
    QCOMPARE(w.testSetup()->portName, QStringLiteral("ttyC"));

    // Same name at a new position stays chosen.
    w.fillPortList({"ttyC2", "ttyX", "ttyC", "ttyA"});
    QCOMPARE(ports->currentIndex(), 2);
    QCOMPARE(w.testSetup()->portName, QStringLiteral("ttyC"));

    // Names match exactly and case-sensitively.
    w.fillPortList({"TTYC", "ttyC0"});
    QCOMPARE(ports->currentIndex(), -1);
    QVERIFY(w.testSetup()->portName.isEmpty());
    QCOMPARE(w.state(), testMainWindow::NotReady);
    QVERIFY(!widget<QPushButton>(w, "startBtn")->isEnabled());

    // With nothing chosen the next fill takes the first entry again.
    w.fillPortList({"ttyQ"});
    QCOMPARE(w.testSetup()->portName, QStringLiteral("ttyQ"));
    QCOMPARE(w.state(), testMainWindow::Ready);

    // No port present at all.
    w.fillPortList({});
    QCOMPARE(ports->count(), 0);
    QVERIFY(w.testSetup()->portName.isEmpty());
    QCOMPARE(w.state(), testMainWindow::NotReady);
}

void tst_AppForm::portRefreshThroughPressAddsBenchPort()
{
    AppFolder folder;
    // A bench's runtime folder with its description is all the window looks at.
    QTemporaryDir bench;
    QFile info(bench.filePath(QStringLiteral("bench.json")));
    QVERIFY(info.open(QIODevice::WriteOnly));
    info.write(R"({"pid": 1, "name": "trevalo-bench", "version": 1, "atPort": "/dev/pts/4242",
                   "atLink": "/run/bench/ttyAT",
                   "echo": {"host": "127.0.0.1", "port": 6805}, "boards": []})");
    info.close();
    qputenv("TREVALO_BENCH", bench.path().toLocal8Bit());

    testMainWindow w;
    auto *ports = widget<QComboBox>(w, "portCBx");
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(5, 5), ports->mapToGlobal(QPointF(5, 5)),
                      Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QVERIFY(!w.eventFilter(ports, &press)); // the press goes on to the box

    const QStringList present = testMainWindow::availablePortNames();
    QVERIFY(present.contains(QStringLiteral("/dev/pts/4242")));
    QCOMPARE(present.count(QStringLiteral("/dev/pts/4242")), 1);
    QCOMPARE(ports->count(), present.size());
    QCOMPARE(ports->itemText(ports->count() - 1), QStringLiteral("/dev/pts/4242"));
    QCOMPARE(ports->currentIndex(), 0);
    // The stable link comes first and is the default: the pts number may be
    // another terminal's after the chip's power cut.
    QCOMPARE(ports->itemText(0), QStringLiteral("/run/bench/ttyAT"));
    QCOMPARE(present.count(QStringLiteral("/run/bench/ttyAT")), 1);
    QCOMPARE(w.testSetup()->portName, QStringLiteral("/run/bench/ttyAT"));

    ports->setCurrentIndex(ports->count() - 1);
    QVERIFY(!w.eventFilter(ports, &press));
    QCOMPARE(w.testSetup()->portName, QStringLiteral("/dev/pts/4242"));

    // Other events and other objects refresh nothing.
    QEvent other(QEvent::Enter);
    ports->clear();
    QVERIFY(!w.eventFilter(ports, &other));
    QVERIFY(!w.eventFilter(widget<QComboBox>(w, "caseCBx"), &press));
    QCOMPARE(ports->count(), 0);

    qunsetenv("TREVALO_BENCH");
}

void tst_AppForm::relayListWithoutBoards()
{
    AppFolder folder;
    testMainWindow w;
    w.fillPortList({"ttyA"});
    widget<QComboBox>(w, "caseCBx")->setCurrentIndex(4);

    auto *devices = widget<QComboBox>(w, "deviceCBx");
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(5, 5), devices->mapToGlobal(QPointF(5, 5)),
                      Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    // Repeated refreshes free and replace the list each time.
    for (int i = 0; i < 3; ++i)
        QVERIFY(!w.eventFilter(devices, &press));
    if (w.relayList() == nullptr) {
        QCOMPARE(devices->count(), 0);
        QCOMPARE(w.state(), testMainWindow::NotReady);
        QVERIFY(!widget<QPushButton>(w, "startBtn")->isEnabled());
    } else {
        // A real board is attached to this machine.
        QVERIFY(devices->count() > 0);
        QCOMPARE(w.state(), testMainWindow::Ready);
    }
}

void tst_AppForm::statusBarTextsFitTheWindow()
{
    AppFolder folder;
    // A peer name longer than any the run line has room for.
    const QString peer = QStringLiteral("quectel-bg96-ttyUSB6-bench3-chip7-of-8");
    {
        QFile ini(QStringLiteral("cfg/trevalo.ini"));
        QVERIFY(ini.open(QIODevice::Append));
        QVERIFY(ini.write("PppPeer=" + peer.toLatin1() + "\n") > 0);
    }
    testMainWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    auto *status = w.findChild<RunStatusBar *>();
    auto *cases = widget<QComboBox>(w, "caseCBx");

    // Measured with the labels' own font: each text whole in its label, no
    // two labels overlapping, all inside the window. Each line must also fit
    // the form's 636 pixels, where the fonts let the form be that narrow
    // (here its widgets may need more): its room less what the window is wider.
    const auto checkFit = [&w, status](const char *when) {
        QCoreApplication::processEvents();
        const auto need = [](const QLabel *l) {
            return l->text().isEmpty() ? 0 : QFontMetrics(l->font()).horizontalAdvance(l->text());
        };
        const int wider = w.width() - 636;
        const auto *run = status->findChild<QLabel *>(QStringLiteral("runLine"));
        const auto *step = status->findChild<QLabel *>(QStringLiteral("stepLine"));
        const auto *last = status->findChild<QLabel *>(QStringLiteral("lastCycleLine"));
        QVERIFY(run && step && last);
        QVERIFY2(need(run) <= run->width() - wider, when);
        const int gap = last->x() - step->geometry().right() - 1;
        QVERIFY2(need(step) + gap + need(last) <= last->geometry().right() - step->x() + 1 - wider, when);
        const QList<QLabel *> labels = status->findChildren<QLabel *>();
        QVERIFY(labels.size() >= 3);
        for (int i = 0; i < labels.size(); ++i) {
            const QLabel *l = labels.at(i);
            if (l->text().isEmpty())
                continue;
            const int need = QFontMetrics(l->font()).horizontalAdvance(l->text());
            QVERIFY2(need <= l->contentsRect().width(),
                     qPrintable(QStringLiteral("%1: \"%2\" needs %3 px, has %4")
                                    .arg(QLatin1String(when), l->text())
                                    .arg(need)
                                    .arg(l->contentsRect().width())));
            const QRect at(l->mapTo(&w, QPoint(0, 0)), l->size());
            QVERIFY2(w.rect().contains(at), when);
            for (int j = i + 1; j < labels.size(); ++j) {
                const QLabel *o = labels.at(j);
                if (o->text().isEmpty())
                    continue;
                QVERIFY2(!at.intersects(QRect(o->mapTo(&w, QPoint(0, 0)), o->size())),
                         qPrintable(QStringLiteral("%1: \"%2\" overlaps \"%3\"")
                                        .arg(QLatin1String(when), l->text(), o->text())));
            }
        }
    };
    checkFit("no port");
    w.fillPortList({QStringLiteral("/dev/serial/by-id/usb-ZORV_Modem_0123456789ABCDEF-if02-port0")});
    cases->setCurrentIndex(5);
    checkFit("no board");

    // The longest case name, a long step with its countdown, and a failed
    // cycle's verdict with both times.
    int longest = 0;
    for (int i = 0; i < cases->count(); ++i)
        if (cases->itemText(i).size() > cases->itemText(longest).size())
            longest = i;
    cases->setCurrentIndex(longest);
    status->onRunStarted();
    testWorker *worker = w.workerObject();
    emit worker->sngStep(QStringLiteral("connecting to 255.255.255.255:65535"), 3600000);
    emit worker->sngUpdateAvgTime(true, 123456);
    emit worker->sngUpdateAvgTime(false, 98765);
    emit worker->sngUpdateRadio(false);
    // Cut in the middle, whole in the tool tip.
    QVERIFY2(status->runText().endsWith(cases->currentText() + QStringLiteral(" | PPP peer ") + peer.left(11)
                                        + QChar(0x2026) + peer.right(12)),
             qPrintable(status->runText()));
    QVERIFY(status->findChild<QLabel *>(QStringLiteral("runLine"))->toolTip().endsWith(peer));
    QVERIFY(status->stepText().endsWith(QStringLiteral("left")));
    QVERIFY(status->lastCycleText().contains(QStringLiteral("hang-up")));
    checkFit("running");
    emit worker->sngStep(QStringLiteral("AT+CFUN=1 sent, waiting for +CREG: 1"), 600000);
    checkFit("registering");

    // The radio cases name the relay channel too; the register case dials nothing.
    w.testSetup()->relayChannel = 8;
    cases->setCurrentIndex(TestCases::SleepWakePpp);
    status->onRunStarted();
    QVERIFY2(status->runText().endsWith(QStringLiteral("Sleep-wake PPP test | relay channel 8 | PPP peer ")
                                        + peer.left(11) + QChar(0x2026) + peer.right(12)),
             qPrintable(status->runText()));
    emit worker->sngStep(QStringLiteral("chip powered"), 600000);
    emit worker->sngUpdateRadio(false);
    checkFit("sleep-wake");
    cases->setCurrentIndex(TestCases::RegisterNet);
    status->onRunStarted();
    QVERIFY2(status->runText().endsWith(QStringLiteral("Register network test | relay channel 8")),
             qPrintable(status->runText()));
}

void tst_AppForm::aboutBox()
{
    AppFolder folder;
    testMainWindow w;
    w.show();

    QString title, text;
    QMessageBox::StandardButtons buttons;
    QTimer::singleShot(50, this, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        title = box->windowTitle();
        text = box->text();
        buttons = box->standardButtons();
        box->accept();
    });
    w.findChildren<QToolBar *>().first()->actions().first()->trigger();

    QCOMPARE(title, QStringLiteral("About Trevalo Tool"));
    const QStringList lines = text.split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 3);
    QCOMPARE(lines.at(0), QStringLiteral("ZORV trevalo tool v01.00.05"));
    QVERIFY(lines.at(1).contains(QDate::currentDate().toString(Qt::ISODate)));
    // Where the files go: the folder the program works in.
    QCOMPARE(lines.at(2), "Settings, logs and results: " + QDir::toNativeSeparators(QDir::currentPath()));
    QCOMPARE(buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
}

void tst_AppForm::programPicksItsDataFolder_data()
{
    QTest::addColumn<bool>("installed");
    QTest::addColumn<bool>("locked");
    QTest::addColumn<QString>("given"); // --data, relative to the folder it is started in
    QTest::newRow("run from a writable folder") << false << false << QString();
    QTest::newRow("folder not writable") << false << true << QString();
    QTest::newRow("installed tree, writable for root") << true << false << QString();
    QTest::newRow("--data, made when missing") << false << false << QStringLiteral("chips/chip2");
    QTest::newRow("--data, installed and not writable") << true << true << QStringLiteral("chip3");
}

void tst_AppForm::programPicksItsDataFolder()
{
    QFETCH(bool, installed);
    QFETCH(bool, locked);
    QFETCH(QString, given);
    // A copy of the program in a folder of its own; its libraries stay in
    // the build folder.
    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString bin = root.filePath(QStringLiteral("bin"));
    const QString data = root.filePath(QStringLiteral("data"));
    QVERIFY(QDir().mkpath(bin) && QDir().mkpath(data));
    const QString program = bin + QStringLiteral("/trevalo");
    QVERIFY(QFile::copy(QStringLiteral(TREVALO_PROGRAM), program));
    if (installed)
        QVERIFY(QDir().mkpath(root.filePath(QStringLiteral("share/trevalo/setup"))));

    std::unique_ptr<LockedFolder> lock;
    if (locked) {
        lock = std::make_unique<LockedFolder>(bin);
        if (!lock->isLocked())
            QSKIP("no way to make a folder unwritable here");
    }

    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_DATA_HOME"), data);
    env.insert(QStringLiteral("LD_LIBRARY_PATH"), QFileInfo(QStringLiteral(TREVALO_PROGRAM)).absolutePath());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.remove(QStringLiteral("TREVALO_BENCH"));
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(root.path());
    p.start(program, given.isEmpty() ? QStringList() : QStringList{QStringLiteral("--data"), given});
    QVERIFY(p.waitForStarted());

    // The folder it made current is where cfg/, log/ and result/ go.
    const QString cwd = QStringLiteral("/proc/%1/cwd").arg(p.processId());
    const bool elsewhere = given.isEmpty() && (installed || locked);
    const QString expected = !given.isEmpty() ? root.filePath(given) : elsewhere ? data + QStringLiteral("/trevalo") : bin;
    QTRY_COMPARE_WITH_TIMEOUT(QFileInfo(cwd).symLinkTarget(), expected, 30000);
    // Held against a second window until the program ends.
    QVERIFY(QFileInfo::exists(QDir(expected).filePath(QStringLiteral(".trevalo-window.lock"))));
    p.kill();
    p.waitForFinished();
    QCOMPARE(QFileInfo::exists(data + QStringLiteral("/trevalo")), elsewhere);
}

void tst_AppForm::dataFolderThatCannotBeUsed_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("reason");
    QTest::newRow("under a file") << QStringList{"--data", "file/chip2"} << "cannot create the data folder";
    QTest::newRow("refuses files") << QStringList{"--data", "locked"} << "cannot write to the data folder";
    QTest::newRow("no folder") << QStringList{"--data="} << "--data needs a folder";
    QTest::newRow("unknown option") << QStringList{"--dat", "chip2"} << "Unknown option 'dat'";
    QTest::newRow("stray argument") << QStringList{"chip2"} << "unexpected argument: chip2";
}

void tst_AppForm::dataFolderThatCannotBeUsed()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, reason);
    QTemporaryDir root;
    QVERIFY(root.isValid());
    QFile file(root.filePath(QStringLiteral("file")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    QVERIFY(QDir().mkpath(root.filePath(QStringLiteral("locked"))));
    LockedFolder locked(root.filePath(QStringLiteral("locked")));
    if (arguments.contains(QStringLiteral("locked")) && !locked.isLocked())
        QSKIP("no way to make a folder unwritable here");

    // Said on standard error with status 2 and no window, and nothing is
    // made where it was started.
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), root.filePath(QStringLiteral("xdg")));
    env.remove(QStringLiteral("TREVALO_BENCH"));
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(root.path());
    p.start(QStringLiteral(TREVALO_PROGRAM), arguments);
    QVERIFY(p.waitForFinished(30000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 2);
    const QString err = QString::fromLocal8Bit(p.readAllStandardError());
    // Its own line among whatever Qt says on the way.
    QVERIFY2(err.contains(QRegularExpression(QStringLiteral("(^|\n)trevalo: ") + QRegularExpression::escape(reason))),
             qPrintable(err));
    QCOMPARE(QDir(root.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList({QStringLiteral("file"), QStringLiteral("locked")}));
}

void tst_AppForm::folderLockStaysWithTheWindow()
{
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    QString error;
    DataFolderLock first;
    QCOMPARE(first.acquire(folder.path(), &error), DataFolderLock::Taken);
    DataFolderLock second;
    QCOMPARE(second.acquire(folder.path(), &error), DataFolderLock::HeldByOther);
    QCOMPARE(error, QStringLiteral("the data folder %1 is in use by another trevalo window (pid %2)")
                        .arg(folder.path()).arg(QCoreApplication::applicationPid()));
    QVERIFY(!second.isHeld());

    // A child the window started (pppd, ping) does not inherit it: once
    // the window lets go, the folder is free while the child lives on.
    QProcess child;
    child.start(QStringLiteral("sleep"), {QStringLiteral("30")});
    QVERIFY(child.waitForStarted());
    first.release();
    QCOMPARE(second.acquire(folder.path(), &error), DataFolderLock::Taken);
    child.kill();
    child.waitForFinished();
}

QTEST_MAIN(tst_AppForm)
#include "tst_appform.moc"
