// Window classes, windows and messages over Qt's event loop.
//
// A window is a small QObject living in the thread that created the window; its HWND is an id
// in a process-wide table, never the object's address, so a stale handle fails cleanly. A
// message for another thread's window travels as a posted QEvent to that object, and a
// synchronous send waits for a reply record that the event itself completes: run by the window
// procedure, or abandoned when the event is thrown away unrun (the window was destroyed or its
// thread ended), so a sender never waits for a window that is gone.
#include "winuser.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "errhandlingapi.h"
#include "thread_work_end.h"

namespace {

// Window handles are ids from a counter that never repeats within a run. The desktop has a
// fixed id below the first window's.
constexpr std::uintptr_t kDesktopWindow = 0x10010;
constexpr std::uintptr_t kFirstWindow = 0x20000;
constexpr std::uintptr_t kWindowStep = 2;
// Class atoms live where the other platform puts registered classes; the range bounds how many
// classes one run can ever register.
constexpr ATOM kFirstAtom = 0xC000;
constexpr ATOM kLastAtom = 0xFFFF;
// A pointer value this small is an atom in the other platform's calling convention, not a name.
constexpr std::uintptr_t kAtomNameLimit = 0x10000;
constexpr LRESULT kCreateRefused = -1;

// Posted and sent messages travel as events of two types, so that a thread can serve the sends
// it is waited on for without running anything else (PeekMessageA).
QEvent::Type PostedMessageEventType()
{
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

QEvent::Type SentMessageEventType()
{
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

bool IsMessageEvent(const QEvent* event)
{
    return event->type() == PostedMessageEventType() || event->type() == SentMessageEventType();
}

// The answer to one cross-thread SendMessageA, shared by the waiting sender and the event.
class PendingReply {
public:
    enum class Outcome { Waiting, Answered, Abandoned };

    void Finish(Outcome outcome, LRESULT result)
    {
        {
            std::lock_guard lock(m_mutex);
            if (m_outcome != Outcome::Waiting)
                return;
            m_outcome = outcome;
            m_result = result;
        }
        m_finished.notify_all();
    }

    [[nodiscard]] std::pair<Outcome, LRESULT> Wait()
    {
        std::unique_lock lock(m_mutex);
        m_finished.wait(lock, [this] { return m_outcome != Outcome::Waiting; });
        return {m_outcome, m_result};
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_finished;
    Outcome m_outcome = Outcome::Waiting;  // guarded by m_mutex
    LRESULT m_result = 0;                  // guarded by m_mutex
};

// A message on its way to a window's thread. A sent message carries its reply; an event that is
// deleted unrun (Qt drops the posted events of a deleted object and of an ended thread)
// abandons the reply, which releases the sender.
class MessageEvent final : public QEvent {
public:
    MessageEvent(HWND window, UINT message, WPARAM wParam, LPARAM lParam, std::shared_ptr<PendingReply> reply)
        : QEvent(reply ? SentMessageEventType() : PostedMessageEventType())
        , window(window)
        , message(message)
        , wParam(wParam)
        , lParam(lParam)
        , reply(std::move(reply))
    {
    }
    ~MessageEvent() override
    {
        if (reply)
            reply->Finish(PendingReply::Outcome::Abandoned, 0);
    }

    const HWND window;
    const UINT message;
    const WPARAM wParam;
    const LPARAM lParam;
    const std::shared_ptr<PendingReply> reply;
};

class WindowObject;

struct ClassKey {
    std::string foldedName;  // class names compare without regard to ASCII case
    HINSTANCE instance;
    auto operator<=>(const ClassKey&) const = default;
};

struct WindowClass {
    WNDCLASSA record;  // the caller's record without its string pointers
    ATOM atom;
    int windowCount = 0;
};

struct Window {
    WNDPROC procedure;
    ClassKey classKey;
    std::thread::id owner;
    WindowObject* receiver;  // owned; lives in the owner thread
    bool destroying = false;
};

// Everything shared between threads, behind one mutex. Never destroyed, so a thread that ends
// after main() returned can still clean up its windows.
struct WindowRegistry {
    static WindowRegistry& Instance()
    {
        static WindowRegistry* const registry = new WindowRegistry;
        return *registry;
    }

    std::mutex mutex;
    std::map<ClassKey, WindowClass> classes;          // guarded by mutex
    std::unordered_map<std::uintptr_t, Window> windows;  // guarded by mutex
    std::uintptr_t nextWindow = kFirstWindow;           // guarded by mutex
    DWORD nextAtom = kFirstAtom;                          // guarded by mutex
};

std::uintptr_t WindowId(HWND window)
{
    return reinterpret_cast<std::uintptr_t>(window);
}

bool IsDesktop(HWND window)
{
    return WindowId(window) == kDesktopWindow;
}

[[nodiscard]] bool IsValidName(LPCSTR name)
{
    return reinterpret_cast<std::uintptr_t>(name) >= kAtomNameLimit && *name != '\0';
}

ClassKey MakeClassKey(LPCSTR name, HINSTANCE instance)
{
    std::string folded(name);
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return {std::move(folded), instance};
}

// Receives the messages of one window on its thread.
class WindowObject final : public QObject {
public:
    // Called by DestroyWindow on this object's thread, with its window already out of the table.
    void Retire()
    {
        QCoreApplication::removePostedEvents(this);
        if (m_dispatchDepth == 0)
            delete this;
        else
            m_retired = true;  // a window procedure running in event() destroyed its own window
    }

protected:
    bool event(QEvent* event) override
    {
        const std::optional<Delivery> delivery = Receive(event);
        if (!delivery)
            return QObject::event(event);
        if (delivery->procedure != nullptr)
            Deliver(*delivery);
        // Deleting the receiver as the last step of its own event() is what Qt itself does for
        // deferred deletes.
        if (m_retired && m_dispatchDepth == 0)
            delete this;
        return true;
    }

private:
    struct Delivery {
        MessageEvent& message;
        WNDPROC procedure;  // nullptr: the window went away, the message is dropped
    };

    // Nothing for an event that isn't a message.
    static std::optional<Delivery> Receive(QEvent* event)
    {
        // The lock comes before reading anything of the event: it orders this thread after the
        // poster for the thread sanitizer, which doesn't see Qt's own queue locking.
        auto& registry = WindowRegistry::Instance();
        std::lock_guard lock(registry.mutex);
        if (!IsMessageEvent(event))
            return std::nullopt;
        auto& message = *static_cast<MessageEvent*>(event);
        const auto found = registry.windows.find(WindowId(message.window));
        return Delivery{message, found == registry.windows.end() ? nullptr : found->second.procedure};
    }

    void Deliver(const Delivery& delivery)
    {
        const MessageEvent& message = delivery.message;
        ++m_dispatchDepth;
        const LRESULT result = delivery.procedure(message.window, message.message, message.wParam, message.lParam);
        --m_dispatchDepth;
        if (message.reply)
            message.reply->Finish(PendingReply::Outcome::Answered, result);
    }

    int m_dispatchDepth = 0;  // window procedures of this window running inside event()
    bool m_retired = false;
};

// Removes a window from the table; called with the registry locked, on the window's thread.
void RemoveWindowLocked(WindowRegistry& registry, std::unordered_map<std::uintptr_t, Window>::iterator found)
{
    const auto windowClass = registry.classes.find(found->second.classKey);
    if (windowClass != registry.classes.end())
        --windowClass->second.windowCount;
    WindowObject* const receiver = found->second.receiver;
    registry.windows.erase(found);
    receiver->Retire();
}

// Destroys the windows a thread leaves behind when its work ends (the thread ends, or the job
// of a parked thread returns), as the other platform does when a thread ends: their handles
// turn invalid and senders waiting on them are released.
void DestroyThisThreadsWindows() noexcept
{
    auto& registry = WindowRegistry::Instance();
    std::lock_guard lock(registry.mutex);
    const auto self = std::this_thread::get_id();
    for (auto it = registry.windows.begin(); it != registry.windows.end();) {
        const auto next = std::next(it);
        if (it->second.owner == self)
            RemoveWindowLocked(registry, it);
        it = next;
    }
}

}  // namespace

ATOM RegisterClassA(const WNDCLASSA* windowClass)
{
    if (windowClass == nullptr || windowClass->lpfnWndProc == nullptr || windowClass->lpszClassName == nullptr
        || !IsValidName(windowClass->lpszClassName)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    auto& registry = WindowRegistry::Instance();
    std::lock_guard lock(registry.mutex);
    ClassKey key = MakeClassKey(windowClass->lpszClassName, windowClass->hInstance);
    if (registry.classes.contains(key)) {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    if (registry.nextAtom > kLastAtom) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    const auto atom = static_cast<ATOM>(registry.nextAtom++);
    WNDCLASSA record = *windowClass;
    record.lpszClassName = nullptr;  // the caller's strings may not outlive the call
    record.lpszMenuName = nullptr;
    registry.classes.emplace(std::move(key), WindowClass{record, atom});
    return atom;
}

BOOL UnregisterClassA(LPCSTR className, HINSTANCE instance)
{
    if (className == nullptr || !IsValidName(className)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto& registry = WindowRegistry::Instance();
    std::lock_guard lock(registry.mutex);
    const auto found = registry.classes.find(MakeClassKey(className, instance));
    if (found == registry.classes.end()) {
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    if (found->second.windowCount > 0) {
        SetLastError(ERROR_CLASS_HAS_WINDOWS);
        return FALSE;
    }
    registry.classes.erase(found);
    return TRUE;
}

BOOL GetClassInfoA(HINSTANCE instance, LPCSTR className, WNDCLASSA* windowClass)
{
    if (className == nullptr || !IsValidName(className) || windowClass == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto& registry = WindowRegistry::Instance();
    std::lock_guard lock(registry.mutex);
    const auto found = registry.classes.find(MakeClassKey(className, instance));
    if (found == registry.classes.end()) {
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    *windowClass = found->second.record;
    windowClass->lpszClassName = className;
    return TRUE;
}

HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x, int y, int width,
                     int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param)
{
    if (className == nullptr || !IsValidName(className)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto receiver = std::make_unique<WindowObject>();  // belongs to this thread from here on
    HWND window = nullptr;
    WNDPROC procedure = nullptr;
    {
        auto& registry = WindowRegistry::Instance();
        std::lock_guard lock(registry.mutex);
        ClassKey key = MakeClassKey(className, instance);
        const auto windowClass = registry.classes.find(key);
        if (windowClass == registry.classes.end()) {
            SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
            return nullptr;
        }
        if (parent != nullptr && !IsDesktop(parent) && !registry.windows.contains(WindowId(parent))) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return nullptr;
        }
        procedure = windowClass->second.record.lpfnWndProc;
        ++windowClass->second.windowCount;
        const std::uintptr_t id = registry.nextWindow;
        registry.nextWindow += kWindowStep;
        registry.windows.emplace(id, Window{procedure, std::move(key), std::this_thread::get_id(), receiver.release()});
        window = reinterpret_cast<HWND>(id);
    }
    platform::AtThreadWorkEnd(&DestroyThisThreadsWindows);  // this thread's windows go with its work

    CREATESTRUCTA creation{param, instance, menu, parent, height, width, y, x, static_cast<LONG>(style),
                           windowName, className, exStyle};
    if (procedure(window, WM_CREATE, 0, reinterpret_cast<LPARAM>(&creation)) == kCreateRefused) {
        (void)DestroyWindow(window);
        SetLastError(ERROR_CANCELLED);
        return nullptr;
    }
    return window;
}

BOOL DestroyWindow(HWND window)
{
    auto& registry = WindowRegistry::Instance();
    WNDPROC procedure = nullptr;
    {
        std::lock_guard lock(registry.mutex);
        const auto found = registry.windows.find(WindowId(window));
        if (IsDesktop(window) || (found != registry.windows.end() && found->second.owner != std::this_thread::get_id())) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        if (found == registry.windows.end() || found->second.destroying) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        found->second.destroying = true;
        procedure = found->second.procedure;
    }
    procedure(window, WM_DESTROY, 0, 0);
    std::lock_guard lock(registry.mutex);
    const auto found = registry.windows.find(WindowId(window));
    if (found != registry.windows.end())
        RemoveWindowLocked(registry, found);
    return TRUE;
}

BOOL IsWindow(HWND window)
{
    if (IsDesktop(window))
        return TRUE;
    auto& registry = WindowRegistry::Instance();
    std::lock_guard lock(registry.mutex);
    return registry.windows.contains(WindowId(window)) ? TRUE : FALSE;
}

LRESULT DefWindowProcA(HWND window, UINT message, WPARAM /*wParam*/, LPARAM /*lParam*/)
{
    if (message == WM_CLOSE)
        (void)DestroyWindow(window);
    return 0;
}

LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (IsDesktop(window))
        return 0;
    auto& registry = WindowRegistry::Instance();
    auto reply = std::make_shared<PendingReply>();
    {
        std::unique_lock lock(registry.mutex);
        const auto found = registry.windows.find(WindowId(window));
        if (found == registry.windows.end()) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        if (found->second.owner == std::this_thread::get_id()) {
            const WNDPROC procedure = found->second.procedure;
            lock.unlock();
            return procedure(window, message, wParam, lParam);
        }
        // Sent messages go ahead of posted ones, as on the other platform.
        QCoreApplication::postEvent(found->second.receiver, new MessageEvent(window, message, wParam, lParam, reply),
                                    Qt::HighEventPriority);
    }
    const auto [outcome, result] = reply->Wait();
    if (outcome == PendingReply::Outcome::Abandoned) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return result;
}

BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (IsDesktop(window)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    auto& registry = WindowRegistry::Instance();
    std::lock_guard lock(registry.mutex);
    const auto found = registry.windows.find(WindowId(window));
    if (found == registry.windows.end()) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    QCoreApplication::postEvent(found->second.receiver, new MessageEvent(window, message, wParam, lParam, nullptr));
    return TRUE;
}

BOOL PeekMessageA(LPMSG /*msg*/, HWND window, UINT filterMin, UINT filterMax, UINT removeMessage)
{
    if (window != nullptr || filterMin != 0 || filterMax != 0 || removeMessage != (PM_NOREMOVE | PM_QS_SENDMESSAGE)) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    // Sent messages for this thread's windows only: no posted message, timer or deferred delete
    // runs, so a caller in the middle of tearing something down meets nothing but those sends.
    QCoreApplication::sendPostedEvents(nullptr, SentMessageEventType());
    return FALSE;
}

HWND GetDesktopWindow()
{
    return reinterpret_cast<HWND>(kDesktopWindow);
}
