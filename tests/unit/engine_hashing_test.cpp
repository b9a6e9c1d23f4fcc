// The hashing worker beside the engine's transfers, on a simulated pen drive:
// every chunk hashed once and in order while the disk works, and every way
// out of a run ending as the same run ends without the worker: the same calls
// on the disk, the same log, the same sentence.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/app_info.h"
#include "hash/sha256.h"
#include "tests/support/sim_fixture.h"
#include "tests/support/sim_machine.h"
#include "tests/support/test_files.h"
#include "ui/status.h"
#include "writer/engine.h"
#include "writer/hash_pipe.h"

namespace {

const uint64_t MIB = 1048576;
const int STICK = 2;
// Only a faulty engine, which would otherwise hang the test, waits this long.
const DWORD GIVE_UP_MS = 20000;

// One call that fed the digest.
struct Feed {
    DWORD thread;
    std::string bytes;
};

// The pipe's calls as the test sees them: every chunk fed is kept, one chosen
// call is held until the test lets it go, and the worker or a buffer can be refused.
struct PipeWatch {
    HANDLE holding = CreateEventW(NULL, TRUE, FALSE, NULL);  // the held call waits
    HANDLE release = CreateEventW(NULL, TRUE, FALSE, NULL);
    LONG hold_call = 0;        // 1 is the image's start; 0: none
    bool refuse_thread = false;
    int refuse_buffer = 0;     // the allocation that fails, counted from 1; 0: none
    LONG calls = 0;
    std::vector<Feed> fed;
    bool fed_after_finish = false;
    bool hold_gave_up = false;
    const void *held = nullptr;  // the held call's buffer, and its bytes as they were handed over
    std::string held_bytes;
    bool refilled_while_held = false;
    int thread_asks = 0;
    std::vector<HANDLE> threads;  // copies of the workers' handles
    int buffer_asks = 0;
    int buffers_taken = 0;
    int buffers_freed = 0;

    ~PipeWatch()
    {
        forget_threads();
        CloseHandle(holding);
        CloseHandle(release);
    }
    void forget_threads()
    {
        for (HANDLE thread : threads) CloseHandle(thread);
        threads.clear();
    }
};

PipeWatch *watch;

void watched_update(Sha256Context *context, const void *data, DWORD length)
{
    if (InterlockedIncrement(&watch->calls) == watch->hold_call) {
        watch->held = data;
        watch->held_bytes.assign((const char *)data, length);
        SetEvent(watch->holding);
        if (WaitForSingleObject(watch->release, GIVE_UP_MS) != WAIT_OBJECT_0)
            watch->hold_gave_up = true;
    }
    // Taken after the hold: a buffer filled again too early shows here.
    watch->fed.push_back({GetCurrentThreadId(), std::string((const char *)data, length)});
    sha256_update(context, data, length);
    if (context->hash == 0) watch->fed_after_finish = true;
}

HANDLE WINAPI watched_create_thread(LPSECURITY_ATTRIBUTES security, SIZE_T stack,
                                    LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                                    LPDWORD id)
{
    watch->thread_asks++;
    if (watch->refuse_thread) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    HANDLE thread = CreateThread(security, stack, start, parameter, flags, id);
    HANDLE copy = NULL;
    if (thread && DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), &copy,
                                  SYNCHRONIZE, FALSE, 0))
        watch->threads.push_back(copy);
    return thread;
}

LPVOID WINAPI watched_alloc(LPVOID address, SIZE_T size, DWORD type, DWORD protect)
{
    if (++watch->buffer_asks == watch->refuse_buffer) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    LPVOID buffer = VirtualAlloc(address, size, type, protect);
    if (buffer) watch->buffers_taken++;
    return buffer;
}

BOOL WINAPI watched_free(LPVOID address, SIZE_T size, DWORD type)
{
    watch->buffers_freed++;
    return VirtualFree(address, size, type);
}

// A run, and the transfer during which the test acts.
struct Scenario {
    size_t image_bytes;
    LONG hold_call;          // held until the transfer below; 0: none
    SimEventKind at_kind;    // SIM_WRITE or SIM_READ
    uint64_t at_offset;
    bool stop_there;         // the user presses Stop during that transfer
    int fault_kinds;         // a lasting fault at at_offset; 0: none
    DWORD release_after_ms = 0;  // the held call is let go from another thread, after this pause
};

struct Act {
    const Scenario *scenario;
    bool fired;
    bool held;               // the held call was waiting when the transfer came
};

DWORD WINAPI release_later(LPVOID scenario)
{
    Sleep(((const Scenario *)scenario)->release_after_ms);
    watch->refilled_while_held =
        memcmp(watch->held, watch->held_bytes.data(), watch->held_bytes.size()) != 0;
    SetEvent(watch->release);
    return 0;
}

void act_at_transfer(const SimEvent &event, void *context)
{
    Act *act = (Act *)context;
    const Scenario *s = act->scenario;
    if (act->fired || event.kind != s->at_kind || event.offset != s->at_offset) return;
    act->fired = true;
    if (watch->hold_call)
        act->held = WaitForSingleObject(watch->holding, GIVE_UP_MS) == WAIT_OBJECT_0;
    if (s->stop_there) set_cancel_flag(1);
    if (!s->release_after_ms) SetEvent(watch->release);
    else EXPECT_TRUE(QueueUserWorkItem(release_later, (LPVOID)s, WT_EXECUTEDEFAULT));
}

