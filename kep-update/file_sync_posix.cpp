#include "file_sync.h"

#include <unistd.h>

bool file_sync(FILE *file) { return fflush(file) == 0 && fsync(fileno(file)) == 0; }
