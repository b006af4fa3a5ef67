// The RAS calls on top of the dial back-ends. Connections are kept in
// a table keyed by handle value; a handle that is not in the table (never
// issued, or already hung up) is refused, never dereferenced.
#include "ras.h"

#include "BenchClient.h"
#include "BenchDialBackend.h"
#include "DialNotice.h"
#include "DialRequest.h"
#include "PppdDialBackend.h"
#include "PppdLeftovers.h"
#include "RasConnection.h"
#include "RasErrorText.h"

#include <cstdint>
#include <QLoggingCategory>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>

namespace {

struct ConnectionTable
{
    std::mutex mutex;
    std::map<uintptr_t, std::shared_ptr<RasConnection>> connections;
    uintptr_t nextId = 0x1000;
};

// Never destroyed: a connection still held at exit keeps its thread, and
// tearing it down from a static destructor could hang the exit.
ConnectionTable &table()
{
    static ConnectionTable *instance = new ConnectionTable;
    return *instance;
}

std::shared_ptr<RasConnection> find(HRASCONN handle, bool remove)
{
    ConnectionTable &t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    const auto it = t.connections.find(reinterpret_cast<uintptr_t>(handle));
    if (it == t.connections.end())
        return nullptr;
    std::shared_ptr<RasConnection> connection = it->second;
    if (remove)
        t.connections.erase(it);
    return connection;
}

HRASCONN add(std::shared_ptr<RasConnection> connection)
{
    ConnectionTable &t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    const uintptr_t id = t.nextId++;
    t.connections.emplace(id, std::move(connection));
    return reinterpret_cast<HRASCONN>(id);
}

Q_LOGGING_CATEGORY(lcLeftovers, "trevalo.pppd")

// A pppd left running by a run that was killed holds the modem's port and
// would make this dial fail: ended here when it is ours, named otherwise.
void sweepLeftovers(const std::string &peer)
{
    const std::vector<PppdLeftovers::Finding> found =
        PppdLeftovers::sweep(PppdLeftovers::defaultPlaces(peer), PppdDialBackend::kTerminateGraceMs);
    for (const PppdLeftovers::Finding &f : found) {
        qCWarning(lcLeftovers, "%s", f.text.c_str());
        DialNotice::add(f.text);
    }
}

} // namespace

DWORD APIENTRY RasDialA(LPRASDIALEXTENSIONS lpRasDialExtensions, LPCSTR lpszPhonebook,
                        LPRASDIALPARAMSA lpRasDialParams, DWORD dwNotifierType,
                        LPVOID lpvNotifier, LPHRASCONN lphRasConn)
{
    (void)lpRasDialExtensions;
    (void)lpszPhonebook;
    if (lpRasDialParams == nullptr || lphRasConn == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (lpRasDialParams->dwSize != sizeof(RASDIALPARAMSA))
        return ERROR_INVALID_SIZE;
    // Only RasDialFunc notifiers are supported.
    if (lpvNotifier != nullptr && dwNotifierType != 0)
        return ERROR_INVALID_PARAMETER;
    // A non-null handle asks RAS to resume a paused dial; none ever pauses here.
    if (*lphRasConn != nullptr)
        return ERROR_INVALID_HANDLE;

    RasErrorText::forget();
    DialNotice::forget();
    const DialRequest request = DialRequest::fromParams(*lpRasDialParams);
    if (const DWORD bad = request.check())
        return bad;

    std::unique_ptr<DialBackend> backend;
    if (BenchClient::isAvailable())
        backend = std::make_unique<BenchDialBackend>(request);
    else {
        sweepLeftovers(request.peer());
        backend = std::make_unique<PppdDialBackend>(request);
    }

    const auto notifier = reinterpret_cast<RASDIALFUNC>(lpvNotifier);
    auto connection = std::make_shared<RasConnection>(std::move(backend), notifier);
    const DWORD rc = connection->start(BenchDialBackend::kReplyTimeoutMs);
    if (rc != 0) {
        // As on Windows, a refusal may come with a handle; the caller must
        // hang it up to free the line.
        if (connection->holdsLine())
            *lphRasConn = add(connection);
        return rc;
    }

    *lphRasConn = add(connection);
    // Without a notifier the dial is synchronous: RasDialA returns when it
    // connected or failed; the handle is held either way.
    if (notifier == nullptr)
        return connection->waitFinished();
    return 0;
}

DWORD APIENTRY RasGetConnectStatusA(HRASCONN hrasconn, LPRASCONNSTATUSA lprasconnstatus)
{
    if (lprasconnstatus == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (lprasconnstatus->dwSize != sizeof(RASCONNSTATUSA))
        return ERROR_INVALID_SIZE;
    const std::shared_ptr<RasConnection> connection = find(hrasconn, false);
    if (!connection)
        return ERROR_INVALID_HANDLE;
    connection->status(lprasconnstatus);
    return 0;
}

DWORD APIENTRY RasHangUpA(HRASCONN hrasconn)
{
    const std::shared_ptr<RasConnection> connection = find(hrasconn, true);
    if (!connection)
        return ERROR_INVALID_HANDLE;
    connection->hangUp();
    return 0;
}

DWORD APIENTRY RasGetLinkInterfaceA(HRASCONN hrasconn, LPSTR lpszInterface, DWORD cBufSize)
{
    if (lpszInterface == nullptr || cBufSize == 0)
        return ERROR_INVALID_PARAMETER;
    const std::shared_ptr<RasConnection> connection = find(hrasconn, false);
    if (!connection)
        return ERROR_INVALID_HANDLE;
    const std::string name = connection->interfaceName();
    if (name.size() >= cBufSize)
        return ERROR_INSUFFICIENT_BUFFER;
    std::memcpy(lpszInterface, name.c_str(), name.size() + 1);
    return 0;
}

DWORD APIENTRY RasGetErrorStringA(UINT uErrorValue, LPSTR lpszErrorString, DWORD cBufSize)
{
    if (lpszErrorString == nullptr || cBufSize == 0)
        return ERROR_INVALID_PARAMETER;
    const std::string text = RasErrorText::text(uErrorValue);
    if (text.empty())
        return ERROR_INVALID_PARAMETER;
    if (text.size() >= cBufSize)
        return ERROR_INSUFFICIENT_BUFFER;
    std::memcpy(lpszErrorString, text.c_str(), text.size() + 1);
    return 0;
}

DWORD APIENTRY RasGetDialNoticeA(LPSTR lpszNotice, DWORD cBufSize)
{
    if (lpszNotice == nullptr || cBufSize == 0)
        return ERROR_INVALID_PARAMETER;
    const std::string text = DialNotice::text();
    if (text.size() >= cBufSize)
        return ERROR_INSUFFICIENT_BUFFER;
    std::memcpy(lpszNotice, text.c_str(), text.size() + 1);
    return 0;
}
