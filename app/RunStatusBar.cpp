#include "RunStatusBar.h"

#include <QGridLayout>
#include <QLabel>
#include <QStringList>
#include <QTimer>

#include "TestCases.h"
#include "TestSetup.h"
#include "testWorker.h"

namespace {
QString secondsText(int ms)
{
    return QString::number(ms / 1000.0, 'f', 2) + QStringLiteral(" s");
}
} // namespace

RunStatusBar::RunStatusBar(const TestSetup *setup, QWidget *parent)
    : QStatusBar(parent), m_setup(setup), m_run(new QLabel(this)), m_step(new QLabel(this)),
      m_last(new QLabel(this)), m_tick(new QTimer(this))
{
    setObjectName(QStringLiteral("runStatus"));
    setSizeGripEnabled(false);
    // A size smaller than the form's, and long texts cut rather than
    // widening the window past its form's size.
    QFont small = font();
    small.setPointSize(qMax(7, small.pointSize() - 2));
    setFont(small);
    // Two lines, so that at the form's width nothing is cut or overlaps:
    // the run with its case on the first, the step and the last cycle's
    // verdict under it. A window made narrower cuts them rather than widening.
    auto *lines = new QWidget(this);
    auto *grid = new QGridLayout(lines);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setVerticalSpacing(0);
    for (QLabel *label : {m_run, m_step, m_last}) {
        label->setMinimumWidth(1);
        label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        // A peer or host name from the settings is text, never markup.
        label->setTextFormat(Qt::PlainText);
    }
    // The verdict takes what it needs, the step (or the hint before the
    // first run, when there is no verdict) the rest of its line.
    m_last->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    m_run->setObjectName(QStringLiteral("runLine"));
    m_step->setObjectName(QStringLiteral("stepLine"));
    m_last->setObjectName(QStringLiteral("lastCycleLine"));
    m_last->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    grid->addWidget(m_run, 0, 0, 1, 2);
    grid->addWidget(m_step, 1, 0);
    grid->addWidget(m_last, 1, 1);
    grid->setColumnStretch(0, 1);
    addWidget(lines, 1);
    m_run->setText(tr("No run yet"));
    // Only the countdown and the run time move between the worker's signals.
    m_tick->setInterval(1000);
    connect(m_tick, &QTimer::timeout, this, &RunStatusBar::refresh);
}

void RunStatusBar::follow(testWorker *worker)
{
    m_worker = worker;
    connect(worker, &testWorker::sngStep, this, &RunStatusBar::onStep);
    connect(worker, &testWorker::sngUpdateRadio, this, &RunStatusBar::onUpdateRadio);
    connect(worker, &testWorker::sngUpdateAvgTime, this, &RunStatusBar::onUpdateAvgTime);
    connect(worker, &testWorker::sngFinishAll, this, &RunStatusBar::onFinishAll);
}

QString RunStatusBar::runText() const
{
    return m_run->text();
}

QString RunStatusBar::stepText() const
{
    return m_step->text();
}

QString RunStatusBar::lastCycleText() const
{
    return m_last->text();
}

QString RunStatusBar::clockText(qint64 ms)
{
    const qint64 s = qMax<qint64>(0, ms) / 1000;
    return QStringLiteral("%1:%2:%3")
        .arg(s / 3600)
        .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(s % 60, 2, 10, QLatin1Char('0'));
}

QString RunStatusBar::countdownText(qint64 ms)
{
    const qint64 s = (qMax<qint64>(0, ms) + 999) / 1000;
    if (s >= 3600)
        return clockText(s * 1000);
    return QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
}

void RunStatusBar::setIdleHint(const QString &hint)
{
    if (!m_hadRun)
        m_step->setText(hint);
}

void RunStatusBar::setPppPeer(const QString &peer)
{
    m_pppPeer = peer;
}

