// The loop every case runs through, and the run's record file. A case
// supplies its cycle; the loop owns the separator, the pauses, the stop
// checks between cycles, the give-up rule, the run limits and the
// reporting of each counted cycle. A cycle cut short by a stop or by the
// run's time limit counts nothing; a step that really failed counts, even
// with a stop pending.
#include "testWorker.h"

#include "CycleRecords.h"
#include "LogTrail.h"
#include "RunFiles.h"
#include "TestCases.h"
#include "TestSetup.h"
#include "usb_relay_device.h"

#include <QCoreApplication>
#include <QJsonObject>
#include <QSysInfo>
#include <QRegularExpression>
#include <QThread>

QString testWorker::endReasonText(EndReason reason)
{
    switch (reason) {
    case EndReason::Stop:
        return QStringLiteral("Stop");
    case EndReason::GaveUp:
        return QStringLiteral("gave up");
    case EndReason::PortFailed:
        return QStringLiteral("port failed");
    case EndReason::ProgramClosed:
        return QStringLiteral("program closed");
    case EndReason::CycleLimit:
        return QStringLiteral("cycle limit");
    case EndReason::DurationLimit:
        return QStringLiteral("duration limit");
    case EndReason::FailureLimit:
        return QStringLiteral("failure limit");
    case EndReason::ConnectionLost:
        return QStringLiteral("connection lost");
    }
    return QString();
}

void testWorker::runCycles(const CaseRun &c)
{
    CycleScope run;
    m_endReason = EndReason::GaveUp;
    if (c.setUp && !c.setUp(run)) {
        if (stopRequested)
            m_endReason = EndReason(stopReason.load());
        return;
    }

    for (;;) {
        if (deadlinePassed()) {
            m_endReason = EndReason::DurationLimit;
            return;
        }
        if (c.stopCheckFirst && stopRequested) {
            m_endReason = EndReason(stopReason.load());
            return;
        }
        if (c.giveUp) {
            const QString why = c.giveUp();
            if (!why.isEmpty()) {
                log(why, QColor(Qt::red));
                m_endReason = EndReason::GaveUp;
                return;
            }
        }
        // The radio cases rest the chip a moment before each power-up; the
        // stop request is looked at only afterwards.
        if (c.radioPause) {
            reportStep(QStringLiteral("pause before the next cycle"), m_limits.cyclePauseMs);
            QThread::msleep(static_cast<unsigned long>(qMax(0, m_limits.cyclePauseMs)));
        }
        if (c.restMs > 0) {
            reportStep(QStringLiteral("pause before the next cycle"), c.restMs);
            if (waitFor(c.restMs, [] { return false; }) == WaitResult::Stopped) {
                m_endReason = EndReason(stopReason.load());
                return;
            }
        }
        const qint64 separatorNumber = m_logTrail.separatorSent();
        log(LogTrail::separator(), QColor(Qt::white));

        m_cycle = CycleRecord();
        m_cycle.separator = separatorNumber;
        m_cycle.number = m_passCount + m_failCount + 1;
        m_cycle.start = QDateTime::currentDateTime();
        m_cycle.startMs = monotonicMs();
        CycleEnd end;
        {
            CycleScope cycle;
            end = c.cycle(cycle);
            if (end == CycleEnd::Pass || end == CycleEnd::Fail) {
                (end == CycleEnd::Pass ? m_passCount : m_failCount) += 1;
                // On disk before anyone counts it, so a kill never leaves a
                // counted cycle without its record.
                writeCycleRecord(end == CycleEnd::Pass);
                emitResult(end == CycleEnd::Pass);
            }
        } // what the cycle set up is undone here, after its result

        if (end == CycleEnd::Stopped) {
            m_endReason = EndReason(stopReason.load());
            return;
        }
        if (m_cycle.connectionLost) {
            log(QStringLiteral("Failed!!!Connection to server lost, the run ends"), QColor(Qt::red));
            m_endReason = EndReason::ConnectionLost;
            return;
        }
        if (end == CycleEnd::EndRun || m_cycle.endRunAfterResult) {
            m_endReason = EndReason::GaveUp;
            return;
        }
        if (runLimitReached())
            return;
        if (m_cycle.stopCheckAfter && stopRequested) {
            m_endReason = EndReason(stopReason.load());
            return;
        }
        if (m_cycle.pauseAfterMs > 0)
            reportStep(QStringLiteral("pause before the next cycle"), m_cycle.pauseAfterMs);
        if (m_cycle.pauseAfterMs > 0 && waitFor(m_cycle.pauseAfterMs, [] { return false; }) == WaitResult::Stopped) {
            m_endReason = EndReason(stopReason.load());
            return;
        }
    }
}

