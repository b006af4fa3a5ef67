// Construction, destruction, selections, run control and the About box.
#include "testMainWindow.h"
#include "ui_testMainWindow.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QJsonArray>
#include <QJsonObject>
#include <QEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QIcon>
#include <QMessageBox>
#include <QScrollBar>
#include <QSerialPortInfo>
#include <QStringList>
#include <QThread>
#include <QTimer>
#include <QToolBar>

#include "BenchClient.h"
#include "PortIdentity.h"
#include "LogScrollBarStyle.h"
#include "PppPeer.h"
#include "TestCases.h"
#include "RunFiles.h"
#include "RunReport.h"
#include "RunReportWriter.h"
#include "ReportSaver.h"
#include "RunStatusBar.h"
#include "StepsFileParser.h"
#include "TestSetup.h"
#include "TrendsWindow.h"
#include "testWorker.h"
#include "usb_relay_device.h"
#if !defined(Q_OS_WIN)
#include "MetricsWriter.h"
#endif

namespace {
const char *const kVersion = "v01.00.05";

QString plainTitle()
{
    return QStringLiteral("ZORV Trevalo Tool %1").arg(QLatin1String(kVersion));
}

} // namespace

testMainWindow::testMainWindow()
    : QMainWindow(nullptr)
{
    runState = NotReady;
    passCount = 0;
    failCount = 0;
    relayDevices = nullptr;

    ui = new Ui::testMainWindow;
    ui->setupUi(this);

    ui->teLog->setStyleSheet(QStringLiteral("QTextEdit {font: times bold 12pt; background: black }"));
    // The log is plain text in simple scripts: glyphs without a shaping pass
    // lay a line out several times faster (other scripts are still shaped).
    {
        QFont font = ui->teLog->font();
        font.setStyleStrategy(QFont::PreferNoShaping);
        ui->teLog->setFont(font);
    }
    // Wrapped at the edge like a console: payload dumps of up to 2,047
    // characters with no space in them would otherwise be searched for a
    // word break afresh on every row they fill, which costs the view about
    // a third of its speed in a flood. The text and the files are the same.
    ui->teLog->setWordWrapMode(QTextOption::WrapAnywhere);
    // Nobody undoes a read-only log; a history of every line would grow
    // with the view and outlive its clearing.
    ui->teLog->setUndoRedoEnabled(false);
    buildFindBar();
    // Its scroll bars take a new palette with every colour the view changes
    // to; their style draws them with one palette per set of colours.
    {
        auto *barStyle = new LogScrollBarStyle(QApplication::style()->name(), this);
        ui->teLog->verticalScrollBar()->setStyle(barStyle);
        ui->teLog->horizontalScrollBar()->setStyle(barStyle);
    }
    setWindowTitle(plainTitle());

    QToolBar *toolBar = addToolBar(tr("Tools"));
    toolBar->setFixedHeight(30);

    ui->portCBx->installEventFilter(this);
    ui->deviceCBx->installEventFilter(this);

    aboutAction = new QAction(QIcon(QStringLiteral(":/images/about.png")), tr("About"), this);
    toolBar->addAction(aboutAction);
    connect(aboutAction, &QAction::triggered, this, &testMainWindow::onAbout);

    workerThread = new QThread(this);
    worker = new testWorker(); // no parent: it moves to its own thread

    setup = new TestSetup();
    setup->loadSettings();
    worker->setSetup(setup);
    // Every counted cycle on record beside "log" and "result".
    worker->setRecordsDir(QStringLiteral("records"));

    // Lines the window has not taken yet hold the worker back past a cap.
    worker->logFlow().setConsumer(true);
    worker->moveToThread(workerThread);
    workerThread->start(QThread::InheritPriority);
    connect(workerThread, &QThread::finished, worker, &QObject::deleteLater);

    ui->deviceCBx->hide();
    ui->deviceLb->hide();

    connect(this, &testMainWindow::sngStartWorker, worker, &testWorker::start, Qt::QueuedConnection);
    connect(ui->startBtn, &QPushButton::clicked, this, &testMainWindow::onStart);
    connect(ui->stopBtn, &QPushButton::clicked, this, &testMainWindow::onStop);
    connect(ui->caseCBx, &QComboBox::currentIndexChanged, this, &testMainWindow::onCaseCBx);
    connect(ui->portCBx, &QComboBox::currentIndexChanged, this, &testMainWindow::onPortChange);
    connect(worker, &testWorker::sngUpdateRadio, this, &testMainWindow::onUpdateRadio);
    connect(worker, &testWorker::sngFinishAll, this, &testMainWindow::onFinishAll);
    connect(worker, &testWorker::sngLog, this, &testMainWindow::onLogText);
    connect(ui->deviceCBx, &QComboBox::currentIndexChanged, this, &testMainWindow::onDeviceChange);

    m_logFlushTimer = new QTimer(this);
    m_logFlushTimer->setSingleShot(true);
    connect(m_logFlushTimer, &QTimer::timeout, this, &testMainWindow::flushLog);
    connect(worker, &testWorker::sngUpdateAvgTime, this, &testMainWindow::onUpdateAvgTime);

    // Beside the form: what the run is doing now, and how its cycles trend.
    auto *runStatus = new RunStatusBar(setup, this);
    m_runStatus = runStatus;
    setStatusBar(runStatus);
    runStatus->follow(worker);
#if !defined(Q_OS_WIN)
    runStatus->setPppPeer(setup->pppPeer);
#endif
    connect(this, &testMainWindow::sngStartWorker, runStatus, &RunStatusBar::onRunStarted);
    auto *trends = new TrendsWindow(this);
    trends->follow(worker);
    QAction *trendsAction = toolBar->addAction(tr("Trends"));
    connect(trendsAction, &QAction::triggered, trends, [trends] {
        trends->show();
        trends->raise();
        trends->activateWindow();
    });
    // A report of the run in progress or the last one, once it has records.
    m_reportAction = toolBar->addAction(tr("Save report..."));
    m_reportAction->setObjectName(QStringLiteral("saveReportAction"));
    m_reportAction->setEnabled(false);
    connect(worker, &testWorker::sngRecordFile, this, [this](const QString &path) {
        m_reportRecords = path;
        m_reportAction->setEnabled(true);
    });
    connect(m_reportAction, &QAction::triggered, this, &testMainWindow::onSaveReport);
    m_reportSaver = new ReportSaver(this);
    connect(m_reportSaver, &ReportSaver::sngFinished, this, [this](const QString &path, const QString &error) {
        m_reportAction->setEnabled(true);
        if (!error.isEmpty())
            onLogText(tr("Fail to write report %1: %2").arg(QDir::toNativeSeparators(path), error), QColor(Qt::red));
    });

    startMetrics();
    updateControls();

    autoSaveTimer = new QTimer(this);
    autoSaveTimer->setSingleShot(false);
    connect(autoSaveTimer, &QTimer::timeout, this, &testMainWindow::onAutoSaveLog);

    showSettingsProblem();
}

