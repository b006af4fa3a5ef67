#include "HeadlessRun.h"

#include "BenchClient.h"
#include "CycleRecords.h"
#include "JUnitReport.h"
#include "LogTrail.h"
#include "PppPeer.h"
#include "RunFiles.h"
#include "RunReport.h"
#include "RunReportWriter.h"
#include "StreamedLog.h"
#include "TestCases.h"
#include "UartEngine.h"
#include "testWorker.h"
#include "usb_relay_device.h"
#if !defined(Q_OS_WIN)
#include "MetricsWriter.h"
#endif

#include <QCoreApplication>
#include <QDir>
#include <QMetaObject>
#include <QSerialPortInfo>

#include <cstdio>

#if defined(Q_OS_WIN)
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace {

// The log's colours are Qt's global colours; white and anything else print plain.
const char *ansiFor(const QColor &color)
{
    if (color == QColor(Qt::red))
        return "\033[31m";
    if (color == QColor(Qt::green))
        return "\033[1;32m";
    if (color == QColor(Qt::yellow))
        return "\033[33m";
    return nullptr;
}

bool portExists(const QString &port)
{
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports)
        if (info.portName() == port || info.systemLocation() == port)
            return true;
    if (BenchClient::isAvailable() && BenchClient::atPortPath() == port)
        return true;
    // A device the scan does not report (a pseudo-terminal, say).
    return UartEngine::isPresent(port);
}

} // namespace

HeadlessRun::HeadlessRun(const RunOptions &options, QObject *parent)
    : QObject(parent), m_options(options), m_log(options.outDir)
{
    m_colour = isatty(fileno(stdout)) != 0;
}

HeadlessRun::~HeadlessRun()
{
    if (m_worker) {
        // Once the event loop has stopped taking lines, the worker must not wait for it.
        m_worker->logFlow().setConsumer(false);
        if (!m_finished)
            m_worker->stopTest(testWorker::EndReason::ProgramClosed);
        m_thread.quit();
        m_thread.wait();
    }
    usb_relay_device_free_enumerate(m_boards);
}

