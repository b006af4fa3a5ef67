#include "StepsFile.h"

#include <algorithm>

QString StepsFile::keyOf(Kind kind)
{
    switch (kind) {
    case Kind::PowerOn: return QStringLiteral("power_on");
    case Kind::PowerOff: return QStringLiteral("power_off");
    case Kind::OpenPort: return QStringLiteral("open_port");
    case Kind::ClosePort: return QStringLiteral("close_port");
    case Kind::At: return QStringLiteral("at");
    case Kind::WaitFor: return QStringLiteral("wait_for");
    case Kind::DialUp: return QStringLiteral("dial_up");
    case Kind::HangUp: return QStringLiteral("hang_up");
    case Kind::Connect: return QStringLiteral("connect");
    case Kind::Echo: return QStringLiteral("echo");
    case Kind::CloseSocket: return QStringLiteral("close_socket");
    case Kind::Ping: return QStringLiteral("ping");
    case Kind::Wait: return QStringLiteral("wait");
    }
    return QString();
}

QStringList StepsFile::failedStepNames() const
{
    QStringList names;
    for (const std::vector<Step> *steps : {&setup, &cycle})
        for (const Step &s : *steps) {
            const QString name = s.name.isEmpty() ? engineName(s.kind) : s.name;
            if (!names.contains(name))
                names << name;
        }
    return names;
}

QString StepsFile::engineName(Kind kind)
{
    switch (kind) {
    case Kind::PowerOn: return QStringLiteral("powerOnChip");
    case Kind::PowerOff: return QStringLiteral("powerOffChip");
    case Kind::OpenPort: return QStringLiteral("openPort");
    case Kind::ClosePort: return QStringLiteral("closePort");
    case Kind::At:
    case Kind::WaitFor: return QStringLiteral("waitAtResponse");
    case Kind::DialUp: return QStringLiteral("dialUpPpp");
    case Kind::HangUp: return QStringLiteral("hangUpPpp");
    case Kind::Connect: return QStringLiteral("connectServer");
    case Kind::Echo: return QStringLiteral("sendData");
    case Kind::CloseSocket: return QStringLiteral("closeSocket");
    case Kind::Ping: return QStringLiteral("pingHost");
    case Kind::Wait: return QStringLiteral("wait");
    }
    return QString();
}

const QStringList &StepsFile::recordFigures()
{
    static const QStringList figures{QStringLiteral("registerMs"), QStringLiteral("deregisterMs"),
                                     QStringLiteral("reregisterMs")};
    return figures;
}

bool StepsFile::needs(Kind kind) const
{
    const auto is = [kind](const Step &s) { return s.kind == kind; };
    return std::any_of(setup.begin(), setup.end(), is) || std::any_of(cycle.begin(), cycle.end(), is);
}
