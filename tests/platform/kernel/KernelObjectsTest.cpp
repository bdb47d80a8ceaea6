// Events, threads and their handles.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "errhandlingapi.h"
#include "handleapi.h"
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

TEST(Threads, TheRoutineSeesTheIdCreateThreadReported)
{
    static std::atomic<DWORD> seen;
    seen = 0;
    DWORD id = 0;
    OwnedHandle thread{CreateThread(
        nullptr, 0, [](LPVOID) -> DWORD { seen = GetCurrentThreadId(); return 0; }, nullptr, 0, &id)};
    ASSERT_EQ(WaitForSingleObject(thread.get(), kLongWait), WAIT_OBJECT_0);
    EXPECT_EQ(seen, id);
    EXPECT_EQ(GetCurrentThreadId(), GetCurrentThreadId());
}

TEST(Threads, ASuspendedThreadRunsOnlyWhenResumed)
{
    static std::atomic<bool> ran;
    ran = false;
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

TEST(Threads, ManyThreadsAtOnceAllFinishWithTheirOwnCodes)
{
    constexpr int kThreads = 64;
    static std::atomic<int> running;
    running = 0;
    OwnedHandle start{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    static HANDLE startEvent;
    startEvent = start.get();
    std::vector<OwnedHandle> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back(CreateThread(
            nullptr, 8192,
            [](LPVOID index) -> DWORD {
                ++running;
                if (WaitForSingleObject(startEvent, kLongWait) != WAIT_OBJECT_0)
                    return 0xBAD;
                return static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(index));
            },
            reinterpret_cast<LPVOID>(static_cast<std::uintptr_t>(i + 100)), 0, nullptr));
        ASSERT_NE(threads.back().get(), nullptr);
    }
    ASSERT_TRUE(SetEvent(start.get()));
    for (int i = 0; i < kThreads; ++i) {
        ASSERT_EQ(WaitForSingleObject(threads[i].get(), kLongWait), WAIT_OBJECT_0);
        DWORD code = 0;
        ASSERT_TRUE(GetExitCodeThread(threads[i].get(), &code));
        EXPECT_EQ(code, static_cast<DWORD>(i + 100));
    }
    EXPECT_EQ(running, kThreads);
}

}  // namespace
