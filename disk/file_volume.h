// Which disk a file lies on, for the rules that keep a write from destroying
// the image it reads or the program that runs it.
#pragma once
#include <windows.h>

enum FilePlace { FILE_ELSEWHERE, FILE_ON_DISK, FILE_UNPLACED };

// Where the volume holding `path` lies with respect to the disk. The forms
// \\?\X:\..., \\?\UNC\...\ and \\?\Volume{...}\... count as their plain
// forms. A network path lies elsewhere, but one to this PC's own shares is
// unplaced, as is a local path whose volume cannot be found, opened or placed
// on a disk, or whose mount point does not begin it.
FilePlace where_file_lies(const wchar_t *path, int disk_number);
