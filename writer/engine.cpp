#include <windows.h>
#include <winioctl.h>
#include <string.h>

#include "app/app_info.h"
#include "app/error_text.h"
#include "app/log.h"
#include "app/text.h"
#include "disk/eject.h"
#include "disk/raw_io.h"
#include "disk/seam.h"
#include "disk/volumes.h"
#include "ui/status.h"
#include "writer/checks.h"
#include "writer/engine.h"
#include "writer/refusal.h"

enum {
    CLEAR_BYTES = 1048576,
    TAKEOVER_PASSES = 4,
    DISK_LOCK_ATTEMPTS = 10,
    DISK_LOCK_RETRY_MS = 300,
    REFUSED_PASS_PAUSE_MS = 1500,
};
static const uint64_t END_CLEARING_MIN_BYTES = 2097152ULL;
static const int PROGRESS_DONE = 1000;

// Working state of one write; released by the exit procedure.
struct EngineRun {
    const DiskCandidate *chosen;
    wchar_t *message;
    HANDLE image;
    uint64_t image_size;
    uint64_t disk_size;
    HeldVolumes held;
    HANDLE disk;
    DWORD sector_size;
    BYTE *zero_buffer;
    DWORD transfer_error;
};

// The number may name another disk by now: taking the volumes offline can
// take seconds, during which a stick can be swapped. Ask the open handle.
bool open_disk_is_unchanged(HANDLE disk, const DiskCandidate *chosen)
{
    uint64_t size = 0;
    wchar_t name[DISK_NAME_CHARS];
    int bus_type = 0;
    return identify_open_disk(disk, &size, name, &bus_type) &&
           disk_matches_choice(chosen, size, name, bus_type);
}

// A refusal that the volumes or a lock switch explain, else `format` with the error.
static void refuse_write(EngineRun *run, const wchar_t *format, DWORD error)
{
    if (!explain_refused_write(error, &run->held, run->message))
        format_message_with_error(run->message, format, error);
}

// Read before every pause of the preparing and before the first write, so
// a stop is answered at once and never followed by a write.
static bool stopped(EngineRun *run)
{
    if (!cancel_requested()) return false;
    format_message(run->message, L"Stopped. Nothing was written.");
    return true;
}

static bool size_image(EngineRun *run)
{
    LARGE_INTEGER size;
    if (!GetFileSizeEx(run->image, &size)) {
        format_message_with_error(run->message, L"Could not read the image: %ls",
                                  GetLastError());
        return false;
    }
    run->image_size = (uint64_t)size.QuadPart;
    wchar_t size_text[SIZE_TEXT_CHARS];
    format_size_text(run->image_size, size_text, SIZE_TEXT_CHARS);
    if (run->image_size == 0) {
        format_message(run->message, L"The image file is empty.");
        return false;
    }
    if (run->disk_size < run->image_size) {
        format_message(run->message,
                       L"This pen drive is too small. quenvar OS needs one of at least %ls.",
                       size_text);
        return false;
    }
    return true;
}

DWORD read_sector_size(HANDLE disk)
{
    BYTE geometry[40];
    DWORD returned = 0;
    if (!seam.DeviceIoControl(disk, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, NULL, 0, geometry,
                              sizeof geometry, &returned, NULL) ||
        returned < sizeof(DISK_GEOMETRY))
        return 512;
    DWORD bytes = ((const DISK_GEOMETRY *)geometry)->BytesPerSector;
    bool power_of_two = (bytes & (bytes - 1)) == 0;
    return bytes >= 512 && bytes <= 4096 && power_of_two ? bytes : 512;
}

