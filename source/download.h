// The resumable download of the published image into the cache.
#pragma once
#include <stdint.h>

enum {
    DOWNLOAD_ATTEMPTS = 8,
    DOWNLOAD_CHUNK_BYTES = 1048576,
    DOWNLOAD_REASON_CHARS = 400,
    DOWNLOAD_REPORT_INTERVAL_MS = 300,
    DOWNLOAD_PAUSE_SLICE_MS = 100,
};

// Pause in milliseconds before attempt `attempt` (2 and on): 2, 4, 8, then 30 s.
unsigned long download_pause_ms(int attempt);

// Brings manifest_info's image into `image_path`, appending to the partial
// download from `resume_offset`, and writes the sidecar file once the SHA-256
// matches. On failure `message` (768 characters) holds the sentence for the
// user; the partial download stays unless its content was found to be wrong.
bool download_image(const wchar_t *image_path, const wchar_t *part_path,
                    const wchar_t *sidecar_path, uint64_t resume_offset, wchar_t *message);
