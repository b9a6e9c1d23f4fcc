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
    ::SetupDiGetClassDevsW,
    ::SetupDiEnumDeviceInterfaces,
    ::SetupDiGetDeviceInterfaceDetailW,
    ::SetupDiDestroyDeviceInfoList,
    ::CM_Get_Parent,
    ::CM_Get_DevNode_Registry_PropertyW,
    ::CM_Request_Device_EjectW,
};

SystemSeam seam = win32_seam;