testMainWindow::~testMainWindow()
{
    // Ends a run in progress; returns at once when idle. Once the thread
    // stops taking lines, the worker must not wait for it.
    worker->logFlow().setConsumer(false);
    worker->stopTest(testWorker::EndReason::ProgramClosed);
    autoSaveTimer->stop();

    workerThread->quit();
    workerThread->wait(); // finished() deletes the worker
    worker = nullptr;
    // The end of a run stopped here may still be queued (its last lines and
    // sngFinishAll): deliver it now, so its log and result are saved.
    QCoreApplication::sendPostedEvents(this);

    setup->saveSettings();

    // The worker is gone, so nothing points into the relay list any more.
    if (relayDevices) {
        usb_relay_device_free_enumerate(relayDevices);
        relayDevices = nullptr;
    }

    // The widgets outlive the form record until QWidget's destructor runs:
    // keep their events and signals away from this half-destroyed window.
    ui->portCBx->removeEventFilter(this);
    ui->deviceCBx->removeEventFilter(this);
    ui->teLog->removeEventFilter(this);
    disconnect(ui->portCBx, nullptr, this, nullptr);
    disconnect(ui->deviceCBx, nullptr, this, nullptr);
    disconnect(ui->caseCBx, nullptr, this, nullptr);
    delete ui;
    ui = nullptr;
    delete setup;
    setup = nullptr;
}

