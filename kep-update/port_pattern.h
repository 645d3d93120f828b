// The serial ports a watch looks after: names matching patterns, found the way
// this platform finds ports.
#pragma once

#include <string>
#include <vector>

// What --watch looks after without --port: the USB serial ports.
std::vector<std::string> default_port_patterns();

// The ports present now whose names match one of `patterns` (globs with * and
// ?), sorted, each once.
std::vector<std::string> matching_ports(const std::vector<std::string> &patterns);
