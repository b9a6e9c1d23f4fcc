// Opening and closing devices, volume enumeration, letters and mount points.
#include "tests/support/sim_state.h"

#include "disk/seam.h"
#include "tests/support/virtual_clock.h"

namespace {

enum Resolution { RESOLVED, FORWARD, REFUSED };

bool wants_read(DWORD access)
{
    return (access & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA)) != 0;
}

bool wants_write(DWORD access)
{
    return (access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
}

bool starts_with(const wchar_t *text, const wchar_t *prefix)
{
    return _wcsnicmp(text, prefix, wcslen(prefix)) == 0;
}

// Reads a decimal number; false unless at least one digit was there.
bool read_number(const wchar_t **text, int *value)
{
    const wchar_t *p = *text;
    long long n = 0;
    if (*p < L'0' || *p > L'9') return false;
    while (*p >= L'0' && *p <= L'9' && n < 100000) n = n * 10 + (*p++ - L'0');
    *value = (int)n;
    *text = p;
    return true;
}

int volume_of_letter(wchar_t letter)
{
    SimMachine &m = sim_machine();
    letter = (wchar_t)towupper(letter);
    for (size_t i = 0; i < m.volumes.size(); ++i)
        if (m.volumes[i]->letter == letter && sim_volume_present(*m.volumes[i])) return (int)i;
    return -1;
}

Resolution resolve_partition(const wchar_t *rest, SimObjectKind *kind, int *index, DWORD *error)
{
    int disk_number = 0, number = 0;
    if (!read_number(&rest, &disk_number) || !starts_with(rest, L"\\Partition")) {
        *error = ERROR_PATH_NOT_FOUND;
        return REFUSED;
    }
    rest += wcslen(L"\\Partition");
    if (!read_number(&rest, &number) || *rest) {
        *error = ERROR_FILE_NOT_FOUND;
        return REFUSED;
    }
    SimDisk *disk = sim_find_disk(disk_number);
    if (!disk || !disk->present) {
        *error = ERROR_PATH_NOT_FOUND;
        return REFUSED;
    }
    if (number == 0) {
        *kind = SIM_OBJ_DISK;
        *index = disk_number;
        return RESOLVED;
    }
    SimMachine &m = sim_machine();
    for (size_t i = 0; i < m.partitions.size(); ++i) {
        if (m.partitions[i]->disk == disk_number && m.partitions[i]->number == number) {
            *kind = SIM_OBJ_PARTITION;
            *index = (int)i;
            return RESOLVED;
        }
    }
    *error = ERROR_FILE_NOT_FOUND;
    return REFUSED;
}

Resolution resolve_volume_name(const wchar_t *path, SimObjectKind *kind, int *index, DWORD *error)
{
    SimMachine &m = sim_machine();
    std::wstring wanted = L"\\\\?\\";
    wanted += path + 4;
    bool root = !wanted.empty() && wanted.back() == L'\\';
    if (!root) wanted += L'\\';
    for (size_t i = 0; i < m.volumes.size(); ++i) {
        if (_wcsicmp(m.volumes[i]->name.c_str(), wanted.c_str()) != 0) continue;
        if (!sim_volume_present(*m.volumes[i])) break;
        if (root) {
            // With the backslash the path names the root folder, not the device.
            *error = ERROR_ACCESS_DENIED;
            return REFUSED;
        }
        *kind = SIM_OBJ_VOLUME;
        *index = (int)i;
        return RESOLVED;
    }
    *error = ERROR_FILE_NOT_FOUND;
    return REFUSED;
}

Resolution resolve(const wchar_t *path, SimObjectKind *kind, int *index, DWORD *error)
{
    bool dot = starts_with(path, L"\\\\.\\");
    bool question = starts_with(path, L"\\\\?\\");
    if (!dot && !question) return FORWARD;
    const wchar_t *rest = path + 4;
    if (starts_with(rest, L"PhysicalDrive")) {
        const wchar_t *p = rest + wcslen(L"PhysicalDrive");
        int number = 0;
        SimDisk *disk = nullptr;
        if (read_number(&p, &number) && *p == 0) disk = sim_find_disk(number);
        if (!disk || !disk->present) {
            *error = ERROR_FILE_NOT_FOUND;
            return REFUSED;
        }
        *kind = SIM_OBJ_DISK;
        *index = number;
        return RESOLVED;
    }
    if (iswalpha(rest[0]) && rest[1] == L':' && rest[2] == 0) {
        int volume = volume_of_letter(rest[0]);
        if (volume < 0) {
            *error = ERROR_FILE_NOT_FOUND;
            return REFUSED;
        }
        *kind = SIM_OBJ_VOLUME;
        *index = volume;
        return RESOLVED;
    }
    if (starts_with(rest, L"usbstor#disk&sim&")) {  // a disk interface (tests/support/sim_eject.cpp)
        const wchar_t *p = rest + wcslen(L"usbstor#disk&sim&");
        int number = 0;
        SimDisk *disk = read_number(&p, &number) ? sim_find_disk(number) : nullptr;
        if (!disk || !disk->present) {
            *error = ERROR_FILE_NOT_FOUND;
            return REFUSED;
        }
        *kind = SIM_OBJ_DISK;
        *index = number;
        return RESOLVED;
    }
    if (starts_with(rest, L"Volume{")) return resolve_volume_name(path, kind, index, error);
    if (starts_with(rest, L"GLOBALROOT\\Device\\Harddisk"))
        return resolve_partition(rest + wcslen(L"GLOBALROOT\\Device\\Harddisk"), kind, index,
                                 error);
    if (dot) {
        *error = ERROR_FILE_NOT_FOUND;
        return REFUSED;
    }
    return FORWARD;  // \\?\C:\... and other long file paths
}

bool sharing_conflict(SimObjectKind kind, int index, DWORD access, DWORD share)
{
    for (auto &entry : sim_machine().handles) {
        const SimHandle &other = entry.second;
        if (other.kind != kind || other.index != index) continue;
        if (wants_read(access) && !(other.share & FILE_SHARE_READ)) return true;
        if (wants_write(access) && !(other.share & FILE_SHARE_WRITE)) return true;
        if (wants_read(other.access) && !(share & FILE_SHARE_READ)) return true;
        if (wants_write(other.access) && !(share & FILE_SHARE_WRITE)) return true;
    }
    return false;
}

DWORD open_refusal(SimObjectKind kind, int index, DWORD access, DWORD share, DWORD disposition)
{
    if (disposition != OPEN_EXISTING) return ERROR_INVALID_PARAMETER;
    SimLockable *lock = sim_object_lock(kind, index);
    bool data = wants_read(access) || wants_write(access);
    if (lock->open_error) return lock->open_error;
    if (data && lock->rw_open_error) return lock->rw_open_error;
    if (data && lock->locked_by) return ERROR_ACCESS_DENIED;
    if (sharing_conflict(kind, index, access, share)) return ERROR_SHARING_VIOLATION;
    return 0;
}

bool copy_name(const std::wstring &text, LPWSTR buffer, DWORD capacity)
{
    if (!buffer || capacity < text.size() + 1) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    wcscpy(buffer, text.c_str());
    return true;
}

// The next present volume at or after `from`, or -1.
int present_volume_from(int from)
{
    SimMachine &m = sim_machine();
    for (int i = from; i < (int)m.volumes.size(); ++i)
        if (sim_volume_present(*m.volumes[i])) return i;
    return -1;
}

void record_query(const wchar_t *what, const wchar_t *argument, bool ok, DWORD error)
{
    SimEvent event;
    event.kind = SIM_QUERY;
    event.path = what;
    if (argument) event.path += std::wstring(L" ") + argument;
    event.ok = ok;
    event.error = error;
    sim_record(event);
}

// A disk slow to open keeps its caller waiting, not the machine.
DWORD open_delay(const wchar_t *path)
{
    SimGuard guard(sim_machine().mutex);
    SimObjectKind kind = SIM_OBJ_DISK;
    int index = 0;
    DWORD error = 0;
    bool disk = resolve(path, &kind, &index, &error) == RESOLVED && kind == SIM_OBJ_DISK;
    return disk && sim_machine().real_clock ? sim_find_disk(index)->open_delay_ms : 0;
}

}  // namespace