void testMainWindow::setInstanceName(const QString &name)
{
    setWindowTitle(name.isEmpty() ? plainTitle() : name + QStringLiteral(" \u2014 ") + plainTitle());
}

bool testMainWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (ui && watched == ui->teLog && event->type() == QEvent::Resize)
        placeFindBar();
    if (ui && event->type() == QEvent::MouseButtonPress) {
        if (watched == ui->portCBx)
            refreshPortList();
        else if (watched == ui->deviceCBx)
            refreshDeviceList();
    }
    // The press goes on to the box, whose popup opens on the refreshed list.
    return false;
}

void testMainWindow::updateControls()
{
    if (runState == NotReady || runState == Ready) {
        runState = Ready;
        if (setup->needsRelay() && ui->deviceCBx->currentText().isEmpty())
            runState = NotReady;
        if (setup->caseIndex == TestCases::Custom && !setup->steps)
            runState = NotReady;
        if (setup->portName.isEmpty())
            runState = NotReady;
    }

    const bool running = runState == Running;
    ui->portCBx->setEnabled(!running);
    ui->caseCBx->setEnabled(!running);
    ui->deviceCBx->setEnabled(!running);
    ui->startBtn->setEnabled(runState == Ready);
    ui->stopBtn->setEnabled(running);

    if (m_runStatus) {
        if (setup->portName.isEmpty())
            m_runStatus->setIdleHint(tr("Start needs a port: open the Port list, it fills when opened"));
        else if (runState == NotReady && setup->caseIndex == TestCases::Custom && !setup->steps)
            m_runStatus->setIdleHint(tr("Custom test needs a steps file that can be used: choose the case again"));
        else if (runState == NotReady)
            m_runStatus->setIdleHint(tr("This case needs a relay board: pick it in the Device List"));
        else
            m_runStatus->setIdleHint(tr("Ready: press Start"));
    }
}

void testMainWindow::fillComboKeepingChoice(QComboBox *box, const QStringList &names)
{
    const QString previous = box->currentText();
    box->clear();
    box->insertItems(box->count(), names);
    const int index = previous.isEmpty()
        ? 0
        : box->findText(previous, Qt::MatchExactly | Qt::MatchCaseSensitive);
    box->setCurrentIndex(index);
}

QStringList testMainWindow::availablePortNames()
{
    QStringList names;
    // Stable names first, so that they are the ones picked by default: a
    // number such as ttyUSB2 or /dev/pts/N may belong to another device
    // after the chip's power cut, a by-id link or the bench's ttyAT follows
    // the chip's port.
    const bool bench = BenchClient::isAvailable();
    // Every chip of the bench, chip 1 first; a bench of one chip lists only
    // its top-level ports.
    const QJsonArray chips = bench ? BenchClient::info().value(QStringLiteral("chips")).toArray() : QJsonArray();
    const auto benchPorts = [&](const QString &key, const QString &first) {
        QStringList found;
        if (!first.isEmpty())
            found << first;
        for (const QJsonValue &chip : chips) {
            const QString port = chip.toObject().value(key).toString();
            if (!port.isEmpty() && !found.contains(port))
                found << port;
        }
        return found;
    };
    if (bench)
        names << benchPorts(QStringLiteral("atLink"), BenchClient::atLinkPath());
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports) {
        for (const QString &stable : PortIdentity::stableNames(info.systemLocation())) {
            if (!names.contains(stable))
                names << stable;
        }
        names << info.portName();
    }
    // The virtual bench's AT port is a pseudo-terminal, which the serial
    // port scan does not report.
    if (bench) {
        for (const QString &atPort : benchPorts(QStringLiteral("atPort"), BenchClient::atPortPath()))
            if (!names.contains(atPort))
                names << atPort;
    }
    return names;
}

void testMainWindow::refreshPortList()
{
    if (runState == Running)
        return;
    fillPortList(availablePortNames());
}

void testMainWindow::fillPortList(const QStringList &names)
{
    // During a run the worker reads the port name; the selection stays put.
    if (runState == Running)
        return;
    fillComboKeepingChoice(ui->portCBx, names);
}

