#include <windows.h>

#include "app/error_text.h"
#include "app/text.h"
#include "disk/seam.h"
#include "hash/sha256.h"
#include "ui/status.h"

static const wchar_t NO_SHA256_CHECK[] = L"Windows could not start a SHA-256 check on this PC.";

static void describe_failure(wchar_t *message, const wchar_t *format, const wchar_t *path)
{
    wchar_t reason[256];
    describe_error(GetLastError(), reason, 256);
    format_cut(message, HASH_MESSAGE_CHARS - 1, format, path, reason);
}

static void report_hash_progress(const wchar_t *label, uint64_t done, uint64_t size)
{
    uint64_t percent = size ? done * 100 / size : 0;
    uint64_t permille = size ? done * 1000 / size : 0;
    report_status((int)permille, L"%ls %d%%", label, (int)percent);
}

// Reads and hashes until the end of the file, a read error or a stop.
static bool hash_open_file(HANDLE file, const wchar_t *path, const wchar_t *label,
                           Sha256Context *context, BYTE *buffer, wchar_t *message,
                           uint64_t *done)
{
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size)) size.QuadPart = 0;
    DWORD last_report = 0;
    for (;;) {
        if (cancel_requested()) {
            copy_cut(message, HASH_MESSAGE_CHARS, L"Stopped.");
            return false;
        }
        DWORD got = 0;
        if (!ReadFile(file, buffer, HASH_CHUNK_BYTES, &got, NULL)) {
            describe_failure(message, L"Could not read %ls: %ls", path);
            return false;
        }
        if (got == 0) return true;
        sha256_update(context, buffer, got);
        *done += got;
        if (seam.GetTickCount() - last_report > HASH_PROGRESS_INTERVAL_MS) {
            last_report = seam.GetTickCount();
            report_hash_progress(label, *done, (uint64_t)size.QuadPart);
        }
    }
}

bool hash_file(const wchar_t *path, const wchar_t *label, char digest[DIGEST_TEXT_BYTES],
               wchar_t message[HASH_MESSAGE_CHARS], uint64_t *hashed_bytes)
{
    uint64_t done = 0;
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        describe_failure(message, L"Could not open %ls: %ls", path);
        return false;
    }
    bool ok = false;
    BYTE *buffer = (BYTE *)VirtualAlloc(NULL, HASH_CHUNK_BYTES, MEM_COMMIT | MEM_RESERVE,
                                        PAGE_READWRITE);
    Sha256Context context;
    if (!buffer || !sha256_begin(&context)) {
        copy_cut(message, HASH_MESSAGE_CHARS, NO_SHA256_CHECK);
    } else {
        bool read_all = hash_open_file(file, path, label, &context, buffer, message, &done);
        bool finished = sha256_finish_hex(&context, digest);
        // Callers show the message on any false result, so this one needs words too.
        if (read_all && !finished) copy_cut(message, HASH_MESSAGE_CHARS, NO_SHA256_CHECK);
        ok = read_all && finished;
    }
    if (buffer) VirtualFree(buffer, 0, MEM_RELEASE);
    CloseHandle(file);
    message[HASH_MESSAGE_CHARS - 1] = L'\0';
    if (hashed_bytes) *hashed_bytes = done;
    return ok;
}
