// A relay board reached through HID feature reports.
#ifndef HIDRELAYBOARD_H
#define HIDRELAYBOARD_H

#include <memory>

#include "RelayBoard.h"
#include "RelayReports.h"

class HidTransport;

class HidRelayBoard : public RelayBoard
{
public:
    // Opens the board with this ID at path; a board that was plugged in
    // again under another path is looked up by its ID. Null when the board
    // is not there.
    static std::unique_ptr<HidRelayBoard> open(HidTransport *transport, const std::string &path,
                                               const std::string &serial, int channels);
    // Reads the state of an opened device (used while listing boards too).
    static bool readState(HidTransport *transport, void *device, RelayReports::State *state);

    ~HidRelayBoard() override;

    bool status(unsigned int *mask) override;
    bool setChannel(int channel, bool on) override;

private:
    HidRelayBoard(HidTransport *transport, void *device, const std::string &serial, int channels);
    static void *openMatching(HidTransport *transport, const std::string &path, const std::string &serial);

    HidTransport *const m_transport;
    void *const m_device;
};

#endif // HIDRELAYBOARD_H
