// Whole jobs on a simulated pen drive against the local update server, with a
// stand-in window that records what the job thread posts and answers its questions.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "disk/seam.h"
#include "source/cache_names.h"
#include "source/check_job.h"
#include "source/job.h"
#include "source/manifest.h"
#include "source/manifest_signature.h"
#include "source/startup_check.h"
#include "tests/support/net_server.h"
#include "tests/support/sim_fixture.h"
#include "ui/status.h"

namespace {

const int STICK = 1;
const char IMAGE_URL_PATH[] = "/img/quenvar-os-2.1.iso";
const unsigned long long IMAGE_SIZE = 2 * 1048576 + 4321;
const uint64_t GIB = 1073741824ULL;

struct Posted {
    UINT message;
    WPARAM wparam;
    std::wstring status;  // status_text as the window would read it then
};

std::vector<Posted> posted;
std::vector<std::wstring> questions;
LRESULT answer = IDNO;
std::vector<EXECUTION_STATE> execution_states;
ULONGLONG free_bytes = ~0ULL;
bool free_space_query_fails = false;
std::wstring stop_when_status_starts;
std::wstring room_holder;  // a cached file whose removal frees 4 GiB
std::function<void(const std::wstring &)> on_status_posted;

LRESULT CALLBACK recording_window(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == WM_APP_ASK) {
        questions.push_back((const wchar_t *)lparam);
        return answer;
    }
    if (message >= WM_APP_STATUS && message <= WM_APP_MANIFEST_DONE) {
        wchar_t text[STATUS_TEXT_CHARS];
        int progress;
        read_status(text, STATUS_TEXT_CHARS, &progress);
        posted.push_back({message, wparam, text});
        if (message == WM_APP_STATUS && on_status_posted) on_status_posted(text);
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

BOOL WINAPI scripted_free_space(LPCWSTR, PULARGE_INTEGER available, PULARGE_INTEGER,
                                PULARGE_INTEGER)
{
    available->QuadPart = free_bytes;
    if (!room_holder.empty() && !file_exists(room_holder)) available->QuadPart += 4 * GIB;
    return !free_space_query_fails;
}

EXECUTION_STATE WINAPI recorded_execution_state(EXECUTION_STATE state)
{
    execution_states.push_back(state);
    return 0;
}

// Stops the job once the status line shows the chosen step.
DWORD WINAPI stopping_tick_count(void)
{
    wchar_t text[STATUS_TEXT_CHARS];
    int progress;
    read_status(text, STATUS_TEXT_CHARS, &progress);
    if (!stop_when_status_starts.empty() &&
        wcsncmp(text, stop_when_status_starts.c_str(), stop_when_status_starts.size()) == 0)
        set_cancel_flag(1);
    return virtual_clock_tick_count();
}

struct JobTest : SimMachineTest {
    std::string sha;
    std::wstring image, part, sidecar;
    HWND window = NULL;

    void SetUp() override
    {
        SimMachineTest::SetUp();
        std::string error;
        ASSERT_TRUE(net_server_acquire(&error)) << error;
        sha = net_server_publish_image(IMAGE_URL_PATH, IMAGE_SIZE);
        load_manifest(IMAGE_SIZE);
        image = cache_path(CACHE_IMAGE_SUFFIX);
        part = cache_path(CACHE_PART_SUFFIX);
        sidecar = cache_path(CACHE_SIDECAR_SUFFIX);
        add_windows_disk();
        sim_add_disk(STICK, BusTypeUsb, GIB, "Quenvar ", "Stick    ");
        sim_add_partition_volume(STICK, 1, L'E');
        chosen_disk = {};
        chosen_disk.disk_number = STICK;
        chosen_disk.size_bytes = GIB;
        wcscpy(chosen_disk.name, L"Quenvar Stick");
        local_image_path[0] = L'\0';
        seam.GetDiskFreeSpaceExW = scripted_free_space;
        seam.SetThreadExecutionState = recorded_execution_state;
        seam.GetTickCount = stopping_tick_count;
        free_bytes = ~0ULL;
        free_space_query_fails = false;
        stop_when_status_starts.clear();
        answer = IDNO;
        WNDCLASSW window_class = {};
        window_class.lpfnWndProc = recording_window;
        window_class.lpszClassName = L"QvJobTestWindow";
        RegisterClassW(&window_class);
        window = CreateWindowW(L"QvJobTestWindow", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL,
                               NULL, NULL);
        main_window = window;
    }

    void TearDown() override
    {
        main_window = NULL;
        DestroyWindow(window);
        on_status_posted = nullptr;
        room_holder.clear();
        startup_check_ends();
        set_cancel_flag(0);
        local_image_path[0] = L'\0';
        net_server_release();
        SimMachineTest::TearDown();
    }

    void load_manifest(unsigned long long size)
    {
        ZeroMemory(&manifest_info, sizeof manifest_info);
        manifest_info.loaded = 1;
        wcscpy(manifest_info.version, L"2.1");
        wcscpy(manifest_info.iso_url, net_server_https_url(IMAGE_URL_PATH).c_str());
        strcpy(manifest_info.iso_sha256, sha.c_str());
        manifest_info.iso_size = size;
    }

    std::wstring cache_path(const wchar_t *suffix)
    {
        wchar_t path[APP_PATH_CHARS];
        build_cache_path(path, L"2.1", suffix);
        return path;
    }

    std::string published(unsigned long long offset = 0, unsigned long long count = IMAGE_SIZE)
    {
        return net_server_file_bytes(IMAGE_URL_PATH, offset, count);
    }

    // Runs one job (or a check) to its end and checks what every job owes the window.
    int run_job(LPTHREAD_START_ROUTINE routine = job_thread)
    {
        // A proven write ejects the stick; the technician plugs it in again.
        if (SimDisk *stick = sim_disk(STICK))
            if (stick->ejects && !stick->present) sim_plug_disk(STICK);
        posted.clear();
        questions.clear();
        execution_states.clear();
        set_cancel_flag(0);
        HANDLE thread = CreateThread(NULL, 0, routine, NULL, 0, NULL);
        EXPECT_NE(thread, (HANDLE)NULL);
        if (!thread) return -1;  // what ASSERT_NE does, in a function with a result
        MSG message;
        while (WaitForSingleObject(thread, 0) != WAIT_OBJECT_0 ||
               PeekMessageW(&message, window, 0, 0, PM_NOREMOVE)) {
            if (PeekMessageW(&message, NULL, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
            else MsgWaitForMultipleObjects(1, &thread, FALSE, 50, QS_ALLINPUT);
        }
        CloseHandle(thread);
        if (routine != job_thread) return 0;
        EXPECT_EQ(execution_states,
                  (std::vector<EXECUTION_STATE>{ES_CONTINUOUS | ES_SYSTEM_REQUIRED, ES_CONTINUOUS}));
        EXPECT_FALSE(posted.empty());
        if (posted.empty()) return -1;
        EXPECT_EQ(posted.back().message, (UINT)WM_APP_JOB_DONE);
        int done = 0;
        for (const Posted &p : posted) done += p.message == WM_APP_JOB_DONE;
        EXPECT_EQ(done, 1);
        return (int)posted.back().wparam;
    }

    std::wstring final_text() { return posted.empty() ? L"" : posted.back().status; }
    bool stick_holds(const std::string &bytes)
    {
        std::string on_stick(bytes.size(), '\0');
        sim_read_content(STICK, 0, &on_stick[0], on_stick.size());
        return on_stick == bytes;
    }
    bool stick_opened_for_writing()
    {
        for (const SimEvent &event : sim_journal())
            if (event.kind == SIM_OPEN && event.disk == STICK && (event.access & GENERIC_WRITE))
                return true;
        return false;
    }
    int manifest_done_posts()
    {
        int count = 0;
        for (const Posted &p : posted) count += p.message == WM_APP_MANIFEST_DONE && p.wparam == 0;
        return count;
    }
    std::vector<std::string> image_ranges()
    {
        std::vector<std::string> ranges;
        for (const NetRequest &request : net_server_requests_for(IMAGE_URL_PATH))
            ranges.push_back(request.range);
        return ranges;
    }
    int logged(const std::wstring &line)
    {
        int count = 0;
        for (const std::wstring &text : log_lines()) count += text == line;
        return count;
    }
    void use_local_file(const std::wstring &path, const std::string &bytes)
    {
        ASSERT_TRUE(write_whole_file(path, bytes));
        wcscpy(local_image_path, path.c_str());
    }
};

}  // namespace

TEST_F(JobTest, LocalFileIsCheckedAndAnUnofficialOneIsWrittenOnlyWithConsent)
{
    std::wstring path = folder + L"\\chosen.iso";
    use_local_file(path, published());
    EXPECT_EQ(run_job(), JOB_OK);
    EXPECT_TRUE(questions.empty());
    EXPECT_TRUE(stick_holds(published()));
    EXPECT_EQ(logged(L"local image " + path + L" sha " + std::wstring(sha.begin(), sha.end())), 1);

    std::string unofficial = published();
    unofficial[5] ^= 1;
    use_local_file(path, unofficial);
    sim_clear_journal();
    answer = IDNO;
    EXPECT_EQ(run_job(), JOB_STOPPED);
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_EQ(questions[0], L"This file is not the official quenvar OS 2.1 image.\n\n"
                            L"Write it to the pen drive anyway?");
    EXPECT_EQ(final_text(), L"Nothing was written.");
    EXPECT_FALSE(stick_opened_for_writing());

    answer = IDYES;
    EXPECT_EQ(run_job(), JOB_OK);
    EXPECT_TRUE(stick_holds(unofficial));

    // Without a manifest there is nothing to compare, so nobody is asked.
    manifest_info.loaded = 0;
    unofficial[6] ^= 1;
    use_local_file(path, unofficial);
    EXPECT_EQ(run_job(), JOB_OK);
    EXPECT_TRUE(questions.empty());
    EXPECT_TRUE(stick_holds(unofficial));
    EXPECT_TRUE(net_server_requests().empty());
}

TEST_F(JobTest, VerifiedCachedImageIsWrittenWithoutTheNetwork)
{
    ASSERT_TRUE(write_whole_file(image, published()));
    ASSERT_TRUE(write_whole_file(sidecar, sha + "\n"));
    EXPECT_EQ(run_job(), JOB_OK);
    EXPECT_TRUE(net_server_requests().empty());
    EXPECT_EQ(manifest_done_posts(), 1);
    EXPECT_TRUE(stick_holds(published()));
}

TEST_F(JobTest, CacheStateDecidesWhereTheDownloadStarts)
{
    // An image of the right size without its sidecar is not trusted, and it is
    // replaced only by a download that verified.
    std::string stale(IMAGE_SIZE, 'x');
    ASSERT_TRUE(write_whole_file(image, stale));
    net_server_script(IMAGE_URL_PATH, "status=404");
    EXPECT_EQ(run_job(), JOB_FAILED);
    EXPECT_EQ(read_whole_file(image), stale);
    EXPECT_EQ(image_ranges(), (std::vector<std::string>{"-"}));

    net_server_reset();
    sha = net_server_publish_image(IMAGE_URL_PATH, IMAGE_SIZE);
    EXPECT_EQ(run_job(), JOB_OK);
    EXPECT_EQ(image_ranges(), (std::vector<std::string>{"-"}));
    EXPECT_EQ(read_whole_file(image), published());
    EXPECT_EQ(read_whole_file(sidecar), sha + "\n");
    EXPECT_EQ(manifest_done_posts(), 1);
    EXPECT_TRUE(stick_holds(published()));

    struct { unsigned long long part_bytes; const char *range; } cases[] = {
        {1048576 + 17, "bytes=1048593-"},  // resumed where it stopped
        {IMAGE_SIZE, nullptr},             // complete: verified with no request
        {IMAGE_SIZE + 1, "-"},             // longer than the image: from zero
    };
    for (const auto &c : cases) {
        DeleteFileW(image.c_str());
        DeleteFileW(sidecar.c_str());
        std::string bytes = published(0, c.part_bytes < IMAGE_SIZE ? c.part_bytes : IMAGE_SIZE);
        bytes.resize(c.part_bytes, 'y');
        ASSERT_TRUE(write_whole_file(part, bytes));
        net_server_reset();
        net_server_publish_image(IMAGE_URL_PATH, IMAGE_SIZE);
        EXPECT_EQ(run_job(), JOB_OK) << c.part_bytes;
        std::vector<std::string> expected;
        if (c.range) expected.push_back(c.range);
        EXPECT_EQ(image_ranges(), expected) << c.part_bytes;
        EXPECT_FALSE(file_exists(part));
        EXPECT_EQ(read_whole_file(image), published());
    }
}

TEST_F(JobTest, JobFetchesTheManifestItselfWhenTheStartupCheckFailed)
{
    manifest_info.loaded = 0;
    net_server_script("/updates/os-quenvar/latest.json", "status=500");
    EXPECT_EQ(run_job(), JOB_FAILED);
    EXPECT_EQ(final_text(), QV_UPDATE_HOST L" answered HTTP 500 for the version list.");
    EXPECT_EQ(posted.front().status, L"Checking for the latest quenvar OS\x2026");
    EXPECT_EQ(manifest_done_posts(), 1);
    EXPECT_FALSE(stick_opened_for_writing());

    std::wstring url = net_server_https_url(IMAGE_URL_PATH);
    const std::string body = "{\"version\": \"2.1\", \"isoUrl\": \"" +
                             std::string(url.begin(), url.end()) + "\", \"isoSizeBytes\": " +
                             std::to_string(IMAGE_SIZE) + ", \"isoSha256\": \"" + sha + "\"}";
    // Unsigned: refused before it is read, and nothing is downloaded.
    net_server_put("/updates/os-quenvar/latest.json", body);
    EXPECT_EQ(run_job(), JOB_FAILED);
    EXPECT_EQ(final_text(), MANIFEST_NOT_SIGNED_TEXT);
    EXPECT_EQ(manifest_info.version[0], L'\0');
    EXPECT_TRUE(net_server_requests_for(IMAGE_URL_PATH).empty());
    EXPECT_FALSE(stick_opened_for_writing());

    net_server_put_signed("/updates/os-quenvar/latest.json", body);
    EXPECT_EQ(run_job(), JOB_OK);
    EXPECT_EQ(manifest_done_posts(), 2);  // the manifest, then the image in place
    EXPECT_TRUE(stick_holds(published()));
}

TEST_F(JobTest, FreeSpaceIsCheckedOnTheCacheDriveWithHeadroom)
{
    // 3 GiB published, 1 GiB of it already here: 2 GiB + 64 MiB must be free.
    load_manifest(3 * GIB);
    HANDLE file = CreateFileW(part.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    LARGE_INTEGER at;
    at.QuadPart = (LONGLONG)GIB;
    ASSERT_TRUE(SetFilePointerEx(file, at, NULL, FILE_BEGIN) && SetEndOfFile(file));
    CloseHandle(file);
    net_server_script(IMAGE_URL_PATH, "status=404&times=3");

    free_bytes = 2 * GIB + 67108864 - 1;
    EXPECT_EQ(run_job(), JOB_FAILED);
    EXPECT_EQ(final_text(), L"This PC needs 2.1 GB of free space on drive C: to download quenvar OS.");
    EXPECT_TRUE(image_ranges().empty());

    free_bytes += 1;
    EXPECT_EQ(run_job(), JOB_FAILED);
    EXPECT_EQ(image_ranges(), (std::vector<std::string>{"bytes=1073741824-"}));

    free_space_query_fails = true;
    EXPECT_EQ(run_job(), JOB_FAILED);
    EXPECT_EQ(image_ranges().size(), 2u);
    DeleteFileW(part.c_str());

    // A size that cannot have the headroom added never fits; the sentence
    // names the drive that holds the application folder.
    free_space_query_fails = false;
    free_bytes = ~0ULL;
    load_manifest(~0ULL - 1);
    wcscpy(app_folder, L"Z:\\no-such-folder");
    EXPECT_EQ(run_job(), JOB_FAILED);
    EXPECT_EQ(final_text().substr(0, 14), L"This PC needs ");
    EXPECT_NE(final_text().find(L" on drive Z: "), std::wstring::npos);
    wcscpy(app_folder, L"\\\\server\\share\\cache");
    load_manifest(3 * GIB);
    free_bytes = 0;
    EXPECT_EQ(run_job(), JOB_FAILED);
    EXPECT_NE(final_text().find(L" on drive C: "), std::wstring::npos);
    EXPECT_EQ(image_ranges().size(), 2u);
    wcscpy(app_folder, folder.c_str());
}

TEST_F(JobTest, OtherVersionsAreRemovedAfterASuccessfulDownload)
{
    const wchar_t *old_files[] = {L"quenvar-os-2.0.iso", L"quenvar-os-2.0.iso.ok",
                                  L"quenvar-os-2.1.1.iso"};
    for (const wchar_t *name : old_files) ASSERT_TRUE(write_whole_file(folder + L"\\" + name, "old"));
    ASSERT_TRUE(write_whole_file(sidecar, "not the digest\n"));
    EXPECT_EQ(run_job(), JOB_OK);
    for (const wchar_t *name : old_files) {
        EXPECT_FALSE(file_exists(folder + L"\\" + name)) << name;
        EXPECT_EQ(logged(std::wstring(L"removed old image ") + name), 1);
    }
    EXPECT_EQ(read_whole_file(sidecar), sha + "\n");
}

// Names of the files removed from a folder, in the order Windows reports them.
struct RemovalWatch {
    HANDLE folder_handle;
    HANDLE thread;
    std::vector<std::wstring> removed;
    std::wstring end_marker;

    static DWORD WINAPI watch(LPVOID self_pointer)
    {
        RemovalWatch *self = (RemovalWatch *)self_pointer;
        alignas(DWORD) BYTE buffer[8192];
        DWORD got = 0;
        while (ReadDirectoryChangesW(self->folder_handle, buffer, sizeof buffer, FALSE,
                                     FILE_NOTIFY_CHANGE_FILE_NAME, &got, NULL, NULL) && got) {
            for (BYTE *at = buffer;;) {
                FILE_NOTIFY_INFORMATION *info = (FILE_NOTIFY_INFORMATION *)at;
                std::wstring name(info->FileName, info->FileNameLength / sizeof(wchar_t));
                if (name == self->end_marker) return 0;
                if (info->Action == FILE_ACTION_REMOVED) self->removed.push_back(name);
                if (!info->NextEntryOffset) break;
                at += info->NextEntryOffset;
            }
        }
        return 0;
    }
    void start(const std::wstring &folder)
    {
        end_marker = L"end-of-watch";
        folder_handle = CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
        thread = CreateThread(NULL, 0, watch, this, 0, NULL);
        Sleep(200);  // the watch must be in place before the first change
    }
    void stop(const std::wstring &folder)
    {
        write_whole_file(folder + L"\\" + end_marker, "");
        WaitForSingleObject(thread, 10000);
        CloseHandle(thread);
        CloseHandle(folder_handle);
        DeleteFileW((folder + L"\\" + end_marker).c_str());
    }
};

TEST_F(JobTest, DamagedImageIsDeletedFromTheCacheButAChosenFileNeverIs)
{
    std::string damaged = published();
    damaged[IMAGE_SIZE - 3] ^= 0x40;
    ASSERT_TRUE(write_whole_file(image, damaged));
    ASSERT_TRUE(write_whole_file(sidecar, sha + "\n"));
    ASSERT_TRUE(write_whole_file(part, "leftover"));
    RemovalWatch watch;
    watch.start(folder);
    EXPECT_EQ(run_job(), JOB_FAILED);
    watch.stop(folder);
    EXPECT_EQ(final_text(), L"The quenvar OS image on this PC is damaged. It has been deleted "
                            L"\x2014 press Write to download it again.");
    EXPECT_EQ(watch.removed, (std::vector<std::wstring>{L"quenvar-os-2.1.iso.ok",
                                                        L"quenvar-os-2.1.iso",
                                                        L"quenvar-os-2.1.iso.part"}));
    EXPECT_TRUE(net_server_requests().empty());
    EXPECT_EQ(run_job(), JOB_OK);
    EXPECT_EQ(image_ranges(), (std::vector<std::string>{"-"}));

    // A chosen file that changes between its check and the write: its own
    // sentence, and the cache is left alone.
    std::wstring path = folder + L"\\chosen.iso";
    use_local_file(path, published());
    struct Changer {
        static void on_event(const SimEvent &event, void *file)
        {
            if (event.kind == SIM_OPEN && event.disk == STICK)
                write_whole_file(*(std::wstring *)file, std::string(IMAGE_SIZE, 'z'));
        }
    };
    sim_set_hook(Changer::on_event, &path);
    EXPECT_EQ(run_job(), JOB_FAILED);
    sim_set_hook(nullptr, nullptr);
    EXPECT_EQ(final_text(),
              L"The ISO file changed while it was written, or could not be read the same way "
              L"twice, so nothing on the pen drive will start a PC. Choose the file again and "
              L"press Write.");
    EXPECT_TRUE(file_exists(path));
    EXPECT_TRUE(file_exists(image));
    EXPECT_TRUE(file_exists(sidecar));
}

TEST_F(JobTest, StopDuringEachStepEndsStoppedWithThatStepsOwnSentence)
{
    struct { bool local; const wchar_t *step; const wchar_t *sentence; } cases[] = {
        {true, L"Checking the ISO file", L"Stopped."},
        {false, L"Downloading quenvar OS", L"Stopped. The download will continue from here next time."},
        {false, L"Checking the download", L"Stopped."},
        {false, L"Preparing the pen drive",
         L"Stopped. The pen drive will not start a PC until it is written again."},
    };
    std::wstring path = folder + L"\\chosen.iso";
    for (const auto &c : cases) {
        if (c.local) use_local_file(path, published());
        else local_image_path[0] = L'\0';
        stop_when_status_starts = c.step;
        EXPECT_EQ(run_job(), JOB_STOPPED) << c.step;
        EXPECT_EQ(final_text(), c.sentence) << c.step;
        DeleteFileW(part.c_str());
    }
}

TEST_F(JobTest, TooLittleRoomRemovesOtherVersionsFirstThenChecksAgain)
{
    load_manifest(3 * GIB);
    net_server_script(IMAGE_URL_PATH, "status=404");
    free_bytes = 3 * GIB;
    room_holder = folder + L"\\quenvar-os-2.0.iso";
    ASSERT_TRUE(write_whole_file(room_holder, "old"));
    EXPECT_EQ(run_job(), JOB_FAILED);
    EXPECT_EQ(logged(L"removed old image quenvar-os-2.0.iso"), 1);
    EXPECT_EQ(image_ranges().size(), 1u) << "checked again, the room sufficed";

    room_holder.clear();  // one whose removal frees too little
    ASSERT_TRUE(write_whole_file(folder + L"\\quenvar-os-1.9.iso", "old"));
    EXPECT_EQ(run_job(), JOB_FAILED);
    EXPECT_EQ(logged(L"removed old image quenvar-os-1.9.iso"), 1);
    EXPECT_EQ(final_text(), L"This PC needs 3.1 GB of free space on drive C: to download quenvar OS.");
    EXPECT_EQ(image_ranges().size(), 1u);
}

// A file chosen while the start-up check runs is compared once the check is
// over; offline it is written uncompared, and a stop ends the wait. A Check
// waits the same way, so the stick is also compared with the published image.
TEST_F(JobTest, ChosenFileAndACheckWaitForTheStartupCheck)
{
    std::string unofficial = published();
    unofficial[5] ^= 1;
    use_local_file(folder + L"\\chosen.iso", unofficial);
    enum { LOADED, OFFLINE, STOPPED } ending = LOADED;
    on_status_posted = [&](const std::wstring &text) {  // the job waits
        if (text != L"Checking for the latest quenvar OS\x2026") return;
        if (ending == STOPPED) return set_cancel_flag(1);
        if (ending == LOADED) load_manifest(IMAGE_SIZE);
        startup_check_ends();
    };
    for (auto end : {LOADED, OFFLINE, STOPPED}) {
        ending = end;
        manifest_info.loaded = 0;
        startup_check_begins();
        EXPECT_EQ(run_job(), end == OFFLINE ? JOB_OK : JOB_STOPPED) << end;
        EXPECT_EQ(questions.size(), end == LOADED ? 1u : 0u) << end;
    }
    EXPECT_EQ(final_text(), L"Stopped.");
    EXPECT_EQ(logged(L"local image not compared: no manifest"), 1);
    EXPECT_TRUE(stick_holds(unofficial)) << "written offline";

    local_image_path[0] = L'\0';
    sim_write_content(STICK, 0, published().data(), IMAGE_SIZE);
    ending = LOADED;
    manifest_info.loaded = 0;
    startup_check_begins();
    run_job(check_thread);
    EXPECT_STREQ(status_text, L"This pen drive holds quenvar OS 2.1 and is intact.");
}
