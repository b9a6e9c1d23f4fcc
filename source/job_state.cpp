#include "source/job.h"

DiskCandidate chosen_disk;
wchar_t local_image_path[APP_PATH_CHARS];
