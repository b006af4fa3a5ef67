// Relay boards that answer HID feature reports the way the real ones do,
// for exercising the library without hardware.
#ifndef FAKEHIDBOARDS_H
#define FAKEHIDBOARDS_H

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "HidTransport.h"

class FakeHidBoards : public HidTransport
{
public:
    struct Board
    {
        std::string product = "USBRelay2";
        std::string id = "ABCDE";
        unsigned char state = 0;
        bool present = true;
        bool failRead = false;   // feature read returns -1
        int shortRead = 0;       // when non-zero, a read returns only this many bytes
        bool failWrite = false;  // feature write returns -1
        bool stuck = false;      // accepts commands but never switches
    };

    std::map<std::string, Board> boards; // by path
    std::vector<std::vector<unsigned char>> sent;
    int openDevices = 0;

    std::vector<DeviceEntry> enumerate(unsigned short vendorId, unsigned short productId) override;
    void *open(const std::string &path) override;
    int getFeatureReport(void *device, unsigned char *data, std::size_t length) override;
    int sendFeatureReport(void *device, const unsigned char *data, std::size_t length) override;
    void close(void *device) override;

private:
    Board *boardOf(void *device);

    std::recursive_mutex m_mutex;
    std::map<void *, std::string> m_open;
    int m_nextDevice = 1;
};

#endif // FAKEHIDBOARDS_H
