// Events, threads and their handles, and the parked threads that run the threads' routines.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "errhandlingapi.h"
#include "handleapi.h"
#include "parked_threads.h"
#include "processthreadsapi.h"
#include "synchapi.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Generous: only reached when something is broken.
constexpr DWORD kLongWait = 10000;

struct HandleCloser {
    void operator()(HANDLE handle) const { (void)CloseHandle(handle); }
};
using OwnedHandle = std::unique_ptr<void, HandleCloser>;

using platform::kernel::ParkedThreads;

// True once done() holds; false if it still doesn't after a generous limit.
template <typename Condition>
[[nodiscard]] bool WaitUntil(Condition done)
{
    const auto deadline = Clock::now() + 10s;
    while (!done()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// Every thread of the pool is parked: the next job goes to the one parked last.
[[nodiscard]] bool AllParked(const ParkedThreads& pool)
{
    return WaitUntil([&pool] {
        const ParkedThreads::Counts counts = pool.counts();
        return counts.threads == counts.parked;
    });
}

// What a routine or job saw of its thread.
struct ThreadView {
    std::thread::id thread;
    DWORD id = 0;
    DWORD lastErrorAtStart = 0;
};

// Records the view, then leaves a last error behind for whatever runs next on the thread.
void See(ThreadView& view)
{
    view.lastErrorAtStart = GetLastError();
    view.thread = std::this_thread::get_id();
    view.id = GetCurrentThreadId();
    SetLastError(ERROR_ACCESS_DENIED);
}

TEST(Events, ManualResetStaysSignalledUntilReset)
{
    OwnedHandle event{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    ASSERT_NE(event.get(), nullptr);
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(event.get()));
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(event.get()));
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);
}

TEST(Events, AutoResetReleasesOneWaitPerSignal)
{
    OwnedHandle event{CreateEventA(nullptr, FALSE, TRUE, "")};
    ASSERT_NE(event.get(), nullptr);
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(event.get()));
    ASSERT_TRUE(SetEvent(event.get()));  // signals don't count up
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);
}

