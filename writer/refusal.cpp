#include "writer/refusal.h"

#include <wchar.h>

#include "app/app_info.h"
#include "app/log.h"
#include "app/text.h"
#include "disk/seam.h"

const wchar_t WRITE_PROTECTED_SENTENCE[] =
    L"The pen drive is write-protected. If it or its SD card has a lock switch, slide the "
    L"switch away from Lock, plug it in again and press Write again. If not, a setting of this "
    L"PC makes pen drives read-only: ask the PC's administrator, or use another PC.";

static const wchar_t VOLUME_IN_USE[] =
    L"Windows would not let the pen drive be written because a program is using %ls. Close "
    L"the programs and windows that show its files, then press Write again.";

static const wchar_t NOTHING_SHOULD_USE_IT[] =
    L"Windows refused to write to the pen drive, though nothing on this PC should be using it "
    L"now. Security software may be blocking this program: allow quenvar-os-usb-writer.exe in "
    L"Windows Security's Controlled folder access, or in the antivirus, then press Write again. "
    L"Or a setting of this PC makes pen drives read-only: ask the PC's administrator, or use "
    L"another PC.";

// The drive letter whose volume is this device; 0 when it has none.
static wchar_t letter_of(const wchar_t *device)
{
    if (_wcsnicmp(device, L"\\\\?\\GLOBALROOT\\", 15) == 0) return 0;
    size_t length = wcslen(device);
    DWORD letters = seam.GetLogicalDrives();
    for (int i = 0; i < 26; ++i) {
        wchar_t root[4] = {(wchar_t)(L'A' + i), L':', L'\\', L'\0'};
        wchar_t volume[APP_PATH_CHARS];
        if (!(letters & (1UL << i)) ||
            !seam.GetVolumeNameForVolumeMountPointW(root, volume, APP_PATH_CHARS))
            continue;
        if (_wcsnicmp(volume, device, length) == 0 && (volume[length] == L'\\' || !volume[length]))
            return root[0];
    }
    return 0;
}

// A volume not held at first is caught when a later pass held it, or when
// its raw partition was released.
static bool caught_later(const HeldVolumes *held, const wchar_t *name, int partition_number)
{
    for (int i = 0; i < held->count && i < MAX_HELD_VOLUMES; ++i) {
        if (wcscmp(held->names[i], name) == 0) return true;
        if (partition_number >= 0 && held->partition_numbers[i] == partition_number &&
            held_volume_released(held, i))
            return true;
    }
    return false;
}

static void log_left_mounted(const wchar_t *name, wchar_t *first_letter, int *mounted)
{
    wchar_t letter = letter_of(name);
    if (!*first_letter) *first_letter = letter;
    wchar_t shown[8] = L"";
    if (letter) format_cut(shown, 7, L" (%c:)", letter);
    write_log(L"%ls stayed mounted%ls", name, shown);
    ++*mounted;
}

// Logs each volume of the drive that may be mounted still: held but neither
// locked nor offline, or never held and not caught through its partition.
// Returns how many, with the first one's letter.
static int log_volumes_left_mounted(const HeldVolumes *held, wchar_t *first_letter)
{
    int mounted = 0;
    *first_letter = 0;
    for (int i = 0; i < held->count && i < MAX_HELD_VOLUMES; ++i)
        if (!held_volume_released(held, i))
            log_left_mounted(held->names[i], first_letter, &mounted);
    for (int i = 0; i < held->unheld_count && i < MAX_UNHELD_VOLUMES; ++i)
        if (!caught_later(held, held->unheld_names[i], held->unheld_partition_numbers[i]))
            log_left_mounted(held->unheld_names[i], first_letter, &mounted);
    return mounted;
}

bool explain_refused_write(DWORD error, const HeldVolumes *held, wchar_t *message)
{
    if (error == ERROR_WRITE_PROTECT) {
        write_log(L"write refused: the pen drive is write-protected");
        copy_cut(message, MESSAGE_CHARS, WRITE_PROTECTED_SENTENCE);
        return true;
    }
    if (error != ERROR_ACCESS_DENIED) return false;
    wchar_t letter = 0;
    int mounted = log_volumes_left_mounted(held, &letter);
    if (mounted == 0) {
        write_log(L"write refused with access denied though every volume was released");
        copy_cut(message, MESSAGE_CHARS, NOTHING_SHOULD_USE_IT);
        return true;
    }
    write_log(L"write refused with access denied: %d volume(s) stayed mounted", mounted);
    wchar_t drive[4] = {letter, L':', L'\0', L'\0'};
    format_cut(message, MESSAGE_CHARS - 1, VOLUME_IN_USE,
               letter ? drive : L"a part of the pen drive");
    return true;
}
