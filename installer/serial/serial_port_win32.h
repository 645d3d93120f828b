// The Windows serial module's own extra: the system handle behind a port, for
// checks that ask Windows about the port directly.
#pragma once

#include "serial/port_handle.h"

#include <windows.h>

HANDLE port_system_handle(port_handle port);
