// TAdvHttp, continued: how a failure is recorded and reaches the caller, and what happens when
// a handler raises.
#include "uAdvHttpPrivate.h"

#include <algorithm>
#include <array>
#include <utility>

#include "errhandlingapi.h"
#include "libloaderapi.h"
#include "winbase.h"

namespace {

constexpr DWORD ErrorTextSize = 257;          // 256 offered to the formatter, and the NUL
constexpr DWORD ExtendedErrorTextSize = 4096; // the server's text is cut here

// A code the library has something to report for (0 is success, 997 a call still pending).
bool IsError(DWORD code)
{
    return code != ERROR_SUCCESS && code != ERROR_IO_PENDING;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Failures

// After every tested library call: a call that failed with an error code (not 0, not 997: the
// library has nothing to report then) fails the request; a status event's handler that raised
// inside the call, or a stop, stops it. True when the request may go on. LastError is left as
// it is: 0 from the start of the request, or the code of its failure.
bool TAdvHttp::Private::CheckResult(bool succeeded)
{
    const DWORD code = succeeded ? ERROR_SUCCESS : GetLastError();
    if (WritingProperty())
        return succeeded || !IsError(code) || RecordFailure(code);
    if (!CheckHandlers())
        return false;
    if (FCancelRequested) // whatever the call says: its handle may have gone under it
        return RecordCancel();
    if (succeeded || !IsError(code))
        return true;
    return RecordFailure(code);
}

bool TAdvHttp::Private::RecordFailure(DWORD code, const std::string& message)
{
    return RecordFailureAs(code, [&message] { return std::make_exception_ptr(EInetError(message)); });
}

// With the library's text for the code, made once q->OnError has been delivered.
bool TAdvHttp::Private::RecordFailure(DWORD code)
{
    return RecordFailureAs(code, [this, code] { return std::make_exception_ptr(EInetError(q->ErrorText(code))); });
}

// Records a failure: LastError, q->OnError, and the EInetError kept for the caller (the exception
// of q->OnError's handler instead, when it raised). Inside a request only its first failure is
// recorded; after a stop, the stop is. Always false.
bool TAdvHttp::Private::RecordFailureAs(DWORD code, const std::function<std::exception_ptr()>& makeFailure)
{
    if (WritingProperty()) {
        FLastError = code;
        std::exception_ptr raised = FireCaught(q->OnError);
        std::lock_guard lock(FFailureLock);
        FWriteFailure = raised ? raised : makeFailure();
        return false;
    }
    bool stopped = false;
    if (DecideEnding(TEnding::Failed, &stopped))
        DeliverFailureOnce(code, makeFailure);
    else if (stopped)
        static_cast<void>(RecordCancel());
    return false;
}

// LastError := code, q->OnError, and the failure kept for the caller (q->OnError's exception when
// its handler raised). The ending is decided already.
void TAdvHttp::Private::DeliverFailureOnce(DWORD code, const std::function<std::exception_ptr()>& makeFailure)
{
    FLastError = code;
    if (Deliver(q->OnError))
        KeepForCaller(makeFailure());
}

// Decides how the running request ends, unless that is decided already. stopped: whether a
// stop decided it. True when this call decided it.
bool TAdvHttp::Private::DecideEnding(TEnding ending, bool* stopped)
{
    std::lock_guard lock(FCancelLock);
    if (stopped != nullptr)
        *stopped = FCancelRequested;
    if (FEnding != TEnding::Open)
        return false;
    FEnding = ending;
    return true;
}

// A start that failed reaches its caller here: the failure raised when RaiseExceptions
// says so, else false with the reason in the calling thread's last error.
bool TAdvHttp::Private::ReportStartFailure(std::exception_ptr failure, DWORD reason)
{
    if (FRaiseExceptions && failure)
        std::rethrow_exception(failure);
    SetLastError(reason);
    return false;
}

// A property write that failed raises whatever RaiseExceptions says.
void TAdvHttp::Private::RaiseWriteFailure()
{
    std::exception_ptr failure;
    {
        std::lock_guard lock(FFailureLock);
        failure = std::exchange(FWriteFailure, nullptr);
    }
    if (!failure)
        failure = std::make_exception_ptr(EInetError(q->ErrorText(FLastError)));
    std::rethrow_exception(failure);
}

void TAdvHttp::Private::KeepForCaller(std::exception_ptr failure)
{
    std::lock_guard lock(FFailureLock);
    if (WritingProperty())
        FWriteFailure = std::move(failure);
    else
        FFailure = std::move(failure);
}

std::exception_ptr TAdvHttp::Private::TakeCallerFailure()
{
    std::lock_guard lock(FFailureLock);
    return std::exchange(FFailure, nullptr);
}

namespace {
// The component whose property this thread is writing, if any.
thread_local const void* propertyWritten = nullptr;
} // namespace

TAdvHttp::Private::TPropertyWrite::TPropertyWrite(const Private& component)
    : m_previous(std::exchange(propertyWritten, &component))
{
}

TAdvHttp::Private::TPropertyWrite::~TPropertyWrite()
{
    propertyWritten = m_previous;
}

bool TAdvHttp::Private::WritingProperty() const
{
    return propertyWritten == this;
}

std::string TAdvHttp::Private::StopMessage(DWORD code) const
{
    if (code == ERROR_INVALID_THREAD_ID)
        return "The thread this component's events go to (TEventThread::Own) has ended, so the request was stopped";
    return q->ErrorText(code);
}

std::string TAdvHttp::ErrorText(DWORD code) const
{
    DWORD savedError = GetLastError(); // producing the text must not change the recorded code
    std::array<char, ErrorTextSize> buffer{};
    FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE, GetModuleHandleA("wininet.dll"), code, 0, buffer.data(),
                   ErrorTextSize - 1, nullptr);
    std::string message = buffer.data();
    if (message.empty()) {
        // A code the Internet library has no text for (a system code) still gets a readable one.
        buffer.fill(0);
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0, buffer.data(), ErrorTextSize - 1, nullptr);
        message = buffer.data();
    }
    if (message.empty())
        message = "Error " + std::to_string(code);
    if (code == ERROR_INTERNET_EXTENDED_ERROR) {
        DWORD serverError = 0;
        std::vector<char> text(ExtendedErrorTextSize + 1);
        DWORD length = ExtendedErrorTextSize;
        if (!InternetGetLastResponseInfoA(&serverError, text.data(), &length) &&
            GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
            text.resize(length + 1);
            InternetGetLastResponseInfoA(&serverError, text.data(), &length);
        }
        text[std::min(length, ExtendedErrorTextSize)] = '\0';
        message += "\r\nExtended error:" + std::to_string(static_cast<std::int32_t>(serverError)) + " - " +
                   text.data() + "\r\n";
    }
    SetLastError(savedError);
    return message;
}

