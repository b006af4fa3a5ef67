// The pppd peer file a chip's modem is dialled through. Several modems on
// one PC each have their own (/etc/ppp/peers/<name>), with the options pppd
// takes only from there for a user who is not root: ifname, unit, linkname.
#ifndef PPPPEER_H
#define PPPPEER_H

#include <QString>

class PppPeer
{
public:
    static QString defaultName() { return QStringLiteral("provider"); }
    // A name pppd reads as a file of the peers folder and never as an
    // option or a path: letters, digits, '.', '_' and '-', starting with a
    // letter, a digit or '_', at most 64 characters, no "..".
    static bool isName(const QString &name);
    static QString filePath(const QString &name, const QString &peersDir = QStringLiteral("/etc/ppp/peers"));
    // Empty when a dial can go through the peer, otherwise one line saying
    // what is wrong. The file is looked for only where pppd dials
    // (fileMustExist), not on the virtual bench.
    static QString problem(const QString &name, bool fileMustExist,
                           const QString &peersDir = QStringLiteral("/etc/ppp/peers"));
};

#endif // PPPPEER_H