bool HeadlessRun::start()
{
    m_setup.settingsFile = m_options.settingsFile;
    m_setup.loadSettings();
    if (!m_setup.settingsFileProblem.isEmpty()) {
        QString problem = m_setup.settingsFileProblem;
        problem[0] = problem[0].toLower();
        std::fprintf(stderr, "trevalo-run: %s\n", qPrintable(problem));
    }
    m_setup.caseIndex = m_options.caseIndex;
    m_setup.steps = m_options.steps;
    // The bench's name on record is the one its metrics carry.
    m_setup.benchName = m_options.benchName;

    QString port = m_options.port;
    // The bench's link, not its /dev/pts/N: the number may go to another
    // terminal while the chip is off, the link follows the chip's port.
    if (port.isEmpty() && BenchClient::isAvailable())
        port = BenchClient::atLinkPath().isEmpty() ? BenchClient::atPortPath() : BenchClient::atLinkPath();
    const bool needsPort = m_setup.opensPortAtStart() ||
                           (m_setup.steps && (m_setup.steps->needs(StepsFile::Kind::OpenPort) ||
                                              m_setup.steps->needs(StepsFile::Kind::At) ||
                                              m_setup.steps->needs(StepsFile::Kind::WaitFor)));
    if (needsPort && port.isEmpty()) {
        m_error = QStringLiteral("no AT port given (--port)");
        return false;
    }
    if (!port.isEmpty() && !portExists(port)) {
        m_error = QStringLiteral("no such port: %1").arg(port);
        return false;
    }
    m_setup.portName = port;

#if !defined(Q_OS_WIN)
    // Checked before anything is switched or dialled. The virtual bench
    // dials without peer files.
    if (!m_options.pppPeer.isEmpty())
        m_setup.pppPeer = m_options.pppPeer;
    if (m_setup.dials()) {
        const QString problem = PppPeer::problem(m_setup.pppPeer, !BenchClient::isAvailable());
        if (!problem.isEmpty()) {
            m_error = problem;
            return false;
        }
    }
#endif

    if (m_setup.needsRelay()) {
        m_boards = usb_relay_device_enumerate();
        const usb_relay_device_info *chosen = nullptr;
        for (const usb_relay_device_info *d = m_boards; d && !chosen; d = d->next) {
            const QString serial = QString::fromLatin1(reinterpret_cast<const char *>(d->serial_number));
            if (m_options.board.isEmpty() || serial == m_options.board)
                chosen = d;
        }
        if (!chosen) {
            m_error = m_options.board.isEmpty() ? QStringLiteral("no relay board found")
                                                : QStringLiteral("no relay board %1").arg(m_options.board);
            return false;
        }
        m_setup.relayDevice = *chosen;
        if (m_options.channel > 0)
            m_setup.relayChannel = m_options.channel;
        const QString serial = QString::fromLatin1(reinterpret_cast<const char *>(chosen->serial_number));
        const int channels = int(chosen->type);
        if (m_setup.relayChannel < 1 || m_setup.relayChannel > channels) {
            m_error = QStringLiteral("relay board %1 has channels 1 to %2, not %3")
                          .arg(serial).arg(channels).arg(m_setup.relayChannel);
            return false;
        }
        if (!m_channelLock.acquire(*chosen, m_setup.relayChannel, &m_error))
            return false;
    }

    m_worker = new testWorker; // no parent: it lives in its own thread
    m_worker->setSetup(&m_setup);
    const QString recordsDir = QDir(m_options.outDir).filePath(QStringLiteral("records"));
    m_worker->setRecordsDir(recordsDir);
    // The last run here was cut short (a crash, a hang the watchdog ended, a
    // kill): this one takes it up, and its record says so.
    const QString cutShort = CycleRecords::unfinishedRun(recordsDir);
    if (!cutShort.isEmpty()) {
        m_worker->setRestartOf(cutShort);
        std::fprintf(stderr, "trevalo-run: the last run here ended without its totals; this run restarts it (%s)\n",
                     qPrintable(cutShort));
    }
    testWorker::RunLimits limits;
    limits.cycles = m_options.cycles;
    limits.durationMs = m_options.durationMs;
    limits.maxFailures = m_options.maxFailures;
    m_worker->setRunLimits(limits);
    // Lines not yet taken hold the worker back past a cap, as in the window.
    m_worker->logFlow().setConsumer(true);
    m_worker->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    connect(m_worker, &testWorker::sngLog, this, &HeadlessRun::onLog);
    connect(m_worker, &testWorker::sngCycleFailed, this, &HeadlessRun::onCycleFailed);
    connect(m_worker, &testWorker::sngUpdateRadio, this, &HeadlessRun::onResult);
    connect(m_worker, &testWorker::sngUpdateAvgTime, this, &HeadlessRun::onAvgTime);
    connect(m_worker, &testWorker::sngFinishAll, this, &HeadlessRun::onFinishAll);
#if !defined(Q_OS_WIN)
    if (!m_options.metricsDir.isEmpty()) {
        m_metrics = new MetricsWriter(this);
        m_metrics->setCase(m_setup.caseTag());
        if (m_setup.steps)
            m_metrics->setStepNames(m_setup.caseTag(), m_setup.steps->failedStepNames());
        m_metrics->follow(m_worker);
        // One line each way; the run goes on without the file.
        connect(m_metrics, &MetricsWriter::sngWriteFailed, this,
                [this](const QString &path) { error(QStringLiteral("cannot write the metrics file %1").arg(path)); });
        connect(m_metrics, &MetricsWriter::sngWriteResumed, this,
                [this](const QString &path) { error(QStringLiteral("metrics file %1 written again").arg(path)); });
        m_metrics->start(m_options.metricsDir, m_options.benchName);
    }
#endif
    m_thread.start();

    connect(&m_autoSave, &QTimer::timeout, this, &HeadlessRun::saveLog);
    m_autoSave.start(RunFiles::autoSaveIntervalMs(m_setup.autoSaveLogInterval));

    m_started = QDateTime::currentDateTime();
    m_clock.start();
    m_worker->announceStart();
    QMetaObject::invokeMethod(m_worker, &testWorker::start, Qt::QueuedConnection);
    return true;
}

void HeadlessRun::requestStop()
{
    // A second signal changes nothing: the run is already being wound up
    // and its files are written once it has ended.
    if (m_stopping || m_finished || !m_worker)
        return;
    m_stopping = true;
    m_worker->stopTest(testWorker::EndReason::Stop);
}

void HeadlessRun::onLog(const QString &text, const QColor &color)
{
    if (m_worker) {
        m_worker->logFlow().taken();
        // A cycle's record says where its log starts.
        if (color == QColor(Qt::white) && text == LogTrail::separator()) {
            const qint64 now = QDateTime::currentMSecsSinceEpoch();
            m_worker->logTrail().separatorTaken(now, m_log.fileLines());
            logLine(text, color, now);
            return;
        }
    }
    logLine(text, color);
}

