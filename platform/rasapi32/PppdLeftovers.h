// A pppd whose dialling process ended without hanging up (killed outright,
// crashed) keeps the modem's port, and every later dial fails on it. Each
// dial leaves a pid file naming its pppd and the process that started it;
// a pppd named there whose starter is gone is a leftover of ours and is
// ended. A process this layer did not start is never touched, only named:
// the lock file pppd's "lock" option leaves for the peer's port tells who
// holds the port. With one modem per peer file, a dial ends only leftovers
// of its own peer: another modem's are its own runs' to end.
#ifndef PPPDLEFTOVERS_H
#define PPPDLEFTOVERS_H

#include <string>
#include <vector>

class PppdLeftovers
{
public:
    struct Places
    {
        std::string pidDir; // our pid files, one per running pppd
        std::string lockDir = "/var/lock";
        std::string peer = "provider"; // the pppd peer the dials call
        std::string peerFile = "/etc/ppp/peers/provider";
        std::string procDir = "/proc";
    };

    struct Finding
    {
        long pid = 0;
        bool ended = false; // ours, and ended now
        std::string text;   // one line for the log or the set-up check
    };

    // The pid files go to a folder of this user's that outlives the
    // process and is the same for the window, the runner and the check:
    // /tmp/trevalo-<uid>, made owner-only.
    static Places defaultPlaces(const std::string &peer = "provider");

    // Notes that this process started pppd as pid; false when it could not
    // (no usable folder): the dial goes on, but a leftover would stay unknown.
    static bool remember(const Places &places, long pid);
    // pppd pid has ended and was reaped.
    static void forget(const Places &places, long pid);

    // Ends every leftover pppd of ours (SIGTERM, SIGKILL after graceMs) and
    // names a process that is not ours holding the peer's port.
    static std::vector<Finding> sweep(const Places &places, int graceMs);
};

#endif // PPPDLEFTOVERS_H