bool testWorker::runLimitReached()
{
    if (m_runLimits.cycles > 0 && m_passCount + m_failCount >= m_runLimits.cycles) {
        m_endReason = EndReason::CycleLimit;
        return true;
    }
    if (m_runLimits.maxFailures > 0 && m_failCount >= m_runLimits.maxFailures) {
        m_endReason = EndReason::FailureLimit;
        return true;
    }
    return false;
}

bool testWorker::deadlinePassed()
{
    if (m_deadlineMs <= 0 || monotonicMs() < m_deadlineMs)
        return false;
    // From here on the run ends as if stopped: the cycle in progress counts nothing.
    if (!stopRequested) {
        stopReason = int(EndReason::DurationLimit);
        stopRequested = true;
    }
    return true;
}

bool testWorker::endRadioRun()
{
    // A run that ends after a failed power-off still holds the board;
    // nothing would ever close it, since the next run starts from a zero handle.
    if (relayHandle != 0) {
        usb_relay_device_close(relayHandle);
        relayHandle = 0;
    }
    return true;
}

void testWorker::noteLine(const QString &text, const QColor &color)
{
    // Only the worker thread's own lines during a cycle; "Stop ..." comes
    // from the GUI thread and is white.
    if (color == QColor(Qt::red))
        m_cycle.lastRed = text;
}

QString testWorker::recordFile() const
{
    return m_recordPath;
}

void testWorker::beginRecords()
{
    m_records.reset();
    m_recordPath.clear();
    m_logTrail.beginRun();
    if (!setup)
        return;
    const QDateTime now = QDateTime::currentDateTime();
    auto records = std::make_unique<CycleRecords>();
    QJsonObject limits{{QStringLiteral("connectMs"), m_limits.connectMs},
                       {QStringLiteral("writeMs"), m_limits.writeMs},
                       {QStringLiteral("echoWaitMs"), m_limits.echoWaitMs},
                       {QStringLiteral("registerMs"), m_limits.registerMs},
                       {QStringLiteral("deregisterMs"), m_limits.deregisterMs},
                       {QStringLiteral("reregisterMs"), m_limits.reregisterMs},
                       {QStringLiteral("dialBoundMs"), m_limits.dialBoundMs},
                       {QStringLiteral("pingStartMs"), m_limits.pingStartMs},
                       {QStringLiteral("pingFinishMs"), m_limits.pingFinishMs},
                       {QStringLiteral("sleepWakeMs"), m_limits.sleepWakeMs},
                       {QStringLiteral("cyclePauseMs"), m_limits.cyclePauseMs}};
    if (m_runLimits.cycles > 0)
        limits.insert(QStringLiteral("cycles"), m_runLimits.cycles);
    if (m_runLimits.durationMs > 0)
        limits.insert(QStringLiteral("durationMs"), double(m_runLimits.durationMs));
    if (m_runLimits.maxFailures > 0)
        limits.insert(QStringLiteral("maxFailures"), m_runLimits.maxFailures);
    QJsonObject head{{QStringLiteral("record"), QStringLiteral("run")},
                     {QStringLiteral("version"), QStringLiteral(TREVALO_VERSION)},
                     {QStringLiteral("case"), setup->caseTag()},
                     {QStringLiteral("bench"), setup->benchName.isEmpty() ? QSysInfo::machineHostName() : setup->benchName},
                     {QStringLiteral("port"), setup->portName},
                     {QStringLiteral("echoHost"), setup->hostName},
                     {QStringLiteral("echoPort"), setup->hostPort},
                     {QStringLiteral("pingHost"), setup->pingAddress},
                     {QStringLiteral("limits"), limits},
                     {QStringLiteral("start"), CycleRecords::isoStamp(now)}};
    if (setup->caseIndex == TestCases::Custom && setup->steps) {
        head.insert(QStringLiteral("stepsFile"), setup->steps->fileName);
        head.insert(QStringLiteral("stepsSha256"), setup->steps->sha256);
    }
    if (setup->needsRelay() && setup->relayDevice.serial_number)
        head.insert(QStringLiteral("board"), QString::fromLatin1(reinterpret_cast<const char *>(setup->relayDevice.serial_number)));
    if (!m_restartOf.isEmpty())
        head.insert(QStringLiteral("restartOf"), m_restartOf);
    if (m_recordsDir.isEmpty()) {
        emit sngRunStarted(head, QString());
        return;
    }
    if (!records->open(m_recordsDir, setup->caseTag(), now) || !records->append(head)) {
        log(QStringLiteral("Fail to open record file"), QColor(Qt::red));
        emit sngRunStarted(head, QString());
        return; // the run goes on without records
    }
    m_recordPath = records->path();
    m_records = std::move(records);
    emit sngRecordFile(m_recordPath);
    emit sngRunStarted(head, m_recordPath);
}

