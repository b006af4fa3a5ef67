// Feature reports of the common USB HID relay boards (vendor 0x16c0,
// product 0x05df, product string "USBRelay<n>" with n channels).
//
// The boards use unnumbered reports, so with hidapi every buffer starts
// with report ID 0 and the 8 report bytes follow:
//   read  (report 0): bytes 0-4 board ID, byte 7 channel bitmask (bit n-1 = channel n)
//   write (report 0): 0xFF n switches channel n on, 0xFD n switches it off
#ifndef RELAYREPORTS_H
#define RELAYREPORTS_H

#include <array>
#include <string>

namespace RelayReports {

constexpr unsigned short VendorId = 0x16c0;
constexpr unsigned short ProductId = 0x05df;
constexpr int MaxChannels = 8;
constexpr int IdLength = 5;
// Report ID byte plus the 8 report bytes.
constexpr int BufferLength = 9;

using Buffer = std::array<unsigned char, BufferLength>;

// Channel count from a product string "USBRelay1" to "USBRelay8"; 0 when the
// string names no relay board.
int channelCount(const std::string &product);

// The buffer that switches one channel; channel is 1-based.
Buffer switchCommand(int channel, bool on);

// The buffer to hand to a feature-report read.
Buffer stateRequest();

struct State
{
    std::string id;
    unsigned int channels = 0; // bitmask, bit n-1 = channel n
};

// Decodes a feature-report read that returned `returned` bytes (hidapi's
// count, report ID included). False when the read failed or came back short.
bool decodeState(const Buffer &buffer, int returned, State *state);

// Bits of the channels a board of channelCount channels has.
unsigned int channelMask(int channelCount);

} // namespace RelayReports

#endif // RELAYREPORTS_H
