#include "disk/eject.h"

#include <winioctl.h>

#include "app/text.h"
#include "disk/seam.h"

enum { DETAIL_BYTES = 2048 };

// GUID_DEVINTERFACE_DISK.
static const GUID DISK_INTERFACE_CLASS = {
    0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

static const wchar_t *const VETO_NAMES[] = {
    L"unknown", L"legacy device", L"pending close", L"Windows program", L"Windows service",
    L"outstanding open", L"device", L"driver", L"illegal device request", L"insufficient power",
    L"not disableable", L"legacy driver", L"insufficient rights", L"already removed",
};

// Whether the disk interface at `path` is disk N, asked of a handle without access.
static bool interface_is_disk(const wchar_t *path, int disk_number)
{
    HANDLE disk = seam.CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                   OPEN_EXISTING, 0, NULL);
    if (disk == INVALID_HANDLE_VALUE) return false;
    STORAGE_DEVICE_NUMBER number = {};
    DWORD returned = 0;
    bool answered = seam.DeviceIoControl(disk, IOCTL_STORAGE_GET_DEVICE_NUMBER, NULL, 0, &number,
                                         sizeof number, &returned, NULL) &&
                    returned >= sizeof number;
    seam.CloseHandle(disk);
    return answered && number.DeviceType == FILE_DEVICE_DISK &&
           number.DeviceNumber == (DWORD)disk_number;
}

static bool find_disk_node(int disk_number, DEVINST *node)
{
    HDEVINFO set = seam.SetupDiGetClassDevsW(&DISK_INTERFACE_CLASS, NULL, NULL,
                                             DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return false;
    union {
        SP_DEVICE_INTERFACE_DETAIL_DATA_W detail;
        BYTE bytes[DETAIL_BYTES];
    } answer;
    bool found = false;
    for (DWORD index = 0; !found; ++index) {
        SP_DEVICE_INTERFACE_DATA interface_data = {};
        interface_data.cbSize = sizeof interface_data;
        if (!seam.SetupDiEnumDeviceInterfaces(set, NULL, &DISK_INTERFACE_CLASS, index,
                                              &interface_data))
            break;
        SP_DEVINFO_DATA device = {};
        device.cbSize = sizeof device;
        answer.detail.cbSize = sizeof answer.detail;
        if (!seam.SetupDiGetDeviceInterfaceDetailW(set, &interface_data, &answer.detail,
                                                   sizeof answer - sizeof(WCHAR), NULL, &device))
            continue;
        answer.bytes[DETAIL_BYTES - 1] = answer.bytes[DETAIL_BYTES - 2] = 0;
        found = interface_is_disk(answer.detail.DevicePath, disk_number);
        if (found) *node = device.DevInst;
    }
    seam.SetupDiDestroyDeviceInfoList(set);
    return found;
}

static bool is_removable(DEVINST node)
{
    ULONG capabilities = 0, length = sizeof capabilities;
    return seam.CM_Get_DevNode_Registry_PropertyW(node, CM_DRP_CAPABILITIES, NULL, &capabilities,
                                                  &length, 0) == CR_SUCCESS &&
           (capabilities & CM_DEVCAP_REMOVABLE) != 0;
}

bool find_removable_device(int disk_number, DWORD *device)
{
    DEVINST node = 0, parent = 0;
    if (!find_disk_node(disk_number, &node)) return false;
    if (is_removable(node)) {
        *device = node;
        return true;
    }
    // No higher: above the stick's own device are hubs and controllers, whose
    // eject takes the keyboard and every other stick with them.
    if (seam.CM_Get_Parent(&parent, node, 0) != CR_SUCCESS || !is_removable(parent)) return false;
    *device = parent;
    return true;
}

bool eject_device(DWORD device, wchar_t reason[EJECT_REASON_CHARS])
{
    PNP_VETO_TYPE veto = PNP_VetoTypeUnknown;
    wchar_t name[MAX_PATH] = L"";
    // A veto name buffer keeps Windows from showing a message of its own.
    CONFIGRET answer = seam.CM_Request_Device_EjectW(device, &veto, name, MAX_PATH, 0);
    if (answer == CR_SUCCESS) return true;
    name[MAX_PATH - 1] = L'\0';
    const wchar_t *type = (unsigned)veto < sizeof VETO_NAMES / sizeof VETO_NAMES[0]
                              ? VETO_NAMES[veto] : L"unknown";
    format_cut(reason, EJECT_REASON_CHARS - 1, L"veto %d (%ls) %ls, answer %lu", (int)veto, type,
               name[0] ? name : L"-", (unsigned long)answer);
    return false;
}