void testMainWindow::refreshDeviceList()
{
    // The worker's copy of the chosen record points into the live list: it
    // must neither be freed nor replaced while a run goes on.
    if (runState == Running)
        return;

    if (relayDevices) {
        usb_relay_device_free_enumerate(relayDevices);
        relayDevices = nullptr;
    }
    relayDevices = usb_relay_device_enumerate();

    QStringList names;
    for (const usb_relay_device_info *d = relayDevices; d; d = d->next)
        names << QString::fromLocal8Bit(reinterpret_cast<const char *>(d->serial_number));
    fillComboKeepingChoice(ui->deviceCBx, names);
}

void testMainWindow::onCaseCBx(int index)
{
    setup->caseIndex = index;
    if (index == TestCases::Custom)
        chooseStepsFile();
    if (setup->needsRelay()) {
        ui->deviceCBx->show();
        ui->deviceLb->show();
        ui->AvgTime->setVisible(index == TestCases::SleepWakePpp ||
                                (index == TestCases::Custom && setup->steps->needs(StepsFile::Kind::DialUp)));
    } else {
        ui->deviceCBx->hide();
        ui->deviceLb->hide();
        ui->AvgTime->show();
    }
    updateControls();
}

void testMainWindow::chooseStepsFile()
{
    const QString start = setup->stepsFile.isEmpty() ? QDir::currentPath() : setup->stepsFile;
    const QString chosen = QFileDialog::getOpenFileName(this, tr("Steps file of the custom test"), start,
                                                        tr("Steps files (*.yml *.yaml);;All files (*)"));
    if (!chosen.isEmpty())
        setup->stepsFile = chosen;
    setup->steps.reset();
    if (!setup->stepsFile.isEmpty())
        loadStepsFile();
}

bool testMainWindow::loadStepsFile()
{
    QString problem;
    setup->steps = StepsFileParser::read(setup->stepsFile, &problem);
    if (!setup->steps)
        appendLogLine(m_stamper.stampLine(problem), QColor(Qt::red));
    return bool(setup->steps);
}

void testMainWindow::onPortChange(int)
{
    setup->portName = ui->portCBx->currentText();
    if (setup->portName.isEmpty())
        runState = NotReady;
    updateControls();
}

void testMainWindow::onDeviceChange(int)
{
    updateControls();
}

