#include "usb_relay_device.h"
// Placeholder until the back-ends land: no boards.
usb_relay_device_info *usb_relay_device_enumerate(void) { return nullptr; }
void usb_relay_device_free_enumerate(usb_relay_device_info *) {}
intptr_t usb_relay_device_open(usb_relay_device_info *) { return 0; }
void usb_relay_device_close(intptr_t) {}
int usb_relay_device_open_one_relay_channel(intptr_t, int) { return 1; }
int usb_relay_device_close_one_relay_channel(intptr_t, int) { return 1; }
int usb_relay_device_get_status(intptr_t, unsigned int *) { return 1; }
