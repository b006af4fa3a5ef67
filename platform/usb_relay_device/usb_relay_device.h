// USB HID relay boards: listing, opening and switching channels.
//
// One list holds every board that can be reached: real boards through
// hidapi and, when TREVALO_BENCH names a running virtual bench, the bench's
// boards. Handles are opaque integers of pointer width, 0 meaning none.
#ifndef USB_RELAY_DEVICE_H
#define USB_RELAY_DEVICE_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(USB_RELAY_DEVICE_BUILD)
#define USB_RELAY_DEVICE_API __declspec(dllexport)
#else
#define USB_RELAY_DEVICE_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define USB_RELAY_DEVICE_API __attribute__((visibility("default")))
#else
#define USB_RELAY_DEVICE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

enum usb_relay_device_type {
    USB_RELAY_DEVICE_ONE_CHANNEL = 1,
    USB_RELAY_DEVICE_TWO_CHANNEL = 2,
    USB_RELAY_DEVICE_FOUR_CHANNEL = 4,
    USB_RELAY_DEVICE_EIGHT_CHANNEL = 8
};

// One enumerated board. The texts and the record stay valid until the list
// is freed; a copy of a record may be handed to usb_relay_device_open as
// long as the list it came from is alive.
struct usb_relay_device_info {
    unsigned char *serial_number; // 5 characters, NUL-terminated
    char *device_path;
    enum usb_relay_device_type type;
    struct usb_relay_device_info *next;
};

// Head of a new list of the attached boards, or null when there is none.
USB_RELAY_DEVICE_API struct usb_relay_device_info *usb_relay_device_enumerate(void);
USB_RELAY_DEVICE_API void usb_relay_device_free_enumerate(struct usb_relay_device_info *list);

// A handle of the opened board, 0 on failure. device_info must be a record
// of a list that has not been freed yet, or a copy of one: a record of a
// freed list, or one the library did not hand out, fails instead of being
// read.
USB_RELAY_DEVICE_API intptr_t usb_relay_device_open(struct usb_relay_device_info *device_info);
USB_RELAY_DEVICE_API void usb_relay_device_close(intptr_t handle);

// Channels are numbered from 1. 0 on success, non-zero on failure; a switch
// counts as done only when the board reports the channel in its new state.
// An unknown, closed or zero handle fails.
USB_RELAY_DEVICE_API int usb_relay_device_open_one_relay_channel(intptr_t handle, int index);
USB_RELAY_DEVICE_API int usb_relay_device_close_one_relay_channel(intptr_t handle, int index);

// Bit n-1 of *status is channel n (1 = on). 0 on success, non-zero on failure.
USB_RELAY_DEVICE_API int usb_relay_device_get_status(intptr_t handle, unsigned int *status);

// Boards currently open (handles not yet closed); for tests and diagnostics.
USB_RELAY_DEVICE_API int usb_relay_device_open_handle_count(void);

#ifdef __cplusplus
}
#endif

#endif // USB_RELAY_DEVICE_H
