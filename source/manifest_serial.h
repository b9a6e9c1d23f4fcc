// The highest manifest serial that this PC has accepted, kept in the
// application folder, so that a signed manifest older than one already seen
// (a rollback, or a cache still serving last month's) is never taken.
#pragma once
#include <stdint.h>

#define MANIFEST_SERIAL_FILE L"manifest-serial.txt"

// Reads the kept serial at start-up. A missing or damaged file counts as none
// seen and is logged once; nothing here stops the program.
void load_manifest_serial(void);

// True with the highest serial accepted so far; false when none ever was.
bool manifest_serial_seen(uint64_t *highest);

// After a manifest with this serial was accepted: kept when it is higher than
// the one seen, written to a temporary file that then replaces the kept one.
void keep_manifest_serial(uint64_t serial);
