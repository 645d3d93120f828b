#include "port_discovery_win32.h"

#include "port_discovery.h"
#include "serial/port_list.h"

#include <cstdio>

port_entry port_table[PORT_TABLE_ROWS];
static int32_t found_count;

int32_t ports_found() { return found_count; }

void discover_ports(HWND list_control)
{
    std::vector<serial_port_info> ports = list_serial_ports();
    found_count = 0;
    for (const serial_port_info &port : ports) {
        if (found_count == PORT_TABLE_ROWS)
            break;
        snprintf(port_table[found_count].name, PORT_NAME_SIZE, "%s", port.name.c_str());
        found_count++;
    }
    // Unsorted list: list position i is port_table[i].
    for (int32_t i = 0; i < found_count; i++)
        SendMessageA(list_control, CB_ADDSTRING, 0, (LPARAM)port_table[i].name);
    SendMessageA(list_control, CB_SETCURSEL, 0, 0);
}
