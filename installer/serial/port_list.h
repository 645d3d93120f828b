// The serial ports of this machine that have a device behind them, for
// kep-update --list-ports, --watch and --report; none is opened to find them.
// One file per system.
#pragma once

#include <string>
#include <vector>

// The USB device behind a port.
struct usb_device {
    std::string vendor_id, product_id;         // four hex digits each
    std::string manufacturer, product, serial; // empty where the device gives none
};

struct serial_port_info {
    std::string name;        // what opens it: "/dev/ttyUSB0", "\\.\COM7"
    std::string label;       // what a person types: "/dev/ttyUSB0", "COM7"
    std::string description; // the device: "FTDI FT232R USB UART (0403:6001, serial A50285BI)"
    bool usb_known = false;  // `usb` holds the USB device behind the port
    usb_device usb;
};

// In name order; COM ports in number order.
std::vector<serial_port_info> list_serial_ports();

// POSIX: the same, read from the sysfs tree at `sys_root` ("/sys").
std::vector<serial_port_info> list_serial_ports_in(const std::string &sys_root);

// POSIX: the USB device above tty `name` ("ttyUSB0") in the sysfs tree at
// `sys_root`; false when there is none.
bool usb_device_of(const std::string &sys_root, const std::string &name, usb_device *device);
