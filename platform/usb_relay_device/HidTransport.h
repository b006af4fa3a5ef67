// The few hidapi calls the relay library needs, behind an interface so the
// report encoding and decoding can be exercised without a board attached.
#ifndef HIDTRANSPORT_H
#define HIDTRANSPORT_H

#include <cstddef>
#include <string>
#include <vector>

#include "usb_relay_device.h"

class HidTransport
{
public:
    struct DeviceEntry
    {
        std::string path;
        std::string product; // UTF-8; empty when the device gave none
    };

    virtual ~HidTransport() = default;

    virtual std::vector<DeviceEntry> enumerate(unsigned short vendorId, unsigned short productId) = 0;
    // An opaque device, or null when the path cannot be opened.
    virtual void *open(const std::string &path) = 0;
    // hidapi semantics: data[0] is the report ID, the report follows it.
    // The number of bytes including the ID byte, or -1.
    virtual int getFeatureReport(void *device, unsigned char *data, std::size_t length) = 0;
    virtual int sendFeatureReport(void *device, const unsigned char *data, std::size_t length) = 0;
    virtual void close(void *device) = 0;
};

// Tests only: routes every later HID call through transport (not owned);
// null restores hidapi. Boards opened before keep the transport they were
// opened with, so close them before destroying a replaced transport.
USB_RELAY_DEVICE_API void usb_relay_device_set_hid_transport(HidTransport *transport);

#endif // HIDTRANSPORT_H
