// Which physical disks may be written, and how each is named.
#pragma once
#include <windows.h>
#include <stdint.h>

enum {
    MAX_CANDIDATES = 32,
    DISK_NUMBER_LIMIT = 64,
    MAX_VOLUME_EXTENTS = 32,
    DISK_NAME_CHARS = 128,
    DISK_LETTERS_CHARS = 64,
    DISK_DISPLAY_CHARS = 256,
};
static const uint64_t MIN_CANDIDATE_BYTES = 536870912ULL;
static const uint64_t MAX_CANDIDATE_BYTES = 274877906944ULL;

struct DiskCandidate {
    int disk_number;
    uint64_t size_bytes;
    wchar_t name[DISK_NAME_CHARS];
    wchar_t letters[DISK_LETTERS_CHARS];
    wchar_t display_text[DISK_DISPLAY_CHARS];
};

struct SystemDiskTable {
    unsigned char holds_windows[DISK_NUMBER_LIMIT];
};

extern DiskCandidate candidate_disks[MAX_CANDIDATES];
extern int candidate_count;

// Disk N by its \\.\PhysicalDriveN name, shared for reading and writing, through
// the seam; INVALID_HANDLE_VALUE with the reason in GetLastError.
HANDLE open_physical_disk(int disk_number, DWORD access, DWORD flags);
// Size, display name and bus type (a STORAGE_BUS_TYPE value) of disk N.
bool identify_disk(int disk_number, uint64_t *size_bytes, wchar_t name[DISK_NAME_CHARS],
                   int *bus_type);
// The same answers from a disk handle that is already open.
bool identify_open_disk(HANDLE disk, uint64_t *size_bytes, wchar_t name[DISK_NAME_CHARS],
                        int *bus_type);
SystemDiskTable find_system_disks(void);
int volume_disk_numbers(HANDLE volume, int disk_numbers[MAX_VOLUME_EXTENTS]);
// Rebuilds candidate_disks; returns how many are valid (the caller stores it).
int list_candidate_disks(void);
// The same into another table, for a thread that must not touch the window's.
int list_candidate_disks_into(DiskCandidate table[MAX_CANDIDATES]);