struct Outcome {
    int result = -1;
    std::wstring message;
    std::wstring journal;    // every disk, volume and clock call, with its virtual time
    std::vector<std::wstring> log;
    std::wstring status;
    std::vector<Feed> fed;
    std::string audit;
    bool acted = false;
};

struct EngineHashingTest : SimMachineTest {
    PipeWatch *pipe = nullptr;
    DWORD test_thread = GetCurrentThreadId();
    std::string image;
    std::wstring image_path;

    void SetUp() override
    {
        SimMachineTest::SetUp();
        set_cancel_flag(0);
    }
    void TearDown() override
    {
        hash_pipe_calls = default_hash_pipe_calls;
        watch = nullptr;
        delete pipe;
        set_cancel_flag(0);
        sim_set_hook(nullptr, nullptr);
        SimMachineTest::TearDown();
    }
    // A fresh machine, clock, log and watch for one run.
    void start_afresh()
    {
        sim_reset();
        sim_install();
        set_cancel_flag(0);
        DeleteFileW((folder + L"\\writer.log").c_str());
        delete pipe;
        pipe = new PipeWatch;
        watch = pipe;
        hash_pipe_calls = {watched_create_thread, watched_alloc, watched_free, watched_update};
        add_windows_disk();
        sim_add_disk(STICK, BusTypeUsb, 16 * MIB, "Quenvar ", "Stick    ");
        sim_add_partition_volume(STICK, 1, L'E');
    }
    int write_image()
    {
        DiskCandidate chosen = {};
        chosen.disk_number = STICK;
        chosen.size_bytes = 16 * MIB;
        wcscpy(chosen.name, L"Quenvar Stick");
        wchar_t message[MESSAGE_CHARS] = L"untouched";
        LONG damaged = 0;
        int result = write_image_to_disk(image_path.c_str(), nullptr, &chosen, &damaged, message);
        last_message = message;
        return result;
    }
    std::wstring last_message;

    Outcome run(const Scenario &s, bool with_worker)
    {
        start_afresh();
        pipe->hold_call = with_worker ? s.hold_call : 0;
        pipe->refuse_thread = !with_worker;
        if (s.fault_kinds) sim_add_fault(STICK, s.fault_kinds, s.at_offset, 1, -1, ERROR_CRC);
        image = test_pattern(s.image_bytes, (unsigned)s.image_bytes);
        image_path = folder + L"\\image.iso";
        EXPECT_TRUE(write_whole_file(image_path, image));
        Act act = {&s, false, false};
        sim_set_hook(act_at_transfer, &act);
        Outcome o;
        o.result = write_image();
        sim_set_hook(nullptr, nullptr);
        o.message = last_message;
        o.journal = sim_journal_text();
        o.log = log_lines();
        wchar_t status[STATUS_TEXT_CHARS];
        read_status(status, STATUS_TEXT_CHARS, nullptr);
        o.status = status;
        o.fed = pipe->fed;
        o.audit = sim_audit();
        o.acted = act.fired && (pipe->hold_call == 0 || act.held);
        expect_pipe_released(with_worker);
        return o;
    }
    // The worker has ended, every buffer it took is back, nothing was fed to a finished digest.
    void expect_pipe_released(bool with_worker)
    {
        EXPECT_EQ(pipe->thread_asks, 1);
        if (with_worker) {
            EXPECT_EQ(pipe->threads.size(), 1u);
        }
        for (HANDLE thread : pipe->threads) EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
        EXPECT_EQ(pipe->buffers_taken, HASH_PIPE_BUFFERS - 1);
        EXPECT_EQ(pipe->buffers_freed, pipe->buffers_taken);
        EXPECT_FALSE(pipe->fed_after_finish);
        EXPECT_FALSE(pipe->hold_gave_up);
    }
    // The image's chunks as the digests take them: the copy, then the read-back.
    std::vector<std::string> chunks_in_order()
    {
        std::vector<std::string> once;
        for (size_t at = 0; at < image.size(); at += MIB) once.push_back(image.substr(at, MIB));
        std::vector<std::string> twice = once;
        twice.insert(twice.end(), once.begin(), once.end());
        return twice;
    }
    // What was fed is the start of that order, each chunk once, on the expected thread.
    void expect_fed_in_order(const Outcome &o, bool with_worker, bool whole)
    {
        std::vector<std::string> expected = chunks_in_order();
        ASSERT_LE(o.fed.size(), expected.size());
        if (whole) {
            EXPECT_EQ(o.fed.size(), expected.size());
        }
        for (size_t i = 0; i < o.fed.size(); ++i) {
            EXPECT_TRUE(o.fed[i].bytes == expected[i]) << "feed " << i;
            EXPECT_EQ(o.fed[i].thread != test_thread, with_worker) << "feed " << i;
        }
    }
    // Runs the scenario with the worker and with a worker that cannot start;
    // gives the run with the worker.
    Outcome expect_same_as_without_worker(const Scenario &s, int result, const wchar_t *message_start)
    {
        Outcome with = run(s, true);
        EXPECT_TRUE(with.acted);
        Outcome without = run(s, false);
        EXPECT_EQ(with.result, result);
        EXPECT_EQ(std::wstring(with.message).rfind(message_start, 0), 0u) << narrow(with.message);
        EXPECT_EQ(without.result, with.result);
        EXPECT_EQ(without.message, with.message);
        EXPECT_TRUE(without.journal == with.journal) << narrow(with.journal);
        EXPECT_TRUE(without.log == with.log);
        EXPECT_EQ(without.status, with.status);
        EXPECT_EQ(with.audit, "");
        EXPECT_EQ(without.audit, "");
        expect_fed_in_order(with, true, result == 1);
        expect_fed_in_order(without, false, result == 1);
        return with;
    }
};

