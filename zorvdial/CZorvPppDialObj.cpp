#include "CZorvPppDialObj.h"

#if defined(_WIN32)
#include <windows.h>
#include <ras.h>
#else
#include <ras.h>
#endif

#include <atomic>
#include <cstddef>
#include <cstring>

namespace {

// The dial record in the form every RAS release accepts: the fields up to
// szDomain, 1052 bytes. Newer SDK headers append dwSubEntry, dwCallbackId
// and more to RASDIALPARAMSA, so the record is declared here and handed to
// RAS through the SDK's pointer type.
struct DialParams1052
{
    DWORD dwSize;
    CHAR szEntryName[RAS_MaxEntryName + 1];
    CHAR szPhoneNumber[RAS_MaxPhoneNumber + 1];
    CHAR szCallbackNumber[RAS_MaxCallbackNumber + 1];
    CHAR szUserName[UNLEN + 1];
    CHAR szPassword[PWLEN + 1];
    CHAR szDomain[DNLEN + 1];
};

// The status record up to szDeviceName, 160 bytes.
struct ConnStatus160
{
    DWORD dwSize;
    RASCONNSTATE rasconnstate;
    DWORD dwError;
    CHAR szDeviceType[RAS_MaxDeviceType + 1];
    CHAR szDeviceName[RAS_MaxDeviceName + 1];
};

constexpr DWORD kDialParamsSize = 1052;
constexpr DWORD kConnStatusSize = 160;

static_assert(sizeof(DialParams1052) == kDialParamsSize, "dial record must be 1052 bytes");
static_assert(sizeof(ConnStatus160) == kConnStatusSize, "status record must be 160 bytes");
static_assert(offsetof(DialParams1052, dwSize) == offsetof(RASDIALPARAMSA, dwSize), "layout");
static_assert(offsetof(DialParams1052, szEntryName) == offsetof(RASDIALPARAMSA, szEntryName), "layout");
static_assert(offsetof(DialParams1052, szPhoneNumber) == offsetof(RASDIALPARAMSA, szPhoneNumber), "layout");
static_assert(offsetof(DialParams1052, szCallbackNumber) == offsetof(RASDIALPARAMSA, szCallbackNumber), "layout");
static_assert(offsetof(DialParams1052, szUserName) == offsetof(RASDIALPARAMSA, szUserName), "layout");
static_assert(offsetof(DialParams1052, szPassword) == offsetof(RASDIALPARAMSA, szPassword), "layout");
static_assert(offsetof(DialParams1052, szDomain) == offsetof(RASDIALPARAMSA, szDomain), "layout");
static_assert(sizeof(RASDIALPARAMSA) >= kDialParamsSize, "layout");
static_assert(offsetof(ConnStatus160, dwSize) == offsetof(RASCONNSTATUSA, dwSize), "layout");
static_assert(offsetof(ConnStatus160, rasconnstate) == offsetof(RASCONNSTATUSA, rasconnstate), "layout");
static_assert(offsetof(ConnStatus160, dwError) == offsetof(RASCONNSTATUSA, dwError), "layout");
static_assert(offsetof(ConnStatus160, szDeviceName) == offsetof(RASCONNSTATUSA, szDeviceName), "layout");
static_assert(sizeof(RASCONNSTATUSA) >= kConnStatusSize, "layout");

// The one connection of the process, shared by every dial object. The
// caller's thread dials and hangs up, but the handle is atomic so that a
// hang-up from another thread never sees half a value or hangs up twice.
std::atomic<HRASCONN> g_connection{nullptr};
// What RasDialA answered to the last dial of the process.
std::atomic<DWORD> g_refusal{0};

template <size_t N>
void copyField(CHAR (&field)[N], const char *text)
{
    std::strncpy(field, text, N - 1);
    field[N - 1] = '\0';
}

} // namespace

CZorvPppDialObj::CZorvPppDialObj() {}

CZorvPppDialObj::~CZorvPppDialObj() {}

CZorvPppDialObj &CZorvPppDialObj::operator=(const CZorvPppDialObj &)
{
    return *this;
}

