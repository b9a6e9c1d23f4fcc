#include "tests/support/sim_state.h"

#include <stdio.h>

#include "disk/seam.h"
#include "tests/support/virtual_clock.h"

namespace {

const uintptr_t HANDLE_BASE = 0x51A00000u;
const unsigned long HANDLE_SERIAL_LIMIT = 0x00400000u;

void make_volume_name(SimMachine &m, std::wstring *name)
{
    wchar_t text[64];
    _snwprintf(text, 63, L"\\\\?\\Volume{5e1f0c%02x-7a3b-4c2d-9e8f-%012x}\\",
               (unsigned)(m.names_made & 0xFF), (unsigned)(0x100000 + m.names_made));
    text[63] = 0;
    m.names_made++;
    *name = text;
}

}  // namespace

SimMachine &sim_machine(void)
{
    static SimMachine machine;
    return machine;
}

HANDLE sim_handle_value(unsigned long serial)
{
    return (HANDLE)(HANDLE_BASE + 4 * (uintptr_t)serial);
}

bool sim_is_machine_handle(HANDLE handle)
{
    uintptr_t value = (uintptr_t)handle;
    return value > HANDLE_BASE && value < HANDLE_BASE + 4 * (uintptr_t)HANDLE_SERIAL_LIMIT &&
           (value - HANDLE_BASE) % 4 == 0;
}

SimHandle *sim_find_handle(HANDLE handle, const char *call)
{
    SimMachine &m = sim_machine();
    unsigned long serial = (unsigned long)(((uintptr_t)handle - HANDLE_BASE) / 4);
    auto found = m.handles.find(serial);
    if (found != m.handles.end()) return &found->second;
    char finding[128];
    snprintf(finding, sizeof finding, "%s on handle %lu, which is closed or was never opened",
             call, serial);
    sim_note_misuse(finding);
    return nullptr;
}

SimDisk *sim_find_disk(int number)
{
    SimMachine &m = sim_machine();
    auto found = m.disks.find(number);
    return found == m.disks.end() ? nullptr : found->second.get();
}

bool sim_volume_present(const SimVolume &volume)
{
    for (const SimExtent &extent : volume.extents) {
        SimDisk *disk = sim_find_disk(extent.disk);
        if (!disk || !disk->present) return false;
    }
    return true;
}

SimLockable *sim_object_lock(SimObjectKind kind, int index)
{
    SimMachine &m = sim_machine();
    switch (kind) {
    case SIM_OBJ_DISK: {
        SimDisk *disk = sim_find_disk(index);
        return disk ? &disk->lock : nullptr;
    }
    case SIM_OBJ_VOLUME: return &m.volumes[index]->lock;
    case SIM_OBJ_PARTITION: return &m.partitions[index]->lock;
    default: return nullptr;
    }
}

int sim_object_disk(SimObjectKind kind, int index)
{
    SimMachine &m = sim_machine();
    switch (kind) {
    case SIM_OBJ_DISK: return index;
    case SIM_OBJ_PARTITION: return m.partitions[index]->disk;
    case SIM_OBJ_VOLUME: {
        const SimVolume &volume = *m.volumes[index];
        int disk = -1;
        for (const SimExtent &extent : volume.extents) {
            if (disk >= 0 && extent.disk != disk) return -1;
            disk = extent.disk;
        }
        return disk;
    }
    default: return -1;
    }
}

bool sim_object_present(SimObjectKind kind, int index)
{
    SimMachine &m = sim_machine();
    switch (kind) {
    case SIM_OBJ_DISK: {
        SimDisk *disk = sim_find_disk(index);
        return disk && disk->present;
    }
    case SIM_OBJ_PARTITION: {
        SimDisk *disk = sim_find_disk(m.partitions[index]->disk);
        return disk && disk->present;
    }
    case SIM_OBJ_VOLUME: return sim_volume_present(*m.volumes[index]);
    default: return true;
    }
}

bool sim_object_region(SimObjectKind kind, int index, SimRegion *region)
{
    SimMachine &m = sim_machine();
    switch (kind) {
    case SIM_OBJ_DISK: {
        SimDisk *disk = sim_find_disk(index);
        if (!disk) return false;
        *region = SimRegion{index, 0, disk->size};
        return true;
    }
    case SIM_OBJ_PARTITION: {
        const SimPartition &p = *m.partitions[index];
        *region = SimRegion{p.disk, p.offset, p.length};
        return true;
    }
    case SIM_OBJ_VOLUME: {
        const SimVolume &volume = *m.volumes[index];
        if (volume.extents.size() != 1) return false;
        const SimExtent &extent = volume.extents[0];
        *region = SimRegion{extent.disk, extent.offset, extent.length};
        return true;
    }
    default: return false;
    }
}

