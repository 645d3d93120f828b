#include <cstdio>
#include <cstdlib>

#include "os_services.h"
#include "reporting.h"

// No message box here: the report goes to standard error.
void fatal_error(const char *text)
{
    long code = last_error_code();
    char system_text[FATAL_MESSAGE_SIZE];
    last_error_text(code, system_text, sizeof system_text);
    char message[FATAL_MESSAGE_SIZE];
    compose_fatal_message(message, sizeof message, text, code, system_text);
    fflush(stdout);
    fputs(message, stderr);
    exit(1);
}
