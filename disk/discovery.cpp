// Which physical disks may be offered as write targets, and how each is shown.
#include "disk/disks.h"

#include <winioctl.h>
#include <string.h>

#include "app/text.h"
#include "disk/seam.h"

DiskCandidate candidate_disks[MAX_CANDIDATES];
int candidate_count;

namespace {

enum { EXTENTS_ANSWER_BYTES = 800, WINDOWS_PATH_CHARS = 260, LETTERS_APPEND_LIMIT = 59 };

bool is_accepted_bus(int bus_type)
{
    return bus_type == BusTypeUsb || bus_type == BusTypeSd || bus_type == BusTypeMmc;
}

bool contains_number(const int *numbers, int count, int wanted)
{
    for (int i = 0; i < count; ++i)
        if (numbers[i] == wanted) return true;
    return false;
}

HANDLE open_letter_for_query(wchar_t letter)
{
    wchar_t path[16];
    format_cut(path, 15, L"\\\\.\\%c:", letter);
    return seam.CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0,
                            NULL);
}

bool letter_lies_on_disk(wchar_t letter, int disk_number)
{
    wchar_t root[4] = {letter, L':', L'\\', L'\0'};
    UINT type = seam.GetDriveTypeW(root);
    if (type == DRIVE_NO_ROOT_DIR || type == DRIVE_REMOTE || type == DRIVE_CDROM) return false;
    HANDLE volume = open_letter_for_query(letter);
    if (volume == INVALID_HANDLE_VALUE) return false;
    int numbers[MAX_VOLUME_EXTENTS];
    int count = volume_disk_numbers(volume, numbers);
    seam.CloseHandle(volume);
    return contains_number(numbers, count, disk_number);
}

void collect_letters(int disk_number, DWORD letter_mask, wchar_t letters[DISK_LETTERS_CHARS])
{
    letters[0] = L'\0';
    for (int i = 0; i < 26; ++i) {
        if (!(letter_mask & (1UL << i))) continue;
        wchar_t letter = (wchar_t)(L'A' + i);
        if (!letter_lies_on_disk(letter, disk_number)) continue;
        size_t used = wcslen(letters);
        if (used > LETTERS_APPEND_LIMIT) continue;
        format_cut(letters + used, DISK_LETTERS_CHARS - 1 - used, used == 0 ? L"%c:" : L" %c:",
                   letter);
    }
}

void make_display_text(DiskCandidate *record)
{
    wchar_t size_text[SIZE_TEXT_CHARS];
    format_size_text(record->size_bytes, size_text, SIZE_TEXT_CHARS);
    if (record->letters[0])
        format_cut(record->display_text, DISK_DISPLAY_CHARS - 1, L"%ls  \x2014  %ls  (%ls)",
                   record->name, size_text, record->letters);
    else
        format_cut(record->display_text, DISK_DISPLAY_CHARS - 1, L"%ls  \x2014  %ls",
                   record->name, size_text);
}

// Fills the record for disk N; false when N is not a candidate.
bool make_candidate(int disk_number, DWORD letter_mask, DiskCandidate *record)
{
    int bus_type = 0;
    if (!identify_disk(disk_number, &record->size_bytes, record->name, &bus_type)) return false;
    if (!is_accepted_bus(bus_type)) return false;
    if (record->size_bytes < MIN_CANDIDATE_BYTES || record->size_bytes > MAX_CANDIDATE_BYTES)
        return false;
    record->disk_number = disk_number;
    collect_letters(disk_number, letter_mask, record->letters);
    make_display_text(record);
    return true;
}

}  // namespace

int volume_disk_numbers(HANDLE volume, int disk_numbers[MAX_VOLUME_EXTENTS])
{
    union {
        VOLUME_DISK_EXTENTS extents;
        unsigned char bytes[EXTENTS_ANSWER_BYTES];
    } answer;
    DWORD returned = 0;
    if (!seam.DeviceIoControl(volume, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, NULL, 0, &answer,
                              sizeof answer, &returned, NULL))
        return 0;
    // Believe the count only as far as the extents that actually arrived.
    if (returned > sizeof answer) returned = sizeof answer;
    const DWORD header = offsetof(VOLUME_DISK_EXTENTS, Extents);
    DWORD arrived = returned > header ? (returned - header) / sizeof(DISK_EXTENT) : 0;
    DWORD count = answer.extents.NumberOfDiskExtents;
    if (count > arrived) count = arrived;
    if (count > MAX_VOLUME_EXTENTS) count = MAX_VOLUME_EXTENTS;
    for (DWORD i = 0; i < count; ++i) disk_numbers[i] = (int)answer.extents.Extents[i].DiskNumber;
    return (int)count;
}

SystemDiskTable find_system_disks(void)
{
    SystemDiskTable table;
    memset(&table, 0, sizeof table);
    wchar_t windows[WINDOWS_PATH_CHARS];
    UINT length = seam.GetWindowsDirectoryW(windows, WINDOWS_PATH_CHARS);
    if (length == 0 || length >= WINDOWS_PATH_CHARS) return table;
    HANDLE volume = open_letter_for_query(windows[0]);
    if (volume == INVALID_HANDLE_VALUE) return table;
    int numbers[MAX_VOLUME_EXTENTS];
    int count = volume_disk_numbers(volume, numbers);
    seam.CloseHandle(volume);
    for (int i = 0; i < count; ++i)
        if (numbers[i] >= 0 && numbers[i] < DISK_NUMBER_LIMIT) table.holds_windows[numbers[i]] = 1;
    return table;
}

int list_candidate_disks(void)
{
    return list_candidate_disks_into(candidate_disks);
}

int list_candidate_disks_into(DiskCandidate table[MAX_CANDIDATES])
{
    DWORD letter_mask = seam.GetLogicalDrives();
    SystemDiskTable system = find_system_disks();
    int count = 0;
    for (int n = 0; n < DISK_NUMBER_LIMIT && count < MAX_CANDIDATES; ++n) {
        DiskCandidate *record = &table[count];
        memset(record, 0, sizeof *record);
        if (system.holds_windows[n]) continue;
        if (make_candidate(n, letter_mask, record)) ++count;
    }
    return count;
}
