#include "os_services.h"
#include "reporting.h"

#include <cstdio>
#include <cstdlib>

// No message box here: the report goes to standard error.
void fatal_error(const char *text)
{
    char message[FATAL_MESSAGE_SIZE];
    compose_fatal_report(message, sizeof message, text);
    fflush(stdout);
    fputs(message, stderr);
    exit(1);
}