void HeadlessRun::logLine(const QString &text, const QColor &color, qint64 atMs)
{
    const QByteArray line =
        (atMs < 0 ? m_stamper.stampLine(text) : m_stamper.stampLine(atMs, text)).toLocal8Bit();
    const bool wasFailing = m_log.isFailing();
    m_log.append(line);
    reportLogState(wasFailing);
    // The worker's own red line whenever a record line did not reach the disk.
    if (text == QLatin1String("Fail to open record file"))
        m_recordsIncomplete = true;
    if (m_options.quiet)
        return;
    const char *ansi = m_colour ? ansiFor(color) : nullptr;
    m_out.line(ansi ? ansi + line + "\033[0m" : line);
}

void HeadlessRun::reportLogState(bool wasFailing)
{
    if (m_log.isFailing() == wasFailing)
        return;
    if (m_log.isFailing())
        error(QStringLiteral("cannot write the log under %1 (%2); its lines are held until the disk takes them")
                  .arg(m_options.outDir, m_log.failure()));
    else
        error(QStringLiteral("writing the log under %1 again").arg(m_options.outDir));
}

void HeadlessRun::error(const QString &text)
{
    m_err.line(QStringLiteral("trevalo-run: %1").arg(text).toLocal8Bit());
}

void HeadlessRun::onCycleFailed(const QString &step, const QString &line)
{
    m_failure = {step, line};
}

void HeadlessRun::onResult(bool pass)
{
    // The report must not depend on the record file alone.
    if (!m_options.junitFile.isEmpty()) {
        if (pass)
            m_verdicts.addPass();
        else
            m_verdicts.addFailure(m_failure.step, m_failure.line);
    }
    m_failure = {};
    (pass ? m_pass : m_fail) += 1;
    if (!m_options.quiet)
        return;
    m_out.line(QStringLiteral("cycle %1 %2  pass %3  fail %4  FPY %5%  %6s")
                   .arg(m_pass + m_fail)
                   .arg(QLatin1String(pass ? "PASS" : "FAIL"))
                   .arg(m_pass)
                   .arg(m_fail)
                   .arg(RunFiles::fpy(m_pass, m_fail))
                   .arg(m_clock.elapsed() / 1000)
                   .toLocal8Bit());
}

void HeadlessRun::onAvgTime(bool dialUp, int ms)
{
    if (dialUp) {
        m_dialUpTotal += ms / 1000.0;
        ++m_dialUps;
    } else {
        m_hangUpTotal += ms / 1000.0;
        ++m_hangUps;
    }
}

void HeadlessRun::saveLog()
{
    if (m_log.isEmpty())
        return;
    // A failed save keeps the lines for the next one, as the window does.
    const bool wasFailing = m_log.isFailing();
    const bool saved = !m_log.save(QDateTime::currentDateTime()).isEmpty();
    reportLogState(wasFailing);
    if (!saved)
        logLine(QStringLiteral("Fail to open log file"), Qt::red);
}

void HeadlessRun::onFinishAll()
{
    m_finished = true;
#if !defined(Q_OS_WIN)
    // The last state on file before the program ends; the writer's own
    // notice of the end may come after the event loop has stopped.
    if (m_metrics)
        m_metrics->onRunEnded();
#endif
    m_autoSave.stop();
    const QDateTime now = QDateTime::currentDateTime();
    // Every file that does not hold the whole run is named on standard error
    // and sets the exit status: a CI job must not take it for complete.
    bool incomplete = false;
    const bool logWasFailing = m_log.isFailing();
    const QString logPath = m_log.save(now);
    reportLogState(logWasFailing);
    if (logPath.isEmpty()) {
        error(QStringLiteral("cannot write the log file under %1").arg(m_options.outDir));
        incomplete = true;
    } else if (m_log.lostLines() > 0) {
        error(QStringLiteral("the log %1 lacks %2 lines the disk did not take in time")
                  .arg(QDir(m_options.outDir).filePath(logPath))
                  .arg(m_log.lostLines()));
        incomplete = true;
    }
    const QString tag = m_setup.caseTag();
    const QString resultPath = RunFiles::writeResult(m_options.outDir, tag, RunFiles::countLines(m_pass, m_fail), now);
    if (resultPath.isEmpty()) {
        error(QStringLiteral("cannot write the result file under %1").arg(m_options.outDir));
        incomplete = true;
    }

    const QString recordFile = m_worker->recordFile();
    if (m_recordsIncomplete) {
        error(recordFile.isEmpty()
                  ? QStringLiteral("cannot write the record file under %1").arg(QDir(m_options.outDir).filePath(QStringLiteral("records")))
                  : QStringLiteral("the record file %1 is incomplete").arg(recordFile));
        incomplete = true;
    }
    QString junitPath = m_options.junitFile;
    if (!junitPath.isEmpty() && !writeJUnit(recordFile)) {
        error(QStringLiteral("cannot write the JUnit report %1").arg(m_options.junitFile));
        junitPath.clear();
        incomplete = true;
    }

    QString reportPath = m_options.reportFile;
    if (!reportPath.isEmpty() && !writeReport(recordFile)) {
        reportPath.clear();
        incomplete = true;
    }

    printSummary(logPath, resultPath, recordFile, junitPath, reportPath);

    const testWorker::EndReason reason = m_worker->endReason();
    if (reason == testWorker::EndReason::PortFailed) {
        m_exitCode = 2;
        error(QStringLiteral("cannot open port %1").arg(m_setup.portName));
    } else if (m_fail > 0) {
        m_exitCode = 1;
        error(QStringLiteral("%1 of %2 cycles failed").arg(m_fail).arg(m_pass + m_fail));
    } else if (reason == testWorker::EndReason::GaveUp) {
        m_exitCode = 1;
        error(QStringLiteral("the run gave up"));
    } else if (m_pass == 0) {
        // Nothing failed because nothing was tried: no pass either.
        m_exitCode = 3;
        error(QStringLiteral("no cycle counted before the run ended (%1)").arg(testWorker::endReasonText(reason)));
    } else {
        m_exitCode = 0;
    }
    if (incomplete && m_exitCode != 2)
        m_exitCode = FilesIncomplete;
    emit finished();
}