void testMainWindow::onStart()
{
    if (runState != Ready)
        return;

    // The file as it is now: it may have been edited since it was chosen.
    if (setup->caseIndex == TestCases::Custom && !loadStepsFile()) {
        updateControls();
        return;
    }

#if !defined(Q_OS_WIN)
    // The modem's peer file, before anything is switched or dialled.
    if (setup->dials()) {
        QString problem = PppPeer::problem(setup->pppPeer, !BenchClient::isAvailable());
        if (!problem.isEmpty()) {
            problem[0] = problem[0].toUpper();
            appendLogLine(m_stamper.stampLine(problem + QStringLiteral(" (PppPeer in the settings)")), QColor(Qt::red));
            updateControls();
            return;
        }
    }
#endif

    if (setup->needsRelay()) {
        const usb_relay_device_info *chosen = relayDevices;
        for (int n = ui->deviceCBx->currentIndex(); chosen && n > 0; --n)
            chosen = chosen->next;
        if (!chosen || ui->deviceCBx->currentIndex() < 0) {
            updateControls();
            return;
        }
        setup->relayDevice = *chosen;
        const QString serial = QString::fromLatin1(reinterpret_cast<const char *>(chosen->serial_number));
        const int channels = int(chosen->type);
        QString problem;
        if (setup->relayChannel < 1 || setup->relayChannel > channels)
            problem = QStringLiteral("Relay board %1 has channels 1 to %2, not %3 (RelayChannel in the settings)")
                          .arg(serial).arg(channels).arg(setup->relayChannel);
        else if (m_channelLock.acquire(*chosen, setup->relayChannel, &problem))
            problem.clear();
        else
            problem[0] = problem[0].toUpper();
        if (!problem.isEmpty()) {
            appendLogLine(m_stamper.stampLine(problem), QColor(Qt::red));
            updateControls();
            return;
        }
    }

    resetStatistics();

    runState = Running;
    updateControls();

    clearLogView();
    // Said again in the first run's log, which the view's clearing took it from.
    if (!m_settingsProblemInRun) {
        m_settingsProblemInRun = true;
        showSettingsProblem();
    }
#if !defined(Q_OS_WIN)
    // The red line went with the cleared view; this run's log says it again.
    if (m_metrics && m_metrics->isFailing())
        reportMetricsFailure(m_metrics->filePath());
    if (m_metrics && setup->caseIndex == TestCases::Custom && setup->steps)
        m_metrics->setStepNames(setup->caseTag(), setup->steps->failedStepNames());
#endif

    autoSaveTimer->start(effectiveAutoSaveInterval(setup->autoSaveLogInterval));

    // A Stop pressed before the queued start() runs must still end this run.
    worker->announceStart();
    emit sngStartWorker();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void testMainWindow::onStop()
{
    if (runState != Running)
        return;

    worker->stopTest();
    autoSaveTimer->stop();
    runState = Ready;
    updateControls();
    saveLog();
    writeResultFile();
}

void testMainWindow::onFinishAll()
{
    // The worker no longer switches the channel.
    m_channelLock.release();
    autoSaveTimer->stop();
    saveLog();
    writeResultFile();
    runState = Ready;
    updateControls();
}

void testMainWindow::showSettingsProblem()
{
    if (!setup->settingsFileProblem.isEmpty())
        appendLogLine(m_stamper.stampLine(setup->settingsFileProblem), QColor(Qt::red));
}

void testMainWindow::onSaveReport()
{
    const QString suggested = QFileInfo(m_reportRecords).completeBaseName() + QStringLiteral(".html");
    const QString path = QFileDialog::getSaveFileName(this, tr("Save report"), suggested, tr("HTML (*.html)"));
    // A long run takes a while to read: the window goes on meanwhile.
    if (!path.isEmpty() && m_reportSaver->start(m_reportRecords, path, runState == Running))
        m_reportAction->setEnabled(false);
}

bool testMainWindow::saveReport(const QString &htmlPath)
{
    RunReport report;
    report.setRunInProgress(runState == Running);
    QString why;
    if (m_reportRecords.isEmpty())
        why = tr("no run on record yet");
    else if (!report.read(m_reportRecords))
        why = tr("cannot read %1").arg(QDir::toNativeSeparators(m_reportRecords));
    else if (RunReportWriter::write(report, htmlPath, &why))
        return true;
    onLogText(tr("Fail to write report %1: %2").arg(QDir::toNativeSeparators(htmlPath), why), QColor(Qt::red));
    return false;
}

void testMainWindow::onAbout()
{
    QMessageBox::information(this, tr("About Trevalo Tool"),
                             tr("ZORV trevalo tool %1\nBuilt for the modem bench, %2\n"
                                "Settings, logs and results: %3")
                                 .arg(QLatin1String(kVersion),
                                      QDate::currentDate().toString(Qt::ISODate),
                                      QDir::toNativeSeparators(QDir::currentPath())),
                             QMessageBox::Ok, QMessageBox::NoButton);
}

int testMainWindow::effectiveAutoSaveInterval(unsigned int configuredMs)
{
    return RunFiles::autoSaveIntervalMs(configuredMs);
}

void testMainWindow::startMetrics()
{
#if !defined(Q_OS_WIN)
    if (setup->metricsFolder.isEmpty())
        return;
    if (!setup->benchName.isEmpty() && !MetricsWriter::isValidBenchName(setup->benchName)) {
        onLogText(tr("Fail to write metrics: the bench name takes only letters, digits, _ and -: %1")
                      .arg(setup->benchName),
                  QColor(Qt::red));
        return;
    }
    m_metrics = new MetricsWriter(this);
    m_metrics->setCase(setup->caseTag());
    m_metrics->follow(worker);
    // One red line when writing fails and one when it works again; the run goes on.
    connect(m_metrics, &MetricsWriter::sngWriteFailed, this, &testMainWindow::reportMetricsFailure);
    connect(m_metrics, &MetricsWriter::sngWriteResumed, this, [this](const QString &path) {
        onLogText(tr("Metrics file %1 written again").arg(QDir::toNativeSeparators(path)), QColor(Qt::white));
    });
    m_metrics->start(setup->metricsFolder, setup->benchName);
#endif
}

void testMainWindow::reportMetricsFailure(const QString &path)
{
    onLogText(tr("Fail to write metrics file %1").arg(QDir::toNativeSeparators(path)), QColor(Qt::red));
}
