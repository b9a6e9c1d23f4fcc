// Commands of the Linux machine that runs Wine, started from a test: the
// project's own tools (tools/publish-image) are Linux programs.
#pragma once
#include <windows.h>

#include <string>

// This source tree's folder, as the Linux machine names it.
std::string host_source_folder(void);
// The Linux name of a Windows path, through Wine's own mapping; empty when
// there is none.
std::string host_path(const std::wstring &windows_path);
// `text` in single quotes for /bin/sh.
std::string host_quote(const std::string &text);

// Closes what CreateProcess gave back for a Linux program. Wine gives no
// process handle and leaves stray values in the rest: a stray "thread handle"
// closed would close some other handle of the test (seen as the 32-bit form's
// registry root vanishing), so nothing is closed without a process handle.
void release_started_program(PROCESS_INFORMATION *started);

// Runs `command` with /bin/sh in `folder` (a Windows path, where the command
// also leaves its output for a moment) and waits up to `timeout_ms` for it.
// Returns its exit code, or -1 when it could not be started or did not end in
// time; *output receives what it wrote to stdout and stderr.
int run_host_command(const std::string &command, const std::wstring &folder,
                     std::string *output, DWORD timeout_ms = 120000);
