#include "RasConnection.h"

#include <chrono>
#include <cstring>

RasConnection::RasConnection(std::unique_ptr<DialBackend> backend, RASDIALFUNC notifier)
    : m_backend(std::move(backend)), m_notifier(notifier), m_deviceName("modem")
{
}

RasConnection::~RasConnection()
{
    if (!m_thread.joinable())
        return;
    // The last owner may be the dial thread itself, after a hang-up from
    // inside the notifier; it cannot wait for itself.
    if (m_thread.get_id() == std::this_thread::get_id())
        m_thread.detach();
    else
        m_thread.join();
}

bool RasConnection::isTerminal(RASCONNSTATE state, DWORD error)
{
    return error != 0 || state == RASCS_Connected || state == RASCS_Disconnected;
}

DWORD RasConnection::start(int acceptTimeoutMs)
{
    auto self = shared_from_this();
    m_thread = std::thread([self] {
        self->m_backend->run(*self);
        // A back-end that ends without a verdict must not leave RasDialA waiting.
        self->refused(ERROR_PORT_NOT_AVAILABLE);
        std::lock_guard<std::mutex> lock(self->m_mutex);
        self->m_finished = true;
        self->m_changed.notify_all();
    });

    DWORD code = 0;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait_for(lock, std::chrono::milliseconds(acceptTimeoutMs),
                           [this] { return m_verdict != Verdict::Pending; });
        if (m_verdict == Verdict::Accepted)
            return 0;
        if (m_verdict == Verdict::Pending) {
            m_verdict = Verdict::Refused;
            m_refusal = ERROR_REQUEST_TIMEOUT;
        }
        code = m_refusal;
        if (m_lineHeld)
            return code;
    }
    cancel();
    joinThread();
    return code;
}

DWORD RasConnection::waitFinished()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_finished; });
    if (m_error != 0)
        return m_error;
    return m_state == RASCS_Connected ? 0 : DWORD(ERROR_DISCONNECTION);
}

void RasConnection::hangUp()
{
    cancel();
    joinThread();
}

void RasConnection::status(RASCONNSTATUSA *out)
{
    RASCONNSTATE state;
    DWORD error;
    std::string device;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        state = m_state;
        error = m_error;
        device = m_deviceName;
    }
    m_backend->queryStatus(&state, &error);

    out->rasconnstate = state;
    out->dwError = error;
    std::memset(out->szDeviceType, 0, sizeof(out->szDeviceType));
    std::strncpy(out->szDeviceType, RASDT_Modem, sizeof(out->szDeviceType) - 1);
    std::memset(out->szDeviceName, 0, sizeof(out->szDeviceName));
    std::strncpy(out->szDeviceName, device.c_str(), sizeof(out->szDeviceName) - 1);
}

void RasConnection::accepted()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_verdict == Verdict::Pending)
        m_verdict = Verdict::Accepted;
    m_changed.notify_all();
}

void RasConnection::refused(DWORD code)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_verdict == Verdict::Pending) {
        m_verdict = Verdict::Refused;
        m_refusal = code != 0 ? code : DWORD(ERROR_PORT_NOT_AVAILABLE);
    }
    m_changed.notify_all();
}

void RasConnection::refusedHoldingLine(DWORD code)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_verdict == Verdict::Pending) {
        m_verdict = Verdict::Refused;
        m_refusal = code != 0 ? code : DWORD(ERROR_PORT_NOT_AVAILABLE);
        m_lineHeld = true;
        // Status queries show the refusal; the notifier hears nothing.
        m_error = m_refusal;
        m_finished = true;
    }
    m_changed.notify_all();
}

bool RasConnection::holdsLine() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lineHeld;
}

void RasConnection::report(RASCONNSTATE state, DWORD error)
{
    bool notify = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_state = state;
        if (error != 0 || !m_finished)
            m_error = error;
        notify = !m_finished && m_notifier != nullptr;
        if (isTerminal(state, error))
            m_finished = true;
        m_changed.notify_all();
    }
    // Outside the lock: the notifier may query the status or hang up.
    if (notify && !m_cancelled.load())
        m_notifier(WM_RASDIALEVENT, state, error);
}

void RasConnection::setDeviceName(const std::string &name)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_deviceName = name;
}

void RasConnection::setInterfaceName(const std::string &name)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_interfaceName = name;
}

std::string RasConnection::interfaceName() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_interfaceName;
}

bool RasConnection::waitCancelled(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    auto pred = [this] { return m_cancelled.load(); };
    if (timeoutMs < 0) {
        m_changed.wait(lock, pred);
        return true;
    }
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), pred);
}

void RasConnection::cancel()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_cancelled.store(true);
        m_changed.notify_all();
    }
    m_backend->wake();
}

void RasConnection::joinThread()
{
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id())
        m_thread.join();
}
