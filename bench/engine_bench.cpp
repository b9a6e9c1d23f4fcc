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
//
// With --check, in this process on the simulated machine of MACHINE_FILE (its
// disk 1 given IMAGE's bytes and its read rate): the check of the stick
// against IMAGE, and against four images ending at a quarter, a half, three
// quarters and all of it, each against a bare loop reading the same bytes
// from the same stick, which is the drive's own read time.
// Usage: engine_bench --check MACHINE_FILE IMAGE [ROUNDS]
#include <windows.h>
#include <wincrypt.h>
#include <psapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "app/app_info.h"
#include "disk/disks.h"
#include "disk/seam.h"
#include "tests/support/sim_load.h"
#include "tests/support/sim_machine.h"
#include "writer/check.h"

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

// The drive's own time for `size` bytes: unbuffered 1 MiB reads, nothing else.
static double bare_disk_read(uint64_t size)
{
    HANDLE disk = seam.CreateFileW(L"\\\\.\\PhysicalDrive1", GENERIC_READ,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                                   FILE_FLAG_NO_BUFFERING, NULL);
    if (disk == INVALID_HANDLE_VALUE) return -1.0;
    BYTE *buffer = (BYTE *)VirtualAlloc(NULL, CHUNK, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    double start = now_seconds();
    for (uint64_t offset = 0; offset < size; offset += CHUNK) {
        LARGE_INTEGER at;
        at.QuadPart = (LONGLONG)offset;
        DWORD got = 0;
        seam.SetFilePointerEx(disk, at, NULL, FILE_BEGIN);
        seam.ReadFile(disk, buffer, CHUNK, &got, NULL);
    }
    double seconds = now_seconds() - start;
    VirtualFree(buffer, 0, MEM_RELEASE);
    seam.CloseHandle(disk);
    return seconds;
}

// Puts the image on disk 1 and gives back the four known images: the image's
// first quarter, half, three quarters (each less 777 bytes) and the whole, with their digests from
// contexts of their own.
static bool stick_with_image(const wchar_t *path, KnownImage images[4])
{
    HANDLE image = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (image == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size;
    GetFileSizeEx(image, &size);
    HCRYPTPROV provider = 0;
    HCRYPTHASH hashes[4];
    CryptAcquireContextW(&provider, NULL, NULL, PROV_RSA_AES, CRYPT_VERIFYCONTEXT);
    for (int i = 0; i < 4; ++i) {
        // Ending inside a chunk, where the digest is copied mid-chunk.
        images[i].size = (uint64_t)size.QuadPart / 4 * (i + 1) - 777;
        if (i == 3) images[i].size = (uint64_t)size.QuadPart;
        _snwprintf(images[i].name, KNOWN_IMAGE_NAME_CHARS - 1, L"image part %d", i + 1);
        CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hashes[i]);
    }
    BYTE *buffer = (BYTE *)VirtualAlloc(NULL, CHUNK, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    DWORD got = 0;
    for (uint64_t offset = 0; ReadFile(image, buffer, CHUNK, &got, NULL) && got > 0;
         offset += got) {
        sim_write_content(1, offset, buffer, got);
        for (int i = 0; i < 4; ++i)
            if (offset < images[i].size)
                CryptHashData(hashes[i], buffer,
                              (DWORD)(images[i].size - offset < got ? images[i].size - offset
                                                                    : got), 0);
    }
    for (int i = 0; i < 4; ++i) {
        hash_hex(hashes[i], images[i].digest);
        CryptDestroyHash(hashes[i]);
    }
    CryptReleaseContext(provider, 0);
    VirtualFree(buffer, 0, MEM_RELEASE);
    CloseHandle(image);
    return true;
}

// One timed check; negative when the stick did not prove intact.
static double timed_check(const KnownImage *images, int count)
{
    wchar_t message[MESSAGE_CHARS] = L"";
    DiskCandidate chosen = {};
    int count_listed = list_candidate_disks();
    for (int i = 0; i < count_listed; ++i)
        if (candidate_disks[i].disk_number == 1) chosen = candidate_disks[i];
    int matched = -1;
    double start = now_seconds();
    CheckVerdict verdict = check_disk(&chosen, images, count, &matched, message);
    double seconds = now_seconds() - start;
    if (verdict != CHECK_INTACT) fprintf(stderr, "check: %ls\n", message);
    return verdict == CHECK_INTACT ? seconds : -1.0;
}

static int check_bench(int argc, wchar_t **argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: engine_bench --check MACHINE IMAGE [ROUNDS]\n");
        return 2;
    }
    int rounds = argc > 4 ? _wtoi(argv[4]) : 3;
    wchar_t temp[MAX_PATH] = L"";
    GetTempPathW(MAX_PATH, temp);
    prepare_app_folder(temp, L"qvwriter-bench");
    sim_reset();
    if (!sim_load_machine_file(argv[2]) || !sim_disk(1)) {
        fprintf(stderr, "machine: %s\n", sim_last_load_error().c_str());
        return 2;
    }
    sim_install();
    sim_use_real_clock();
    KnownImage images[4] = {};
    if (!stick_with_image(argv[3], images)) return 2;
    double rate = (double)sim_disk(1)->read_rate / 1048576.0;
    double best_drive = 1e30, best_one = 1e30, best_four = 1e30;
    for (int round = 1; round <= rounds; ++round) {
        double drive = bare_disk_read(images[3].size);
        double one = timed_check(&images[3], 1);
        double four = timed_check(images, 4);
        if (drive < 0 || one < 0 || four < 0) return 1;
        printf("round %d: drive %.3f s, check against one image %.3f s, against four %.3f s\n",
               round, drive, one, four);
        if (drive < best_drive) best_drive = drive;
        if (one < best_one) best_one = one;
        if (four < best_four) best_four = four;
    }
    double megabytes = (double)images[3].size / 1048576.0;
    printf("check of %.0f MiB at %.0f MB/s read (%.3f s by the rate): drive's own read time "
           "%.3f s (best of %d)\n", megabytes, rate, megabytes / rate, best_drive, rounds);
    printf("check time / drive's own read time: one image %.3f, four images %.3f\n",
           best_one / best_drive, best_four / best_drive);
    printf("check against four images / against one: %.3f\n", best_four / best_one);
    sim_uninstall();
    return 0;
}

int wmain(int argc, wchar_t **argv)
{
    if (argc > 1 && wcscmp(argv[1], L"--drive") == 0) return drive_bench(argc, argv);
    if (argc > 1 && wcscmp(argv[1], L"--check") == 0) return check_bench(argc, argv);
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
