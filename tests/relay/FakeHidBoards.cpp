#include "FakeHidBoards.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

std::vector<HidTransport::DeviceEntry> FakeHidBoards::enumerate(unsigned short vendorId, unsigned short productId)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    std::vector<DeviceEntry> result;
    if (vendorId != 0x16c0 || productId != 0x05df)
        return result;
    for (const auto &entry : boards) {
        if (entry.second.present)
            result.push_back({entry.first, entry.second.product});
    }
    return result;
}

void *FakeHidBoards::open(const std::string &path)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    const auto it = boards.find(path);
    if (it == boards.end() || !it->second.present)
        return nullptr;
    void *device = reinterpret_cast<void *>(static_cast<std::uintptr_t>(m_nextDevice++));
    m_open[device] = path;
    ++openDevices;
    return device;
}

FakeHidBoards::Board *FakeHidBoards::boardOf(void *device)
{
    const auto it = m_open.find(device);
    if (it == m_open.end())
        return nullptr;
    const auto board = boards.find(it->second);
    if (board == boards.end() || !board->second.present)
        return nullptr;
    return &board->second;
}

int FakeHidBoards::getFeatureReport(void *device, unsigned char *data, std::size_t length)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    Board *board = boardOf(device);
    if (!board || board->failRead || length < 1 || data[0] != 0)
        return -1;
    unsigned char report[8] = {};
    std::memcpy(report, board->id.data(), board->id.size() < 5 ? board->id.size() : 5);
    report[7] = board->state;
    const std::size_t count = std::min<std::size_t>(length - 1, 8);
    std::memcpy(data + 1, report, count);
    const int returned = static_cast<int>(count + 1);
    return board->shortRead ? std::min(board->shortRead, returned) : returned;
}

int FakeHidBoards::sendFeatureReport(void *device, const unsigned char *data, std::size_t length)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    sent.emplace_back(data, data + length);
    Board *board = boardOf(device);
    if (!board || board->failWrite || length < 3 || data[0] != 0)
        return -1;
    const int channel = data[2];
    if (!board->stuck && channel >= 1 && channel <= 8) {
        if (data[1] == 0xFF)
            board->state |= static_cast<unsigned char>(1u << (channel - 1));
        else if (data[1] == 0xFD)
            board->state &= static_cast<unsigned char>(~(1u << (channel - 1)));
    }
    return static_cast<int>(length);
}

void FakeHidBoards::close(void *device)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (m_open.erase(device))
        --openDevices;
}
