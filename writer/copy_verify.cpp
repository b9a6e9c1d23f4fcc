#include <windows.h>
#include <string.h>

#include "app/app_info.h"
#include "app/error_text.h"
#include "app/log.h"
#include "app/text.h"
#include "disk/raw_io.h"
#include "disk/seam.h"
#include "hash/sha256.h"
#include "ui/status.h"
#include "writer/engine.h"
#include "writer/hash_pipe.h"
#include "writer/refusal.h"

static const DWORD CHUNK_BYTES = 1048576;
static const DWORD REPORT_SPACING_MS = 300;

static const wchar_t NO_SHA256_CHECK[] = L"Windows could not start a SHA-256 check on this PC.";

// Working state of one copy-and-verify run.
struct CopyRun {
    HANDLE image;
    uint64_t image_size;
    HANDLE disk;
    DWORD sector_size;
    BYTE *start;
    DWORD start_length;
    Sha256Context digest;
    bool digest_open;
    HashPipe hashing;
    uint64_t bytes_copied;
    DWORD start_tick;
    DWORD last_report;
    const HeldVolumes *held;
    wchar_t *message;
};

static void set_message(CopyRun *run, const wchar_t *format, ...)
{
    va_list args;
    va_start(args, format);
    vformat_cut(run->message, MESSAGE_CHARS - 1, format, args);
    va_end(args);
}

// Sets the message to `format` filled with the offset in MB and the cause.
static void set_failure_at(CopyRun *run, const wchar_t *format, uint64_t offset, DWORD error)
{
    wchar_t reason[256];
    describe_error(error, reason, 256);
    set_message(run, format, offset / CHUNK_BYTES, reason);
}

static DWORD round_up_to_sector(DWORD length, DWORD sector_size)
{
    return (length + sector_size - 1) / sector_size * sector_size;
}

// Releases the running digest; false when its value could not be read, so
// that two empty texts are never taken for a match. Every chunk handed over
// is in it by then.
static bool finish_digest(CopyRun *run, char text[DIGEST_TEXT_BYTES])
{
    hash_pipe_wait(&run->hashing);
    char discarded[DIGEST_TEXT_BYTES];
    bool finished = run->digest_open && sha256_finish_hex(&run->digest, text ? text : discarded);
    run->digest_open = false;
    return finished;
}

// Reads one chunk of the image; a short read is a failure with a real cause.
static bool read_image_chunk(CopyRun *run, BYTE *buffer, DWORD length)
{
    DWORD got = 0;
    SetLastError(ERROR_SUCCESS);  // a short read sets none; an old value must not stand in
    if (ReadFile(run->image, buffer, length, &got, NULL) && got == length) return true;
    DWORD error = GetLastError();
    if (got != length && error == ERROR_SUCCESS) error = ERROR_HANDLE_EOF;
    wchar_t reason[256];
    describe_error(error, reason, 256);
    set_message(run, L"Could not read the image: %ls", reason);
    return false;
}

static void report_copy_progress(CopyRun *run)
{
    DWORD now = seam.GetTickCount();
    if (now - run->last_report <= REPORT_SPACING_MS) return;
    DWORD elapsed = now - run->start_tick;
    run->last_report = seam.GetTickCount();
    double speed = 0.0;
    if (elapsed >= 1000)
        speed = (double)run->bytes_copied / 1048576.0 / (double)(elapsed / 1000);
    uint64_t percent = run->bytes_copied * 100 / run->image_size;
    uint64_t progress = run->bytes_copied * 1000 / run->image_size;
    report_status((int)progress, L"Writing to the pen drive\x2026  %d%%  (%.1f MB/s)",
                  (int)percent, speed);
}

// Copies every chunk but the first, which stays in the start buffer. Each
// chunk is hashed by the worker while it is written and the next is read.
static bool copy_image(CopyRun *run)
{
    for (uint64_t offset = 0; offset < run->image_size; offset += CHUNK_BYTES) {
        uint64_t left = run->image_size - offset;
        DWORD length = left < CHUNK_BYTES ? (DWORD)left : CHUNK_BYTES;
        if (cancel_requested()) {
            set_message(run, L"Stopped. The pen drive will not start a PC until it is written again.");
            return false;
        }
        BYTE *buffer = offset == 0 ? run->start : hash_pipe_next_buffer(&run->hashing);
        if (!read_image_chunk(run, buffer, length)) return false;
        hash_pipe_hand(&run->hashing, buffer, length);
        DWORD write_length = round_up_to_sector(length, run->sector_size);
        memset(buffer + length, 0, write_length - length);
        if (offset == 0) {
            run->start_length = write_length;
            continue;
        }
        DWORD error = 0;
        if (!transfer_with_retry(run->disk, true, offset, buffer, write_length, &error)) {
            if (explain_refused_write(error, run->held, run->message)) return false;
            set_failure_at(run, L"Writing to the pen drive failed at %I64u MB: %ls. "
                                L"Try another pen drive or USB port.", offset, error);
            return false;
        }
        run->bytes_copied = offset + length;
        report_copy_progress(run);
    }
    return true;
}

