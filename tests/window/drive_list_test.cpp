// Pen drives that come and go while the window is open: the choice follows
// the drive, a burst of arrivals gives one refresh, and a stick pulled during
// a job fails the job before the list changes.
#include "tests/window/window_scenario.h"

#include <commctrl.h>
#include <stdlib.h>

namespace {

// Real milliseconds: when the window listed the disks (from the journal) and
// when the harness sent each device change.
std::vector<unsigned long> refresh_times(const std::string &journal)
{
    std::vector<unsigned long> times;
    for (size_t at = journal.find(" query #0 GetLogicalDrives"); at != std::string::npos;
         at = journal.find(" query #0 GetLogicalDrives", at + 1)) {
        size_t line = journal.rfind('\n', at);
        times.push_back(strtoul(journal.c_str() + (line == std::string::npos ? 0 : line + 1),
                                NULL, 10));
    }
    return times;
}

int refreshes_between(const std::vector<unsigned long> &times, unsigned long from,
                      unsigned long to)
{
    int n = 0;
    for (unsigned long t : times) n += t >= from && t < to;
    return n;
}

struct DriveScenario : WindowScenario {
    bool present[7] = {};
    std::string other_disks;
    // Sticks on disks 2 to 6; which are plugged in is in `present`.
    void describe()
    {
        const char *names[] = {"", "", "Alpha", "Gamma", "Beta", "Delta", "Epsilon"};
        std::string sticks;
        for (int disk = 2; disk <= 6; ++disk)
            sticks += stick(disk, names[disk], (char)('C' + disk), present[disk]);
        describe_machine(sticks + other_disks);
    }
    void plug(int disk, bool in, size_t changes_seen)
    {
        present[disk] = in;
        describe();
        ASSERT_TRUE(wait_until([&] { return device_changes_sent().size() == changes_seen; },
                               LONG_WAIT_MS));
    }
    bool list_holds(size_t count)
    {
        return wait_until([&] { return list_items(window).size() == count; }, LONG_WAIT_MS);
    }
    std::wstring chosen() { return list_items(window).at(list_selection(window)); }
};

TEST_F(DriveScenario, SticksComeAndGoAndTheChoiceFollowsTheDrive)
{
    present[2] = present[4] = true;
    describe();
    start_program_window();
    ASSERT_TRUE(wait_text(ID_IMAGE_LINE, VERSION_LINE));
    ASSERT_TRUE(list_holds(2));
    EXPECT_EQ(list_selection(window), -1) << "two sticks: the user chooses";
    EXPECT_FALSE(control_enabled(window, ID_WRITE));
    ASSERT_TRUE(pick_list_entry(window, 1));
    ASSERT_TRUE(wait_until([&] { return control_enabled(window, ID_WRITE); }, LONG_WAIT_MS));

    // A third stick comes in before the chosen one.
    plug(3, true, 1);
    ASSERT_TRUE(list_holds(3));
    EXPECT_EQ(list_selection(window), 2);
    EXPECT_EQ(chosen().find(L"Quenvar Beta"), 0u) << chosen();

    // Two more, one right after the other.
    plug(5, true, 2);
    plug(6, true, 3);
    ASSERT_TRUE(list_holds(5));
    EXPECT_EQ(chosen().find(L"Quenvar Beta"), 0u) << chosen();
    shot(L"five-sticks");

    // The chosen stick is pulled in the middle of its write.
    hold_writes(true);
    ASSERT_TRUE(write_and_confirm());
    ASSERT_TRUE(wait_text(ID_STATUS, L"Writing to the pen drive\x2026")) << text(ID_STATUS);
    plug(4, false, 4);
    EXPECT_FALSE(wait_until([&] { return list_items(window).size() != 5; }, 2 * 1200 + 1000))
        << "no refresh while the job runs";
    EXPECT_FALSE(control_enabled(window, ID_DRIVE_LIST));
    hold_writes(false);
    HWND failed = wait_box(L"Writing to the pen drive failed");
    ASSERT_TRUE(failed) << text(ID_STATUS);
    EXPECT_EQ(dialog_message(failed), text(ID_STATUS));
    EXPECT_EQ(progress_state(window), PBST_ERROR);
    EXPECT_TRUE(list_holds(4)) << "refreshed when the job ended";
    shot(L"pulled");
    ASSERT_TRUE(answer_dialog(failed, IDOK));
    PostMessageW(window, WM_CLOSE, 0, 0);
    ASSERT_TRUE(program_ended(LONG_WAIT_MS));

    // One refresh at start, one per quiet spell after a burst, one at the
    // job's end; none sooner than 1.2 s after the last change before it.
    std::vector<unsigned long> refreshes = refresh_times(journal());
    std::vector<unsigned long> sent;
    for (const std::string &line : device_changes_sent())
        sent.push_back(strtoul(line.c_str(), NULL, 10));
    ASSERT_EQ(sent.size(), 4u);
    const unsigned long delay = 1200 - 20;  // the tick counter's own granularity
    EXPECT_EQ(refreshes_between(refreshes, 0, sent[0]), 1);
    EXPECT_EQ(refreshes_between(refreshes, sent[0], sent[0] + delay), 0);
    EXPECT_EQ(refreshes_between(refreshes, sent[0], sent[1]), 1);
    if (sent[2] - sent[1] < delay) {
        EXPECT_EQ(refreshes_between(refreshes, sent[1], sent[2]), 0) << "the second restarts the wait";
    }
    EXPECT_EQ(refreshes_between(refreshes, sent[2], sent[2] + delay), 0);
    int burst_refreshes = sent[2] - sent[1] < delay ? 1 : 2;  // a slow machine may split it
    EXPECT_EQ(refreshes_between(refreshes, sent[1], sent[3]), burst_refreshes);
    EXPECT_EQ(refreshes_between(refreshes, sent[3], ULONG_MAX), 1) << "only the job's end";
}

// A card reader without a card takes seconds to open. The list waits for it,
// the window does not; refreshes asked for meanwhile make one more after it.
TEST_F(DriveScenario, ASlowDiskHoldsUpTheListButNotTheWindow)
{
    present[2] = present[4] = true;
    other_disks = "disk 7 bus=usb size=1G vendor=\"Generic \" product=\"Card Reader\" "
                  "length-error=21 open-delay=4000\n";
    describe();
    start_program_window();
    ASSERT_TRUE(list_holds(2));
    ASSERT_TRUE(pick_list_entry(window, 1));
    ASSERT_TRUE(wait_text(ID_IMAGE_LINE, VERSION_LINE));

    plug(3, true, 1);
    for (int press_count = 0; press_count < 3; ++press_count) ASSERT_TRUE(press(window, ID_REFRESH));
    DWORD_PTR answer = 0;
    EXPECT_TRUE(SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 2000, &answer))
        << "the window answers while the list is made";
    EXPECT_EQ(list_items(window).size(), 2u) << "the old list stays meanwhile";
    EXPECT_FALSE(control_enabled(window, ID_WRITE)) << "no job starts while the list is made";

    ASSERT_TRUE(list_holds(3));
    EXPECT_EQ(chosen().find(L"Quenvar Beta"), 0u) << chosen();
    PostMessageW(window, WM_CLOSE, 0, 0);
    ASSERT_TRUE(program_ended(LONG_WAIT_MS));
    EXPECT_EQ(refresh_times(journal()).size(), 3u) << "at start, on Refresh and once after it";
}

}  // namespace
