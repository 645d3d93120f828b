#include "terminal_width.h"

#include <sys/ioctl.h>
#include <unistd.h>

int terminal_columns(int fallback)
{
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0)
        return fallback;
    return size.ws_col;
}
