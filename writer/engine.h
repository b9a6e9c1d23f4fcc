// The write-and-verify engine: writes one image raw onto one whole disk and
// proves it by reading it back.
#pragma once
#include <windows.h>
#include <stdint.h>

#include "disk/disks.h"

// 1 when the whole image was written and read back identical; 0 otherwise
// with one sentence in `message` (768 characters). `damaged` is set to 1 only
// when the image does not match `expected_digest` (null or empty: no check).
int write_image_to_disk(const wchar_t *image_path, const char *expected_digest,
                        const DiskCandidate *chosen, LONG *damaged, wchar_t *message);

// The working half: copies the image with its first chunk held back and
// written last, then reads the image area back and compares digests.
int copy_and_verify_image(HANDLE image, uint64_t image_size, HANDLE disk, DWORD sector_size,
                          BYTE *working_buffer, const char *expected_digest, LONG *damaged,
                          wchar_t *message);

// The rules that also hold for a check, which only reads.
// The chosen disk still answers with the listed size and name on a USB, SD or
// MMC bus; its size now goes to `fresh_size`.
bool disk_is_unchanged(const DiskCandidate *chosen, uint64_t *fresh_size);
// The same asked of a handle already open on it.
bool open_disk_is_unchanged(HANDLE disk, const DiskCandidate *chosen);
bool holds_windows(int disk_number);
// The geometry's sector size when it is a power of two from 512 to 4096, else 512.
DWORD read_sector_size(HANDLE disk);

// A write to the disk refused with access denied: Windows Security's
// Controlled folder access does that to programs it does not know. True, with
// the sentence that says so in `message`, for that error alone.
bool explain_refused_write(DWORD error, wchar_t *message);
