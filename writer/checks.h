// The checks made before the pen drive is touched: still the disk the user
// chose, not the Windows disk, not the disk of the image or of the program,
// not write-protected.
#pragma once
#include <windows.h>
#include <stdint.h>

#include "disk/disks.h"

// True when the size, the name and the bus are those of the chosen disk.
bool disk_matches_choice(const DiskCandidate *chosen, uint64_t size, const wchar_t *name,
                         int bus_type);
// The chosen disk still answers with its size, name and bus; `fresh_size`
// receives its size now.
bool disk_is_unchanged(const DiskCandidate *chosen, uint64_t *fresh_size);
bool holds_windows(int disk_number);
// The sentence and the log line for a disk that is no longer the one chosen;
// `button` is the one to press again ("Write", "Check").
void refuse_changed_disk(const DiskCandidate *chosen, const wchar_t *button, wchar_t *message);
// False, with the sentence in `message` (768 characters), when the disk must
// not be written; nothing is opened for writing. `fresh_size` receives the
// disk's size as it answers now.
bool may_write_disk(const DiskCandidate *chosen, const wchar_t *image_path, uint64_t *fresh_size,
                    wchar_t *message);