const int CHUNKS = 6;  // images of 5 MiB and a bit, or of 6 MiB

TEST_F(EngineHashingTest, ChunksAreHashedOnceAndInOrderWhileTheDiskWorks)
{
    // Chunk 2 is still being hashed while it is written, and again, in the
    // read-back, chunk 1 while chunk 2 is read; the one-sector tail is hashed
    // without its zeros.
    const size_t size = 5 * MIB + 1234;
    expect_same_as_without_worker({size, 3, SIM_WRITE, 2 * MIB, false, 0}, 1, L"untouched");
    Outcome with = expect_same_as_without_worker({size, CHUNKS + 2, SIM_READ, 2 * MIB, false, 0},
                                                 1, L"untouched");
    ASSERT_FALSE(with.fed.empty());
    EXPECT_EQ(with.fed.back().bytes.size(), 1234u);
}

TEST_F(EngineHashingTest, ASlowWorkerHoldsTheEngineAtTheEndOfTheRingNeverPastIt)
{
    // The worker holds chunk 1 from the write of the ring's last buffer until
    // a pause later, in which the engine can only wait for chunk 1's buffer.
    Scenario s = {8 * MIB, 2, SIM_WRITE, HASH_PIPE_BUFFERS * MIB, false, 0};
    s.release_after_ms = 500;
    Outcome o = run(s, true);
    EXPECT_TRUE(o.acted);
    EXPECT_EQ(o.result, 1) << narrow(o.message);
    EXPECT_FALSE(pipe->refilled_while_held) << "read into the held chunk's buffer";
    expect_fed_in_order(o, true, true);
}

TEST_F(EngineHashingTest, StopWhileAChunkIsBeingHashedEndsAsWithoutTheWorker)
{
    const wchar_t *stopped = L"Stopped. The pen drive will not start a PC until it is written again.";
    expect_same_as_without_worker({6 * MIB, 3, SIM_WRITE, 2 * MIB, true, 0}, 0, stopped);
    EXPECT_EQ(sim_count(SIM_WRITE, L"PhysicalDrive"), 4);  // clearing twice, chunks 1 and 2
    std::string start(MIB, '\0');
    sim_read_content(STICK, 0, &start[0], MIB);
    EXPECT_EQ(start, std::string(MIB, '\0'));

    expect_same_as_without_worker({6 * MIB, CHUNKS + 2, SIM_READ, 2 * MIB, true, 0}, 0,
                                  L"Stopped while checking. The pen drive was written but not "
                                  L"checked.");
}

TEST_F(EngineHashingTest, TransferFailingWhileTheWorkerHoldsAChunkEndsAsWithoutTheWorker)
{
    // The write of chunk 3 fails while chunk 3 is being hashed.
    expect_same_as_without_worker({6 * MIB, 4, SIM_WRITE, 3 * MIB, false, SIM_FAULT_WRITE}, 0,
                                  L"Writing to the pen drive failed at 3 MB: ");
    // The read-back of chunk 3 fails while the worker holds chunk 2.
    expect_same_as_without_worker({6 * MIB, CHUNKS + 3, SIM_READ, 3 * MIB, false, SIM_FAULT_READ},
                                  0, L"Reading the pen drive back failed at 3 MB: ");
}

TEST_F(EngineHashingTest, MissingBufferMeansNoWorkerAndThePlainSequentialRun)
{
    start_afresh();
    pipe->refuse_buffer = 2;
    image = test_pattern(3 * MIB + 5, 17);
    image_path = folder + L"\\image.iso";
    ASSERT_TRUE(write_whole_file(image_path, image));
    EXPECT_EQ(write_image(), 1) << narrow(last_message);
    EXPECT_EQ(pipe->thread_asks, 0);
    EXPECT_EQ(pipe->buffers_taken, 1);
    EXPECT_EQ(pipe->buffers_freed, 1);
    Outcome o;
    o.fed = pipe->fed;
    expect_fed_in_order(o, false, true);
    std::string written(image.size(), '\0');
    sim_read_content(STICK, 0, &written[0], written.size());
    EXPECT_TRUE(written == image);
}

}  // namespace
