#include "file_sync.h"

#include <io.h>

bool file_sync(FILE *file) { return fflush(file) == 0 && _commit(_fileno(file)) == 0; }
