// Ping probe: runs the system's ping against the configured host and looks
// for the known failure wordings in its report.
#include "testWorker.h"

#include "PingReport.h"
#include "TestSetup.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

bool testWorker::pingHost()
{
    const QString host = setup ? setup->pingAddress : QString();
    log(QStringLiteral("ping ") + host + QStringLiteral("..."), QColor(Qt::white));

#if defined(Q_OS_WIN)
    const bool windowsPing = true;
#else
    const bool windowsPing = false;
#endif
    // The host travels as one argument and never through a shell; a name
    // that ping would take for an option is refused outright.
    if (host.isEmpty() || PingReport::looksLikeOption(host, windowsPing)) {
        log(QStringLiteral("Failed!!!ping error!"), QColor(Qt::red));
        return false;
    }

    QProcess ping;
#if defined(Q_OS_WIN)
    const QStringList arguments{host};
#else
    // Bounded by ping's own deadline so it cannot run past the finish wait.
    QStringList arguments{QStringLiteral("-c"), QStringLiteral("4"), QStringLiteral("-w"),
                          QString::number(m_limits.pingDeadlineS)};
    // Through the chip's own link, whatever the routing table prefers.
    if (!m_linkInterface.isEmpty())
        arguments << QStringLiteral("-I") << m_linkInterface;
    arguments << QStringLiteral("--") << host;
    // The summary line is read below: keep it in ping's own words.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    ping.setProcessEnvironment(environment);
#endif
    reportStep(QStringLiteral("pinging %1").arg(host), m_limits.pingFinishMs);
    ping.start(QStringLiteral("ping"), arguments, QIODevice::ReadWrite);
    if (!ping.waitForStarted(m_limits.pingStartMs)) {
        log(QStringLiteral("Failed!!!Fail to start ping process!"), QColor(Qt::red));
        return false;
    }

    const WaitResult wait = waitFor(m_limits.pingFinishMs, [&] { return ping.state() == QProcess::NotRunning; });
    if (wait == WaitResult::Stopped) {
        // Not a verdict: the case sees the stop and cleans up.
        m_stepCutShort = true;
        ping.kill();
        ping.waitForFinished(1000);
        return true;
    }
    const bool finished = ping.state() == QProcess::NotRunning;
    if (!finished) {
        ping.kill();
        ping.waitForFinished(1000);
    }

    const QByteArray output = ping.readAllStandardOutput();
    if (output.isEmpty()) {
        log(QStringLiteral("Failed!!!Fail to get ping result!"), QColor(Qt::red));
        return false;
    }
    log(QString::fromLocal8Bit(output), QColor(Qt::yellow));
    PingReport::figures(output, &m_cycle.pingReplies, &m_cycle.pingRttMs);

    // Line breaks removed so a wording split over two lines still matches.
    QByteArray joined = output;
    joined.replace('\r', QByteArray()).replace('\n', QByteArray());
    bool failed = false;
    for (const QString &text : setup->pingFailureTexts) {
        const QByteArray needle = text.toLocal8Bit();
        if (!needle.isEmpty() && joined.contains(needle)) {
            failed = true;
            break;
        }
    }
    // A ping that did not end or crashed has failed whatever its wording.
    if (!finished || ping.exitStatus() != QProcess::NormalExit)
        failed = true;
#if !defined(Q_OS_WIN)
    // Linux ping words a lost reply differently. Its exit status alone does
    // not tell: with a deadline it sends on until it has its four replies
    // and exits 0 though some were lost. Only a summary that shows every
    // request answered, without errors, passes.
    if (ping.exitCode() != 0 || !PingReport::everyRequestAnswered(output))
        failed = true;
#endif
    if (failed) {
        log(QStringLiteral("Failed!!!ping error!"), QColor(Qt::red));
        return false;
    }
    return true;
}
