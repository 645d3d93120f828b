// Windows: the cause of a failed open from its system error code.
#include "open_failure.h"
#include "os_services.h"

#include <windows.h>

std::string open_failure_message(const std::string &port, long code)
{
    std::string head = "cannot open port " + port + ": ";
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return head + "it is not present; check the cable and the port name "
                      "(kep-update --list-ports shows the ports present)";
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return head + "it is in use by another program, or access is denied; close the other "
                      "program and try again";
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED: return head + "it is not a serial port";
    default: {
        char text[300];
        last_error_text(code, text, sizeof text);
        return head + text;
    }
    }
}
