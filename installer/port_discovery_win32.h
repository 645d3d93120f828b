// Port discovery into the dialog's port list.
#pragma once

#include <windows.h>

// Lists the ports (list_serial_ports), appends each name found to the combo box
// in table order and selects the first line (none when nothing was found).
void discover_ports(HWND list_control);
