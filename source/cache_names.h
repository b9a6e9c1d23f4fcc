// File names of the image cache in the application folder.
#pragma once
#include <stddef.h>

#define CACHE_IMAGE_SUFFIX L""
#define CACHE_PART_SUFFIX L".part"
#define CACHE_SIDECAR_SUFFIX L".ok"

// "<app folder>\quenvar-os-<version>.iso<suffix>", cut to 259 characters.
// `path` holds APP_PATH_CHARS (260) characters.
void build_cache_path(wchar_t *path, const wchar_t *version, const wchar_t *suffix);
