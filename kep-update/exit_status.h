// The exit statuses of kep-update, from best to worst; with several ports the
// worst one of them is the program's.
#pragma once

enum exit_status {
    EXIT_UPDATED = 0,       // written, verified and the reset acknowledged
    EXIT_VERIFY_FAILED = 1, // the target's CRC differed, or it refused a block
    EXIT_USAGE = 2,         // a usage or image error; no port was touched
    EXIT_PORT_ERROR = 3,    // the port could not be opened
    EXIT_TIMED_OUT = 4,     // no valid reply in time, or the port stopped working
    EXIT_INTERRUPTED = 130, // stopped by Ctrl-C or a termination signal
};
