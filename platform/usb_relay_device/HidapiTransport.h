// HidTransport over the system's hidapi library. hidapi is not safe to call
// from two threads at once, so every call is serialised here.
#ifndef HIDAPITRANSPORT_H
#define HIDAPITRANSPORT_H

#include <mutex>

#include "HidTransport.h"

class HidapiTransport : public HidTransport
{
public:
    std::vector<DeviceEntry> enumerate(unsigned short vendorId, unsigned short productId) override;
    void *open(const std::string &path) override;
    int getFeatureReport(void *device, unsigned char *data, std::size_t length) override;
    int sendFeatureReport(void *device, const unsigned char *data, std::size_t length) override;
    void close(void *device) override;

private:
    bool ensureInit();

    std::mutex m_mutex;
    bool m_initialised = false;
};

#endif // HIDAPITRANSPORT_H
