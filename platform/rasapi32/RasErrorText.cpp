#include "RasErrorText.h"

#include <mutex>

namespace {

struct Noted
{
    std::mutex mutex;
    DWORD code = 0;
    std::string reason;
};

// Never destroyed: a dial thread may still note a reason at exit.
Noted &noted()
{
    static Noted *instance = new Noted;
    return *instance;
}

const char *usualText(DWORD code)
{
    switch (code) {
    case PENDING: return "An operation is pending.";
    case ERROR_ACCESS_DENIED: return "Access is denied.";
    case ERROR_INVALID_HANDLE: return "The handle is invalid.";
    case ERROR_INVALID_PARAMETER: return "The parameter is incorrect.";
    case ERROR_CANNOT_FIND_PHONEBOOK_ENTRY: return "The phone book entry cannot be found.";
    case ERROR_DISCONNECTION: return "The connection was closed by the remote computer.";
    case ERROR_HARDWARE_FAILURE: return "The modem was disconnected due to hardware failure.";
    case ERROR_INVALID_SIZE: return "The structure size is incorrect.";
    case ERROR_PORT_NOT_AVAILABLE: return "The port is not available.";
    case ERROR_REQUEST_TIMEOUT: return "The request has timed out.";
    case ERROR_FROM_DEVICE: return "The modem reported an error.";
    case ERROR_NO_ANSWER: return "The remote computer did not respond.";
    case ERROR_NO_CARRIER: return "There was no carrier.";
    case ERROR_NO_DIALTONE: return "There was no dial tone.";
    case ERROR_AUTHENTICATION_FAILURE: return "The user name or password is not valid.";
    case ERROR_PPP_TIMEOUT: return "The remote computer did not respond in time.";
    case ERROR_PPP_NO_RESPONSE: return "The remote computer is not responding.";
    case ERROR_PPP_LCP_TERMINATED: return "The PPP link control protocol was terminated.";
    case ERROR_PPP_LOOPBACK_DETECTED: return "A loopback was detected.";
    default: return "";
    }
}

} // namespace

void RasErrorText::note(DWORD code, const std::string &reason)
{
    Noted &n = noted();
    std::lock_guard<std::mutex> lock(n.mutex);
    n.code = code;
    // Room for the code's text in the usual 512-byte buffer of the caller.
    n.reason = reason.substr(0, 400);
}

void RasErrorText::forget()
{
    note(0, std::string());
}

std::string RasErrorText::text(DWORD code)
{
    if (code == 0)
        return std::string();
    {
        Noted &n = noted();
        std::lock_guard<std::mutex> lock(n.mutex);
        if (n.code == code && !n.reason.empty())
            return n.reason;
    }
    return usualText(code);
}