void testWorker::writeCycleRecord(bool pass)
{
    const CycleRecord &c = m_cycle;
    QJsonObject line{{QStringLiteral("record"), QStringLiteral("cycle")},
                     {QStringLiteral("cycle"), c.number},
                     {QStringLiteral("start"), CycleRecords::isoStamp(c.start)},
                     {QStringLiteral("durationMs"), double(monotonicMs() - c.startMs)},
                     {QStringLiteral("pass"), pass}};
    if (!pass && !c.failedStep.isEmpty()) {
        line.insert(QStringLiteral("failedStep"), c.failedStep);
        line.insert(QStringLiteral("failedLine"), c.failedLine);
    }
    const auto figure = [&line](const char *key, double value) {
        if (value >= 0)
            line.insert(QLatin1String(key), value);
    };
    if (c.rasError != 0)
        line.insert(QStringLiteral("rasError"), c.rasError);
    figure("dialUpMs", c.dialUpMs);
    figure("hangUpMs", c.hangUpMs);
    figure("pingReplies", c.pingReplies);
    figure("pingRttMs", c.pingRttMs);
    figure("bytesSent", c.bytesSent);
    figure("bytesReceived", c.bytesReceived);
    figure("registerMs", c.registerMs);
    figure("deregisterMs", c.deregisterMs);
    figure("reregisterMs", c.reregisterMs);
    // Where the cycle's log starts, when the sink has already taken its
    // separator: its stamp and its line in the log file that holds it.
    qint64 atMs = 0;
    qint64 logLine = 0;
    // Two plain fields rather than an object: readers of long runs take
    // cycle lines by a quick flat scan.
    if (m_logTrail.position(c.separator, &atMs, &logLine)) {
        line.insert(QStringLiteral("logAt"), CycleRecords::isoStamp(QDateTime::fromMSecsSinceEpoch(atMs)));
        line.insert(QStringLiteral("logLine"), double(logLine));
    }
    if (!c.values.isEmpty())
        line.insert(QStringLiteral("values"), c.values);
    if (m_records && !m_records->append(line)) {
        // Reported once; the run goes on without records.
        log(QStringLiteral("Fail to open record file"), QColor(Qt::red));
        m_records.reset();
    }
    // After the record: nobody counts a cycle the record file lacks.
    emit sngCycleCounted(line);
}

void testWorker::endRecords()
{
    if (!m_records)
        return;
    const QJsonObject last{{QStringLiteral("record"), QStringLiteral("end")},
                           {QStringLiteral("cycles"), m_passCount + m_failCount},
                           {QStringLiteral("pass"), m_passCount},
                           {QStringLiteral("fail"), m_failCount},
                           {QStringLiteral("fpy"), RunFiles::fpy(m_passCount, m_failCount)},
                           {QStringLiteral("end"), CycleRecords::isoStamp(QDateTime::currentDateTime())},
                           {QStringLiteral("durationMs"), double(monotonicMs() - m_runStartMs)},
                           {QStringLiteral("reason"), endReasonText(m_endReason)}};
    if (!m_records->append(last))
        log(QStringLiteral("Fail to open record file"), QColor(Qt::red));
    m_records.reset();
}
