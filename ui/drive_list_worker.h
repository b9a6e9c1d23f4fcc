// The enumeration of the candidate pen drives on a thread of its own: up to
// 64 disk opens, and one of a card reader without a card, a sleeping disk or
// a failing stick can take seconds, during which the window must keep
// answering. One enumeration runs at a time; the finished table reaches the
// window as WM_APP_DRIVE_LIST.
#pragma once
#include <windows.h>

#include "disk/disks.h"

// Starts an enumeration, or notes that one more is wanted after the one
// that runs. Window thread only.
void start_drive_list(void);
// On WM_APP_DRIVE_LIST: forgets the finished thread; true when a refresh
// was asked for while it ran (cleared here).
bool drive_list_ended(void);
// True from the start of an enumeration until the window has taken its table.
bool drive_list_running(void);
// Copies the finished table; returns how many are valid.
int copy_drive_list(DiskCandidate table[MAX_CANDIDATES]);
// Waits, at most `timeout_ms`, for an enumeration that still runs after the
// window has gone (the simulated build, before it ends its machine); true
// when none runs.
bool wait_for_drive_list(DWORD timeout_ms);
