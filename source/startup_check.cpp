#include "source/startup_check.h"

#include "source/manifest.h"
#include "ui/status.h"

enum { STOP_POLL_MS = 50 };

// Manual-reset, set when the check is over; kept until the process ends.
// Null when no check was begun or the event could not be made: nothing waits.
static HANDLE check_over;

void startup_check_begins(void)
{
    if (check_over) ResetEvent(check_over);
    else check_over = CreateEventW(NULL, TRUE, FALSE, NULL);
}

void startup_check_ends(void)
{
    if (check_over) SetEvent(check_over);
}

bool startup_check_running(void)
{
    return check_over && WaitForSingleObject(check_over, 0) == WAIT_TIMEOUT;
}

DWORD WINAPI startup_check_thread(LPVOID unused)
{
    manifest_thread(unused);
    startup_check_ends();
    return 0;
}

bool wait_for_startup_check(void)
{
    if (!startup_check_running()) return true;
    report_status(0, L"Checking for the latest quenvar OS\x2026");
    while (startup_check_running()) {
        if (cancel_requested()) return false;
        WaitForSingleObject(check_over, STOP_POLL_MS);
    }
    return true;
}
