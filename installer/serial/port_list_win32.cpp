// Windows: the COM ports that open.
#include "serial/port_list.h"

#include <cstdio>

#define PORT_NUMBER_MAX 998

std::vector<serial_port_info> list_serial_ports()
{
    std::vector<serial_port_info> ports;
    for (int number = 1; number <= PORT_NUMBER_MAX; number++) {
        char name[32];
        snprintf(name, sizeof name, "\\\\.\\com%d", number);
        FILE *probe = fopen(name, "r");
        if (!probe)
            continue;
        fclose(probe);
        ports.push_back({name, "COM" + std::to_string(number), ""});
    }
    return ports;
}
