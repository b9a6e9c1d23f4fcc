#include "app/test_write.h"

#include "app/app_info.h"
#include "app/log.h"

int run_test_write(int disk, const wchar_t *image)
{
    write_log(L"---- %ls %ls --test-write disk %d %ls", QV_PROGRAM_TITLE, QV_VERSION_TEXT,
              disk, image);
    // Disk discovery is not built yet, so no disk can be a candidate.
    write_log(L"TEST RESULT: disk %d is not a USB/SD candidate", disk);
    return 2;
}
