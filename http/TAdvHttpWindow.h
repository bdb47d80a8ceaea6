// The hidden window, shared by every TAdvHttp with a windowed owner, through which work reaches
// the window's thread: a component's event, sent (the firing thread waits for it; on the
// window's own thread the send is a direct call), or a release, posted. The window only runs
// what a message hands it; what runs is the event route's (TEventRoute).
#pragma once

#include "winuser.h"

// wParam: a function void(void*), lParam: its argument; called on the window's thread.
inline constexpr UINT WM_ADVHTTP_CALL = 0x8FFF;
inline constexpr UINT WM_ADVHTTP_DESTROYWINDOW = 0x8FFE; // destroys the shared window

inline constexpr char NotifyWindowClassName[] = "TAdvHttpWindow";

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
};

void AllocateNotifyWindow();
void ReleaseNotifyWindow();
