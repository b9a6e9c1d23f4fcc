// The machine's device tree, as far as an eject needs it: one disk interface
// per present disk, the disk's device node under a removable USB device, and
// the eject request, which Windows refuses while any handle is open on the
// disk or its volumes.
#include "tests/support/sim_state.h"

#include <stdio.h>

namespace {

const DEVINST DISK_NODE = 0x1000, USB_NODE = 0x2000, HUB_NODE = 0x4000, ROOT_NODE = 1;
const HDEVINFO DEVICE_LIST = (HDEVINFO)(uintptr_t)0x5E70;

std::wstring interface_path(int disk)
{
    return L"\\\\?\\usbstor#disk&sim&" + std::to_wstring(disk) +
           L"#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
}

std::wstring device_id(DEVINST node)
{
    int disk = (int)(node & 0xFFF);
    return (node & USB_NODE ? L"USB\\VID_5157&PID_0001\\" : L"USBSTOR\\DISK&VEN_SIM\\") +
           std::to_wstring(disk);
}

bool handle_open_on(int disk)
{
    for (auto &entry : sim_machine().handles)
        if (entry.second.kind != SIM_OBJ_SEARCH &&
            sim_object_disk(entry.second.kind, entry.second.index) == disk)
            return true;
    return false;
}

// What a device that leaves takes with it: its volumes are gone, so neither
// their locks nor their offline state outlive it.
void remove_device(SimDisk *disk)
{
    sim_pull(disk);
    disk->ejects++;
    for (auto &volume : sim_machine().volumes)
        for (const SimExtent &extent : volume->extents)
            if (extent.disk == disk->number) volume->lock.offline = false;
}

void record_eject(DEVINST node, CONFIGRET answer)
{
    SimEvent event;
    event.kind = SIM_EJECT;
    event.path = device_id(node);
    event.disk = (int)(node & 0xFFF);
    event.ok = answer == CR_SUCCESS;
    event.error = answer;
    sim_record(event);
}

}  // namespace

HDEVINFO WINAPI sim_SetupDiGetClassDevsW(const GUID *, PCWSTR, HWND, DWORD)
{
    SimMachine &m = sim_machine();
    SimGuard guard(m.mutex);
    m.listed_disks.clear();
    for (auto &entry : m.disks)
        if (entry.second->present) m.listed_disks.push_back(entry.first);
    m.device_lists_open++;
    return DEVICE_LIST;
}

BOOL WINAPI sim_SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA, const GUID *guid,
                                            DWORD index, PSP_DEVICE_INTERFACE_DATA data)
{
    SimMachine &m = sim_machine();
    SimGuard guard(m.mutex);
    if (set != DEVICE_LIST || index >= m.listed_disks.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    data->InterfaceClassGuid = *guid;
    data->Flags = SPINT_ACTIVE;
    data->Reserved = (ULONG_PTR)m.listed_disks[index];
    return TRUE;
}

BOOL WINAPI sim_SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                                 PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail,
                                                 DWORD size, PDWORD required,
                                                 PSP_DEVINFO_DATA device)
{
    std::wstring path = interface_path((int)data->Reserved);
    DWORD needed = (DWORD)(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                           (path.size() + 1) * sizeof(WCHAR));
    if (required) *required = needed;
    if (set != DEVICE_LIST || !detail || size < needed ||
        detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
        SetLastError(detail && size >= needed ? ERROR_INVALID_USER_BUFFER
                                              : ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    wcscpy(detail->DevicePath, path.c_str());
    if (device) device->DevInst = DISK_NODE + (DEVINST)data->Reserved;
    return TRUE;
}

BOOL WINAPI sim_SetupDiDestroyDeviceInfoList(HDEVINFO set)
{
    SimMachine &m = sim_machine();
    SimGuard guard(m.mutex);
    if (set != DEVICE_LIST || m.device_lists_open == 0) {
        sim_note_misuse("SetupDiDestroyDeviceInfoList on a list not open");
        return FALSE;
    }
    m.device_lists_open--;
    return TRUE;
}

CONFIGRET WINAPI sim_CM_Get_Parent(PDEVINST parent, DEVINST node, ULONG)
{
    if (node & DISK_NODE) *parent = USB_NODE + (node & 0xFFF);
    else if (node & USB_NODE) *parent = HUB_NODE + (node & 0xFFF);
    else if (node & HUB_NODE) *parent = ROOT_NODE;
    else return CR_NO_SUCH_DEVNODE;
    return CR_SUCCESS;
}

CONFIGRET WINAPI sim_CM_Get_DevNode_Registry_PropertyW(DEVINST node, ULONG property, PULONG type,
                                                       PVOID buffer, PULONG length, ULONG)
{
    if (property != CM_DRP_CAPABILITIES || !buffer || *length < sizeof(ULONG))
        return CR_INVALID_DATA;
    SimGuard guard(sim_machine().mutex);
    SimDisk *disk = sim_find_disk((int)(node & 0xFFF));
    DEVINST removable = disk && disk->removable_hub ? HUB_NODE : USB_NODE;
    *(ULONG *)buffer = node & removable ? CM_DEVCAP_REMOVABLE : 0;
    if (type) *type = REG_DWORD;
    *length = sizeof(ULONG);
    return CR_SUCCESS;
}

CONFIGRET WINAPI sim_CM_Request_Device_EjectW(DEVINST node, PPNP_VETO_TYPE veto, LPWSTR name,
                                              ULONG name_length, ULONG)
{
    SimMachine &m = sim_machine();
    SimGuard guard(m.mutex);
    SimDisk *disk = node & USB_NODE ? sim_find_disk((int)(node & 0xFFF)) : nullptr;
    CONFIGRET answer = CR_SUCCESS;
    std::wstring why;
    if (!disk || !disk->present) {
        answer = CR_NO_SUCH_DEVNODE;
    } else if (handle_open_on(disk->number)) {
        answer = CR_REMOVE_VETOED;
        *veto = PNP_VetoOutstandingOpen;
        why = device_id(DISK_NODE + disk->number);
    } else if (disk->eject_veto >= 0) {
        answer = CR_REMOVE_VETOED;
        *veto = (PNP_VETO_TYPE)disk->eject_veto;
        why = disk->eject_veto_name;
    } else {
        remove_device(disk);
    }
    if (name && name_length) _snwprintf(name, name_length - 1, L"%ls", why.c_str());
    if (name && name_length) name[name_length - 1] = L'\0';
    record_eject(node, answer);
    return answer;
}
