// The program-wide window and instance handles of the dialog program. A
// console program leaves them null: reports then go to standard error.
#pragma once

#include <windows.h>

extern HWND main_window;
extern HINSTANCE program_instance;
