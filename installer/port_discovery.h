// The COM ports that exist and are free, found once at start-up.
#pragma once

#include <cstdint>

#define PORT_TABLE_ROWS 999
#define PORT_NUMBER_MAX 998
#define PORT_NAME_SIZE 256

struct port_entry {
    int32_t number;            // N of COMN
    char name[PORT_NAME_SIZE]; // device name, "\\.\comN"
};

// Filled from row 0 upward, in ascending port number.
extern port_entry port_table[PORT_TABLE_ROWS];

// Probes every candidate port, fills port_table and returns the count found.
int32_t probe_ports();

// The count found by the last probe_ports().
int32_t ports_found();
