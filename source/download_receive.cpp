#include "source/download_receive.h"

#include "app/app_info.h"
#include "app/error_text.h"
#include "app/log.h"
#include "disk/seam.h"
#include "source/manifest.h"
#include "ui/status.h"

static const wchar_t ENDED_EARLY[] = L"the connection ended early";

int download_permille(uint64_t bytes)
{
    uint64_t size = manifest_info.iso_size;
    if (size == 0) return 0;
    if (bytes >= size) return 1000;
    // bytes * 1000 would wrap for sizes beyond 2^64 / 1000.
    if (bytes > UINT64_MAX / 1000) return (int)(bytes / (size / 1000));
    return (int)(bytes * 1000 / size);
}

static void save_failure(Download *d, DWORD code)
{
    wchar_t reason[DOWNLOAD_ERROR_CHARS];
    describe_error(code, reason, DOWNLOAD_ERROR_CHARS);
    format_cut(d->message, MESSAGE_CHARS - 1, L"Could not save the download: %ls", reason);
}

// Opens the partial download and cuts it to `start` bytes, so the response is
// written right after what is known to be good.
static HANDLE open_partial_at(Download *d, uint64_t start)
{
    HANDLE file = CreateFileW(d->part_path, GENERIC_WRITE, FILE_SHARE_READ, NULL, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        save_failure(d, GetLastError());
        return INVALID_HANDLE_VALUE;
    }
    LARGE_INTEGER position;
    position.QuadPart = (LONGLONG)start;
    if (!SetFilePointerEx(file, position, NULL, FILE_BEGIN) || !SetEndOfFile(file)) {
        save_failure(d, GetLastError());
        CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

static void report_progress(Download *d, uint64_t start, uint64_t position, DWORD now)
{
    DWORD elapsed = now - d->attempt_clock;
    double speed = 0.0;
    if (elapsed > 999)
        speed = (double)(position - start) / 1048576.0 / (double)(elapsed / 1000);
    wchar_t done_text[SIZE_TEXT_CHARS];
    format_size_text(position, done_text, SIZE_TEXT_CHARS);
    report_status(download_permille(position),
                  L"Downloading quenvar OS %ls\x2026  %ls of %ls  (%.1f MB/s)",
                  manifest_info.version, done_text, d->total_text, speed);
}

// 0, or the code to show. A write that stops short with no error of its own
// is taken to have met a full volume.
static DWORD write_chunk(HANDLE file, const BYTE *bytes, DWORD count)
{
    DWORD written = 0;
    SetLastError(ERROR_SUCCESS);
    BOOL ok = WriteFile(file, bytes, count, &written, NULL);
    if (ok && written == count) return 0;
    DWORD code = ok ? ERROR_SUCCESS : GetLastError();
    return code != ERROR_SUCCESS ? code : ERROR_HANDLE_DISK_FULL;
}

enum ReceiveEnd { RECEIVE_ENDED, RECEIVE_BROKEN, RECEIVE_OVERRUN, RECEIVE_STOPPED, RECEIVE_SAVE_FAILED };

static ReceiveEnd receive_into(Download *d, HANDLE file, uint64_t start, uint64_t *position)
{
    bool reported = false;
    DWORD last_report = 0;
    for (;;) {
        if (cancel_requested()) return RECEIVE_STOPPED;
        DWORD got = 0;
        if (!WinHttpReadData(d->http.request, d->buffer, DOWNLOAD_CHUNK_BYTES, &got)) {
            describe_error(GetLastError(), d->reason, DOWNLOAD_REASON_CHARS);
            write_log(L"download: read failed at byte %I64u (%ls)", *position, d->reason);
            return RECEIVE_BROKEN;
        }
        if (got == 0) return RECEIVE_ENDED;
        if (got > manifest_info.iso_size - *position) {
            copy_cut(d->reason, DOWNLOAD_REASON_CHARS, L"the server sent more data than expected");
            write_log(L"download: overrun at byte %I64u", *position);
            return RECEIVE_OVERRUN;
        }
        DWORD write_error = write_chunk(file, d->buffer, got);
        if (write_error != 0) {
            save_failure(d, write_error);
            return RECEIVE_SAVE_FAILED;
        }
        *position += got;
        DWORD now = seam.GetTickCount();
        if (!reported || now - last_report > DOWNLOAD_REPORT_INTERVAL_MS) {
            reported = true;
            last_report = now;
            report_progress(d, start, *position, now);
        }
    }
}

bool receive_response(Download *d, uint64_t start)
{
    HANDLE file = open_partial_at(d, start);
    if (file == INVALID_HANDLE_VALUE) {
        close_http_request(&d->http);
        return false;
    }
    write_log(L"download attempt %d: HTTP %lu from byte %I64u", d->attempt, d->status, start);
    uint64_t position = start;
    ReceiveEnd end = receive_into(d, file, start, &position);
    CloseHandle(file);
    close_http_request(&d->http);
    if (end == RECEIVE_SAVE_FAILED) return false;
    d->on_disk = position;
    if (end == RECEIVE_OVERRUN) {
        DeleteFileW(d->part_path);
        d->on_disk = 0;
    }
    if (end == RECEIVE_ENDED && position < manifest_info.iso_size)
        copy_cut(d->reason, DOWNLOAD_REASON_CHARS, ENDED_EARLY);
    return true;
}
