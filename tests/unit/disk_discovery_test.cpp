#include <windows.h>
#include <winioctl.h>

#include <string>
#include <vector>

#include "disk/disks.h"
#include "disk/file_volume.h"
#include "disk/seam.h"
#include "tests/support/sim_fixture.h"

namespace {

const uint64_t GIB = 1073741824ULL;
const uint64_t MIB = 1048576ULL;

struct DiscoveryTest : SimMachineTest {
    void SetUp() override
    {
        SimMachineTest::SetUp();
        // Windows on a SATA disk 0, as on most PCs.
        sim_add_disk(0, BusTypeSata, 256 * GIB, "ATA", "SAMSUNG SSD");
        sim_add_partition_volume(0, 2, L'C', DRIVE_FIXED);
    }

    std::vector<int> listed()
    {
        candidate_count = list_candidate_disks();
        std::vector<int> numbers;
        for (int i = 0; i < candidate_count; ++i) numbers.push_back(candidate_disks[i].disk_number);
        return numbers;
    }

    const DiskCandidate *candidate(int disk_number)
    {
        for (int i = 0; i < candidate_count; ++i)
            if (candidate_disks[i].disk_number == disk_number) return &candidate_disks[i];
        return nullptr;
    }
};

// ---- bus and size rules ------------------------------------------------------------

TEST_F(DiscoveryTest, SizeLimitsAreInclusiveAndOneBytePastIsRefused)
{
    sim_add_disk(1, BusTypeUsb, MIN_CANDIDATE_BYTES);
    sim_add_disk(2, BusTypeUsb, MIN_CANDIDATE_BYTES - 1);
    sim_add_disk(3, BusTypeUsb, MAX_CANDIDATE_BYTES);
    sim_add_disk(4, BusTypeUsb, MAX_CANDIDATE_BYTES + 1);
    EXPECT_EQ(listed(), (std::vector<int>{1, 3}));
    EXPECT_EQ(candidate(1)->size_bytes, 536870912ULL);
    EXPECT_EQ(candidate(3)->size_bytes, 274877906944ULL);
}

TEST_F(DiscoveryTest, OnlyUsbSdAndMmcBusesAreListed)
{
    sim_add_disk(1, BusTypeUsb, 16 * GIB);
    sim_add_disk(2, BusTypeSd, 16 * GIB);
    sim_add_disk(3, BusTypeMmc, 16 * GIB);
    sim_add_disk(4, BusTypeSata, 16 * GIB);
    sim_add_disk(5, BusTypeScsi, 16 * GIB);
    sim_add_disk(6, 17 /* NVMe */, 16 * GIB);
    sim_add_disk(7, BusTypeSas, 16 * GIB);
    sim_add_disk(8, BusTypeVirtual, 16 * GIB);
    sim_add_disk(9, BusTypeAta, 16 * GIB);
    EXPECT_EQ(listed(), (std::vector<int>{1, 2, 3}));
}

TEST_F(DiscoveryTest, RemovableFlagIsNotConsulted)
{
    sim_add_disk(1, BusTypeUsb, 500 * GIB / 4, "WD", "Elements")->removable = false;
    EXPECT_EQ(listed(), (std::vector<int>{1}));
}

TEST_F(DiscoveryTest, DiskThatFailsAQueryOrTheOpenIsLeftOut)
{
    sim_add_disk(1, BusTypeUsb, 16 * GIB)->property_error = ERROR_INVALID_FUNCTION;
    sim_add_disk(2, BusTypeUsb, 16 * GIB)->length_error = ERROR_NOT_READY;
    sim_add_disk(3, BusTypeUsb, 16 * GIB)->lock.open_error = ERROR_ACCESS_DENIED;
    sim_add_disk(4, BusTypeUsb, 16 * GIB)->present = false;
    sim_add_disk(5, BusTypeUsb, 0);  // a card reader with no card
    sim_add_disk(6, BusTypeUsb, 16 * GIB);
    EXPECT_EQ(listed(), (std::vector<int>{6}));
}

TEST_F(DiscoveryTest, DescriptorShorterThanItsFixedPartIsNotAnAnswer)
{
    sim_add_disk(1, BusTypeUsb, 16 * GIB);
    std::vector<unsigned char> bytes = sim_descriptor_bytes(sim_disk(1));
    bytes.resize(39);
    sim_set_descriptor(1, bytes.data(), bytes.size());
    EXPECT_TRUE(listed().empty());
}

// ---- the Windows disk and the disk number range ------------------------------------------

TEST_F(DiscoveryTest, WindowsDiskIsNeverListedWhateverItsBusOrSize)
{
    sim_reset();
    sim_add_disk(0, BusTypeSata, 256 * GIB);
    sim_add_disk(1, BusTypeUsb, 64 * GIB, "Samsung", "T7");  // Windows To Go
    sim_add_partition_volume(1, 3, L'C', DRIVE_FIXED);
    sim_add_disk(2, BusTypeUsb, 16 * GIB);
    EXPECT_EQ(listed(), (std::vector<int>{2}));
    EXPECT_FALSE(sim_opened_path(L"\\\\.\\PhysicalDrive1")) << "skipped before it is opened";
}

TEST_F(DiscoveryTest, SystemVolumeAcrossDisksMarksEveryDiskUnderIt)
{
    sim_reset();
    sim_add_disk(1, BusTypeUsb, 16 * GIB);
    sim_add_disk(2, BusTypeUsb, 16 * GIB);
    sim_add_disk(3, BusTypeUsb, 16 * GIB);
    sim_add_volume(L"", L'C', DRIVE_FIXED, {{3, MIB, 8 * GIB}, {1, MIB, 8 * GIB}});
    SystemDiskTable table = find_system_disks();
    for (int n = 0; n < DISK_NUMBER_LIMIT; ++n)
        EXPECT_EQ(table.holds_windows[n], n == 1 || n == 3 ? 1 : 0) << n;
    EXPECT_EQ(listed(), (std::vector<int>{2}));
}

TEST_F(DiscoveryTest, UnreadableWindowsFolderOrVolumeExcludesNothing)
{
    sim_reset();
    sim_add_disk(1, BusTypeUsb, 16 * GIB);
    sim_add_partition_volume(1, 1, L'C', DRIVE_FIXED);
    sim_set_windows_directory(L"");
    EXPECT_EQ(listed(), (std::vector<int>{1}));
    sim_set_windows_directory(L"Q:\\Windows");  // no volume on Q:
    EXPECT_EQ(listed(), (std::vector<int>{1}));
    sim_set_windows_directory(std::wstring(300, L'C').c_str());  // does not fit the buffer
    EXPECT_EQ(listed(), (std::vector<int>{1}));
    sim_set_windows_directory(L"C:\\Windows");
    sim_volume(0)->extents_error = ERROR_INVALID_FUNCTION;
    EXPECT_EQ(listed(), (std::vector<int>{1}));
}

TEST_F(DiscoveryTest, ExtentDiskNumbersOutsideTheTableAreIgnored)
{
    sim_reset();
    sim_add_disk(1, BusTypeUsb, 16 * GIB);
    sim_add_disk(64, BusTypeSata, 16 * GIB);
    sim_add_disk(70, BusTypeSata, 16 * GIB);
    sim_add_disk((int)0xFFFFFFF0u, BusTypeSata, 16 * GIB);
    sim_add_volume(L"", L'C', DRIVE_FIXED,
                   {{70, 0, GIB}, {64, 0, GIB}, {(int)0xFFFFFFF0u, 0, GIB}, {1, 0, GIB}});
    SystemDiskTable table = find_system_disks();
    for (int n = 0; n < DISK_NUMBER_LIMIT; ++n) EXPECT_EQ(table.holds_windows[n], n == 1) << n;
}

TEST_F(DiscoveryTest, DiskNumbersFrom64OnAreNeverExamined)
{
    sim_add_disk(63, BusTypeUsb, 16 * GIB);
    sim_add_disk(64, BusTypeUsb, 16 * GIB);
    sim_add_disk(65, BusTypeUsb, 16 * GIB);
    EXPECT_EQ(listed(), (std::vector<int>{63}));
    EXPECT_FALSE(sim_opened_path(L"\\\\.\\PhysicalDrive64"));
    EXPECT_FALSE(sim_opened_path(L"\\\\.\\PhysicalDrive65"));
}

TEST_F(DiscoveryTest, MoreThan32CandidatesListOnlyThe32LowestNumbers)
{
    for (int n = 1; n <= 40; ++n) sim_add_disk(n, BusTypeUsb, 8 * GIB);
    std::vector<int> numbers = listed();
    ASSERT_EQ(numbers.size(), 32u);
    EXPECT_EQ(numbers.front(), 1);
    EXPECT_EQ(numbers.back(), 32);
    EXPECT_FALSE(sim_opened_path(L"\\\\.\\PhysicalDrive33"));
}

TEST_F(DiscoveryTest, EachCallRebuildsTheListFromFreshQueries)
{
    sim_add_disk(1, BusTypeUsb, 16 * GIB);
    sim_add_disk(2, BusTypeUsb, 16 * GIB);
    EXPECT_EQ(listed(), (std::vector<int>{1, 2}));
    sim_pull_disk(1);
    sim_add_partition_volume(2, 1, L'F');
    EXPECT_EQ(listed(), (std::vector<int>{2}));
    EXPECT_STREQ(candidate(2)->letters, L"F:");
}

// ---- names ---------------------------------------------------------------------------

TEST_F(DiscoveryTest, PaddedVendorAndProductGiveTheDocumentedDisplayLine)
{
    sim_add_disk(1, BusTypeUsb, 16008609792ULL, "SanDisk ", "Cruzer Blade    ");
    sim_add_partition_volume(1, 1, L'E');
    listed();
    ASSERT_NE(candidate(1), nullptr);
    EXPECT_STREQ(candidate(1)->name, L"SanDisk Cruzer Blade");
    EXPECT_STREQ(candidate(1)->display_text, L"SanDisk Cruzer Blade  \x2014  14.9 GB  (E:)");
}

TEST_F(DiscoveryTest, NamesFromBlankVendorOnlyProductOnlyAndLeadingSpaces)
{
    sim_add_disk(1, BusTypeUsb, 8 * GIB, "", "");
    sim_add_disk(2, BusTypeUsb, 8 * GIB, "   ", "    ");
    sim_add_disk(3, BusTypeUsb, 8 * GIB, "Kingston ", "");
    sim_add_disk(4, BusTypeUsb, 8 * GIB, "", "  DataTraveler 3.0 ");
    sim_add_disk(5, BusTypeUsb, 8 * GIB, "  Generic", "  STORAGE DEVICE  ");
    listed();
    EXPECT_STREQ(candidate(1)->name, L"USB drive");
    EXPECT_STREQ(candidate(2)->name, L"USB drive");
    EXPECT_STREQ(candidate(3)->name, L"Kingston");
    EXPECT_STREQ(candidate(4)->name, L"DataTraveler 3.0");
    EXPECT_STREQ(candidate(5)->name, L"Generic STORAGE DEVICE");
}

TEST_F(DiscoveryTest, DeviceTextsAreCutTo63BytesEach)
{
    std::string vendor(80, 'V'), product(80, 'P');
    sim_add_disk(1, BusTypeUsb, 8 * GIB, vendor.c_str(), product.c_str());
    listed();
    std::wstring expected = std::wstring(63, L'V') + L" " + std::wstring(63, L'P');
    EXPECT_EQ(std::wstring(candidate(1)->name), expected);
    EXPECT_EQ(wcslen(candidate(1)->name), 127u);
}

TEST_F(DiscoveryTest, Utf8DeviceTextsBecomeWideCharacters)
{
    sim_add_disk(1, BusTypeUsb, 8 * GIB, "Gr\xC3\xBCn", "St\xC3\xA4""bchen");
    listed();
    EXPECT_STREQ(candidate(1)->name, L"Gr\x00FCn St\x00E4""bchen");
}

// A device answers with the vendor offset pointing at its last bytes and no terminator.
TEST_F(DiscoveryTest, TextWithoutTerminatorAtTheEndOfTheAnswerIsBoundedByTheAnswer)
{
    sim_add_disk(1, BusTypeUsb, 8 * GIB);
    std::vector<unsigned char> bytes(40, 0);
    bytes[12] = 40;  // VendorIdOffset
    bytes[16] = 36;  // ProductIdOffset, inside the fixed part: four zero bytes there
    bytes[28] = BusTypeUsb;
    const char tail[] = "ABCDEFGHIJKLMNOP";  // the device wrote more than it owned up to
    bytes.insert(bytes.end(), tail, tail + 16);
    sim_set_descriptor(1, bytes.data(), bytes.size());
    sim_disk(1)->descriptor_reported_bytes = 44;
    listed();
    ASSERT_NE(candidate(1), nullptr);
    EXPECT_STREQ(candidate(1)->name, L"ABCD");
}

TEST_F(DiscoveryTest, OffsetsAtOrBeyondTheAnswerGiveEmptyTexts)
{
    sim_add_disk(1, BusTypeUsb, 8 * GIB, "Vendor", "Product");
    std::vector<unsigned char> bytes = sim_descriptor_bytes(sim_disk(1));
    DWORD size = (DWORD)bytes.size();
    DWORD beyond = 5000;
    memcpy(&bytes[12], &size, 4);    // vendor offset: exactly the answer's length
    memcpy(&bytes[16], &beyond, 4);  // product offset: far outside
    sim_set_descriptor(1, bytes.data(), bytes.size());
    listed();
    EXPECT_STREQ(candidate(1)->name, L"USB drive");
}

TEST_F(DiscoveryTest, ControlBytesInDeviceTextsBecomeSpaces)
{
    sim_add_disk(1, BusTypeUsb, 8 * GIB, "Evil\r\n2026-01-01 00:00:00  TEST RESULT: OK\t", "X");
    listed();
    EXPECT_STREQ(candidate(1)->name, L"Evil  2026-01-01 00:00:00  TEST RESULT: OK X");
}

// ---- size text -------------------------------------------------------------------------

TEST_F(DiscoveryTest, SizeTextFollowsTheTableOfExamples)
{
    const struct {
        uint64_t bytes;
        const wchar_t *display;
    } table[] = {
        {536870912ULL, L"USB drive  \x2014  512 MB"},
        {1000000000ULL, L"USB drive  \x2014  953 MB"},
        {1073741823ULL, L"USB drive  \x2014  1023 MB"},
        {1073741824ULL, L"USB drive  \x2014  1.0 GB"},
        {16008609792ULL, L"USB drive  \x2014  14.9 GB"},
        {274877906944ULL, L"USB drive  \x2014  256.0 GB"},
    };
    for (int i = 0; i < 6; ++i) sim_add_disk(i + 1, BusTypeUsb, table[i].bytes);
    listed();
    for (int i = 0; i < 6; ++i) {
        ASSERT_NE(candidate(i + 1), nullptr);
        EXPECT_STREQ(candidate(i + 1)->display_text, table[i].display);
    }
}

// ---- letters -----------------------------------------------------------------------------

TEST_F(DiscoveryTest, StickWithoutLetteredVolumeShowsNoParenthesis)
{
    sim_add_disk(1, BusTypeUsb, 8 * GIB, "Lexar", "JumpDrive");
    sim_add_disk(2, BusTypeUsb, 8 * GIB, "Lexar", "JumpDrive");
    sim_add_partition_volume(2, 1, 0);  // a volume without a letter
    listed();
    EXPECT_STREQ(candidate(1)->display_text, L"Lexar JumpDrive  \x2014  8.0 GB");
    EXPECT_STREQ(candidate(2)->letters, L"");
    EXPECT_STREQ(candidate(2)->display_text, L"Lexar JumpDrive  \x2014  8.0 GB");
}

TEST_F(DiscoveryTest, SeveralVolumesShowTheirLettersInAlphabeticalOrder)
{
    sim_add_disk(1, BusTypeUsb, 8 * GIB, "Lexar", "JumpDrive");
    sim_add_partition_volume(1, 2, L'G', DRIVE_REMOVABLE, 5 * GIB);
    sim_add_partition_volume(1, 1, L'E', DRIVE_REMOVABLE, MIB, 4 * GIB);
    sim_add_disk(2, BusTypeUsb, 8 * GIB);
    sim_add_partition_volume(2, 1, L'F');
    listed();
    EXPECT_STREQ(candidate(1)->letters, L"E: G:");
    EXPECT_STREQ(candidate(1)->display_text, L"Lexar JumpDrive  \x2014  8.0 GB  (E: G:)");
    EXPECT_STREQ(candidate(2)->letters, L"F:");
}

TEST_F(DiscoveryTest, NetworkAndOpticalLettersAreNeverShown)
{
    sim_add_disk(1, BusTypeUsb, 8 * GIB);
    sim_add_partition_volume(1, 1, L'E');
    // Even a volume that claims the disk is not shown under these drive types.
    sim_add_volume(L"", L'R', DRIVE_CDROM, {{1, 6 * GIB, GIB}});
    sim_add_volume(L"", L'N', DRIVE_REMOTE, {{1, 7 * GIB, GIB}});
    sim_add_letter(L'Z', DRIVE_REMOTE);
    listed();
    EXPECT_STREQ(candidate(1)->letters, L"E:");
    EXPECT_FALSE(sim_opened(L"\\\\.\\R:"));
    EXPECT_FALSE(sim_opened(L"\\\\.\\Z:"));
}

TEST_F(DiscoveryTest, UnknownFixedAndRamdiskTypesAreExamined)
{
    sim_add_disk(1, BusTypeUsb, 8 * GIB);
    sim_add_volume(L"", L'H', DRIVE_UNKNOWN, {{1, MIB, GIB}});
    sim_add_volume(L"", L'I', DRIVE_FIXED, {{1, 2 * GIB, GIB}});
    sim_add_volume(L"", L'J', DRIVE_RAMDISK, {{1, 3 * GIB, GIB}});
    listed();
    EXPECT_STREQ(candidate(1)->letters, L"H: I: J:");
}

TEST_F(DiscoveryTest, LetterThatCannotBeReadIsDroppedButTheDiskStays)
{
    sim_add_disk(1, BusTypeUsb, 8 * GIB);
    sim_volume(sim_add_partition_volume(1, 1, L'E'))->lock.open_error = ERROR_ACCESS_DENIED;
    sim_volume(sim_add_partition_volume(1, 2, L'F', DRIVE_REMOVABLE, 2 * GIB))->extents_error =
        ERROR_INVALID_FUNCTION;
    sim_add_partition_volume(1, 3, L'K', DRIVE_REMOVABLE, 4 * GIB);
    listed();
    ASSERT_NE(candidate(1), nullptr);
    EXPECT_STREQ(candidate(1)->letters, L"K:");
}

TEST_F(DiscoveryTest, VolumeAcrossTwoDisksShowsItsLetterOnBoth)
{
    sim_add_disk(1, BusTypeUsb, 8 * GIB);
    sim_add_disk(2, BusTypeUsb, 8 * GIB);
    sim_add_volume(L"", L'S', DRIVE_FIXED, {{1, MIB, 4 * GIB}, {2, MIB, 4 * GIB}});
    listed();
    EXPECT_STREQ(candidate(1)->letters, L"S:");
    EXPECT_STREQ(candidate(2)->letters, L"S:");
}

TEST_F(DiscoveryTest, LettersStopWhenTheFieldIsNearlyFull)
{
    sim_reset();
    sim_set_windows_directory(L"");
    sim_add_disk(1, BusTypeUsb, 200 * GIB);
    for (int i = 0; i < 24; ++i)
        sim_add_volume(L"", (wchar_t)(L'C' + i), DRIVE_FIXED, {{1, (uint64_t)(i + 1) * GIB, GIB}});
    listed();
    std::wstring letters = candidate(1)->letters;
    EXPECT_EQ(letters.size(), 62u);  // 21 letters: a 22nd would not fit after 59 characters
    EXPECT_EQ(letters.substr(0, 6), L"C: D: ");
    EXPECT_EQ(letters.find(L"X:"), std::wstring::npos);
    EXPECT_EQ(letters.substr(59), L" W:");
}

// ---- the building blocks on their own ------------------------------------------------------

TEST_F(DiscoveryTest, IdentifyOpensReadOnlyAndReportsBusSizeAndName)
{
    sim_add_disk(3, BusTypeSd, 31914983424ULL, "Generic-", "SD/MMC");
    uint64_t size = 0;
    wchar_t name[DISK_NAME_CHARS];
    int bus = 0;
    ASSERT_TRUE(identify_disk(3, &size, name, &bus));
    EXPECT_EQ(size, 31914983424ULL);
    EXPECT_STREQ(name, L"Generic- SD/MMC");
    EXPECT_EQ(bus, BusTypeSd);
    std::vector<SimEvent> journal = sim_journal();
    ASSERT_FALSE(journal.empty());
    EXPECT_EQ(journal[0].path, L"\\\\.\\PhysicalDrive3");
    EXPECT_EQ(journal[0].access, (DWORD)GENERIC_READ);
    EXPECT_EQ(journal[0].share, (DWORD)(FILE_SHARE_READ | FILE_SHARE_WRITE));
    EXPECT_EQ(journal[0].flags, 0UL);
    EXPECT_FALSE(identify_disk(4, &size, name, &bus));
    EXPECT_TRUE(log_lines().empty());
}

TEST_F(DiscoveryTest, VolumeDiskNumbersFollowTheExtentsAndStopAt32)
{
    for (int n = 1; n <= 4; ++n) sim_add_disk(n, BusTypeUsb, 64 * GIB);
    std::vector<SimExtent> extents;
    for (int i = 0; i < 33; ++i) extents.push_back(SimExtent{i % 5, (uint64_t)i * GIB, GIB});
    int many = sim_add_volume(L"", L'M', DRIVE_FIXED, extents);
    extents.pop_back();
    int thirty_two = sim_add_volume(L"", L'T', DRIVE_FIXED, extents);
    int none = sim_add_volume(L"", L'N', DRIVE_FIXED, {});
    int liar = sim_add_volume(L"", L'L', DRIVE_FIXED, {{2, 0, GIB}});
    sim_volume(liar)->reported_extent_count = 20;
    sim_volume(sim_add_volume(L"", L'O', DRIVE_FIXED, {{1, 0, GIB}}))->reported_extent_count = 40;
    (void)many;
    (void)thirty_two;
    (void)none;
    auto numbers_of = [](wchar_t letter, int *numbers) {
        wchar_t path[8] = {L'\\', L'\\', L'.', L'\\', letter, L':', 0};
        HANDLE volume = seam.CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                         OPEN_EXISTING, 0, NULL);
        int count = volume_disk_numbers(volume, numbers);
        seam.CloseHandle(volume);
        return count;
    };
    int numbers[MAX_VOLUME_EXTENTS];
    EXPECT_EQ(numbers_of(L'M', numbers), 32);  // 33 extents still fit the answer
    EXPECT_EQ(numbers_of(L'T', numbers), 32);
    for (int i = 0; i < 32; ++i) EXPECT_EQ(numbers[i], i % 5);
    EXPECT_EQ(numbers_of(L'N', numbers), 0);
    EXPECT_EQ(numbers_of(L'L', numbers), 1);  // the count is held to the extents that came
    EXPECT_EQ(numbers[0], 2);
    EXPECT_EQ(numbers_of(L'O', numbers), 1);
}

