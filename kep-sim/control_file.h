// The --control file of a fixture: the lines a test appends to it, taken once
// each as they become whole.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

struct control_file {
    std::string path;
    off_t taken;         // bytes of the file already read
    std::string partial; // a last line not yet ended by its line feed
};

// Appends to `lines` the whole lines added since the last call. A file not
// there yet reads as empty; a file cut shorter than what was taken (written
// anew) is read again from its start.
void control_file_take_lines(control_file *control, std::vector<std::string> *lines);
