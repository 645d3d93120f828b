// The serial ports of this machine that have a device behind them, for the
// dialog's port list and kep-update --list-ports. One file per system.
#pragma once

#include <string>
#include <vector>

struct serial_port_info {
    std::string name;        // what opens it: "/dev/ttyUSB0", "\\.\com7"
    std::string label;       // what a person types: "/dev/ttyUSB0", "COM7"
    std::string description; // the device: "FTDI FT232R USB UART (0403:6001, serial A50285BI)"
};

// In name order; COM ports in number order.
std::vector<serial_port_info> list_serial_ports();

// POSIX: the same, read from the sysfs tree at `sys_root` ("/sys").
std::vector<serial_port_info> list_serial_ports_in(const std::string &sys_root);
