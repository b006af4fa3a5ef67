// Checks a machine before the first run at a real bench: the AT port, who
// else would use it, the relay board, pppd with its peer file, and ping.
// Each item says ok, or what is wrong and what to do about it.
#ifndef SETUPCHECK_H
#define SETUPCHECK_H

#include <QList>
#include <QString>

class SetupCheck
{
public:
    struct Item
    {
        QString name;
        bool ok = false;
        QString detail; // what was found
        QString advice; // what to do; empty when ok
    };

    struct Options
    {
        QString port;  // the chip's AT port
        QString board; // relay board serial number; empty: any board
        QString peerFile = QStringLiteral("/etc/ppp/peers/provider");
        // The peer the dials call: a leftover pppd of another peer belongs
        // to another modem's runs.
        QString peerName = QStringLiteral("provider");
        QString pppd;  // empty: pppd found as the dial finds it
        // Where dials leave their pppd's pid and pppd its port lock; empty:
        // where the dial keeps them.
        QString pppdPidDir;
        QString lockDir;
        QString ping;  // empty: "ping" on PATH
        // Where the system shows processes, udev's device data and hidraw
        // devices; other folders only in tests.
        QString procDir = QStringLiteral("/proc");
        QString udevDataDir = QStringLiteral("/run/udev/data");
        QString hidrawClassDir = QStringLiteral("/sys/class/hidraw");
        // What the case to run needs; a steps file may need only some of it.
        bool needsPort = true;  // the port and ModemManager
        bool needsBoard = true;
        bool needsPppd = true;  // pppd, its peer file, a leftover pppd
        bool needsPing = true;
    };

    static QList<Item> run(const Options &options);
    static bool allOk(const QList<Item> &items);
    // One line: "ok    name: detail" or "FAIL  name: detail - advice".
    static QString format(const Item &item);

    static Item checkPort(const Options &options);
    static Item checkModemManager(const Options &options);
    static Item checkRelayBoard(const Options &options);
    static Item checkPppd(const Options &options);
    static Item checkPeerFile(const Options &options);
    // A pppd left running by a killed run holds the modem's port: ended
    // when a dial of ours started it, named when it is someone else's.
    static Item checkLeftoverPppd(const Options &options);
    static Item checkPing(const Options &options);

    // Processes other than this one that have the file open: "name (pid N)".
    static QStringList holders(const QString &path, const QString &procDir);
};

#endif // SETUPCHECK_H
