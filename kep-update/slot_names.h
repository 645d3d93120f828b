// A station's slots named by their place on the fixture (--slot-name), and
// the one glob matcher for port names.
#pragma once

#include <string>
#include <vector>

// --slot-name PATTERN=NAME: the ports matching PATTERN sit at NAME.
struct slot_name_rule {
    std::string pattern, name;
};

// "*" any run of characters, "/" included; "?" one character; letters in any
// case, as Windows names its ports.
bool glob_match(const std::string &pattern, const std::string &text);

// The name of the first rule whose pattern matches `port`; "" when none does.
std::string slot_name_for(const std::vector<slot_name_rule> &rules, const std::string &port);
