// Reads, writes and positioning on simulated devices.
#include "tests/support/sim_state.h"

#include "disk/seam.h"

namespace {

struct Transfer {
    SimHandle *handle;
    bool write;
    unsigned char *buffer;
    DWORD length;
    SimRegion region;
    SimDisk *disk;
    uint64_t at;      // absolute disk offset of the first byte
    DWORD moved;
};

bool range_touches(uint64_t offset, uint64_t length, uint64_t start, uint64_t span)
{
    return offset < start + span && start < offset + (length ? length : 1);
}

// A byte the fake-capacity disk answers where it keeps nothing.
unsigned char foreign_byte(uint64_t at)
{
    return (unsigned char)(0xA5 ^ (at >> 9) ^ at);
}

void move_bytes(Transfer &t, DWORD count)
{
    SimDisk *disk = t.disk;
    uint64_t kept = disk->true_capacity ? disk->true_capacity : UINT64_MAX;
    uint64_t end = t.at + count;
    uint64_t real_end = end < kept ? end : (t.at < kept ? kept : t.at);
    size_t real_count = (size_t)(real_end - t.at);
    if (t.write) {
        sim_content_write(disk, t.at, t.buffer, real_count);
    } else {
        sim_content_read(disk, t.at, t.buffer, real_count);
        for (size_t i = real_count; i < count; ++i) t.buffer[i] = foreign_byte(t.at + i);
    }
    disk->bytes_moved += count;
    t.moved = count;
}

DWORD alignment_error(const Transfer &t)
{
    if (!(t.handle->flags & FILE_FLAG_NO_BUFFERING)) return 0;
    // A geometry that is no power of two from 512 to 4096 leaves 512 as the unit.
    DWORD sector = t.disk->bytes_per_sector;
    if (sector < 512 || sector > 4096 || (sector & (sector - 1))) sector = 512;
    if (t.handle->position % sector || t.length % sector || (uintptr_t)t.buffer % sector)
        return ERROR_INVALID_PARAMETER;
    return 0;
}

// Windows refuses raw writes into a volume that is still mounted and unlocked.
DWORD mounted_volume_error(const Transfer &t, DWORD count)
{
    SimMachine &m = sim_machine();
    if (!t.write || !m.protect_mounted_volumes || t.handle->kind == SIM_OBJ_VOLUME) return 0;
    for (auto &volume : m.volumes) {
        if (!volume->mounted || volume->lock.locked_by) continue;
        for (const SimExtent &extent : volume->extents)
            if (extent.disk == t.disk->number &&
                range_touches(t.at, count, extent.offset, extent.length))
                return ERROR_ACCESS_DENIED;
    }
    return 0;
}

SimFault *matching_fault(const Transfer &t)
{
    int kind = t.write ? SIM_FAULT_WRITE : SIM_FAULT_READ;
    for (SimFault &fault : t.disk->faults)
        if ((fault.kinds & kind) && fault.remaining != 0 &&
            range_touches(t.at, t.length, fault.offset, fault.length))
            return &fault;
    return nullptr;
}

DWORD checks(Transfer &t)
{
    const SimHandle &h = *t.handle;
    if (h.kind == SIM_OBJ_SEARCH) return ERROR_INVALID_HANDLE;
    if (!sim_object_present(h.kind, h.index)) return SIM_PULLED_ERROR;
    DWORD needed = t.write ? (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA)
                           : (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA);
    if (!(h.access & needed)) return ERROR_ACCESS_DENIED;
    if (!sim_object_region(h.kind, h.index, &t.region)) return ERROR_INVALID_FUNCTION;
    t.disk = sim_find_disk(t.region.disk);
    t.at = t.region.offset + h.position;
    SimLockable *lock = sim_object_lock(h.kind, h.index);
    if (lock->locked_by && lock->locked_by != h.serial) return ERROR_ACCESS_DENIED;
    if (t.write && t.disk->write_protected) return ERROR_WRITE_PROTECT;
    return alignment_error(t);
}

// Moves what the device allows; returns the error, 0 for success (maybe short).
DWORD run(Transfer &t)
{
    DWORD error = checks(t);
    if (error) return error;
    if (SimFault *fault = matching_fault(t)) {
        if (fault->remaining > 0) fault->remaining--;
        DWORD partial = fault->moved < t.length ? fault->moved : t.length;
        if (!fault->error || partial) move_bytes(t, partial);
        if (fault->error) return fault->error;
        return 0;
    }
    if (t.handle->position >= t.region.length) return t.length ? ERROR_SECTOR_NOT_FOUND : 0;
    DWORD count = t.length;
    if (t.handle->position + count > t.region.length)
        count = (DWORD)(t.region.length - t.handle->position);
    error = mounted_volume_error(t, count);
    if (error) return error;
    SimDisk *disk = t.disk;
    if (disk->pull_after_bytes && disk->bytes_moved + count > disk->pull_after_bytes) {
        move_bytes(t, (DWORD)(disk->pull_after_bytes - disk->bytes_moved));
        sim_pull(disk);
        return SIM_PULLED_ERROR;
    }
    move_bytes(t, count);
    return 0;
}

LONGLONG performance_now(void)
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

LONGLONG performance_frequency(void)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return frequency.QuadPart;
}

// When a transfer that began at `began` ends on a disk with a rate: it waits
// for the disk's previous transfer, then takes its length at the disk's rate.
// 0: no rate, or the virtual clock (where real waiting would only slow tests).
LONGLONG transfer_end(const Transfer &t, LONGLONG began)
{
    uint64_t rate = t.write ? t.disk->write_rate : t.disk->read_rate;
    if (!sim_machine().real_clock || rate == 0) return 0;
    LONGLONG start = began > t.disk->busy_until ? began : t.disk->busy_until;
    t.disk->busy_until = start + (LONGLONG)((uint64_t)t.length * performance_frequency() / rate);
    return t.disk->busy_until;
}