// The image's digest is complete before its start is written, so a damaged
// image never gets a start that would boot it.
static bool write_start(CopyRun *run, const char *expected_digest, LONG *damaged,
                        char write_digest[DIGEST_TEXT_BYTES])
{
    if (!finish_digest(run, write_digest)) {
        set_message(run, NO_SHA256_CHECK);
        return false;
    }
    if (expected_digest && expected_digest[0] && strcmp(expected_digest, write_digest) != 0) {
        *damaged = 1;
        write_log(L"image sha %hs is not the expected %hs; start not written", write_digest,
                  expected_digest);
        set_message(run, L"The quenvar OS image on this PC is damaged. It has been deleted "
                         L"\x2014 press Write to download it again.");
        return false;
    }
    DWORD error = 0;
    if (!transfer_with_retry(run->disk, true, 0, run->start, run->start_length, &error)) {
        if (explain_refused_write(error, run->held, run->message)) return false;
        wchar_t reason[256];
        describe_error(error, reason, 256);
        set_message(run, L"Writing the start of the pen drive failed: %ls. "
                         L"Try another pen drive or USB port.", reason);
        return false;
    }
    seam.FlushFileBuffers(run->disk);
    write_log(L"wrote %I64u bytes in %lus, sha %hs", run->image_size,
              (seam.GetTickCount() - run->start_tick) / 1000, write_digest);
    return true;
}

static bool read_back(CopyRun *run, char read_digest[DIGEST_TEXT_BYTES])
{
    run->last_report = 0;
    for (uint64_t offset = 0; offset < run->image_size; offset += CHUNK_BYTES) {
        uint64_t left = run->image_size - offset;
        DWORD length = left < CHUNK_BYTES ? (DWORD)left : CHUNK_BYTES;
        if (cancel_requested()) {
            set_message(run, L"Stopped while checking. The pen drive was written but not checked.");
            return false;
        }
        DWORD error = 0;
        DWORD read_length = round_up_to_sector(length, run->sector_size);
        BYTE *buffer = hash_pipe_next_buffer(&run->hashing);
        if (!transfer_with_retry(run->disk, false, offset, buffer, read_length, &error)) {
            set_failure_at(run, L"Reading the pen drive back failed at %I64u MB: %ls. "
                                L"Try another pen drive.", offset, error);
            return false;
        }
        hash_pipe_hand(&run->hashing, buffer, length);
        if (seam.GetTickCount() - run->last_report > REPORT_SPACING_MS) {
            run->last_report = seam.GetTickCount();
            uint64_t done = offset + length;
            report_status((int)(done * 1000 / run->image_size),
                          L"Checking the pen drive\x2026  %d%%",
                          (int)(done * 100 / run->image_size));
        }
    }
    if (!finish_digest(run, read_digest)) {
        set_message(run, NO_SHA256_CHECK);
        return false;
    }
    write_log(L"read back sha %hs", read_digest);
    return true;
}

static int copy_and_verify(CopyRun *run, const char *expected_digest, LONG *damaged)
{
    char write_digest[DIGEST_TEXT_BYTES] = "";
    char read_digest[DIGEST_TEXT_BYTES] = "";
    if (!sha256_begin(&run->digest)) {
        set_message(run, NO_SHA256_CHECK);
        return 0;
    }
    run->digest_open = true;
    run->start_tick = seam.GetTickCount();
    if (!copy_image(run)) return 0;
    if (!write_start(run, expected_digest, damaged, write_digest)) return 0;
    if (!sha256_begin(&run->digest)) {
        set_message(run, NO_SHA256_CHECK);
        return 0;
    }
    run->digest_open = true;
    if (!read_back(run, read_digest)) return 0;
    if (strcmp(read_digest, write_digest) == 0) return 1;
    set_message(run, L"The pen drive did not keep what was written to it \x2014 it may be "
                     L"faulty or fake. Try a different pen drive.");
    return 0;
}

int copy_and_verify_image(HANDLE image, uint64_t image_size, HANDLE disk, DWORD sector_size,
                          BYTE *working_buffer, const char *expected_digest,
                          const HeldVolumes *held, LONG *damaged, wchar_t *message)
{
    CopyRun run = {};
    run.held = held;
    run.image = image;
    run.image_size = image_size;
    run.disk = disk;
    run.sector_size = sector_size;
    run.message = message;
    run.start = (BYTE *)VirtualAlloc(NULL, CHUNK_BYTES, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (!run.start) {
        set_message(&run, L"Out of memory.");
        return 0;
    }
    hash_pipe_start(&run.hashing, &run.digest, working_buffer);
    int result = copy_and_verify(&run, expected_digest, damaged);
    // The worker is gone before the digest and the buffers it reads are.
    hash_pipe_stop(&run.hashing);
    finish_digest(&run, NULL);
    VirtualFree(run.start, 0, MEM_RELEASE);
    return result;
}
