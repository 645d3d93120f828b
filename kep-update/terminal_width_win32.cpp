#include "terminal_width.h"

#include <windows.h>

int terminal_columns(int fallback)
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info))
        return fallback;
    return info.srWindow.Right - info.srWindow.Left + 1;
}
