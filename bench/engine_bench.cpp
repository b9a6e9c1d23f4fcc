// The write-and-verify engine (the simulated build writing to a file-backed
// stick) against a bare loop doing the same work with the same calls in the
// same run: read the image in 1 MiB chunks, hash, write; read back, hash.
// Usage: engine_bench HARNESS MACHINE_FILE IMAGE STICK_FILE [ROUNDS]
//
// With --drive, the stick of MACHINE_FILE is limited to WRITE_MBS and
// READ_MBS, and the engine is measured against the drive's own time for the
// image: its size at the write rate plus its size at the read rate.
// Usage: engine_bench --drive WRITE_MBS READ_MBS HARNESS MACHINE_FILE IMAGE
//        [ROUNDS [ONE_CHUNK_IMAGE]]
#include <windows.h>
#include <wincrypt.h>
#include <psapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const DWORD CHUNK = 1048576;

static double now_seconds(void)
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return (double)now.QuadPart / (double)frequency.QuadPart;
}

static void hash_hex(HCRYPTHASH hash, char text[65])
{
    BYTE value[32];
    DWORD length = sizeof value;
    CryptGetHashParam(hash, HP_HASHVAL, value, &length, 0);
    for (int i = 0; i < 32; ++i) sprintf(text + 2 * i, "%02x", value[i]);
}

static bool bare_loop(const wchar_t *image_path, const wchar_t *stick_path, char digest[65])
{
    HANDLE image = CreateFileW(image_path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                               FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    HANDLE stick = CreateFileW(stick_path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL,
                               OPEN_ALWAYS, 0, NULL);
    if (image == INVALID_HANDLE_VALUE || stick == INVALID_HANDLE_VALUE) return false;
    BYTE *buffer = (BYTE *)VirtualAlloc(NULL, CHUNK, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    CryptAcquireContextW(&provider, NULL, NULL, PROV_RSA_AES, CRYPT_VERIFYCONTEXT);
    CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash);
    DWORD got = 0, done = 0;
    unsigned long long offset = 0;
    while (ReadFile(image, buffer, CHUNK, &got, NULL) && got > 0) {
        CryptHashData(hash, buffer, got, 0);
        LARGE_INTEGER at;
        at.QuadPart = (LONGLONG)offset;
        SetFilePointerEx(stick, at, NULL, FILE_BEGIN);
        WriteFile(stick, buffer, (got + 511) / 512 * 512, &done, NULL);
        offset += got;
    }
    FlushFileBuffers(stick);
    char written[65];
    hash_hex(hash, written);
    CryptDestroyHash(hash);
    CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash);
    unsigned long long size = offset;
    for (offset = 0; offset < size; offset += CHUNK) {
        DWORD length = size - offset < CHUNK ? (DWORD)(size - offset) : CHUNK;
        LARGE_INTEGER at;
        at.QuadPart = (LONGLONG)offset;
        SetFilePointerEx(stick, at, NULL, FILE_BEGIN);
        ReadFile(stick, buffer, (length + 511) / 512 * 512, &got, NULL);
        CryptHashData(hash, buffer, length, 0);
    }
    hash_hex(hash, digest);
    CryptDestroyHash(hash);
    CryptReleaseContext(provider, 0);
    VirtualFree(buffer, 0, MEM_RELEASE);
    CloseHandle(stick);
    CloseHandle(image);
    return strcmp(written, digest) == 0;
}

// Runs the simulated build's test write; returns its exit code and peak private bytes.
static int run_engine(const wchar_t *harness, const wchar_t *image, SIZE_T *peak_private)
{
    wchar_t command[1024];
    _snwprintf(command, 1023, L"\"%ls\" --test-write 1 \"%ls\"", harness, image);
    command[1023] = 0;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(harness, command, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &info))
        return -1;
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    *peak_private = 0;
    // Sampled while it runs, in case the figures go with the process.
    while (WaitForSingleObject(info.hProcess, 50) == WAIT_TIMEOUT)
        if (GetProcessMemoryInfo(info.hProcess, &counters, sizeof counters) &&
            counters.PeakPagefileUsage > *peak_private)
            *peak_private = counters.PeakPagefileUsage;
    if (GetProcessMemoryInfo(info.hProcess, &counters, sizeof counters) &&
        counters.PeakPagefileUsage > *peak_private)
        *peak_private = counters.PeakPagefileUsage;
    DWORD code = 1;
    GetExitCodeProcess(info.hProcess, &code);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return (int)code;
}

static double file_megabytes(const wchar_t *path)
{
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &attributes)) return 0.0;
    return ((double)attributes.nFileSizeHigh * 4294967296.0 + attributes.nFileSizeLow) / 1048576.0;
}

