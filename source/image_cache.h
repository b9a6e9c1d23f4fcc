// The image cache in the application folder: the verified image of the
// manifest's version, its partial download and its sidecar file.
#pragma once
#include <stdint.h>

#include "hash/sha256.h"

// The size of a file by its name; false when it cannot be asked.
bool file_size(const wchar_t *path, uint64_t *size);

// The digest text at the start of a sidecar file, as the download wrote it:
// false unless it is 64 lower-case hexadecimal characters.
bool read_sidecar_digest(const wchar_t *sidecar_path, char digest[DIGEST_TEXT_BYTES]);

// Size of the partial download to resume from: 0 when it is missing or larger
// than the published image.
uint64_t resume_offset_for(const wchar_t *part_path);

// False, with the sentence in `message`, when the application folder's volume
// lacks room for the rest of the image and the headroom. A failed query passes.
bool enough_free_space(uint64_t resume_offset, wchar_t *message);

// Deletes every cached file of other versions, logging each one removed;
// true when at least one was removed.
bool remove_old_images(void);

// Deletes the sidecar file, the image and the partial download of the current
// version, in that order, so that the next job downloads it again.
void delete_cached_version(void);
