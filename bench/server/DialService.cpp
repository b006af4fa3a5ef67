#include "DialService.h"

#include "ChipModel.h"
#include "FaultSet.h"

#include <QRegularExpression>
#include <QTimer>

namespace {

// Windows' RASCONNSTATE values and error codes, as the dial layer knows them.
enum : int {
    OpenPort = 0,
    PortOpened = 1,
    ConnectDevice = 2,
    DeviceConnected = 3,
    AllDevicesConnected = 4,
    Authenticate = 5,
    Authenticated = 14,
    Connected = 0x2000,
    Disconnected = 0x2001,
};
constexpr int kErrorCannotFindPhonebookEntry = 623;
constexpr int kErrorPortNotAvailable = 633;
constexpr int kErrorNoCarrier = 679;
constexpr int kErrorDisconnection = 628;
constexpr int kErrorNoAnswer = 678;
constexpr int kMaxDialsPerOwner = 64;

constexpr int kStages[] = {OpenPort,        PortOpened,          ConnectDevice,
                           DeviceConnected, AllDevicesConnected, Authenticate,
                           Authenticated,   Connected};
constexpr int kStageCount = int(sizeof(kStages) / sizeof(kStages[0]));

} // namespace

DialService::DialService(FaultSet *faults, int stepMs, const QList<ChipModel *> &chips,
                         QObject *parent)
    : QObject(parent), m_faults(faults), m_stepMs(qMax(0, stepMs)), m_chips(chips)
{
}

int DialService::chipForPeer(const QString &peer) const
{
    if (peer.isEmpty() || peer == QLatin1String("provider"))
        return 1;
    static const QRegularExpression numbered(QStringLiteral("^(?:chip|provider)([1-9][0-9]{0,2})$"));
    const QRegularExpressionMatch m = numbered.match(peer);
    const int chip = m.hasMatch() ? m.captured(1).toInt() : 0;
    return chip <= qMax(1, int(m_chips.size())) ? chip : 0;
}

int DialService::stepDelay(int chip) const
{
    return m_stepMs + m_faults->number(QStringLiteral("dial.slowMs"), chip);
}

DialService::~DialService()
{
    for (Dial &d : m_dials)
        release(d);
}

int DialService::dial(QObject *owner, const QString &number, const QString &peer, int *error)
{
    Q_UNUSED(number) // every number reaches the same network
    const int chip = chipForPeer(peer);
    if (chip == 0) {
        ++m_refused;
        *error = kErrorCannotFindPhonebookEntry;
        return 0;
    }
    int held = 0;
    for (const Dial &d : qAsConst(m_dials))
        held += d.owner == owner ? 1 : 0;
    if (held >= kMaxDialsPerOwner) {
        ++m_refused;
        *error = kErrorPortNotAvailable;
        return 0;
    }
    // A modem without supply is not there to take the call.
    if (linesFollowChips() && !m_chips.at(chip - 1)->isPowered()) {
        ++m_refused;
        *error = kErrorPortNotAvailable;
        return 0;
    }
    const int refuse = m_faults->number(QStringLiteral("dial.refuse"), chip);
    if (refuse > 0) {
        ++m_refused;
        *error = refuse;
        if (!m_faults->flag(QStringLiteral("dial.refuseHeld"), chip))
            return 0;
        // Windows may refuse a dial after it has taken the line: the caller
        // gets a handle it must hang up. Nothing is reported for it.
        Dial d;
        d.owner = owner;
        d.chip = chip;
        d.state = OpenPort;
        d.error = refuse;
        d.finished = true;
        const int id = newId();
        m_dials.insert(id, d);
        return id;
    }
    const int id = newId();
    Dial d;
    d.owner = owner;
    d.chip = chip;
    d.timer = new QTimer(this);
    d.timer->setSingleShot(true);
    connect(d.timer, &QTimer::timeout, this, [this, id] { advance(id); });
    m_dials.insert(id, d);
    ++m_started;
    // The first report comes after the reply to the request has gone out.
    d.timer->start(stepDelay(chip));
    *error = 0;
    return id;
}

int DialService::newId()
{
    const int id = m_nextId++;
    if (m_nextId <= 0)
        m_nextId = 1;
    return id;
}

