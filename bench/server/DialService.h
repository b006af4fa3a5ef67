// The dial-up service: plays the progress a Windows dialer reports for a
// PPP connection through the chip's modem, stage by stage, as
// RASCONNSTATE values with error codes. Every dial belongs to the control
// connection that asked for it and ends when that connection goes away.
//
// Each chip has its own dial line; a dial names its peer, which picks the
// chip ("provider" is chip 1's). On a bench of several chips a line works
// only while its chip does: no power, no line; no registration, no
// carrier; a chip that goes dark drops its line. A bench of one chip keeps
// its line whatever the chip does (the connection cases never power it).
#ifndef DIALSERVICE_H
#define DIALSERVICE_H

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QPointer>

class ChipModel;
class FaultSet;
class QTimer;

class DialService : public QObject
{
    Q_OBJECT

public:
    // chips: the chips in order (chip k at k-1), owned elsewhere and
    // outliving the service.
    DialService(FaultSet *faults, int stepMs, const QList<ChipModel *> &chips,
                QObject *parent = nullptr);
    ~DialService() override;

    // The chip (1..) a peer name dials: "" and "provider" chip 1, "chipK" and
    // "providerK" chip K; 0 for no chip of this bench.
    int chipForPeer(const QString &peer) const;
    // A new dial for owner: its id (> 0) with *error 0, or *error set to the
    // RAS error code that refused it. A refused dial that still holds a line
    // (fault dial.refuseHeld) has an id too, to be hung up like any other.
    int dial(QObject *owner, const QString &number, const QString &peer, int *error);
    // Chip k went dark: its dials fail and its connected lines drop.
    void chipWentDown(int chip);
    bool status(int id, int *state, int *error) const;
    bool hangUp(int id);
    // Ends every dial of owner (its connection closed).
    void dropOwner(QObject *owner);
    QJsonObject counters() const;

signals:
    // One progress report of dial id, for its owner.
    void progress(QObject *owner, int id, int state, int error);

private:
    struct Dial
    {
        QObject *owner = nullptr;
        int chip = 1;
        int stage = -1;     // index into the stage list, -1 before the first
        int state = 0;      // last reported RASCONNSTATE
        int error = 0;
        bool finished = false;
        QTimer *timer = nullptr;
    };
    int newId();
    void advance(int id);
    void report(int id, Dial &d, int state, int error, bool finished);
    void release(Dial &d);

    bool linesFollowChips() const { return m_chips.size() > 1; }
    int stepDelay(int chip) const;

    FaultSet *m_faults;
    int m_stepMs;
    QList<ChipModel *> m_chips;
    int m_nextId = 1;
    QHash<int, Dial> m_dials;
    qint64 m_started = 0;
    qint64 m_refused = 0;
    qint64 m_connected = 0;
    qint64 m_failed = 0;
    qint64 m_hangups = 0;
    qint64 m_lineDrops = 0; // connected lines that dropped
    qint64 m_abandoned = 0; // dials whose control connection closed
};

#endif // DIALSERVICE_H
