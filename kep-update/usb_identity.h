// The USB device behind a serial port, for the station's records.
#pragma once

#include <string>

struct usb_identity {
    bool known = false;     // false: no USB device found behind the port
    std::string vendor_id;  // four hex digits, as the device reports them
    std::string product_id; // four hex digits
    std::string serial;     // empty when the device has no serial number
};

// Looks the port up while its device is present. Linux reads sysfs (the root
// is /sys, or $KEP_UPDATE_SYSFS so that tests can lay out a device of their own).
usb_identity port_usb_identity(const std::string &port);
