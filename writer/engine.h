// The write-and-verify engine: writes one image raw onto one whole disk and
// proves it by reading it back.
#pragma once
#include <windows.h>
#include <stdint.h>

#include "disk/disks.h"
#include "disk/volumes.h"

// 1 when the whole image was written and read back identical; 0 otherwise
// with one sentence in `message` (768 characters). `damaged` is set to 1 only
// when the image does not match `expected_digest` (null or empty: no check).
int write_image_to_disk(const wchar_t *image_path, const char *expected_digest,
                        const DiskCandidate *chosen, LONG *damaged, wchar_t *message);

// The same, and after a write that was proven the stick is ejected as
// "Safely Remove" does, released so that Windows cannot mount it meanwhile.
// `ejected` tells whether it went; a refused eject is logged, the stick is
// then released as after write_image_to_disk, and the result stays 1.
int write_image_and_eject(const wchar_t *image_path, const char *expected_digest,
                          const DiskCandidate *chosen, LONG *damaged, wchar_t *message,
                          bool *ejected);

// The working half: copies the image with its first chunk held back and
// written last, then reads the image area back and compares digests. A
// refused write is explained from what `held` knows of the disk's volumes.
int copy_and_verify_image(HANDLE image, uint64_t image_size, HANDLE disk, DWORD sector_size,
                          BYTE *working_buffer, const char *expected_digest,
                          const HeldVolumes *held, LONG *damaged, wchar_t *message);

// Also asked by the check, which only reads: the open disk still answers as
// the chosen one, and its sector size (the geometry's when it is a power of
// two from 512 to 4096, else 512).
bool open_disk_is_unchanged(HANDLE disk, const DiskCandidate *chosen);
DWORD read_sector_size(HANDLE disk);