bool HeadlessRun::writeJUnit(const QString &recordFile)
{
    JUnitReport report(m_setup.caseTag(), m_verdicts);
    if (!recordFile.isEmpty())
        report.readRecords(recordFile); // without it the verdicts alone make the report
    if (!report.write(m_options.junitFile, m_started))
        return false;
    if (recordFile.isEmpty() && m_verdicts.count() > 0)
        error(QStringLiteral("no record file; the JUnit report has every cycle from the run itself"));
    else if (report.cyclesOnRecord() < m_verdicts.count())
        error(QStringLiteral("the record file holds %1 of %2 counted cycles; the JUnit report has the others "
                             "from the run itself")
                  .arg(report.cyclesOnRecord())
                  .arg(m_verdicts.count()));
    return true;
}

bool HeadlessRun::writeReport(const QString &recordFile)
{
    // The report is made of the records: without them there is nothing to show.
    RunReport report;
    if (recordFile.isEmpty() || !report.read(recordFile)) {
        error(QStringLiteral("no record file to make the report %1 of").arg(m_options.reportFile));
        return false;
    }
    QString why;
    if (!RunReportWriter::write(report, m_options.reportFile, &why)) {
        error(QStringLiteral("cannot write the report %1 (%2)").arg(m_options.reportFile, why));
        return false;
    }
    return true;
}

void HeadlessRun::printSummary(const QString &logPath, const QString &resultPath, const QString &recordFile,
                               const QString &junitPath, const QString &reportPath)
{
    const auto average = [](double total, int n) {
        return n > 0 ? RunFiles::averageSeconds(total, n) : QStringLiteral("-");
    };
    const qint64 seconds = m_clock.elapsed() / 1000;
    const QString duration = QStringLiteral("%1:%2:%3")
                                 .arg(seconds / 3600)
                                 .arg((seconds / 60) % 60, 2, 10, QLatin1Char('0'))
                                 .arg(seconds % 60, 2, 10, QLatin1Char('0'));
    const QDir out(m_options.outDir);
    const auto print = [this](const QString &text) { m_out.line(text.toLocal8Bit()); };
    print(QString());
    print(QStringLiteral("%1: %2").arg(m_setup.caseTag(),
                                       testWorker::endReasonText(m_worker->endReason())));
    print(QStringLiteral("Cycles: %1  PASS: %2  FAIL: %3  FPY: %4%")
              .arg(m_pass + m_fail)
              .arg(m_pass)
              .arg(m_fail)
              .arg(RunFiles::fpy(m_pass, m_fail)));
    print(QStringLiteral("Avg Dial-up Time: %1  Avg Hang-up Time: %2")
              .arg(average(m_dialUpTotal, m_dialUps), average(m_hangUpTotal, m_hangUps)));
    print(QStringLiteral("Duration: %1").arg(duration));
    if (!logPath.isEmpty())
        print(QStringLiteral("Log: %1").arg(out.filePath(logPath)));
    if (!resultPath.isEmpty())
        print(QStringLiteral("Result: %1").arg(out.filePath(resultPath)));
    if (!recordFile.isEmpty())
        print(QStringLiteral("Records: %1%2").arg(recordFile, m_recordsIncomplete ? QStringLiteral(" (incomplete)") : QString()));
    if (!junitPath.isEmpty())
        print(QStringLiteral("JUnit: %1").arg(junitPath));
    if (!reportPath.isEmpty())
        print(QStringLiteral("Report: %1").arg(reportPath));
}
