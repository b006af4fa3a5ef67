// PPP dial-up and hang-up, timed for the window's averages.
#include "testWorker.h"

#include "DialNotifier.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QElapsedTimer>

bool testWorker::dialUpPpp()
{
    reportStep(QStringLiteral("dialling"), m_limits.dialBoundMs);
    int lastDialState = DialNotifier::NoReport;
    DialNotifier::arm(QAbstractEventDispatcher::instance());
    QElapsedTimer bound;
    bound.start();
    startTime = monotonicMs();

    RASDIALFUNC notifier = &DialNotifier::notify;
    if (!pppDial.dialUp(reinterpret_cast<void *>(notifier))) {
        DialNotifier::disarm();
        log(QStringLiteral("Failed!!!PPP Dial up failed!"), QColor(Qt::red));
        QCoreApplication::processEvents();
        reportDialError(int(pppDial.lastRefusal()));
        return false;
    }

    for (;;) {
        const int left = int(m_limits.dialBoundMs - bound.elapsed());
        const WaitResult wait = waitFor(left, [&] { return DialNotifier::state() != lastDialState; });
        if (wait == WaitResult::Stopped) {
            // Not a failure: the operator stopped; leave no half-made link.
            m_stepCutShort = true;
            DialNotifier::disarm();
            hangUpPpp();
            return false;
        }
        if (wait == WaitResult::TimedOut) {
            DialNotifier::disarm();
            log(QStringLiteral("Failed!!!PPP Dial up failed!"), QColor(Qt::red));
            QCoreApplication::processEvents();
            hangUpPpp();
            return false;
        }

        const int code = DialNotifier::state();
        switch (code) {
        case -1:
            DialNotifier::disarm();
            log(QStringLiteral("Failed!!!PPP Dial up failed!"), QColor(Qt::red));
            QCoreApplication::processEvents();
            reportDialError(DialNotifier::error());
            hangUpPpp();
            return false;
        case 0:
            DialNotifier::disarm();
            endTime = monotonicMs();
            log(QStringLiteral("PPP Dial up Success!"), QColor(Qt::green));
            emit sngUpdateAvgTime(true, int(endTime - startTime));
            QCoreApplication::processEvents();
            return true;
        case 1:
            log(QStringLiteral("Try to open the port ... ..."), QColor(Qt::white));
            break;
        case 2:
            log(QStringLiteral("Have connected to the device"), QColor(Qt::white));
            break;
        case 3:
            log(QStringLiteral("Try to Authenticate the usr/pwd ..."), QColor(Qt::white));
            break;
        case 4:
            log(QStringLiteral("Authenticate Ok"), QColor(Qt::white));
            break;
        default:
            log(QStringLiteral("PPP Connecting..."), QColor(Qt::white));
            break;
        }
        lastDialState = code;
    }
}

void testWorker::reportDialError(int code)
{
    m_cycle.rasError = code;
    if (code == 0)
        return;
    // RAS's words for the code; pppd's own reason where pppd dialled.
    char text[512];
    const QString line = pppDial.errorText(unsigned(code), text, sizeof(text))
                             ? QStringLiteral("RAS error %1: %2").arg(code).arg(QString::fromLocal8Bit(text))
                             : QStringLiteral("RAS error %1").arg(code);
    log(line, QColor(Qt::yellow));
    QCoreApplication::processEvents();
}

bool testWorker::hangUpPpp()
{
    log(QStringLiteral("close PPP..."), QColor(Qt::white));
    reportStep(QStringLiteral("hanging up"));
    startTime = monotonicMs();
    pppDial.hangUp();
    endTime = monotonicMs();
    log(QStringLiteral("Closed"), QColor(Qt::white));
    emit sngUpdateAvgTime(false, int(endTime - startTime));
    return true;
}
