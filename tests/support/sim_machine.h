// A simulated machine for the disk layer: physical disks, volumes, raw
// partitions and drive letters, bound to the program through `seam`.
//
// Build a machine with the sim_add_* calls (or from a description file, see
// sim_load.h), then sim_install() binds every seam entry to it and to the
// virtual clock. Every call the program makes is kept in a journal; sim_audit()
// tells whether a handle is still open or an object still locked.
//
// Calls on paths that are not device paths, and on handles the machine did not
// make, are passed to Win32 unchanged (images, logs and caches are real files).
#pragma once
#include <windows.h>
#include <winioctl.h>
#include <stdint.h>
#include <string>
#include <vector>

// Lock and open behaviour shared by disks, volumes and raw partitions.
struct SimLockable {
    int lock_refusals = 0;        // the next lock attempts refused, one each
    int foreign_open_files = 0;   // files another program holds open: locks refused
    DWORD lock_error = ERROR_ACCESS_DENIED;
    DWORD dismount_error = 0;     // non-zero: every dismount fails with it
    DWORD open_error = 0;         // non-zero: every open fails with it
    DWORD rw_open_error = 0;      // non-zero: opens asking for read or write fail
    DWORD offline_error = 0;      // non-zero: IOCTL_VOLUME_OFFLINE fails with it
    DWORD online_error = 0;       // non-zero: IOCTL_VOLUME_ONLINE fails with it
    // State, kept by the machine.
    unsigned long locked_by = 0;  // serial of the handle holding the lock, 0: none
    int lock_attempts = 0;
    int dismounts = 0;
    bool offline = false;         // never mounted again until brought online
};

enum SimFaultKind { SIM_FAULT_READ = 1, SIM_FAULT_WRITE = 2, SIM_FAULT_SEEK = 4 };

// A transfer (or positioning) that touches [offset, offset + length) fails.
struct SimFault {
    int kinds = SIM_FAULT_WRITE;  // SimFaultKind bits
    uint64_t offset = 0;
    uint64_t length = 1;
    int remaining = 1;            // failures left; -1: for ever
    DWORD error = ERROR_CRC;      // 0: the call succeeds but moves only `moved` bytes
    DWORD moved = 0;              // bytes moved before the failure (or the short count)
};

struct SimContent;

struct SimDisk {
    int number = 0;
    bool present = true;
    bool pulled = false;
    // What IOCTL_STORAGE_QUERY_PROPERTY answers: built from these fields
    // unless `descriptor` is set, then those bytes exactly.
    int bus_type = BusTypeUsb;
    std::string vendor, product, revision, serial;
    bool removable = true;
    std::vector<unsigned char> descriptor;
    DWORD descriptor_reported_bytes = 0;  // non-zero: claims fewer bytes than it wrote
    DWORD property_error = 0;
    uint64_t size = 0;
    DWORD length_error = 0;
    DWORD bytes_per_sector = 512;
    DWORD geometry_error = 0;
    DWORD dasd_error = 0;
    bool write_protected = false; // a locked switch: IOCTL_DISK_IS_WRITABLE and writes refused
    // A fake-capacity disk keeps only its first `true_capacity` bytes; writes
    // beyond are accepted and lost, reads there return other data. 0: honest.
    uint64_t true_capacity = 0;
    // The disk is pulled out once this many bytes have moved. 0: never.
    uint64_t pull_after_bytes = 0;
    uint64_t bytes_moved = 0;
    // Transfers wait while the file `hold_path` exists, once `hold_after_bytes`
    // have moved, so a test can catch a whole program in the middle of a write.
    std::wstring hold_path;
    uint64_t hold_after_bytes = 0;
    // Bytes per second the disk writes and reads once the real clock is in
    // use (sim_use_real_clock), for benchmarks; 0: as fast as the host.
    uint64_t write_rate = 0;
    uint64_t read_rate = 0;
    DWORD open_delay_ms = 0;      // each open takes this long, with the real clock only
    LONGLONG busy_until = 0;      // performance-counter time its last transfer ends
    int update_properties_calls = 0;
    // The eject request: refused with this veto type (-1: none) and name;
    // granted, the disk leaves as if pulled out.
    int eject_veto = -1;
    std::wstring eject_veto_name;
    bool removable_hub = false;  // only the hub above its USB device is removable
    int ejects = 0;
    SimLockable lock;
    std::vector<SimFault> faults;
    SimContent *content = nullptr;
};

