// One test run without a window: the worker in its own thread, its log on
// standard output, the log, result and record files under the output
// folder, an optional JUnit report and a summary at the end.
#ifndef HEADLESSRUN_H
#define HEADLESSRUN_H

#include "ConsoleOutput.h"
#include "CycleVerdicts.h"
#include "LogStamper.h"
#include "RunOptions.h"
#include "StreamedLog.h"
#include "RelayChannelLock.h"
#include "TestSetup.h"

#include <QColor>
#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QThread>
#include <QTimer>

class testWorker;
class MetricsWriter;
struct usb_relay_device_info;

class HeadlessRun : public QObject
{
    Q_OBJECT

public:
    explicit HeadlessRun(const RunOptions &options, QObject *parent = nullptr);
    ~HeadlessRun() override;

    // Checks the port and the board and starts the run. False (with a
    // one-line reason in error()) when the set-up cannot run.
    bool start();
    QString error() const { return m_error; }
    // Like the Stop button: the cycle in progress counts nothing.
    void requestStop();
    // 0 every counted cycle passed, 1 a cycle failed or the run gave up,
    // 2 the set-up could not run, 3 the run ended (a duration limit, a
    // signal) before it counted a cycle, which proves nothing, 4 a log,
    // result, record, JUnit or report file could not be written completely (over 1
    // and 3: the files that were written do not hold the whole run); valid
    // after finished().
    int exitCode() const { return m_exitCode; }
    static constexpr int FilesIncomplete = 4;

signals:
    void finished();

private:
    void onLog(const QString &text, const QColor &color);
    void onCycleFailed(const QString &step, const QString &line);
    // atMs: the time to stamp, now when negative.
    void logLine(const QString &text, const QColor &color, qint64 atMs = -1);
    // One line on standard error when the log file stops or starts taking lines.
    void reportLogState(bool wasFailing);
    void error(const QString &text);
    void onResult(bool pass);
    void onAvgTime(bool dialUp, int ms);
    void onFinishAll();
    void saveLog();
    bool writeJUnit(const QString &recordFile);
    bool writeReport(const QString &recordFile);
    void printSummary(const QString &logPath, const QString &resultPath, const QString &recordFile,
                      const QString &junitPath, const QString &reportPath);

    // First, so they go last: whatever the run printed gets its chance to
    // reach the reader.
    ConsoleOutput m_out{1};
    ConsoleOutput m_err{2};
    const RunOptions m_options;
    TestSetup m_setup;
    RelayChannelLock m_channelLock; // held until the process ends
    testWorker *m_worker = nullptr;
    QThread m_thread;
    QTimer m_autoSave;
    usb_relay_device_info *m_boards = nullptr;
    MetricsWriter *m_metrics = nullptr; // child; with --metrics
    QString m_error;
    bool m_colour = false;
    bool m_stopping = false;
    bool m_finished = false;
    int m_exitCode = 2;

    StreamedLog m_log; // lines since the last save
    LogStamper m_stamper;
    bool m_recordsIncomplete = false;
    QDateTime m_started;
    QElapsedTimer m_clock;
    CycleVerdicts m_verdicts; // for the JUnit report
    CycleVerdicts::Failure m_failure; // of the cycle about to be counted
    qint64 m_pass = 0;
    qint64 m_fail = 0;
    double m_dialUpTotal = 0;
    double m_hangUpTotal = 0;
    int m_dialUps = 0;
    int m_hangUps = 0;
};

#endif // HEADLESSRUN_H
