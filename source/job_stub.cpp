// TEMPORARY STUB of the job thread, until the real one lands: it writes a
// chosen local file with the engine and refuses the published image. Delete
// this file when source/job.cpp arrives.
#include "source/job.h"

#include "ui/status.h"
#include "writer/engine.h"

DWORD WINAPI job_thread(LPVOID)
{
    wchar_t message[MESSAGE_CHARS] = L"";
    LONG damaged = 0;
    int result = JOB_FAILED;
    if (!local_image_path[0])
        wcscpy(message, L"(stub) The published image is not handled yet.");
    else if (write_image_to_disk(local_image_path, NULL, &chosen_disk, &damaged, message))
        result = JOB_OK;
    else if (cancel_requested())
        result = JOB_STOPPED;
    set_final_status(message);
    PostMessageW(main_window, WM_APP_JOB_DONE, result, 0);
    return 0;
}

bool check_cached_image(void)
{
    return false;
}
