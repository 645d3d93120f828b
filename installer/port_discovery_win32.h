// Port discovery into the dialog's port list.
#pragma once

#include <windows.h>

// Probes \\.\com1 to \\.\com998 by opening each, appends each name that opens
// to the combo box in table order and selects the first line (none when
// nothing was found).
void discover_ports(HWND list_control);
