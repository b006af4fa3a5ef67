#include "HidapiTransport.h"

#ifdef TREVALO_HAVE_HIDAPI
#include <hidapi.h>
#endif

namespace {

#ifdef TREVALO_HAVE_HIDAPI
std::string toUtf8(const wchar_t *text)
{
    std::string out;
    if (!text)
        return out;
    for (; *text; ++text) {
        const unsigned long c = static_cast<unsigned long>(*text);
        // Product strings of relay boards are plain ASCII; anything wider is
        // encoded properly all the same so a comparison never matches by accident.
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | ((c >> 18) & 0x07));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}
#endif

} // namespace

bool HidapiTransport::ensureInit()
{
#ifdef TREVALO_HAVE_HIDAPI
    if (!m_initialised)
        m_initialised = hid_init() == 0;
    return m_initialised;
#else
    return false;
#endif
}

std::vector<HidTransport::DeviceEntry> HidapiTransport::enumerate(unsigned short vendorId, unsigned short productId)
{
    std::vector<DeviceEntry> result;
#ifdef TREVALO_HAVE_HIDAPI
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!ensureInit())
        return result;
    hid_device_info *list = hid_enumerate(vendorId, productId);
    for (hid_device_info *it = list; it; it = it->next) {
        if (!it->path)
            continue;
        result.push_back({std::string(it->path), toUtf8(it->product_string)});
    }
    hid_free_enumeration(list);
#else
    (void)vendorId;
    (void)productId;
#endif
    return result;
}

void *HidapiTransport::open(const std::string &path)
{
#ifdef TREVALO_HAVE_HIDAPI
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!ensureInit())
        return nullptr;
    return hid_open_path(path.c_str());
#else
    (void)path;
    return nullptr;
#endif
}

int HidapiTransport::getFeatureReport(void *device, unsigned char *data, std::size_t length)
{
#ifdef TREVALO_HAVE_HIDAPI
    std::lock_guard<std::mutex> lock(m_mutex);
    return hid_get_feature_report(static_cast<hid_device *>(device), data, length);
#else
    (void)device;
    (void)data;
    (void)length;
    return -1;
#endif
}

int HidapiTransport::sendFeatureReport(void *device, const unsigned char *data, std::size_t length)
{
#ifdef TREVALO_HAVE_HIDAPI
    std::lock_guard<std::mutex> lock(m_mutex);
    return hid_send_feature_report(static_cast<hid_device *>(device), data, length);
#else
    (void)device;
    (void)data;
    (void)length;
    return -1;
#endif
}

void HidapiTransport::close(void *device)
{
#ifdef TREVALO_HAVE_HIDAPI
    std::lock_guard<std::mutex> lock(m_mutex);
    hid_close(static_cast<hid_device *>(device));
#else
    (void)device;
#endif
}
