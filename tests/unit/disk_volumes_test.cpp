#include <windows.h>
#include <winioctl.h>

#include <string>
#include <vector>

#include "disk/volumes.h"
#include "tests/support/sim_fixture.h"

namespace {

const uint64_t GIB = 1073741824ULL;
const uint64_t MIB = 1048576ULL;

struct VolumesTest : SimMachineTest {
    HeldVolumes held;

    void SetUp() override
    {
        SimMachineTest::SetUp();
        held = HeldVolumes();
        sim_add_disk(0, BusTypeSata, 256 * GIB);
        sim_add_partition_volume(0, 2, L'C', DRIVE_FIXED);
        sim_add_disk(1, BusTypeUsb, 16 * GIB);
    }

    void TearDown() override
    {
        release_held_volumes(&held);
        SimMachineTest::TearDown();
    }

    // The volume's name as it is opened and held: without the backslash.
    static std::wstring device_name(int volume)
    {
        std::wstring name = sim_volume(volume)->name;
        return name.substr(0, name.size() - 1);
    }

    static std::wstring partition_path(int disk, int p)
    {
        return L"\\\\?\\GLOBALROOT\\Device\\Harddisk" + std::to_wstring(disk) + L"\\Partition" +
               std::to_wstring(p);
    }

    int lock_attempts() { return sim_count(SIM_IOCTL, nullptr, FSCTL_LOCK_VOLUME); }
};

TEST_F(VolumesTest, OneLetteredVolumeIsLockedDismountedAndHeldAtTheFirstAttempt)
{
    int e = sim_add_partition_volume(1, 1, L'E');
    take_volumes_offline(1, &held);
    ASSERT_EQ(held.count, 1);
    EXPECT_EQ(std::wstring(held.names[0]), device_name(e));
    EXPECT_EQ(held.partition_numbers[0], 1);
    EXPECT_EQ(log_lines(), std::vector<std::wstring>{L"took " + device_name(e) + L" offline"});
    EXPECT_EQ(lock_attempts(), 1);
    EXPECT_EQ(sim_volume(e)->lock.dismounts, 1);
    EXPECT_NE(sim_volume(e)->lock.locked_by, 0UL);
    EXPECT_TRUE(held.locked[0] && held.dismounted[0] && !held.offline[0]);
    EXPECT_EQ(sim_count(SIM_IOCTL, nullptr, IOCTL_VOLUME_OFFLINE), 0);  // locked is enough
    EXPECT_EQ(virtual_clock_slept_ms(), 0ULL);
    // Partition 1 is held through its volume; 2 to 16 do not exist and fail silently.
    EXPECT_FALSE(sim_opened_path(partition_path(1, 1).c_str()));
    EXPECT_EQ(sim_count(SIM_OPEN_FAILED, L"GLOBALROOT"), 15);
    // The Windows volume was only looked at.
    EXPECT_EQ(sim_volume(0)->lock.lock_attempts, 0);
    for (const SimEvent &event : sim_journal()) {
        if (event.kind == SIM_OPEN && event.path == device_name(0)) {
            EXPECT_EQ(event.access, 0UL);
        }
    }
}

TEST_F(VolumesTest, VolumeWithAnotherProgramsFileIsTriedTwentyTimesThenDismountedAndHeld)
{
    int e = sim_add_partition_volume(1, 1, L'E');
    sim_volume(e)->lock.foreign_open_files = 1;
    take_volumes_offline(1, &held);
    ASSERT_EQ(held.count, 1);
    EXPECT_EQ(lock_attempts(), 20);
    EXPECT_EQ(virtual_clock_slept_ms(), 5000ULL);
    EXPECT_EQ(sim_count(SIM_SLEEP), 20);
    EXPECT_EQ(sim_volume(e)->lock.dismounts, 1);
    EXPECT_TRUE(sim_volume(e)->lock.offline);
    EXPECT_TRUE(!held.locked[0] && held.dismounted[0] && held.offline[0]);
    EXPECT_EQ(log_lines(),
              (std::vector<std::wstring>{device_name(e) + L" would not lock (5) - dismounting it anyway",
                                         L"took " + device_name(e) + L" offline"}));
}

TEST_F(VolumesTest, LockGrantedAtTheThirdAttemptWaitsTwoPauses)
{
    int e = sim_add_partition_volume(1, 1, L'E');
    sim_volume(e)->lock.lock_refusals = 2;
    take_volumes_offline(1, &held);
    EXPECT_EQ(lock_attempts(), 3);
    EXPECT_EQ(virtual_clock_slept_ms(), 500ULL);
    EXPECT_EQ(sim_count_log_lines(log_lines(), device_name(e).c_str()), 0);
    EXPECT_NE(sim_volume(e)->lock.locked_by, 0UL);
}

TEST_F(VolumesTest, FailedDismountIsLoggedAndTheVolumeStillHeld)
{
    int e = sim_add_partition_volume(1, 1, L'E');
    sim_volume(e)->lock.foreign_open_files = 1;
    sim_volume(e)->lock.dismount_error = ERROR_NOT_READY;
    take_volumes_offline(1, &held);
    ASSERT_EQ(held.count, 1);
    EXPECT_EQ(log_lines(), (std::vector<std::wstring>{
                               device_name(e) + L" would not lock (5) - dismounting it anyway",
                               L"dismount " + device_name(e) + L" failed (21)",
                               L"took " + device_name(e) + L" offline"}));
    // Still mounted, it is not taken offline: that needs a dismount first.
    EXPECT_EQ(sim_count(SIM_IOCTL, nullptr, IOCTL_VOLUME_OFFLINE), 0);
    EXPECT_FALSE(held.locked[0] || held.dismounted[0] || held.offline[0]);
}

TEST_F(VolumesTest, VolumeThatWillNotOpenForWritingIsLoggedAndSkipped)
{
    int e = sim_add_partition_volume(1, 1, L'E');
    sim_volume(e)->lock.rw_open_error = ERROR_SHARING_VIOLATION;
    take_volumes_offline(1, &held);
    EXPECT_EQ(held.count, 1);  // its partition, in the second phase
    EXPECT_EQ(std::wstring(held.names[0]), partition_path(1, 1));
    std::vector<std::wstring> lines = log_lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], L"could not open volume " + device_name(e) + L" (32)");
    ASSERT_EQ(held.unheld_count, 1);  // left mounted, unless its partition is released
    EXPECT_EQ(std::wstring(held.unheld_names[0]), device_name(e));
    EXPECT_EQ(held.unheld_partition_numbers[0], 1);
}

