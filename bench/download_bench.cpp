// Times download_image fetching one image into a cache folder, the SHA-256
// pass alone over the result, and a bare loop making the same WinHTTP reads
// and file writes followed by the same hash, so the caller can set them
// against curl and against each other.
// Usage: download_bench URL SIZE SHA256 FOLDER
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "app/app_info.h"
#include "app/text.h"
#include "hash/sha256.h"
#include "source/cache_names.h"
#include "source/download.h"
#include "source/http.h"
#include "source/manifest.h"
#include "ui/status.h"

static double seconds_since(LARGE_INTEGER start)
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return (double)(now.QuadPart - start.QuadPart) / (double)frequency.QuadPart;
}

// WinHttpReadData into 1 MiB and WriteFile, nothing else, then hash_file.
static double bare_loop(const wchar_t *url, const wchar_t *path)
{
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    HttpRequest http;
    DWORD status = 0;
    BYTE *buffer = (BYTE *)VirtualAlloc(NULL, DOWNLOAD_CHUNK_BYTES, MEM_COMMIT, PAGE_READWRITE);
    HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS, 0, NULL);
    if (open_http_request(&http, url, 0, &status) == 0 && buffer && file != INVALID_HANDLE_VALUE) {
        DWORD got = 0, written = 0;
        while (WinHttpReadData(http.request, buffer, DOWNLOAD_CHUNK_BYTES, &got) && got > 0)
            WriteFile(file, buffer, got, &written, NULL);
    }
    close_http_request(&http);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    if (buffer) VirtualFree(buffer, 0, MEM_RELEASE);
    char digest[DIGEST_TEXT_BYTES];
    wchar_t message[MESSAGE_CHARS];
    hash_file(path, L"bench", digest, message);
    double seconds = seconds_since(start);
    DeleteFileW(path);
    return seconds;
}

int wmain(int argc, wchar_t **argv)
{
    if (argc != 5) {
        fprintf(stderr, "usage: download_bench URL SIZE SHA256 FOLDER\n");
        return 2;
    }
    init_status_lock();
    copy_cut(app_folder, APP_PATH_CHARS, argv[4]);
    manifest_info.loaded = 1;
    copy_cut(manifest_info.version, MANIFEST_VERSION_CHARS, L"bench");
    copy_cut(manifest_info.iso_url, MANIFEST_URL_CHARS, argv[1]);
    manifest_info.iso_size = _wcstoui64(argv[2], NULL, 10);
    WideCharToMultiByte(CP_UTF8, 0, argv[3], -1, manifest_info.iso_sha256,
                        MANIFEST_DIGEST_BYTES, NULL, NULL);

    wchar_t image[APP_PATH_CHARS], part[APP_PATH_CHARS], sidecar[APP_PATH_CHARS];
    build_cache_path(image, L"bench", CACHE_IMAGE_SUFFIX);
    build_cache_path(part, L"bench", CACHE_PART_SUFFIX);
    build_cache_path(sidecar, L"bench", CACHE_SIDECAR_SUFFIX);
    DeleteFileW(image);
    DeleteFileW(part);
    DeleteFileW(sidecar);

    wchar_t message[MESSAGE_CHARS] = L"";
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    bool ok = download_image(image, part, sidecar, 0, message);
    double whole = seconds_since(start);
    if (!ok) {
        fwprintf(stderr, L"download failed: %ls\n", message);
        return 1;
    }
    char digest[DIGEST_TEXT_BYTES];
    QueryPerformanceCounter(&start);
    hash_file(image, L"bench", digest, message);
    double hashing = seconds_since(start);
    DeleteFileW(image);
    DeleteFileW(sidecar);
    double bare = bare_loop(argv[1], part);
    printf("download_image %.3f s hash_only %.3f s bare_loop %.3f s\n", whole, hashing, bare);
    return 0;
}
