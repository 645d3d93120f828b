#include "dialog_controls.h"
#include "main_window_win32.h"
#include "os_services.h"

#include <cstdio>
#include <cstring>
#include <windows.h>

uint32_t tick_count_ms() { return GetTickCount(); }

void sleep_ms(uint32_t ms) { Sleep(ms); }

// The dialog shows the status in its field; a console program has no window
// and writes each text as a line on standard error.
void show_status_text(const char *text)
{
    if (main_window)
        SetDlgItemTextA(main_window, IDC_STATUS, text);
    else
        fprintf(stderr, "%s\n", text);
}

long last_error_code() { return (long)GetLastError(); }

int last_error_text(long code, char *buffer, int size)
{
    if (size <= 0)
        return 0;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, (DWORD)code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                  buffer, (DWORD)size, nullptr);
    if (length == 0)
        buffer[0] = '\0';
    return (int)strlen(buffer);
}
