// The window's start-up time and the memory of a whole job, measured from
// outside the program as a person would see them.
//
// 1. Time from process start to the window showing its filled drive list (the
//    simulated build, one stick), against the time a minimal Win32 program
//    takes to show its first window; the rounds alternate in one run and the
//    medians are compared.
// 2. Peak private memory of the simulated build during a whole download and
//    write of an image from the local update server, sampled every 10 ms,
//    beside that of the minimal program standing idle.
// Usage: window_bench [ROUNDS] [IMAGE_MIB]
#include <windows.h>
#include <psapi.h>
#include <shlobj.h>
#include <stdio.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/net_server.h"
#include "tests/support/test_files.h"
#include "tests/support/window_driver.h"

namespace {

const wchar_t HARNESS[] = L"qvwriter-SIMULATED-DISKS-test-harness.exe";
const wchar_t MINIMAL[] = L"min_window.exe";
const DWORD WAIT_MS = 120000;

double now_ms(void)
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * (double)now.QuadPart / (double)frequency.QuadPart;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The private commit (Wine answers it as the page-file usage only).
SIZE_T private_bytes(HANDLE process)
{
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(process, (PROCESS_MEMORY_COUNTERS *)&counters, sizeof counters))
        return 0;
    return std::max(counters.PrivateUsage, counters.PagefileUsage);
}

void close_and_wait(ProgramRun *run, HWND window)
{
    PostMessageW(window, WM_CLOSE, 0, 0);
    wait_program(run, WAIT_MS);
    CloseHandle(run->process);
}

std::vector<std::wstring> harness_environment(const std::wstring &folder)
{
    return {L"QV_SIM_MACHINE=" + folder + L"\\machine.txt", L"QV_SIM_REAL_CLOCK=1"};
}

// Milliseconds until the minimal program's window shows; its idle memory.
double minimal_start(const std::wstring &folder, SIZE_T *memory)
{
    ProgramRun run = {};
    double start = now_ms();
    if (!start_program(sibling_program(MINIMAL), L"", folder, &run)) return -1;
    HWND window = NULL;
    DWORD id = GetProcessId(run.process);
    while (now_ms() - start < WAIT_MS) {
        for (HWND w = NULL; (w = FindWindowExW(NULL, w, L"QvBenchMinimalWindow", NULL));) {
            DWORD owner = 0;
            GetWindowThreadProcessId(w, &owner);
            if (owner == id && IsWindowVisible(w)) window = w;
        }
        if (window) break;
        Sleep(1);
    }
    double elapsed = now_ms() - start;
    *memory = private_bytes(run.process);
    close_and_wait(&run, window);
    return window ? elapsed : -1;
}

// Milliseconds until the program's window shows the stick in its drive list;
// `shown` gets the milliseconds until the window was first seen visible.
double program_start(const std::wstring &folder, double *shown)
{
    ProgramRun run = {};
    double start = now_ms();
    if (!start_program(sibling_program(HARNESS), L"", folder, &run, harness_environment(folder)))
        return -1;
    DWORD id = GetProcessId(run.process);
    HWND window = NULL;
    bool filled = false;
    *shown = -1;
    while (!filled && now_ms() - start < WAIT_MS) {
        if (!window) window = find_program_window(id);
        if (window && IsWindowVisible(window)) {
            if (*shown < 0) *shown = now_ms() - start;
            std::vector<std::wstring> items = list_items(window);
            filled = !items.empty() && items[0].find(L"Bench Stick") == 0;
        }
        if (!filled) Sleep(1);
    }
    double elapsed = now_ms() - start;
    close_and_wait(&run, window);
    return filled ? elapsed : -1;
}

