#include "writer/check.h"

#include <string.h>

#include "app/app_info.h"
#include "app/error_text.h"
#include "app/log.h"
#include "app/text.h"
#include "disk/raw_io.h"
#include "disk/seam.h"
#include "ui/status.h"
#include "writer/checks.h"
#include "writer/engine.h"
#include "writer/hash_pipe.h"

static const DWORD CHUNK_BYTES = 1048576;
static const DWORD REPORT_SPACING_MS = 300;
static const wchar_t NO_SHA256_CHECK[] = L"Windows could not start a SHA-256 check on this PC.";

const wchar_t CHECK_DIFFERS_TEXT[] =
    L"This pen drive does not hold an intact quenvar OS image: a PC may have changed it or "
    L"the pen drive may be faulty, and writing it again makes it sure.";

const wchar_t CHECK_STOPPED_TEXT[] = L"Stopped. Nothing on the pen drive was changed.";

// Working state of one check; released by release_run.
struct CheckRun {
    const DiskCandidate *chosen;
    const KnownImage *images;
    int count;
    wchar_t *message;
    uint64_t disk_size;
    HANDLE disk;
    DWORD sector_size;
    BYTE *buffer;
    // The distinct lengths of the images that fit on the disk, ascending,
    // with the digest copied at each; the last is how far the disk is read.
    uint64_t lengths[MAX_KNOWN_IMAGES];
    int length_count;
    Sha256Context at_length[MAX_KNOWN_IMAGES];
    char digest_at[MAX_KNOWN_IMAGES][DIGEST_TEXT_BYTES];
    Sha256Context digest;
    bool digest_open;
    bool pipe_started;
    HashPipe hashing;
    DWORD start_tick;
    DWORD last_report;
};

// Sorted insert without repeats; images longer than the disk cannot be on it.
static void collect_lengths(CheckRun *run)
{
    for (int i = 0; i < run->count; ++i) {
        uint64_t size = run->images[i].size;
        if (size == 0 || size > run->disk_size) continue;
        int at = 0;
        while (at < run->length_count && run->lengths[at] < size) ++at;
        if (at < run->length_count && run->lengths[at] == size) continue;
        memmove(run->lengths + at + 1, run->lengths + at,
                (run->length_count - at) * sizeof run->lengths[0]);
        run->lengths[at] = size;
        run->length_count++;
    }
}

static bool refuse_before_reading(CheckRun *run)
{
    if (run->count <= 0) {
        format_message(run->message,
                       L"There is no quenvar OS image to compare the pen drive with. Let the "
                       L"program find the latest version, or choose an ISO file, then press "
                       L"Check again.");
        return false;
    }
    if (!disk_is_unchanged(run->chosen, &run->disk_size)) {
        refuse_changed_disk(run->chosen, L"Check", run->message);
        return false;
    }
    if (holds_windows(run->chosen->disk_number)) {
        format_message(run->message, L"That disk holds Windows. It will not be checked.");
        return false;
    }
    return true;
}

