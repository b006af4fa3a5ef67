// The chip as its AT port shows it: silent while unpowered; once powered it
// boots, answers "AT" and the radio commands, and reports network
// registration with unsolicited "+CREG: n" lines, tells its signal quality,
// SIM and attach state, and reboots on command. With the fault at.vanish
// its port disappears at power-off and is back, as a new device, once the
// chip has booted (unless at.staysAway keeps it away).
#ifndef CHIPMODEL_H
#define CHIPMODEL_H

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QStringList>

class FaultSet;
class PseudoTerminal;
class QTimer;

struct ChipTimings
{
    int bootMs = 150;       // power-on until the chip answers commands
    int registerMs = 200;   // boot or radio on until "+CREG: 1"
    int deregisterMs = 50;  // radio off until "+CREG: 0"
};

class ChipModel : public QObject
{
    Q_OBJECT

public:
    // index: the chip's number on the bench (1..), which picks its own faults.
    ChipModel(int index, PseudoTerminal *port, FaultSet *faults, const ChipTimings &timings,
              QObject *parent = nullptr);

    int index() const { return m_index; }
    bool isPowered() const { return m_powered; }
    bool isRegistered() const { return m_creg == 1; }
    QJsonObject state() const;

public slots:
    void setPowered(bool on);

signals:
    // The chip went dark: power cut or reboot. Its data line drops.
    void wentDown();

private:
    // Everything of the chip's current life stops, as at a power cut; with
    // portGoes a vanishing port (at.vanish) goes too.
    void goDark(bool portGoes);
    void boot();
    void reboot();
    bool fault(const char *name) const;
    void onReceived(const QByteArray &data);
    void handleLine(const QByteArray &line);
    void onBooted();
    void onRegistered();
    void onDeregistered();
    void scheduleRegistration(int delayMs);
    // Sends a reply as the chip frames it, in pieces when that fault is set.
    void send(const QByteArray &text);
    void sendNextPiece();

    const int m_index;
    PseudoTerminal *m_port;
    FaultSet *m_faults;
    ChipTimings m_timings;
    bool m_powered = false;
    bool m_booted = false;
    bool m_radioOn = false;
    int m_creg = 0;
    QByteArray m_line;
    bool m_lineOverflow = false;
    QStringList m_lastCommands;
    qint64 m_commandCount = 0;
    qint64 m_discardedBytes = 0;
    QTimer *m_bootTimer;
    QTimer *m_registerTimer;
    QTimer *m_deregisterTimer;
    QTimer *m_pieceTimer;
    QList<QByteArray> m_pieces;
};

#endif // CHIPMODEL_H