// A failure told by a notification, on the library's thread: what q->OnError's handler raises
// goes to the request's thread as a status event's handler's would.
void TAdvHttp::Private::RecordFromNotification(DWORD code)
{
    if (!IsError(code))
        code = ERROR_INTERNET_INTERNAL_ERROR; // a request never ends failed without a code
    if (!DecideEnding(TEnding::Failed)) // a stop, or an earlier failure, stands
        return;
    FLastError = code;
    if (std::exception_ptr raised = FireCaught(q->OnError))
        KeepHandlerFailure(std::move(raised));
}

// ---------------------------------------------------------------------------------------------
// Handlers that raise

// The request's thread takes what a handler raised here, and nowhere else.
std::exception_ptr TAdvHttp::Private::FireCaught(const TNotifyEvent& handler)
{
    try {
        FRoute.Fire(handler);
    } catch (...) {
        return std::current_exception();
    }
    return nullptr;
}

// An event whose handler's exception travels like a failure at that point. False when it raised.
bool TAdvHttp::Private::Deliver(const TNotifyEvent& handler)
{
    std::exception_ptr raised = FireCaught(handler);
    if (!raised)
        return true;
    KeepForCaller(std::move(raised));
    return false;
}

// An event in the middle of the request (the body, authentication): a handler that raises ends it.
bool TAdvHttp::Private::FireRequestEvent(const TNotifyEvent& handler)
{
    std::exception_ptr raised = FireCaught(handler);
    return !raised || CancelForHandler(std::move(raised));
}

// The request stops as cancelled, recorded before it closes; the handler's exception is what
// reaches the caller. What q->OnError's handler raises meanwhile is dropped. Always false.
bool TAdvHttp::Private::CancelForHandler(std::exception_ptr raised)
{
    bool stopped = false;
    if (DecideEnding(TEnding::Failed, &stopped)) {
        FLastError = ERROR_INTERNET_OPERATION_CANCELLED;
        static_cast<void>(Deliver(q->OnError)); // the handler's own exception goes to the caller
    } else if (stopped) {
        static_cast<void>(RecordCancel());
    }
    KeepForCaller(std::move(raised));
    return false;
}

// A status event's handler that raised on the library's thread during the last call stops the
// request here, on the request's thread. True when none did.
bool TAdvHttp::Private::CheckHandlers()
{
    std::exception_ptr raised;
    {
        std::lock_guard lock(FFailureLock);
        raised = std::exchange(FHandlerFailure, nullptr);
    }
    return !raised || CancelForHandler(std::move(raised));
}

// A status event's handler raised on the library's thread (never through the library): the
// thread that runs the request takes it at its next step.
void TAdvHttp::Private::KeepHandlerFailure(std::exception_ptr failure)
{
    std::lock_guard lock(FFailureLock);
    if (!FHandlerFailure)
        FHandlerFailure = std::move(failure);
}

void TAdvHttp::Private::DropHandlerFailure()
{
    std::lock_guard lock(FFailureLock);
    FHandlerFailure = nullptr;
}