void DialService::advance(int id)
{
    auto it = m_dials.find(id);
    if (it == m_dials.end())
        return;
    Dial &d = *it;
    if (d.finished) {
        // Only a connected dial has a timer after finishing: its line drops.
        if (d.state == Connected) {
            ++m_lineDrops;
            report(id, d, Disconnected, kErrorDisconnection, true);
        }
        return;
    }
    if (d.stage + 1 >= kStageCount)
        return;
    ++d.stage;
    const int state = kStages[d.stage];
    const int failAt = m_faults->number(QStringLiteral("dial.failAt"), d.chip);
    if (failAt >= 0 && state == failAt) {
        const int code = m_faults->number(QStringLiteral("dial.failCode"), d.chip);
        ++m_failed;
        report(id, d, state, code > 0 ? code : kErrorNoAnswer, true);
        return;
    }
    // The modem dials out only on a network.
    if (state == ConnectDevice && linesFollowChips() && !m_chips.at(d.chip - 1)->isRegistered()) {
        ++m_failed;
        report(id, d, state, kErrorNoCarrier, true);
        return;
    }
    if (state == Connected && m_faults->flag(QStringLiteral("dial.disconnect"), d.chip)) {
        ++m_failed;
        report(id, d, Disconnected, 0, true);
        return;
    }
    if (state == Connected) {
        ++m_connected;
        report(id, d, Connected, 0, true);
        const int dropAfter = m_faults->number(QStringLiteral("dial.dropAfterMs"), d.chip);
        if (dropAfter > 0)
            d.timer->start(dropAfter);
        return;
    }
    report(id, d, state, 0, false);
    // A dial that never completes stalls in authentication until hung up.
    if (state == Authenticate && m_faults->flag(QStringLiteral("dial.hang"), d.chip))
        return;
    d.timer->start(stepDelay(d.chip));
}

void DialService::chipWentDown(int chip)
{
    if (!linesFollowChips())
        return;
    // Collected first: a report may reach a client that hangs up at once.
    QList<int> ids;
    for (auto it = m_dials.cbegin(); it != m_dials.cend(); ++it) {
        if (it->chip == chip && it->timer)
            ids << it.key();
    }
    for (const int id : qAsConst(ids)) {
        auto it = m_dials.find(id);
        if (it == m_dials.end())
            continue;
        Dial &d = *it;
        if (d.finished && d.state != Connected)
            continue;
        d.timer->stop();
        if (d.finished) {
            ++m_lineDrops;
            report(id, d, Disconnected, kErrorDisconnection, true);
        } else {
            ++m_failed;
            report(id, d, d.state, kErrorDisconnection, true);
        }
    }
}

void DialService::report(int id, Dial &d, int state, int error, bool finished)
{
    d.state = state;
    d.error = error;
    d.finished = finished;
    emit progress(d.owner, id, state, error);
}

bool DialService::status(int id, int *state, int *error) const
{
    const auto it = m_dials.constFind(id);
    if (it == m_dials.cend())
        return false;
    *state = it->state;
    *error = it->error;
    return true;
}

bool DialService::hangUp(int id)
{
    auto it = m_dials.find(id);
    if (it == m_dials.end())
        return false;
    ++m_hangups;
    release(*it);
    m_dials.erase(it);
    return true;
}

void DialService::dropOwner(QObject *owner)
{
    for (auto it = m_dials.begin(); it != m_dials.end();) {
        if (it->owner == owner) {
            ++m_abandoned;
            release(*it);
            it = m_dials.erase(it);
        } else {
            ++it;
        }
    }
}

void DialService::release(Dial &d)
{
    if (d.timer) {
        d.timer->stop();
        d.timer->deleteLater();
        d.timer = nullptr;
    }
}

QJsonObject DialService::counters() const
{
    int active = 0;
    int connectedNow = 0;
    for (const Dial &d : m_dials) {
        active += d.finished ? 0 : 1;
        connectedNow += (d.finished && d.state == Connected) ? 1 : 0;
    }
    return QJsonObject{{QStringLiteral("started"), double(m_started)},
                       {QStringLiteral("refused"), double(m_refused)},
                       {QStringLiteral("connected"), double(m_connected)},
                       {QStringLiteral("failed"), double(m_failed)},
                       {QStringLiteral("hangups"), double(m_hangups)},
                       {QStringLiteral("lineDrops"), double(m_lineDrops)},
                       {QStringLiteral("abandoned"), double(m_abandoned)},
                       {QStringLiteral("inProgress"), active},
                       {QStringLiteral("up"), connectedNow},
                       {QStringLiteral("held"), m_dials.size()}};
}
