#include "TAdvHttpWindow.h"

#include <mutex>
#include <string>
#include <utility>

#include "Exception.h"
#include "errhandlingapi.h"
#include "libloaderapi.h"
#include "processthreadsapi.h"

namespace {

// Windowed components may be created on one thread while a worker asks about the window on
// another; one lock keeps the shared state whole.
std::mutex windowLock;
HWND notifyWindow = nullptr;
DWORD notifyWindowThread = 0;
int notifyWindowUsers = 0;

} // namespace

LRESULT NotifyWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_ADVHTTP_CALL:
        reinterpret_cast<void (*)(void*)>(wParam)(reinterpret_cast<void*>(lParam));
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