void clear_image_cache(void)
{
    wchar_t base[MAX_PATH] = L"";
    SHGetFolderPathW(NULL, CSIDL_LOCAL_APPDATA, NULL, SHGFP_TYPE_CURRENT, base);
    std::wstring folder = std::wstring(base) + L"\\quenvar OS USB Writer";
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((folder + L"\\quenvar-os-*.iso*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        DeleteFileW((folder + L"\\" + entry.cFileName).c_str());
    } while (FindNextFileW(search, &entry));
    FindClose(search);
}

// The highest private memory seen during a whole download and write.
bool job_memory(const std::wstring &folder, unsigned long long image_bytes, SIZE_T *peak,
                SIZE_T *idle)
{
    std::string error;
    if (!net_server_acquire(&error)) {
        printf("update server: %s\n", error.c_str());
        return false;
    }
    std::string sha = net_server_publish_image("/isos/quenvar-os-2.1.iso", image_bytes, 3);
    net_server_put_signed("/updates/os-quenvar/latest.json",
                          "{\"version\": \"2.1\", \"isoUrl\": \"https://localhost:47443/isos/"
                          "quenvar-os-2.1.iso\", \"isoSha256\": \"" + sha +
                              "\", \"isoSizeBytes\": " + std::to_string(image_bytes) + "}");
    clear_image_cache();
    ProgramRun run = {};
    bool ok = start_program(sibling_program(HARNESS), L"", folder, &run,
                            harness_environment(folder));
    HWND window = NULL;
    DWORD id = ok ? GetProcessId(run.process) : 0;
    ok = ok && wait_until([&] { return (window = find_program_window(id)) != NULL; }, WAIT_MS) &&
         wait_until([&] { return control_enabled(window, 108); }, WAIT_MS);
    if (!ok) printf("no Write to press; the image line says: %ls\n", control_text(window, 103).c_str());
    *idle = ok ? private_bytes(run.process) : 0;
    HWND question = ok && press(window, 108) ? wait_for_dialog(window, WAIT_MS) : NULL;
    if (ok && !question)
        printf("Write asked nothing; the status line says: %ls\n", control_text(window, 110).c_str());
    ok = question && answer_dialog(question, IDYES);
    HWND ready = NULL;
    *peak = 0;
    double start = now_ms();
    while (ok && !ready && now_ms() - start < 10 * WAIT_MS) {
        *peak = std::max(*peak, private_bytes(run.process));
        HWND box = find_owned_dialog(window);
        if (box && box != question) ready = box;
        Sleep(10);
    }
    ok = ready && dialog_message(ready).find(L"The pen drive is ready.") == 0;
    if (!ok && ready) printf("the job failed: %ls\n", dialog_message(ready).c_str());
    if (ready) answer_dialog(ready, IDOK);
    if (window) close_and_wait(&run, window);
    net_server_release();
    return ok;
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    int rounds = argc > 1 ? _wtoi(argv[1]) : 9;
    unsigned long long image_mib = argc > 2 ? _wtoi(argv[2]) : 256;
    std::wstring folder = make_scratch_folder(L"bench-window");
    std::wstring stick = folder + L"\\stick.img";
    std::string machine =
        "windows C:\\Windows\n"
        "disk 0 bus=sata size=256G vendor=\"ATA\" product=\"System SSD\"\n"
        "volume - letter=C type=fixed disk=0 partition=1\n"
        "disk 1 bus=usb size=2G vendor=\"Bench\" product=\"Stick\" backing=\"" +
        std::string(stick.begin(), stick.end()) + "\"\n"
        "volume - letter=E type=removable disk=1 partition=1\n";
    write_whole_file(folder + L"\\machine.txt", machine);

    std::vector<double> minimal, program, program_shown;
    SIZE_T minimal_memory = 0;
    double shown = 0;
    minimal_start(folder, &minimal_memory);  // the desktop starts with the first window
    for (int round = 0; round < rounds; ++round) {
        double a = minimal_start(folder, &minimal_memory);
        double b = program_start(folder, &shown);
        if (a < 0 || b < 0) {
            printf("round %d: a window did not show\n", round + 1);
            return 1;
        }
        minimal.push_back(a);
        program.push_back(b);
        program_shown.push_back(shown);
    }
    double ratio = median(program) / median(minimal);
    printf("start-up, median of %d rounds:\n", rounds);
    printf("  minimal Win32 program, first window shown:        %8.1f ms\n", median(minimal));
    printf("  simulated build, window first seen:                %8.1f ms\n",
           median(program_shown));
    printf("  simulated build, window with its drive list filled: %8.1f ms\n", median(program));
    printf("  ratio %.2f (target <= 1.3)\n", ratio);

    SIZE_T peak = 0, idle = 0;
    if (!job_memory(folder, image_mib * 1048576ull, &peak, &idle)) return 1;
    printf("private memory, whole download and write of %llu MiB:\n", image_mib);
    printf("  minimal Win32 program, idle:                %8.1f MiB\n",
           minimal_memory / 1048576.0);
    printf("  simulated build, idle before Write:          %8.1f MiB\n", idle / 1048576.0);
    printf("  simulated build, peak during the job:        %8.1f MiB\n", peak / 1048576.0);
    printf("  the job's own peak above the minimal program: %7.1f MiB (target <= 16)\n",
           (peak - minimal_memory) / 1048576.0);
    return 0;
}
