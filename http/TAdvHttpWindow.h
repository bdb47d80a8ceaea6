// The hidden window, shared by every TAdvHttp with a windowed owner, through which the
// components' events reach their handlers on the window's thread. A firing thread sends
// WM_ADVHTTP_EVENT and waits; on the window's own thread the send is a direct call.
#pragma once

#include <exception>

#include "TComponent.h"
#include "winuser.h"

class TAdvHttp;

inline constexpr UINT WM_ADVHTTP_RELEASE = 0x8FFD;       // lParam: the component to free
inline constexpr UINT WM_ADVHTTP_DESTROYWINDOW = 0x8FFE; // destroys the shared window
inline constexpr UINT WM_ADVHTTP_EVENT = 0x8FFF;         // wParam: a TEventDelivery, lParam: the component

inline constexpr char NotifyWindowClassName[] = "TAdvHttpWindow";

// One event on its way to its handler. It lives on the firing thread's stack for the length of
// the send, so two threads firing at once each carry their own handler and exception.
struct TEventDelivery {
    const TNotifyEvent* Handler = nullptr;
    std::exception_ptr Raised; // what the handler raised, to be raised again on the firing thread
};

LRESULT NotifyWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The shared window's state: its handle, the thread it belongs to, and its users.
class TAdvHttpWindow {
public:
    static HWND Handle();
    // True on the thread that created the window (where a send is a direct call).
    static bool OnWindowThread();
    // A windowed component starts using the window: created for the first user.
    static void AddUser();
    // Destroyed when the last user goes.
    static void RemoveUser();

    // Every live component is registered, so that a release posted for a component that its
    // owner freed in the meantime is dropped instead of freeing it twice.
    static void Register(TAdvHttp* component);
    static void Unregister(TAdvHttp* component);
    static bool IsRegistered(TAdvHttp* component);
};

// While it lives, a handler of the component runs on this thread (a direct call, or a delivery
// through the window). Freeing the component on this thread meanwhile would free it inside its
// own handler, from under the request that fired the event.
class THandlerScope {
public:
    explicit THandlerScope(const TAdvHttp* component);
    ~THandlerScope();
    THandlerScope(const THandlerScope&) = delete;
    THandlerScope& operator=(const THandlerScope&) = delete;

    // True when a handler of the component runs on this thread, however deep down the stack.
    static bool Running(const TAdvHttp* component);
};

void AllocateNotifyWindow();
void ReleaseNotifyWindow();
