// Which device a serial port name leads to, so that a port opened again
// after the chip's power cut is known to be the chip's and not a device
// that took its number (a terminal on the old /dev/pts/N, another USB
// adapter on the old ttyUSB2).
#ifndef PORTIDENTITY_H
#define PORTIDENTITY_H

#include <QString>
#include <QStringList>

class PortIdentity
{
public:
    // Where udev keeps the stable names of USB serial ports.
    static QString byIdFolder();

    // True when the name is a symbolic link (a /dev/serial/by-id name, the
    // virtual bench's ttyAT): opening it again follows the device wherever
    // its number went.
    static bool isStableName(const QString &portName);

    // The stable names that lead to the device behind portName now: the
    // links in folder, and those of extraLinks that lead there.
    static QStringList stableNames(const QString &portName, const QStringList &extraLinks = {},
                                   const QString &folder = byIdFolder());

    // What tells the device behind portName from any other: for a USB port
    // its vendor, product, serial number (or place on the bus) and
    // interface; otherwise the stable names that lead to it. Empty when
    // nothing is known about it (a built-in UART).
    static QString of(const QString &portName, const QStringList &extraLinks = {},
                      const QString &folder = byIdFolder(),
                      const QString &sysClassTty = QStringLiteral("/sys/class/tty"));
};

#endif // PORTIDENTITY_H
