// Checking a pen drive without writing it: one read of the disk from its
// start, as far as the longest image it is compared with, tells which of
// several images it holds byte for byte.
#pragma once
#include <windows.h>
#include <stdint.h>

#include "disk/disks.h"
#include "hash/sha256.h"

enum { MAX_KNOWN_IMAGES = 8, KNOWN_IMAGE_NAME_CHARS = 128 };

// An image the disk may hold: its first `size` bytes have SHA-256 `digest`.
struct KnownImage {
    uint64_t size;
    char digest[DIGEST_TEXT_BYTES];
    wchar_t name[KNOWN_IMAGE_NAME_CHARS];  // for people: "quenvar OS 2.1", a file name
};

enum CheckVerdict { CHECK_INTACT, CHECK_DIFFERS, CHECK_FAILED };

extern const wchar_t CHECK_DIFFERS_TEXT[];
extern const wchar_t CHECK_STOPPED_TEXT[];

// Reads the chosen disk (a candidate by the same rules as a write) with an
// unbuffered read-only handle: no lock, no dismount, nothing taken offline,
// nothing written. The digest at each image's length is a copy of the one
// running digest, so every image costs the same single read. CHECK_INTACT
// with `matched` the first image it holds; CHECK_DIFFERS when it holds none;
// CHECK_FAILED when it could not be read that far, is smaller than every
// image or was stopped. Both of the last leave one sentence in `message`
// (768 characters).
CheckVerdict check_disk(const DiskCandidate *chosen, const KnownImage *images, int count,
                        int *matched, wchar_t *message);