TEST_F(VolumesTest, VolumesElsewhereOrUnopenableAreSkippedSilently)
{
    sim_add_disk(2, BusTypeUsb, 16 * GIB);
    int other = sim_add_partition_volume(2, 1, L'F');
    int closed = sim_add_partition_volume(1, 1, L'E');
    sim_volume(closed)->lock.open_error = ERROR_ACCESS_DENIED;
    sim_set_protect_mounted_volumes(true);
    SetEnvironmentVariableW(L"QV_NO_PARTITION_LOCK", L"1");
    take_volumes_offline(1, &held);
    EXPECT_EQ(held.count, 0);
    EXPECT_TRUE(log_lines().empty());
    EXPECT_EQ(sim_volume(other)->lock.lock_attempts, 0);
}

TEST_F(VolumesTest, FailedEnumerationSkipsToThePartitions)
{
    sim_add_partition_volume(1, 1, L'E');
    sim_set_volume_enumeration_error(ERROR_ACCESS_DENIED);
    take_volumes_offline(1, &held);
    ASSERT_EQ(held.count, 1);
    EXPECT_EQ(std::wstring(held.names[0]), partition_path(1, 1));
    EXPECT_EQ(held.partition_numbers[0], 1);
}

TEST_F(VolumesTest, SecondCallTakesOnlyWhatIsNew)
{
    int e = sim_add_partition_volume(1, 1, L'E');
    take_volumes_offline(1, &held);
    ASSERT_EQ(held.count, 1);
    // Windows mounts another volume, and a raw partition appears.
    int f = sim_add_partition_volume(1, 2, L'F', DRIVE_REMOVABLE, 4 * GIB, GIB);
    sim_add_partition(1, 3, 6 * GIB, GIB);
    sim_clear_journal();
    take_volumes_offline(1, &held);
    ASSERT_EQ(held.count, 3);
    EXPECT_EQ(std::wstring(held.names[0]), device_name(e));
    EXPECT_EQ(std::wstring(held.names[1]), device_name(f));
    EXPECT_EQ(held.partition_numbers[1], 2);
    EXPECT_EQ(std::wstring(held.names[2]), partition_path(1, 3));
    EXPECT_EQ(held.partition_numbers[2], 3);
    EXPECT_FALSE(sim_opened_path(device_name(e).c_str()));
    EXPECT_FALSE(sim_opened_path(partition_path(1, 1).c_str()));
    EXPECT_FALSE(sim_opened_path(partition_path(1, 2).c_str()));
    // A third call finds nothing new at all.
    take_volumes_offline(1, &held);
    EXPECT_EQ(held.count, 3);
}

