// Why a port did not open, in words a technician can act on.
#pragma once

#include <string>

// "cannot open port P: <the cause>; <what to do next>" for the system's
// error code `code` of the failed open.
std::string open_failure_message(const std::string &port, long code);
