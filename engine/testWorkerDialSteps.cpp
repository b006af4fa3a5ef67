// PPP dial-up and hang-up, timed for the window's averages.
#include "testWorker.h"

#include "DialNotifier.h"
#include "TestSetup.h"

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
    m_linkInterface.clear();

    // Each chip's modem is dialled through its own peer file (entry).
#if defined(Q_OS_WIN)
    const QByteArray entry = setup ? setup->rasEntry.toLocal8Bit() : QByteArray();
#else
    const QByteArray entry = setup ? setup->pppPeer.toLocal8Bit() : QByteArray();
#endif
    RASDIALFUNC notifier = &DialNotifier::notify;
    const bool accepted = pppDial.dialUp(reinterpret_cast<void *>(notifier), entry.constData());
    reportDialNotice();
    if (!accepted) {
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
            noteLinkInterface();
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

void testWorker::reportDialNotice()
{
    // A pppd that a killed run left holding the modem's port, ended before
    // this dial: the operator reads why the earlier cycles may have failed.
    char text[2048];
    if (!pppDial.dialNotice(text, sizeof(text)))
        return;
    const QStringList lines = QString::fromLocal8Bit(text).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &line : lines)
        log(line, QColor(Qt::yellow));
    QCoreApplication::processEvents();
}

void testWorker::noteLinkInterface()
{
    // With several modems up, only this link's traffic may judge this chip.
    char name[64];
    if (!pppDial.linkInterface(name, sizeof(name)))
        return;
    m_linkInterface = QString::fromLocal8Bit(name);
    log(QStringLiteral("PPP link on %1: ping and echo go through it").arg(m_linkInterface), QColor(Qt::yellow));
}

bool testWorker::hangUpPpp()
{
    log(QStringLiteral("close PPP..."), QColor(Qt::white));
    reportStep(QStringLiteral("hanging up"));
    startTime = monotonicMs();
    pppDial.hangUp();
    m_linkInterface.clear();
    endTime = monotonicMs();
    log(QStringLiteral("Closed"), QColor(Qt::white));
    emit sngUpdateAvgTime(false, int(endTime - startTime));
    return true;
}
