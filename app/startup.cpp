#include "app/startup.h"

#include <shellapi.h>
#include <shlobj.h>
#include <wchar.h>

#include "app/app_info.h"
#include "app/check_mode.h"
#include "app/log.h"
#include "app/test_write.h"
#include "app/text.h"
#include "source/manifest_serial.h"
#include "ui/main_window.h"
#include "ui/status.h"

wchar_t app_folder[APP_PATH_CHARS];

void prepare_app_folder(const wchar_t *base, const wchar_t *name)
{
    format_cut(app_folder, APP_PATH_CHARS - 1, L"%ls%ls", base, name);
    CreateDirectoryW(app_folder, NULL);
    init_status_lock();
}

int parse_disk_number(const wchar_t *text)
{
    while (*text == L' ' || *text == L'\t') ++text;
    bool negative = false;
    if (*text == L'+' || *text == L'-') negative = (*text++ == L'-');
    long long value = 0;
    for (; *text >= L'0' && *text <= L'9'; ++text) {
        value = value * 10 + (*text - L'0');
        if (value > 2147483648LL) value = 2147483648LL;
    }
    if (negative) value = -value;
    if (value > 2147483647LL) value = 2147483647LL;
    return (int)value;
}

CommandLine read_command_line(int count, wchar_t **args)
{
    CommandLine line = {false, 0, NULL, false, false};
    if (count < 4) return line;
    line.check = wcscmp(args[1], L"--check") == 0;
    if (!line.check && wcscmp(args[1], L"--test-write") != 0) return line;
    line.test_write = !line.check;
    line.disk = parse_disk_number(args[2]);
    line.image = args[3];
    line.legacy_locks = line.test_write && count >= 5 && wcscmp(args[4], L"--legacy-locks") == 0;
    return line;
}

void apply_test_write_options(const CommandLine &line)
{
    if (line.legacy_locks) SetEnvironmentVariableW(L"QV_NO_PARTITION_LOCK", L"1");
}

// Both headless forms: the temporary-files folder, no mutex, no window.
static int run_headless_form(const CommandLine &line)
{
    apply_test_write_options(line);
    wchar_t temp[APP_PATH_CHARS + 1] = L"";
    GetTempPathW(APP_PATH_CHARS, temp);
    prepare_app_folder(temp, QV_TEST_FOLDER_NAME);
    if (line.check) return run_check(line.disk, line.image);
    return run_test_write(line.disk, line.image);
}

// True when another instance owns the mutex; its window is brought forward.
static bool another_instance_runs(void)
{
    HANDLE mutex = CreateMutexW(NULL, TRUE, QV_MUTEX_NAME);
    if (!mutex || GetLastError() != ERROR_ALREADY_EXISTS) return false;
    HWND first = FindWindowW(QV_WINDOW_CLASS, NULL);
    if (first) {
        ShowWindow(first, SW_RESTORE);
        SetForegroundWindow(first);
    }
    return true;
}

static void prepare_normal_app_folder(void)
{
    wchar_t base[APP_PATH_CHARS + 1] = L"";
    if (FAILED(SHGetFolderPathW(NULL, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, NULL,
                                SHGFP_TYPE_CURRENT, base))) {
        base[0] = L'\0';
        GetTempPathW(APP_PATH_CHARS, base);
    }
    prepare_app_folder(base, QV_APP_FOLDER_NAME);
}

int run_program(HINSTANCE instance, int show)
{
    int count = 0;
    wchar_t **args = CommandLineToArgvW(GetCommandLineW(), &count);
    if (args) {
        CommandLine line = read_command_line(count, args);
        if (line.test_write || line.check) {
            int code = run_headless_form(line);
            LocalFree(args);
            return code;
        }
        LocalFree(args);
    }
    // The mutex handle is held until the process ends.
    if (another_instance_runs()) return 0;
    prepare_normal_app_folder();
    // The current directory holds its volume open: on a stick, Windows would
    // refuse to lock it or to remove it safely.
    SetCurrentDirectoryW(app_folder);
    write_log(L"---- %ls %ls started", QV_PROGRAM_TITLE, QV_VERSION_TEXT);
    load_manifest_serial();
    return run_main_window(instance, show);
}