static bool open_disk(EngineRun *run)
{
    run->disk = open_physical_disk(run->chosen->disk_number, GENERIC_READ | GENERIC_WRITE,
                                   FILE_FLAG_WRITE_THROUGH | FILE_FLAG_NO_BUFFERING);
    if (run->disk == INVALID_HANDLE_VALUE) {
        refuse_write(run, L"Windows would not let the pen drive be written: %ls", GetLastError());
        return false;
    }
    if (!open_disk_is_unchanged(run->disk, run->chosen)) {
        refuse_changed_disk(run->chosen, L"Write", run->message);
        return false;
    }
    run->sector_size = read_sector_size(run->disk);
    run->zero_buffer = (BYTE *)VirtualAlloc(NULL, CLEAR_BYTES, MEM_COMMIT | MEM_RESERVE,
                                            PAGE_READWRITE);
    if (!run->zero_buffer) {
        format_message(run->message, L"Out of memory.");
        return false;
    }
    memset(run->zero_buffer, 0, CLEAR_BYTES);
    return true;
}

static bool send_to_disk(HANDLE disk, DWORD code)
{
    DWORD returned = 0;
    return seam.DeviceIoControl(disk, code, NULL, 0, NULL, 0, &returned, NULL) != FALSE;
}

static void lock_disk(EngineRun *run, int pass)
{
    for (int attempt = 1; attempt <= DISK_LOCK_ATTEMPTS; ++attempt) {
        if (send_to_disk(run->disk, FSCTL_LOCK_VOLUME)) {
            write_log(L"pass %d: disk locked", pass);
            return;
        }
        DWORD error = GetLastError();
        if (!pause_unless_stopped(DISK_LOCK_RETRY_MS, cancel_requested)) return;
        if (attempt == DISK_LOCK_ATTEMPTS) write_log(L"pass %d: disk lock refused (%lu)", pass, error);
    }
}

// Up to four passes to get the first write accepted; then the start is zero.
static bool take_disk(EngineRun *run)
{
    for (int pass = 1; pass <= TAKEOVER_PASSES; ++pass) {
        if (stopped(run)) return false;
        if (!send_to_disk(run->disk, FSCTL_ALLOW_EXTENDED_DASD_IO))
            write_log(L"pass %d: extended DASD I/O refused (%lu)", pass, GetLastError());
        if (pass > 1) take_volumes_offline(run->chosen->disk_number, &run->held);
        lock_disk(run, pass);
        if (stopped(run)) return false;
        if (transfer_with_retry(run->disk, true, 0, run->zero_buffer, CLEAR_BYTES,
                                &run->transfer_error, cancel_requested)) {
            write_log(L"pass %d: first write accepted", pass);
            return true;
        }
        if (stopped(run)) return false;
        write_log(L"pass %d: first write refused (%lu)", pass, run->transfer_error);
        // No pass unlocks a lock switch.
        if (run->transfer_error == ERROR_WRITE_PROTECT) break;
        pause_unless_stopped(REFUSED_PASS_PAUSE_MS, cancel_requested);
    }
    if (stopped(run)) return false;
    refuse_write(run, L"Windows would not let the pen drive be written (%ls). Unplug it, plug it "
                      L"into another USB port and press Write again.",
                 run->transfer_error);
    return false;
}

static void clear_end(EngineRun *run)
{
    if (run->disk_size < END_CLEARING_MIN_BYTES) return;
    uint64_t offset = (run->disk_size - CLEAR_BYTES) / run->sector_size * run->sector_size;
    if (!transfer_with_retry(run->disk, true, offset, run->zero_buffer, CLEAR_BYTES,
                             &run->transfer_error))
        write_log(L"clearing the end failed (%lu, continuing)", run->transfer_error);
}

// From the size check on: everything up to and including the read-back.
static int write_open_image(EngineRun *run, const wchar_t *image_path, const char *expected_digest,
                            LONG *damaged)
{
    if (!size_image(run)) return 0;
    write_log(L"writing %ls (%I64u bytes) to disk %d: %ls, %I64u bytes", image_path,
              run->image_size, run->chosen->disk_number, run->chosen->name, run->disk_size);
    report_status(0, L"Preparing the pen drive\x2026");
    take_volumes_offline(run->chosen->disk_number, &run->held);
    write_log(L"%d volume(s) taken offline", run->held.count);
    if (stopped(run)) return 0;
    if (!open_disk(run)) return 0;
    if (!take_disk(run)) return 0;
    clear_end(run);
    return copy_and_verify_image(run->image, run->image_size, run->disk, run->sector_size,
                                 run->zero_buffer, expected_digest, &run->held, damaged,
                                 run->message);
}

