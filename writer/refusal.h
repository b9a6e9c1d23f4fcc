// Why Windows refused a write to the pen drive, told from what the takeover
// knows of the drive's volumes.
#pragma once
#include <windows.h>

#include "disk/volumes.h"

// A lock switch on the stick or its card, or a setting of this PC.
extern const wchar_t WRITE_PROTECTED_SENTENCE[];

// For a write refused as write-protected or with access denied: true, with
// the sentence in `message` (768 characters) and the case in the log. Access
// denied names a volume of the drive that stayed mounted, or else what is
// left when every volume was released.
bool explain_refused_write(DWORD error, const HeldVolumes *held, wchar_t *message);
