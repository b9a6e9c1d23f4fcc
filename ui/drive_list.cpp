// The drive list: the candidate pen drives, rebuilt on every refresh while
// the user's choice is kept if that very drive is still there.
#include <string.h>
#include <wchar.h>

#include "disk/disks.h"
#include "ui/drive_list_worker.h"
#include "ui/window.h"

struct DriveIdentity {
    int disk_number;
    uint64_t size_bytes;
    wchar_t name[DISK_NAME_CHARS];
};

static bool same_drive(const DriveIdentity &identity, const DiskCandidate &candidate)
{
    return identity.disk_number == candidate.disk_number &&
           identity.size_bytes == candidate.size_bytes &&
           wcscmp(identity.name, candidate.name) == 0;
}

// The list is made on a worker (ui/drive_list_worker.h); the buttons follow
// the job's state at once, the list when it arrives.
void refresh_drive_list(void)
{
    // Its volume opens would meet the job taking the stick's volumes offline.
    if (!stick_in_use()) start_drive_list();
    update_buttons();
}

static void show_drive_list(void)
{
    HWND list = control(ID_DRIVE_LIST);
    int selection = (int)SendMessageW(list, CB_GETCURSEL, 0, 0);
    DriveIdentity previous;
    bool had_choice = selection >= 0 && selection < candidate_count;
    if (had_choice) {
        const DiskCandidate &chosen = candidate_disks[selection];
        previous.disk_number = chosen.disk_number;
        previous.size_bytes = chosen.size_bytes;
        memcpy(previous.name, chosen.name, sizeof previous.name);
    }

    candidate_count = copy_drive_list(candidate_disks);
    SendMessageW(list, CB_RESETCONTENT, 0, 0);
    if (candidate_count == 0) {
        SendMessageW(list, CB_ADDSTRING, 0, (LPARAM)L"Plug in a pen drive\x2026");
        SendMessageW(list, CB_SETCURSEL, 0, 0);
    } else {
        int kept = -1;
        for (int i = 0; i < candidate_count; ++i) {
            SendMessageW(list, CB_ADDSTRING, 0, (LPARAM)candidate_disks[i].display_text);
            if (had_choice && same_drive(previous, candidate_disks[i])) kept = i;
        }
        if (kept < 0 && candidate_count == 1) kept = 0;
        SendMessageW(list, CB_SETCURSEL, (WPARAM)kept, 0);
    }
    update_buttons();
}

// A list that arrives during a job is dropped, and so is a refresh asked for
// meanwhile: the list stays as it is until the job's end refreshes it.
void on_drive_list(void)
{
    bool again = drive_list_ended();
    if (stick_in_use()) {
        if (window_state.job_waits_for_list) launch_job_thread();
        return;
    }
    show_drive_list();
    if (again) refresh_drive_list();
}
