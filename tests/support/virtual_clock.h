// A virtual millisecond clock for tests, bound through seam.Sleep and
// seam.GetTickCount. Sleep advances the clock at once, so retries and pauses
// cost no real time while their lengths can still be asserted.
#pragma once
#include <windows.h>

// Starts the clock at VIRTUAL_CLOCK_START, clears the counters and binds the
// seam's Sleep and GetTickCount to it.
void virtual_clock_install(void);
// Rebinds Sleep and GetTickCount to Win32.
void virtual_clock_uninstall(void);

DWORD virtual_clock_now(void);
unsigned long long virtual_clock_slept_ms(void);
unsigned long virtual_clock_sleep_calls(void);
// Each later GetTickCount call first advances the clock by this much (0: off).
void virtual_clock_set_auto_advance(DWORD ms_per_query);
// Moves the clock forward without counting a sleep.
void virtual_clock_advance(DWORD ms);

// The seam entries themselves, for a binding that wraps them.
void WINAPI virtual_clock_sleep(DWORD milliseconds);
DWORD WINAPI virtual_clock_tick_count(void);

enum { VIRTUAL_CLOCK_START = 1000000 };
