// The custom case: a steps file run through the same cycle loop and the
// same steps as the built-in cases. What a step sets up (power, port, PPP
// link, socket) is undone by the scope it was set up in, when a later step
// fails, at a stop, or at the end of the cycle or run; a step that undoes it
// itself takes it out of the scope.
#include "testWorker.h"

#include "SocketMannger.h"
#include "StepsFile.h"
#include "TestCases.h"
#include "TestSetup.h"
#include "UartEngine.h"

#include <QJsonValue>
#include <QRegularExpression>

#include <optional>

namespace {
using Kind = StepsFile::Kind;

// Captured texts stay short on record.
constexpr int maxValueLength = 200;

// What a scope holds that a later step of the file may undo itself.
struct Held
{
    CycleScope *scope = nullptr;
    CycleScope::Handle handle = 0;
};

QJsonValue valueOf(const QString &text)
{
    bool number = false;
    const double value = text.trimmed().toDouble(&number);
    if (number && qIsFinite(value))
        return value;
    return text.left(maxValueLength);
}
} // namespace

bool testWorker::stepsFileTest()
{
    if (!setup || setup->caseIndex != TestCases::Custom || !setup->steps)
        return true;
    const std::shared_ptr<const StepsFile> file = setup->steps;
    Held held[4]; // power, port, ppp, socket
    enum { Power, Port, Ppp, Socket };
    const auto hold = [&held](int what, CycleScope &scope, CycleScope::Undo undo) {
        held[what] = Held{&scope, scope.add(std::move(undo))};
    };
    const auto release = [&held](int what) {
        if (held[what].scope)
            held[what].scope->dismiss(held[what].handle);
        held[what] = Held();
    };

    // One step: Pass when done, Fail (its red line logged), Stopped.
    const auto runStep = [&](const StepsFile::Step &s, CycleScope &scope) -> CycleEnd {
        const QString name = s.name.isEmpty() ? StepsFile::engineName(s.kind) : s.name;
        m_stepLabel = s.name;
        const qint64 began = monotonicMs();
        bool ok = true;
        switch (s.kind) {
        case Kind::PowerOn:
            if (!step(name, [this] { return powerOnChip(); }))
                return CycleEnd::Fail;
            hold(Power, scope, [this] { powerOffChip(); });
            // Text of before this power-up is no answer of this boot.
            if (uart)
                uart->m_recvBuffer.clear();
            if (stopRequested)
                return CycleEnd::Stopped;
            ok = step(s.name.isEmpty() ? QStringLiteral("reopenPort") : name,
                      [&] { return reopenPort(s.timeoutMs); });
            break;
        case Kind::PowerOff:
            release(Power);
            ok = step(name, [this] { return powerOffChip(); });
            break;
        case Kind::OpenPort:
            ok = step(name, [this] {
                if (openPort())
                    return true;
                log(tr("Failed!!!Failed to open port!"), QColor(Qt::red));
                return false;
            });
            if (ok)
                hold(Port, scope, [this] { closePort(); });
            break;
        case Kind::ClosePort:
            release(Port);
            ok = step(name, [this] { return closePort(); });
            break;
        case Kind::At:
        case Kind::WaitFor: {
            const QByteArray command = s.command.isEmpty() ? QByteArray() : s.command + "\r\n";
            const bool regex = s.expectPattern.isValid() && !s.expectPattern.pattern().isEmpty();
            const QString awaited = regex ? s.expectPattern.pattern() : QString::fromUtf8(s.expect);
            ok = step(name, [&] {
                return waitAtReply(command, awaited, [&](const QByteArray &received) {
                    return regex ? s.expectPattern.match(QString::fromUtf8(received)).hasMatch()
                                 : received.contains(s.expect);
                }, s.timeoutMs);
            });
            if (!ok || m_stepCutShort)
                break;
            const QString reply = QString::fromUtf8(m_lastAtReply);
            for (const StepsFile::Capture &c : s.captures) {
                const QRegularExpressionMatch m = c.pattern.match(reply);
                if (!m.hasMatch()) {
                    ok = step(name, [&] {
                        log(QStringLiteral("Failed!!!No %1 in the reply").arg(c.name), QColor(Qt::red));
                        return false;
                    });
                    break;
                }
                const QString value = m.lastCapturedIndex() >= 1 ? m.captured(1) : m.captured(0);
                m_cycle.values.insert(c.name, valueOf(value));
                log(QStringLiteral("%1: %2").arg(c.name, value.left(maxValueLength)), QColor(Qt::yellow));
            }
            if (ok && !s.recordMs.isEmpty()) {
                const int took = int(monotonicMs() - began);
                if (s.recordMs == QLatin1String("registerMs"))
                    m_cycle.registerMs = took;
                else if (s.recordMs == QLatin1String("deregisterMs"))
                    m_cycle.deregisterMs = took;
                else if (s.recordMs == QLatin1String("reregisterMs"))
                    m_cycle.reregisterMs = took;
            }
            break;
        }
        case Kind::DialUp:
            ok = step(name, [this] { return dialUpPpp(); });
            if (m_stepCutShort)
                return CycleEnd::Stopped; // the dial has hung up already
            if (!ok) {
                ++pppFailCount;
                return CycleEnd::Fail;
            }
            pppFailCount = 0;
            hold(Ppp, scope, [this] { hangUpPpp(); });
            break;
        case Kind::HangUp:
            release(Ppp);
            ok = step(name, [this] { return hangUpPpp(); });
            break;
        case Kind::Connect:
            ok = step(name, [this] { return connectServer(); });
            if (m_stepCutShort)
                return CycleEnd::Stopped;
            if (!ok) {
                ++tcpFailCount;
                return CycleEnd::Fail;
            }
            tcpFailCount = 0;
            hold(Socket, scope, [this] { closeSocket(); });
            break;
        case Kind::Echo:
            return echoExchange();
        case Kind::CloseSocket:
            release(Socket);
            ok = step(name, [this] { return closeSocket(); });
            break;
        case Kind::Ping:
            ok = step(name, [this] { return pingHost(); });
            break;
        case Kind::Wait:
            m_cycle.step = name;
            reportStep(QStringLiteral("waiting"), s.timeoutMs);
            if (waitFor(s.timeoutMs, [] { return false; }) == WaitResult::Stopped)
                return CycleEnd::Stopped;
            break;
        }
        if (m_stepCutShort)
            return CycleEnd::Stopped;
        if (!ok)
            return CycleEnd::Fail;
        return stopRequested ? CycleEnd::Stopped : CycleEnd::Pass;
    };

    CaseRun c;
    c.stopCheckFirst = true;
    const bool powered = file->needs(Kind::PowerOn);
    // The chip rests a moment before each power-up, as in the radio cases.
    if (powered)
        c.restMs = m_limits.cyclePauseMs;
    c.setUp = [&](CycleScope &run) {
        // A board still held when the run ends is released.
        if (powered || file->needs(Kind::PowerOff))
            run.add([this] { endRadioRun(); });
        // An AT port opened by start() for the run is closed there too.
        const bool portOpen = setup->opensPortAtStart();
        for (std::size_t i = portOpen ? 1 : 0; i < file->setup.size(); ++i) {
            const CycleEnd end = runStep(file->setup[i], run);
            m_stepLabel.clear();
            if (end != CycleEnd::Pass)
                return false;
        }
        return true;
    };
    c.giveUp = [&] {
        if (file->failedDialsInARow > 0 && pppFailCount >= file->failedDialsInARow)
            return QStringLiteral("Failed!!!Fail to establish PPP connection for %1 times in a row").arg(pppFailCount);
        if (file->failedConnectsInARow > 0 && tcpFailCount >= file->failedConnectsInARow)
            return QStringLiteral("Failed!!!Fail to establish TCP connection for %1 times in a row").arg(tcpFailCount);
        return QString();
    };
    c.cycle = [&](CycleScope &cycle) {
        CycleEnd end = CycleEnd::Pass;
        for (const StepsFile::Step &s : file->cycle) {
            end = runStep(s, cycle);
            m_stepLabel.clear();
            if (end != CycleEnd::Pass)
                break;
        }
        if (end == CycleEnd::Fail) {
            // Undone before the failure is counted, as the radio and PPP
            // cases do; a cycle that fails at once is not repeated at full speed.
            cycle.unwind();
            if (!powered)
                m_cycle.pauseAfterMs = m_limits.cyclePauseMs;
        }
        // The scope's own undo actions outlive this call by a moment; no later
        // step may reach into it.
        for (Held &h : held)
            if (h.scope == &cycle)
                h = Held();
        return end;
    };
    runCycles(c);
    m_stepLabel.clear();
    return false;
}
