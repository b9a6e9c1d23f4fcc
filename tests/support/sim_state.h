// Inside of the simulated machine, shared by its source files only.
#pragma once
#include "tests/support/sim_machine.h"

#include <setupapi.h>
#include <cfgmgr32.h>

#include <map>
#include <memory>
#include <mutex>

enum SimObjectKind { SIM_OBJ_DISK, SIM_OBJ_VOLUME, SIM_OBJ_PARTITION, SIM_OBJ_SEARCH };

struct SimHandle {
    unsigned long serial = 0;
    SimObjectKind kind = SIM_OBJ_DISK;
    int index = 0;               // disk number, volume index, partition index, search position
    std::wstring path;
    DWORD access = 0, share = 0, flags = 0;
    uint64_t position = 0;
};

struct SimMount {
    std::wstring folder;
    int volume;
};

// Where an object's bytes lie.
struct SimRegion {
    int disk;
    uint64_t offset;
    uint64_t length;
};

struct SimMachine {
    std::recursive_mutex mutex;
    std::map<int, std::unique_ptr<SimDisk>> disks;
    std::vector<std::unique_ptr<SimVolume>> volumes;
    std::vector<std::unique_ptr<SimPartition>> partitions;
    std::vector<SimLetter> letters;
    std::vector<SimMount> mounts;
    std::wstring windows_directory = L"C:\\Windows";
    std::wstring program_path = L"C:\\Users\\Technician\\quenvar-os-usb-writer.exe";
    DWORD volume_enumeration_error = 0;
    bool protect_mounted_volumes = true;
    bool real_clock = false;     // transfers keep their disk's rate in real time
    std::map<unsigned long, SimHandle> handles;
    unsigned long next_serial = 1;
    std::vector<SimEvent> journal;
    std::vector<std::string> misuse;
    void (*hook)(const SimEvent &, void *) = nullptr;
    void *hook_context = nullptr;
    int names_made = 0;
    std::vector<int> listed_disks;   // of the one device information list
    int device_lists_open = 0;
};

SimMachine &sim_machine(void);
typedef std::lock_guard<std::recursive_mutex> SimGuard;

// Error of every call on an object whose disk has been pulled out.
static const DWORD SIM_PULLED_ERROR = ERROR_DEVICE_NOT_CONNECTED;

HANDLE sim_handle_value(unsigned long serial);
bool sim_is_machine_handle(HANDLE handle);
// The open handle, or null (also for a closed one, which is noted as misuse).
SimHandle *sim_find_handle(HANDLE handle, const char *call);

SimLockable *sim_object_lock(SimObjectKind kind, int index);
int sim_object_disk(SimObjectKind kind, int index);
bool sim_object_present(SimObjectKind kind, int index);
bool sim_volume_present(const SimVolume &volume);
bool sim_object_region(SimObjectKind kind, int index, SimRegion *region);
SimDisk *sim_find_disk(int number);
void sim_pull(SimDisk *disk);
// Returns once no hold keeps transfers on the handle's disk waiting.
void sim_wait_while_held(HANDLE handle);
// A data open mounts a dismounted volume again, unless it is locked or offline.
void sim_mount_again(SimVolume *volume);

void sim_content_read(SimDisk *disk, uint64_t offset, void *buffer, size_t length);
void sim_content_write(SimDisk *disk, uint64_t offset, const void *buffer, size_t length);
bool sim_content_use_file(SimDisk *disk, const wchar_t *path);
void sim_content_free(SimDisk *disk);
size_t sim_content_page_count(const SimDisk *disk);

// Stamps the virtual time, appends and calls the hook.
void sim_record(SimEvent event);
SimEvent sim_handle_event(SimEventKind kind, const SimHandle &handle);
void sim_note_misuse(const std::string &finding);

bool sim_text_contains(const std::wstring &text, const wchar_t *part);

HANDLE WINAPI sim_CreateFileW(LPCWSTR path, DWORD access, DWORD share,
                              LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                              HANDLE template_file);
BOOL WINAPI sim_CloseHandle(HANDLE handle);
BOOL WINAPI sim_DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                                DWORD out_size, LPDWORD returned, LPOVERLAPPED overlapped);
BOOL WINAPI sim_ReadFile(HANDLE handle, LPVOID buffer, DWORD length, LPDWORD done,
                         LPOVERLAPPED overlapped);
BOOL WINAPI sim_WriteFile(HANDLE handle, LPCVOID buffer, DWORD length, LPDWORD done,
                          LPOVERLAPPED overlapped);
BOOL WINAPI sim_SetFilePointerEx(HANDLE handle, LARGE_INTEGER distance, PLARGE_INTEGER result,
                                 DWORD method);
BOOL WINAPI sim_FlushFileBuffers(HANDLE handle);
HANDLE WINAPI sim_FindFirstVolumeW(LPWSTR name, DWORD capacity);
BOOL WINAPI sim_FindNextVolumeW(HANDLE search, LPWSTR name, DWORD capacity);
BOOL WINAPI sim_FindVolumeClose(HANDLE search);
DWORD WINAPI sim_GetLogicalDrives(void);
UINT WINAPI sim_GetDriveTypeW(LPCWSTR root);
UINT WINAPI sim_GetWindowsDirectoryW(LPWSTR buffer, UINT capacity);
BOOL WINAPI sim_GetVolumePathNameW(LPCWSTR path, LPWSTR mount_point, DWORD capacity);
BOOL WINAPI sim_GetVolumeNameForVolumeMountPointW(LPCWSTR mount_point, LPWSTR name,
                                                  DWORD capacity);
void WINAPI sim_Sleep(DWORD milliseconds);
DWORD WINAPI sim_GetModuleFileNameW(HMODULE module, LPWSTR name, DWORD capacity);
HDEVINFO WINAPI sim_SetupDiGetClassDevsW(const GUID *guid, PCWSTR enumerator, HWND parent,
                                         DWORD flags);
BOOL WINAPI sim_SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA device,
                                            const GUID *guid, DWORD index,
                                            PSP_DEVICE_INTERFACE_DATA data);
BOOL WINAPI sim_SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                                 PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail,
                                                 DWORD size, PDWORD required,
                                                 PSP_DEVINFO_DATA device);
BOOL WINAPI sim_SetupDiDestroyDeviceInfoList(HDEVINFO set);
CONFIGRET WINAPI sim_CM_Get_Parent(PDEVINST parent, DEVINST node, ULONG flags);
CONFIGRET WINAPI sim_CM_Get_DevNode_Registry_PropertyW(DEVINST node, ULONG property, PULONG type,
                                                       PVOID buffer, PULONG length, ULONG flags);
CONFIGRET WINAPI sim_CM_Request_Device_EjectW(DEVINST node, PPNP_VETO_TYPE veto, LPWSTR name,
                                              ULONG name_length, ULONG flags);
