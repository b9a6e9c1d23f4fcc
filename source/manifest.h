// The update manifest, latest.json on the update host: which image is
// published, where, how large, and its SHA-256.
#pragma once
#include <windows.h>
#include <stdint.h>

enum {
    MANIFEST_VERSION_CHARS = 32,
    MANIFEST_URL_CHARS = 1024,
    MANIFEST_DIGEST_BYTES = 65,
    MANIFEST_MESSAGE_CHARS = 512,
};

#define MANIFEST_URL L"https://" QV_UPDATE_HOST L"/updates/os-quenvar/latest.json"

struct ManifestInfo {
    LONG loaded;  // 1 only when every check passed
    wchar_t version[MANIFEST_VERSION_CHARS];
    wchar_t iso_url[MANIFEST_URL_CHARS];  // https://..., or empty when it did not fit
    char iso_sha256[MANIFEST_DIGEST_BYTES];
    uint64_t iso_size;
    wchar_t message[MANIFEST_MESSAGE_CHARS];  // why not loaded; empty when loaded
    LONG message_advises;  // 1 when the message itself says what to do next
};

// One writer at a time: the manifest thread at start-up, later the job thread.
extern ManifestInfo manifest_info;

// Fetches and checks the manifest into manifest_info; writes one log line.
void fetch_manifest(void);

// Thread routine: fetch_manifest, then WM_APP_MANIFEST_DONE with 1 to the window.
DWORD WINAPI manifest_thread(LPVOID unused);
