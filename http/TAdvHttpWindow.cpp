#include "TAdvHttpWindow.h"

#include <algorithm>
#include <mutex>
#include <set>
#include <vector>

#include "Exception.h"
#include "errhandlingapi.h"
#include "libloaderapi.h"
#include "processthreadsapi.h"
#include "uAdvHttp.h"

namespace {

// Windowed components may be created on one thread while a worker asks about the window on
// another; one lock keeps the shared state whole.
std::mutex windowLock;
HWND notifyWindow = nullptr;
DWORD notifyWindowThread = 0;
int notifyWindowUsers = 0;
// Never destroyed: components are made and freed on other threads up to the end of the process.
std::set<TAdvHttp*>& liveComponents = *new std::set<TAdvHttp*>;
// The components whose handlers run on this thread, innermost last.
thread_local std::vector<const TAdvHttp*> handlersRunning;

void RunEvent(TAdvHttp* component, TEventDelivery* delivery)
{
    delivery->Raised = nullptr;
    // An event still on its way when destruction began is dropped here, so the destroying
    // thread never runs a handler of a dying component.
    if (component->InState(csDestroying) || delivery->Handler == nullptr || !*delivery->Handler)
        return;
    try {
        THandlerScope running(component);
        (*delivery->Handler)(component);
    } catch (...) {
        delivery->Raised = std::current_exception();
    }
}

// The components whose release came while one of their handlers ran on this thread (a nested
// event loop inside the handler); each is released again once its handlers have returned.
thread_local std::set<const TAdvHttp*> releasesHeldBack;

void ReleaseComponent(TAdvHttp* component)
{
    if (!TAdvHttpWindow::IsRegistered(component) || component->InState(csDestroying))
        return;
    if (THandlerScope::Running(component)) {
        releasesHeldBack.insert(component);
        return;
    }
    delete component;
}

} // namespace

LRESULT NotifyWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_ADVHTTP_EVENT:
        RunEvent(reinterpret_cast<TAdvHttp*>(lParam), reinterpret_cast<TEventDelivery*>(wParam));
        return 0;
    case WM_ADVHTTP_RELEASE:
        ReleaseComponent(reinterpret_cast<TAdvHttp*>(lParam));
        return 0;
    case WM_ADVHTTP_DESTROYWINDOW:
        ReleaseNotifyWindow();
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

void AllocateNotifyWindow()
{
    WNDCLASSA windowClass{};
    windowClass.style = 0;
    windowClass.lpfnWndProc = NotifyWindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = NotifyWindowClassName;

    WNDCLASSA existing{};
    bool registered = GetClassInfoA(windowClass.hInstance, NotifyWindowClassName, &existing) != FALSE;
    if (registered && existing.lpfnWndProc != NotifyWindowProc) {
        UnregisterClassA(NotifyWindowClassName, windowClass.hInstance);
        registered = false;
    }
    if (!registered && RegisterClassA(&windowClass) == 0)
        throw Exception("Cannot register the notification window class (error " + std::to_string(GetLastError()) + ")");

    HWND window = CreateWindowExA(0, NotifyWindowClassName, "", 0, 0, 0, 0, 0, nullptr, nullptr,
                                  windowClass.hInstance, nullptr);
    if (window == nullptr)
        throw Exception("Cannot create the notification window (error " + std::to_string(GetLastError()) + ")");
    std::lock_guard lock(windowLock);
    notifyWindow = window;
    notifyWindowThread = GetCurrentThreadId();
}

void ReleaseNotifyWindow()
{
    HWND window = nullptr;
    {
        std::lock_guard lock(windowLock);
        window = std::exchange(notifyWindow, nullptr);
    }
    if (window != nullptr)
        DestroyWindow(window);
}

HWND TAdvHttpWindow::Handle()
{
    std::lock_guard lock(windowLock);
    return notifyWindow;
}

bool TAdvHttpWindow::OnWindowThread()
{
    std::lock_guard lock(windowLock);
    return notifyWindow != nullptr && notifyWindowThread == GetCurrentThreadId();
}

void TAdvHttpWindow::AddUser()
{
    bool first = false;
    {
        std::lock_guard lock(windowLock);
        first = notifyWindowUsers == 0 || notifyWindow == nullptr;
    }
    if (first && Handle() == nullptr)
        AllocateNotifyWindow();
    std::lock_guard lock(windowLock);
    ++notifyWindowUsers;
}

void TAdvHttpWindow::RemoveUser()
{
    bool last = false;
    {
        std::lock_guard lock(windowLock);
        last = --notifyWindowUsers == 0;
    }
    if (last)
        ReleaseNotifyWindow();
}

void TAdvHttpWindow::Register(TAdvHttp* component)
{
    std::lock_guard lock(windowLock);
    liveComponents.insert(component);
}

void TAdvHttpWindow::Unregister(TAdvHttp* component)
{
    std::lock_guard lock(windowLock);
    liveComponents.erase(component);
}

bool TAdvHttpWindow::IsRegistered(TAdvHttp* component)
{
    std::lock_guard lock(windowLock);
    return liveComponents.count(component) != 0;
}

THandlerScope::THandlerScope(const TAdvHttp* component)
{
    handlersRunning.push_back(component);
}

THandlerScope::~THandlerScope()
{
    const TAdvHttp* component = handlersRunning.back();
    handlersRunning.pop_back();
    if (!Running(component) && releasesHeldBack.erase(component) != 0)
        PostMessageA(TAdvHttpWindow::Handle(), WM_ADVHTTP_RELEASE, 0,
                     reinterpret_cast<LPARAM>(const_cast<TAdvHttp*>(component)));
}

bool THandlerScope::Running(const TAdvHttp* component)
{
    return std::find(handlersRunning.begin(), handlersRunning.end(), component) != handlersRunning.end();
}
