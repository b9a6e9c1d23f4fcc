#pragma once
#include <windows.h>

// Registers the window class, creates the main window and runs the message
// loop; returns the exit code (1 when the window cannot be created).
int run_main_window(HINSTANCE instance, int show);