struct SimExtent {
    int disk;
    uint64_t offset;
    uint64_t length;
};

struct SimVolume {
    std::wstring name;            // \\?\Volume{...}\ as FindFirstVolumeW lists it
    wchar_t letter = 0;           // 0: none
    UINT drive_type = DRIVE_REMOVABLE;
    std::vector<SimExtent> extents;
    // IOCTL_STORAGE_GET_DEVICE_NUMBER on the volume: device type, and the
    // partition number; -1 makes the query fail (a volume across disks).
    DWORD device_type = FILE_DEVICE_DISK;
    int partition_number = -1;
    int reported_disk = -1;       // >= 0: the device number answers this disk (and
                                  // partition_number), even for a volume across disks
    DWORD extents_error = 0;
    int reported_extent_count = -1;  // >= 0: a driver that misstates the count
    bool mounted = true;
    SimLockable lock;
};

// A raw partition device, \\?\GLOBALROOT\Device\HarddiskN\PartitionP.
struct SimPartition {
    int disk = 0;
    int number = 1;
    uint64_t offset = 0;
    uint64_t length = 0;
    int volume = -1;              // index of the volume mounted on it, -1: none
    SimLockable lock;
};

// A drive letter without a volume of the machine (a mapped network drive).
struct SimLetter {
    wchar_t letter;
    UINT drive_type;
};

// ---- building the machine -------------------------------------------------

// Empties the machine, the journal and the handle table (host files closed).
void sim_reset(void);
// Binds every seam entry to the machine and installs the virtual clock.
void sim_install(void);
// Restores the Win32 binding.
void sim_uninstall(void);
// After sim_install(): Sleep and GetTickCount go to Win32 again, and each
// transfer on a disk with a rate takes real time in proportion to its length.
void sim_use_real_clock(void);

// A present disk with a descriptor built from bus, vendor and product.
SimDisk *sim_add_disk(int number, int bus_type, uint64_t size, const char *vendor = "",
                      const char *product = "");
SimDisk *sim_disk(int number);
// Keeps the disk's content in a host file (created when missing) instead of memory.
bool sim_back_disk_with_file(int number, const wchar_t *path);
// A descriptor made of raw bytes, answered as given.
void sim_set_descriptor(int number, const void *bytes, size_t length);
// The descriptor bytes the machine answers for the disk now.
std::vector<unsigned char> sim_descriptor_bytes(const SimDisk *disk);

// A volume lying on the given extents; returns its index. An empty name gets
// a made-up GUID name. Its trailing backslash is added when missing.
int sim_add_volume(const wchar_t *name, wchar_t letter, UINT drive_type,
                   const std::vector<SimExtent> &extents);
// A volume on one partition of one disk (the partition is made too).
int sim_add_partition_volume(int disk, int partition, wchar_t letter,
                             UINT drive_type = DRIVE_REMOVABLE, uint64_t offset = 1048576,
                             uint64_t length = 0);
SimVolume *sim_volume(int index);
int sim_volume_count(void);
// A raw partition without a volume.
SimPartition *sim_add_partition(int disk, int number, uint64_t offset = 1048576,
                                uint64_t length = 0);
