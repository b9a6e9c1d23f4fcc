#include "disk/volumes.h"

#include <winioctl.h>

#include "app/log.h"
#include "app/text.h"
#include "disk/disks.h"
#include "disk/raw_io.h"
#include "disk/seam.h"

namespace {

enum { VOLUME_PATH_CHARS = 260 };
const DWORD SHARE_BOTH = FILE_SHARE_READ | FILE_SHARE_WRITE;

int held_count(const HeldVolumes *held)
{
    if (held->count < 0) return 0;
    return held->count < MAX_HELD_VOLUMES ? held->count : MAX_HELD_VOLUMES;
}

bool holds_name(const HeldVolumes *held, const wchar_t *path, size_t compared)
{
    for (int i = 0; i < held_count(held); ++i)
        if (wcsncmp(held->names[i], path, compared) == 0) return true;
    return false;
}

bool holds_unheld(const HeldVolumes *held, const wchar_t *path)
{
    for (int i = 0; i < held->unheld_count && i < MAX_UNHELD_VOLUMES; ++i)
        if (wcsncmp(held->unheld_names[i], path, HELD_NAME_CHARS - 1) == 0) return true;
    return false;
}

bool holds_partition(const HeldVolumes *held, int partition_number)
{
    for (int i = 0; i < held_count(held); ++i)
        if (held->partition_numbers[i] == partition_number) return true;
    return false;
}

bool query_device_number(HANDLE volume, STORAGE_DEVICE_NUMBER *number)
{
    DWORD returned = 0;
    return seam.DeviceIoControl(volume, IOCTL_STORAGE_GET_DEVICE_NUMBER, NULL, 0, number,
                                sizeof *number, &returned, NULL) &&
           returned >= sizeof *number;
}

bool is_on_disk(const STORAGE_DEVICE_NUMBER &number, int disk_number)
{
    return number.DeviceType == FILE_DEVICE_DISK && number.DeviceNumber == (DWORD)disk_number;
}

// A partition number reported for another disk (a volume across disks) would
// make the raw-partition phase skip this disk's partition of that number.
int partition_number_on_disk(HANDLE volume, int disk_number)
{
    STORAGE_DEVICE_NUMBER number;
    if (!query_device_number(volume, &number) || !is_on_disk(number, disk_number)) return -1;
    return (int)number.PartitionNumber;
}

bool stop_asked(const HeldVolumes *held)
{
    return held->stop_requested && held->stop_requested();
}

// A volume of the disk left as it was, so a refused write can name it.
void note_unheld(HeldVolumes *held, const wchar_t *path, int partition_number)
{
    if (held->unheld_count < 0) held->unheld_count = 0;
    if (held->unheld_count >= MAX_UNHELD_VOLUMES || holds_unheld(held, path)) return;
    copy_cut(held->unheld_names[held->unheld_count], HELD_NAME_CHARS, path);
    held->unheld_partition_numbers[held->unheld_count++] = partition_number;
}

void take_volume_if_on_disk(int disk_number, const wchar_t *volume_name, HeldVolumes *held)
{
    wchar_t path[VOLUME_PATH_CHARS];
    copy_cut(path, VOLUME_PATH_CHARS, volume_name);
    size_t length = wcslen(path);
    // Without its trailing backslash the name opens the volume device, not its root folder.
    if (length > 0 && path[length - 1] == L'\\') path[length - 1] = L'\0';
    if (holds_name(held, path, HELD_NAME_CHARS - 1)) return;

    HANDLE query = seam.CreateFileW(path, 0, SHARE_BOTH, NULL, OPEN_EXISTING, 0, NULL);
    if (query == INVALID_HANDLE_VALUE) return;
    bool on_disk = place_volume(query, disk_number) == VOLUME_ON_DISK;
    int partition_number = on_disk ? partition_number_on_disk(query, disk_number) : -1;
    seam.CloseHandle(query);
    if (!on_disk) return;

    HANDLE volume = seam.CreateFileW(path, GENERIC_READ | GENERIC_WRITE, SHARE_BOTH, NULL,
                                     OPEN_EXISTING, 0, NULL);
    if (volume == INVALID_HANDLE_VALUE) {
        write_log(L"could not open volume %ls (%lu)", path, GetLastError());
        note_unheld(held, path, partition_number);
        return;
    }
    lock_dismount_and_hold(held, volume, path, partition_number, VOLUME_LOCK_ATTEMPTS);
}

void take_mounted_volumes(int disk_number, HeldVolumes *held)
{
    wchar_t name[VOLUME_PATH_CHARS];
    HANDLE search = seam.FindFirstVolumeW(name, VOLUME_PATH_CHARS);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        if (stop_asked(held)) break;
        take_volume_if_on_disk(disk_number, name, held);
    } while (seam.FindNextVolumeW(search, name, VOLUME_PATH_CHARS));
    seam.FindVolumeClose(search);
}

