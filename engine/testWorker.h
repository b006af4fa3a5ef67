// The test engine: runs the selected test case in its own thread, cycle
// after cycle, and reports log lines, cycle results, dial-up and hang-up
// times and the end of the run through its four signals.
#ifndef TESTWORKER_H
#define TESTWORKER_H

#include <QByteArray>
#include <QColor>
#include <QObject>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>

#include "CZorvPppDialObj.h"
#include "LogBackPressure.h"
#include "WorkerLimits.h"

class TestSetup;
class UartEngine;
class SocketMannger;

class testWorker : public QObject
{
    Q_OBJECT

public:
    explicit testWorker(QObject *parent = nullptr);
    ~testWorker() override;

    // GUI thread. Logs "Stop ...", raises the stop request and returns once
    // no run is in progress and no announced run is still pending.
    void stopTest();
    // GUI thread, right before the window emits sngStartWorker(): a Stop that
    // arrives before start() has marked the run as running still ends it.
    void announceStart();

    // The window registers here as the consumer of sngLog and acknowledges
    // every line it takes, so the worker cannot outrun it without bound.
    LogBackPressure &logFlow() { return m_logFlow; }

    // Tests only, while no run is active.
    void setLimits(const WorkerLimits &limits) { m_limits = limits; }
    const WorkerLimits &limits() const { return m_limits; }

    // Shared with the GUI thread.
    std::atomic<bool> running{false};
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> startPending{false};

    // Worker thread only.
    intptr_t relayHandle = 0;
    int pppFailCount = 0;
    int tcpFailCount = 0;
    qint64 startTime = 0; // monotonic ms, start of the last timed dial-up or hang-up
    qint64 endTime = 0;   // monotonic ms, its end
    QByteArray sentData;
    CZorvPppDialObj pppDial;
    TestSetup *setup = nullptr;      // not owned
    UartEngine *uart = nullptr;      // child, created by start()
    SocketMannger *socketMgr = nullptr; // child, created by start()

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

signals:
    void sngUpdateRadio(bool bPass);
    void sngFinishAll();
    void sngLog(QString logtext, QColor color);
    void sngUpdateAvgTime(bool startPPP, int time);

public slots:
    void start();
    void onLog(QString log, QColor color);

private:
    void log(const QString &text, const QColor &color);
    void emitResult(bool pass);
    // Milliseconds on the monotonic clock, never going back.
    static qint64 monotonicMs();

    // The start every radio cycle shares: pause, separator, chip on.
    enum class RadioCycle { Powered, Failed, EndRun };
    RadioCycle beginRadioCycle();
    // Ends a radio case; a board still held after a failed power-off is released.
    bool endRadioRun();

    WorkerLimits m_limits;
    LogBackPressure m_logFlow;
};

#endif // TESTWORKER_H
