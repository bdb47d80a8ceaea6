// Window classes, windows and messages: same-thread and cross-thread delivery.
#include <gtest/gtest.h>

#include <QPointer>
#include <QTest>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "EventLog.h"
#include "errhandlingapi.h"
#include "handleapi.h"
#include "processthreadsapi.h"
#include "synchapi.h"
#include "winuser.h"

namespace {

constexpr UINT kEcho = WM_USER + 1;         // answers wParam * 2 + 1
constexpr UINT kNote = WM_USER + 2;         // recorded, answers 0
constexpr UINT kDestroySelf = WM_USER + 3;  // the procedure destroys its own window
constexpr UINT kStyle = 0x20;
constexpr int kPumpLimitMs = 10000;  // only reached when something is broken
constexpr DWORD kLongWait = 10000;

const HINSTANCE kInstance = reinterpret_cast<HINSTANCE>(0x5000);
const HINSTANCE kOtherInstance = reinterpret_cast<HINSTANCE>(0x6000);

struct Delivery {
    HWND window;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    std::thread::id thread;
};

// What the window procedures saw, from whichever thread they ran on.
struct Recorder : dorvane::test::EventLog<Delivery> {
    std::vector<Delivery> Of(UINT message) const
    {
        return matching([message](const Delivery& delivery) { return delivery.message == message; });
    }
};

Recorder recorder;

LRESULT RecordingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    recorder.add({window, message, wParam, lParam, std::this_thread::get_id()});
    switch (message) {
    case kEcho:
        return static_cast<LRESULT>(wParam * 2 + 1);
    case kDestroySelf:
        (void)DestroyWindow(window);
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

LRESULT RefusingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return message == WM_CREATE ? -1 : DefWindowProcA(window, message, wParam, lParam);
}

struct HandleCloser {
    void operator()(HANDLE handle) const { (void)CloseHandle(handle); }
};
using OwnedHandle = std::unique_ptr<void, HandleCloser>;

class WindowMessages : public ::testing::Test {
protected:
    void SetUp() override
    {
        recorder.clear();
        className_ = std::string("TestWindow_") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        ASSERT_NE(Register(className_.c_str(), kInstance, RecordingProc), 0);
    }
    void TearDown() override { (void)UnregisterClassA(className_.c_str(), kInstance); }

    static ATOM Register(LPCSTR name, HINSTANCE instance, WNDPROC procedure)
    {
        WNDCLASSA windowClass{};
        windowClass.style = kStyle;
        windowClass.lpfnWndProc = procedure;
        windowClass.hInstance = instance;
        windowClass.lpszClassName = name;
        return RegisterClassA(&windowClass);
    }

public:
    HWND CreateTestWindow(HWND parent = nullptr, LPVOID param = nullptr) const
    {
        return CreateWindowExA(0, className_.c_str(), "", 0, 0, 0, 0, 0, parent, nullptr, kInstance, param);
    }

    // Handles posted messages on this thread until the predicate holds.
    template <typename Predicate>
    static bool PumpUntil(Predicate predicate)
    {
        return QTest::qWaitFor(predicate, kPumpLimitMs);
    }