TEST(Events, WaitTimesOutAfterItsLimit)
{
    OwnedHandle event{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    const auto start = Clock::now();
    EXPECT_EQ(WaitForSingleObject(event.get(), 30), WAIT_TIMEOUT);
    EXPECT_GE(Clock::now() - start, 30ms);
}

TEST(Events, SetFromAnotherThreadEndsAnInfiniteWait)
{
    OwnedHandle event{CreateEventA(nullptr, FALSE, FALSE, nullptr)};
    OwnedHandle thread{CreateThread(
        nullptr, 0, [](LPVOID event) -> DWORD { return SetEvent(event) ? 0 : 1; }, event.get(), 0, nullptr)};
    ASSERT_NE(thread.get(), nullptr);
    EXPECT_EQ(WaitForSingleObject(event.get(), INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(thread.get(), kLongWait), WAIT_OBJECT_0);
}

TEST(Events, AutoResetWakesEachWaiterOnceAcrossThreads)
{
    constexpr int kWaiters = 4;
    OwnedHandle event{CreateEventA(nullptr, FALSE, FALSE, nullptr)};
    static std::atomic<int> woken;
    woken = 0;
    std::vector<OwnedHandle> threads;
    for (int i = 0; i < kWaiters; ++i) {
        threads.emplace_back(CreateThread(
            nullptr, 0,
            [](LPVOID event) -> DWORD {
                if (WaitForSingleObject(event, kLongWait) != WAIT_OBJECT_0)
                    return 1;
                ++woken;
                return 0;
            },
            event.get(), 0, nullptr));
    }
    for (int i = 0; i < kWaiters; ++i) {
        ASSERT_TRUE(SetEvent(event.get()));
        // Each signal is consumed by exactly one waiter before the next goes out.
        const auto deadline = Clock::now() + 10s;
        while (woken < i + 1 && Clock::now() < deadline)
            std::this_thread::yield();
        ASSERT_EQ(woken, i + 1);
    }
    for (auto& thread : threads) {
        EXPECT_EQ(WaitForSingleObject(thread.get(), kLongWait), WAIT_OBJECT_0);
        DWORD code = 99;
        ASSERT_TRUE(GetExitCodeThread(thread.get(), &code));
        EXPECT_EQ(code, 0u);
    }
}

TEST(Events, NamedEventsAreRefused)
{
    SetLastError(0);
    EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, "Global\\Shared"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
}

TEST(Handles, BadHandlesFailWithInvalidHandle)
{
    HANDLE closedEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(CloseHandle(closedEvent));
    OwnedHandle liveEvent{CreateEventA(nullptr, TRUE, FALSE, nullptr)};

    struct Case {
        const char* tag;
        HANDLE handle;
        bool eventCallsFail;  // an open event is fine for the event calls only
    };
    const Case cases[] = {
        {"null", nullptr, true},
        {"closed", closedEvent, true},
        {"made up", reinterpret_cast<HANDLE>(0x7777), true},
        {"event as a thread", liveEvent.get(), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tag);
        DWORD code = 0;
        SetLastError(0);
        EXPECT_EQ(ResumeThread(c.handle), 0xFFFFFFFFu);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        SetLastError(0);
        EXPECT_FALSE(GetExitCodeThread(c.handle, &code));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        if (!c.eventCallsFail)
            continue;
        SetLastError(0);
        EXPECT_FALSE(SetEvent(c.handle));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        SetLastError(0);
        EXPECT_FALSE(ResetEvent(c.handle));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        SetLastError(0);
        EXPECT_EQ(WaitForSingleObject(c.handle, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        SetLastError(0);
        EXPECT_FALSE(CloseHandle(c.handle));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    }
}

TEST(Threads, WaitEndsWithTheRoutineAndGivesItsExitCode)
{
    OwnedHandle release{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    DWORD id = 0;
    OwnedHandle thread{CreateThread(
        nullptr, 8192,
        [](LPVOID release) -> DWORD { return WaitForSingleObject(release, kLongWait) == WAIT_OBJECT_0 ? 42 : 1; },
        release.get(), 0, &id)};
    ASSERT_NE(thread.get(), nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, GetCurrentThreadId());

    DWORD code = 0;
    EXPECT_EQ(WaitForSingleObject(thread.get(), 0), WAIT_TIMEOUT);
    ASSERT_TRUE(GetExitCodeThread(thread.get(), &code));
    EXPECT_EQ(code, STILL_ACTIVE);

    ASSERT_TRUE(SetEvent(release.get()));
    EXPECT_EQ(WaitForSingleObject(thread.get(), kLongWait), WAIT_OBJECT_0);
    ASSERT_TRUE(GetExitCodeThread(thread.get(), &code));
    EXPECT_EQ(code, 42u);
    EXPECT_EQ(WaitForSingleObject(thread.get(), 0), WAIT_OBJECT_0);  // stays signalled
}

// A routine sees the id CreateThread reported and no last error, also when it runs on the
// parked thread an earlier routine ran on and left its own id and an error behind.
TEST(Threads, EachRoutineStartsCleanWithTheIdCreateThreadReported)
{
    ThreadView views[2];
    DWORD ids[2] = {};
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(AllParked(ParkedThreads::Shared()));
        OwnedHandle thread{CreateThread(
            nullptr, 0, [](LPVOID view) -> DWORD { See(*static_cast<ThreadView*>(view)); return 0; }, &views[i], 0,
            &ids[i])};
        ASSERT_NE(thread.get(), nullptr);
        ASSERT_EQ(WaitForSingleObject(thread.get(), kLongWait), WAIT_OBJECT_0);
    }
    EXPECT_EQ(views[1].thread, views[0].thread) << "the second routine runs on the parked thread";
    EXPECT_NE(ids[1], ids[0]);
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(views[i].id, ids[i]);
        EXPECT_EQ(views[i].lastErrorAtStart, 0u);
    }
    EXPECT_NE(GetCurrentThreadId(), ids[0]);
    EXPECT_EQ(GetCurrentThreadId(), GetCurrentThreadId());
}

TEST(Threads, ASuspendedThreadRunsOnlyWhenResumed)
{
    static std::atomic<bool> ran;
    ran = false;
    // A parked thread is free, so nothing but the suspension holds the routine back.
    OwnedHandle earlier{CreateThread(nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, 0, nullptr)};
    ASSERT_EQ(WaitForSingleObject(earlier.get(), kLongWait), WAIT_OBJECT_0);
    ASSERT_TRUE(AllParked(ParkedThreads::Shared()));
    OwnedHandle thread{CreateThread(
        nullptr, 0, [](LPVOID) -> DWORD { ran = true; return 7; }, nullptr, CREATE_SUSPENDED, nullptr)};
    ASSERT_NE(thread.get(), nullptr);
    EXPECT_EQ(WaitForSingleObject(thread.get(), 20), WAIT_TIMEOUT);
    EXPECT_FALSE(ran);

    EXPECT_EQ(ResumeThread(thread.get()), 1u);
    EXPECT_EQ(WaitForSingleObject(thread.get(), kLongWait), WAIT_OBJECT_0);
    EXPECT_TRUE(ran);
    EXPECT_EQ(ResumeThread(thread.get()), 0u);  // not suspended any more
}

TEST(Threads, ClosingTheHandleOfARunningThreadLetsItFinish)
{
    OwnedHandle release{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    OwnedHandle finished{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    static HANDLE events[2];
    events[0] = release.get();
    events[1] = finished.get();
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID) -> DWORD {
            if (WaitForSingleObject(events[0], kLongWait) != WAIT_OBJECT_0)
                return 1;
            return SetEvent(events[1]) ? 0 : 1;
        },
        nullptr, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(CloseHandle(thread));
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_FAILED);

    ASSERT_TRUE(SetEvent(release.get()));
    EXPECT_EQ(WaitForSingleObject(finished.get(), kLongWait), WAIT_OBJECT_0);
}

TEST(Threads, ClosingASuspendedThreadNeverRunsIt)
{
    static std::atomic<bool> ran;
    ran = false;
    HANDLE thread = CreateThread(
        nullptr, 0, [](LPVOID) -> DWORD { ran = true; return 0; }, nullptr, CREATE_SUSPENDED, nullptr);
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(CloseHandle(thread));
    EXPECT_FALSE(ran);
}

TEST(Threads, BadArgumentsAreRefused)
{
    SetLastError(0);
    EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    SetLastError(0);
    EXPECT_EQ(CreateThread(nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, 0x8000'0000u, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

// Two waves: the second starts on the threads the first left parked, and on new ones.
TEST(Threads, ManyThreadsAtOnceAllFinishWithTheirOwnCodes)
{
    constexpr int kThreads = 64;
    static std::atomic<int> running;
    static HANDLE startEvent;
    for (const DWORD firstCode : {100u, 1000u}) {
        SCOPED_TRACE(firstCode);
        running = 0;
        OwnedHandle start{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
        startEvent = start.get();
        std::vector<OwnedHandle> threads;
        for (DWORD i = 0; i < kThreads; ++i) {
            threads.emplace_back(CreateThread(
                nullptr, 8192,
                [](LPVOID code) -> DWORD {
                    ++running;
                    if (WaitForSingleObject(startEvent, kLongWait) != WAIT_OBJECT_0)
                        return 0xBAD;
                    return static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(code));
                },
                reinterpret_cast<LPVOID>(static_cast<std::uintptr_t>(firstCode + i)), 0, nullptr));
            ASSERT_NE(threads.back().get(), nullptr);
        }
        ASSERT_TRUE(SetEvent(start.get()));
        for (DWORD i = 0; i < kThreads; ++i) {
            ASSERT_EQ(WaitForSingleObject(threads[i].get(), kLongWait), WAIT_OBJECT_0);
            DWORD code = 0;
            ASSERT_TRUE(GetExitCodeThread(threads[i].get(), &code));
            EXPECT_EQ(code, firstCode + i);
        }
        EXPECT_EQ(running, kThreads);
    }
}

// Jobs that are not CreateThread routines (the Internet layer's loops) start clean too: no last
// error, and a thread id of their own once they ask for one.
TEST(ParkedThreads, AJobOnAParkedThreadStartsClean)
{
    ParkedThreads pool(1, std::chrono::hours(1));
    ThreadView views[2];
    for (ThreadView& view : views) {
        std::atomic<bool> done{false};
        ASSERT_TRUE(pool.run([&view, &done] { See(view); done = true; }));
        ASSERT_TRUE(WaitUntil([&done] { return done.load(); }));
        ASSERT_TRUE(WaitUntil([&pool] { return pool.counts().parked == 1; }));
    }
    EXPECT_EQ(views[1].thread, views[0].thread);
    EXPECT_NE(views[1].id, views[0].id);
    EXPECT_EQ(views[0].lastErrorAtStart, 0u);
    EXPECT_EQ(views[1].lastErrorAtStart, 0u);
}

TEST(ParkedThreads, NoMoreThanTheLimitStayParked)
{
    constexpr std::size_t kJobs = 5;
    ParkedThreads pool(2, std::chrono::hours(1));
    OwnedHandle release{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    std::atomic<std::size_t> finished{0};
    for (std::size_t i = 0; i < kJobs; ++i) {
        ASSERT_TRUE(pool.run([&] {
            if (WaitForSingleObject(release.get(), kLongWait) == WAIT_OBJECT_0)
                ++finished;
        }));
    }
    EXPECT_EQ(pool.counts().threads, kJobs) << "a job waits for no other";
    ASSERT_TRUE(SetEvent(release.get()));
    EXPECT_TRUE(WaitUntil([&] {
        const ParkedThreads::Counts counts = pool.counts();
        return counts.threads == 2 && counts.parked == 2;
    }));
    EXPECT_EQ(finished, kJobs);
}

TEST(ParkedThreads, AnIdleThreadEnds)
{
    ParkedThreads pool(8, 20ms);
    std::atomic<bool> ran{false};
    ASSERT_TRUE(pool.run([&ran] { ran = true; }));
    EXPECT_TRUE(WaitUntil([&pool] { return pool.counts().threads == 0; }));
    EXPECT_TRUE(ran);
    EXPECT_EQ(pool.counts().parked, 0u);
}

// Set when the thread that ran an armed job has ended.
std::atomic<bool> armedThreadEnded{false};
struct ThreadEndFlag {
    void Arm() {}
    ~ThreadEndFlag() { armedThreadEnded = true; }
};
thread_local ThreadEndFlag threadEndFlag;

TEST(ParkedThreads, APoolThatGoesEndsItsParkedThreads)
{
    armedThreadEnded = false;
    std::optional<ParkedThreads> pool(std::in_place, 8, std::chrono::hours(1));
    ASSERT_TRUE(pool->run([] { threadEndFlag.Arm(); }));
    ASSERT_TRUE(WaitUntil([&pool] { return pool->counts().parked == 1; }));
    EXPECT_FALSE(armedThreadEnded);
    pool.reset();
    EXPECT_TRUE(WaitUntil([] { return armedThreadEnded.load(); }));
}

}  // namespace