// Unbuffered, so that what comes back is the device's, not a cache's: a
// stick that loses what it was given shows.
static bool open_disk(CheckRun *run)
{
    run->disk = open_physical_disk(run->chosen->disk_number, GENERIC_READ, FILE_FLAG_NO_BUFFERING);
    if (run->disk == INVALID_HANDLE_VALUE) {
        format_message_with_error(run->message,
                                  L"Windows would not let the pen drive be read: %ls",
                                  GetLastError());
        return false;
    }
    if (!open_disk_is_unchanged(run->disk, run->chosen)) {
        refuse_changed_disk(run->chosen, L"Check", run->message);
        return false;
    }
    run->sector_size = read_sector_size(run->disk);
    run->buffer = (BYTE *)VirtualAlloc(NULL, CHUNK_BYTES, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (!run->buffer) {
        format_message(run->message, L"Out of memory.");
        return false;
    }
    return true;
}

// Hands the chunk at `offset` to the digest, split where an image ends so
// that the digest is copied there; `next` is the first length not yet reached.
static void hand_chunk(CheckRun *run, const BYTE *buffer, uint64_t offset, DWORD length,
                       int *next)
{
    DWORD done = 0;
    while (*next < run->length_count && run->lengths[*next] <= offset + length) {
        DWORD end = (DWORD)(run->lengths[*next] - offset);
        if (end > done) hash_pipe_hand(&run->hashing, buffer + done, end - done);
        hash_pipe_copy_digest(&run->hashing, &run->at_length[*next]);
        done = end;
        ++*next;
    }
    if (done < length) hash_pipe_hand(&run->hashing, buffer + done, length - done);
}

static void report_progress(CheckRun *run, uint64_t done, uint64_t total)
{
    DWORD now = seam.GetTickCount();
    if (now - run->last_report <= REPORT_SPACING_MS) return;
    DWORD elapsed = now - run->start_tick;
    run->last_report = seam.GetTickCount();
    double speed = elapsed >= 1000 ? (double)done / 1048576.0 / (double)(elapsed / 1000) : 0.0;
    report_status((int)(done * 1000 / total), L"Checking the pen drive\x2026  %d%%  (%.1f MB/s)",
                  (int)(done * 100 / total), speed);
}

// One sequential pass; the worker hashes chunk k while chunk k+1 is read.
static bool read_disk(CheckRun *run)
{
    uint64_t total = run->lengths[run->length_count - 1];
    int next = 0;
    run->start_tick = seam.GetTickCount();
    run->last_report = 0;
    for (uint64_t offset = 0; offset < total; offset += CHUNK_BYTES) {
        uint64_t left = total - offset;
        DWORD length = left < CHUNK_BYTES ? (DWORD)left : CHUNK_BYTES;
        BYTE *buffer = hash_pipe_next_buffer(&run->hashing);
        DWORD read_length = (length + run->sector_size - 1) / run->sector_size * run->sector_size;
        DWORD error = 0;
        bool read = !cancel_requested() && transfer_with_retry(run->disk, false, offset, buffer,
                                                               read_length, &error,
                                                               cancel_requested);
        // A stop between the read's attempts is a stop, not a failed read.
        if (!read && cancel_requested()) {
            format_message(run->message, CHECK_STOPPED_TEXT);
            return false;
        }
        if (!read) {
            wchar_t reason[256];
            describe_error(error, reason, 256);
            format_message(run->message,
                           L"Reading the pen drive failed at %I64u MB: %ls. Plug it in again, "
                           L"or try another USB port.",
                           offset / CHUNK_BYTES, reason);
            return false;
        }
        hand_chunk(run, buffer, offset, length, &next);
        report_progress(run, offset + length, total);
    }
    hash_pipe_wait(&run->hashing);
    write_log(L"read %I64u bytes in %lus", total, (seam.GetTickCount() - run->start_tick) / 1000);
    return true;
}

static bool finish_digests(CheckRun *run)
{
    for (int i = 0; i < run->length_count; ++i) {
        if (!sha256_finish_hex(&run->at_length[i], run->digest_at[i])) {
            format_message(run->message, NO_SHA256_CHECK);
            return false;
        }
        write_log(L"sha over %I64u bytes %hs", run->lengths[i], run->digest_at[i]);
    }
    return true;
}

static CheckVerdict compare(CheckRun *run, int *matched)
{
    for (int i = 0; i < run->count; ++i) {
        for (int j = 0; j < run->length_count; ++j) {
            if (run->lengths[j] != run->images[i].size) continue;
            if (strcmp(run->digest_at[j], run->images[i].digest) != 0) continue;
            *matched = i;
            write_log(L"disk %d holds %ls", run->chosen->disk_number, run->images[i].name);
            return CHECK_INTACT;
        }
    }
    write_log(L"disk %d holds none of the %d image(s)", run->chosen->disk_number, run->count);
    format_message(run->message, CHECK_DIFFERS_TEXT);
    return CHECK_DIFFERS;
}

static CheckVerdict check_open_disk(CheckRun *run, int *matched)
{
    collect_lengths(run);
    write_log(L"checking disk %d: %ls, %I64u bytes, against %d image(s)",
              run->chosen->disk_number, run->chosen->name, run->disk_size, run->count);
    // Not a changed stick: one that could never be written with any of them.
    if (run->length_count == 0) {
        write_log(L"every image is longer than the disk");
        format_message(run->message, L"This pen drive is smaller than the quenvar OS image, so "
                                     L"it cannot hold it.");
        return CHECK_FAILED;
    }
    report_status(0, L"Checking the pen drive\x2026");
    if (!open_disk(run)) return CHECK_FAILED;
    if (!sha256_begin(&run->digest)) {
        format_message(run->message, NO_SHA256_CHECK);
        return CHECK_FAILED;
    }
    run->digest_open = true;
    hash_pipe_start(&run->hashing, &run->digest, run->buffer);
    run->pipe_started = true;
    if (!read_disk(run) || !finish_digests(run)) return CHECK_FAILED;
    return compare(run, matched);
}

// The worker is gone before the digests and the buffer it reads are.
static void release_run(CheckRun *run)
{
    char discarded[DIGEST_TEXT_BYTES];
    if (run->pipe_started) hash_pipe_stop(&run->hashing);
    if (run->digest_open) sha256_finish_hex(&run->digest, discarded);
    for (int i = 0; i < run->length_count; ++i)
        if (run->at_length[i].hash) sha256_finish_hex(&run->at_length[i], discarded);
    if (run->buffer) VirtualFree(run->buffer, 0, MEM_RELEASE);
    if (run->disk != INVALID_HANDLE_VALUE) seam.CloseHandle(run->disk);
}

CheckVerdict check_disk(const DiskCandidate *chosen, const KnownImage *images, int count,
                        int *matched, wchar_t *message)
{
    CheckRun run = {};
    run.chosen = chosen;
    run.images = images;
    run.count = count < MAX_KNOWN_IMAGES ? count : MAX_KNOWN_IMAGES;
    run.message = message;
    run.disk = INVALID_HANDLE_VALUE;
    *matched = -1;
    CheckVerdict verdict = refuse_before_reading(&run) ? check_open_disk(&run, matched)
                                                        : CHECK_FAILED;
    release_run(&run);
    message[MESSAGE_CHARS - 1] = L'\0';
    if (verdict == CHECK_FAILED) write_log(L"check failed: %ls", message);
    return verdict;
}
