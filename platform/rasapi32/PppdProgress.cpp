#include "PppdProgress.h"

#include <sys/wait.h>

namespace {

// The states a dial passes through, in order. Stages pppd does not print
// (it is silent about authentication when the peer asks for none) are
// reported when a later stage shows they are over.
const RASCONNSTATE kMilestones[] = {
    RASCS_OpenPort,     RASCS_PortOpened,   RASCS_ConnectDevice,  RASCS_DeviceConnected,
    RASCS_AllDevicesConnected, RASCS_Authenticate, RASCS_Authenticated, RASCS_Connected,
};
constexpr int kConnectDevice = 2;
constexpr int kDeviceConnected = 3;
constexpr int kAllDevicesConnected = 4;
constexpr int kAuthenticate = 5;
constexpr int kAuthenticated = 6;
constexpr int kConnected = 7;

bool contains(const std::string &text, const char *what)
{
    return text.find(what) != std::string::npos;
}

bool startsWith(const std::string &text, const char *what)
{
    return text.rfind(what, 0) == 0;
}

} // namespace

DWORD PppdProgress::errorForExitStatus(int status)
{
    switch (status) {
    case 2:  // options error: usually the peer file is missing
        return ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
    case 3:  // not run as root
        return ERROR_ACCESS_DENIED;
    case 4:  // no PPP support in the kernel
    case 6:  // serial port locked
    case 7:  // serial port could not be opened
        return ERROR_PORT_NOT_AVAILABLE;
    case 8:  // connect script failed
        return ERROR_NO_ANSWER;
    case 10: // negotiation failed
        return ERROR_PPP_NO_RESPONSE;
    case 11: // the peer failed our authentication
    case 19: // we failed the peer's authentication
    case 21: // CNID authentication failed
        return ERROR_AUTHENTICATION_FAILURE;
    case 15: // the peer stopped answering echo requests
        return ERROR_PPP_TIMEOUT;
    case 17: // the line is looped back
        return ERROR_PPP_LOOPBACK_DETECTED;
    case 1:  // fatal error
    case 9:  // pty command failed
    case 18: // init script failed
        return ERROR_FROM_DEVICE;
    default: // 0, 5, 12, 13, 14, 16, 20 and anything else: the link went down
        return ERROR_DISCONNECTION;
    }
}

DWORD PppdProgress::errorForLine(const std::string &text)
{
    if (contains(text, "Connect script failed"))
        return ERROR_NO_ANSWER;
    if (contains(text, "authentication failed") || contains(text, "refused to authenticate")
        || contains(text, "No auth is possible"))
        return ERROR_AUTHENTICATION_FAILURE;
    if (contains(text, "LCP: timeout sending Config-Requests"))
        return ERROR_PPP_TIMEOUT;
    if (contains(text, "Serial line is looped back"))
        return ERROR_PPP_LOOPBACK_DETECTED;
    if (contains(text, "is locked by pid") || startsWith(text, "Failed to open ")
        || contains(text, "lacks kernel support for PPP"))
        return ERROR_PORT_NOT_AVAILABLE;
    if (contains(text, "Modem hangup") || startsWith(text, "Connection terminated")
        || contains(text, "Serial link appears to be disconnected"))
        return ERROR_DISCONNECTION;
    return 0;
}

bool PppdProgress::isInterfaceName(const std::string &name)
{
    // The kernel's rule (IFNAMSIZ, no '/', ':' or blanks), and no option.
    if (name.empty() || name.size() > 15 || name == "." || name == ".." || name[0] == '-')
        return false;
    for (const char c : name) {
        if (c <= ' ' || c == '/' || c == ':' || c == 0x7f)
            return false;
    }
    return true;
}

void PppdProgress::advanceTo(int milestone, std::vector<Report> &out)
{
    while (m_reached < milestone) {
        ++m_reached;
        out.push_back({kMilestones[m_reached], 0});
    }
}

std::vector<PppdProgress::Report> PppdProgress::fail(DWORD error)
{
    std::vector<Report> out;
    if (m_ended)
        return out;
    m_ended = true;
    if (m_connected)
        out.push_back({RASCS_Disconnected, error});
    else
        out.push_back({kMilestones[m_reached < 0 ? 0 : m_reached], error});
    return out;
}

std::vector<PppdProgress::Report> PppdProgress::started()
{
    std::vector<Report> out;
    advanceTo(kConnectDevice, out);
    return out;
}

std::vector<PppdProgress::Report> PppdProgress::line(const std::string &raw)
{
    std::string text = raw;
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n'))
        text.pop_back();

    std::vector<Report> out;
    if (m_ended)
        return out;

    const DWORD error = errorForLine(text);
    if (error != 0)
        return fail(error);
    if (m_connected)
        return out;

    if (contains(text, "Serial connection established")) {
        advanceTo(kDeviceConnected, out);
    } else if (startsWith(text, "Using interface ")) {
        const std::string name = text.substr(16);
        if (isInterfaceName(name))
            m_interface = name;
        advanceTo(kAllDevicesConnected, out);
    } else if (startsWith(text, "Connect: ")) {
        // "Connect: ppp0 <--> /dev/ttyUSB2": the link is up, LCP and
        // authentication follow.
        const size_t arrow = text.find("<--> ");
        if (arrow != std::string::npos)
            m_device = text.substr(arrow + 5);
        advanceTo(kAuthenticate, out);
    } else if (contains(text, "authentication succeeded")) {
        advanceTo(kAuthenticated, out);
    } else if (startsWith(text, "local  IP address") || startsWith(text, "local  LL address")) {
        advanceTo(kConnected, out);
        m_connected = true;
    }
    return out;
}

std::vector<PppdProgress::Report> PppdProgress::exited(int waitStatus, bool hangUpRequested)
{
    if (hangUpRequested || m_ended)
        return {};
    if (WIFEXITED(waitStatus))
        return fail(errorForExitStatus(WEXITSTATUS(waitStatus)));
    return fail(ERROR_DISCONNECTION);
}
