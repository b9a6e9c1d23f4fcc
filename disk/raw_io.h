// Moving one block to or from a raw disk, with logged retries.
#pragma once
#include <windows.h>
#include <stdint.h>

enum { TRANSFER_ATTEMPTS = 3, TRANSFER_RETRY_DELAY_MS = 700 };

// Reads or writes `length` bytes at byte `offset` of the open disk, making up
// to three attempts. True when the whole length moved. `error` receives the
// error of each failed attempt, so after false it holds the last one; it is
// never 0 after a failure. The caller keeps offsets, lengths and the buffer
// aligned as its handle requires.
bool transfer_with_retry(HANDLE disk, bool write, uint64_t offset, void *buffer, DWORD length,
                         DWORD *error);
