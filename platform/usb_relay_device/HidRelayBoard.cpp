#include "HidRelayBoard.h"

#include "HidTransport.h"

HidRelayBoard::HidRelayBoard(HidTransport *transport, void *device, const std::string &serial, int channels)
    : RelayBoard(serial, channels), m_transport(transport), m_device(device)
{
}

HidRelayBoard::~HidRelayBoard()
{
    m_transport->close(m_device);
}

bool HidRelayBoard::readState(HidTransport *transport, void *device, RelayReports::State *state)
{
    RelayReports::Buffer buffer = RelayReports::stateRequest();
    const int returned = transport->getFeatureReport(device, buffer.data(), buffer.size());
    return RelayReports::decodeState(buffer, returned, state);
}

void *HidRelayBoard::openMatching(HidTransport *transport, const std::string &path, const std::string &serial)
{
    void *device = transport->open(path);
    if (!device)
        return nullptr;
    RelayReports::State state;
    // Another board may have taken the path since the list was made: switching
    // it would cut the supply of someone else's chip.
    if (readState(transport, device, &state) && state.id == serial)
        return device;
    transport->close(device);
    return nullptr;
}

std::unique_ptr<HidRelayBoard> HidRelayBoard::open(HidTransport *transport, const std::string &path,
                                                   const std::string &serial, int channels)
{
    if (!transport)
        return nullptr;
    void *device = openMatching(transport, path, serial);
    if (!device) {
        for (const HidTransport::DeviceEntry &entry :
             transport->enumerate(RelayReports::VendorId, RelayReports::ProductId)) {
            if (entry.path == path || RelayReports::channelCount(entry.product) == 0)
                continue;
            device = openMatching(transport, entry.path, serial);
            if (device)
                break;
        }
    }
    if (!device)
        return nullptr;
    return std::unique_ptr<HidRelayBoard>(new HidRelayBoard(transport, device, serial, channels));
}

bool HidRelayBoard::status(unsigned int *mask)
{
    RelayReports::State state;
    if (!readState(m_transport, m_device, &state))
        return false;
    *mask = state.channels & RelayReports::channelMask(channels());
    return true;
}

bool HidRelayBoard::setChannel(int channel, bool on)
{
    const RelayReports::Buffer command = RelayReports::switchCommand(channel, on);
    if (m_transport->sendFeatureReport(m_device, command.data(), command.size()) < 0)
        return false;
    unsigned int mask = 0;
    if (!status(&mask))
        return false;
    const bool isOn = (mask & (1u << (channel - 1))) != 0;
    return isOn == on;
}