TEST_F(VolumesTest, PartitionSwitchIsTheVariablesExistenceEvenWhenEmpty)
{
    sim_add_partition_volume(1, 1, L'E');
    sim_add_partition(1, 2, 8 * GIB);
    ASSERT_TRUE(SetEnvironmentVariableW(L"QV_NO_PARTITION_LOCK", L""));
    take_volumes_offline(1, &held);
    EXPECT_EQ(held.count, 1);
    EXPECT_FALSE(sim_opened(L"GLOBALROOT"));
    ASSERT_TRUE(SetEnvironmentVariableW(L"QV_NO_PARTITION_LOCK", L"no"));
    take_volumes_offline(1, &held);
    EXPECT_FALSE(sim_opened(L"GLOBALROOT"));
    SetEnvironmentVariableW(L"QV_NO_PARTITION_LOCK", NULL);
    take_volumes_offline(1, &held);
    EXPECT_TRUE(sim_opened(L"GLOBALROOT"));
    EXPECT_EQ(held.count, 2);
}

TEST_F(VolumesTest, VolumeAcrossTwoDisksIsFoundThroughItsExtents)
{
    sim_add_disk(2, BusTypeUsb, 16 * GIB);
    int span = sim_add_volume(L"", L'S', DRIVE_FIXED, {{2, MIB, 8 * GIB}, {1, MIB, 8 * GIB}});
    take_volumes_offline(1, &held);
    ASSERT_EQ(held.count, 1);
    EXPECT_EQ(std::wstring(held.names[0]), device_name(span));
    EXPECT_EQ(held.partition_numbers[0], -1);
    EXPECT_EQ(sim_count(SIM_IOCTL, device_name(span).c_str(), IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS),
              1);
}

TEST_F(VolumesTest, PartitionNumberReportedForAnotherDiskDoesNotHideThisDisksPartition)
{
    sim_add_disk(2, BusTypeUsb, 16 * GIB);
    int span = sim_add_volume(L"", L'S', DRIVE_FIXED, {{2, MIB, 8 * GIB}, {1, 9 * GIB, GIB}});
    sim_volume(span)->reported_disk = 2;
    sim_volume(span)->partition_number = 1;
    sim_add_partition(1, 1, MIB, GIB);
    take_volumes_offline(1, &held);
    ASSERT_EQ(held.count, 2);
    EXPECT_EQ(held.partition_numbers[0], -1);
    EXPECT_EQ(std::wstring(held.names[1]), partition_path(1, 1));
}

TEST_F(VolumesTest, PartitionWithoutVolumeIsReachedInPhaseTwoWithEightAttempts)
{
    sim_add_partition(1, 2, 8 * GIB)->lock.foreign_open_files = 1;
    take_volumes_offline(1, &held);
    ASSERT_EQ(held.count, 1);
    EXPECT_EQ(std::wstring(held.names[0]), partition_path(1, 2));
    EXPECT_EQ(held.partition_numbers[0], 2);
    EXPECT_EQ(lock_attempts(), 8);
    EXPECT_EQ(virtual_clock_slept_ms(), 2000ULL);
    EXPECT_EQ(log_lines(),
              (std::vector<std::wstring>{
                  partition_path(1, 2) + L" would not lock (5) - dismounting it anyway",
                  L"took " + partition_path(1, 2) + L" offline"}));
}