// Only the variable's existence counts, even with an empty value.
bool partition_phase_switched_off(void)
{
    wchar_t value[4];
    SetLastError(0);
    DWORD length = GetEnvironmentVariableW(L"QV_NO_PARTITION_LOCK", value, 4);
    return length > 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND;
}

void take_raw_partitions(int disk_number, HeldVolumes *held)
{
    for (int p = 1; p <= MAX_PARTITION_NUMBER && !stop_asked(held); ++p) {
        wchar_t path[HELD_NAME_CHARS];
        format_cut(path, HELD_NAME_CHARS - 1, L"\\\\?\\GLOBALROOT\\Device\\Harddisk%d\\Partition%d",
                   disk_number, p);
        if (holds_partition(held, p) || holds_name(held, path, HELD_NAME_CHARS)) continue;
        HANDLE partition = seam.CreateFileW(path, GENERIC_READ | GENERIC_WRITE, SHARE_BOTH, NULL,
                                            OPEN_EXISTING, 0, NULL);
        if (partition == INVALID_HANDLE_VALUE) continue;
        lock_dismount_and_hold(held, partition, path, p, PARTITION_LOCK_ATTEMPTS);
    }
}

bool send_to_volume(HANDLE volume, DWORD code)
{
    DWORD returned = 0;
    return seam.DeviceIoControl(volume, code, NULL, 0, NULL, 0, &returned, NULL) != FALSE;
}

enum LockOutcome { LOCKED, NOT_LOCKED, LOCK_STOPPED };

// Unless locked, `error` holds the last attempt's error.
LockOutcome lock_with_retries(const HeldVolumes *held, HANDLE volume, int attempts, DWORD *error)
{
    *error = 0;
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        if (send_to_volume(volume, FSCTL_LOCK_VOLUME)) return LOCKED;
        *error = GetLastError();
        if (!pause_unless_stopped(LOCK_RETRY_DELAY_MS, held->stop_requested)) return LOCK_STOPPED;
    }
    return NOT_LOCKED;
}

}  // namespace

VolumePlace place_volume(HANDLE volume, int disk_number)
{
    STORAGE_DEVICE_NUMBER number;
    bool answered = query_device_number(volume, &number);
    if (answered && is_on_disk(number, disk_number)) return VOLUME_ON_DISK;
    int numbers[MAX_VOLUME_EXTENTS];
    int count = volume_disk_numbers(volume, numbers);
    for (int i = 0; i < count; ++i)
        if (numbers[i] == disk_number) return VOLUME_ON_DISK;
    return answered || count > 0 ? VOLUME_ELSEWHERE : VOLUME_UNPLACED;
}

void take_volumes_offline(int disk_number, HeldVolumes *held)
{
    take_mounted_volumes(disk_number, held);
    if (!partition_phase_switched_off()) take_raw_partitions(disk_number, held);
}

