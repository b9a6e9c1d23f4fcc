#include "app/check_mode.h"

#include <windows.h>
#include <string.h>
#include <wchar.h>

#include "app/app_info.h"
#include "app/log.h"
#include "app/text.h"
#include "disk/disks.h"
#include "writer/check.h"

// The image as the disk should hold it: its length and digest, named by its file.
static bool describe_image(const wchar_t *path, KnownImage *image, wchar_t *message)
{
    if (!hash_file(path, L"Checking the image\x2026", image->digest, message, &image->size))
        return false;
    if (image->size == 0) {
        copy_cut(message, MESSAGE_CHARS, L"The image file is empty.");
        return false;
    }
    const wchar_t *slash = wcsrchr(path, L'\\');
    copy_cut(image->name, KNOWN_IMAGE_NAME_CHARS, slash ? slash + 1 : path);
    return true;
}

int run_check(int disk, const wchar_t *image_path)
{
    wchar_t message[MESSAGE_CHARS];
    memset(message, 0, sizeof message);
    write_log(L"---- %ls %ls --check disk %d %ls", QV_PROGRAM_TITLE, QV_VERSION_TEXT, disk,
              image_path);
    candidate_count = list_candidate_disks();
    const DiskCandidate *found = NULL;
    for (int i = 0; i < candidate_count && !found; ++i)
        if (candidate_disks[i].disk_number == disk) found = &candidate_disks[i];
    if (!found) {
        write_log(L"CHECK RESULT: FAILED: Disk %d is not a USB/SD pen drive that the program "
                  L"may check.", disk);
        return 2;
    }
    DiskCandidate chosen = *found;
    KnownImage image = {};
    if (!describe_image(image_path, &image, message)) {
        message[MESSAGE_CHARS - 1] = L'\0';
        write_log(L"CHECK RESULT: FAILED: %ls", message);
        return 2;
    }
    int matched = -1;
    switch (check_disk(&chosen, &image, 1, &matched, message)) {
    case CHECK_INTACT: write_log(L"CHECK RESULT: INTACT"); return 0;
    case CHECK_DIFFERS: write_log(L"CHECK RESULT: DIFFERS: %ls", message); return 1;
    default: write_log(L"CHECK RESULT: FAILED: %ls", message); return 1;
    }
}
