#include "source/check_job.h"

#include <string.h>
#include <wchar.h>

#include "app/app_info.h"
#include "app/log.h"
#include "app/text.h"
#include "source/cache_names.h"
#include "source/image_cache.h"
#include "source/job.h"
#include "source/manifest.h"
#include "source/startup_check.h"
#include "ui/status.h"

static bool already_known(const KnownImage *images, int count, const KnownImage &image)
{
    for (int i = 0; i < count; ++i)
        if (images[i].size == image.size && strcmp(images[i].digest, image.digest) == 0)
            return true;
    return false;
}

static void add_image(KnownImage *images, int *count, const KnownImage &image)
{
    if (*count < MAX_KNOWN_IMAGES && !already_known(images, *count, image))
        images[(*count)++] = image;
}

// The version is what stands between "quenvar-os-" and ".iso.ok".
static void add_cached_image(KnownImage *images, int *count, const wchar_t *sidecar_name)
{
    wchar_t version[MANIFEST_VERSION_CHARS];
    size_t length = wcslen(sidecar_name) - wcslen(L"quenvar-os-") - wcslen(L".iso.ok");
    if (length == 0 || length >= MANIFEST_VERSION_CHARS) return;
    wcsncpy(version, sidecar_name + wcslen(L"quenvar-os-"), length);
    version[length] = L'\0';
    wchar_t image_path[APP_PATH_CHARS], sidecar[APP_PATH_CHARS];
    build_cache_path(image_path, version, CACHE_IMAGE_SUFFIX);
    build_cache_path(sidecar, version, CACHE_SIDECAR_SUFFIX);
    KnownImage image = {};
    if (!file_size(image_path, &image.size) || !read_sidecar_digest(sidecar, image.digest)) return;
    format_cut(image.name, KNOWN_IMAGE_NAME_CHARS - 1, L"quenvar OS %ls", version);
    add_image(images, count, image);
}

static void add_cached_images(KnownImage *images, int *count)
{
    wchar_t pattern[APP_PATH_CHARS];
    format_cut(pattern, APP_PATH_CHARS - 1, L"%ls\\quenvar-os-*.iso.ok", app_folder);
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(pattern, &entry);
    if (search == INVALID_HANDLE_VALUE) return;
    do add_cached_image(images, count, entry.cFileName);
    while (FindNextFileW(search, &entry));
    FindClose(search);
}

static bool add_local_image(KnownImage *images, int *count, wchar_t *message)
{
    KnownImage image = {};
    if (!hash_file(local_image_path, L"Checking the ISO file\x2026", image.digest, message,
                   &image.size))
        return false;
    const wchar_t *slash = wcsrchr(local_image_path, L'\\');
    copy_cut(image.name, KNOWN_IMAGE_NAME_CHARS, slash ? slash + 1 : local_image_path);
    add_image(images, count, image);
    return true;
}

bool collect_known_images(KnownImage images[MAX_KNOWN_IMAGES], int *count, wchar_t *message)
{
    *count = 0;
    // The start-up check may still be filling the manifest record.
    if (!wait_for_startup_check()) {
        copy_cut(message, MESSAGE_CHARS, CHECK_STOPPED_TEXT);
        return false;
    }
    if (manifest_info.loaded == 1) {
        KnownImage published = {};
        published.size = manifest_info.iso_size;
        memcpy(published.digest, manifest_info.iso_sha256, DIGEST_TEXT_BYTES);
        format_cut(published.name, KNOWN_IMAGE_NAME_CHARS - 1, L"quenvar OS %ls",
                   manifest_info.version);
        add_image(images, count, published);
    }
    add_cached_images(images, count);
    return local_image_path[0] == L'\0' || add_local_image(images, count, message);
}

DWORD WINAPI check_thread(LPVOID)
{
    wchar_t message[MESSAGE_CHARS] = L"";
    KnownImage images[MAX_KNOWN_IMAGES];
    int count = 0, matched = -1;
    CheckVerdict verdict = CHECK_FAILED;
    if (collect_known_images(images, &count, message))
        verdict = check_disk(&chosen_disk, images, count, &matched, message);
    if (verdict == CHECK_INTACT)
        format_cut(message, MESSAGE_CHARS - 1, L"This pen drive holds %ls and is intact.",
                   images[matched].name);
    set_final_status(message);
    if (main_window) PostMessageW(main_window, WM_APP_CHECK_DONE, (WPARAM)verdict, 0);
    return 0;
}