void lock_dismount_and_hold(HeldVolumes *held, HANDLE volume, const wchar_t *path,
                            int partition_number, int lock_attempts)
{
    DWORD error = 0;
    LockOutcome outcome = lock_with_retries(held, volume, lock_attempts, &error);
    if (outcome == LOCK_STOPPED) {
        seam.CloseHandle(volume);
        return;
    }
    bool locked = outcome == LOCKED;
    if (!locked) write_log(L"%ls would not lock (%lu) - dismounting it anyway", path, error);
    bool dismounted = send_to_volume(volume, FSCTL_DISMOUNT_VOLUME);
    if (!dismounted) write_log(L"dismount %ls failed (%lu)", path, GetLastError());
    if (held->count < 0) held->count = 0;
    if (held->count >= MAX_HELD_VOLUMES) {
        seam.CloseHandle(volume);
        note_unheld(held, path, partition_number);
        return;
    }
    // Dismounted without a lock, any program's touch would mount it again, and
    // Windows then refuses the disk writes into its sectors. Offline, it stays
    // unmounted. Only a dismounted volume may be taken offline.
    bool offline = false;
    if (!locked && dismounted) {
        offline = send_to_volume(volume, IOCTL_VOLUME_OFFLINE);
        if (!offline) write_log(L"offline %ls failed (%lu)", path, GetLastError());
    }
    int slot = held->count;
    held->handles[slot] = volume;
    copy_cut(held->names[slot], HELD_NAME_CHARS, path);
    held->partition_numbers[slot] = partition_number;
    held->locked[slot] = locked;
    held->dismounted[slot] = dismounted;
    held->offline[slot] = offline;
    held->count = slot + 1;
    write_log(L"took %ls offline", path);
}

bool held_volume_released(const HeldVolumes *held, int entry)
{
    return held->locked[entry] || held->offline[entry];
}

// Online again, or (for an eject) every dismounted volume offline; then
// unlocked and closed.
static void release_held(HeldVolumes *held, bool leave_offline)
{
    for (int i = 0; i < held_count(held); ++i) {
        HANDLE volume = held->handles[i];
        // Forgotten once closed, so a second release cannot close a reused handle value.
        if (volume == INVALID_HANDLE_VALUE) continue;
        if (!leave_offline && held->offline[i] && !send_to_volume(volume, IOCTL_VOLUME_ONLINE))
            write_log(L"online %ls failed (%lu)", held->names[i], GetLastError());
        if (leave_offline && held->dismounted[i] && !held->offline[i]) {
            held->offline[i] = send_to_volume(volume, IOCTL_VOLUME_OFFLINE);
            if (!held->offline[i])
                write_log(L"offline %ls failed (%lu)", held->names[i], GetLastError());
        }
        send_to_volume(volume, FSCTL_UNLOCK_VOLUME);
        seam.CloseHandle(volume);
        held->handles[i] = INVALID_HANDLE_VALUE;
    }
}

void release_held_volumes(HeldVolumes *held)
{
    release_held(held, false);
}

void release_held_volumes_offline(HeldVolumes *held)
{
    release_held(held, true);
}

void bring_released_volumes_online(HeldVolumes *held)
{
    for (int i = 0; i < held_count(held); ++i) {
        if (!held->offline[i] || held->handles[i] != INVALID_HANDLE_VALUE) continue;
        HANDLE volume = seam.CreateFileW(held->names[i], GENERIC_READ | GENERIC_WRITE, SHARE_BOTH,
                                         NULL, OPEN_EXISTING, 0, NULL);
        bool online = volume != INVALID_HANDLE_VALUE && send_to_volume(volume, IOCTL_VOLUME_ONLINE);
        if (!online) write_log(L"online %ls failed (%lu)", held->names[i], GetLastError());
        if (volume != INVALID_HANDLE_VALUE) seam.CloseHandle(volume);
        held->offline[i] = false;
    }
}
