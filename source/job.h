// The job thread that one press of Write starts, and the image cache it keeps
// in the application folder.
#pragma once
#include <windows.h>

#include "app/app_info.h"
#include "disk/disks.h"

// Written by the window only while no job runs; read by the job thread.
extern DiskCandidate chosen_disk;
extern wchar_t local_image_path[APP_PATH_CHARS];  // empty: the published image

enum { FREE_SPACE_HEADROOM_BYTES = 67108864 };  // 64 MiB beyond the image

// Thread routine: obtains the image, writes and proves the pen drive, leaves
// its final sentence in status_text and posts WM_APP_JOB_DONE with the result.
DWORD WINAPI job_thread(LPVOID unused);

// True when manifest_info's version is in the cache with its size and a
// sidecar file naming its digest. Meaningful only while the manifest is loaded.
bool check_cached_image(void);
