// Control codes answered by the simulated devices.
#include "tests/support/sim_state.h"

#include "disk/seam.h"

namespace {

struct Call {
    SimHandle *handle;
    LPVOID in;
    DWORD in_size;
    LPVOID out;
    DWORD out_size;
    DWORD returned;
};

SimVolume *volume_of(const SimHandle &handle)
{
    return handle.kind == SIM_OBJ_VOLUME ? sim_machine().volumes[handle.index].get() : nullptr;
}

DWORD query_property(Call &call)
{
    int disk_number = sim_object_disk(call.handle->kind, call.handle->index);
    SimDisk *disk = disk_number >= 0 ? sim_find_disk(disk_number) : nullptr;
    if (!disk) return ERROR_INVALID_FUNCTION;
    if (!call.in || call.in_size < sizeof(STORAGE_PROPERTY_QUERY)) return ERROR_INVALID_PARAMETER;
    const STORAGE_PROPERTY_QUERY *query = (const STORAGE_PROPERTY_QUERY *)call.in;
    if (query->PropertyId != StorageDeviceProperty || query->QueryType != PropertyStandardQuery)
        return ERROR_NOT_SUPPORTED;
    if (disk->property_error) return disk->property_error;
    if (!call.out || call.out_size < sizeof(STORAGE_DESCRIPTOR_HEADER))
        return ERROR_INSUFFICIENT_BUFFER;
    std::vector<unsigned char> bytes = sim_descriptor_bytes(disk);
    DWORD count = (DWORD)bytes.size() < call.out_size ? (DWORD)bytes.size() : call.out_size;
    memcpy(call.out, bytes.data(), count);
    call.returned = count;
    if (disk->descriptor_reported_bytes && disk->descriptor_reported_bytes < count)
        call.returned = disk->descriptor_reported_bytes;
    return 0;
}

DWORD length_info(Call &call)
{
    SimRegion region;
    if (!sim_object_region(call.handle->kind, call.handle->index, &region))
        return ERROR_INVALID_FUNCTION;
    if (call.handle->kind == SIM_OBJ_DISK && sim_find_disk(region.disk)->length_error)
        return sim_find_disk(region.disk)->length_error;
    if (!call.out || call.out_size < sizeof(GET_LENGTH_INFORMATION))
        return ERROR_INSUFFICIENT_BUFFER;
    ((GET_LENGTH_INFORMATION *)call.out)->Length.QuadPart = (LONGLONG)region.length;
    call.returned = sizeof(GET_LENGTH_INFORMATION);
    return 0;
}

DWORD geometry(Call &call)
{
    int disk_number = sim_object_disk(call.handle->kind, call.handle->index);
    SimDisk *disk = disk_number >= 0 ? sim_find_disk(disk_number) : nullptr;
    if (!disk || call.handle->kind == SIM_OBJ_VOLUME) return ERROR_INVALID_FUNCTION;
    if (disk->geometry_error) return disk->geometry_error;
    const DWORD needed = sizeof(DISK_GEOMETRY) + sizeof(LARGE_INTEGER);
    if (!call.out || call.out_size < needed) return ERROR_INSUFFICIENT_BUFFER;
    DISK_GEOMETRY_EX answer;
    memset(&answer, 0, sizeof answer);
    DWORD sector = disk->bytes_per_sector ? disk->bytes_per_sector : 512;
    answer.Geometry.MediaType = disk->removable ? RemovableMedia : FixedMedia;
    answer.Geometry.TracksPerCylinder = 255;
    answer.Geometry.SectorsPerTrack = 63;
    answer.Geometry.BytesPerSector = disk->bytes_per_sector;
    answer.Geometry.Cylinders.QuadPart = (LONGLONG)(disk->size / sector / (255 * 63));
    answer.DiskSize.QuadPart = (LONGLONG)disk->size;
    DWORD count = call.out_size < sizeof answer ? call.out_size : (DWORD)sizeof answer;
    memcpy(call.out, &answer, count);
    call.returned = count;
    return 0;
}

DWORD device_number(Call &call)
{
    STORAGE_DEVICE_NUMBER answer;
    answer.DeviceType = FILE_DEVICE_DISK;
    answer.DeviceNumber = (DWORD)sim_object_disk(call.handle->kind, call.handle->index);
    answer.PartitionNumber = 0;
    if (call.handle->kind == SIM_OBJ_PARTITION) {
        answer.PartitionNumber = (DWORD)sim_machine().partitions[call.handle->index]->number;
    } else if (SimVolume *volume = volume_of(*call.handle)) {
        if (volume->partition_number < 0) return ERROR_INVALID_FUNCTION;
        if (volume->reported_disk >= 0) answer.DeviceNumber = (DWORD)volume->reported_disk;
        else if (volume->extents.size() != 1) return ERROR_INVALID_FUNCTION;
        answer.DeviceType = volume->device_type;
        answer.PartitionNumber = (DWORD)volume->partition_number;
    }
    if (!call.out || call.out_size < sizeof answer) return ERROR_INSUFFICIENT_BUFFER;
    memcpy(call.out, &answer, sizeof answer);
    call.returned = sizeof answer;
    return 0;
}

DWORD disk_extents(Call &call)
{
    SimVolume *volume = volume_of(*call.handle);
    if (!volume) return ERROR_INVALID_FUNCTION;
    if (volume->extents_error) return volume->extents_error;
    if (!call.out || call.out_size < sizeof(VOLUME_DISK_EXTENTS)) return ERROR_INSUFFICIENT_BUFFER;
    VOLUME_DISK_EXTENTS *answer = (VOLUME_DISK_EXTENTS *)call.out;
    DWORD count = (DWORD)volume->extents.size();
    DWORD room = (call.out_size - offsetof(VOLUME_DISK_EXTENTS, Extents)) / sizeof(DISK_EXTENT);
    answer->NumberOfDiskExtents =
        volume->reported_extent_count >= 0 ? (DWORD)volume->reported_extent_count : count;
    if (count > room) {
        call.returned = offsetof(VOLUME_DISK_EXTENTS, Extents);
        return ERROR_MORE_DATA;
    }
    for (DWORD i = 0; i < count; ++i) {
        answer->Extents[i].DiskNumber = (DWORD)volume->extents[i].disk;
        answer->Extents[i].StartingOffset.QuadPart = (LONGLONG)volume->extents[i].offset;
        answer->Extents[i].ExtentLength.QuadPart = (LONGLONG)volume->extents[i].length;
    }
    call.returned = (DWORD)(offsetof(VOLUME_DISK_EXTENTS, Extents) +
                            (count ? count : 1) * sizeof(DISK_EXTENT));
    return 0;
}

bool has_data_access(const SimHandle &handle)
{
    return (handle.access & (GENERIC_READ | GENERIC_WRITE | GENERIC_ALL | FILE_READ_DATA |
                             FILE_WRITE_DATA)) != 0;
}

DWORD lock_volume(Call &call)
{
    SimLockable *lock = sim_object_lock(call.handle->kind, call.handle->index);
    if (!has_data_access(*call.handle)) return ERROR_ACCESS_DENIED;
    lock->lock_attempts++;
    if (lock->locked_by == call.handle->serial) return 0;
    if (lock->lock_refusals > 0) {
        lock->lock_refusals--;
        return lock->lock_error;
    }
    if (lock->foreign_open_files > 0 || lock->locked_by) return lock->lock_error;
    lock->locked_by = call.handle->serial;
    return 0;
}

DWORD unlock_volume(Call &call)
{
    SimLockable *lock = sim_object_lock(call.handle->kind, call.handle->index);
    if (lock->locked_by != call.handle->serial) return ERROR_NOT_LOCKED;
    lock->locked_by = 0;
    return 0;
}

DWORD dismount_volume(Call &call)
{
    SimMachine &m = sim_machine();
    SimLockable *lock = sim_object_lock(call.handle->kind, call.handle->index);
    if (!has_data_access(*call.handle)) return ERROR_ACCESS_DENIED;
    if (lock->dismount_error) return lock->dismount_error;
    lock->dismounts++;
    if (SimVolume *volume = volume_of(*call.handle)) volume->mounted = false;
    if (call.handle->kind == SIM_OBJ_PARTITION) {
        int v = m.partitions[call.handle->index]->volume;
        if (v >= 0) m.volumes[v]->mounted = false;
    }
    return 0;
}

// Offline or online again; through a raw partition, for the volume on it too
// (on Windows both names open the same volume device).
DWORD set_offline(Call &call, bool offline)
{
    SimMachine &m = sim_machine();
    const SimHandle &handle = *call.handle;
    SimLockable *lock = sim_object_lock(handle.kind, handle.index);
    if (handle.kind == SIM_OBJ_DISK) return ERROR_INVALID_FUNCTION;
    if (!has_data_access(handle)) return ERROR_ACCESS_DENIED;
    DWORD error = offline ? lock->offline_error : lock->online_error;
    if (error) return error;
    lock->offline = offline;
    if (handle.kind == SIM_OBJ_PARTITION && m.partitions[handle.index]->volume >= 0)
        m.volumes[m.partitions[handle.index]->volume]->lock.offline = offline;
    return 0;
}

DWORD answer(DWORD code, Call &call)
{
    switch (code) {
    case IOCTL_STORAGE_QUERY_PROPERTY: return query_property(call);
    case IOCTL_DISK_GET_LENGTH_INFO:
        if (!(call.handle->access & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA)))
            return ERROR_ACCESS_DENIED;
        return length_info(call);
    case IOCTL_DISK_GET_DRIVE_GEOMETRY_EX: return geometry(call);
    case IOCTL_STORAGE_GET_DEVICE_NUMBER: return device_number(call);
    case IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS: return disk_extents(call);
    case FSCTL_LOCK_VOLUME: return lock_volume(call);
    case FSCTL_UNLOCK_VOLUME: return unlock_volume(call);
    case FSCTL_DISMOUNT_VOLUME: return dismount_volume(call);
    case IOCTL_VOLUME_OFFLINE: return set_offline(call, true);
    case IOCTL_VOLUME_ONLINE: return set_offline(call, false);
    case IOCTL_DISK_IS_WRITABLE: {
        SimDisk *disk = sim_find_disk(sim_object_disk(call.handle->kind, call.handle->index));
        return disk && disk->write_protected ? ERROR_WRITE_PROTECT : 0;
    }
    case FSCTL_ALLOW_EXTENDED_DASD_IO: {
        SimDisk *disk = call.handle->kind == SIM_OBJ_DISK ? sim_find_disk(call.handle->index)
                                                          : nullptr;
        return disk ? disk->dasd_error : 0;
    }
    case IOCTL_DISK_UPDATE_PROPERTIES: {
        if (call.handle->kind != SIM_OBJ_DISK) return ERROR_INVALID_FUNCTION;
        sim_find_disk(call.handle->index)->update_properties_calls++;
        return 0;
    }
    }
    return ERROR_INVALID_FUNCTION;
}

}  // namespace

BOOL WINAPI sim_DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                                DWORD out_size, LPDWORD returned, LPOVERLAPPED overlapped)
{
    if (!sim_is_machine_handle(device))
        return win32_seam.DeviceIoControl(device, code, in, in_size, out, out_size, returned,
                                          overlapped);
    SimMachine &m = sim_machine();
    SimGuard guard(m.mutex);
    SimHandle *handle = sim_find_handle(device, "DeviceIoControl");
    if (!handle) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!returned && !overlapped)
        sim_note_misuse("DeviceIoControl without a returned-bytes pointer (a crash on Windows)");
    Call call{handle, in, in_size, out, out_size, 0};
    DWORD error = 0;
    if (handle->kind == SIM_OBJ_SEARCH) error = ERROR_INVALID_HANDLE;
    else if (!sim_object_present(handle->kind, handle->index)) error = SIM_PULLED_ERROR;
    else error = answer(code, call);
    if (returned) *returned = call.returned;
    SimEvent event = sim_handle_event(SIM_IOCTL, *handle);
    event.code = code;
    event.ok = error == 0;
    event.error = error;
    event.length = call.returned;
    sim_record(event);
    SetLastError(error);
    return error == 0;
}
