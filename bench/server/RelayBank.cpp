#include "RelayBank.h"

#include "FaultSet.h"

#include <QJsonObject>

RelayBank::RelayBank(const QList<BoardSetup> &boards, int chips, FaultSet *faults,
                     QObject *parent)
    : QObject(parent), m_faults(faults)
{
    for (int k = 0; k < qMin(chips, channelCount(boards)); ++k)
        m_supply.append(false);
    for (const BoardSetup &board : boards)
        m_boards.append(Board{board, 0});
    connect(m_faults, &FaultSet::changed, this, &RelayBank::onFaultsChanged);
}

bool RelayBank::parseBoards(const QString &text, QList<BoardSetup> *out, QString *error)
{
    out->clear();
    const QStringList items = text.split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString &raw : items) {
        const QString item = raw.trimmed();
        const int colon = item.indexOf(QLatin1Char(':'));
        BoardSetup board;
        board.serial = colon < 0 ? item : item.left(colon);
        bool ok = true;
        if (colon >= 0)
            board.channels = item.mid(colon + 1).toInt(&ok);
        if (board.serial.size() != 5) {
            *error = QStringLiteral("board serial numbers have 5 characters: %1").arg(board.serial);
            return false;
        }
        if (!ok || !(board.channels == 1 || board.channels == 2 || board.channels == 4
                     || board.channels == 8)) {
            *error = QStringLiteral("a board has 1, 2, 4 or 8 channels: %1").arg(item);
            return false;
        }
        for (const BoardSetup &other : qAsConst(*out)) {
            if (other.serial == board.serial) {
                *error = QStringLiteral("board %1 given twice").arg(board.serial);
                return false;
            }
        }
        out->append(board);
    }
    if (out->isEmpty()) {
        *error = QStringLiteral("at least one board is needed");
        return false;
    }
    return true;
}

int RelayBank::channelCount(const QList<BoardSetup> &boards)
{
    int n = 0;
    for (const BoardSetup &b : boards)
        n += b.channels;
    return n;
}

bool RelayBank::chipChannel(const QList<BoardSetup> &boards, int chip, QString *serial,
                            int *channel)
{
    int before = 0;
    for (const BoardSetup &b : boards) {
        if (chip > before && chip <= before + b.channels) {
            *serial = b.serial;
            *channel = chip - before;
            return true;
        }
        before += b.channels;
    }
    return false;
}

bool RelayBank::isPresent(const Board &b) const
{
    return !m_faults->coversBoard(QStringLiteral("relay.missing"), b.setup.serial);
}

RelayBank::Board *RelayBank::find(const QString &serial, QString *error)
{
    for (Board &b : m_boards) {
        if (b.setup.serial == serial) {
            if (isPresent(b))
                return &b;
            break;
        }
    }
    *error = QStringLiteral("no such board: %1").arg(serial);
    return nullptr;
}

const RelayBank::Board *RelayBank::find(const QString &serial, QString *error) const
{
    return const_cast<RelayBank *>(this)->find(serial, error);
}

QJsonArray RelayBank::list() const
{
    QJsonArray out;
    for (const Board &b : m_boards) {
        if (isPresent(b))
            out.append(QJsonObject{{QStringLiteral("serial"), b.setup.serial},
                                   {QStringLiteral("channels"), b.setup.channels}});
    }
    return out;
}

QJsonArray RelayBank::publishedBoards() const
{
    QJsonArray out;
    for (const Board &b : m_boards)
        out.append(QJsonObject{{QStringLiteral("serial"), b.setup.serial},
                               {QStringLiteral("channels"), b.setup.channels}});
    return out;
}

QJsonArray RelayBank::describe() const
{
    QJsonArray out;
    for (const Board &b : m_boards) {
        out.append(QJsonObject{{QStringLiteral("serial"), b.setup.serial},
                               {QStringLiteral("channels"), b.setup.channels},
                               {QStringLiteral("present"), isPresent(b)},
                               {QStringLiteral("status"), double(b.status)}});
    }
    return out;
}

bool RelayBank::status(const QString &serial, quint32 *status, QString *error) const
{
    const Board *b = find(serial, error);
    if (!b)
        return false;
    if (m_faults->coversBoard(QStringLiteral("relay.statusFails"), serial)) {
        *error = QStringLiteral("status query failed");
        return false;
    }
    *status = b->status;
    return true;
}

bool RelayBank::set(const QString &serial, int channel, bool on, quint32 *status, QString *error)
{
    Board *b = find(serial, error);
    if (!b)
        return false;
    if (channel < 1 || channel > b->setup.channels) {
        *error = QStringLiteral("no channel %1 on board %2").arg(channel).arg(serial);
        return false;
    }
    if (m_faults->coversBoard(QStringLiteral("relay.switchFails"), serial)) {
        *error = QStringLiteral("switch failed");
        return false;
    }
    ++m_switches;
    // A stuck relay acknowledges the command but its contact stays put.
    if (!m_faults->coversBoard(QStringLiteral("relay.switchStuck"), serial)) {
        const quint32 bit = 1u << (channel - 1);
        b->status = on ? (b->status | bit) : (b->status & ~bit);
    }
    *status = b->status;
    updateSupply();
    return true;
}

bool RelayBank::chipSupply(int chip) const
{
    return chip >= 1 && chip <= m_supply.size() && m_supply.at(chip - 1);
}

void RelayBank::onFaultsChanged(const QStringList &names)
{
    if (!names.contains(QStringLiteral("relay.missing")))
        return;
    for (Board &b : m_boards) {
        if (!isPresent(b))
            b.status = 0;
    }
    updateSupply();
}

void RelayBank::updateSupply()
{
    int chip = 0;
    for (const Board &b : qAsConst(m_boards)) {
        const bool present = isPresent(b);
        for (int ch = 1; ch <= b.setup.channels && chip < m_supply.size(); ++ch, ++chip) {
            const bool on = present && (b.status & (1u << (ch - 1)));
            if (on != m_supply.at(chip)) {
                m_supply[chip] = on;
                emit chipSupplyChanged(chip + 1, on);
            }
        }
    }
}
