// The window's status bar: during a run the case, the cycle, the run time,
// the relay channel and PPP peer of this chip (several may share a PC),
// what the worker is doing with the time it has left for it, and the last
// cycle's verdict with its dial-up and hang-up times; when idle, how the
// last run ended and how long it lasted. Fed by the worker's signals.
#ifndef RUNSTATUSBAR_H
#define RUNSTATUSBAR_H

#include <QElapsedTimer>
#include <QPointer>
#include <QStatusBar>
#include <QString>

class QLabel;
class QTimer;
class TestSetup;
class testWorker;

class RunStatusBar : public QStatusBar
{
    Q_OBJECT

public:
    RunStatusBar(const TestSetup *setup, QWidget *parent);

    // Listens to the worker's signals from now on.
    void follow(testWorker *worker);

    QString runText() const;
    QString stepText() const;
    QString lastCycleText() const;

    // "0:07:12"
    static QString clockText(qint64 ms);
    // "7:12", or "1:02:03" from an hour on: time left, rounded up to the second.
    static QString countdownText(qint64 ms);

    // Before the first run, what to do next to get one going.
    void setIdleHint(const QString &hint);

    // The pppd peer the dialling cases call, shown during their runs;
    // empty shows none (Windows dials through RAS).
    void setPppPeer(const QString &peer);
    // A peer name cut to this many characters in the middle, so the run line
    // keeps to the form's width; the whole name is in its tool tip.
    static constexpr int peerTextLength = 24;

public slots:
    // The window has asked the worker for a run.
    void onRunStarted();

private slots:
    void onStep(const QString &step, int limitMs);
    void onUpdateRadio(bool pass);
    void onUpdateAvgTime(bool startPPP, int time);
    void onFinishAll();
    void refresh();

private:
    const TestSetup *m_setup;
    QPointer<testWorker> m_worker; // gone before the window when it closes
    QLabel *m_run;
    QLabel *m_step;
    QLabel *m_last;
    QTimer *m_tick;

    bool m_hadRun = false;
    int m_runsPending = 0; // Starts whose end has not arrived yet
    QString m_caseName;
    QString m_pppPeer;
    QString m_chipText; // channel and peer of the run in progress
    bool m_peerCut = false;
    QElapsedTimer m_runClock;
    int m_counted = 0;
    QString m_stepName;
    int m_stepLimitMs = 0;
    QElapsedTimer m_stepClock;
    int m_dialUpMs = -1; // of the cycle in progress
    int m_hangUpMs = -1;
};

#endif // RUNSTATUSBAR_H
