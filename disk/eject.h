// Ejecting a pen drive as "Safely Remove" does: the removable device that the
// disk belongs to is asked to leave, so it goes from Explorer and may be
// pulled out at once.
#pragma once
#include <windows.h>

enum { EJECT_REASON_CHARS = 400 };

// The device to eject for disk N: the disk's own device node, or the one it
// hangs on (a USB stick's USB device, a card reader), whichever Windows calls
// removable first. False when the disk is not listed or neither is removable.
bool find_removable_device(int disk_number, DWORD *device);

// Asks Windows to eject the device, with no message of its own. True when it
// went; otherwise `reason` holds the veto type and name, or the answer, for
// the log.
bool eject_device(DWORD device, wchar_t reason[EJECT_REASON_CHARS]);
