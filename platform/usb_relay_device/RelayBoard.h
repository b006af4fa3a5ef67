// One opened relay board, whatever reaches it. Calls on one board are
// serialised by its mutex, which the library takes around every operation.
#ifndef RELAYBOARD_H
#define RELAYBOARD_H

#include <mutex>
#include <string>

class RelayBoard
{
public:
    RelayBoard(const std::string &serial, int channels) : m_serial(serial), m_channels(channels) {}
    virtual ~RelayBoard() = default;
    RelayBoard(const RelayBoard &) = delete;
    RelayBoard &operator=(const RelayBoard &) = delete;

    // The channel bitmask read from the board.
    virtual bool status(unsigned int *mask) = 0;
    // Switches one channel (1-based) and reads the state back: true only
    // when the board confirms the channel followed.
    virtual bool setChannel(int channel, bool on) = 0;

    const std::string &serial() const { return m_serial; }
    int channels() const { return m_channels; }
    std::mutex &mutex() { return m_mutex; }

private:
    const std::string m_serial;
    const int m_channels;
    std::mutex m_mutex;
};

#endif // RELAYBOARD_H
