#include "port_discovery_win32.h"

#include "port_discovery.h"

#include <cstdio>

#define PORT_NUMBER_MAX 998

port_entry port_table[PORT_TABLE_ROWS];
static int32_t found_count;

int32_t ports_found() { return found_count; }

// The dialog lists the ports that open now, so a port held by another
// program is left out. Opening each candidate is this program's own way;
// kep-update lists ports without opening any (list_serial_ports).
void discover_ports(HWND list_control)
{
    found_count = 0;
    for (int number = 1; number <= PORT_NUMBER_MAX; number++) {
        snprintf(port_table[found_count].name, PORT_NAME_SIZE, "\\\\.\\com%d", number);
        FILE *probe = fopen(port_table[found_count].name, "r");
        if (!probe)
            continue; // the row is reused by the next candidate
        fclose(probe);
        SendMessageA(list_control, CB_ADDSTRING, 0, (LPARAM)port_table[found_count].name);
        found_count++;
    }
    // Unsorted list: list position i is port_table[i].
    SendMessageA(list_control, CB_SETCURSEL, 0, 0);
}
