// A relay board of the virtual bench, switched over its control socket.
#ifndef BENCHRELAYBOARD_H
#define BENCHRELAYBOARD_H

#include <memory>
#include <vector>

#include "RelayBoard.h"

class BenchRelayBoard : public RelayBoard
{
public:
    struct Listing
    {
        std::string serial;
        int channels = 0;
    };

    // Device paths of bench boards: the prefix followed by the serial.
    static const char *pathPrefix();
    // The boards the running bench has plugged in; empty without a bench.
    static std::vector<Listing> list();
    // Null when there is no bench or the board is not plugged in.
    static std::unique_ptr<BenchRelayBoard> open(const std::string &serial, int channels);

    bool status(unsigned int *mask) override;
    bool setChannel(int channel, bool on) override;

private:
    BenchRelayBoard(const std::string &serial, int channels);
};

#endif // BENCHRELAYBOARD_H
