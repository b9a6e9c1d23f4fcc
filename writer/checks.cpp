#include "writer/checks.h"

#include <winioctl.h>

#include "app/app_info.h"
#include "app/log.h"
#include "app/text.h"
#include "disk/file_volume.h"
#include "disk/seam.h"
#include "writer/refusal.h"

static bool is_writable_bus(int bus_type)
{
    return bus_type == BusTypeUsb || bus_type == BusTypeSd || bus_type == BusTypeMmc;
}

bool disk_matches_choice(const DiskCandidate *chosen, uint64_t size, const wchar_t *name,
                         int bus_type)
{
    return size == chosen->size_bytes && wcscmp(name, chosen->name) == 0 &&
           is_writable_bus(bus_type);
}

void refuse_changed_disk(const DiskCandidate *chosen, const wchar_t *button, wchar_t *message)
{
    format_cut(message, MESSAGE_CHARS - 1,
               L"The pen drive changed since you chose it. Choose it again and press %ls.", button);
    write_log(L"identity changed for disk %d", chosen->disk_number);
}

bool disk_is_unchanged(const DiskCandidate *chosen, uint64_t *fresh_size)
{
    wchar_t name[DISK_NAME_CHARS];
    int bus_type = 0;
    return identify_disk(chosen->disk_number, fresh_size, name, &bus_type) &&
           disk_matches_choice(chosen, *fresh_size, name, bus_type);
}

bool holds_windows(int disk_number)
{
    if (disk_number < 0 || disk_number >= DISK_NUMBER_LIMIT) return false;
    return find_system_disks().holds_windows[disk_number] != 0;
}

// A file whose volume cannot be placed may lie on the disk, so it counts as there.
static bool file_may_lie_on_disk(const wchar_t *path, int disk_number)
{
    return where_file_lies(path, disk_number) != FILE_ELSEWHERE;
}

// Taking that disk's volumes offline would pull the program's own code from
// under it: Windows fails every later page-in and the process dies mid-write.
static bool program_may_lie_on_disk(int disk_number)
{
    wchar_t program[APP_PATH_CHARS];
    DWORD length = seam.GetModuleFileNameW(NULL, program, APP_PATH_CHARS);
    program[APP_PATH_CHARS - 1] = L'\0';  // a longer path comes back cut: its volume still shows
    return length > 0 && file_may_lie_on_disk(program, disk_number);
}

// A locked switch, or a policy of this PC; asked before anything is taken.
static bool disk_is_write_protected(int disk_number)
{
    HANDLE disk = open_physical_disk(disk_number, GENERIC_READ, 0);
    if (disk == INVALID_HANDLE_VALUE) return false;
    DWORD returned = 0;
    bool protected_now = !seam.DeviceIoControl(disk, IOCTL_DISK_IS_WRITABLE, NULL, 0, NULL, 0,
                                               &returned, NULL) &&
                         GetLastError() == ERROR_WRITE_PROTECT;
    seam.CloseHandle(disk);
    return protected_now;
}

bool may_write_disk(const DiskCandidate *chosen, const wchar_t *image_path, uint64_t *fresh_size,
                    wchar_t *message)
{
    int number = chosen->disk_number;
    if (!disk_is_unchanged(chosen, fresh_size)) {
        refuse_changed_disk(chosen, L"Write", message);
        return false;
    }
    if (holds_windows(number)) {
        copy_cut(message, MESSAGE_CHARS, L"That disk holds Windows. It will not be written.");
        return false;
    }
    if (file_may_lie_on_disk(image_path, number)) {
        copy_cut(message, MESSAGE_CHARS,
                 L"The ISO file is ON this pen drive, so writing would destroy it. "
                 L"Copy the ISO to the PC first.");
        return false;
    }
    if (program_may_lie_on_disk(number)) {
        copy_cut(message, MESSAGE_CHARS,
                 L"quenvar OS USB Writer is running from this pen drive, so writing would "
                 L"destroy it. Copy quenvar-os-usb-writer.exe to the PC, start it from there "
                 L"and press Write again.");
        return false;
    }
    if (disk_is_write_protected(number)) {
        write_log(L"disk %d is write-protected", number);
        copy_cut(message, MESSAGE_CHARS, WRITE_PROTECTED_SENTENCE);
        return false;
    }
    return true;
}