    std::string className_;  // one class per test, registered for kInstance
};

TEST_F(WindowMessages, ClassesAreRegisteredPerNameIgnoringCaseAndPerInstance)
{
    WNDCLASSA found{};
    std::string upper = className_;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    ASSERT_TRUE(GetClassInfoA(kInstance, upper.c_str(), &found));
    EXPECT_EQ(found.lpfnWndProc, &RecordingProc);
    EXPECT_EQ(found.style, kStyle);
    EXPECT_EQ(found.hInstance, kInstance);

    SetLastError(0);
    EXPECT_EQ(Register(upper.c_str(), kInstance, RecordingProc), 0);
    EXPECT_EQ(GetLastError(), ERROR_CLASS_ALREADY_EXISTS);

    EXPECT_NE(Register(className_.c_str(), kOtherInstance, RefusingProc), 0);
    ASSERT_TRUE(GetClassInfoA(kOtherInstance, className_.c_str(), &found));
    EXPECT_EQ(found.lpfnWndProc, &RefusingProc);
    EXPECT_TRUE(UnregisterClassA(className_.c_str(), kOtherInstance));
}

TEST_F(WindowMessages, AClassWithWindowsCannotBeUnregistered)
{
    HWND window = CreateTestWindow();
    ASSERT_NE(window, nullptr);
    SetLastError(0);
    EXPECT_FALSE(UnregisterClassA(className_.c_str(), kInstance));
    EXPECT_EQ(GetLastError(), ERROR_CLASS_HAS_WINDOWS);

    ASSERT_TRUE(DestroyWindow(window));
    EXPECT_TRUE(UnregisterClassA(className_.c_str(), kInstance));

    WNDCLASSA found{};
    SetLastError(0);
    EXPECT_FALSE(GetClassInfoA(kInstance, className_.c_str(), &found));
    EXPECT_EQ(GetLastError(), ERROR_CLASS_DOES_NOT_EXIST);
    SetLastError(0);
    EXPECT_FALSE(UnregisterClassA(className_.c_str(), kInstance));
    EXPECT_EQ(GetLastError(), ERROR_CLASS_DOES_NOT_EXIST);

    // Registered again with another procedure, the class answers with the new one.
    ASSERT_NE(Register(className_.c_str(), kInstance, RefusingProc), 0);
    ASSERT_TRUE(GetClassInfoA(kInstance, className_.c_str(), &found));
    EXPECT_EQ(found.lpfnWndProc, &RefusingProc);
}

TEST_F(WindowMessages, BadArgumentsFailWithTheirReason)
{
    HWND stale = CreateTestWindow();
    ASSERT_TRUE(DestroyWindow(stale));
    WNDCLASSA noProcedure{};
    noProcedure.lpszClassName = "NoProcedure";
    WNDCLASSA emptyName{};
    emptyName.lpfnWndProc = RecordingProc;
    emptyName.lpszClassName = "";

    struct Case {
        const char* tag;
        bool (*call)(const WindowMessages& fixture, HWND stale, const WNDCLASSA* a, const WNDCLASSA* b);
        DWORD error;
    };
    const Case cases[] = {
        {"register no record", [](const WindowMessages&, HWND, const WNDCLASSA*, const WNDCLASSA*) {
             return RegisterClassA(nullptr) == 0; }, ERROR_INVALID_PARAMETER},
        {"register no procedure", [](const WindowMessages&, HWND, const WNDCLASSA* a, const WNDCLASSA*) {
             return RegisterClassA(a) == 0; }, ERROR_INVALID_PARAMETER},
        {"register empty name", [](const WindowMessages&, HWND, const WNDCLASSA*, const WNDCLASSA* b) {
             return RegisterClassA(b) == 0; }, ERROR_INVALID_PARAMETER},
        {"create unknown class", [](const WindowMessages&, HWND, const WNDCLASSA*, const WNDCLASSA*) {
             return CreateWindowExA(0, "NoSuchClass", "", 0, 0, 0, 0, 0, nullptr, nullptr, kInstance, nullptr)
                 == nullptr; }, ERROR_CLASS_DOES_NOT_EXIST},
        {"create with a class of another instance", [](const WindowMessages& f, HWND, const WNDCLASSA*, const WNDCLASSA*) {
             return CreateWindowExA(0, f.className_.c_str(), "", 0, 0, 0, 0, 0, nullptr, nullptr, kOtherInstance,
                                    nullptr) == nullptr; }, ERROR_CLASS_DOES_NOT_EXIST},
        {"create under a stale parent", [](const WindowMessages& f, HWND stale, const WNDCLASSA*, const WNDCLASSA*) {
             return f.CreateTestWindow(stale) == nullptr; }, ERROR_INVALID_WINDOW_HANDLE},
        {"send to a stale window", [](const WindowMessages&, HWND stale, const WNDCLASSA*, const WNDCLASSA*) {
             return SendMessageA(stale, kEcho, 1, 0) == 0; }, ERROR_INVALID_WINDOW_HANDLE},
        {"post to a stale window", [](const WindowMessages&, HWND stale, const WNDCLASSA*, const WNDCLASSA*) {
             return PostMessageA(stale, kNote, 1, 0) == FALSE; }, ERROR_INVALID_WINDOW_HANDLE},
        {"destroy a stale window", [](const WindowMessages&, HWND stale, const WNDCLASSA*, const WNDCLASSA*) {
             return DestroyWindow(stale) == FALSE; }, ERROR_INVALID_WINDOW_HANDLE},
        {"post to the desktop", [](const WindowMessages&, HWND, const WNDCLASSA*, const WNDCLASSA*) {
             return PostMessageA(GetDesktopWindow(), kNote, 1, 0) == FALSE; }, ERROR_ACCESS_DENIED},
        {"destroy the desktop", [](const WindowMessages&, HWND, const WNDCLASSA*, const WNDCLASSA*) {
             return DestroyWindow(GetDesktopWindow()) == FALSE; }, ERROR_ACCESS_DENIED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tag);
        SetLastError(0);
        EXPECT_TRUE(c.call(*this, stale, &noProcedure, &emptyName));
        EXPECT_EQ(GetLastError(), c.error);
    }
    EXPECT_FALSE(IsWindow(stale));
    EXPECT_TRUE(recorder.Of(kEcho).empty());
    EXPECT_TRUE(recorder.Of(kNote).empty());
}

TEST_F(WindowMessages, TheDesktopIsAValidParentThatTakesNoMessages)
{
    EXPECT_TRUE(IsWindow(GetDesktopWindow()));
    EXPECT_EQ(SendMessageA(GetDesktopWindow(), kEcho, 1, 0), 0);
    HWND window = CreateTestWindow(GetDesktopWindow());
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(DestroyWindow(window));
}

TEST_F(WindowMessages, CreationAndDestructionReachTheProcedure)
{
    HWND window = CreateTestWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(IsWindow(window));
    const auto created = recorder.Of(WM_CREATE);
    ASSERT_EQ(created.size(), 1u);
    EXPECT_EQ(created[0].window, window);
    ASSERT_TRUE(DestroyWindow(window));
    EXPECT_EQ(recorder.Of(WM_DESTROY).size(), 1u);
    EXPECT_FALSE(IsWindow(window));
}

LRESULT ParameterCheckingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_CREATE) {
        const auto* creation = reinterpret_cast<const CREATESTRUCTA*>(lParam);
        *static_cast<int*>(creation->lpCreateParams) = 1;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

TEST_F(WindowMessages, CreateCarriesTheParameterAndCanRefuseTheWindow)
{
    ASSERT_NE(Register("TestWindow_Parameter", kInstance, ParameterCheckingProc), 0);
    int parameter = 0;
    HWND window = CreateWindowExA(0, "TestWindow_Parameter", "", 0, 0, 0, 0, 0, nullptr, nullptr, kInstance, &parameter);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(parameter, 1);
    EXPECT_TRUE(DestroyWindow(window));
    EXPECT_TRUE(UnregisterClassA("TestWindow_Parameter", kInstance));

    ASSERT_NE(Register("TestWindow_Refusing", kInstance, RefusingProc), 0);
    SetLastError(0);
    EXPECT_EQ(CreateWindowExA(0, "TestWindow_Refusing", "", 0, 0, 0, 0, 0, nullptr, nullptr, kInstance, nullptr),
              nullptr);
    EXPECT_EQ(GetLastError(), ERROR_CANCELLED);
    EXPECT_TRUE(UnregisterClassA("TestWindow_Refusing", kInstance));  // no window was left behind
}

TEST_F(WindowMessages, SendOnTheWindowThreadCallsTheProcedureDirectly)
{
    HWND window = CreateTestWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(SendMessageA(window, kEcho, 20, 0), 41);  // no event loop ran in between
    const auto echoes = recorder.Of(kEcho);
    ASSERT_EQ(echoes.size(), 1u);
    EXPECT_EQ(echoes[0].thread, std::this_thread::get_id());
    EXPECT_TRUE(DestroyWindow(window));
}

TEST_F(WindowMessages, SendFromAnotherThreadRunsOnTheWindowThreadAndReturnsTheResult)
{
    HWND window = CreateTestWindow();
    ASSERT_NE(window, nullptr);
    std::atomic<bool> done{false};
    LRESULT result = 0;
    std::thread sender([&] {
        result = SendMessageA(window, kEcho, 5, 0);
        done = true;
    });
    EXPECT_TRUE(PumpUntil([&] { return done.load(); }));
    sender.join();
    EXPECT_EQ(result, 11);
    const auto echoes = recorder.Of(kEcho);
    ASSERT_EQ(echoes.size(), 1u);
    EXPECT_EQ(echoes[0].thread, std::this_thread::get_id());
    EXPECT_TRUE(DestroyWindow(window));
}

TEST_F(WindowMessages, PostedMessagesRunLaterAndInOrder)
{
    HWND window = CreateTestWindow();
    ASSERT_NE(window, nullptr);
    for (WPARAM i = 1; i <= 3; ++i)
        ASSERT_TRUE(PostMessageA(window, kNote, i, 0));
    EXPECT_TRUE(recorder.Of(kNote).empty());  // nothing runs before the loop does

    ASSERT_TRUE(PumpUntil([] { return recorder.Of(kNote).size() == 3; }));
    const auto notes = recorder.Of(kNote);
    for (WPARAM i = 0; i < 3; ++i)
        EXPECT_EQ(notes[i].wParam, i + 1);
    EXPECT_TRUE(DestroyWindow(window));
}

TEST_F(WindowMessages, MessagesPostedToADestroyedWindowAreDropped)
{
    HWND doomed = CreateTestWindow();
    HWND marker = CreateTestWindow();
    ASSERT_TRUE(PostMessageA(doomed, kNote, 1, 0));
    ASSERT_TRUE(DestroyWindow(doomed));
    ASSERT_TRUE(PostMessageA(marker, kNote, 2, 0));  // delivered after the first would have been

    ASSERT_TRUE(PumpUntil([] { return !recorder.Of(kNote).empty(); }));
    const auto notes = recorder.Of(kNote);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].window, marker);
    EXPECT_TRUE(DestroyWindow(marker));
}

