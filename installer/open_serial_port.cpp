#include "open_serial_port.h"

#include "os_services.h"
#include "reporting.h"
#include "serial/serial_port.h"

// Replies are framed by a silence of this length between bytes.
#define READ_INTERVAL_MS 20

bool try_open_serial_port(update_link *link)
{
    trace_printf(" . Opening serial port %s at %ld baud\n", link->port_name, (long)link->baud);
    link->handle = port_open(link->port_name);
    if (link->handle == INVALID_PORT_HANDLE)
        return false;
    // Reads without our time-outs could wait for ever: such a port is as
    // good as one that did not open.
    if (configure_port(link->handle, link->baud, READ_INTERVAL_MS) != 0) {
        port_close(link->handle);
        link->handle = INVALID_PORT_HANDLE;
        return false;
    }
    link->state = STATE_START;
    return true;
}

int open_serial_port(update_link *link)
{
    if (!try_open_serial_port(link))
        fatal_error("Unable to open serial port. In use already, or not present");
    return 0;
}
