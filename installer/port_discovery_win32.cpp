#include "port_discovery_win32.h"

#include "port_discovery.h"

#include <cstdio>

port_entry port_table[PORT_TABLE_ROWS];
static int32_t found_count;

int32_t probe_ports()
{
    int32_t i = 0;
    for (int32_t number = 1; number <= PORT_NUMBER_MAX; number++) {
        // A row is only kept when its port opens; otherwise the next
        // candidate overwrites it.
        snprintf(port_table[i].name, sizeof port_table[i].name, "\\\\.\\com%d", (int)number);
        FILE *probe = fopen(port_table[i].name, "r");
        if (!probe)
            continue;
        fclose(probe);
        port_table[i].number = number;
        i++;
    }
    found_count = i;
    return i;
}

int32_t ports_found() { return found_count; }

void discover_ports(HWND list_control)
{
    int32_t count = probe_ports();
    // Unsorted list: list position i is port_table[i].
    for (int32_t i = 0; i < count; i++)
        SendMessageA(list_control, CB_ADDSTRING, 0, (LPARAM)port_table[i].name);
    SendMessageA(list_control, CB_SETCURSEL, 0, 0);
}
