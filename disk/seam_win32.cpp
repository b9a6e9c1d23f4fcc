#include "disk/seam.h"

const SystemSeam win32_seam = {
    ::CreateFileW,
    ::DeviceIoControl,
    ::ReadFile,
    ::WriteFile,
    ::SetFilePointerEx,
    ::FlushFileBuffers,
    ::CloseHandle,
    ::FindFirstVolumeW,
    ::FindNextVolumeW,
    ::FindVolumeClose,
    ::GetLogicalDrives,
    ::GetDriveTypeW,
    ::GetWindowsDirectoryW,
    ::GetVolumePathNameW,
    ::GetVolumeNameForVolumeMountPointW,
    ::Sleep,
    ::GetTickCount,
    ::GetDiskFreeSpaceExW,
    ::SetThreadExecutionState,
    ::GetModuleFileNameW,
};

SystemSeam seam = win32_seam;
