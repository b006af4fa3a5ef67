#include "ChipModel.h"

#include "FaultSet.h"
#include "PseudoTerminal.h"

#include <QJsonArray>
#include <QTimer>

namespace {
constexpr int kMaxLine = 1024;
constexpr int kKeptCommands = 20;
constexpr int kDefaultPieceGapMs = 5;
constexpr int kMaxQueuedPieces = 4096;
constexpr int kDefaultRssi = 21;

QTimer *singleShot(QObject *parent)
{
    auto *t = new QTimer(parent);
    t->setSingleShot(true);
    return t;
}
} // namespace

ChipModel::ChipModel(int index, PseudoTerminal *port, FaultSet *faults,
                     const ChipTimings &timings, QObject *parent)
    : QObject(parent),
      m_index(index),
      m_port(port),
      m_faults(faults),
      m_timings(timings),
      m_bootTimer(singleShot(this)),
      m_registerTimer(singleShot(this)),
      m_deregisterTimer(singleShot(this)),
      m_pieceTimer(singleShot(this))
{
    connect(m_port, &PseudoTerminal::received, this, &ChipModel::onReceived);
    connect(m_bootTimer, &QTimer::timeout, this, &ChipModel::onBooted);
    connect(m_registerTimer, &QTimer::timeout, this, &ChipModel::onRegistered);
    connect(m_deregisterTimer, &QTimer::timeout, this, &ChipModel::onDeregistered);
    connect(m_pieceTimer, &QTimer::timeout, this, &ChipModel::sendNextPiece);
}

bool ChipModel::fault(const char *name) const
{
    return m_faults->flag(QLatin1String(name), m_index);
}

void ChipModel::setPowered(bool on)
{
    if (on == m_powered)
        return;
    m_powered = on;
    // Either way nothing of the chip's previous life goes on.
    m_pieceTimer->stop();
    m_pieces.clear();
    goDark(!on);
    if (on) {
        // Output of a previous power cycle that nobody read is stale now.
        m_port->discardOutput();
        boot();
    }
}

void ChipModel::goDark(bool portGoes)
{
    const bool wasUp = m_booted || m_bootTimer->isActive();
    m_bootTimer->stop();
    m_registerTimer->stop();
    m_deregisterTimer->stop();
    m_line.clear();
    m_lineOverflow = false;
    m_booted = false;
    m_creg = 0;
    m_radioOn = false;
    if (portGoes && fault("at.vanish") && m_port->isOpen()) {
        // A USB modem's port goes with its supply (or a reboot); it comes
        // back when the chip has booted.
        m_port->close();
    }
    if (wasUp)
        emit wentDown();
}

void ChipModel::boot()
{
    m_radioOn = true;
    m_bootTimer->start(m_timings.bootMs);
    scheduleRegistration(m_timings.bootMs + m_timings.registerMs);
}

void ChipModel::reboot()
{
    // The reply already queued still goes out unless the port itself goes.
    goDark(true);
    if (fault("reboot.hang"))
        return; // dark until the next power cycle
    boot();
}

void ChipModel::scheduleRegistration(int delayMs)
{
    m_registerTimer->start(
        qMax(0, delayMs + m_faults->number(QStringLiteral("creg.lateMs"), m_index)));
}

void ChipModel::onBooted()
{
    m_booted = true;
    if (!m_port->isOpen() && !fault("at.staysAway")) {
        QString error;
        if (!m_port->open(&error))
            qWarning("trevalo-bench: the AT port cannot come back: %s", qPrintable(error));
    }
}

void ChipModel::onRegistered()
{
    if (!m_powered || !m_radioOn || fault("creg.never"))
        return;
    m_creg = 1;
    send("+CREG: 1");
}

void ChipModel::onDeregistered()
{
    if (!m_powered)
        return;
    m_creg = 0;
    send("+CREG: 0");
}

