#include "main_window_win32.h"
#include "os_services.h"
#include "reporting.h"

#include <cstdio>
#include <cstdlib>
#include <windows.h>

#define FATAL_BEEP_HZ 200
#define FATAL_BEEP_MS 1000

void fatal_error(const char *text)
{
    char message[FATAL_MESSAGE_SIZE];
    compose_fatal_report(message, sizeof message, text);
    // The trace written so far stays readable however the box is dismissed.
    fflush(stdout);
    // Before the dialog exists main_window is null: the box has no owner.
    MessageBoxA(main_window, message, "Terminate Program", MB_ICONWARNING | MB_OK);
    Beep(FATAL_BEEP_HZ, FATAL_BEEP_MS);
    exit(1);
}