void sim_mount_again(SimVolume *volume)
{
    if (!volume->lock.locked_by && !volume->lock.offline) volume->mounted = true;
}

void sim_pull(SimDisk *disk)
{
    disk->present = false;
    disk->pulled = true;
}

bool sim_text_contains(const std::wstring &text, const wchar_t *part)
{
    if (!part) return true;
    size_t n = wcslen(part);
    if (n == 0) return true;
    for (size_t i = 0; i + n <= text.size(); ++i)
        if (_wcsnicmp(text.c_str() + i, part, n) == 0) return true;
    return false;
}

// ---- building -----------------------------------------------------------------

void sim_reset(void)
{
    SimMachine &m = sim_machine();
    SimGuard guard(m.mutex);
    for (auto &entry : m.disks) sim_content_free(entry.second.get());
    m.disks.clear();
    m.volumes.clear();
    m.partitions.clear();
    m.letters.clear();
    m.mounts.clear();
    m.windows_directory = L"C:\\Windows";
    m.program_path = L"C:\\Users\\Technician\\quenvar-os-usb-writer.exe";
    m.volume_enumeration_error = 0;
    m.protect_mounted_volumes = true;
    m.real_clock = false;
    m.handles.clear();
    m.next_serial = 1;
    m.journal.clear();
    m.misuse.clear();
    m.hook = nullptr;
    m.hook_context = nullptr;
    m.names_made = 0;
    m.listed_disks.clear();
    m.device_lists_open = 0;
}

void sim_install(void)
{
    seam.CreateFileW = sim_CreateFileW;
    seam.DeviceIoControl = sim_DeviceIoControl;
    seam.ReadFile = sim_ReadFile;
    seam.WriteFile = sim_WriteFile;
    seam.SetFilePointerEx = sim_SetFilePointerEx;
    seam.FlushFileBuffers = sim_FlushFileBuffers;
    seam.CloseHandle = sim_CloseHandle;
    seam.FindFirstVolumeW = sim_FindFirstVolumeW;
    seam.FindNextVolumeW = sim_FindNextVolumeW;
    seam.FindVolumeClose = sim_FindVolumeClose;
    seam.GetLogicalDrives = sim_GetLogicalDrives;
    seam.GetDriveTypeW = sim_GetDriveTypeW;
    seam.GetWindowsDirectoryW = sim_GetWindowsDirectoryW;
    seam.GetVolumePathNameW = sim_GetVolumePathNameW;
    seam.GetVolumeNameForVolumeMountPointW = sim_GetVolumeNameForVolumeMountPointW;
    seam.GetModuleFileNameW = sim_GetModuleFileNameW;
    seam.SetupDiGetClassDevsW = sim_SetupDiGetClassDevsW;
    seam.SetupDiEnumDeviceInterfaces = sim_SetupDiEnumDeviceInterfaces;
    seam.SetupDiGetDeviceInterfaceDetailW = sim_SetupDiGetDeviceInterfaceDetailW;
    seam.SetupDiDestroyDeviceInfoList = sim_SetupDiDestroyDeviceInfoList;
    seam.CM_Get_Parent = sim_CM_Get_Parent;
    seam.CM_Get_DevNode_Registry_PropertyW = sim_CM_Get_DevNode_Registry_PropertyW;
    seam.CM_Request_Device_EjectW = sim_CM_Request_Device_EjectW;
    virtual_clock_install();
    seam.Sleep = sim_Sleep;
}

void sim_use_real_clock(void)
{
    virtual_clock_uninstall();
    SimGuard guard(sim_machine().mutex);
    sim_machine().real_clock = true;
}

void sim_uninstall(void)
{
    virtual_clock_uninstall();
    seam = win32_seam;
}

SimDisk *sim_add_disk(int number, int bus_type, uint64_t size, const char *vendor,
                      const char *product)
{
    SimMachine &m = sim_machine();
    SimGuard guard(m.mutex);
    auto &slot = m.disks[number];
    if (slot) sim_content_free(slot.get());
    slot.reset(new SimDisk);
    slot->number = number;
    slot->bus_type = bus_type;
    slot->size = size;
    slot->vendor = vendor ? vendor : "";
    slot->product = product ? product : "";
    return slot.get();
}

SimDisk *sim_disk(int number)
{
    SimGuard guard(sim_machine().mutex);
    return sim_find_disk(number);
}

bool sim_back_disk_with_file(int number, const wchar_t *path)
{
    SimGuard guard(sim_machine().mutex);
    SimDisk *disk = sim_find_disk(number);
    return disk && sim_content_use_file(disk, path);
}

