// Who a physical disk says it is: its length, its bus and a name for people.
#include "disk/disks.h"

#include <winioctl.h>
#include <string.h>

#include "app/text.h"
#include "disk/seam.h"

namespace {

enum {
    DESCRIPTOR_BYTES = 1024,
    DESCRIPTOR_FIXED_BYTES = 40,
    DEVICE_TEXT_BYTES = 64,
    JOINED_NAME_BYTES = 129,
};

// The vendor or product string at `offset` of the descriptor. The device
// chooses the offset, so the copy stops at the bytes it actually returned.
void copy_device_text(const unsigned char *answer, DWORD returned, DWORD offset,
                      char text[DEVICE_TEXT_BYTES])
{
    DWORD n = 0;
    if (offset != 0 && offset < returned) {
        while (n < DEVICE_TEXT_BYTES - 1 && offset + n < returned && answer[offset + n]) {
            unsigned char c = answer[offset + n];
            // Control bytes would break the log's one-line-per-event layout.
            text[n++] = (char)(c < 0x20 || c == 0x7F ? ' ' : c);
        }
    }
    text[n] = '\0';
}

// Removes trailing spaces in place and returns the text after leading spaces.
char *trim_spaces(char *text)
{
    size_t n = strlen(text);
    while (n > 0 && text[n - 1] == ' ') text[--n] = '\0';
    while (*text == ' ') ++text;
    return text;
}

void build_name(char *vendor_text, char *product_text, wchar_t name[DISK_NAME_CHARS])
{
    const char *vendor = trim_spaces(vendor_text);
    const char *product = trim_spaces(product_text);
    char joined[JOINED_NAME_BYTES + 1];
    size_t n = 0;
    for (const char *p = vendor; *p && n < JOINED_NAME_BYTES; ++p) joined[n++] = *p;
    if (vendor[0] && product[0] && n < JOINED_NAME_BYTES) joined[n++] = ' ';
    for (const char *p = product; *p && n < JOINED_NAME_BYTES; ++p) joined[n++] = *p;
    joined[n] = '\0';
    if (joined[0] == '\0') strcpy(joined, "USB drive");
    int length = MultiByteToWideChar(CP_UTF8, 0, joined, (int)strlen(joined), name,
                                     DISK_NAME_CHARS - 1);
    name[length > 0 ? length : 0] = L'\0';
    name[DISK_NAME_CHARS - 1] = L'\0';
}

bool query_descriptor(HANDLE disk, int *bus_type, char vendor[DEVICE_TEXT_BYTES],
                      char product[DEVICE_TEXT_BYTES])
{
    STORAGE_PROPERTY_QUERY query;
    memset(&query, 0, sizeof query);
    query.PropertyId = StorageDeviceProperty;
    query.QueryType = PropertyStandardQuery;
    union {
        STORAGE_DEVICE_DESCRIPTOR descriptor;
        unsigned char bytes[DESCRIPTOR_BYTES];
    } answer;
    memset(&answer, 0, sizeof answer);
    DWORD returned = 0;
    if (!seam.DeviceIoControl(disk, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &answer,
                              sizeof answer, &returned, NULL))
        return false;
    if (returned > sizeof answer) returned = sizeof answer;
    if (returned < DESCRIPTOR_FIXED_BYTES) return false;
    *bus_type = (int)answer.descriptor.BusType;
    copy_device_text(answer.bytes, returned, answer.descriptor.VendorIdOffset, vendor);
    copy_device_text(answer.bytes, returned, answer.descriptor.ProductIdOffset, product);
    return true;
}

bool query_length(HANDLE disk, uint64_t *size_bytes)
{
    GET_LENGTH_INFORMATION length;
    length.Length.QuadPart = 0;
    DWORD returned = 0;
    if (!seam.DeviceIoControl(disk, IOCTL_DISK_GET_LENGTH_INFO, NULL, 0, &length, sizeof length,
                              &returned, NULL))
        return false;
    if (returned < sizeof length || length.Length.QuadPart <= 0) return false;
    *size_bytes = (uint64_t)length.Length.QuadPart;
    return true;
}

}  // namespace

bool identify_open_disk(HANDLE disk, uint64_t *size_bytes, wchar_t name[DISK_NAME_CHARS],
                        int *bus_type)
{
    char vendor[DEVICE_TEXT_BYTES], product[DEVICE_TEXT_BYTES];
    if (!query_descriptor(disk, bus_type, vendor, product) || !query_length(disk, size_bytes))
        return false;
    build_name(vendor, product, name);
    return true;
}

HANDLE open_physical_disk(int disk_number, DWORD access, DWORD flags)
{
    wchar_t path[64];
    format_cut(path, 63, L"\\\\.\\PhysicalDrive%d", disk_number);
    return seam.CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                            flags, NULL);
}

bool identify_disk(int disk_number, uint64_t *size_bytes, wchar_t name[DISK_NAME_CHARS],
                   int *bus_type)
{
    HANDLE disk = open_physical_disk(disk_number, GENERIC_READ, 0);
    if (disk == INVALID_HANDLE_VALUE) return false;
    bool answered = identify_open_disk(disk, size_bytes, name, bus_type);
    seam.CloseHandle(disk);
    return answered;
}