TEST_F(DiscoveryTest, VolumeWithMoreExtentsThanTheAnswerHoldsGivesNone)
{
    std::vector<SimExtent> extents;
    for (int i = 0; i < 34; ++i) extents.push_back(SimExtent{1, (uint64_t)i * GIB, GIB});
    sim_add_disk(1, BusTypeUsb, 64 * GIB);
    sim_add_volume(L"", L'M', DRIVE_FIXED, extents);
    HANDLE volume = seam.CreateFileW(L"\\\\.\\M:", 0, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                     OPEN_EXISTING, 0, NULL);
    int numbers[MAX_VOLUME_EXTENTS];
    EXPECT_EQ(volume_disk_numbers(volume, numbers), 0);
    seam.CloseHandle(volume);
    EXPECT_EQ(sim_count(SIM_IOCTL, L"M:", IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS), 1);
}

// ---- which disk a file lies on ---------------------------------------------------

// The same-disk rules read the \\?\ forms as the plain ones; what cannot be
// placed (a mount point Windows gives that does not begin the path, a share of
// this PC) is not taken for elsewhere.
TEST_F(DiscoveryTest, FileIsPlacedOnItsVolumesDiskWhateverTheFormOfItsPath)
{
    sim_add_disk(1, BusTypeUsb, 16 * GIB);
    std::wstring e = sim_volume(sim_add_partition_volume(1, 1, L'E'))->name;
    std::wstring c = sim_volume(0)->name;
    sim_add_mount_folder(L"C:\\mnt\\stick\\", 1);
    sim_add_letter(L'Z', DRIVE_REMOTE);
    wchar_t this_pc[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD length = MAX_COMPUTERNAME_LENGTH + 1;
    ASSERT_TRUE(GetComputerNameW(this_pc, &length));
    struct Case { std::wstring path; FilePlace place; } cases[] = {
        {L"E:\\os.iso", FILE_ON_DISK}, {L"\\\\?\\E:\\os.iso", FILE_ON_DISK},
        {e + L"os.iso", FILE_ON_DISK}, {L"\\\\?\\C:\\mnt\\stick\\os.iso", FILE_ON_DISK},
        {c + L"mnt\\stick\\os.iso", FILE_ON_DISK}, {L"\\\\?\\C:\\os.iso", FILE_ELSEWHERE},
        {L"\\\\?\\UNC\\server\\share\\os.iso", FILE_ELSEWHERE}, {L"Z:\\os.iso", FILE_ELSEWHERE},
        {L"Q:\\os.iso", FILE_UNPLACED}, {L"\\\\?\\GLOBALROOT\\Device\\X\\os.iso", FILE_UNPLACED},
        {L"C:/mnt/stick/../os.iso", FILE_ELSEWHERE}, {L"\\\\localhost\\e\\os.iso", FILE_UNPLACED},
        {L"\\\\127.0.0.1\\e\\os.iso", FILE_UNPLACED}, {L"\\\\?\\UNC\\LocalHost\\e", FILE_UNPLACED},
        {std::wstring(L"\\\\") + this_pc + L"\\e\\os.iso", FILE_UNPLACED},
    };
    for (const Case &c : cases) EXPECT_EQ(where_file_lies(c.path.c_str(), 1), c.place) << narrow(c.path);
}

}  // namespace
