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

QTimer *singleShot(QObject *parent)
{
    auto *t = new QTimer(parent);
    t->setSingleShot(true);
    return t;
}
} // namespace

ChipModel::ChipModel(PseudoTerminal *port, FaultSet *faults, const ChipTimings &timings,
                     QObject *parent)
    : QObject(parent),
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

void ChipModel::setPowered(bool on)
{
    if (on == m_powered)
        return;
    m_powered = on;
    // Either way nothing of the chip's previous life goes on.
    m_bootTimer->stop();
    m_registerTimer->stop();
    m_deregisterTimer->stop();
    m_pieceTimer->stop();
    m_pieces.clear();
    m_line.clear();
    m_lineOverflow = false;
    m_booted = false;
    m_creg = 0;
    m_radioOn = false;
    if (!on && m_faults->flag(QStringLiteral("at.vanish"))) {
        // A USB modem's port goes with its supply; it comes back when the
        // chip has booted.
        m_port->close();
    }
    if (on) {
        // Output of a previous power cycle that nobody read is stale now.
        m_port->discardOutput();
        m_radioOn = true;
        m_bootTimer->start(m_timings.bootMs);
        scheduleRegistration(m_timings.bootMs + m_timings.registerMs);
    }
}

void ChipModel::scheduleRegistration(int delayMs)
{
    m_registerTimer->start(qMax(0, delayMs + m_faults->number(QStringLiteral("creg.lateMs"))));
}

void ChipModel::onBooted()
{
    m_booted = true;
    if (!m_port->isOpen() && !m_faults->flag(QStringLiteral("at.staysAway"))) {
        QString error;
        if (!m_port->open(&error))
            qWarning("trevalo-bench: the AT port cannot come back: %s", qPrintable(error));
    }
}

void ChipModel::onRegistered()
{
    if (!m_powered || !m_radioOn || m_faults->flag(QStringLiteral("creg.never")))
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
    } else if (cmd == "AT+CFUN=0") {
        if (m_faults->flag(QStringLiteral("cfun.noReply")))
            return;
        send("OK");
        m_radioOn = false;
        m_registerTimer->stop();
        m_deregisterTimer->start(m_timings.deregisterMs);
    } else if (cmd == "AT+CFUN=1") {
        if (m_faults->flag(QStringLiteral("cfun.noReply")))
            return;
        send("OK");
        if (!m_radioOn) {
            m_radioOn = true;
            m_deregisterTimer->stop();
            scheduleRegistration(m_timings.registerMs);
        }
    } else {
        send("ERROR");
    }
}

void ChipModel::send(const QByteArray &text)
{
    const QByteArray framed = "\r\n" + text + "\r\n";
    const int pieces = qBound(1, m_faults->number(QStringLiteral("at.pieces")), framed.size());
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
        const int gap = m_faults->number(QStringLiteral("at.pieceGapMs"));
        m_pieceTimer->start(gap > 0 ? gap : kDefaultPieceGapMs);
    }
}

QJsonObject ChipModel::state() const
{
    return QJsonObject{
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
