// The simulated machine described in a small text file, so that a whole
// process can be run against a machine that a test or the demo wrote down.
//
// One statement per line; '#' starts a comment; values with spaces are put in
// double quotes; sizes take K, M, G or T (binary) as a suffix; error codes are
// decimal Windows error numbers.
//
//   windows C:\Windows                 the Windows folder (windows none: not found)
//   program E:\writer.exe             the program's own file (default: on C:)
//   volumes-fail CODE                  FindFirstVolumeW fails
//   unprotected                        writes into mounted volumes are allowed
//   disk N bus=usb size=16G vendor="SanDisk " product="Cruzer Blade    "
//        [revision= serial= removable=0|1 sector=512 descriptor=HEX
//         descriptor-bytes=N (the answer claims only N bytes)
//         property-error= length-error= geometry-error= dasd-error=
//         capacity=BYTES (a fake disk that keeps only these) pull-after=BYTES
//         write-rate=BYTES read-rate=BYTES (per second, with the real clock only)
//         open-delay=MS (each open of the disk takes MS, with the real clock only)
//         write-protected=1 (its lock switch set: writes refused)
//         backing=PATH present=0 hold=PATH hold-after=BYTES (transfers wait while
//         the file PATH exists, once BYTES have moved)
//         eject-veto=TYPE[:NAME] (the eject is refused with that PNP_VETO_TYPE)
//         and the lock keys below]
//   volume NAME|- [letter=E type=removable|fixed|remote|cdrom|ramdisk|unknown|noroot|N
//        disk=N partition=P [offset= length=]     (a volume on one partition)
//        extent=DISK:OFFSET:LENGTH ...              (or any extents, even across disks)
//        device-type=N device-number=N partition-number=N (what the device number
//        query answers) extents-error= extents-count=N and the lock keys]
//   partition DISK P [offset= length= and the lock keys]    (no volume on it)
//   letter X type=remote                a letter with no volume of the machine
//   mount FOLDER volume=NAME|X:         files under FOLDER lie on that volume
//   fault DISK read|write|seek|readwrite offset=O [length=L] [count=N|always]
//        [error=CODE] [moved=BYTES]
//
// Lock keys: lock-refusals=N open-files=N lock-error= dismount-error=
//            open-error= rw-open-error= offline-error= online-error=
//
// Volumes behave as on Windows: while one is mounted and not locked, disk
// writes into its sectors are refused (unless `unprotected`); a dismounted
// volume that is neither locked nor offline is mounted again by the next data
// open or another program's touch (sim_touch_volume); one taken offline
// (IOCTL_VOLUME_OFFLINE, through the volume or its raw partition) is never
// mounted again until IOCTL_VOLUME_ONLINE.
#pragma once
#include <string>
#include <vector>

// Adds what the text describes to the current machine (sim_reset() empties it).
// On failure `error` names the line and the fault.
bool sim_load_machine_text(const char *text, std::string *error);
bool sim_load_machine_file(const wchar_t *path);
// A running program sees disks come and go: each disk of the machine takes
// the presence the text gives it (present=0, or no line at all: pulled out;
// otherwise plugged in), content kept. Returns what changed; false when the
// text cannot be read, and then nothing changes.
struct SimPresenceChange {
    int disk;
    bool present;
};
bool sim_apply_presence_text(const char *text, std::vector<SimPresenceChange> *changes);
// Why the last load failed.
std::string sim_last_load_error(void);

// For a whole program bound to the simulation: empties the machine, loads the
// description and installs it (with the virtual clock; call
// virtual_clock_uninstall() afterwards for real time). When `journal_path` is
// given, the journal and the audit are written there as the process exits.
bool sim_start_process_machine(const wchar_t *machine_path, const wchar_t *journal_path);