// Best time of `rounds` runs of the simulated build's test write of `image`.
static double best_engine_run(const wchar_t *harness, const wchar_t *image, int rounds,
                              SIZE_T *peak)
{
    double best = 1e30;
    for (int round = 1; round <= rounds; ++round) {
        double start = now_seconds();
        SIZE_T round_peak = 0;
        int code = run_engine(harness, image, &round_peak);
        double engine = now_seconds() - start;
        if (code != 0) {
            fprintf(stderr, "the engine run failed with exit code %d\n", code);
            return -1.0;
        }
        if (round_peak > *peak) *peak = round_peak;
        if (engine < best) best = engine;
        printf("round %d: engine %.2f s\n", round, engine);
    }
    return best;
}

// The engine on a rate-limited stick against the drive's own time; with a
// one-chunk image, also the run's fixed cost (process, takeover, clearing)
// and the engine's time without it.
static int drive_bench(int argc, wchar_t **argv)
{
    if (argc < 7) {
        fprintf(stderr, "usage: engine_bench --drive WRITE_MBS READ_MBS HARNESS MACHINE IMAGE "
                        "[ROUNDS [ONE_CHUNK_IMAGE]]\n");
        return 2;
    }
    double write_rate = _wtof(argv[2]), read_rate = _wtof(argv[3]);
    int rounds = argc > 7 ? _wtoi(argv[7]) : 3;
    SetEnvironmentVariableW(L"QV_SIM_MACHINE", argv[5]);
    SetEnvironmentVariableW(L"QV_SIM_REAL_CLOCK", L"1");
    double megabytes = file_megabytes(argv[6]);
    double drive = megabytes / write_rate + megabytes / read_rate;
    SIZE_T peak = 0;
    double best = best_engine_run(argv[4], argv[6], rounds, &peak);
    if (best < 0) return 1;
    printf("image %.0f MiB, stick %.0f MB/s write, %.0f MB/s read: drive's own time %.2f s, "
           "engine %.2f s (best of %d)\n", megabytes, write_rate, read_rate, drive, best, rounds);
    printf("engine time / drive's own time: %.3f\n", best / drive);
    printf("engine peak private memory: %.1f MiB\n", (double)peak / 1048576.0);
    if (argc <= 8) return 0;
    double fixed = best_engine_run(argv[4], argv[8], rounds, &peak);
    if (fixed < 0) return 1;
    double one_chunk = file_megabytes(argv[8]);
    fixed -= one_chunk / write_rate + one_chunk / read_rate;
    printf("fixed cost of a run (one-chunk image less its transfers): %.2f s\n", fixed);
    printf("engine time without it / drive's own time: %.3f\n", (best - fixed) / drive);
    return 0;
}

int wmain(int argc, wchar_t **argv)
{
    if (argc > 1 && wcscmp(argv[1], L"--drive") == 0) return drive_bench(argc, argv);
    if (argc < 5) {
        fprintf(stderr, "usage: engine_bench HARNESS MACHINE IMAGE STICK [ROUNDS]\n");
        return 2;
    }
    int rounds = argc > 5 ? _wtoi(argv[5]) : 2;
    SetEnvironmentVariableW(L"QV_SIM_MACHINE", argv[2]);
    SetEnvironmentVariableW(L"QV_SIM_REAL_CLOCK", L"1");
    double megabytes = file_megabytes(argv[3]);
    double best_bare = 1e30, best_engine = 1e30;
    SIZE_T peak = 0;
    for (int round = 1; round <= rounds; ++round) {
        char digest[65];
        double start = now_seconds();
        if (!bare_loop(argv[3], argv[4], digest)) return 1;
        double bare = now_seconds() - start;
        start = now_seconds();
        SIZE_T round_peak = 0;
        int code = run_engine(argv[1], argv[3], &round_peak);
        double engine = now_seconds() - start;
        if (code != 0) {
            fprintf(stderr, "the engine run failed with exit code %d\n", code);
            return 1;
        }
        if (round_peak > peak) peak = round_peak;
        if (bare < best_bare) best_bare = bare;
        if (engine < best_engine) best_engine = engine;
        printf("round %d: bare loop %.2f s, engine %.2f s\n", round, bare, engine);
    }
    printf("image %.0f MiB: engine %.1f MB/s, bare loop %.1f MB/s\n", megabytes,
           megabytes / best_engine, megabytes / best_bare);
    printf("engine time / bare loop time (best of %d): %.3f\n", rounds, best_engine / best_bare);
    printf("engine peak private memory: %.1f MiB\n", (double)peak / 1048576.0);
    return 0;
}
