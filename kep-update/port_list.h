// The serial ports present on this machine, for --list-ports.
#pragma once

#include <string>
#include <vector>

struct serial_port_info {
    std::string name;    // what --port takes
    std::string details; // stable name, USB ids, serial number, product; may be empty
};

std::vector<serial_port_info> list_serial_ports();
