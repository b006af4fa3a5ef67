// Follows a dial through what pppd prints while it runs in the foreground
// and through its exit status, and turns that into RAS progress reports:
// the states the caller's notifier sees and the Windows error codes.
#ifndef PPPDPROGRESS_H
#define PPPDPROGRESS_H

#include "ras.h"

#include <string>
#include <vector>

class PppdProgress
{
public:
    struct Report
    {
        RASCONNSTATE state;
        DWORD error;
        bool operator==(const Report &o) const { return state == o.state && error == o.error; }
    };

    // pppd has been started: the port is being opened and the connect
    // script dials.
    std::vector<Report> started();
    // One line of pppd's output, without its line end.
    std::vector<Report> line(const std::string &text);
    // pppd has exited (a waitpid status). hangUpRequested: we ended it.
    std::vector<Report> exited(int waitStatus, bool hangUpRequested);

    // The dial has connected and not dropped since.
    bool connected() const { return m_connected && !m_ended; }
    // The dial has failed, or dropped after connecting.
    bool ended() const { return m_ended; }
    // The tty pppd reported for the link; empty until it said.
    const std::string &device() const { return m_device; }
    // The network interface pppd made for the link ("Using interface
    // ppp1"); empty until it said, or when the name is none the kernel
    // would give (it goes on to ping's command line and to a socket).
    const std::string &interfaceName() const { return m_interface; }
    static bool isInterfaceName(const std::string &name);

    // The Windows error code for a pppd exit status (0..21).
    static DWORD errorForExitStatus(int status);
    // The Windows error code a line of pppd's output announces; 0 for none.
    static DWORD errorForLine(const std::string &text);

private:
    void advanceTo(int milestone, std::vector<Report> &out);
    std::vector<Report> fail(DWORD error);

    int m_reached = -1; // index into the milestone list
    bool m_connected = false;
    bool m_ended = false;
    std::string m_device;
    std::string m_interface;
};

#endif // PPPDPROGRESS_H
