// Small helpers for tests: scratch folders, whole-file reads and writes, and
// starting the program (or a sibling build) as a real process.
#pragma once
#include <windows.h>
#include <string>
#include <vector>

// A new empty folder under the temporary-files folder, unique per call.
std::wstring make_scratch_folder(const wchar_t *tag);
std::string read_whole_file(const std::wstring &path);
// Bytes [offset, offset + length) of a file; shorter where the file ends.
std::string read_file_range(const std::wstring &path, unsigned long long offset, size_t length);
bool write_whole_file(const std::wstring &path, const std::string &bytes);
bool file_exists(const std::wstring &path);
// `size` bytes of a repeatable pseudo-random pattern; other seeds give other bytes.
std::string test_pattern(size_t size, unsigned seed);

// Full path of an executable that sits beside the running test program.
std::wstring sibling_program(const wchar_t *file_name);

struct ProgramRun {
    HANDLE process;
    DWORD exit_code;
};

// Starts `program` with `arguments` (already quoted as needed). When `temp` is
// not empty, the child's TEMP and TMP point there; `extra_env` adds NAME=VALUE
// entries.
bool start_program(const std::wstring &program, const std::wstring &arguments,
                   const std::wstring &temp, ProgramRun *run,
                   const std::vector<std::wstring> &extra_env = {});
// Waits up to timeout_ms; false (and the process killed) on a time-out.
bool wait_program(ProgramRun *run, DWORD timeout_ms);
// Start, wait and close in one; returns the exit code or -1 on a time-out.
int run_program_to_end(const std::wstring &program, const std::wstring &arguments,
                       const std::wstring &temp, DWORD timeout_ms = 60000,
                       const std::vector<std::wstring> &extra_env = {});
