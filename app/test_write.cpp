#include "app/test_write.h"

#include <string.h>

#include "app/app_info.h"
#include "app/log.h"
#include "disk/disks.h"
#include "writer/engine.h"

int run_test_write(int disk, const wchar_t *image)
{
    wchar_t message[MESSAGE_CHARS];
    LONG damaged = 0;
    memset(message, 0, sizeof message);
    write_log(L"---- %ls %ls --test-write disk %d %ls", QV_PROGRAM_TITLE, QV_VERSION_TEXT,
              disk, image);
    candidate_count = list_candidate_disks();
    const DiskCandidate *found = NULL;
    for (int i = 0; i < candidate_count && !found; ++i)
        if (candidate_disks[i].disk_number == disk) found = &candidate_disks[i];
    if (!found) {
        write_log(L"TEST RESULT: disk %d is not a USB/SD candidate", disk);
        return 2;
    }
    DiskCandidate chosen = *found;
    if (write_image_to_disk(image, NULL, &chosen, &damaged, message)) {
        write_log(L"TEST RESULT: OK");
        return 0;
    }
    write_log(L"TEST RESULT: FAILED: %ls", message);
    return 1;
}