HANDLE WINAPI sim_CreateFileW(LPCWSTR path, DWORD access, DWORD share,
                              LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                              HANDLE template_file)
{
    DWORD delay = path ? open_delay(path) : 0;
    if (delay) ::Sleep(delay);
    SimMachine &m = sim_machine();
    SimGuard guard(m.mutex);
    SimEvent event;
    event.path = path ? path : L"";
    event.access = access;
    event.share = share;
    event.flags = flags;
    SimObjectKind kind = SIM_OBJ_DISK;
    int index = 0;
    DWORD error = 0;
    Resolution resolution = path ? resolve(path, &kind, &index, &error) : FORWARD;
    if (resolution == FORWARD) {
        HANDLE handle = win32_seam.CreateFileW(path, access, share, security, disposition, flags,
                                               template_file);
        DWORD real_error = GetLastError();
        event.kind = SIM_OPEN_FORWARDED;
        event.ok = handle != INVALID_HANDLE_VALUE;
        event.error = event.ok ? 0 : real_error;
        sim_record(event);
        SetLastError(real_error);
        return handle;
    }
    if (resolution == RESOLVED) {
        event.disk = sim_object_disk(kind, index);
        error = open_refusal(kind, index, access, share, disposition);
    }
    if (error) {
        event.kind = SIM_OPEN_FAILED;
        event.ok = false;
        event.error = error;
        sim_record(event);
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    if (kind == SIM_OBJ_VOLUME && (wants_read(access) || wants_write(access)))
        sim_mount_again(m.volumes[index].get());
    SimHandle handle;
    handle.serial = m.next_serial++;
    handle.kind = kind;
    handle.index = index;
    handle.path = event.path;
    handle.access = access;
    handle.share = share;
    handle.flags = flags;
    m.handles[handle.serial] = handle;
    event.kind = SIM_OPEN;
    event.handle = handle.serial;
    sim_record(event);
    SetLastError(0);
    return sim_handle_value(handle.serial);
}

BOOL WINAPI sim_CloseHandle(HANDLE value)
{
    if (!sim_is_machine_handle(value)) return win32_seam.CloseHandle(value);
    SimMachine &m = sim_machine();
    SimGuard guard(m.mutex);
    SimHandle *handle = sim_find_handle(value, "CloseHandle");
    if (!handle) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (handle->kind == SIM_OBJ_SEARCH)
        sim_note_misuse("CloseHandle on a volume search handle");
    SimLockable *lock = sim_object_lock(handle->kind, handle->index);
    if (lock && lock->locked_by == handle->serial) lock->locked_by = 0;
    sim_record(sim_handle_event(SIM_CLOSE, *handle));
    m.handles.erase(handle->serial);
    return TRUE;
}

HANDLE WINAPI sim_FindFirstVolumeW(LPWSTR name, DWORD capacity)
{
    SimMachine &m = sim_machine();
    SimGuard guard(m.mutex);
    SimEvent event;
    event.kind = SIM_FIND_VOLUME;
    event.path = L"FindFirstVolumeW";
    DWORD error = m.volume_enumeration_error;
    int first = present_volume_from(0);
    if (!error && first < 0) error = ERROR_NO_MORE_FILES;
    if (!error && !copy_name(m.volumes[first]->name, name, capacity)) error = GetLastError();
    if (error) {
        event.ok = false;
        event.error = error;
        sim_record(event);
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    SimHandle handle;
    handle.serial = m.next_serial++;
    handle.kind = SIM_OBJ_SEARCH;
    handle.index = first + 1;
    handle.path = L"volume search";
    m.handles[handle.serial] = handle;
    event.handle = handle.serial;
    sim_record(event);
    return sim_handle_value(handle.serial);
}

BOOL WINAPI sim_FindNextVolumeW(HANDLE search, LPWSTR name, DWORD capacity)
{
    SimMachine &m = sim_machine();
    SimGuard guard(m.mutex);
    SimHandle *handle =
        sim_is_machine_handle(search) ? sim_find_handle(search, "FindNextVolumeW") : nullptr;
    if (!handle || handle->kind != SIM_OBJ_SEARCH) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    SimEvent event = sim_handle_event(SIM_FIND_VOLUME, *handle);
    event.path = L"FindNextVolumeW";
    int next = present_volume_from(handle->index);
    DWORD error = next < 0 ? ERROR_NO_MORE_FILES : 0;
    if (!error && !copy_name(m.volumes[next]->name, name, capacity)) error = GetLastError();
    if (!error) handle->index = next + 1;
    event.ok = error == 0;
    event.error = error;
    sim_record(event);
    SetLastError(error);
    return error == 0;
}

BOOL WINAPI sim_FindVolumeClose(HANDLE search)
{
    SimMachine &m = sim_machine();
    SimGuard guard(m.mutex);
    SimHandle *handle =
        sim_is_machine_handle(search) ? sim_find_handle(search, "FindVolumeClose") : nullptr;
    if (!handle || handle->kind != SIM_OBJ_SEARCH) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    SimEvent event = sim_handle_event(SIM_FIND_VOLUME, *handle);
    event.path = L"FindVolumeClose";
    sim_record(event);
    m.handles.erase(handle->serial);
    return TRUE;
}

DWORD WINAPI sim_GetLogicalDrives(void)
{
    SimMachine &m = sim_machine();
    SimGuard guard(m.mutex);
    DWORD mask = 0;
    for (auto &volume : m.volumes)
        if (volume->letter >= L'A' && volume->letter <= L'Z' && sim_volume_present(*volume))
            mask |= 1UL << (volume->letter - L'A');
    for (const SimLetter &letter : m.letters)
        if (letter.letter >= L'A' && letter.letter <= L'Z') mask |= 1UL << (letter.letter - L'A');
    record_query(L"GetLogicalDrives", nullptr, true, 0);
    return mask;
}

UINT WINAPI sim_GetDriveTypeW(LPCWSTR root)
{
    SimMachine &m = sim_machine();
    SimGuard guard(m.mutex);
    UINT type = DRIVE_NO_ROOT_DIR;
    if (root && iswalpha(root[0]) && root[1] == L':' && root[2] == L'\\' && root[3] == 0) {
        wchar_t letter = (wchar_t)towupper(root[0]);
        int volume = volume_of_letter(letter);
        if (volume >= 0) type = m.volumes[volume]->drive_type;
        for (const SimLetter &bare : m.letters)
            if (bare.letter == letter) type = bare.drive_type;
    }
    record_query(L"GetDriveTypeW", root, true, 0);
    return type;
}

UINT WINAPI sim_GetWindowsDirectoryW(LPWSTR buffer, UINT capacity)
{
    SimMachine &m = sim_machine();
    SimGuard guard(m.mutex);
    const std::wstring &folder = m.windows_directory;
    record_query(L"GetWindowsDirectoryW", nullptr, !folder.empty(), 0);
    if (folder.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return 0;
    }
    if (!buffer || capacity < folder.size() + 1) return (UINT)folder.size() + 1;
    wcscpy(buffer, folder.c_str());
    return (UINT)folder.size();
}

namespace {

// The volume whose name begins `path`, or -1.
int volume_named_in(const wchar_t *path)
{
    SimMachine &m = sim_machine();
    for (size_t i = 0; i < m.volumes.size(); ++i)
        if (starts_with(path, m.volumes[i]->name.c_str())) return (int)i;
    return -1;
}

// Windows reads \\?\X:\..., \\?\UNC\... and a lettered volume's name as the
// plain forms and answers in the asked form: `plain_root` stands for `asked_root`.
std::wstring plain_form(const wchar_t *path, std::wstring *plain_root, std::wstring *asked_root)
{
    int v = volume_named_in(path);
    if (starts_with(path, L"\\\\?\\UNC\\")) {
        *plain_root = L"\\\\";
        *asked_root = L"\\\\?\\UNC\\";
    } else if (starts_with(path, L"\\\\?\\") && path[4] && path[5] == L':') {
        *asked_root = L"\\\\?\\";
    } else if (v >= 0 && sim_machine().volumes[v]->letter) {
        *asked_root = sim_machine().volumes[v]->name;
        *plain_root = std::wstring(1, sim_machine().volumes[v]->letter) + L":\\";
    }
    return *plain_root + (path + asked_root->size());
}

}  // namespace

BOOL WINAPI sim_GetVolumePathNameW(LPCWSTR asked, LPWSTR mount_point, DWORD capacity)
{
    SimMachine &m = sim_machine();
    SimGuard guard(m.mutex);
    std::wstring found, plain_root, asked_root;
    std::wstring plain = asked ? plain_form(asked, &plain_root, &asked_root) : L"";
    const wchar_t *path = asked ? plain.c_str() : nullptr;
    if (path) {
        for (const SimMount &mount : m.mounts)
            if (starts_with(path, mount.folder.c_str()) && mount.folder.size() > found.size())
                found = mount.folder;
        if (found.empty() && iswalpha(path[0]) && path[1] == L':') {
            found = std::wstring(path, 2) + L"\\";
        } else if (found.empty() && path[0] == L'\\' && path[1] == L'\\' && path[2] != L'?' &&
                   path[2] != L'.') {
            // \\server\share\ is the mount point of anything under it
            const wchar_t *server_end = wcschr(path + 2, L'\\');
            const wchar_t *share_end = server_end ? wcschr(server_end + 1, L'\\') : nullptr;
            found = share_end ? std::wstring(path, share_end - path) : std::wstring(path);
            found += L"\\";
        } else if (found.empty() && volume_named_in(path) >= 0) {
            found = m.volumes[volume_named_in(path)]->name;
        } else if (found.empty() && m.windows_directory.size() >= 3) {
            found = m.windows_directory.substr(0, 3);  // a name it cannot place: the boot volume
        }
        if (!found.empty() && !asked_root.empty() && starts_with(found.c_str(), plain_root.c_str()))
            found = asked_root + found.substr(plain_root.size());
    }
    DWORD error = found.empty() ? ERROR_INVALID_PARAMETER : 0;
    if (!error && !copy_name(found, mount_point, capacity)) error = ERROR_FILENAME_EXCED_RANGE;
    record_query(L"GetVolumePathNameW", asked, error == 0, error);
    SetLastError(error);
    return error == 0;
}

BOOL WINAPI sim_GetVolumeNameForVolumeMountPointW(LPCWSTR asked, LPWSTR name, DWORD capacity)
{
    SimMachine &m = sim_machine();
    SimGuard guard(m.mutex);
    int volume = -1;
    DWORD error = 0;
    std::wstring plain_root, asked_root;
    std::wstring plain = asked ? plain_form(asked, &plain_root, &asked_root) : L"";
    const wchar_t *mount_point = plain.c_str();
    size_t length = plain.size();
    if (length == 0 || mount_point[length - 1] != L'\\') {
        error = ERROR_INVALID_NAME;
    } else {
        for (const SimMount &mount : m.mounts)
            if (_wcsicmp(mount.folder.c_str(), mount_point) == 0) volume = mount.volume;
        if (volume < 0 && length == 3 && iswalpha(mount_point[0]) && mount_point[1] == L':')
            volume = volume_of_letter(mount_point[0]);
        if (volume < 0 && volume_named_in(mount_point) >= 0 &&
            m.volumes[volume_named_in(mount_point)]->name.size() == length)
            volume = volume_named_in(mount_point);
        if (volume < 0 || volume >= (int)m.volumes.size() ||
            !sim_volume_present(*m.volumes[volume]))
            error = ERROR_NOT_A_REPARSE_POINT;
    }
    if (!error && !copy_name(m.volumes[volume]->name, name, capacity))
        error = ERROR_FILENAME_EXCED_RANGE;
    record_query(L"GetVolumeNameForVolumeMountPointW", asked, error == 0, error);
    SetLastError(error);
    return error == 0;
}

DWORD WINAPI sim_GetModuleFileNameW(HMODULE, LPWSTR name, DWORD capacity)
{
    SimMachine &m = sim_machine();
    SimGuard guard(m.mutex);
    record_query(L"GetModuleFileNameW", m.program_path.c_str(), true, 0);
    return copy_name(m.program_path, name, capacity) ? (DWORD)m.program_path.size() : 0;
}

void WINAPI sim_Sleep(DWORD milliseconds)
{
    SimEvent event;
    event.kind = SIM_SLEEP;
    event.length = milliseconds;
    sim_record(event);
    virtual_clock_sleep(milliseconds);
}
