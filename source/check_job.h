// The check that the window's Check button starts: which images the program
// knows of, and the read of the chosen pen drive against all of them, on a
// thread of its own.
#pragma once
#include <windows.h>

#include "writer/check.h"

// Posted by the check thread as its last act, with the CheckVerdict; the
// final sentence is in status_text.
enum { WM_APP_CHECK_DONE = WM_APP + 6 };

// Every image the disk may hold, in this order: the published one (when the
// manifest is loaded, once the start-up check is over), each verified image
// in the cache (its sidecar's digest, its file's size), the chosen ISO file
// (hashed now). Returns how many; false when the wait for the start-up
// check or hashing the ISO file was stopped, or hashing failed, with the
// sentence in `message`.
bool collect_known_images(KnownImage images[MAX_KNOWN_IMAGES], int *count, wchar_t *message);

// Thread routine: checks chosen_disk against the known images.
DWORD WINAPI check_thread(LPVOID unused);