void sim_set_descriptor(int number, const void *bytes, size_t length)
{
    SimGuard guard(sim_machine().mutex);
    SimDisk *disk = sim_find_disk(number);
    if (!disk) return;
    const unsigned char *p = (const unsigned char *)bytes;
    disk->descriptor.assign(p, p + length);
}

std::vector<unsigned char> sim_descriptor_bytes(const SimDisk *disk)
{
    if (!disk->descriptor.empty()) return disk->descriptor;
    // STORAGE_DEVICE_DESCRIPTOR: 40 fixed bytes, then the strings.
    std::vector<unsigned char> bytes(40, 0);
    auto put32 = [&bytes](size_t at, DWORD value) { memcpy(&bytes[at], &value, 4); };
    auto add_text = [&bytes, &put32](size_t field, const std::string &text) {
        if (text.empty()) return;
        put32(field, (DWORD)bytes.size());
        bytes.insert(bytes.end(), text.begin(), text.end());
        bytes.push_back(0);
    };
    put32(0, 1);
    bytes[8] = 0;  // direct-access device
    bytes[10] = disk->removable ? 1 : 0;
    add_text(12, disk->vendor);
    add_text(16, disk->product);
    add_text(20, disk->revision);
    add_text(24, disk->serial);
    put32(28, (DWORD)disk->bus_type);
    put32(4, (DWORD)bytes.size());
    return bytes;
}

int sim_add_volume(const wchar_t *name, wchar_t letter, UINT drive_type,
                   const std::vector<SimExtent> &extents)
{
    SimMachine &m = sim_machine();
    SimGuard guard(m.mutex);
    std::unique_ptr<SimVolume> volume(new SimVolume);
    if (name && name[0]) {
        volume->name = name;
        if (volume->name.back() != L'\\') volume->name += L'\\';
    } else {
        make_volume_name(m, &volume->name);
    }
    volume->letter = letter ? (wchar_t)towupper(letter) : 0;
    volume->drive_type = drive_type;
    volume->extents = extents;
    m.volumes.push_back(std::move(volume));
    return (int)m.volumes.size() - 1;
}

SimPartition *sim_add_partition(int disk, int number, uint64_t offset, uint64_t length)
{
    SimMachine &m = sim_machine();
    SimGuard guard(m.mutex);
    std::unique_ptr<SimPartition> partition(new SimPartition);
    partition->disk = disk;
    partition->number = number;
    partition->offset = offset;
    SimDisk *owner = sim_find_disk(disk);
    if (length == 0 && owner && owner->size > offset) length = owner->size - offset;
    partition->length = length;
    m.partitions.push_back(std::move(partition));
    return m.partitions.back().get();
}

int sim_add_partition_volume(int disk, int partition, wchar_t letter, UINT drive_type,
                             uint64_t offset, uint64_t length)
{
    SimGuard guard(sim_machine().mutex);
    SimPartition *part = sim_add_partition(disk, partition, offset, length);
    int v = sim_add_volume(L"", letter, drive_type, {SimExtent{disk, part->offset, part->length}});
    sim_machine().volumes[v]->partition_number = partition;
    part->volume = v;
    return v;
}

SimVolume *sim_volume(int index)
{
    SimMachine &m = sim_machine();
    SimGuard guard(m.mutex);
    if (index < 0 || index >= (int)m.volumes.size()) return nullptr;
    return m.volumes[index].get();
}

int sim_volume_count(void)
{
    SimGuard guard(sim_machine().mutex);
    return (int)sim_machine().volumes.size();
}

SimPartition *sim_partition(int disk, int number)
{
    SimMachine &m = sim_machine();
    SimGuard guard(m.mutex);
    for (auto &p : m.partitions)
        if (p->disk == disk && p->number == number) return p.get();
    return nullptr;
}

void sim_add_letter(wchar_t letter, UINT drive_type)
{
    SimGuard guard(sim_machine().mutex);
    sim_machine().letters.push_back(SimLetter{(wchar_t)towupper(letter), drive_type});
}

void sim_add_mount_folder(const wchar_t *folder, int volume)
{
    SimGuard guard(sim_machine().mutex);
    std::wstring text = folder;
    if (text.empty() || text.back() != L'\\') text += L'\\';
    sim_machine().mounts.push_back(SimMount{text, volume});
}

void sim_set_windows_directory(const wchar_t *path)
{
    SimGuard guard(sim_machine().mutex);
    sim_machine().windows_directory = path ? path : L"";
}

void sim_set_program_path(const wchar_t *path)
{
    SimGuard guard(sim_machine().mutex);
    sim_machine().program_path = path;
}

