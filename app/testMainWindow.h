// The operator's main window: port, relay board and case selection, Start
// and Stop, the worker thread, the coloured log view with its log files, and
// the pass/fail statistics with the result file.
#ifndef TESTMAINWINDOW_H
#define TESTMAINWINDOW_H

#include "LogStamper.h"
#include "RelayChannelLock.h"

#include <QColor>
#include <QDateTime>
#include <QElapsedTimer>
#include <QMainWindow>
#include <QString>
#include <QStringList>
#include <QTextCursor>
#include <QVector>

class QAction;
class QComboBox;
class QEvent;
class QLabel;
class QLineEdit;
class QThread;
class ReportSaver;
class RunStatusBar;
class QTimer;
class TestSetup;
class MetricsWriter;
class testWorker;
struct usb_relay_device_info;

namespace Ui {
class testMainWindow;
}

class testMainWindow : public QMainWindow
{
    Q_OBJECT

public:
    enum RunState : qint32 { NotReady = 0, Ready = 1, Running = 2 };

    explicit testMainWindow();
    ~testMainWindow() override;

    bool eventFilter(QObject *watched, QEvent *event) override;

    // Names the window's data folder in its title, "<name> — ZORV Trevalo
    // Tool ...", so that windows of several chips on one PC tell apart.
    void setInstanceName(const QString &name);

    // Read access for the program's own checks and tests.
    RunState state() const { return runState; }
    testWorker *workerObject() const { return worker; }
    TestSetup *testSetup() const { return setup; }
    QTimer *autoSaveTimerObject() const { return autoSaveTimer; }
    const usb_relay_device_info *relayList() const { return relayDevices; }
    // The metrics file's writer; null unless the settings name a folder.
    MetricsWriter *metricsWriter() const { return m_metrics; }

    // "MM-dd-hh-mm-ss-" followed by the milliseconds without leading zeros,
    // written twice: the stamp every log line has always carried.
    static QString logStamp(const QDateTime &when);
    // "yyyy-MM-dd-hh-mm-ss", used in log and result file names.
    static QString fileStamp(const QDateTime &when);
    // The auto-save period actually used for a configured value: 0 (junk in
    // the settings file) means the default hour, anything below a minute is
    // raised to a minute, and the timer's int range is respected.
    static int effectiveAutoSaveInterval(unsigned int configuredMs);

    // Writes the log view to "log/<stamp>.log". Only this window's own
    // earlier save of the view replaces a file; any other file of that name
    // (another run's, or lines the view no longer has) is kept and the view
    // goes to a "-2", "-3", ... sibling. Returns the path written, empty when
    // the file could not be written.
    QString saveLogAt(const QDateTime &when);
    // Writes "result/<tag>.<stamp>.txt"; returns the path, empty on failure.
    // Only the run's own earlier file is replaced: when another run's file
    // has that name, it goes to "-2", "-3", ... instead.
    QString writeResultFileAt(const QDateTime &when);

    // Appends one line as given, in its colour (green lines in bold), and
    // rebuilds the view's colour rules. Lines still waiting are written first.
    void appendLogLine(const QString &line, const QColor &color);
    // Writes the stamped lines that arrived since the last repaint into the
    // view now, as one edit; during a run a view past its bound is then
    // saved and cleared.
    void flushLog();
    // Lines stamped but not yet in the view, and lines written into it so far.
    int pendingLogLines() const { return int(m_pendingLog.size()); }
    qint64 logLinesShown() const { return m_linesShown; }

    // During a run the view is saved and cleared whenever it holds more
    // lines or characters than this.
    static constexpr int defaultViewLineBound = 50000;
    static constexpr qint64 defaultViewCharBound = 16 * 1024 * 1024;
    void setLogViewBound(int lines, qint64 characters); // tests shorten it
    void saveLog();
    void writeResultFile();

    // Refill the two lists as a press on their box does; both do nothing
    // while a run is in progress.
    void refreshPortList();
    void refreshDeviceList();
    void updateControls();

    // The serial ports present, then the virtual bench's AT port if a bench runs.
    static QStringList availablePortNames();
    // Puts names into the port box, keeping the previous choice by name.
    void fillPortList(const QStringList &names);

