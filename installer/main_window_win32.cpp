#include "main_window_win32.h"

// Zero until WinMain sets them; nothing runs before it.
HWND main_window;
HINSTANCE program_instance;
