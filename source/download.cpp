#include "source/download.h"

#include <windows.h>
#include <stdio.h>
#include <string.h>

#include "app/app_info.h"
#include "app/error_text.h"
#include "app/log.h"
#include "app/text.h"
#include "disk/seam.h"
#include "hash/sha256.h"
#include "source/download_receive.h"
#include "source/http.h"
#include "source/manifest.h"
#include "ui/status.h"

enum {
    CONTENT_RANGE_CHARS = 128,
    PREFIX_CHARS = 64,
    FIRST_LONG_PAUSE_ATTEMPT = 5,
    KEEP_ATTEMPTS = 5,
    KEEP_RETRY_MS = 500,
};

static const wchar_t RESTARTING[] = L"restarting the download";

unsigned long download_pause_ms(int attempt)
{
    if (attempt < 2) return 0;
    if (attempt >= FIRST_LONG_PAUSE_ATTEMPT) return 30000;
    return 2000UL << (attempt - 2);
}

// Sleeps in slices, watching the cancel flag; false when stopped.
static bool pause_before_attempt(Download *d)
{
    report_status(download_permille(d->on_disk), L"Connection problem (%ls). Trying again\x2026",
                  d->reason);
    unsigned long pause = download_pause_ms(d->attempt);
    for (unsigned long slept = 0; slept < pause; slept += DOWNLOAD_PAUSE_SLICE_MS) {
        if (cancel_requested()) return false;
        seam.Sleep(DOWNLOAD_PAUSE_SLICE_MS);
    }
    return true;
}

// The range the server gave is not the one asked for: start again from zero.
static void restart_from_zero(Download *d)
{
    close_http_request(&d->http);
    DeleteFileW(d->part_path);
    copy_cut(d->reason, DOWNLOAD_REASON_CHARS, RESTARTING);
    d->on_disk = 0;
}

static bool content_range_starts_at(HINTERNET request, uint64_t start)
{
    wchar_t expected[PREFIX_CHARS];
    format_cut(expected, PREFIX_CHARS - 1, L"bytes %I64u-", start);
    wchar_t value[CONTENT_RANGE_CHARS];
    DWORD size = sizeof value;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CUSTOM, L"Content-Range", value, &size,
                             WINHTTP_NO_HEADER_INDEX))
        return false;
    value[CONTENT_RANGE_CHARS - 1] = L'\0';
    return wcsncmp(value, expected, wcslen(expected)) == 0;
}

// Any status but 200, 206 and 416. False when the download must end at once.
static bool note_refusal(Download *d)
{
    format_cut(d->reason, DOWNLOAD_REASON_CHARS - 1, QV_UPDATE_HOST L" answered HTTP %lu",
               d->status);
    write_log(L"download attempt %d: HTTP %lu", d->attempt, d->status);
    close_http_request(&d->http);
    if (d->status == HTTP_STATUS_PROXY_AUTH_REQ) {
        copy_cut(d->message, MESSAGE_CHARS, PROXY_SIGN_IN_SENTENCE);
        return false;
    }
    if (d->status == 403 || d->status == 404 || d->status == 410) {
        format_cut(d->message, MESSAGE_CHARS - 1,
                   L"The quenvar OS %ls image is not on " QV_UPDATE_HOST L" (HTTP %lu).",
                   manifest_info.version, d->status);
        return false;
    }
    return true;
}

// One request and its response. False when the download must end at once.
static bool run_attempt(Download *d)
{
    report_status(download_permille(d->on_disk), L"Connecting to " QV_UPDATE_HOST L"\x2026");
    // The first request to the image host may wait long for its proxy to be
    // found, and nothing interrupts that; a Stop meanwhile is honoured here.
    find_proxy_for(manifest_info.iso_url);
    if (cancel_requested()) return true;
    DWORD error = open_http_request(&d->http, manifest_info.iso_url, d->on_disk, &d->status);
    if (error != 0) {
        describe_error(error, d->reason, DOWNLOAD_REASON_CHARS);
        write_log(L"download attempt %d: error %lu (%ls)", d->attempt, error, d->reason);
        close_http_request(&d->http);
        if (d->host_answered || !tls_update_needed(error)) return true;
        copy_cut(d->message, MESSAGE_CHARS, TLS_UPDATE_SENTENCE);
        return false;
    }
    d->host_answered = true;
    switch (d->status) {
    case 416:
        write_log(L"download attempt %d: 416, restarting from zero", d->attempt);
        restart_from_zero(d);
        return true;
    case 206:
        if (content_range_starts_at(d->http.request, d->on_disk))
            return receive_response(d, d->on_disk);
        write_log(L"download attempt %d: Content-Range did not match, restarting from zero",
                  d->attempt);
        restart_from_zero(d);
        return true;
    case 200:
        if (d->on_disk != 0) write_log(L"download: server ignored the range, starting again");
        return receive_response(d, 0);
    default:
        return note_refusal(d);
    }
}