// Sleeps the whole milliseconds left, then yields away the last fraction of one.
void wait_until(LONGLONG end)
{
    LONGLONG ticks_per_ms = performance_frequency() / 1000;
    for (LONGLONG now = performance_now(); now < end; now = performance_now())
        ::Sleep((DWORD)((end - now) / ticks_per_ms));
}

// Moves the bytes under the machine's lock; returns when the transfer would end.
BOOL transfer_locked(HANDLE value, bool write, void *buffer, DWORD length, LPDWORD done,
                     LONGLONG *end)
{
    SimMachine &m = sim_machine();
    SimGuard guard(m.mutex);
    LONGLONG began = m.real_clock ? performance_now() : 0;
    SimHandle *handle = sim_find_handle(value, write ? "WriteFile" : "ReadFile");
    if (!handle) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!done) sim_note_misuse("ReadFile or WriteFile without a count pointer");
    Transfer t{handle, write, (unsigned char *)buffer, length, SimRegion{-1, 0, 0}, nullptr, 0, 0};
    SimEvent event = sim_handle_event(write ? SIM_WRITE : SIM_READ, *handle);
    event.offset = handle->position;
    event.length = length;
    DWORD error = run(t);
    if (t.disk) *end = transfer_end(t, began);
    handle->position += t.moved;
    if (done) *done = t.moved;
    event.moved = t.moved;
    event.ok = error == 0;
    event.error = error;
    sim_record(event);
    if (error) SetLastError(error);
    return error == 0;
}

BOOL transfer(HANDLE value, bool write, void *buffer, DWORD length, LPDWORD done)
{
    LONGLONG end = 0;
    BOOL ok = transfer_locked(value, write, buffer, length, done, &end);
    if (end == 0) return ok;
    DWORD error = GetLastError();
    wait_until(end);
    SetLastError(error);
    return ok;
}

}  // namespace

BOOL WINAPI sim_ReadFile(HANDLE handle, LPVOID buffer, DWORD length, LPDWORD done,
                         LPOVERLAPPED overlapped)
{
    if (!sim_is_machine_handle(handle))
        return win32_seam.ReadFile(handle, buffer, length, done, overlapped);
    sim_wait_while_held(handle);
    return transfer(handle, false, buffer, length, done);
}

BOOL WINAPI sim_WriteFile(HANDLE handle, LPCVOID buffer, DWORD length, LPDWORD done,
                          LPOVERLAPPED overlapped)
{
    if (!sim_is_machine_handle(handle))
        return win32_seam.WriteFile(handle, buffer, length, done, overlapped);
    sim_wait_while_held(handle);
    return transfer(handle, true, (void *)buffer, length, done);
}

BOOL WINAPI sim_SetFilePointerEx(HANDLE value, LARGE_INTEGER distance, PLARGE_INTEGER result,
                                 DWORD method)
{
    if (!sim_is_machine_handle(value))
        return win32_seam.SetFilePointerEx(value, distance, result, method);
    SimMachine &m = sim_machine();
    SimGuard guard(m.mutex);
    SimHandle *handle = sim_find_handle(value, "SetFilePointerEx");
    if (!handle) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    SimRegion region{-1, 0, 0};
    bool has_region = sim_object_region(handle->kind, handle->index, &region);
    long long base = method == FILE_BEGIN     ? 0
                     : method == FILE_CURRENT ? (long long)handle->position
                                              : (long long)region.length;
    long long target = base + distance.QuadPart;
    DWORD error = 0;
    if (handle->kind == SIM_OBJ_SEARCH || method > FILE_END) error = ERROR_INVALID_PARAMETER;
    else if (target < 0) error = ERROR_NEGATIVE_SEEK;
    SimDisk *disk = has_region ? sim_find_disk(region.disk) : nullptr;
    if (!error && disk) {
        for (SimFault &fault : disk->faults) {
            if (!(fault.kinds & SIM_FAULT_SEEK) || fault.remaining == 0) continue;
            if (!range_touches(region.offset + (uint64_t)target, 1, fault.offset, fault.length))
                continue;
            if (fault.remaining > 0) fault.remaining--;
            error = fault.error ? fault.error : ERROR_SEEK;
            break;
        }
    }
    if (!error) {
        handle->position = (uint64_t)target;
        if (result) result->QuadPart = target;
    }
    SimEvent event = sim_handle_event(SIM_SEEK, *handle);
    event.offset = (uint64_t)target;
    event.ok = error == 0;
    event.error = error;
    sim_record(event);
    if (error) SetLastError(error);
    return error == 0;
}

BOOL WINAPI sim_FlushFileBuffers(HANDLE value)
{
    if (!sim_is_machine_handle(value)) return win32_seam.FlushFileBuffers(value);
    SimMachine &m = sim_machine();
    SimGuard guard(m.mutex);
    SimHandle *handle = sim_find_handle(value, "FlushFileBuffers");
    if (!handle) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    DWORD error = 0;
    if (handle->kind == SIM_OBJ_SEARCH) error = ERROR_INVALID_HANDLE;
    else if (!sim_object_present(handle->kind, handle->index)) error = SIM_PULLED_ERROR;
    else if (!(handle->access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA)))
        error = ERROR_ACCESS_DENIED;
    SimEvent event = sim_handle_event(SIM_FLUSH, *handle);
    event.ok = error == 0;
    event.error = error;
    sim_record(event);
    if (error) SetLastError(error);
    return error == 0;
}
