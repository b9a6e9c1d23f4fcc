// The seam between the program and the machine's disks, volumes and clock.
//
// Every raw-disk, volume and clock call of the program goes through `seam`,
// and so does the query of the program's own file name.
// The release build binds each entry straight to the Win32 function of the
// same name (disk/seam_win32.cpp); the test build rebinds the table to a
// simulated machine and a virtual clock. No logic lives here.
//
// Ordinary files (the image, the log, the cache) do not go through the seam;
// only the free-space query of the cache's volume does.
#pragma once
#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>

struct SystemSeam {
    // Device opens (\\.\PhysicalDriveN, \\.\X:, volume names, GLOBALROOT paths)
    // and the calls made on device handles.
    HANDLE (WINAPI *CreateFileW)(LPCWSTR path, DWORD access, DWORD share,
                                 LPSECURITY_ATTRIBUTES security, DWORD disposition,
                                 DWORD flags, HANDLE template_file);
    BOOL (WINAPI *DeviceIoControl)(HANDLE device, DWORD code, LPVOID in, DWORD in_size,
                                   LPVOID out, DWORD out_size, LPDWORD returned,
                                   LPOVERLAPPED overlapped);
    BOOL (WINAPI *ReadFile)(HANDLE device, LPVOID buffer, DWORD length, LPDWORD done,
                            LPOVERLAPPED overlapped);
    BOOL (WINAPI *WriteFile)(HANDLE device, LPCVOID buffer, DWORD length, LPDWORD done,
                             LPOVERLAPPED overlapped);
    BOOL (WINAPI *SetFilePointerEx)(HANDLE device, LARGE_INTEGER distance,
                                    PLARGE_INTEGER new_position, DWORD method);
    BOOL (WINAPI *FlushFileBuffers)(HANDLE device);
    BOOL (WINAPI *CloseHandle)(HANDLE device);

    // Volumes and drive letters.
    HANDLE (WINAPI *FindFirstVolumeW)(LPWSTR name, DWORD capacity);
    BOOL (WINAPI *FindNextVolumeW)(HANDLE search, LPWSTR name, DWORD capacity);
    BOOL (WINAPI *FindVolumeClose)(HANDLE search);
    DWORD (WINAPI *GetLogicalDrives)(void);
    UINT (WINAPI *GetDriveTypeW)(LPCWSTR root);
    UINT (WINAPI *GetWindowsDirectoryW)(LPWSTR buffer, UINT capacity);
    BOOL (WINAPI *GetVolumePathNameW)(LPCWSTR path, LPWSTR mount_point, DWORD capacity);
    BOOL (WINAPI *GetVolumeNameForVolumeMountPointW)(LPCWSTR mount_point, LPWSTR name,
                                                     DWORD capacity);

    // The clock.
    void (WINAPI *Sleep)(DWORD milliseconds);
    DWORD (WINAPI *GetTickCount)(void);

    // Free space for the image cache, and keeping the PC awake during a job.
    BOOL (WINAPI *GetDiskFreeSpaceExW)(LPCWSTR folder, PULARGE_INTEGER available_to_caller,
                                       PULARGE_INTEGER total, PULARGE_INTEGER total_free);
    EXECUTION_STATE (WINAPI *SetThreadExecutionState)(EXECUTION_STATE state);

    // The running program's own file: the disk it lies on is never written.
    DWORD (WINAPI *GetModuleFileNameW)(HMODULE module, LPWSTR name, DWORD capacity);

    // Finding the device that a disk belongs to, and ejecting it after a write.
    HDEVINFO (WINAPI *SetupDiGetClassDevsW)(const GUID *class_guid, PCWSTR enumerator,
                                            HWND parent, DWORD flags);
    BOOL (WINAPI *SetupDiEnumDeviceInterfaces)(HDEVINFO set, PSP_DEVINFO_DATA device,
                                               const GUID *class_guid, DWORD index,
                                               PSP_DEVICE_INTERFACE_DATA interface_data);
    BOOL (WINAPI *SetupDiGetDeviceInterfaceDetailW)(HDEVINFO set,
                                                    PSP_DEVICE_INTERFACE_DATA interface_data,
                                                    PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail,
                                                    DWORD detail_size, PDWORD required,
                                                    PSP_DEVINFO_DATA device);
    BOOL (WINAPI *SetupDiDestroyDeviceInfoList)(HDEVINFO set);
    CONFIGRET (WINAPI *CM_Get_Parent)(PDEVINST parent, DEVINST device, ULONG flags);
    CONFIGRET (WINAPI *CM_Get_DevNode_Registry_PropertyW)(DEVINST device, ULONG property,
                                                          PULONG type, PVOID buffer,
                                                          PULONG length, ULONG flags);
    CONFIGRET (WINAPI *CM_Request_Device_EjectW)(DEVINST device, PPNP_VETO_TYPE veto_type,
                                                 LPWSTR veto_name, ULONG name_length,
                                                 ULONG flags);
};

// The process-wide binding; starts bound to Win32.
extern SystemSeam seam;

// The Win32 binding itself, so a test can restore it.
extern const SystemSeam win32_seam;
