// The COM ports that exist and are free, found once at start-up.
#pragma once

#include <cstdint>

#define PORT_TABLE_ROWS 999
#define PORT_NAME_SIZE 256

struct port_entry {
    char name[PORT_NAME_SIZE]; // device name, "\\.\comN"
};

// Filled from row 0 upward, in ascending port number.
extern port_entry port_table[PORT_TABLE_ROWS];

// The count found at start-up.
int32_t ports_found();
