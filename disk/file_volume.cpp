#include "disk/file_volume.h"

#include <wctype.h>

#include "app/app_info.h"
#include "app/text.h"
#include "disk/seam.h"
#include "disk/volumes.h"

namespace {

bool starts_with(const wchar_t *text, const wchar_t *prefix)
{
    return _wcsnicmp(text, prefix, wcslen(prefix)) == 0;
}

bool has_long_prefix(const wchar_t *path)
{
    return starts_with(path, L"\\\\?\\") || starts_with(path, L"\\\\.\\");
}

bool has_letter_root(const wchar_t *path)
{
    return iswalpha(path[0]) && path[1] == L':';
}

// \\?\X:\... becomes X:\..., \\?\UNC\server\share\... becomes \\server\share\...;
// a volume name stays, as Windows finds its mount points itself.
void plain_form(const wchar_t *path, wchar_t plain[APP_PATH_CHARS])
{
    const wchar_t *rest = path + 4;
    if (has_long_prefix(path) && starts_with(rest, L"UNC\\"))
        format_cut(plain, APP_PATH_CHARS - 1, L"\\\\%ls", rest + 4);
    else if (has_long_prefix(path) && has_letter_root(rest))
        copy_cut(plain, APP_PATH_CHARS, rest);
    else
        copy_cut(plain, APP_PATH_CHARS, path);
}

// The plain forms as Windows opens them: absolute, with "." and ".." gone and
// "/" read as "\", so that a mount point can be matched against the start.
void full_form(const wchar_t *plain, wchar_t full[APP_PATH_CHARS])
{
    DWORD length = 0;
    if (!has_long_prefix(plain)) length = GetFullPathNameW(plain, APP_PATH_CHARS, full, NULL);
    if (length == 0 || length >= APP_PATH_CHARS) copy_cut(full, APP_PATH_CHARS, plain);
}

bool server_is(const wchar_t *server, size_t length, const wchar_t *name)
{
    return name[0] && wcslen(name) == length && _wcsnicmp(server, name, length) == 0;
}

// \\localhost\..., \\127.0.0.1\... and \\<this PC's name>\... are shares of this
// PC, whose folders may lie on the pen drive: not elsewhere, and not placed.
bool names_this_pc(const wchar_t *plain)
{
    if (plain[0] != L'\\' || plain[1] != L'\\' || has_long_prefix(plain)) return false;
    const wchar_t *server = plain + 2;
    size_t length = wcscspn(server, L"\\");
    if (server_is(server, length, L"localhost") || server_is(server, length, L"127.0.0.1"))
        return true;
    const COMPUTER_NAME_FORMAT formats[] = {ComputerNameNetBIOS, ComputerNameDnsHostname,
                                            ComputerNameDnsFullyQualified};
    for (COMPUTER_NAME_FORMAT format : formats) {
        wchar_t name[APP_PATH_CHARS];
        DWORD size = APP_PATH_CHARS;
        if (GetComputerNameExW(format, name, &size) && server_is(server, length, name))
            return true;
    }
    return false;
}

bool on_network(const wchar_t *plain)
{
    if (plain[0] == L'\\' && plain[1] == L'\\') return !has_long_prefix(plain);
    if (!has_letter_root(plain)) return false;
    wchar_t root[4] = {plain[0], L':', L'\\', L'\0'};
    return seam.GetDriveTypeW(root) == DRIVE_REMOTE;
}

// The volume device's name (no trailing backslash) of a mount point.
bool volume_of_mount_point(const wchar_t *mount_point, wchar_t volume[APP_PATH_CHARS])
{
    if (!seam.GetVolumeNameForVolumeMountPointW(mount_point, volume, APP_PATH_CHARS)) return false;
    size_t length = wcslen(volume);
    if (length > 0 && volume[length - 1] == L'\\') volume[length - 1] = L'\0';
    return volume[0] != L'\0';
}

}  // namespace

FilePlace where_file_lies(const wchar_t *path, int disk_number)
{
    wchar_t given[APP_PATH_CHARS], plain[APP_PATH_CHARS];
    wchar_t mount_point[APP_PATH_CHARS], volume[APP_PATH_CHARS];
    plain_form(path, given);
    full_form(given, plain);
    if (names_this_pc(plain)) return FILE_UNPLACED;
    if (on_network(plain)) return FILE_ELSEWHERE;
    if (!seam.GetVolumePathNameW(plain, mount_point, APP_PATH_CHARS)) return FILE_UNPLACED;
    mount_point[APP_PATH_CHARS - 1] = L'\0';
    // For a name it cannot place (\\?\GLOBALROOT\Device\HarddiskVolume2\...)
    // Windows answers the boot volume's root: a mount point is the path's only
    // when it begins it.
    if (!starts_with(plain, mount_point)) return FILE_UNPLACED;
    if (!volume_of_mount_point(mount_point, volume)) return FILE_UNPLACED;
    HANDLE handle = seam.CreateFileW(volume, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                     OPEN_EXISTING, 0, NULL);
    if (handle == INVALID_HANDLE_VALUE) return FILE_UNPLACED;
    VolumePlace place = place_volume(handle, disk_number);
    seam.CloseHandle(handle);
    if (place == VOLUME_ON_DISK) return FILE_ON_DISK;
    return place == VOLUME_ELSEWHERE ? FILE_ELSEWHERE : FILE_UNPLACED;
}
