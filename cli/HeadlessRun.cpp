#include "HeadlessRun.h"

#include "BenchClient.h"
#include "CycleRecords.h"
#include "JUnitReport.h"
#include "RunFiles.h"
#include "StreamedLog.h"
#include "TestCases.h"
#include "UartEngine.h"
#include "testWorker.h"
#include "usb_relay_device.h"

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
    m_setup.caseIndex = m_options.caseIndex;

    QString port = m_options.port;
    if (port.isEmpty() && BenchClient::isAvailable())
        port = BenchClient::atPortPath();
    if (m_options.caseIndex == TestCases::RegisterNet && port.isEmpty()) {
        m_error = QStringLiteral("no AT port given (--port)");
        return false;
    }
    if (!port.isEmpty() && !portExists(port)) {
        m_error = QStringLiteral("no such port: %1").arg(port);
        return false;
    }
    m_setup.portName = port;

    if (TestCases::needsRelay(m_options.caseIndex)) {
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
    m_worker->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    connect(m_worker, &testWorker::sngLog, this, &HeadlessRun::onLog);
    connect(m_worker, &testWorker::sngCycleFailed, this, &HeadlessRun::onCycleFailed);
    connect(m_worker, &testWorker::sngUpdateRadio, this, &HeadlessRun::onResult);
    connect(m_worker, &testWorker::sngUpdateAvgTime, this, &HeadlessRun::onAvgTime);
    connect(m_worker, &testWorker::sngFinishAll, this, &HeadlessRun::onFinishAll);
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
    const QString line = m_stamper.stampLine(text);
    if (!m_log.append(line.toLocal8Bit()) && !m_logFailed) {
        m_logFailed = true; // said once; the lines are kept for the next try
        std::fprintf(stderr, "trevalo-run: cannot write the log under %s\n", qPrintable(m_options.outDir));
    }
    if (m_options.quiet)
        return;
    const char *ansi = m_colour ? ansiFor(color) : nullptr;
    if (ansi)
        std::printf("%s%s\033[0m\n", ansi, line.toLocal8Bit().constData());
    else
        std::printf("%s\n", line.toLocal8Bit().constData());
    std::fflush(stdout);
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
    std::printf("cycle %lld %s  pass %lld  fail %lld  FPY %d%%  %llds\n", m_pass + m_fail, pass ? "PASS" : "FAIL",
                m_pass, m_fail, RunFiles::fpy(m_pass, m_fail), m_clock.elapsed() / 1000);
    std::fflush(stdout);
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
    if (m_log.save(QDateTime::currentDateTime()).isEmpty())
        onLog(QStringLiteral("Fail to open log file"), Qt::red);
}

void HeadlessRun::onFinishAll()
{
    m_finished = true;
    m_autoSave.stop();
    const QDateTime now = QDateTime::currentDateTime();
    const QString logPath = m_log.save(now);
    if (logPath.isEmpty())
        std::fprintf(stderr, "trevalo-run: cannot write the log file under %s\n", qPrintable(m_options.outDir));
    const QString tag = TestCases::resultTag(m_options.caseIndex);
    const QString resultPath = RunFiles::writeResult(m_options.outDir, tag, RunFiles::countLines(m_pass, m_fail), now);
    if (resultPath.isEmpty())
        std::fprintf(stderr, "trevalo-run: cannot write the result file under %s\n", qPrintable(m_options.outDir));

    const QString recordFile = m_worker->recordFile();
    if (!m_options.junitFile.isEmpty() && !writeJUnit(recordFile))
        std::fprintf(stderr, "trevalo-run: cannot write the JUnit report %s\n", qPrintable(m_options.junitFile));

    printSummary(logPath, resultPath, recordFile);

    const testWorker::EndReason reason = m_worker->endReason();
    if (reason == testWorker::EndReason::PortFailed) {
        m_exitCode = 2;
        std::fprintf(stderr, "trevalo-run: cannot open port %s\n", qPrintable(m_setup.portName));
    } else if (m_fail > 0) {
        m_exitCode = 1;
        std::fprintf(stderr, "trevalo-run: %lld of %lld cycles failed\n", m_fail, m_pass + m_fail);
    } else if (reason == testWorker::EndReason::GaveUp) {
        m_exitCode = 1;
        std::fprintf(stderr, "trevalo-run: the run gave up\n");
    } else if (m_pass == 0) {
        // Nothing failed because nothing was tried: no pass either.
        m_exitCode = 3;
        std::fprintf(stderr, "trevalo-run: no cycle counted before the run ended (%s)\n",
                     qPrintable(testWorker::endReasonText(reason)));
    } else {
        m_exitCode = 0;
    }
    emit finished();
}

bool HeadlessRun::writeJUnit(const QString &recordFile)
{
    JUnitReport report(TestCases::resultTag(m_options.caseIndex), m_verdicts);
    if (!recordFile.isEmpty())
        report.readRecords(recordFile); // without it the verdicts alone make the report
    if (!report.write(m_options.junitFile, m_started))
        return false;
    if (recordFile.isEmpty() && m_verdicts.count() > 0)
        std::fprintf(stderr, "trevalo-run: no record file; the JUnit report has every cycle from the run itself\n");
    else if (report.cyclesOnRecord() < m_verdicts.count())
        std::fprintf(stderr,
                     "trevalo-run: the record file holds %d of %d counted cycles; the JUnit report has the others "
                     "from the run itself\n",
                     report.cyclesOnRecord(), m_verdicts.count());
    return true;
}

void HeadlessRun::printSummary(const QString &logPath, const QString &resultPath, const QString &recordFile)
{
    const auto average = [](double total, int n) {
        return n > 0 ? QString::number(total / n, 'g', 6) + QLatin1Char('s') : QStringLiteral("-");
    };
    const qint64 seconds = m_clock.elapsed() / 1000;
    const QString duration = QStringLiteral("%1:%2:%3")
                                 .arg(seconds / 3600)
                                 .arg((seconds / 60) % 60, 2, 10, QLatin1Char('0'))
                                 .arg(seconds % 60, 2, 10, QLatin1Char('0'));
    const QDir out(m_options.outDir);
    std::printf("\n%s: %s\n", qPrintable(TestCases::resultTag(m_options.caseIndex)),
                qPrintable(testWorker::endReasonText(m_worker->endReason())));
    std::printf("Cycles: %lld  PASS: %lld  FAIL: %lld  FPY: %d%%\n", m_pass + m_fail, m_pass, m_fail,
                RunFiles::fpy(m_pass, m_fail));
    std::printf("Avg Dial-up Time: %s  Avg Hang-up Time: %s\n", qPrintable(average(m_dialUpTotal, m_dialUps)),
                qPrintable(average(m_hangUpTotal, m_hangUps)));
    std::printf("Duration: %s\n", qPrintable(duration));
    if (!logPath.isEmpty())
        std::printf("Log: %s\n", qPrintable(out.filePath(logPath)));
    if (!resultPath.isEmpty())
        std::printf("Result: %s\n", qPrintable(out.filePath(resultPath)));
    if (!recordFile.isEmpty())
        std::printf("Records: %s\n", qPrintable(recordFile));
    if (!m_options.junitFile.isEmpty())
        std::printf("JUnit: %s\n", qPrintable(m_options.junitFile));
    std::fflush(stdout);
}