// False when stopped, out of attempts, or ended at once (message set then).
static bool run_attempts(Download *d)
{
    for (d->attempt = 1; d->attempt <= DOWNLOAD_ATTEMPTS; ++d->attempt) {
        if (d->on_disk >= manifest_info.iso_size) return true;
        d->status = 0;
        d->attempt_clock = seam.GetTickCount();
        if (cancel_requested()) return true;
        if (d->attempt >= 2 && !pause_before_attempt(d)) return true;
        if (!run_attempt(d)) return false;
    }
    return true;
}

static void write_sidecar(const wchar_t *sidecar_path)
{
    FILE *file = _wfopen(sidecar_path, L"wb");
    if (!file) return;
    fwrite(manifest_info.iso_sha256, 1, strlen(manifest_info.iso_sha256), file);
    fputc('\n', file);
    fclose(file);
}

// A virus scanner often opens a file the moment it is closed, and holds it
// for a moment: the move is refused meanwhile, so it is tried again a few
// times over about two seconds.
static bool move_into_place(const wchar_t *from, const wchar_t *to, DWORD *error)
{
    for (int attempt = 1;; ++attempt) {
        if (MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING)) return true;
        *error = GetLastError();
        bool held = *error == ERROR_SHARING_VIOLATION || *error == ERROR_ACCESS_DENIED;
        if (!held || attempt == KEEP_ATTEMPTS) return false;
        write_log(L"download: keeping the file refused (%lu), trying again", *error);
        seam.Sleep(KEEP_RETRY_MS);
    }
}

// Hashes the finished partial download and moves it into place.
static bool verify_and_keep(Download *d)
{
    char digest[DIGEST_TEXT_BYTES];
    if (!hash_file(d->part_path, L"Checking the download\x2026", digest, d->message))
        return false;
    if (strcmp(digest, manifest_info.iso_sha256) != 0) {
        write_log(L"download: sha mismatch, got %hs", digest);
        DeleteFileW(d->part_path);
        copy_cut(d->message, MESSAGE_CHARS,
                 L"The download was damaged on the way, so it was deleted. "
                 L"Press Write to download it again.");
        return false;
    }
    DeleteFileW(d->image_path);
    DWORD error = 0;
    if (!move_into_place(d->part_path, d->image_path, &error)) {
        wchar_t reason[DOWNLOAD_ERROR_CHARS];
        describe_error(error, reason, DOWNLOAD_ERROR_CHARS);
        format_cut(d->message, MESSAGE_CHARS - 1, L"Could not keep the download: %ls", reason);
        return false;
    }
    write_sidecar(d->sidecar_path);
    write_log(L"download: verified %ls", d->image_path);
    return true;
}

bool download_image(const wchar_t *image_path, const wchar_t *part_path,
                    const wchar_t *sidecar_path, uint64_t resume_offset, wchar_t *message)
{
    Download d;
    ZeroMemory(&d, sizeof d);
    d.image_path = image_path;
    d.part_path = part_path;
    d.sidecar_path = sidecar_path;
    d.message = message;
    d.on_disk = resume_offset;
    format_size_text(manifest_info.iso_size, d.total_text, SIZE_TEXT_CHARS);
    d.buffer = (BYTE *)VirtualAlloc(NULL, DOWNLOAD_CHUNK_BYTES, MEM_COMMIT | MEM_RESERVE,
                                    PAGE_READWRITE);
    if (!d.buffer) {
        copy_cut(message, MESSAGE_CHARS, L"Out of memory.");
        return false;
    }
    bool go_on = run_attempts(&d);
    VirtualFree(d.buffer, 0, MEM_RELEASE);
    if (!go_on) return false;
    if (cancel_requested()) {
        copy_cut(message, MESSAGE_CHARS, L"Stopped. The download will continue from here next time.");
        return false;
    }
    if (d.on_disk != manifest_info.iso_size) {
        format_cut(message, MESSAGE_CHARS - 1,
                   L"The download did not finish (%ls). Press Write to continue it.", d.reason);
        return false;
    }
    return verify_and_keep(&d);
}
