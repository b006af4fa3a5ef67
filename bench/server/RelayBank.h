// The virtual USB relay boards. Channel 1 of the first board switches the
// chip's supply. A board that goes missing (unplugged) loses its coil
// power, so all its channels drop off.
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
    RelayBank(const QList<BoardSetup> &boards, FaultSet *faults, QObject *parent = nullptr);

    // "SER1:2,SER2:8"; serials of 5 characters, 1, 2, 4 or 8 channels.
    static bool parseBoards(const QString &text, QList<BoardSetup> *out, QString *error);

    QJsonArray list() const;          // present boards only
    QJsonArray describe() const;      // every board with its state, for "state"
    QJsonArray publishedBoards() const; // serial and channels of every board
    bool status(const QString &serial, quint32 *status, QString *error) const;
    bool set(const QString &serial, int channel, bool on, quint32 *status, QString *error);
    bool chipSupply() const;
    qint64 switchCount() const { return m_switches; }

signals:
    void chipSupplyChanged(bool on);

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
    bool m_supply = false;
    qint64 m_switches = 0;
};

#endif // RELAYBANK_H