SimPartition *sim_partition(int disk, int number);
void sim_add_letter(wchar_t letter, UINT drive_type);
// Paths under `folder` (ending in a backslash) lie on the volume: the folder
// is a mount point for GetVolumePathNameW.
void sim_add_mount_folder(const wchar_t *folder, int volume);
// Empty: GetWindowsDirectoryW fails.
void sim_set_windows_directory(const wchar_t *path);
// The running program's own file, as GetModuleFileNameW names it.
void sim_set_program_path(const wchar_t *path);
// Non-zero: FindFirstVolumeW fails with this error.
void sim_set_volume_enumeration_error(DWORD error);
// Writes that touch a mounted, unlocked volume are refused (as Windows does).
void sim_set_protect_mounted_volumes(bool on);
void sim_add_fault(int disk, const SimFault &fault);
// The same, field by field: `remaining` failures (-1: for ever) with `error`,
// or with error 0 a short "success" of `moved` bytes.
void sim_add_fault(int disk, int kinds, uint64_t offset, uint64_t length, int remaining,
                   DWORD error, DWORD moved = 0);
// Another program (Explorer, a virus scanner) opens the volume: a dismounted
// volume that is neither locked nor offline is mounted again.
void sim_touch_volume(int index);
// The disk goes away now: every later call on it fails as Windows would.
void sim_pull_disk(int number);
// The disk comes back (plugged in again): present, its content kept.
void sim_plug_disk(int number);

// Content, without going through the journal.
void sim_read_content(int disk, uint64_t offset, void *buffer, size_t length);
void sim_write_content(int disk, uint64_t offset, const void *buffer, size_t length);
// Memory pages held by the disk's sparse content.
size_t sim_content_pages(int disk);

// ---- journal ----------------------------------------------------------------

enum SimEventKind {
    SIM_OPEN,          // a device opened (path, access, share, flags)
    SIM_OPEN_FAILED,   // a device open refused (error)
    SIM_OPEN_FORWARDED,// an ordinary path passed on to Win32
    SIM_CLOSE,
    SIM_IOCTL,         // a control code sent (code, ok, error)
    SIM_SEEK,          // offset asked
    SIM_READ,          // offset, length, moved
    SIM_WRITE,
    SIM_FLUSH,
    SIM_FIND_VOLUME,   // FindFirstVolumeW, FindNextVolumeW, FindVolumeClose
    SIM_QUERY,         // letters, drive types, Windows directory, mount points
    SIM_SLEEP,         // length
    SIM_EJECT,         // the device asked to leave (path: its id; error: the answer)
};

struct SimEvent {
    SimEventKind kind;
    std::wstring path;       // path opened, or the path the handle was opened with
    int disk = -1;           // disk the object lies on, -1: none or several
    unsigned long handle = 0;// serial of the handle
    DWORD access = 0, share = 0, flags = 0;
    DWORD code = 0;
    uint64_t offset = 0;
    DWORD length = 0, moved = 0;
    bool ok = true;
    DWORD error = 0;
    DWORD tick = 0;          // virtual time of the call
};

std::vector<SimEvent> sim_journal(void);
void sim_clear_journal(void);
// Events of a kind whose path contains `path_part` (case-insensitive; null:
// any) and, when `code` is non-zero, with that control code.
int sim_count(SimEventKind kind, const wchar_t *path_part = nullptr, DWORD code = 0);
// Whether any open (done, refused or forwarded) named a path containing `part`.
bool sim_opened(const wchar_t *path_part);
// Whether any open named exactly this path (case-insensitive).
bool sim_opened_path(const wchar_t *path);
int sim_writes_to_disk(int disk);
// The last write that reached the disk's content; false when none did.
bool sim_last_write(int disk, uint64_t *offset, DWORD *length);
std::wstring sim_journal_text(void);
std::wstring sim_event_text(const SimEvent &event);
// Writes the journal and the audit as UTF-8 text.
bool sim_save_journal(const wchar_t *path);
// Called after each event is recorded; it may change the machine.
void sim_set_hook(void (*hook)(const SimEvent &event, void *context), void *context);

// ---- audit ------------------------------------------------------------------

// Empty when no handle is open and nothing is locked and no call was misused;
// otherwise one line per finding.
std::string sim_audit(void);
int sim_open_handles(void);
