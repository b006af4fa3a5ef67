// A real pseudo-terminal standing in for the chip's AT port: the code under
// test opens the slave side, the test plays the chip on the master side.
#ifndef PSEUDOTERMINAL_H
#define PSEUDOTERMINAL_H

#include <QByteArray>
#include <QString>

class PseudoTerminal
{
public:
    PseudoTerminal();
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal &) = delete;
    PseudoTerminal &operator=(const PseudoTerminal &) = delete;

    QString slavePath() const { return m_slavePath; }
    bool send(const QByteArray &bytes);
    // Whatever the slave side wrote within waitMs, gathered until a quiet 50 ms.
    QByteArray receive(int waitMs);
    // Hangs up the line, as when the device vanishes.
    void closeMaster();
    // The slave side's line settings as the terminal driver holds them, e.g.
    // "115200 8N1" or "9600 7E2 rtscts ixon ixoff"; empty when unreadable.
    QString lineSettings() const;
    // Sets "9600 8N2 rtscts ixon ixoff", far from the chip's line. (A Linux
    // pseudo-terminal always keeps 8 data bits and no parity, so those two
    // cannot be told apart here.)
    bool setOtherLineSettings();

private:
    int m_master = -1;
    int m_keepSlave = -1;
    QString m_slavePath;
};

#endif // PSEUDOTERMINAL_H
