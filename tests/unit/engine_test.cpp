// The write-and-verify engine on a simulated pen drive.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "app/app_info.h"
#include "app/text.h"
#include "hash/sha256.h"
#include "tests/support/sim_fixture.h"
#include "tests/support/sim_machine.h"
#include "tests/support/test_files.h"
#include "tests/support/virtual_clock.h"
#include "ui/status.h"
#include "writer/check.h"
#include "writer/engine.h"

namespace {

const uint64_t MIB = 1048576;
const int STICK = 2;

std::string sha256_text(const std::string &bytes)
{
    Sha256Context context;
    char text[DIGEST_TEXT_BYTES] = "";
    if (sha256_begin(&context)) {
        sha256_update(&context, bytes.data(), (DWORD)bytes.size());
        sha256_finish_hex(&context, text);
    }
    return text;
}

struct EngineTest : SimMachineTest {
    DiskCandidate chosen = {};
    wchar_t message[MESSAGE_CHARS];
    LONG damaged = 7;
    std::string image;
    std::wstring image_path;

    void SetUp() override
    {
        SimMachineTest::SetUp();
        set_cancel_flag(0);
        wcscpy(message, L"untouched");
    }
    void TearDown() override
    {
        set_cancel_flag(0);
        sim_set_hook(nullptr, nullptr);
        SimMachineTest::TearDown();
    }
    // A USB stick with one lettered volume, chosen as the window would.
    SimDisk *add_stick(uint64_t size, DWORD sector = 512)
    {
        SimDisk *disk = sim_add_disk(STICK, BusTypeUsb, size, "Quenvar ", "Stick    ");
        disk->bytes_per_sector = sector;
        sim_add_partition_volume(STICK, 1, L'E');
        add_windows_disk();
        chosen.disk_number = STICK;
        chosen.size_bytes = size;
        wcscpy(chosen.name, L"Quenvar Stick");
        return disk;
    }
    void make_image(size_t size, unsigned seed = 1)
    {
        image = test_pattern(size, seed);
        image_path = folder + L"\\image.iso";
        ASSERT_TRUE(write_whole_file(image_path, image));
    }
    int write(const char *expected = nullptr)
    {
        return write_image_to_disk(image_path.c_str(), expected, &chosen, &damaged, message);
    }
    std::string disk_bytes(uint64_t offset, size_t length)
    {
        std::string bytes(length, '\0');
        sim_read_content(STICK, offset, &bytes[0], length);
        return bytes;
    }
    std::string log() { return read_whole_file(folder + L"\\writer.log"); }
    bool logged(const std::string &line) { return log().find("  " + line + "\r\n") != std::string::npos; }
    // Order of the given lines in the log; -1 when one is missing.
    std::vector<size_t> positions(std::initializer_list<const char *> lines)
    {
        std::string text = log();
        std::vector<size_t> at;
        for (const char *line : lines) at.push_back(text.find(line));
        return at;
    }
    int writes() { return sim_writes_to_disk(STICK); }
    int accepted_writes()
    {
        int count = 0;
        for (const SimEvent &event : sim_journal())
            if (event.kind == SIM_WRITE && event.disk == STICK && event.ok) ++count;
        return count;
    }
};

void add_fault(int kinds, uint64_t offset, uint64_t length, int remaining, DWORD error,
               DWORD moved = 0)
{
    sim_add_fault(STICK, kinds, offset, length, remaining, error, moved);
}

bool ascending(const std::vector<size_t> &at)
{
    for (size_t i = 0; i < at.size(); ++i) {
        if (at[i] == std::string::npos) return false;
        if (i > 0 && at[i] <= at[i - 1]) return false;
    }
    return true;
}

// ---- a clean run ------------------------------------------------------------

TEST_F(EngineTest, CleanRunWritesTheImageStartLastAndProvesIt)
{
    add_stick(64 * MIB);
    make_image(3 * MIB + 1234, 3);
    virtual_clock_set_auto_advance(400);  // every chunk is then reported
    ASSERT_EQ(write(), 1) << narrow(message);
    EXPECT_STREQ(message, L"untouched");
    EXPECT_EQ(damaged, 0);

    EXPECT_EQ(disk_bytes(0, image.size()), image);
    uint64_t padded = (image.size() + 511) / 512 * 512;
    EXPECT_EQ(disk_bytes(image.size(), padded - image.size()), std::string(padded - image.size(), '\0'));
    EXPECT_EQ(disk_bytes(63 * MIB, MIB), std::string(MIB, '\0'));

    uint64_t last_offset = 99;
    DWORD last_length = 0;
    ASSERT_TRUE(sim_last_write(STICK, &last_offset, &last_length));
    EXPECT_EQ(last_offset, 0u);
    EXPECT_EQ(last_length, MIB);

    std::string digest = sha256_text(image);
    std::string announce = "writing " + std::string(image_path.begin(), image_path.end()) +
                           " (3146962 bytes) to disk 2: Quenvar Stick, 67108864 bytes";
    EXPECT_TRUE(ascending(positions({announce.c_str(), "1 volume(s) taken offline",
                                     "pass 1: disk locked", "pass 1: first write accepted",
                                     ("sha " + digest).c_str(), ("read back sha " + digest).c_str()})))
        << log();
    wchar_t text[STATUS_TEXT_CHARS];
    read_status(text, STATUS_TEXT_CHARS, nullptr);
    EXPECT_STREQ(text, L"Checking the pen drive\x2026  100%");
}

TEST_F(EngineTest, FirstMebibyteStaysZeroUntilTheVeryLastWrite)
{
    add_stick(16 * MIB);
    make_image(5 * MIB + 77, 5);
    ASSERT_EQ(write(), 1);
    std::vector<SimEvent> events = sim_journal();
    int writes_at_zero = 0;
    size_t last_write = 0;
    for (size_t i = 0; i < events.size(); ++i) {
        if (events[i].kind != SIM_WRITE || events[i].disk != STICK) continue;
        last_write = i;
        if (events[i].offset < MIB) ++writes_at_zero;
        EXPECT_EQ(events[i].offset % 512, 0u);
        EXPECT_EQ(events[i].length % 512, 0u);
    }
    EXPECT_EQ(writes_at_zero, 2);  // the clearing write, then the image's start
    EXPECT_EQ(events[last_write].offset, 0u);
}

TEST_F(EngineTest, OneChunkImageIsWrittenOnlyAsTheStart)
{
    add_stick(8 * MIB);
    make_image(MIB, 9);
    ASSERT_EQ(write(), 1);
    EXPECT_EQ(disk_bytes(0, MIB), image);
    // clearing write at 0, end clearing, then the start
    EXPECT_EQ(writes(), 3);
}

TEST_F(EngineTest, OneByteTailIsWrittenAsOneSectorButHashedAsOneByte)
{
    add_stick(8 * MIB);
    make_image(MIB + 1, 11);
    ASSERT_EQ(write(), 1);
    bool tail_seen = false;
    for (const SimEvent &event : sim_journal()) {
        if ((event.kind == SIM_WRITE || event.kind == SIM_READ) && event.offset == MIB) {
            EXPECT_EQ(event.length, 512u);
            tail_seen = true;
        }
    }
    EXPECT_TRUE(tail_seen);
    EXPECT_TRUE(logged("read back sha " + sha256_text(image)));
}

TEST_F(EngineTest, SectorSizeComesFromTheGeometryOrFallsBackTo512)
{
    struct Case { DWORD reported; DWORD used; DWORD geometry_error; } cases[] = {
        {4096, 4096, 0}, {1024, 1024, 0}, {520, 512, 0}, {8192, 512, 0}, {512, 512, ERROR_INVALID_FUNCTION},
    };
    for (const Case &c : cases) {
        sim_reset();
        SimDisk *disk = add_stick(8 * MIB, c.reported);
        disk->geometry_error = c.geometry_error;
        make_image(2 * MIB + 100, 13);
        ASSERT_EQ(write(), 1) << c.reported << narrow(message);
        bool tail_seen = false;
        for (const SimEvent &event : sim_journal())
            if (event.kind == SIM_WRITE && event.offset == 2 * MIB) {
                EXPECT_EQ(event.length, c.used) << c.reported;
                tail_seen = true;
            }
        EXPECT_TRUE(tail_seen);
        EXPECT_EQ(sim_audit(), "");
    }
}

TEST_F(EngineTest, DiskExactlyAsLargeAsTheImageIsAccepted)
{
    add_stick(3 * MIB);
    make_image(3 * MIB, 17);
    EXPECT_EQ(write(), 1);
}

TEST_F(EngineTest, EndIsClearedOnlyFromTwoMebibytesAtTheAlignedOffset)
{
    struct Case { uint64_t size; DWORD sector; bool cleared; uint64_t offset; } cases[] = {
        {2097151, 512, false, 0},
        {2097152, 512, true, 1048576},
        {10 * MIB + 1000, 4096, true, 9 * MIB},
    };
    for (const Case &c : cases) {
        sim_reset();
        add_stick(c.size, c.sector);
        make_image(1000, 19);
        ASSERT_EQ(write(), 1) << c.size;
        int end_writes = 0;
        for (const SimEvent &event : sim_journal())
            if (event.kind == SIM_WRITE && event.offset >= MIB) {
                ++end_writes;
                EXPECT_EQ(event.offset, c.offset);
                EXPECT_EQ(event.length, MIB);
            }
        EXPECT_EQ(end_writes, c.cleared ? 1 : 0) << c.size;
    }
}

// ---- refusals before anything is held -----------------------------------------

TEST_F(EngineTest, ChangedDiskIsRefusedAndNothingIsTouched)
{
    const char *why[] = {"size", "name", "bus", "gone"};
    for (const char *change : why) {
        sim_reset();
        SimDisk *disk = add_stick(8 * MIB);
        make_image(2 * MIB, 23);
        std::string what = change;
        if (what == "size") chosen.size_bytes += 1;
        if (what == "name") wcscpy(chosen.name, L"Quenvar Stick2");
        if (what == "bus") disk->bus_type = BusTypeSata;
        if (what == "gone") sim_pull_disk(STICK);
        EXPECT_EQ(write(), 0) << change;
        EXPECT_STREQ(message, L"The pen drive changed since you chose it. Choose it again and press Write.");
        EXPECT_TRUE(logged("identity changed for disk 2")) << change;
        EXPECT_EQ(writes(), 0);
        EXPECT_EQ(sim_count(SIM_IOCTL, nullptr, FSCTL_LOCK_VOLUME), 0);
        EXPECT_EQ(log().find("write failed"), std::string::npos);
    }
}

TEST_F(EngineTest, WindowsDiskIsRefusedWithoutALogLine)
{
    add_stick(8 * MIB);
    sim_set_windows_directory(L"D:\\Windows");
    sim_add_partition_volume(STICK, 2, L'D', DRIVE_FIXED);
    make_image(2 * MIB, 29);
    EXPECT_EQ(write(), 0);
    EXPECT_STREQ(message, L"That disk holds Windows. It will not be written.");
    EXPECT_EQ(writes(), 0);
    EXPECT_EQ(log(), "");
}

// In a folder where the stick is mounted, or the program started from it,
// named plainly or in a \\?\ form.
TEST_F(EngineTest, ImageOrProgramOnTheChosenStickIsRefusedWhateverTheirPathsForm)
{
    for (int form = 0; form < 5; ++form) {
        sim_reset();
        add_stick(8 * MIB);
        make_image(2 * MIB, 31);
        if (form < 3) sim_add_mount_folder((folder + L"\\").c_str(), 0);  // else on C:
        std::wstring c_volume = sim_volume(1)->name, e_volume = sim_volume(0)->name;
        if (form == 1) image_path = L"\\\\?\\" + image_path;
        if (form == 2) image_path = c_volume + image_path.substr(3);
        if (form == 3) sim_set_program_path(L"\\\\?\\E:\\quenvar-os-usb-writer.exe");
        if (form == 4) sim_set_program_path((e_volume + L"quenvar-os-usb-writer.exe").c_str());
        EXPECT_EQ(write(), 0);
        EXPECT_EQ(std::wstring(message).rfind(form < 3 ? L"The ISO file is ON this pen drive, so "
                                                        L"writing would destroy it. Copy the ISO"
                                                      : L"quenvar OS USB Writer is running from "
                                                        L"this pen drive", 0),
                  0u) << form << narrow(message);
        EXPECT_EQ(writes(), 0);
        EXPECT_EQ(log(), "");
    }
}

// The refusal decides as the takeover does: device number first, then extents.
TEST_F(EngineTest, ImageVolumeFoundByEitherAnswerOrByNeitherIsRefused)
{
    struct Answers { bool number, extents; int result; };
    for (Answers answers : {Answers{true, false, 0}, Answers{false, true, 0},
                            Answers{false, false, 0}}) {
        sim_reset();
        add_stick(8 * MIB);
        // Behind the image's bytes, so a volume that nothing can place is no obstacle.
        int v = sim_add_partition_volume(STICK, 2, L'F', DRIVE_REMOVABLE, 4 * MIB, 2 * MIB);
        if (!answers.number) sim_volume(v)->partition_number = -1;
        if (!answers.extents) sim_volume(v)->extents_error = ERROR_INVALID_FUNCTION;
        make_image(2 * MIB, 41);
        sim_add_mount_folder((folder + L"\\").c_str(), v);
        ASSERT_EQ(write(), answers.result) << answers.number << answers.extents << narrow(message);
        if (answers.result == 1) continue;
        EXPECT_STREQ(message, L"The ISO file is ON this pen drive, so writing would destroy it. "
                              L"Copy the ISO to the PC first.");
        for (const SimEvent &event : sim_journal())
            EXPECT_FALSE(event.kind == SIM_OPEN && (event.access & GENERIC_WRITE))
                << narrow(event.path);
        EXPECT_EQ(log(), "");
    }
}

TEST_F(EngineTest, ImageElsewhereOrOnAnUnknownVolumePasses)
{
    add_stick(8 * MIB);
    int other = sim_add_partition_volume(0, 2, L'D', DRIVE_FIXED, 8 * MIB);
    make_image(2 * MIB, 37);
    sim_add_mount_folder((folder + L"\\").c_str(), other);
    EXPECT_EQ(write(), 1);
}

TEST_F(EngineTest, MissingImageCannotBeOpened)
{
    add_stick(8 * MIB);
    image_path = folder + L"\\missing.iso";
    EXPECT_EQ(write(), 0);
    std::wstring text = message;
    EXPECT_EQ(text.rfind(L"Could not open the image: ", 0), 0u) << text;
    EXPECT_GT(text.size(), 26u);
    EXPECT_EQ(log(), "");
    EXPECT_EQ(writes(), 0);
}

TEST_F(EngineTest, EmptyImageAndTooSmallDiskFailAfterOpening)
{
    add_stick(8 * MIB);
    make_image(0);
    EXPECT_EQ(write(), 0);
    EXPECT_STREQ(message, L"The image file is empty.");
    EXPECT_TRUE(logged("write failed: The image file is empty."));

    struct Case { uint64_t image; const wchar_t *text; } cases[] = {
        {1073741823ULL, L"1023 MB"}, {1073741824ULL, L"1.0 GB"}, {4000000000ULL, L"3.7 GB"},
    };
    for (const Case &c : cases) {
        sim_reset();
        add_stick(c.image - 1);
        image_path = folder + L"\\big.iso";
        HANDLE file = CreateFileW(image_path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
        LARGE_INTEGER size;
        size.QuadPart = (LONGLONG)c.image;
        SetFilePointerEx(file, size, NULL, FILE_BEGIN);
        SetEndOfFile(file);
        CloseHandle(file);
        EXPECT_EQ(write(), 0);
        EXPECT_EQ(std::wstring(message), std::wstring(L"This pen drive is too small. quenvar OS needs "
                                                      L"one of at least ") + c.text + L".");
        EXPECT_EQ(writes(), 0);
        DeleteFileW(image_path.c_str());
    }
}

// ---- taking the disk ------------------------------------------------------------

TEST_F(EngineTest, DiskThatWillNotOpenReleasesTheVolumes)
{
    SimDisk *disk = add_stick(8 * MIB);
    make_image(2 * MIB, 41);
    // Identified first, then refused once its volumes are offline.
    sim_set_hook([](const SimEvent &event, void *context) {
        if (event.kind == SIM_IOCTL && event.code == FSCTL_DISMOUNT_VOLUME)
            ((SimDisk *)context)->lock.rw_open_error = ERROR_GEN_FAILURE;
    }, disk);
    EXPECT_EQ(write(), 0);
    std::wstring text = message;
    EXPECT_EQ(text.rfind(L"Windows would not let the pen drive be written: ", 0), 0u) << text;
    EXPECT_TRUE(logged("1 volume(s) taken offline"));
    EXPECT_NE(log().find("write failed: Windows would not let"), std::string::npos);
    EXPECT_EQ(writes(), 0);
}

TEST_F(EngineTest, FourRefusedPassesTakeTheirTimeOnTheVirtualClock)
{
    SimDisk *disk = add_stick(8 * MIB);
    make_image(2 * MIB, 43);
    disk->lock.lock_refusals = 1000;
    add_fault(SIM_FAULT_WRITE, 0, MIB, -1, ERROR_GEN_FAILURE);
    EXPECT_EQ(write(), 0);
    EXPECT_GE(virtual_clock_slept_ms(), 26400u);
    std::wstring text = message;
    EXPECT_EQ(text.rfind(L"Windows would not let the pen drive be written (", 0), 0u) << text;
    EXPECT_NE(text.find(L"). Unplug it, plug it into another USB port and press Write again."),
              std::wstring::npos);
    for (int pass = 1; pass <= 4; ++pass) {
        EXPECT_TRUE(logged("pass " + std::to_string(pass) + ": disk lock refused (5)"));
        EXPECT_TRUE(logged("pass " + std::to_string(pass) + ": first write refused (31)"));
    }
    EXPECT_EQ(writes(), 12);  // three attempts in each pass
    EXPECT_EQ(accepted_writes(), 0);
}

TEST_F(EngineTest, WriteRefusedOnceIsAcceptedInPassTwoAfterTakingVolumesAgain)
{
    SimDisk *disk = add_stick(8 * MIB);
    disk->dasd_error = ERROR_INVALID_FUNCTION;
    make_image(2 * MIB + 5, 47);
    add_fault(SIM_FAULT_WRITE, 0, MIB, 3, ERROR_ACCESS_DENIED);  // the three attempts of pass 1
    ASSERT_EQ(write(), 1) << narrow(message);
    EXPECT_TRUE(ascending(positions({"pass 1: extended DASD I/O refused (1)", "pass 1: disk locked",
                                     "pass 1: first write refused (5)",
                                     "pass 2: extended DASD I/O refused (1)", "pass 2: disk locked",
                                     "pass 2: first write accepted"})))
        << log();
}

TEST_F(EngineTest, LockRefusedTenTimesStillWritesWhenTheDiskAcceptsIt)
{
    SimDisk *disk = add_stick(8 * MIB);
    disk->lock.lock_refusals = 10;
    make_image(2 * MIB, 53);
    ASSERT_EQ(write(), 1);
    EXPECT_TRUE(logged("pass 1: disk lock refused (5)"));
    EXPECT_TRUE(logged("pass 1: first write accepted"));
}

TEST_F(EngineTest, EndClearingFailureIsLoggedAndTheWriteGoesOn)
{
    add_stick(8 * MIB);
    make_image(2 * MIB, 59);
    add_fault(SIM_FAULT_WRITE, 7 * MIB, MIB, 3, ERROR_CRC);
    ASSERT_EQ(write(), 1);
    EXPECT_TRUE(logged("clearing the end failed (23, continuing)"));
}

// ---- stops at each polling point --------------------------------------------------

struct StopRule {
    SimEventKind kind;
    uint64_t offset;  // of a transfer; of a pause, the milliseconds slept before it
    int occurrence;  // stop after this many matching events
    int seen;
};

void stop_on_event(const SimEvent &event, void *context)
{
    StopRule *rule = (StopRule *)context;
    uint64_t at = event.kind == SIM_SLEEP ? virtual_clock_slept_ms() : event.offset;
    if (event.kind == rule->kind && at == rule->offset && ++rule->seen == rule->occurrence)
        set_cancel_flag(1);
}

TEST_F(EngineTest, StopBeforeThePassesWritesNothing)
{
    add_stick(8 * MIB);
    make_image(3 * MIB, 61);
    set_cancel_flag(1);
    EXPECT_EQ(write(), 0);
    EXPECT_STREQ(message, L"Stopped. Nothing was written.");
    EXPECT_EQ(writes(), 0);
    EXPECT_TRUE(logged("write failed: Stopped. Nothing was written."));
}

TEST_F(EngineTest, StopBeforeTheFirstCopyChunkLeavesTheStartZero)
{
    add_stick(8 * MIB);
    sim_write_content(STICK, 0, test_pattern(MIB, 99).data(), MIB);
    make_image(3 * MIB, 67);
    StopRule rule = {SIM_WRITE, 0, 1, 0};
    sim_set_hook(stop_on_event, &rule);
    EXPECT_EQ(write(), 0);
    sim_set_hook(nullptr, nullptr);
    EXPECT_STREQ(message, L"Stopped. The pen drive will not start a PC until it is written again.");
    EXPECT_EQ(disk_bytes(0, MIB), std::string(MIB, '\0'));
    EXPECT_EQ(disk_bytes(MIB, MIB), std::string(MIB, '\0'));
}

TEST_F(EngineTest, StopDuringTheReadBackIsItsOwnSentence)
{
    add_stick(8 * MIB);
    make_image(3 * MIB, 71);
    StopRule rule = {SIM_READ, MIB, 1, 0};
    sim_set_hook(stop_on_event, &rule);
    EXPECT_EQ(write(), 0);
    sim_set_hook(nullptr, nullptr);
    EXPECT_STREQ(message, L"Stopped while checking. The pen drive was written but not checked.");
    EXPECT_EQ(disk_bytes(0, image.size()), image);
}

// ---- failures while copying and checking --------------------------------------------

TEST_F(EngineTest, ChunkWriteFailureNamesTheOffsetInMegabytes)
{
    add_stick(8 * MIB);
    make_image(4 * MIB, 73);
    add_fault(SIM_FAULT_WRITE, 2 * MIB, 1, -1, ERROR_CRC);
    EXPECT_EQ(write(), 0);
    std::wstring text = message;
    EXPECT_EQ(text.rfind(L"Writing to the pen drive failed at 2 MB: ", 0), 0u) << text;
    EXPECT_NE(text.find(L". Try another pen drive or USB port."), std::wstring::npos);
    EXPECT_EQ(disk_bytes(0, MIB), std::string(MIB, '\0'));
    EXPECT_TRUE(logged("write at 2097152 failed (attempt 3, error 23, 0 of 1048576 bytes)"));
}

// Access denied names the volume that stayed mounted (Explorer open on it:
// no lock, no dismount; or not even opened for writing, under --legacy-locks);
// with every volume released, what is left: security software or a policy.
TEST_F(EngineTest, WriteRefusedWithAccessDeniedSaysWhatIsKnownOfTheVolumes)
{
    struct Case { uint64_t fault_at; int kept; const wchar_t *says; } cases[] = {
        {0, 0, L"though nothing on this PC should be using it now. Security software"},
        {2 * MIB, 0, L"allow quenvar-os-usb-writer.exe in Windows Security's Controlled folder"},
        {0, 1, L"because a program is using E:. Close the programs and windows that show"},
        {0, 2, L"because a program is using E:. Close"},
        {0, 3, L"because a program is using a part of the pen drive. Close"},
    };
    for (const Case &c : cases) {
        sim_reset();
        add_stick(8 * MIB);
        make_image(4 * MIB, 97);
        if (!c.kept) add_fault(SIM_FAULT_WRITE, c.fault_at, 1, -1, ERROR_ACCESS_DENIED);
        SimLockable &lock = sim_volume(0)->lock;
        lock.foreign_open_files = c.kept == 1 || c.kept == 3;
        lock.dismount_error = lock.foreign_open_files ? ERROR_BUSY : 0;
        lock.rw_open_error = c.kept == 2 ? ERROR_SHARING_VIOLATION : 0;
        SetEnvironmentVariableW(L"QV_NO_PARTITION_LOCK", c.kept == 2 ? L"1" : NULL);
        if (c.kept == 3) sim_volume(0)->letter = 0;
        EXPECT_EQ(write(), 0);
        std::wstring text = message;
        EXPECT_NE(text.find(c.says), std::wstring::npos) << c.kept << narrow(text);
        EXPECT_EQ(text.find(L"Controlled") == std::wstring::npos, c.kept > 0) << narrow(text);
        EXPECT_EQ(log().find("stayed mounted") == std::string::npos, c.kept == 0) << log();
    }
}

TEST_F(EngineTest, WriteProtectedStickIsRefusedBeforeAnythingIsTakenOrWhenTheWriteSaysSo)
{
    for (bool reported : {false, true}) {
        sim_reset();
        SimDisk *disk = add_stick(8 * MIB);
        make_image(2 * MIB, 43);
        disk->write_protected = reported;
        if (!reported) add_fault(SIM_FAULT_WRITE, 0, MIB, -1, ERROR_WRITE_PROTECT);
        EXPECT_EQ(write(), 0);
        std::wstring text = message;
        EXPECT_NE(text.find(L"has a lock switch, slide the switch"), std::wstring::npos);
        EXPECT_NE(text.find(L"a setting of this PC makes pen drives read-only: ask the PC's "
                            L"administrator, or use another PC."), std::wstring::npos);
        EXPECT_EQ(sim_count(SIM_IOCTL, nullptr, FSCTL_LOCK_VOLUME), reported ? 0 : 2);
        EXPECT_EQ(writes(), reported ? 0 : 3) << "one pass: no pass unlocks a switch";
        EXPECT_EQ(logged("disk 2 is write-protected"), reported);
    }
}

TEST_F(EngineTest, ShortWriteGivesARealCauseNotSuccess)
{
    add_stick(8 * MIB);
    make_image(3 * MIB, 79);
    add_fault(SIM_FAULT_WRITE, MIB, 1, -1, 0, 4096);
    EXPECT_EQ(write(), 0);
    std::wstring text = message;
    EXPECT_EQ(text.rfind(L"Writing to the pen drive failed at 1 MB: ", 0), 0u) << text;
    EXPECT_EQ(text.find(L"success"), std::wstring::npos) << text;
    EXPECT_TRUE(logged("write at 1048576 failed (attempt 1, error 29, 4096 of 1048576 bytes)")) << log();
}

TEST_F(EngineTest, StartWriteFailureLeavesEverythingButTheStart)
{
    add_stick(8 * MIB);
    make_image(3 * MIB, 83);
    struct Arm { bool armed; } arm = {false};
    sim_set_hook([](const SimEvent &event, void *context) {
        Arm *a = (Arm *)context;
        if (event.kind == SIM_WRITE && event.offset == 2 * MIB && !a->armed) {
            a->armed = true;
            add_fault(SIM_FAULT_WRITE, 0, 1, -1, ERROR_CRC);
        }
    }, &arm);
    EXPECT_EQ(write(), 0);
    sim_set_hook(nullptr, nullptr);
    std::wstring text = message;
    EXPECT_EQ(text.rfind(L"Writing the start of the pen drive failed: ", 0), 0u) << text;
    EXPECT_NE(text.find(L". Try another pen drive or USB port."), std::wstring::npos);
    EXPECT_EQ(disk_bytes(0, MIB), std::string(MIB, '\0'));
    EXPECT_EQ(disk_bytes(MIB, 2 * MIB), image.substr(MIB));
}

TEST_F(EngineTest, ReadBackFailureNamesTheOffset)
{
    add_stick(8 * MIB);
    make_image(3 * MIB, 89);
    add_fault(SIM_FAULT_READ, 2 * MIB, 1, -1, ERROR_CRC);
    EXPECT_EQ(write(), 0);
    std::wstring text = message;
    EXPECT_EQ(text.rfind(L"Reading the pen drive back failed at 2 MB: ", 0), 0u) << text;
    EXPECT_NE(text.find(L". Try another pen drive."), std::wstring::npos);
}

TEST_F(EngineTest, FakeCapacityStickIsCaught)
{
    SimDisk *disk = add_stick(64 * MIB);
    disk->true_capacity = 2 * MIB;
    make_image(5 * MIB, 97);
    EXPECT_EQ(write(), 0);
    EXPECT_STREQ(message, L"The pen drive did not keep what was written to it \x2014 it may be "
                          L"faulty or fake. Try a different pen drive.");
    EXPECT_EQ(damaged, 0);
}

TEST_F(EngineTest, StickPulledMidWriteFailsAndReleasesEverything)
{
    SimDisk *disk = add_stick(64 * MIB);
    disk->pull_after_bytes = 5 * MIB;
    make_image(8 * MIB, 101);
    EXPECT_EQ(write(), 0);
    std::wstring text = message;
    EXPECT_EQ(text.rfind(L"Writing to the pen drive failed at ", 0), 0u) << text;
}

// ---- the expected digest ----------------------------------------------------------

TEST_F(EngineTest, DamagedImageNeverGetsItsStartWritten)
{
    add_stick(8 * MIB);
    make_image(3 * MIB, 103);
    std::string wrong = sha256_text(image + "x");
    EXPECT_EQ(write(wrong.c_str()), 0);
    EXPECT_EQ(damaged, 1);
    EXPECT_STREQ(message, L"The quenvar OS image on this PC is damaged. It has been deleted "
                          L"\x2014 press Write to download it again.");
    EXPECT_EQ(disk_bytes(0, MIB), std::string(MIB, '\0'));
    EXPECT_EQ(sim_count(SIM_READ), 0);
}

TEST_F(EngineTest, ExpectedDigestComparisonCountsLetterCase)
{
    add_stick(8 * MIB);
    make_image(2 * MIB, 107);
    std::string digest = sha256_text(image);
    std::string upper = digest;
    for (char &c : upper) c = (char)toupper((unsigned char)c);
    EXPECT_EQ(write(upper.c_str()), 0);
    EXPECT_EQ(damaged, 1);
    sim_reset();
    add_stick(8 * MIB);
    EXPECT_EQ(write(digest.c_str()), 1);
    EXPECT_EQ(damaged, 0);
    sim_reset();
    add_stick(8 * MIB);
    EXPECT_EQ(write(""), 1);
    EXPECT_EQ(damaged, 0);
}

}  // namespace

namespace {

// ---- what the engine shows and releases --------------------------------------------

struct StatusCapture {
    SimEventKind kind;
    const wchar_t *path_part;  // or null
    uint64_t offset;
    std::wstring text;
};

void capture_status(const SimEvent &event, void *context)
{
    StatusCapture *capture = (StatusCapture *)context;
    if (event.kind != capture->kind || !capture->text.empty()) return;
    if (capture->path_part && event.path.find(capture->path_part) == std::wstring::npos) return;
    if (!capture->path_part && event.offset != capture->offset) return;
    wchar_t text[STATUS_TEXT_CHARS];
    read_status(text, STATUS_TEXT_CHARS, nullptr);
    capture->text = text;
}

TEST_F(EngineTest, StatusSaysPreparingWhileTheVolumesGoOffline)
{
    add_stick(8 * MIB);
    make_image(2 * MIB, 109);
    StatusCapture capture = {SIM_FIND_VOLUME, L"FindFirstVolumeW", 0, L""};
    sim_set_hook(capture_status, &capture);
    ASSERT_EQ(write(), 1);
    EXPECT_EQ(capture.text, L"Preparing the pen drive\x2026");
}

// Moves the virtual clock on when a chosen chunk is written, and notes the
// status line shown when later chunks are written.
struct SpeedScript {
    std::wstring shown[8];
};

void speed_script(const SimEvent &event, void *context)
{
    SpeedScript *script = (SpeedScript *)context;
    if (event.kind != SIM_WRITE || event.offset % MIB != 0) return;
    size_t chunk = (size_t)(event.offset / MIB);
    if (chunk == 0 || chunk >= 8 || !script->shown[chunk].empty()) return;
    wchar_t text[STATUS_TEXT_CHARS];
    read_status(text, STATUS_TEXT_CHARS, nullptr);
    script->shown[chunk] = text;
    if (chunk == 1) virtual_clock_advance(1900);  // reported after this chunk
    if (chunk == 2) virtual_clock_advance(400);   // 2,300 ms since the start
}

TEST_F(EngineTest, CopyProgressShowsPercentAndSpeedInWholeSeconds)
{
    add_stick(16 * MIB);
    make_image(6 * MIB, 113);
    SpeedScript script;
    sim_set_hook(speed_script, &script);
    ASSERT_EQ(write(), 1);
    // The first report comes after the chunk at 1 MiB: 2 MiB copied in 1.9 s
    // divides by one second; the next, 3 MiB in 2.3 s, by two.
    EXPECT_EQ(script.shown[2], L"Writing to the pen drive\x2026  33%  (2.0 MB/s)");
    EXPECT_EQ(script.shown[3], L"Writing to the pen drive\x2026  50%  (1.5 MB/s)");
}

TEST_F(EngineTest, SpeedIsZeroDuringTheFirstSecond)
{
    add_stick(16 * MIB);
    make_image(4 * MIB, 127);
    StatusCapture capture = {SIM_WRITE, nullptr, 2 * MIB, L""};
    sim_set_hook(capture_status, &capture);
    ASSERT_EQ(write(), 1);
    EXPECT_EQ(capture.text, L"Writing to the pen drive\x2026  50%  (0.0 MB/s)");
}

// Index of the first event at or after `from` that matches.
size_t find_event(const std::vector<SimEvent> &events, size_t from, SimEventKind kind,
                  const wchar_t *path_part, DWORD code = 0)
{
    for (size_t i = from; i < events.size(); ++i)
        if (events[i].kind == kind && events[i].path.find(path_part) != std::wstring::npos &&
            (code == 0 || events[i].code == code))
            return i;
    return std::string::npos;
}

void expect_release_order(const std::vector<SimEvent> &events)
{
    size_t last_transfer = 0;
    for (size_t i = 0; i < events.size(); ++i)
        if (events[i].kind == SIM_WRITE || events[i].kind == SIM_READ) last_transfer = i;
    size_t unlock = find_event(events, last_transfer, SIM_IOCTL, L"PhysicalDrive2", FSCTL_UNLOCK_VOLUME);
    size_t update = find_event(events, last_transfer, SIM_IOCTL, L"PhysicalDrive2",
                               IOCTL_DISK_UPDATE_PROPERTIES);
    size_t close_disk = find_event(events, last_transfer, SIM_CLOSE, L"PhysicalDrive2");
    size_t unlock_volume = find_event(events, last_transfer, SIM_IOCTL, L"Volume{", FSCTL_UNLOCK_VOLUME);
    size_t close_volume = find_event(events, last_transfer, SIM_CLOSE, L"Volume{");
    ASSERT_NE(close_volume, std::string::npos);
    EXPECT_LT(unlock, update);
    EXPECT_LT(update, close_disk);
    EXPECT_LT(close_disk, unlock_volume);
    EXPECT_LT(unlock_volume, close_volume);
}

TEST_F(EngineTest, DiskIsUnlockedUpdatedAndClosedBeforeTheVolumesGo)
{
    add_stick(8 * MIB);
    make_image(2 * MIB, 131);
    ASSERT_EQ(write(), 1);
    expect_release_order(sim_journal());

    sim_reset();
    add_stick(8 * MIB);
    add_fault(SIM_FAULT_READ, MIB, 1, -1, ERROR_CRC);
    ASSERT_EQ(write(), 0);
    expect_release_order(sim_journal());
}

// The stick behind the number changes while its volumes are taken offline.
void swap_stick(const SimEvent &event, void *context)
{
    if (event.kind == SIM_IOCTL && event.code == FSCTL_DISMOUNT_VOLUME)
        ((SimDisk *)context)->size = 32 * MIB;
}

TEST_F(EngineTest, StickSwappedWhileVolumesGoOfflineIsRefusedOnTheOpenHandle)
{
    SimDisk *disk = add_stick(8 * MIB);
    make_image(2 * MIB, 137);
    sim_set_hook(swap_stick, disk);
    EXPECT_EQ(write(), 0);
    EXPECT_STREQ(message, L"The pen drive changed since you chose it. Choose it again and press Write.");
    EXPECT_TRUE(logged("identity changed for disk 2"));
    EXPECT_TRUE(logged("write failed: The pen drive changed since you chose it. Choose it again and press Write."));
    EXPECT_EQ(writes(), 0);
}

// A volume that Windows mounts between passes is taken in the next pass.
void mount_between_passes(const SimEvent &event, void *context)
{
    bool *mounted = (bool *)context;
    if (event.kind == SIM_WRITE && event.offset == 0 && !event.ok && !*mounted) {
        *mounted = true;
        sim_add_partition_volume(STICK, 3, L'G', DRIVE_REMOVABLE, 5 * MIB, MIB);
    }
}

TEST_F(EngineTest, PassTwoTakesVolumesThatAppearedSincePassOne)
{
    add_stick(8 * MIB);
    make_image(2 * MIB, 139);
    add_fault(SIM_FAULT_WRITE, 0, MIB, 3, ERROR_ACCESS_DENIED);
    bool mounted = false;
    sim_set_hook(mount_between_passes, &mounted);
    ASSERT_EQ(write(), 1) << narrow(message);
    EXPECT_EQ(sim_count(SIM_FIND_VOLUME, L"FindFirstVolumeW"), 2);
    std::string text = log();
    size_t refused = text.find("pass 1: first write refused");
    size_t second_take = text.find("took \\\\?\\Volume{", text.find("took \\\\?\\Volume{") + 1);
    ASSERT_NE(second_take, std::string::npos) << text;
    EXPECT_LT(refused, second_take);
    EXPECT_LT(second_take, text.find("pass 2: disk locked"));
}

// Explorer, with a file open on the stick, reads it again once the write has begun.
void touch_after_first_write(const SimEvent &event, void *)
{
    if (event.kind == SIM_WRITE && event.ok && event.offset == 0) sim_touch_volume(0);
}

TEST_F(EngineTest, VolumeInUseIsKeptOfflineSoAForeignTouchCannotStopTheCopy)
{
    // A volume that cannot be taken offline is as it was without this step.
    add_stick(8 * MIB);
    sim_volume(0)->lock.foreign_open_files = 1;
    sim_volume(0)->lock.offline_error = ERROR_INVALID_FUNCTION;
    std::wstring name = sim_volume(0)->name;
    name.pop_back();
    make_image(3 * MIB, 151);
    sim_set_hook(touch_after_first_write, nullptr);
    EXPECT_EQ(write(), 0);
    EXPECT_TRUE(logged("write at 1048576 failed (attempt 3, error 5, 0 of 1048576 bytes)")) << log();
    EXPECT_TRUE(logged("offline " + narrow(name) + " failed (1)")) << log();

    sim_reset();
    add_stick(8 * MIB);
    sim_volume(0)->lock.foreign_open_files = 1;
    sim_set_hook(touch_after_first_write, nullptr);
    ASSERT_EQ(write(), 1) << narrow(message);
    EXPECT_EQ(disk_bytes(0, image.size()), image);
    EXPECT_EQ(sim_count(SIM_IOCTL, L"Volume{", IOCTL_VOLUME_ONLINE), 1);
}

// Volume lock, disk lock, first-write retry, refused pass: a stop during the
// first slice of the first pause of each (begun `before` ms into the sleeps)
// is answered when that slice ends, and no write follows it.
TEST_F(EngineTest, StopDuringAnyPauseOfThePreparingGivesUpAtOnceAndWritesNothing)
{
    struct Case { uint64_t before; int writes; } cases[] = {{0, 0}, {500, 0}, {1100, 1}, {3200, 3}};
    for (const Case &c : cases) {
        sim_reset();
        SimDisk *disk = add_stick(8 * MIB);
        make_image(2 * MIB, 149);
        sim_volume(0)->lock.lock_refusals = disk->lock.lock_refusals = 2;
        add_fault(SIM_FAULT_WRITE, 0, MIB, 3, ERROR_CRC);  // the first pass's attempts
        set_cancel_flag(0);
        unsigned long long slept_before = virtual_clock_slept_ms();
        StopRule rule = {SIM_SLEEP, slept_before + c.before, 1, 0};
        sim_set_hook(stop_on_event, &rule);
        EXPECT_EQ(write(), 0);
        sim_set_hook(nullptr, nullptr);
        EXPECT_STREQ(message, L"Stopped. Nothing was written.") << c.before;
        EXPECT_EQ(virtual_clock_slept_ms() - slept_before, c.before + 250) << c.before;
        EXPECT_EQ(writes(), c.writes) << c.before;
    }
}

// A check reads once, to the longest image that fits, and copies the digest
// where each image ends, mid-chunk or on a chunk's edge; the first image held
// wins. A stop during a read's retries is not waited out; a stick too small
// for every image is no changed one.
TEST_F(EngineTest, CheckCopiesTheDigestAtEveryImageLengthInOneRead)
{
    add_stick(64 * MIB);
    std::string content = test_pattern(5 * MIB + 123, 3);
    sim_write_content(STICK, 0, content.data(), content.size());
    const uint64_t sizes[] = {2 * MIB + 100, 3 * MIB / 2, 3 * MIB, 5 * MIB + 123, 128 * MIB};
    KnownImage images[5] = {};
    for (int i = 0; i < 5; ++i) {
        images[i].size = sizes[i];
        strcpy(images[i].digest, sha256_text(content.substr(0, (size_t)sizes[i])).c_str());
    }
    images[0].digest[0] ^= 1;  // not what the stick holds
    int matched = -1;
    EXPECT_EQ(check_disk(&chosen, images, 5, &matched, message), CHECK_INTACT);
    EXPECT_EQ(matched, 1);
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(logged("sha over " + std::to_string(sizes[i]) + " bytes " +
                           sha256_text(content.substr(0, (size_t)sizes[i])))) << log();
    EXPECT_EQ(sim_count(SIM_READ), 6);
    EXPECT_EQ(sim_writes_to_disk(STICK), 0);
    for (int i = 1; i < 4; ++i) images[i].digest[0] ^= 1;
    EXPECT_EQ(check_disk(&chosen, images, 5, &matched, message), CHECK_DIFFERS);
    EXPECT_STREQ(message, CHECK_DIFFERS_TEXT);
    add_fault(SIM_FAULT_READ, 0, MIB, 3, ERROR_CRC);
    StopRule rule = {SIM_SLEEP, virtual_clock_slept_ms(), 1, 0};
    sim_set_hook(stop_on_event, &rule);
    EXPECT_EQ(check_disk(&chosen, images, 4, &matched, message), CHECK_FAILED);
    sim_set_hook(nullptr, nullptr);
    EXPECT_STREQ(message, CHECK_STOPPED_TEXT);
    EXPECT_EQ(virtual_clock_slept_ms() - rule.offset, 250u);
    EXPECT_EQ(check_disk(&chosen, images + 4, 1, &matched, message), CHECK_FAILED);
    EXPECT_STREQ(message,
                 L"This pen drive is smaller than the quenvar OS image, so it cannot hold it.");
}

// A proven stick leaves with its volumes offline and its new layout unread,
// so Windows mounts nothing before; a veto, or a stick pulled out before the
// request, ends in the plain release, and the write is still a success.
TEST_F(EngineTest, ProvenStickIsEjectedAndARefusedEjectFinishesThePlainRelease)
{
    SimDisk *disk = add_stick(64 * MIB);
    make_image(2 * MIB + 5);
    bool ejected = false;
    auto write_and_eject = [&] {
        return write_image_and_eject(image_path.c_str(), nullptr, &chosen, &damaged, message,
                                     &ejected);
    };
    ASSERT_EQ(write_and_eject(), 1) << narrow(message);
    EXPECT_TRUE(ejected);
    EXPECT_EQ(disk->update_properties_calls, 0);
    EXPECT_EQ(sim_count(SIM_IOCTL, L"Volume{", IOCTL_VOLUME_OFFLINE), 1);
    EXPECT_TRUE(logged("disk 2 ejected")) << log();

    sim_plug_disk(STICK);
    disk->eject_veto = 3;  // PNP_VetoWindowsApp
    disk->eject_veto_name = L"explorer.exe";
    ASSERT_EQ(write_and_eject(), 1);
    EXPECT_FALSE(ejected);
    EXPECT_TRUE(logged("eject refused: veto 3 (Windows program) explorer.exe, answer 23"));
    EXPECT_EQ(disk->update_properties_calls, 1);
    EXPECT_EQ(sim_count(SIM_IOCTL, L"Volume{", IOCTL_VOLUME_ONLINE), 1);

    disk->eject_veto = -1;
    disk->removable_hub = true;  // its eject would take the keyboard too
    ASSERT_EQ(write_and_eject(), 1);
    EXPECT_FALSE(ejected);
    EXPECT_TRUE(logged("eject: no removable device found for disk 2")) << log();
    disk->removable_hub = false;

    struct Pull {
        static void on_event(const SimEvent &event, void *)
        {
            if (event.kind == SIM_IOCTL && event.code == FSCTL_UNLOCK_VOLUME && event.disk == STICK &&
                event.path.find(L"PhysicalDrive") != std::wstring::npos)
                sim_pull_disk(STICK);
        }
    };
    sim_set_hook(Pull::on_event, nullptr);
    ASSERT_EQ(write_and_eject(), 1);
    EXPECT_FALSE(ejected);
    EXPECT_TRUE(logged("eject refused: veto 0 (unknown) -, answer 13")) << log();
}

}  // namespace

