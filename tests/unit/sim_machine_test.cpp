#include <windows.h>
#include <winioctl.h>

#include <string>
#include <thread>
#include <vector>

#include "disk/seam.h"
#include "tests/support/sim_fixture.h"
#include "tests/support/sim_load.h"
#include "tests/support/virtual_clock.h"

namespace {

const uint64_t GIB = 1073741824ULL;
const uint64_t MIB = 1048576ULL;
const DWORD SHARE = FILE_SHARE_READ | FILE_SHARE_WRITE;

struct SimTest : SimMachineTest {
    HANDLE open(const wchar_t *path, DWORD access = GENERIC_READ | GENERIC_WRITE, DWORD flags = 0)
    {
        return seam.CreateFileW(path, access, SHARE, NULL, OPEN_EXISTING, flags, NULL);
    }
    static bool ioctl(HANDLE h, DWORD code, void *out = nullptr, DWORD out_size = 0)
    {
        DWORD got = 0;
        return seam.DeviceIoControl(h, code, NULL, 0, out, out_size, &got, NULL) != 0;
    }
    static bool seek(HANDLE h, uint64_t offset)
    {
        LARGE_INTEGER at;
        at.QuadPart = (LONGLONG)offset;
        return seam.SetFilePointerEx(h, at, NULL, FILE_BEGIN) != 0;
    }
    static DWORD write_at(HANDLE h, uint64_t offset, const void *data, DWORD length, DWORD *moved)
    {
        *moved = 0;
        if (!seek(h, offset)) return GetLastError();
        SetLastError(0);
        return seam.WriteFile(h, data, length, moved, NULL) ? 0 : GetLastError();
    }
    static DWORD read_at(HANDLE h, uint64_t offset, void *data, DWORD length, DWORD *moved)
    {
        *moved = 0;
        if (!seek(h, offset)) return GetLastError();
        SetLastError(0);
        return seam.ReadFile(h, data, length, moved, NULL) ? 0 : GetLastError();
    }
    // A page-aligned buffer, as VirtualAlloc gives the engine.
    struct Pages {
        unsigned char *bytes;
        explicit Pages(size_t n)
            : bytes((unsigned char *)VirtualAlloc(NULL, n, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE))
        {
        }
        ~Pages() { VirtualFree(bytes, 0, MEM_RELEASE); }
    };
};

TEST_F(SimTest, UnbufferedHandleRefusesMisalignedOffsetLengthAndBuffer)
{
    sim_add_disk(1, BusTypeUsb, 8 * GIB)->bytes_per_sector = 4096;
    HANDLE disk = open(L"\\\\.\\PhysicalDrive1", GENERIC_READ | GENERIC_WRITE,
                       FILE_FLAG_NO_BUFFERING | FILE_FLAG_WRITE_THROUGH);
    ASSERT_NE(disk, INVALID_HANDLE_VALUE);
    Pages buffer(2 * MIB);
    DWORD moved = 0;
    EXPECT_EQ(write_at(disk, 4096, buffer.bytes, 8192, &moved), 0UL);
    EXPECT_EQ(write_at(disk, 512, buffer.bytes, 4096, &moved), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(write_at(disk, 4096, buffer.bytes, 4096 + 512, &moved),
              (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(read_at(disk, 4096, buffer.bytes + 512, 4096, &moved),
              (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(moved, 0UL);
    seam.CloseHandle(disk);
    // A buffered handle accepts all of it.
    disk = open(L"\\\\.\\PhysicalDrive1");
    EXPECT_EQ(write_at(disk, 512, buffer.bytes + 1, 100, &moved), 0UL);
    EXPECT_EQ(moved, 100UL);
    seam.CloseHandle(disk);
}

TEST_F(SimTest, DiskAnswersGeometryExtendedAccessAndLayoutUpdates)
{
    SimDisk *stick = sim_add_disk(1, BusTypeUsb, 8 * GIB);
    stick->bytes_per_sector = 4096;
    HANDLE disk = open(L"\\\\.\\PhysicalDrive1");
    unsigned char answer[40] = {};
    ASSERT_TRUE(ioctl(disk, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, answer, sizeof answer));
    EXPECT_EQ(((DISK_GEOMETRY *)answer)->BytesPerSector, 4096UL);
    EXPECT_EQ(((DISK_GEOMETRY_EX *)answer)->DiskSize.QuadPart, (LONGLONG)(8 * GIB));
    stick->geometry_error = ERROR_NOT_READY;
    EXPECT_FALSE(ioctl(disk, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, answer, sizeof answer));
    EXPECT_TRUE(ioctl(disk, FSCTL_ALLOW_EXTENDED_DASD_IO));
    stick->dasd_error = ERROR_INVALID_FUNCTION;
    EXPECT_FALSE(ioctl(disk, FSCTL_ALLOW_EXTENDED_DASD_IO));
    EXPECT_TRUE(ioctl(disk, IOCTL_DISK_UPDATE_PROPERTIES));
    EXPECT_EQ(stick->update_properties_calls, 1);
    GET_LENGTH_INFORMATION length;
    EXPECT_TRUE(ioctl(disk, IOCTL_DISK_GET_LENGTH_INFO, &length, sizeof length));
    EXPECT_EQ(length.Length.QuadPart, (LONGLONG)(8 * GIB));
    EXPECT_FALSE(ioctl(disk, 0x12345678));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_FUNCTION);
    seam.CloseHandle(disk);
    // A query open may not ask for the length.
    disk = open(L"\\\\.\\PhysicalDrive1", 0);
    EXPECT_FALSE(ioctl(disk, IOCTL_DISK_GET_LENGTH_INFO, &length, sizeof length));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    seam.CloseHandle(disk);
}

TEST_F(SimTest, OddGeometryLeaves512AsTheAlignmentUnit)
{
    sim_add_disk(1, BusTypeUsb, 8 * GIB)->bytes_per_sector = 520;
    HANDLE disk = open(L"\\\\.\\PhysicalDrive1", GENERIC_READ | GENERIC_WRITE,
                       FILE_FLAG_NO_BUFFERING);
    Pages buffer(4096);
    DWORD moved = 0;
    EXPECT_EQ(write_at(disk, 1024, buffer.bytes, 512, &moved), 0UL);
    EXPECT_EQ(write_at(disk, 520, buffer.bytes, 520, &moved), (DWORD)ERROR_INVALID_PARAMETER);
    seam.CloseHandle(disk);
}

TEST_F(SimTest, SparseContentMakesA256GiBDiskCostNothing)
{
    sim_add_disk(1, BusTypeUsb, 256 * GIB);
    sim_set_protect_mounted_volumes(false);
    HANDLE disk = open(L"\\\\.\\PhysicalDrive1");
    Pages zeros(MIB);
    DWORD moved = 0;
    EXPECT_EQ(write_at(disk, 256 * GIB - MIB, zeros.bytes, (DWORD)MIB, &moved), 0UL);
    EXPECT_EQ(sim_content_pages(1), 0u);
    zeros.bytes[5] = 0x42;
    EXPECT_EQ(write_at(disk, 200 * GIB, zeros.bytes, 512, &moved), 0UL);
    EXPECT_EQ(sim_content_pages(1), 1u);
    unsigned char back[16];
    sim_read_content(1, 200 * GIB, back, 16);
    EXPECT_EQ(back[5], 0x42);
    seam.CloseHandle(disk);
}

TEST_F(SimTest, HostFileBacksTheContentByteForByte)
{
    std::wstring path = folder + L"\\stick.img";
    sim_add_disk(1, BusTypeUsb, 4 * GIB);
    ASSERT_TRUE(sim_back_disk_with_file(1, path.c_str()));
    HANDLE disk = open(L"\\\\.\\PhysicalDrive1");
    const char text[] = "quenvar";
    DWORD moved = 0;
    EXPECT_EQ(write_at(disk, 1024, text, 7, &moved), 0UL);
    seam.CloseHandle(disk);
    sim_reset();  // closes the host file
    std::string bytes = read_whole_file(path);
    ASSERT_EQ(bytes.size(), 1031u);
    EXPECT_EQ(bytes.substr(1024), "quenvar");
    EXPECT_EQ(bytes.substr(0, 1024), std::string(1024, '\0'));
}

TEST_F(SimTest, DevicePathsResolveToDisksVolumesAndPartitions)
{
    sim_add_disk(2, BusTypeUsb, 8 * GIB);
    int volume = sim_add_partition_volume(2, 1, L'E');
    sim_add_partition(2, 3, 5 * GIB);
    std::wstring name = sim_volume(volume)->name;
    ASSERT_EQ(name.back(), L'\\');
    std::wstring device = name.substr(0, name.size() - 1);
    const wchar_t *good[] = {L"\\\\.\\PhysicalDrive2", L"\\\\.\\E:", device.c_str(),
                             L"\\\\?\\GLOBALROOT\\Device\\Harddisk2\\Partition1",
                             L"\\\\?\\GLOBALROOT\\Device\\Harddisk2\\Partition3",
                             L"\\\\?\\GLOBALROOT\\Device\\Harddisk2\\Partition0"};
    for (const wchar_t *path : good) {
        HANDLE h = open(path, 0);
        EXPECT_NE(h, INVALID_HANDLE_VALUE) << path;
        STORAGE_DEVICE_NUMBER number = {};
        if (h != INVALID_HANDLE_VALUE && ioctl(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, &number,
                                               sizeof number)) {
            EXPECT_EQ(number.DeviceType, (DWORD)FILE_DEVICE_DISK);
            EXPECT_EQ(number.DeviceNumber, 2UL) << path;
        }
        seam.CloseHandle(h);
    }
    const struct {
        const wchar_t *path;
        DWORD error;
    } bad[] = {{L"\\\\.\\PhysicalDrive3", ERROR_FILE_NOT_FOUND},
               {L"\\\\.\\F:", ERROR_FILE_NOT_FOUND},
               {name.c_str(), ERROR_ACCESS_DENIED},  // with the backslash: the root folder
               {L"\\\\?\\GLOBALROOT\\Device\\Harddisk2\\Partition2", ERROR_FILE_NOT_FOUND},
               {L"\\\\?\\GLOBALROOT\\Device\\Harddisk9\\Partition1", ERROR_PATH_NOT_FOUND}};
    for (auto &b : bad) {
        EXPECT_EQ(open(b.path, 0), INVALID_HANDLE_VALUE) << b.path;
        EXPECT_EQ(GetLastError(), b.error) << b.path;
    }
    EXPECT_EQ(sim_count(SIM_OPEN_FAILED), 5);
}

TEST_F(SimTest, VolumeEnumerationListsPresentVolumesWithTheirBackslash)
{
    sim_add_disk(1, BusTypeUsb, 8 * GIB);
    sim_add_disk(2, BusTypeUsb, 8 * GIB);
    int a = sim_add_partition_volume(1, 1, L'E');
    sim_add_partition_volume(2, 1, L'F');
    int c = sim_add_volume(L"{00000000-1111-2222-3333-444444444444}", 0, DRIVE_FIXED,
                           {{1, 4 * GIB, GIB}});
    sim_pull_disk(2);
    wchar_t name[260];
    std::vector<std::wstring> names;
    HANDLE search = seam.FindFirstVolumeW(name, 260);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    do names.push_back(name);
    while (seam.FindNextVolumeW(search, name, 260));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_MORE_FILES);
    seam.FindVolumeClose(search);
    EXPECT_EQ(names, (std::vector<std::wstring>{sim_volume(a)->name, sim_volume(c)->name}));
    EXPECT_EQ(seam.GetLogicalDrives(), 1UL << 4);  // F: went with its disk
    sim_set_volume_enumeration_error(ERROR_ACCESS_DENIED);
    EXPECT_EQ(seam.FindFirstVolumeW(name, 260), INVALID_HANDLE_VALUE);
}

TEST_F(SimTest, LockIsRefusedNTimesOrWhileAnotherProgramHoldsAFile)
{
    sim_add_disk(1, BusTypeUsb, 8 * GIB)->lock.lock_refusals = 2;
    int v = sim_add_partition_volume(1, 1, L'E');
    sim_volume(v)->lock.foreign_open_files = 1;
    HANDLE disk = open(L"\\\\.\\PhysicalDrive1");
    EXPECT_FALSE(ioctl(disk, FSCTL_LOCK_VOLUME));
    EXPECT_FALSE(ioctl(disk, FSCTL_LOCK_VOLUME));
    EXPECT_TRUE(ioctl(disk, FSCTL_LOCK_VOLUME));
    HANDLE volume = open(L"\\\\.\\E:");
    EXPECT_FALSE(ioctl(volume, FSCTL_LOCK_VOLUME));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    sim_volume(v)->lock.foreign_open_files = 0;
    EXPECT_TRUE(ioctl(volume, FSCTL_LOCK_VOLUME));
    // A locked volume refuses other data opens, but not a query open.
    EXPECT_EQ(open(L"\\\\.\\E:"), INVALID_HANDLE_VALUE);
    HANDLE query = open(L"\\\\.\\E:", 0);
    EXPECT_NE(query, INVALID_HANDLE_VALUE);
    seam.CloseHandle(query);
    EXPECT_NE(sim_audit(), "");
    EXPECT_TRUE(ioctl(volume, FSCTL_UNLOCK_VOLUME));
    EXPECT_FALSE(ioctl(volume, FSCTL_UNLOCK_VOLUME));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_LOCKED);
    seam.CloseHandle(volume);
    seam.CloseHandle(disk);  // closing releases the disk lock
    EXPECT_EQ(sim_disk(1)->lock.locked_by, 0UL);
}

TEST_F(SimTest, WritesIntoAMountedUnlockedVolumeAreRefused)
{
    sim_add_disk(1, BusTypeUsb, 8 * GIB);
    sim_add_partition_volume(1, 1, L'E', DRIVE_REMOVABLE, MIB, GIB);
    HANDLE disk = open(L"\\\\.\\PhysicalDrive1");
    char block[512] = {1};
    DWORD moved = 0;
    EXPECT_EQ(write_at(disk, 0, block, 512, &moved), 0UL);  // before the volume
    EXPECT_EQ(write_at(disk, MIB, block, 512, &moved), (DWORD)ERROR_ACCESS_DENIED);
    HANDLE volume = open(L"\\\\.\\E:");
    EXPECT_TRUE(ioctl(volume, FSCTL_DISMOUNT_VOLUME));
    EXPECT_EQ(write_at(disk, MIB, block, 512, &moved), 0UL);
    seam.CloseHandle(volume);
    // A data open mounts it again.
    seam.CloseHandle(open(L"\\\\.\\E:", GENERIC_READ));
    EXPECT_EQ(write_at(disk, MIB, block, 512, &moved), (DWORD)ERROR_ACCESS_DENIED);
    seam.CloseHandle(disk);
}

TEST_F(SimTest, FaultsFailTheChosenTransfersAndThenStop)
{
    sim_add_disk(1, BusTypeUsb, 8 * GIB);
    SimFault refused;
    refused.offset = 0;
    refused.remaining = 2;
    refused.error = ERROR_ACCESS_DENIED;
    sim_add_fault(1, refused);
    SimFault short_read;
    short_read.kinds = SIM_FAULT_READ;
    short_read.offset = 10 * MIB;
    short_read.length = MIB;
    short_read.remaining = -1;
    short_read.error = 0;
    short_read.moved = 4096;
    sim_add_fault(1, short_read);
    HANDLE disk = open(L"\\\\.\\PhysicalDrive1");
    Pages buffer(MIB);
    DWORD moved = 0;
    EXPECT_EQ(write_at(disk, 0, buffer.bytes, (DWORD)MIB, &moved), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(write_at(disk, 0, buffer.bytes, (DWORD)MIB, &moved), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(write_at(disk, 0, buffer.bytes, (DWORD)MIB, &moved), 0UL);
    EXPECT_EQ(read_at(disk, 10 * MIB, buffer.bytes, (DWORD)MIB, &moved), 0UL);
    EXPECT_EQ(moved, 4096UL);
    EXPECT_EQ(sim_writes_to_disk(1), 3);
    uint64_t offset = 1;
    DWORD length = 0;
    ASSERT_TRUE(sim_last_write(1, &offset, &length));
    EXPECT_EQ(offset, 0ULL);
    EXPECT_EQ(length, (DWORD)MIB);
    seam.CloseHandle(disk);
}

TEST_F(SimTest, ReadsPastTheEndComeUpShortAndBeyondItFail)
{
    sim_add_disk(1, BusTypeUsb, 8 * GIB);
    HANDLE disk = open(L"\\\\.\\PhysicalDrive1");
    Pages buffer(MIB);
    DWORD moved = 0;
    EXPECT_EQ(read_at(disk, 8 * GIB - 4096, buffer.bytes, (DWORD)MIB, &moved), 0UL);
    EXPECT_EQ(moved, 4096UL);
    EXPECT_EQ(read_at(disk, 8 * GIB, buffer.bytes, 512, &moved), (DWORD)ERROR_SECTOR_NOT_FOUND);
    seam.CloseHandle(disk);
}

TEST_F(SimTest, FakeCapacityDiskLosesWhatLiesBeyondItsTrueSize)
{
    sim_add_disk(1, BusTypeUsb, 64 * GIB)->true_capacity = 8 * GIB;
    HANDLE disk = open(L"\\\\.\\PhysicalDrive1");
    Pages data(4096), back(4096);
    memset(data.bytes, 0x11, 4096);
    DWORD moved = 0;
    EXPECT_EQ(write_at(disk, 8 * GIB - 2048, data.bytes, 4096, &moved), 0UL);
    EXPECT_EQ(moved, 4096UL);
    EXPECT_EQ(read_at(disk, 8 * GIB - 2048, back.bytes, 4096, &moved), 0UL);
    EXPECT_EQ(memcmp(back.bytes, data.bytes, 2048), 0);
    EXPECT_NE(memcmp(back.bytes + 2048, data.bytes + 2048, 2048), 0);
    seam.CloseHandle(disk);
}

TEST_F(SimTest, PulledDiskFailsEveryLaterCall)
{
    SimDisk *stick = sim_add_disk(1, BusTypeUsb, 8 * GIB);
    stick->pull_after_bytes = 3 * MIB + 512;
    sim_add_partition_volume(1, 1, L'E', DRIVE_REMOVABLE, 6 * GIB);
    HANDLE disk = open(L"\\\\.\\PhysicalDrive1");
    HANDLE volume = open(L"\\\\.\\E:", 0);
    Pages buffer(MIB);
    DWORD moved = 0;
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(write_at(disk, i * MIB, buffer.bytes, (DWORD)MIB, &moved), 0UL);
    EXPECT_EQ(write_at(disk, 3 * MIB, buffer.bytes, (DWORD)MIB, &moved),
              (DWORD)ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(moved, 512UL);
    EXPECT_EQ(read_at(disk, 0, buffer.bytes, 512, &moved), (DWORD)ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(ioctl(volume, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(open(L"\\\\.\\PhysicalDrive1"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(seam.GetLogicalDrives(), 0UL);
    EXPECT_TRUE(seam.CloseHandle(disk));
    EXPECT_TRUE(seam.CloseHandle(volume));
}

TEST_F(SimTest, SharingRulesRefuseAConflictingOpen)
{
    sim_add_disk(1, BusTypeUsb, 8 * GIB);
    HANDLE exclusive = seam.CreateFileW(L"\\\\.\\PhysicalDrive1", GENERIC_READ, 0, NULL,
                                        OPEN_EXISTING, 0, NULL);
    ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
    EXPECT_EQ(open(L"\\\\.\\PhysicalDrive1", GENERIC_READ), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    HANDLE query = open(L"\\\\.\\PhysicalDrive1", 0);
    EXPECT_NE(query, INVALID_HANDLE_VALUE);
    seam.CloseHandle(query);
    seam.CloseHandle(exclusive);
}

TEST_F(SimTest, MountFoldersAndLettersAnswerTheImageVolumeQueries)
{
    sim_add_disk(1, BusTypeUsb, 8 * GIB);
    int v = sim_add_partition_volume(1, 1, L'E');
    sim_add_mount_folder(L"C:\\stick", v);
    wchar_t mount[260], name[260];
    ASSERT_TRUE(seam.GetVolumePathNameW(L"C:\\stick\\os\\image.iso", mount, 260));
    EXPECT_STREQ(mount, L"C:\\stick\\");
    ASSERT_TRUE(seam.GetVolumeNameForVolumeMountPointW(mount, name, 260));
    EXPECT_EQ(std::wstring(name), sim_volume(v)->name);
    ASSERT_TRUE(seam.GetVolumePathNameW(L"e:\\image.iso", mount, 260));
    ASSERT_TRUE(seam.GetVolumeNameForVolumeMountPointW(mount, name, 260));
    EXPECT_EQ(std::wstring(name), sim_volume(v)->name);
    ASSERT_TRUE(seam.GetVolumePathNameW(L"\\\\server\\share\\dir\\image.iso", mount, 260));
    EXPECT_STREQ(mount, L"\\\\server\\share\\");
    EXPECT_FALSE(seam.GetVolumeNameForVolumeMountPointW(mount, name, 260));
    EXPECT_FALSE(seam.GetVolumeNameForVolumeMountPointW(L"D:\\", name, 260));
}

TEST_F(SimTest, OrdinaryFilesPassThroughToWindows)
{
    std::wstring path = folder + L"\\plain.bin";
    ASSERT_TRUE(write_whole_file(path, "abc"));
    HANDLE file = seam.CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL,
                                   OPEN_EXISTING, 0, NULL);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    char text[4] = {};
    DWORD got = 0;
    EXPECT_TRUE(seam.ReadFile(file, text, 3, &got, NULL));
    EXPECT_STREQ(text, "abc");
    EXPECT_TRUE(seam.CloseHandle(file));
    EXPECT_EQ(sim_count(SIM_OPEN_FORWARDED, L"plain.bin"), 1);
    EXPECT_EQ(sim_open_handles(), 0);
}

TEST_F(SimTest, AuditNamesLeftHandlesLocksAndMisuse)
{
    sim_add_disk(1, BusTypeUsb, 8 * GIB);
    HANDLE disk = open(L"\\\\.\\PhysicalDrive1");
    ASSERT_TRUE(ioctl(disk, FSCTL_LOCK_VOLUME));
    std::string audit = sim_audit();
    EXPECT_NE(audit.find("still open: \\\\.\\PhysicalDrive1"), std::string::npos) << audit;
    EXPECT_NE(audit.find("disk 1 still locked"), std::string::npos) << audit;
    seam.CloseHandle(disk);
    EXPECT_EQ(sim_audit(), "");
    EXPECT_FALSE(seam.CloseHandle(disk));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_NE(sim_audit().find("misuse: CloseHandle"), std::string::npos);
    sim_reset();  // the fixture's own audit would flag it
}

TEST_F(SimTest, JournalRecordsTheVirtualTimeAndTheHookSeesEachEvent)
{
    sim_add_disk(1, BusTypeUsb, 8 * GIB);
    int opens = 0;
    sim_set_hook(
        [](const SimEvent &event, void *context) {
            if (event.kind == SIM_OPEN) ++*(int *)context;
        },
        &opens);
    seam.Sleep(250);
    HANDLE disk = open(L"\\\\.\\PhysicalDrive1");
    seam.CloseHandle(disk);
    std::vector<SimEvent> journal = sim_journal();
    ASSERT_EQ(journal.size(), 3u);
    EXPECT_EQ(journal[0].kind, SIM_SLEEP);
    EXPECT_EQ(journal[1].tick, (DWORD)VIRTUAL_CLOCK_START + 250);
    EXPECT_EQ(journal[1].disk, 1);
    EXPECT_EQ(opens, 1);
    EXPECT_NE(sim_journal_text().find(L"open \\\\.\\PhysicalDrive1"), std::wstring::npos);
}

// ---- the description file -----------------------------------------------------------

TEST_F(SimTest, DescriptionFileBuildsTheWholeMachine)
{
    std::wstring path = folder + L"\\machine.txt";
    std::wstring backing = folder + L"\\stick.img";
    std::string backing_utf8(backing.begin(), backing.end());
    ASSERT_TRUE(write_whole_file(path,
        "# a PC with one stick\n"
        "windows C:\\Windows\n"
        "disk 0 bus=sata size=256G vendor=ATA product=\"SAMSUNG SSD\"\n"
        "volume {11111111-0000-0000-0000-000000000000} letter=C type=fixed disk=0 partition=2\n"
        "disk 1 bus=usb size=16008609792 vendor=\"SanDisk \" product=\"Cruzer Blade    \" "
        "sector=512 backing=\"" + backing_utf8 + "\"\n"
        "volume - letter=E type=removable disk=1 partition=1 lock-refusals=3 online-error=21\n"
        "partition 1 2 offset=8G open-files=1\n"
        "disk 2 bus=sd size=32G capacity=4G pull-after=100M\n"
        "volume - letter=S type=fixed extent=1:9G:1G extent=2:1M:1G\n"
        "letter Z type=remote\n"
        "mount C:\\isos\\ volume=E:\n"
        "fault 1 write offset=0 count=2 error=5\n"
        "fault 2 read offset=1M length=1M count=always error=0 moved=512\n"));
    ASSERT_TRUE(sim_load_machine_file(path.c_str())) << sim_last_load_error();
    SimDisk *stick = sim_disk(1);
    ASSERT_NE(stick, nullptr);
    EXPECT_EQ(stick->size, 16008609792ULL);
    EXPECT_EQ(stick->vendor, "SanDisk ");
    EXPECT_EQ(stick->product, "Cruzer Blade    ");
    EXPECT_EQ(sim_disk(0)->bus_type, BusTypeSata);
    EXPECT_EQ(sim_disk(2)->true_capacity, 4 * GIB);
    EXPECT_EQ(sim_disk(2)->pull_after_bytes, 100 * MIB);
    ASSERT_EQ(sim_volume_count(), 3);
    EXPECT_EQ(sim_volume(0)->name, L"\\\\?\\Volume{11111111-0000-0000-0000-000000000000}\\");
    EXPECT_EQ(sim_volume(1)->letter, L'E');
    EXPECT_EQ(sim_volume(1)->partition_number, 1);
    EXPECT_EQ(sim_volume(1)->lock.lock_refusals, 3);
    EXPECT_EQ(sim_volume(1)->lock.online_error, 21UL);
    EXPECT_EQ(sim_volume(2)->extents.size(), 2u);
    EXPECT_EQ(sim_partition(1, 2)->lock.foreign_open_files, 1);
    EXPECT_EQ(sim_partition(1, 2)->offset, 8 * GIB);
    EXPECT_EQ(stick->faults.size(), 1u);
    EXPECT_EQ(sim_disk(2)->faults[0].remaining, -1);
    EXPECT_EQ(seam.GetDriveTypeW(L"Z:\\"), (UINT)DRIVE_REMOTE);
    wchar_t mount[260];
    ASSERT_TRUE(seam.GetVolumePathNameW(L"C:\\isos\\os.iso", mount, 260));
    EXPECT_STREQ(mount, L"C:\\isos\\");
}

// A benchmark's stick: its rate costs real time only once the real clock is in use.
TEST_F(SimTest, RatedDiskTakesRealTimeOnlyWithTheRealClock)
{
    ASSERT_TRUE(sim_load_machine_text("disk 1 bus=usb size=8G write-rate=100M read-rate=1G\n",
                                      nullptr));
    SimDisk *stick = sim_disk(1);
    EXPECT_EQ(stick->write_rate, 100 * MIB);
    EXPECT_EQ(stick->read_rate, GIB);
    Pages buffer(MIB);
    HANDLE disk = open(L"\\\\.\\PhysicalDrive1");
    DWORD moved = 0;
    EXPECT_EQ(write_at(disk, 0, buffer.bytes, (DWORD)MIB, &moved), 0UL);
    EXPECT_EQ(stick->busy_until, 0);

    sim_use_real_clock();
    EXPECT_EQ(seam.GetTickCount, win32_seam.GetTickCount);
    EXPECT_EQ(seam.Sleep, win32_seam.Sleep);
    LARGE_INTEGER before, after, frequency;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&before);
    EXPECT_EQ(write_at(disk, MIB, buffer.bytes, (DWORD)MIB, &moved), 0UL);
    QueryPerformanceCounter(&after);
    // A tenth of a second per 10 MiB: the write ends no sooner than 1/100 s after it began.
    EXPECT_GE(stick->busy_until - before.QuadPart, frequency.QuadPart / 100);
    EXPECT_GE(after.QuadPart, stick->busy_until);
    LONGLONG write_end = stick->busy_until;
    EXPECT_EQ(read_at(disk, 0, buffer.bytes, (DWORD)MIB, &moved), 0UL);
    EXPECT_GE(stick->busy_until - write_end, frequency.QuadPart / 1024);
    seam.CloseHandle(disk);
}

TEST_F(SimTest, DescriptionErrorsNameTheLine)
{
    std::string error;
    EXPECT_FALSE(sim_load_machine_text("windows C:\\Windows\ndisk 1 bus=floppy\n", &error));
    EXPECT_EQ(error, "line 2: disk: bad bus=floppy");
    EXPECT_FALSE(sim_load_machine_text("disk 1 vendor=\"open\n", &error));
    EXPECT_EQ(error, "line 1: unclosed quote");
    EXPECT_FALSE(sim_load_machine_text("volume - letter=E\nmount C:\\x volume=Q:\n", &error));
    EXPECT_EQ(error, "line 2: mount: no volume Q:");
    EXPECT_FALSE(sim_load_machine_text("printer 1\n", &error));
    EXPECT_EQ(error, "line 1: unknown statement printer");
    EXPECT_FALSE(sim_load_machine_file(L"C:\\no\\such\\machine.txt"));
}

TEST_F(SimTest, ProcessMachineLoadsInstallsAndSavesItsJournal)
{
    std::wstring path = folder + L"\\machine.txt";
    ASSERT_TRUE(write_whole_file(path, "disk 3 bus=mmc size=2G vendor=Card\n"));
    sim_uninstall();
    ASSERT_TRUE(sim_start_process_machine(path.c_str(), nullptr));
    EXPECT_NE(seam.CreateFileW, win32_seam.CreateFileW);
    EXPECT_EQ(seam.GetTickCount(), (DWORD)VIRTUAL_CLOCK_START);
    HANDLE disk = seam.CreateFileW(L"\\\\.\\PhysicalDrive3", 0, 3, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(disk, INVALID_HANDLE_VALUE);
    std::wstring journal = folder + L"\\journal.txt";
    ASSERT_TRUE(sim_save_journal(journal.c_str()));
    std::string text = read_whole_file(journal);
    EXPECT_NE(text.find("open \\\\.\\PhysicalDrive3"), std::string::npos) << text;
    EXPECT_NE(text.find("audit: handle 1 still open"), std::string::npos) << text;
    seam.CloseHandle(disk);
    ASSERT_TRUE(sim_save_journal(journal.c_str()));
    EXPECT_NE(read_whole_file(journal).find("audit: clean"), std::string::npos);
    EXPECT_FALSE(sim_start_process_machine(L"C:\\no\\machine.txt", nullptr));
}

TEST_F(SimTest, CallsFromSeveralThreadsKeepTheMachineConsistent)
{
    sim_add_disk(1, BusTypeUsb, 8 * GIB);
    sim_add_disk(2, BusTypeUsb, 8 * GIB);
    auto writer = [this](const wchar_t *path) {
        char block[512] = {7};
        for (int i = 0; i < 200; ++i) {
            HANDLE h = open(path);
            DWORD moved = 0;
            write_at(h, (uint64_t)i * 512, block, 512, &moved);
            seam.CloseHandle(h);
        }
    };
    std::thread a(writer, L"\\\\.\\PhysicalDrive1"), b(writer, L"\\\\.\\PhysicalDrive2");
    a.join();
    b.join();
    EXPECT_EQ(sim_writes_to_disk(1), 200);
    EXPECT_EQ(sim_writes_to_disk(2), 200);
    EXPECT_EQ(sim_count(SIM_OPEN), 400);
}

}  // namespace
