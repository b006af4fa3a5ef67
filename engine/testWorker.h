// The test engine: runs the selected test case in its own thread, cycle
// after cycle, and reports log lines, cycle results, dial-up and hang-up
// times and the end of the run through its four signals.
#ifndef TESTWORKER_H
#define TESTWORKER_H

#include <QByteArray>
#include <QColor>
#include <QJsonObject>
#include <QObject>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "CZorvPppDialObj.h"
#include "CycleRecord.h"
#include "CycleScope.h"
#include "LogBackPressure.h"
#include "LogTrail.h"
#include "WorkerLimits.h"

class TestSetup;
class UartEngine;
class SocketMannger;
class CycleRecords;

class testWorker : public QObject
{
    Q_OBJECT

public:
    // Why a run ended, as its record file says.
    enum class EndReason { Stop, GaveUp, PortFailed, ProgramClosed, CycleLimit, DurationLimit, FailureLimit, ConnectionLost };
    static QString endReasonText(EndReason reason);

    // Limits of a run without a window; 0 means none.
    struct RunLimits
    {
        int cycles = 0;         // counted cycles
        qint64 durationMs = 0;  // from the start of the run
        int maxFailures = 0;    // failed cycles
    };

    explicit testWorker(QObject *parent = nullptr);
    ~testWorker() override;

    // GUI thread. Logs "Stop ...", raises the stop request and returns once
    // no run is in progress and no announced run is still pending. The
    // reason goes into the run's record file.
    void stopTest(EndReason reason = EndReason::Stop);
    // GUI thread, right before the window emits sngStartWorker(): a Stop that
    // arrives before start() has marked the run as running still ends it.
    void announceStart();

    // The operator's selections; not owned. Set before the first run.
    void setSetup(TestSetup *setup) { this->setup = setup; }

    // The window registers here as the consumer of sngLog and acknowledges
    // every line it takes, so the worker cannot outrun it without bound.
    LogBackPressure &logFlow() { return m_logFlow; }
    // Where the sink put each cycle's separator, for the cycle's record.
    LogTrail &logTrail() { return m_logTrail; }

    // While no run is active.
    void setLimits(const WorkerLimits &limits) { m_limits = limits; }
    const WorkerLimits &limits() const { return m_limits; }
    void setRunLimits(const RunLimits &limits) { m_runLimits = limits; }
    // Folder of the per-cycle record files; empty writes none.
    void setRecordsDir(const QString &dir) { m_recordsDir = dir; }
    // The record file (its name in the same folder) of a run cut short that
    // the next run takes up again, as that run's record says; empty for none.
    void setRestartOf(const QString &recordFile) { m_restartOf = recordFile; }
    // The record file of the latest run; empty when it wrote none.
    QString recordFile() const;
    // Why the latest run ended.
    EndReason endReason() const { return m_endReason; }

    // Run control
    void runSelectedCase();

    // Connection cases
    bool pppCallTest();
    bool externalShortShortTest();
    bool externalLongShortTest();
    bool externalLongLongTest();
    // Radio cases
    bool registerNetTest();
    bool sleepWakePppTest();

    // Link steps
    bool openPort();
    bool closePort();
    bool connectServer();
    bool sendData();
    bool checkReceive(const QByteArray &expected);
    bool closeSocket();
    bool waitAtResponse(QByteArray command, QByteArray expected, int timeoutMs);
    // After a power-on: when the run's port went with the chip's supply,
    // opens it again by name within timeoutMs, logging "Try to open the
    // port ..." and the channel's outcome. True when the port is open again
    // or never went (or a stop came); false with "Failed!!!Failed to open
    // port!" when it did not come back in time.
    bool reopenPort(int timeoutMs);
    // Dial-up and hang-up steps
    bool dialUpPpp();
    bool hangUpPpp();
    // Chip power
    bool powerOnChip();
    bool powerOffChip();
    // Ping probe
    bool pingHost();

    // How a bounded wait ended.
    enum class WaitResult { Done, TimedOut, Stopped };
    // Blocks on the worker thread's events (never spins) until done() holds,
    // timeoutMs passes or a stop is requested; done() is tested before the
    // first wait, after every delivered event and at least every
    // stopLatencyMs. A timeoutMs of 0 or less times out at once.
    WaitResult waitFor(int timeoutMs, const std::function<bool()> &done);

    // How a cycle ended: counted as passed or failed, cut short by a stop
    // request (counts nothing), or given up (counts nothing, ends the run).
    enum class CycleEnd { Pass, Fail, Stopped, EndRun };

signals:
    void sngUpdateRadio(bool bPass);
    void sngFinishAll();
    void sngLog(QString logtext, QColor color);
    void sngUpdateAvgTime(bool startPPP, int time);
    // What the run is doing now, in plain words, and how long that may take
    // at most (0: no limit of its own).
    void sngStep(QString step, int limitMs);
    // The record file a run has opened; not emitted when it writes none.
    void sngRecordFile(QString path);
    // Right before sngUpdateRadio(false): the step that failed and the red
    // line it logged, as the cycle's record holds them (empty when unknown).
    void sngCycleFailed(QString step, QString line);
    // A run has begun: its head line as the record file has it (also when no
    // record file could be written), and that file (empty when none).
    void sngRunStarted(QJsonObject head, QString recordFile);
    // A cycle was counted: its line as the record file has it.
    void sngCycleCounted(QJsonObject line);

public slots:
    void start();
    void onLog(QString log, QColor color);

private:
    friend class WorkerAccess; // the tests' view of the state below

