// Window classes, windows and messages over Qt's event loop.
//
// A window belongs to the thread that created it. SendMessageA from that thread calls the
// window procedure directly; from another thread it waits until the window's thread has run
// the procedure (that thread must run a Qt event loop or process posted events), and returns 0
// with ERROR_INVALID_WINDOW_HANDLE if the window is destroyed or its thread ends first.
// PostMessageA queues; a message for a window destroyed before delivery is dropped. Windows
// are never shown: they exist to receive messages.
//
// A thread waiting in SendMessageA does not handle messages sent to its own windows meanwhile,
// so two threads sending to each other's windows at once wait for ever. A thread that waits for
// something another thread does while sending to it serves those sends with PeekMessageA and
// PM_QS_SENDMESSAGE, which runs nothing else.
// Window procedures must not throw.
//
//   WNDCLASSA windowClass{};
//   windowClass.lpfnWndProc = NotifyProc;
//   windowClass.hInstance = GetModuleHandleA(nullptr);
//   windowClass.lpszClassName = "Notify";
//   if (RegisterClassA(&windowClass) == 0) ...
//   HWND window = CreateWindowExA(0, "Notify", "", 0, 0, 0, 0, 0, nullptr, nullptr, windowClass.hInstance, nullptr);
//   SendMessageA(window, WM_USER, 0, 0);    // from any thread
//   DestroyWindow(window);                  // from the window's thread
#pragma once

#include "windef.h"
#include "winerror.h"

using ATOM = WORD;
using WNDPROC = LRESULT (*)(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

struct WNDCLASSA {
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCSTR lpszMenuName;
    LPCSTR lpszClassName;
};

// What WM_CREATE carries in lParam: the arguments of CreateWindowExA.
struct CREATESTRUCTA {
    LPVOID lpCreateParams;
    HINSTANCE hInstance;
    HMENU hMenu;
    HWND hwndParent;
    int cy;
    int cx;
    int y;
    int x;
    LONG style;
    LPCSTR lpszName;
    LPCSTR lpszClass;
    DWORD dwExStyle;
};

inline constexpr UINT WM_NULL = 0x0000;
inline constexpr UINT WM_CREATE = 0x0001;
inline constexpr UINT WM_DESTROY = 0x0002;
inline constexpr UINT WM_CLOSE = 0x0010;
inline constexpr UINT WM_USER = 0x0400;
inline constexpr UINT WM_APP = 0x8000;

// PeekMessageA: leave posted messages where they are; serve only messages sent from other threads.
inline constexpr UINT PM_NOREMOVE = 0x0000;
inline constexpr UINT PM_QS_SENDMESSAGE = 0x00400000;

struct POINT {
    LONG x;
    LONG y;
};

struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
};
using LPMSG = MSG*;

inline constexpr int SW_HIDE = 0;
inline constexpr int SW_SHOWNORMAL = 1;

// Classes are known by name (ASCII case ignored) together with the instance handle, which is
// only a key here. Any thread may register, query and unregister.
// Returns the class atom, or 0 with the last error: ERROR_CLASS_ALREADY_EXISTS,
// ERROR_INVALID_PARAMETER (no record, procedure or name).
[[nodiscard]] ATOM RegisterClassA(const WNDCLASSA* windowClass);
// FALSE with ERROR_CLASS_DOES_NOT_EXIST, or ERROR_CLASS_HAS_WINDOWS while windows of it exist.
BOOL UnregisterClassA(LPCSTR className, HINSTANCE instance);
// Fills windowClass with the registered record; lpszClassName is set to className and
// lpszMenuName to nullptr. FALSE with ERROR_CLASS_DOES_NOT_EXIST when there is no such class.
[[nodiscard]] BOOL GetClassInfoA(HINSTANCE instance, LPCSTR className, WNDCLASSA* windowClass);
// Creates a window of the class in the calling thread and sends it WM_CREATE (a CREATESTRUCTA
// in lParam); a procedure answering -1 refuses the window (nullptr, ERROR_CANCELLED). Position,
// size and styles are kept by no one. nullptr with ERROR_CLASS_DOES_NOT_EXIST for an unknown
// class, ERROR_INVALID_WINDOW_HANDLE for a parent that isn't a window.
[[nodiscard]] HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x, int y,
                                   int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                                   LPVOID param);
// Sends WM_DESTROY, then removes the window: its handle turns invalid, posted messages not yet
// delivered are dropped and senders still waiting are released. Only the window's own thread
// may destroy it (else FALSE with ERROR_ACCESS_DENIED). A window whose thread ends is
// destroyed without WM_DESTROY.
BOOL DestroyWindow(HWND window);
[[nodiscard]] BOOL IsWindow(HWND window);
// Answers 0; WM_CLOSE destroys the window.
LRESULT DefWindowProcA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// The procedure's result; 0 with ERROR_INVALID_WINDOW_HANDLE when the window doesn't exist or
// went away before the message was handled.
LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// Queues the message for the window's thread, after earlier posts and behind sends.
// FALSE with ERROR_INVALID_WINDOW_HANDLE for a handle that isn't a window.
BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// Runs the window procedures of the messages that other threads have sent to this thread's
// windows and are waiting for, then returns FALSE: nothing else runs (no posted message, timer or
// other event of the thread). Only PM_NOREMOVE | PM_QS_SENDMESSAGE with no window and no filter
// is supported: posted messages stay with the event loop, which delivers them; any other use
// serves nothing and fails with ERROR_NOT_SUPPORTED.
BOOL PeekMessageA(LPMSG msg, HWND window, UINT filterMin, UINT filterMax, UINT removeMessage);
// The desktop: a window handle that is always valid as a parent and receives no messages
// (SendMessageA answers 0, PostMessageA fails with ERROR_ACCESS_DENIED).
HWND GetDesktopWindow();
