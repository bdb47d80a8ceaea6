// Helpers for the Internet client tests: handles that close themselves, a recorder of status
// notifications, and whole-request shortcuts.
#pragma once

#include <string>
#include <thread>
#include <vector>

#include "EventLog.h"
#include "errhandlingapi.h"
#include "wininet.h"

namespace dorvane::test {

class InternetHandle {
public:
    InternetHandle() = default;
    explicit InternetHandle(HINTERNET handle)
        : m_handle(handle)
    {
    }
    ~InternetHandle() { reset(); }
    InternetHandle(const InternetHandle&) = delete;
    InternetHandle& operator=(const InternetHandle&) = delete;
    InternetHandle(InternetHandle&& other) noexcept
        : m_handle(other.release())
    {
    }
    InternetHandle& operator=(HINTERNET handle)
    {
        reset();
        m_handle = handle;
        return *this;
    }
    HINTERNET get() const { return m_handle; }
    operator HINTERNET() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }
    void reset()
    {
        if (m_handle != nullptr)
            InternetCloseHandle(m_handle);
        m_handle = nullptr;
    }
    HINTERNET release()
    {
        HINTERNET handle = m_handle;
        m_handle = nullptr;
        return handle;
    }

private:
    HINTERNET m_handle = nullptr;
};

struct Notification {
    DWORD status = 0;
    std::string text;    // the information as text, for the codes that carry text
    DWORD number = 0;    // the first 32-bit value, for the codes that carry numbers
    DWORD result = 0;    // INTERNET_ASYNC_RESULT of code 100
    DWORD error = 0;
    std::thread::id thread;
};

// Collects the notifications of every handle whose context points at it.
class NotificationRecorder : public EventLog<Notification> {
public:
    static void onStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID information, DWORD length);
    static constexpr INTERNET_STATUS_CALLBACK callback = &onStatus;
    DWORD_PTR context() { return reinterpret_cast<DWORD_PTR>(this); }

    std::vector<DWORD> codes() const;
    // Waits (bounded) until a notification with this code has arrived count times in total.
    bool waitFor(DWORD status, int count = 1, int milliseconds = 5000) const;
};

// Opens a session, connects to 127.0.0.1:port and opens a request.
struct RequestHandles {
    InternetHandle internet;
    InternetHandle connection;
    InternetHandle request;
};
RequestHandles openRequest(int port, const char* verb = "GET", const char* path = "/", DWORD requestFlags = 0,
                           DWORD openFlags = 0, NotificationRecorder* recorder = nullptr,
                           const char* host = "127.0.0.1");

// Reads the whole body in pieces of pieceSize; false (with the last error kept) on failure.
bool readBody(HINTERNET request, std::string& body, DWORD pieceSize = 16384, std::vector<DWORD>* pieces = nullptr);
DWORD statusCode(HINTERNET request);
std::string rawHeaders(HINTERNET request);

} // namespace dorvane::test
