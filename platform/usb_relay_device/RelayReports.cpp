#include "RelayReports.h"

namespace RelayReports {

int channelCount(const std::string &product)
{
    static const std::string prefix = "USBRelay";
    if (product.size() != prefix.size() + 1 || product.compare(0, prefix.size(), prefix) != 0)
        return 0;
    const char digit = product.back();
    if (digit < '1' || digit > '0' + MaxChannels)
        return 0;
    return digit - '0';
}

Buffer switchCommand(int channel, bool on)
{
    Buffer buffer{};
    buffer[0] = 0; // unnumbered report
    buffer[1] = on ? 0xFF : 0xFD;
    buffer[2] = static_cast<unsigned char>(channel);
    return buffer;
}

Buffer stateRequest()
{
    return Buffer{}; // report ID 0, rest filled in by the read
}

bool decodeState(const Buffer &buffer, int returned, State *state)
{
    // The bitmask is the last report byte: a shorter answer leaves it unknown.
    if (returned < BufferLength || !state)
        return false;
    std::string id;
    for (int i = 1; i <= IdLength && buffer[i] != 0; ++i)
        id += static_cast<char>(buffer[i]);
    state->id = id;
    state->channels = buffer[8];
    return true;
}

unsigned int channelMask(int channelCount)
{
    if (channelCount <= 0)
        return 0;
    if (channelCount >= MaxChannels)
        return 0xFFu;
    return (1u << channelCount) - 1u;
}

} // namespace RelayReports