TEST_F(WindowMessages, AProcedureMayDestroyItsOwnWindowWhileHandlingAPost)
{
    HWND window = CreateTestWindow();
    HWND marker = CreateTestWindow();
    ASSERT_TRUE(PostMessageA(window, kDestroySelf, 0, 0));
    ASSERT_TRUE(PostMessageA(window, kNote, 1, 0));
    ASSERT_TRUE(PostMessageA(marker, kNote, 2, 0));

    ASSERT_TRUE(PumpUntil([] { return !recorder.Of(kNote).empty(); }));
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(recorder.Of(WM_DESTROY).size(), 1u);
    const auto notes = recorder.Of(kNote);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].window, marker);
    EXPECT_TRUE(DestroyWindow(marker));
}

// A thread waiting for a sender serves the sends and nothing else: posted messages and deferred
// deletes wait for the event loop.
TEST_F(WindowMessages, PeekingForSentMessagesServesSendsOnly)
{
    HWND window = CreateTestWindow();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(PostMessageA(window, kNote, 1, 0));
    auto* later = new QObject;
    QPointer<QObject> deferred(later);
    later->deleteLater();
    std::atomic<bool> done{false};
    LRESULT result = 0;
    std::thread sender([&] {
        result = SendMessageA(window, kEcho, 5, 0);
        done = true;
    });
    MSG msg{};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPumpLimitMs);
    while (!done && std::chrono::steady_clock::now() < deadline) {
        EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE));
        std::this_thread::yield();
    }
    sender.join();
    EXPECT_EQ(result, 11);
    EXPECT_TRUE(recorder.Of(kNote).empty()) << "the posted message waits for the loop";
    EXPECT_FALSE(deferred.isNull()) << "so does a deferred delete";

    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(PeekMessageA(&msg, window, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);

    EXPECT_TRUE(PumpUntil([&] { return recorder.Of(kNote).size() == 1 && deferred.isNull(); }));
    EXPECT_TRUE(DestroyWindow(window));
}

