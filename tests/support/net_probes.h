// What the network tests observe beyond the server: WinHTTP handles left open,
// and a small volume that fills up.
#pragma once
#include <stdint.h>
#include <string>

// The value the next WinHTTP handle would get. Wine hands out the lowest free
// slot of its handle table, so the value after an operation equals the value
// before it exactly when the operation left no handle open.
uintptr_t net_next_winhttp_handle(void);

// A fresh folder on a Linux tmpfs of `bytes` bytes, seen through Wine's Z:
// drive. Mounting needs root; false with the reason when it cannot be had.
bool net_small_volume_mount(unsigned long bytes, std::wstring *folder, std::string *why);
void net_small_volume_unmount(const std::wstring &folder);