void RunStatusBar::onRunStarted()
{
    m_hadRun = true;
    ++m_runsPending;
    const int caseIndex = m_setup ? m_setup->caseIndex : -1;
    m_caseName = caseIndex == TestCases::Custom && m_setup->steps ? m_setup->steps->name
                                                                  : TestCases::selectorText(caseIndex);
    // The settings are fixed while the run lasts.
    QStringList chip;
    m_peerCut = false;
    if (m_setup && m_setup->needsRelay())
        chip << tr("relay channel %1").arg(m_setup->relayChannel);
    if (!m_pppPeer.isEmpty() && !m_caseName.isEmpty() && m_setup->dials()) {
        QString peer = m_pppPeer;
        if (peer.size() > peerTextLength) {
            const int head = (peerTextLength - 1) / 2;
            peer = peer.left(head) + QChar(0x2026) + peer.right(peerTextLength - 1 - head);
            m_peerCut = true;
        }
        chip << tr("PPP peer %1").arg(peer);
    }
    m_chipText = chip.join(QStringLiteral(" | "));
    m_runClock.start();
    m_counted = 0;
    m_stepName = tr("starting");
    m_stepLimitMs = 0;
    m_stepClock.start();
    m_dialUpMs = m_hangUpMs = -1;
    m_last->clear();
    m_tick->start();
    refresh();
}

void RunStatusBar::onStep(const QString &step, int limitMs)
{
    if (m_runsPending <= 0)
        return;
    m_stepName = step;
    m_stepLimitMs = limitMs;
    m_stepClock.start();
    refresh();
}

void RunStatusBar::onUpdateAvgTime(bool startPPP, int time)
{
    // A dial-up opens the figures of a new cycle; a hang-up that comes after
    // the verdict (a failed cycle undone afterwards) is not shown with it.
    if (startPPP) {
        m_dialUpMs = time;
        m_hangUpMs = -1;
    } else {
        m_hangUpMs = time;
    }
}

void RunStatusBar::onUpdateRadio(bool pass)
{
    if (m_runsPending <= 0)
        return;
    ++m_counted;
    QString text = tr("cycle %1 %2").arg(m_counted).arg(pass ? tr("PASS") : tr("FAIL"));
    if (m_dialUpMs >= 0)
        text += tr(", dial-up %1").arg(secondsText(m_dialUpMs));
    if (m_hangUpMs >= 0)
        text += tr(", hang-up %1").arg(secondsText(m_hangUpMs));
    m_last->setText(text);
    m_last->setStyleSheet(pass ? QString() : QStringLiteral("color: rgb(255, 0, 0);"));
    m_dialUpMs = m_hangUpMs = -1;
    refresh();
}

void RunStatusBar::onFinishAll()
{
    // Every Start ends in exactly one of these; an end that belongs to an
    // earlier run must not close the display of a newer one.
    if (m_runsPending <= 0 || --m_runsPending > 0)
        return;
    m_tick->stop();
    // No run goes on now, so the worker's account of the last one holds still.
    const QString reason = m_worker ? testWorker::endReasonText(m_worker->endReason()) : QString();
    m_run->setText(tr("Last run: %1 after %2, %3 cycles").arg(reason, clockText(m_runClock.elapsed())).arg(m_counted));
    m_run->setToolTip(m_caseName);
    m_step->clear();
}

void RunStatusBar::refresh()
{
    if (m_runsPending <= 0)
        return;
    QString run = tr("cycle %1 | %2 | %3").arg(m_counted + 1).arg(clockText(m_runClock.elapsed()), m_caseName);
    if (!m_chipText.isEmpty())
        run += QStringLiteral(" | ") + m_chipText;
    m_run->setText(run);
    m_run->setToolTip(m_peerCut ? run + QLatin1Char('\n') + tr("PPP peer %1").arg(m_pppPeer) : run);
    QString step = m_stepName;
    if (m_stepLimitMs > 0)
        step += tr(", %1 left").arg(countdownText(m_stepLimitMs - m_stepClock.elapsed()));
    m_step->setText(step);
}
