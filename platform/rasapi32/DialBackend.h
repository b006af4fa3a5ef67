// One way of carrying out a dial (the virtual bench, pppd). A back-end
// object serves exactly one dial and lives as long as its connection.
#ifndef DIALBACKEND_H
#define DIALBACKEND_H

#include "ras.h"

class RasConnection;

class DialBackend
{
public:
    virtual ~DialBackend() = default;

    // Runs on the dial's own thread. Starts the dial and tells the
    // connection accepted() or refused(code); then follows the dial,
    // reporting progress through report(), until the connection is
    // cancelled (tear everything down, then return) or the dial has ended
    // with nothing left to release.
    virtual void run(RasConnection &connection) = 0;

    // Any thread, after the connection was cancelled: make run() notice
    // it promptly.
    virtual void wake() {}

    // Caller's thread: the device's own view of the connection. False when
    // it has none; the last reported state is used then.
    virtual bool queryStatus(RASCONNSTATE *state, DWORD *error)
    {
        (void)state;
        (void)error;
        return false;
    }
};

#endif // DIALBACKEND_H
