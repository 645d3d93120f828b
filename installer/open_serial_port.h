#pragma once

#include "update_link.h"

// Opens and configures link->port_name at link->baud and sets STATE_START;
// a port that cannot be opened ends the program through fatal_error().
int open_serial_port(update_link *link);

// The same, but returns false instead of ending the program when the port
// cannot be opened; the system's last error code then tells why.
bool try_open_serial_port(update_link *link);
