// The Internet client contract: a table of rows, each a few calls against the scripted peer
// (contract_peer.cpp) that end in one observation, printed as one line. The client is written
// against the API alone (<windows.h>, <wininet.h>, the standard library), so the same source
// builds against this project's layer and against any other implementation of the API; the two
// sides' lines are then compared row by row (scripts/conformance.sh).
//
// An observation names what a caller can see: results as TRUE or FALSE/<last error>, handles as
// "handle" or "null/<last error>", bytes escaped, the peer's port as PORT, so that it does not
// depend on the run.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <string>
#include <string_view>
#include <vector>

namespace contract {

struct Peer {
    int port = 0;        // the scripted peer on 127.0.0.1
    int refusedPort = 0; // nothing listens there: a connect is refused
    int closingPort = 0; // the same scripts, each answer closing its connection
};

struct Row {
    const char* name;  // group.case, unique
    const char* peer;  // the peer's script the row uses, or "-"
    const char* calls; // the calls, as the page shows them
    std::string (*run)(const Peer& peer);
};

std::vector<Row> sessionRows();
std::vector<Row> requestRows();
std::vector<Row> responseRows();
std::vector<Row> notificationRows();
std::vector<Row> urlRows();
std::vector<Row> textRows();

// ---- observations ----

// "TRUE", or "FALSE/<GetLastError()>"; call it directly on the result so nothing runs between.
std::string outcome(BOOL ok);
// "handle", or "null/<GetLastError()>".
std::string handleOutcome(HINTERNET handle);
std::string number(unsigned long long value);
// Printable ASCII as it is, "\r", "\n", "\t", "\\", "\"" and "\xNN" for the rest.
std::string escape(std::string_view bytes);
// The text with every ":<port>" of the peer's ports written ":PORT".
std::string withoutPort(std::string text, const Peer& peer);

// ---- handles ----

class Handle {
public:
    Handle() = default;
    explicit Handle(HINTERNET handle)
        : m_handle(handle)
    {
    }
    ~Handle() { close(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    Handle& operator=(HINTERNET handle)
    {
        close();
        m_handle = handle;
        return *this;
    }
    HINTERNET get() const { return m_handle; }
    operator HINTERNET() const { return m_handle; }
    // Closes now; the answer of the close.
    BOOL close();
    // Forgets the handle without closing it (it was closed through its parent).
    void forget() { m_handle = nullptr; }

private:
    HINTERNET m_handle = nullptr;
};

// The request flags the component passes unless told otherwise.
constexpr DWORD componentFlags = INTERNET_FLAG_IGNORE_CERT_CN_INVALID | INTERNET_FLAG_IGNORE_CERT_DATE_INVALID
    | INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTP | INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTPS | INTERNET_FLAG_KEEP_CONNECTION
    | INTERNET_FLAG_NO_UI | INTERNET_FLAG_RELOAD;

// A session, a connection to the peer and a request, opened with the component's arguments
// (access type 0, service 3, no credentials). Contexts: connection 0, request `context`.
struct Client {
    Client(const Peer& peer, const char* verb, const std::string& path, DWORD requestFlags = componentFlags,
           DWORD openFlags = 0,
           DWORD_PTR context = 0, INTERNET_STATUS_CALLBACK callback = nullptr);
    Handle internet;
    Handle connection;
    Handle request;
    // "" when all three opened, else what failed.
    std::string failure;
};

// HttpSendRequestA with no headers and no body.
std::string send(HINTERNET request);
// HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER into 4 bytes: the code, or FALSE/<error>.
std::string status(HINTERNET request);
// Reads pieces of `piece` bytes until a read gives 0 bytes or fails (at most 200 reads):
// "reads=<count,count,...> body=<escaped>" and ", then FALSE/<error>" on a failure.
std::string readAll(HINTERNET request, DWORD piece = 16384, std::string* body = nullptr);
// The whole response body, or "" when the read fails.
std::string bodyOf(HINTERNET request);

// Of a request echoed by the peer: the request line, the lines of one header, the body.
std::string requestLine(const std::string& echoed);
std::string headerLines(const std::string& echoed, std::string_view name);
std::string requestBody(const std::string& echoed);

// ---- notifications ----

// Records the status notifications of the current row. Contexts are row << 8 | role, so a late
// notification of an earlier row's handle is left out; roles print as "c<role>".
class Recorder {
public:
    static void start(int row);
    // Forgets what was seen so far in this row.
    static void clear();
    static DWORD_PTR context(DWORD role);
    static void callback(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID information, DWORD length);
    enum class Detail { Codes, Information, Contexts, Threads };
    // The notifications so far, in order, comma-separated; with `until`, up to the first of that code.
    static std::string seen(Detail detail = Detail::Codes, DWORD until = 0);
    // Waits (at most `milliseconds`) until notification `status` has come `count` times.
    static bool waitFor(DWORD status, int count = 1, int milliseconds = 5000);
    // The INTERNET_ASYNC_RESULT of the last REQUEST_COMPLETE: "{result,error}".
    static std::string lastCompletion();
};

} // namespace contract