void ChipModel::onReceived(const QByteArray &data)
{
    if (!m_powered || !m_booted) {
        // Nobody listens on the other end of the line.
        m_discardedBytes += data.size();
        return;
    }
    for (const char c : data) {
        if (c == '\n')
            continue;
        if (c == '\r') {
            const QByteArray line = m_line.trimmed();
            const bool overflow = m_lineOverflow;
            m_line.clear();
            m_lineOverflow = false;
            if (overflow)
                send("ERROR");
            else if (!line.isEmpty())
                handleLine(line);
            if (!m_powered)
                return;
            continue;
        }
        if (m_line.size() < kMaxLine)
            m_line.append(c);
        else
            m_lineOverflow = true;
    }
}

void ChipModel::handleLine(const QByteArray &line)
{
    ++m_commandCount;
    m_lastCommands << QString::fromLatin1(line);
    while (m_lastCommands.size() > kKeptCommands)
        m_lastCommands.removeFirst();

    const QByteArray cmd = line.toUpper();
    if (cmd == "AT") {
        send("OK");
    } else if (cmd == "AT+CFUN=0" || cmd == "AT+CFUN=4") {
        // Off and flight mode look the same from the network's side.
        if (fault("cfun.noReply"))
            return;
        send("OK");
        m_radioOn = false;
        m_registerTimer->stop();
        m_deregisterTimer->start(m_timings.deregisterMs);
    } else if (cmd == "AT+CFUN=1") {
        if (fault("cfun.noReply"))
            return;
        send("OK");
        if (!m_radioOn) {
            m_radioOn = true;
            m_deregisterTimer->stop();
            scheduleRegistration(m_timings.registerMs);
        }
    } else if (cmd == "AT+CFUN=1,1") {
        if (fault("cfun.noReply"))
            return;
        send("OK");
        reboot();
    } else if (cmd == "AT+CSQ") {
        int rssi = m_faults->number(QStringLiteral("csq.rssi"), m_index);
        if (rssi < 0)
            rssi = kDefaultRssi;
        if (fault("csq.unknown"))
            rssi = 99;
        send("+CSQ: " + QByteArray::number(rssi) + ",99");
        send("OK");
    } else if (cmd == "AT+CPIN?") {
        if (fault("sim.absent")) {
            send("+CME ERROR: 10"); // SIM not inserted
            return;
        }
        send("+CPIN: READY");
        send("OK");
    } else if (cmd == "AT+CGATT?") {
        const bool attached = m_creg == 1 && !fault("attach.off");
        send(attached ? "+CGATT: 1" : "+CGATT: 0");
        send("OK");
    } else {
        send("ERROR");
    }
}

void ChipModel::send(const QByteArray &text)
{
    const QByteArray framed = "\r\n" + text + "\r\n";
    const int pieces =
        qBound(1, m_faults->number(QStringLiteral("at.pieces"), m_index), framed.size());
    if (pieces == 1 && m_pieces.isEmpty()) {
        m_port->write(framed);
        return;
    }
    const int size = (framed.size() + pieces - 1) / pieces;
    for (int at = 0; at < framed.size(); at += size)
        m_pieces << framed.mid(at, size);
    // A client flooding commands faster than the pieces go out loses the
    // oldest replies, as a real UART would overrun.
    while (m_pieces.size() > kMaxQueuedPieces)
        m_pieces.removeFirst();
    if (!m_pieceTimer->isActive())
        sendNextPiece();
}

void ChipModel::sendNextPiece()
{
    if (m_pieces.isEmpty())
        return;
    m_port->write(m_pieces.takeFirst());
    if (!m_pieces.isEmpty()) {
        const int gap = m_faults->number(QStringLiteral("at.pieceGapMs"), m_index);
        m_pieceTimer->start(gap > 0 ? gap : kDefaultPieceGapMs);
    }
}

QJsonObject ChipModel::state() const
{
    return QJsonObject{
        {QStringLiteral("chip"), m_index},
        {QStringLiteral("powered"), m_powered},
        {QStringLiteral("booted"), m_booted},
        {QStringLiteral("radio"), m_radioOn},
        {QStringLiteral("creg"), m_creg},
        {QStringLiteral("commands"), double(m_commandCount)},
        {QStringLiteral("lastCommands"), QJsonArray::fromStringList(m_lastCommands)},
        {QStringLiteral("discardedBytes"), double(m_discardedBytes)},
        {QStringLiteral("overrunBytes"), double(m_port->overrunBytes())},
    };
}