void sim_set_volume_enumeration_error(DWORD error)
{
    SimGuard guard(sim_machine().mutex);
    sim_machine().volume_enumeration_error = error;
}

void sim_set_protect_mounted_volumes(bool on)
{
    SimGuard guard(sim_machine().mutex);
    sim_machine().protect_mounted_volumes = on;
}

void sim_add_fault(int disk, const SimFault &fault)
{
    SimGuard guard(sim_machine().mutex);
    SimDisk *d = sim_find_disk(disk);
    if (d) d->faults.push_back(fault);
}

void sim_add_fault(int disk, int kinds, uint64_t offset, uint64_t length, int remaining,
                   DWORD error, DWORD moved)
{
    SimFault fault;
    fault.kinds = kinds;
    fault.offset = offset;
    fault.length = length;
    fault.remaining = remaining;
    fault.error = error;
    fault.moved = moved;
    sim_add_fault(disk, fault);
}

void sim_touch_volume(int index)
{
    SimGuard guard(sim_machine().mutex);
    SimVolume *volume = sim_volume(index);
    if (volume && sim_volume_present(*volume)) sim_mount_again(volume);
}

void sim_pull_disk(int number)
{
    SimGuard guard(sim_machine().mutex);
    SimDisk *disk = sim_find_disk(number);
    if (disk) sim_pull(disk);
}

void sim_plug_disk(int number)
{
    SimGuard guard(sim_machine().mutex);
    SimDisk *disk = sim_find_disk(number);
    if (disk) disk->present = true;
}

// The wait happens outside the machine's lock, so other threads (the window
// listing disks, the harness pulling one) go on meanwhile.
void sim_wait_while_held(HANDLE handle)
{
    SimMachine &m = sim_machine();
    for (;;) {
        std::wstring hold;
        {
            SimGuard guard(m.mutex);
            auto found = m.handles.find((unsigned long)(((uintptr_t)handle - HANDLE_BASE) / 4));
            if (found == m.handles.end()) return;
            SimRegion region{-1, 0, 0};
            if (!sim_object_region(found->second.kind, found->second.index, &region)) return;
            SimDisk *disk = sim_find_disk(region.disk);
            if (!disk || disk->hold_path.empty() || disk->bytes_moved < disk->hold_after_bytes)
                return;
            hold = disk->hold_path;
        }
        if (::GetFileAttributesW(hold.c_str()) == INVALID_FILE_ATTRIBUTES) return;
        ::Sleep(20);
    }
}

void sim_read_content(int disk, uint64_t offset, void *buffer, size_t length)
{
    SimGuard guard(sim_machine().mutex);
    SimDisk *d = sim_find_disk(disk);
    if (d) sim_content_read(d, offset, buffer, length);
    else memset(buffer, 0, length);
}

void sim_write_content(int disk, uint64_t offset, const void *buffer, size_t length)
{
    SimGuard guard(sim_machine().mutex);
    SimDisk *d = sim_find_disk(disk);
    if (d) sim_content_write(d, offset, buffer, length);
}

size_t sim_content_pages(int disk)
{
    SimGuard guard(sim_machine().mutex);
    SimDisk *d = sim_find_disk(disk);
    return d ? sim_content_page_count(d) : 0;
}

// ---- audit --------------------------------------------------------------------

int sim_open_handles(void)
{
    SimGuard guard(sim_machine().mutex);
    return (int)sim_machine().handles.size();
}

std::string sim_audit(void)
{
    SimMachine &m = sim_machine();
    SimGuard guard(m.mutex);
    std::string findings;
    char line[400];
    for (auto &entry : m.handles) {
        snprintf(line, sizeof line, "handle %lu still open: %ls\n", entry.first,
                 entry.second.path.c_str());
        findings += line;
    }
    auto check_lock = [&](const SimLockable &lock, const std::wstring &what) {
        if (lock.offline) {
            snprintf(line, sizeof line, "%ls left offline\n", what.c_str());
            findings += line;
        }
        if (lock.locked_by == 0) return;
        snprintf(line, sizeof line, "%ls still locked by handle %lu\n", what.c_str(),
                 lock.locked_by);
        findings += line;
    };
    for (auto &entry : m.disks)
        check_lock(entry.second->lock, L"disk " + std::to_wstring(entry.first));
    for (auto &volume : m.volumes) check_lock(volume->lock, volume->name);
    for (auto &p : m.partitions)
        check_lock(p->lock, L"partition " + std::to_wstring(p->disk) + L":" +
                                std::to_wstring(p->number));
    if (m.device_lists_open) findings += "device information list not destroyed\n";
    for (const std::string &finding : m.misuse) findings += "misuse: " + finding + "\n";
    return findings;
}
