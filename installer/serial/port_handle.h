// The handle of an open serial port, in a form both platforms can hold: a file
// descriptor on POSIX, a HANDLE (a pointer-sized value) on Windows.
#pragma once

#include <cstdint>

typedef std::intptr_t port_handle;

// Matches both -1 (no descriptor) and INVALID_HANDLE_VALUE.
constexpr port_handle INVALID_PORT_HANDLE = -1;
