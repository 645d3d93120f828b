// Getting appended records onto the disk before going on.
#pragma once

#include <cstdio>

// Flushes `file`'s buffer and has the system write it to the disk. False on failure.
bool file_sync(FILE *file);