    // Find over the lines in the view (case-insensitive): marks the next
    // match after the marked one, or the previous one, wrapping at either
    // end; false when the view holds none. While something is marked the
    // view stays where it is as lines arrive, until the find bar closes.
    bool findInLog(const QString &text, bool backward = false);
    int countInLog(const QString &text) const;
    // Marks the next (previous) red line, wrapping; false when there is none.
    bool gotoFailure(bool backward = false);
    // The marked text (a match or a whole red line), empty when none.
    QString markedLogText() const;
    // Ctrl+F: opens the find bar over the view; Escape closes it and the
    // view follows the newest line again.
    void showFindBar();
    void hideFindBar();

    // Writes the report of the current or last run (its record file) to
    // htmlPath; false, with a red line saying so, when it cannot.
    bool saveReport(const QString &htmlPath);

signals:
    void sngStartWorker();

private slots:
    void onClearLog();
    void onStart();
    void onStop();
    void onCaseCBx(int index);
    void onPortChange(int);
    void onUpdateRadio(bool bPass);
    void onFinishAll();
    void onLogText(QString text, QColor color);
    void onDeviceChange(int);
    void onAbout();
    void onUpdateAvgTime(bool startPPP, int time);
    void onAutoSaveLog();
    void onSaveReport();

private:
    // The custom case: asks for its steps file (the last one offered) and
    // reads it; a file that cannot be used is a red line and no run.
    void chooseStepsFile();
    bool loadStepsFile();
    struct LogLine
    {
        QString text;
        QColor color;
    };
    void writePendingLines();
    void writeLogLines(const QVector<LogLine> &lines);
    void clearLogView();
    void saveIfOverBound();
    void resetStatistics();
    // A red line when the settings file could not be used.
    void showSettingsProblem();
    // Writes the metrics file when the settings name a folder for it.
    void startMetrics();
    void reportMetricsFailure(const QString &path);
    void fillComboKeepingChoice(QComboBox *box, const QStringList &names);
    void buildFindBar();
    void placeFindBar();
    void markLog(const QTextCursor &mark, bool wholeLine);
    void clearLogMark();
    void updateFindCount();

    Ui::testMainWindow *ui = nullptr;
    QAction *aboutAction = nullptr;
    QAction *m_reportAction = nullptr;
    QString m_reportRecords; // the record file of the current or last run
    ReportSaver *m_reportSaver = nullptr;
    RunState runState = NotReady;
    qint32 passCount = 0;
    qint32 failCount = 0;
    qint32 dialUpCount = 0;
    qint32 hangUpCount = 0;
    double dialUpTotal = 0.0;
    double hangUpTotal = 0.0;
    QTimer *autoSaveTimer = nullptr;
    TestSetup *setup = nullptr;
    testWorker *worker = nullptr;
    usb_relay_device_info *relayDevices = nullptr;
    QThread *workerThread = nullptr;
    MetricsWriter *m_metrics = nullptr;
    // The result file the current run wrote last; emptied at Start.
    QString runResultPath;
    // The log file the view's text was last saved to; emptied with the view.
    QString m_logPath;
    bool m_settingsProblemInRun = false;

    // Stamped lines waiting for the next repaint, oldest first.
    QVector<LogLine> m_pendingLog;
    QTimer *m_logFlushTimer = nullptr;
    QElapsedTimer m_pendingSince;
    LogStamper m_stamper;
    // The supply channel of the run in progress, against other runs on this PC.
    RelayChannelLock m_channelLock;
    qint64 m_linesShown = 0;
    // Lines of the view's text since it was last cleared, those on their
    // way included: where the next line goes in the view's log file.
    qint64 m_fileLines = 0;
    int m_viewLineBound = defaultViewLineBound;
    qint64 m_viewCharBound = defaultViewCharBound;
    // After a bound save failed, the next try waits for this many lines or
    // characters.
    int m_nextBoundTry = 0;
    qint64 m_nextBoundCharTry = 0;

    // The find bar floats over the view's top right corner.
    QWidget *m_findBar = nullptr;
    QLineEdit *m_findEdit = nullptr;
    QLabel *m_findCount = nullptr;
    RunStatusBar *m_runStatus = nullptr;
    // The match or red line marked; null when none. While one is, new lines
    // leave the view where it is.
    QTextCursor m_logMark;
    bool m_markIsMatch = false;
};

#endif // TESTMAINWINDOW_H