TEST_F(VolumesTest, FullSetLocksAndDismountsTheRestButClosesIt)
{
    SetEnvironmentVariableW(L"QV_NO_PARTITION_LOCK", L"1");
    std::vector<int> volumes;
    for (int i = 0; i < 33; ++i)
        volumes.push_back(sim_add_volume(L"", 0, DRIVE_FIXED, {{1, (uint64_t)i * 64 * MIB, MIB}}));
    take_volumes_offline(1, &held);
    EXPECT_EQ(held.count, MAX_HELD_VOLUMES);
    SimVolume *last = sim_volume(volumes.back());
    EXPECT_EQ(last->lock.lock_attempts, 1);
    EXPECT_EQ(last->lock.dismounts, 1);
    EXPECT_EQ(last->lock.locked_by, 0UL);
    EXPECT_EQ(sim_count_log_lines(log_lines(), L"took "), 32);
    EXPECT_EQ(sim_open_handles(), 32);
    ASSERT_EQ(held.unheld_count, 1);
    EXPECT_EQ(std::wstring(held.unheld_names[0]), device_name(volumes.back()));
}

TEST_F(VolumesTest, VolumeTakenOfflineIsOnlineAgainBeforeItsHandleIsUnlockedAndClosed)
{
    SetEnvironmentVariableW(L"QV_NO_PARTITION_LOCK", L"1");
    int e = sim_add_partition_volume(1, 1, L'E', DRIVE_REMOVABLE, MIB, GIB);
    int f = sim_add_partition_volume(1, 2, L'F', DRIVE_REMOVABLE, 2 * GIB, GIB);
    sim_volume(e)->lock.foreign_open_files = sim_volume(f)->lock.foreign_open_files = 1;
    sim_volume(f)->lock.online_error = ERROR_NOT_READY;
    take_volumes_offline(1, &held);
    sim_touch_volume(e);
    EXPECT_FALSE(sim_volume(e)->mounted);
    sim_clear_journal();
    release_held_volumes(&held);
    std::vector<SimEvent> journal = sim_journal();
    ASSERT_EQ(journal.size(), 6u);  // online, unlock, close: E, then F
    const DWORD codes[] = {IOCTL_VOLUME_ONLINE, FSCTL_UNLOCK_VOLUME, 0};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(journal[i].path, device_name(i < 3 ? e : f));
        EXPECT_EQ(journal[i].code, codes[i % 3]);
    }
    EXPECT_EQ(journal[5].kind, SIM_CLOSE);
    sim_touch_volume(e);
    EXPECT_TRUE(sim_volume(e)->mounted);  // Windows may mount it again
    std::wstring refused = L"online " + device_name(f) + L" failed (21)";
    EXPECT_EQ(sim_count_log_lines(log_lines(), refused.c_str()), 1);
    EXPECT_EQ(sim_audit(), narrow(sim_volume(f)->name) + " left offline\n");
    sim_volume(f)->lock.offline = false;  // the refusal was the point; the audit has spoken
}

TEST_F(VolumesTest, ReleaseUnlocksAndClosesEachEntryInOrderOnce)
{
    int e = sim_add_partition_volume(1, 1, L'E');
    sim_add_partition(1, 2, 8 * GIB);
    take_volumes_offline(1, &held);
    ASSERT_EQ(held.count, 2);
    sim_clear_journal();
    release_held_volumes(&held);
    std::vector<SimEvent> journal = sim_journal();
    ASSERT_EQ(journal.size(), 4u);
    EXPECT_EQ(journal[0].code, (DWORD)FSCTL_UNLOCK_VOLUME);
    EXPECT_EQ(journal[0].path, device_name(e));
    EXPECT_EQ(journal[1].kind, SIM_CLOSE);
    EXPECT_EQ(journal[1].path, device_name(e));
    EXPECT_EQ(journal[2].code, (DWORD)FSCTL_UNLOCK_VOLUME);
    EXPECT_EQ(journal[2].path, partition_path(1, 2));
    EXPECT_EQ(journal[3].kind, SIM_CLOSE);
    EXPECT_EQ(held.count, 2);
    EXPECT_EQ(sim_audit(), "");
    // A second release touches nothing.
    release_held_volumes(&held);
    EXPECT_EQ(sim_journal().size(), 4u);
}

}  // namespace
