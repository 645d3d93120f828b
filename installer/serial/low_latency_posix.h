// The serial driver's low-latency mode: a USB adapter then hands received
// bytes over at once instead of holding them for its latency timer (16 ms by
// default on the most common chips), which would delay every reply.
#pragma once

// Asks the driver of `fd` for low latency. True when that changed the port's
// flags; false, with nothing changed or said, when the mode was on already or
// the driver has no such mode (a pty).
bool ask_low_latency(int fd);

// Takes the mode back off, for a port on which ask_low_latency returned true.
void drop_low_latency(int fd);