    // What a case gives the cycle loop.
    struct CaseRun
    {
        // Run-level set-up; what it registers in the scope is undone when the
        // run ends. False ends the run before its first cycle.
        std::function<bool(CycleScope &run)> setUp;
        // One cycle; what it registers in the scope is undone after its
        // result has been reported.
        std::function<CycleEnd(CycleScope &cycle)> cycle;
        // Looked at before each cycle: a text (logged in red) ends the run.
        std::function<QString()> giveUp;
        bool stopCheckFirst = false; // look at the stop request before each cycle
        bool radioPause = false;     // the blocking pause before each radio cycle
    };
    void runCycles(const CaseRun &run);
    // A radio case's run: the pause before each cycle, and a board still
    // held when the run ends released.
    CaseRun radioRun();
    // Runs a step of the cycle under its name, so a failure can be recorded
    // with the step and the red line it logged. m_stepCutShort tells
    // afterwards whether a stop request ended it before its verdict.
    template <typename Step>
    bool step(const char *name, Step &&run)
    {
        m_cycle.step = QString::fromLatin1(name);
        m_stepCutShort = false;
        const bool ok = run();
        if (!ok && m_cycle.failedStep.isEmpty()) {
            m_cycle.failedStep = m_cycle.step;
            m_cycle.failedLine = m_cycle.lastRed;
        }
        return ok;
    }
    // The echo exchange of a TCP cycle: Pass, Fail (a wrong or missing echo
    // also ends the run) or Stopped.
    CycleEnd echoExchange();
    // Connect, exchange and close of a cycle that opens its own TCP
    // connection; Pass once the socket is closed again.
    CycleEnd tcpRound(CycleScope &cycle);
    bool runLimitReached();
    bool deadlinePassed();
    void beginRecords();
    void writeCycleRecord(bool pass);
    void endRecords();
    void noteLine(const QString &text, const QColor &color);

    // A failed dial's RAS error code, on record and, where there is one,
    // in the log with its text.
    void reportDialError(int code);
    // Logs in yellow what the dial did besides dialling (a leftover pppd ended).
    void reportDialNotice();
    void log(const QString &text, const QColor &color);
    void reportStep(const QString &step, int limitMs = 0) { emit sngStep(step, limitMs); }
    // "512 bytes", "1.2 KB": a payload's size as the status shows it.
    static QString sizeText(qint64 bytes);
    void emitResult(bool pass);
    // Milliseconds on the monotonic clock, never going back.
    static qint64 monotonicMs();
    // Ends a radio case; a board still held after a failed power-off is released.
    bool endRadioRun();

    // A run is announced or in progress. The pending mark is read first:
    // start() raises running before it drops the mark, so a run that is
    // starting is seen by one of the two loads. In the other order both
    // stores could fall between the loads and a live run would look idle.
    template <class Flag>
    static bool runActive(const Flag &pending, const Flag &running)
    {
        return pending.load() || running.load();
    }

    // Shared with the GUI thread.
    std::atomic<bool> running{false};
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> startPending{false};
    std::atomic<int> stopReason{int(EndReason::Stop)};

    // Worker thread only.
    intptr_t relayHandle = 0;
    int pppFailCount = 0;
    int tcpFailCount = 0;
    // The last step returned because of a stop request (or the run's time
    // limit), not on its own verdict: its cycle counts nothing. A step that
    // really failed with a stop pending still counts.
    bool m_stepCutShort = false;
    qint64 startTime = 0; // monotonic ms, start of the last timed dial-up or hang-up
    qint64 endTime = 0;   // monotonic ms, its end
    QByteArray sentData;
    CZorvPppDialObj pppDial;
    TestSetup *setup = nullptr;      // not owned
    UartEngine *uart = nullptr;      // child, created by start()
    // The device the run's port led to when the run opened it; a reopen
    // refuses another one.
    QString m_portIdentity;
    SocketMannger *socketMgr = nullptr; // child, created by start()

    WorkerLimits m_limits;
    RunLimits m_runLimits;
    QString m_recordsDir;
    QString m_restartOf;
    EndReason m_endReason = EndReason::Stop;
    qint64 m_runStartMs = 0;
    qint64 m_deadlineMs = 0; // monotonic ms; 0 when the run has no duration limit
    int m_passCount = 0;
    int m_failCount = 0;
    CycleRecord m_cycle;
    std::unique_ptr<CycleRecords> m_records; // open while the run writes it
    QString m_recordPath;
    LogBackPressure m_logFlow;
    LogTrail m_logTrail;
};

#endif // TESTWORKER_H
