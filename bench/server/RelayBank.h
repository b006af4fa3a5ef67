// The virtual USB relay boards. Chip k's supply is the k-th channel
// counting across the boards in their order: channel 1 of the first board
// is chip 1's. A board that goes missing (unplugged) loses its coil power,
// so all its channels drop off.
#ifndef RELAYBANK_H
#define RELAYBANK_H

#include <QJsonArray>
#include <QList>
#include <QObject>
#include <QString>

class FaultSet;

struct BoardSetup
{
    QString serial;
    int channels = 2;
};

class RelayBank : public QObject
{
    Q_OBJECT

public:
    RelayBank(const QList<BoardSetup> &boards, int chips, FaultSet *faults,
              QObject *parent = nullptr);

    // "SER1:2,SER2:8"; serials of 5 characters, 1, 2, 4 or 8 channels.
    static bool parseBoards(const QString &text, QList<BoardSetup> *out, QString *error);
    static int channelCount(const QList<BoardSetup> &boards);
    // The board and channel that switch chip k (1..); false beyond the boards.
    static bool chipChannel(const QList<BoardSetup> &boards, int chip, QString *serial,
                            int *channel);

    QJsonArray list() const;          // present boards only
    QJsonArray describe() const;      // every board with its state, for "state"
    QJsonArray publishedBoards() const; // serial and channels of every board
    bool status(const QString &serial, quint32 *status, QString *error) const;
    bool set(const QString &serial, int channel, bool on, quint32 *status, QString *error);
    bool chipSupply(int chip) const;
    qint64 switchCount() const { return m_switches; }

signals:
    void chipSupplyChanged(int chip, bool on);

private:
    struct Board
    {
        BoardSetup setup;
        quint32 status = 0;
    };
    Board *find(const QString &serial, QString *error);
    const Board *find(const QString &serial, QString *error) const;
    bool isPresent(const Board &b) const;
    void onFaultsChanged(const QStringList &names);
    void updateSupply();

    QList<Board> m_boards;
    FaultSet *m_faults;
    QList<bool> m_supply; // chip k at k-1
    qint64 m_switches = 0;
};

#endif // RELAYBANK_H
