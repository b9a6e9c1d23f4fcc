#include "source/image_cache.h"

#include <windows.h>
#include <stdio.h>
#include <string.h>
#include <wctype.h>

#include "app/app_info.h"
#include "app/log.h"
#include "app/text.h"
#include "disk/seam.h"
#include "source/cache_names.h"
#include "source/job.h"
#include "source/manifest.h"
#include "source/manifest_text.h"

enum { SIDECAR_LINE_BYTES = 128 };

bool file_size(const wchar_t *path, uint64_t *size)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data)) return false;
    *size = ((uint64_t)data.nFileSizeHigh << 32) | data.nFileSizeLow;
    return true;
}

bool check_cached_image(void)
{
    wchar_t image[APP_PATH_CHARS], sidecar[APP_PATH_CHARS];
    build_cache_path(image, manifest_info.version, CACHE_IMAGE_SUFFIX);
    build_cache_path(sidecar, manifest_info.version, CACHE_SIDECAR_SUFFIX);
    uint64_t size = 0;
    char digest[DIGEST_TEXT_BYTES];
    return file_size(image, &size) && size == manifest_info.iso_size &&
           read_sidecar_digest(sidecar, digest) && strcmp(digest, manifest_info.iso_sha256) == 0;
}

bool read_sidecar_digest(const wchar_t *sidecar_path, char digest[DIGEST_TEXT_BYTES])
{
    FILE *file = _wfopen(sidecar_path, L"rb");
    if (!file) return false;
    char line[SIDECAR_LINE_BYTES] = "";
    if (!fgets(line, sizeof line, file)) line[0] = '\0';
    fclose(file);
    memcpy(digest, line, DIGEST_HEX_CHARS);  // the line is zero-filled past its end
    digest[DIGEST_HEX_CHARS] = '\0';
    return is_digest_text(digest);
}

uint64_t resume_offset_for(const wchar_t *part_path)
{
    uint64_t size = 0;
    if (!file_size(part_path, &size) || size > manifest_info.iso_size) return 0;
    return size;
}

// "D:" for a folder on D:, and C: when the folder has no drive letter.
static wchar_t folder_drive_letter(void)
{
    if (iswalpha(app_folder[0]) && app_folder[1] == L':') return towupper(app_folder[0]);
    return L'C';
}

bool enough_free_space(uint64_t resume_offset, wchar_t *message)
{
    ULARGE_INTEGER available;
    if (!seam.GetDiskFreeSpaceExW(app_folder, &available, NULL, NULL)) return true;
    // An image so large that the headroom cannot be added never fits.
    bool impossible = manifest_info.iso_size > UINT64_MAX - FREE_SPACE_HEADROOM_BYTES;
    uint64_t still_needed = impossible ? UINT64_MAX
                                       : manifest_info.iso_size + FREE_SPACE_HEADROOM_BYTES -
                                             resume_offset;  // never above the size
    if (!impossible && available.QuadPart >= still_needed) return true;
    wchar_t size_text[SIZE_TEXT_CHARS];
    format_size_text(still_needed, size_text, SIZE_TEXT_CHARS);
    format_cut(message, MESSAGE_CHARS - 1,
               L"This PC needs %ls of free space on drive %lc: to download quenvar OS.",
               size_text, folder_drive_letter());
    return false;
}

bool remove_old_images(void)
{
    bool removed = false;
    wchar_t pattern[APP_PATH_CHARS], keep[APP_PATH_CHARS], path[APP_PATH_CHARS];
    format_cut(pattern, APP_PATH_CHARS - 1, L"%ls\\quenvar-os-*.iso*", app_folder);
    format_cut(keep, APP_PATH_CHARS - 1, L"quenvar-os-%ls.iso", manifest_info.version);
    size_t keep_length = wcslen(keep);
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(pattern, &entry);
    if (search == INVALID_HANDLE_VALUE) return false;
    do {
        if (wcsncmp(entry.cFileName, keep, keep_length) == 0) continue;
        format_cut(path, APP_PATH_CHARS - 1, L"%ls\\%ls", app_folder, entry.cFileName);
        if (!DeleteFileW(path)) continue;
        write_log(L"removed old image %ls", entry.cFileName);
        removed = true;
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    return removed;
}

void delete_cached_version(void)
{
    const wchar_t *suffixes[] = {CACHE_SIDECAR_SUFFIX, CACHE_IMAGE_SUFFIX, CACHE_PART_SUFFIX};
    wchar_t path[APP_PATH_CHARS];
    for (const wchar_t *suffix : suffixes) {
        build_cache_path(path, manifest_info.version, suffix);
        DeleteFileW(path);
    }
}
