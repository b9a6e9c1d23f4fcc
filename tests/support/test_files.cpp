#include "tests/support/test_files.h"

#include <vector>

std::wstring make_scratch_folder(const wchar_t *tag)
{
    static LONG counter;
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    wchar_t path[MAX_PATH];
    // Process ids come round again under Wine, so insist on a folder made anew.
    for (;;) {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        _snwprintf(path, MAX_PATH - 1, L"%lsqvtest-%ls-%lu-%ld-%I64x", temp, tag,
                   GetCurrentProcessId(), InterlockedIncrement(&counter), now.QuadPart);
        path[MAX_PATH - 1] = 0;
        if (CreateDirectoryW(path, NULL)) return path;
    }
}

std::string read_whole_file(const std::wstring &path)
{
    std::string bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE |
                              FILE_SHARE_DELETE, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return bytes;
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, NULL) && got > 0) bytes.append(chunk, got);
    CloseHandle(file);
    return bytes;
}

std::string read_file_range(const std::wstring &path, unsigned long long offset, size_t length)
{
    std::string bytes(length, '\0');
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return std::string();
    LARGE_INTEGER at;
    at.QuadPart = (LONGLONG)offset;
    DWORD got = 0;
    if (!SetFilePointerEx(file, at, NULL, FILE_BEGIN) ||
        !ReadFile(file, &bytes[0], (DWORD)length, &got, NULL))
        got = 0;
    CloseHandle(file);
    bytes.resize(got);
    return bytes;
}

bool write_whole_file(const std::wstring &path, const std::string &bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD done = 0;
    BOOL ok = bytes.empty() || WriteFile(file, bytes.data(), (DWORD)bytes.size(), &done, NULL);
    CloseHandle(file);
    return ok && done == bytes.size();
}

bool file_exists(const std::wstring &path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring sibling_program(const wchar_t *file_name)
{
    wchar_t self[MAX_PATH];
    DWORD length = GetModuleFileNameW(NULL, self, MAX_PATH);
    std::wstring path(self, length);
    return path.substr(0, path.find_last_of(L"\\/") + 1) + file_name;
}

// The current environment with TEMP/TMP replaced and variables added.
static std::vector<wchar_t> child_environment(const std::wstring &temp,
                                              const std::vector<std::wstring> &extra)
{
    std::vector<wchar_t> block;
    wchar_t *current = GetEnvironmentStringsW();
    for (const wchar_t *entry = current; *entry; entry += wcslen(entry) + 1) {
        bool is_temp = _wcsnicmp(entry, L"TEMP=", 5) == 0 || _wcsnicmp(entry, L"TMP=", 4) == 0;
        if (is_temp && !temp.empty()) continue;
        block.insert(block.end(), entry, entry + wcslen(entry) + 1);
    }
    FreeEnvironmentStringsW(current);
    if (!temp.empty()) {
        for (const wchar_t *name : {L"TEMP=", L"TMP="}) {
            std::wstring entry = name + temp + L"\\";
            block.insert(block.end(), entry.c_str(), entry.c_str() + entry.size() + 1);
        }
    }
    for (const std::wstring &entry : extra)
        block.insert(block.end(), entry.c_str(), entry.c_str() + entry.size() + 1);
    block.push_back(L'\0');
    return block;
}

bool start_program(const std::wstring &program, const std::wstring &arguments,
                   const std::wstring &temp, ProgramRun *run,
                   const std::vector<std::wstring> &extra_env)
{
    std::wstring command = L"\"" + program + L"\" " + arguments;
    std::vector<wchar_t> line(command.begin(), command.end());
    line.push_back(L'\0');
    std::vector<wchar_t> environment = child_environment(temp, extra_env);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(program.c_str(), line.data(), NULL, NULL, FALSE,
                        CREATE_UNICODE_ENVIRONMENT, environment.data(), NULL, &startup, &info))
        return false;
    CloseHandle(info.hThread);
    run->process = info.hProcess;
    run->exit_code = STILL_ACTIVE;
    return true;
}

bool wait_program(ProgramRun *run, DWORD timeout_ms)
{
    if (WaitForSingleObject(run->process, timeout_ms) != WAIT_OBJECT_0) {
        TerminateProcess(run->process, 99);
        WaitForSingleObject(run->process, 5000);
        CloseHandle(run->process);
        return false;
    }
    GetExitCodeProcess(run->process, &run->exit_code);
    CloseHandle(run->process);
    return true;
}

int run_program_to_end(const std::wstring &program, const std::wstring &arguments,
                       const std::wstring &temp, DWORD timeout_ms,
                       const std::vector<std::wstring> &extra_env)
{
    ProgramRun run;
    if (!start_program(program, arguments, temp, &run, extra_env)) return -2;
    if (!wait_program(&run, timeout_ms)) return -1;
    return (int)run.exit_code;
}

std::string test_pattern(size_t size, unsigned seed)
{
    std::string bytes(size, '\0');
    uint32_t state = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        state = state * 1664525u + 1013904223u;
        bytes[i] = (char)(state >> 24);
    }
    return bytes;
}
