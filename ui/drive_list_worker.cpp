#include "ui/drive_list_worker.h"

#include <string.h>

#include "ui/status.h"
#include "ui/window.h"

// Written by the worker before it posts its message, read by the window
// after it; the next worker starts only once the window has read it.
static DiskCandidate listed_disks[MAX_CANDIDATES];
static int listed_count;
static HANDLE list_thread;  // the enumeration that runs, if any
static bool list_again;     // a refresh was asked for while it ran

static DWORD WINAPI list_drives(LPVOID)
{
    listed_count = list_candidate_disks_into(listed_disks);
    PostMessageW(main_window, WM_APP_DRIVE_LIST, 0, 0);
    return 0;
}

void start_drive_list(void)
{
    if (list_thread) {
        list_again = true;
        return;
    }
    list_thread = CreateThread(NULL, 0, list_drives, NULL, 0, NULL);
    // Without a thread the list is made here, as it always could be.
    if (!list_thread) list_drives(NULL);
}

bool drive_list_ended(void)
{
    if (list_thread) {
        // It has posted its message; only its return is left.
        WaitForSingleObject(list_thread, INFINITE);
        CloseHandle(list_thread);
        list_thread = NULL;
    }
    bool again = list_again;
    list_again = false;
    return again;
}

bool drive_list_running(void)
{
    return list_thread != NULL;
}

int copy_drive_list(DiskCandidate table[MAX_CANDIDATES])
{
    memcpy(table, listed_disks, sizeof listed_disks);
    return listed_count;
}

bool wait_for_drive_list(DWORD timeout_ms)
{
    return !list_thread || WaitForSingleObject(list_thread, timeout_ms) == WAIT_OBJECT_0;
}
