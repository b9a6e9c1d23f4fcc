// The working state of one download and the reception of one response.
#pragma once
#include <windows.h>
#include <stdint.h>

#include "app/text.h"
#include "source/download.h"
#include "source/http.h"

enum { DOWNLOAD_ERROR_CHARS = 256 };

struct Download {
    const wchar_t *image_path;
    const wchar_t *part_path;
    const wchar_t *sidecar_path;
    wchar_t *message;                         // the caller's 768 characters
    int attempt;                              // 1 to DOWNLOAD_ATTEMPTS
    uint64_t on_disk;                         // the partial download holds exactly these bytes
    wchar_t reason[DOWNLOAD_REASON_CHARS];    // cause of the last failed attempt
    wchar_t total_text[SIZE_TEXT_CHARS];
    BYTE *buffer;                             // DOWNLOAD_CHUNK_BYTES
    DWORD status;
    bool host_answered;                       // an attempt of this download got a status line
    DWORD attempt_clock;
    HttpRequest http;
};

// Progress of `bytes` in thousandths of the image size.
int download_permille(uint64_t bytes);

// Writes the open response into the partial download from byte `start`, then
// closes the file and the request. False when the download must end at once
// (the message is set); otherwise d->on_disk says how far it got.
bool receive_response(Download *d, uint64_t start);
