// Windows: the COM ports that open, found the way the dialog finds them.
#include "port_discovery.h"
#include "port_list.h"

std::vector<serial_port_info> list_serial_ports()
{
    std::vector<serial_port_info> ports;
    int32_t found = probe_ports();
    for (int32_t i = 0; i < found; i++)
        ports.push_back({"COM" + std::to_string(port_table[i].number), port_table[i].name});
    return ports;
}
