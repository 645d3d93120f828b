// The handle of an open serial port: the platform layer's own record of it,
// made by port_open and freed by port_close. A null handle names no port, so
// an invalid handle can never reach another port's record.
#pragma once

struct serial_port;
typedef serial_port *port_handle;

constexpr port_handle INVALID_PORT_HANDLE = nullptr;
