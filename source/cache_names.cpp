#include "source/cache_names.h"

#include "app/app_info.h"
#include "app/text.h"

void build_cache_path(wchar_t *path, const wchar_t *version, const wchar_t *suffix)
{
    format_cut(path, APP_PATH_CHARS - 1, L"%ls\\quenvar-os-%ls.iso%ls", app_folder, version,
               suffix);
}
