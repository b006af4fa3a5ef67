// Holds one relay channel of one board for this run, against other runs on
// this PC: a lock file per board and channel in the user's runtime folder.
// The kernel drops the lock when the holder dies, so a crashed run's channel
// is free again at once; a live holder is named by its pid.
#ifndef RELAYCHANNELLOCK_H
#define RELAYCHANNELLOCK_H

#include <QString>

#include "PidLockFile.h"
#include "usb_relay_device.h"

class RelayChannelLock
{
public:
    RelayChannelLock() = default;

    RelayChannelLock(const RelayChannelLock &) = delete;
    RelayChannelLock &operator=(const RelayChannelLock &) = delete;

    // False with a one-line reason when another live run holds the channel
    // or the lock file cannot be made. Taking a second channel drops the first.
    // The lock files of a virtual bench's boards live in that bench's own
    // folder: two benches on one PC may show boards of the same serial.
    bool acquire(const usb_relay_device_info &board, int channel, QString *error);
    bool acquire(const QString &serial, int channel, QString *error, const QString &folder = QString());
    void release();
    bool isHeld() const;

    // The folder of the lock files: $XDG_RUNTIME_DIR (the platform's runtime
    // folder), else a private /tmp/trevalo-<uid>. Empty when none can be used.
    static QString lockFolder();
    static QString lockFileName(const QString &serial, int channel);

private:
    PidLockFile m_lock;
};

#endif // RELAYCHANNELLOCK_H
