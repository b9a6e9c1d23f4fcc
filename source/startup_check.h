// Whether the manifest check that the window starts when it opens is still
// running, so that a job with a chosen file compares it, and a check of a
// pen drive looks for the published image, only once the manifest is known.
#pragma once
#include <windows.h>

// Window thread, at creation, before any job can start: a check is coming.
void startup_check_begins(void);

// The check is over (or will never run): manifest_info is left as it is.
void startup_check_ends(void);

bool startup_check_running(void);

// Thread routine: manifest_thread, then startup_check_ends.
DWORD WINAPI startup_check_thread(LPVOID unused);

// Job and check threads: returns at once when no check runs; else reports
// "Checking for the latest quenvar OS…" and returns once the check is over,
// or false at once when the cancel flag is set first.
bool wait_for_startup_check(void);
