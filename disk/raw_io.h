// Moving one block to or from a raw disk, with logged retries.
#pragma once
#include <windows.h>
#include <stdint.h>

enum { TRANSFER_ATTEMPTS = 3, TRANSFER_RETRY_DELAY_MS = 700, PAUSE_SLICE_MS = 250 };

// Reads or writes `length` bytes at byte `offset` of the open disk, making up
// to three attempts. True when the whole length moved. `error` receives the
// error of each failed attempt, so after false it holds the last one; it is
// never 0 after a failure. The caller keeps offsets, lengths and the buffer
// aligned as its handle requires. When `stop_requested` is given and says so
// around a pause, the transfer gives up at once with ERROR_CANCELLED.
bool transfer_with_retry(HANDLE disk, bool write, uint64_t offset, void *buffer, DWORD length,
                         DWORD *error, bool (*stop_requested)(void) = NULL);

// Sleeps `milliseconds` unless `stop_requested` (may be null) says so before;
// with it, in slices of at most PAUSE_SLICE_MS read between, so a stop is
// answered within one slice. False when it said so, so nothing follows a stop.
bool pause_unless_stopped(DWORD milliseconds, bool (*stop_requested)(void));