TEST_F(WindowMessages, OnlyTheWindowThreadMayDestroyIt)
{
    HWND window = CreateTestWindow();
    BOOL destroyed = TRUE;
    DWORD error = 0;
    std::thread other([&] {
        destroyed = DestroyWindow(window);
        error = GetLastError();
    });
    other.join();
    EXPECT_FALSE(destroyed);
    EXPECT_EQ(error, ERROR_ACCESS_DENIED);
    EXPECT_TRUE(IsWindow(window));
    EXPECT_TRUE(DestroyWindow(window));
}

TEST_F(WindowMessages, TheWindowsOfAThreadThatEndsAreGone)
{
    HWND window = nullptr;
    std::thread owner([&] { window = CreateTestWindow(); });
    owner.join();
    ASSERT_NE(window, nullptr);
    EXPECT_FALSE(IsWindow(window));
    SetLastError(0);
    EXPECT_EQ(SendMessageA(window, kEcho, 1, 0), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_TRUE(UnregisterClassA(className_.c_str(), kInstance));
}

// A window on a thread that handles no messages; the test decides how the window goes.
struct SilentOwner {
    std::string className;
    bool destroyExplicitly;
    HANDLE ready;  // set when window is filled in
    HANDLE go;     // set by the test: now destroy the window, or end the thread
    HWND window = nullptr;
};

struct BlockedSend {
    HWND window;
    LRESULT result = -1;
    DWORD error = 0;
};

class SenderRelease : public WindowMessages, public ::testing::WithParamInterface<bool> {};

TEST_P(SenderRelease, ASenderWaitingOnAWindowThatGoesIsReleased)
{
    OwnedHandle ready{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    OwnedHandle go{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    SilentOwner owner{className_, GetParam(), ready.get(), go.get()};
    OwnedHandle ownerThread{CreateThread(
        nullptr, 0,
        [](LPVOID data) -> DWORD {
            auto& owner = *static_cast<SilentOwner*>(data);
            owner.window = CreateWindowExA(0, owner.className.c_str(), "", 0, 0, 0, 0, 0, nullptr, nullptr,
                                           kInstance, nullptr);
            (void)SetEvent(owner.ready);
            if (WaitForSingleObject(owner.go, kLongWait) != WAIT_OBJECT_0)
                return 1;
            if (owner.destroyExplicitly)
                return DestroyWindow(owner.window) ? 0 : 2;
            return 0;  // ends with the window still there
        },
        &owner, 0, nullptr)};
    ASSERT_EQ(WaitForSingleObject(ready.get(), kLongWait), WAIT_OBJECT_0);
    ASSERT_NE(owner.window, nullptr);

    BlockedSend send{owner.window};
    OwnedHandle senderThread{CreateThread(
        nullptr, 0,
        [](LPVOID data) -> DWORD {
            auto& send = *static_cast<BlockedSend*>(data);
            send.result = SendMessageA(send.window, kEcho, 1, 0);
            send.error = GetLastError();
            return 0;
        },
        &send, 0, nullptr)};
    // Give the send time to be queued, so the common case is a sender already waiting; the
    // outcome checked below is the same if the window goes first.
    EXPECT_EQ(WaitForSingleObject(senderThread.get(), 50), WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(go.get()));

    ASSERT_EQ(WaitForSingleObject(senderThread.get(), kLongWait), WAIT_OBJECT_0);
    ASSERT_EQ(WaitForSingleObject(ownerThread.get(), kLongWait), WAIT_OBJECT_0);
    DWORD ownerCode = 99;
    ASSERT_TRUE(GetExitCodeThread(ownerThread.get(), &ownerCode));
    EXPECT_EQ(ownerCode, 0u);
    EXPECT_EQ(send.result, 0);
    EXPECT_EQ(send.error, ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_TRUE(recorder.Of(kEcho).empty());
    EXPECT_FALSE(IsWindow(owner.window));
}

INSTANTIATE_TEST_SUITE_P(WindowMessages, SenderRelease, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? std::string("Destroyed") : std::string("ThreadEnded");
                         });

TEST_F(WindowMessages, ManySendersAtOnceAreAllAnsweredOnTheWindowThread)
{
    constexpr int kSenders = 8;
    constexpr int kSendsEach = 100;
    HWND window = CreateTestWindow();
    std::atomic<int> finished{0};
    std::atomic<int> wrongAnswers{0};
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([&, s] {
            for (int i = 0; i < kSendsEach; ++i) {
                const WPARAM value = static_cast<WPARAM>(s * 1000 + i);
                if (SendMessageA(window, kEcho, value, 0) != static_cast<LRESULT>(value * 2 + 1))
                    ++wrongAnswers;
            }
            ++finished;
        });
    }
    EXPECT_TRUE(PumpUntil([&] { return finished.load() == kSenders; }));
    for (auto& sender : senders)
        sender.join();
    EXPECT_EQ(wrongAnswers, 0);
    const auto echoes = recorder.Of(kEcho);
    EXPECT_EQ(echoes.size(), static_cast<size_t>(kSenders * kSendsEach));
    for (const Delivery& echo : echoes)
        ASSERT_EQ(echo.thread, std::this_thread::get_id());
    EXPECT_TRUE(DestroyWindow(window));
}

}  // namespace
