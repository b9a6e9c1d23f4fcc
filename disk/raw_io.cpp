#include "disk/raw_io.h"

#include "app/log.h"
#include "disk/seam.h"

namespace {

// One attempt; false with the error (never 0) and the bytes that moved.
bool transfer_once(HANDLE disk, bool write, uint64_t offset, void *buffer, DWORD length,
                   DWORD *moved, DWORD *error)
{
    LARGE_INTEGER position;
    position.QuadPart = (LONGLONG)offset;
    if (!seam.SetFilePointerEx(disk, position, NULL, FILE_BEGIN)) {
        *error = GetLastError();
        if (*error == 0) *error = ERROR_SEEK;
        return false;
    }
    // A short transfer that "succeeds" sets no error; a value left over from
    // earlier calls (the log's own file open, for one) must not stand in for it.
    SetLastError(0);
    BOOL done = write ? seam.WriteFile(disk, buffer, length, moved, NULL)
                      : seam.ReadFile(disk, buffer, length, moved, NULL);
    if (done && *moved == length) return true;
    *error = GetLastError();
    // 0 would read as success to the caller.
    if (*error == 0) *error = !done ? ERROR_GEN_FAILURE : write ? ERROR_WRITE_FAULT : ERROR_HANDLE_EOF;
    return false;
}

}  // namespace

bool transfer_with_retry(HANDLE disk, bool write, uint64_t offset, void *buffer, DWORD length,
                         DWORD *error, bool (*stop_requested)(void))
{
    if (length == 0) return true;
    for (int attempt = 1; attempt <= TRANSFER_ATTEMPTS; ++attempt) {
        DWORD moved = 0;
        DWORD failure = 0;
        if (transfer_once(disk, write, offset, buffer, length, &moved, &failure)) return true;
        if (moved > length) moved = length;
        if (error) *error = failure;
        write_log(L"%ls at %I64u failed (attempt %d, error %lu, %lu of %lu bytes)",
                  write ? L"write" : L"read", offset, attempt, failure, moved, length);
        if (!pause_unless_stopped(TRANSFER_RETRY_DELAY_MS, stop_requested)) {
            if (error) *error = ERROR_CANCELLED;
            return false;
        }
    }
    return false;
}

bool pause_unless_stopped(DWORD milliseconds, bool (*stop_requested)(void))
{
    if (!stop_requested) {
        seam.Sleep(milliseconds);
        return true;
    }
    // In slices, so that a stop is answered within one of them.
    for (DWORD left = milliseconds; !stop_requested(); left -= PAUSE_SLICE_MS) {
        if (left <= PAUSE_SLICE_MS) {
            seam.Sleep(left);
            return !stop_requested();
        }
        seam.Sleep(PAUSE_SLICE_MS);
    }
    return false;
}
