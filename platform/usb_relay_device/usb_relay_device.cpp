// The relay library's C interface: one list of every reachable board (real
// boards through HID, the virtual bench's boards through its control socket)
// and a table of open boards behind validated handles.
#include "usb_relay_device.h"

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "BenchRelayBoard.h"
#include "HidRelayBoard.h"
#include "HidTransport.h"
#include "HidapiTransport.h"
#include "RelayReports.h"

namespace {

struct BoardAddress
{
    bool bench = false;
    std::string serial;
    std::string path;
    int channels = 0;
};

// One list handed out by enumerate; the records and the texts they point to
// live here until the list is freed.
struct EnumeratedList
{
    std::vector<usb_relay_device_info> records;
    std::vector<std::unique_ptr<char[]>> texts;
    std::vector<BoardAddress> addresses; // parallel to records
};

// The GUI thread lists boards while the worker thread opens and switches
// them, so everything below is guarded by one mutex; it is never held during
// a call to a board, which may block for seconds.
struct LibraryState
{
    std::mutex mutex;
    std::map<usb_relay_device_info *, std::unique_ptr<EnumeratedList>> lists;
    std::map<intptr_t, std::shared_ptr<RelayBoard>> boards;
    intptr_t lastHandle = 0;
    HidTransport *hidOverride = nullptr;
};

LibraryState &state()
{
    // Never destroyed: boards still open at exit must not be closed through a
    // transport that static destruction has already torn down.
    static LibraryState *const instance = new LibraryState;
    return *instance;
}

HidTransport *hidTransport()
{
    static HidapiTransport *const hidapi = new HidapiTransport;
    LibraryState &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.hidOverride ? s.hidOverride : hidapi;
}

char *copyText(EnumeratedList &list, const std::string &text)
{
    std::unique_ptr<char[]> copy(new char[text.size() + 1]);
    std::memcpy(copy.get(), text.c_str(), text.size() + 1);
    char *result = copy.get();
    list.texts.push_back(std::move(copy));
    return result;
}

std::vector<BoardAddress> listHidBoards(HidTransport *transport)
{
    std::vector<BoardAddress> result;
    for (const HidTransport::DeviceEntry &entry :
         transport->enumerate(RelayReports::VendorId, RelayReports::ProductId)) {
        const int channels = RelayReports::channelCount(entry.product);
        if (channels == 0)
            continue;
        void *device = transport->open(entry.path);
        if (!device)
            continue;
        RelayReports::State boardState;
        const bool ok = HidRelayBoard::readState(transport, device, &boardState);
        transport->close(device);
        // A board whose ID cannot be read could never be opened by it again.
        if (!ok || boardState.id.empty())
            continue;
        result.push_back({false, boardState.id, entry.path, channels});
    }
    return result;
}

std::vector<BoardAddress> listBenchBoards()
{
    std::vector<BoardAddress> result;
    for (const BenchRelayBoard::Listing &board : BenchRelayBoard::list())
        result.push_back({true, board.serial, BenchRelayBoard::pathPrefix() + board.serial, board.channels});
    return result;
}

std::shared_ptr<RelayBoard> findBoard(intptr_t handle)
{
    if (handle == 0)
        return nullptr;
    LibraryState &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    const auto it = s.boards.find(handle);
    return it == s.boards.end() ? nullptr : it->second;
}

int switchChannel(intptr_t handle, int index, bool on)
{
    const std::shared_ptr<RelayBoard> board = findBoard(handle);
    if (!board || index < 1 || index > board->channels())
        return 1;
    std::lock_guard<std::mutex> lock(board->mutex());
    return board->setChannel(index, on) ? 0 : 1;
}

} // namespace

void usb_relay_device_set_hid_transport(HidTransport *transport)
{
    LibraryState &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.hidOverride = transport;
}

usb_relay_device_info *usb_relay_device_enumerate(void)
{
    std::vector<BoardAddress> found = listHidBoards(hidTransport());
    for (BoardAddress &bench : listBenchBoards())
        found.push_back(std::move(bench));
    if (found.empty())
        return nullptr;

    std::unique_ptr<EnumeratedList> list(new EnumeratedList);
    list->records.resize(found.size());
    list->addresses = found;
    for (std::size_t i = 0; i < found.size(); ++i) {
        usb_relay_device_info &record = list->records[i];
        record.serial_number = reinterpret_cast<unsigned char *>(copyText(*list, found[i].serial));
        record.device_path = copyText(*list, found[i].path);
        record.type = static_cast<usb_relay_device_type>(found[i].channels);
        record.next = i + 1 < found.size() ? &list->records[i + 1] : nullptr;
    }
    usb_relay_device_info *head = list->records.data();

    LibraryState &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.lists[head] = std::move(list);
    return head;
}

void usb_relay_device_free_enumerate(usb_relay_device_info *list)
{
    if (!list)
        return;
    LibraryState &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    // A pointer that is not the head of a live list (freed twice, or never
    // ours) is ignored rather than freed.
    s.lists.erase(list);
}

intptr_t usb_relay_device_open(usb_relay_device_info *device_info)
{
    if (!device_info)
        return 0;
    BoardAddress address;
    bool known = false;
    LibraryState &s = state();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        // Compare the record's pointers with the live lists instead of
        // following them: a copy that outlived its list then fails cleanly.
        for (const auto &entry : s.lists) {
            const EnumeratedList &list = *entry.second;
            for (std::size_t i = 0; i < list.records.size() && !known; ++i) {
                if (list.records[i].serial_number == device_info->serial_number
                    && list.records[i].device_path == device_info->device_path) {
                    address = list.addresses[i];
                    known = true;
                }
            }
            if (known)
                break;
        }
    }
    if (!known)
        return 0;

    std::shared_ptr<RelayBoard> board;
    if (address.bench)
        board = BenchRelayBoard::open(address.serial, address.channels);
    else
        board = HidRelayBoard::open(hidTransport(), address.path, address.serial, address.channels);
    if (!board)
        return 0;

    std::lock_guard<std::mutex> lock(s.mutex);
    // Handles are never reused, so a stale one cannot reach a newer board.
    const intptr_t handle = ++s.lastHandle;
    s.boards[handle] = std::move(board);
    return handle;
}

void usb_relay_device_close(intptr_t handle)
{
    std::shared_ptr<RelayBoard> board;
    {
        LibraryState &s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        const auto it = s.boards.find(handle);
        if (it == s.boards.end())
            return;
        board = std::move(it->second);
        s.boards.erase(it);
    }
    // The board closes its device when the last user lets go, outside the lock.
    board.reset();
}

int usb_relay_device_open_one_relay_channel(intptr_t handle, int index)
{
    return switchChannel(handle, index, true);
}

int usb_relay_device_close_one_relay_channel(intptr_t handle, int index)
{
    return switchChannel(handle, index, false);
}

int usb_relay_device_get_status(intptr_t handle, unsigned int *status)
{
    if (!status)
        return 1;
    const std::shared_ptr<RelayBoard> board = findBoard(handle);
    if (!board)
        return 1;
    std::lock_guard<std::mutex> lock(board->mutex());
    unsigned int mask = 0;
    if (!board->status(&mask))
        return 1;
    *status = mask;
    return 0;
}

int usb_relay_device_open_handle_count(void)
{
    LibraryState &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return static_cast<int>(s.boards.size());
}