// Releases in a fixed order: buffer, disk (unlocked, re-read), volumes, image.
static void release_run(EngineRun *run)
{
    if (run->zero_buffer) VirtualFree(run->zero_buffer, 0, MEM_RELEASE);
    if (run->disk != INVALID_HANDLE_VALUE) {
        send_to_disk(run->disk, FSCTL_UNLOCK_VOLUME);
        send_to_disk(run->disk, IOCTL_DISK_UPDATE_PROPERTIES);
        seam.CloseHandle(run->disk);
    }
    if (run->held.count > 0) release_held_volumes(&run->held);
    CloseHandle(run->image);
}

// Windows refuses an eject while any handle is open on the disk or its
// volumes, so everything is closed first; but in a state where nothing can
// mount: every volume offline, and the disk not asked to read its new layout,
// which would bring new volumes for Explorer to open, offer to format or
// write on. The device is found while all is still held, so the eject
// follows the last close at once. Refused, the release is finished as usual.
static bool release_and_eject(EngineRun *run)
{
    DWORD device = 0;
    int number = run->chosen->disk_number;
    if (!find_removable_device(number, &device)) {
        write_log(L"eject: no removable device found for disk %d", number);
        release_run(run);
        return false;
    }
    VirtualFree(run->zero_buffer, 0, MEM_RELEASE);
    send_to_disk(run->disk, FSCTL_UNLOCK_VOLUME);
    seam.CloseHandle(run->disk);
    release_held_volumes_offline(&run->held);
    CloseHandle(run->image);
    report_status(PROGRESS_DONE, L"Ejecting the pen drive\x2026");
    wchar_t reason[EJECT_REASON_CHARS];
    if (eject_device(device, reason)) {
        write_log(L"disk %d ejected", number);
        return true;
    }
    write_log(L"eject refused: %ls", reason);
    HANDLE disk = open_physical_disk(number, GENERIC_READ | GENERIC_WRITE, 0);
    if (disk != INVALID_HANDLE_VALUE) {
        send_to_disk(disk, IOCTL_DISK_UPDATE_PROPERTIES);
        seam.CloseHandle(disk);
    }
    bring_released_volumes_online(&run->held);
    return false;
}

static int write_image(const wchar_t *image_path, const char *expected_digest,
                       const DiskCandidate *chosen, LONG *damaged, wchar_t *message,
                       bool *ejected)
{
    EngineRun run = {};
    run.chosen = chosen;
    run.message = message;
    run.disk = INVALID_HANDLE_VALUE;
    run.held.stop_requested = cancel_requested;
    *damaged = 0;
    if (!may_write_disk(chosen, image_path, &run.disk_size, message)) return 0;
    run.image = CreateFileW(image_path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                            FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    if (run.image == INVALID_HANDLE_VALUE) {
        format_message_with_error(run.message, L"Could not open the image: %ls",
                                  GetLastError());
        return 0;
    }
    int result = write_open_image(&run, image_path, expected_digest, damaged);
    // Only a proven stick leaves: after a failure or a stop it stays for another try.
    if (result == 1 && ejected) *ejected = release_and_eject(&run);
    else release_run(&run);
    message[MESSAGE_CHARS - 1] = L'\0';
    if (result == 0) write_log(L"write failed: %ls", message);
    return result;
}

int write_image_to_disk(const wchar_t *image_path, const char *expected_digest,
                        const DiskCandidate *chosen, LONG *damaged, wchar_t *message)
{
    return write_image(image_path, expected_digest, chosen, damaged, message, NULL);
}

int write_image_and_eject(const wchar_t *image_path, const char *expected_digest,
                          const DiskCandidate *chosen, LONG *damaged, wchar_t *message,
                          bool *ejected)
{
    *ejected = false;
    return write_image(image_path, expected_digest, chosen, damaged, message, ejected);
}