bool CZorvPppDialObj::dialUp(void *notifier)
{
    return dialUp(notifier, nullptr);
}

bool CZorvPppDialObj::dialUp(void *notifier, const char *entryName)
{
    DialParams1052 params;
    std::memset(&params, 0, sizeof(params));
    params.dwSize = kDialParamsSize;

    // A connection nobody hung up would keep its line (on Windows even past
    // the process); release it before its handle is forgotten.
    if (const HRASCONN stale = g_connection.exchange(nullptr))
        RasHangUpA(stale);

    copyField(params.szEntryName, entryName != nullptr ? entryName : "");
    copyField(params.szPhoneNumber, "*99***1#");
    copyField(params.szUserName, "");
    copyField(params.szPassword, "");
    copyField(params.szCallbackNumber, "");
    copyField(params.szDomain, "");

    HRASCONN connection = nullptr;
    const DWORD rc = RasDialA(nullptr, nullptr, reinterpret_cast<LPRASDIALPARAMSA>(&params), 0,
                              notifier, &connection);
    g_refusal.store(rc);
    if (rc != 0) {
        // RAS may refuse after it has opened a connection and still hand out
        // its handle. The caller only learns that the dial failed, so the
        // line is released here, quietly.
        if (connection != nullptr)
            RasHangUpA(connection);
        return false;
    }
    g_connection.store(connection);
    return true;
}

int CZorvPppDialObj::GetConnectStatus()
{
    const HRASCONN connection = g_connection.load();
    if (connection == nullptr)
        return -1;

    ConnStatus160 status;
    std::memset(&status, 0, sizeof(status));
    status.dwSize = kConnStatusSize;
    RasGetConnectStatusA(connection, reinterpret_cast<LPRASCONNSTATUSA>(&status));
    return status.rasconnstate == RASCS_Connected ? 1 : 0;
}

bool CZorvPppDialObj::hangUp()
{
    const HRASCONN connection = g_connection.exchange(nullptr);
    if (connection != nullptr)
        RasHangUpA(connection);
    return true;
}

unsigned int CZorvPppDialObj::lastRefusal() const
{
    return g_refusal.load();
}

bool CZorvPppDialObj::errorText(unsigned int code, char *buffer, unsigned int size) const
{
    if (buffer == nullptr || size == 0)
        return false;
    buffer[0] = '\0';
    // RAS's texts fit in 512 bytes; a smaller buffer gets the start of one.
    CHAR text[512];
    if (code == 0 || RasGetErrorStringA(code, text, sizeof(text)) != 0)
        return false;
    text[sizeof(text) - 1] = '\0';
    std::strncpy(buffer, text, size - 1);
    buffer[size - 1] = '\0';
    return true;
}

bool CZorvPppDialObj::linkInterface(char *buffer, unsigned int size) const
{
    if (buffer == nullptr || size == 0)
        return false;
    buffer[0] = '\0';
#if defined(_WIN32)
    // Windows routes by its own rules; there is no link to pin traffic to.
    return false;
#else
    const HRASCONN connection = g_connection.load();
    CHAR text[64];
    if (connection == nullptr || RasGetLinkInterfaceA(connection, text, sizeof(text)) != 0 || text[0] == '\0')
        return false;
    text[sizeof(text) - 1] = '\0';
    // Half a name would pin traffic to another interface, or to none.
    if (std::strlen(text) >= size)
        return false;
    std::memcpy(buffer, text, std::strlen(text) + 1);
    return true;
#endif
}

bool CZorvPppDialObj::dialNotice(char *buffer, unsigned int size) const
{
    if (buffer == nullptr || size == 0)
        return false;
    buffer[0] = '\0';
#if defined(_WIN32)
    // Windows RAS dials without pppd and has nothing of the kind to tell.
    return false;
#else
    CHAR text[2048];
    if (RasGetDialNoticeA(text, sizeof(text)) != 0 || text[0] == '\0')
        return false;
    text[sizeof(text) - 1] = '\0';
    std::strncpy(buffer, text, size - 1);
    buffer[size - 1] = '\0';
    return true;
#endif
}
