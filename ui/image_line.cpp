// The image line: which image the Write button will use.
#include <wchar.h>

#include "app/text.h"
#include "source/job.h"
#include "source/manifest.h"
#include "ui/status.h"
#include "ui/window.h"

static const wchar_t *file_name_of(const wchar_t *path)
{
    const wchar_t *last = wcsrchr(path, L'\\');
    return last ? last + 1 : path;
}

void update_image_line(void)
{
    wchar_t text[STATUS_TEXT_CHARS];
    const int limit = STATUS_TEXT_CHARS - 1;
    if (local_image_path[0]) {
        format_cut(text, limit, L"Using the file %ls", file_name_of(local_image_path));
    } else if (!window_state.startup_check_done) {
        format_cut(text, limit, L"Checking " QV_UPDATE_HOST L" for the latest version\x2026");
    } else if (manifest_info.loaded) {
        wchar_t size[SIZE_TEXT_CHARS];
        format_size_text(manifest_info.iso_size, size, SIZE_TEXT_CHARS);
        const wchar_t *where = check_cached_image() ? L"already downloaded"
                                                    : L"downloads when you press Write";
        format_cut(text, limit, L"quenvar OS %ls  (%ls)  \x2014  %ls", manifest_info.version, size,
                   where);
    } else if (manifest_info.message_advises) {
        copy_cut(text, STATUS_TEXT_CHARS, manifest_info.message);
    } else {
        format_cut(text, limit, L"%ls  Press Write to try again, or use an ISO file.",
                   manifest_info.message);
    }
    SetWindowTextW(control(ID_IMAGE_LINE), text);
}
