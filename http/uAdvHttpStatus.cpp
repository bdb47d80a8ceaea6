// TAdvHttp, continued: the library's status notifications and the asynchronous mode's worker.
// Kept apart from the request steps in uAdvHttp.cpp because these run on other threads.
#include "uAdvHttpPrivate.h"

#include <chrono>
#include <cstring>
#include <thread>
#include <utility>

#include <QThread>

#include "TAdvHttpWindow.h"
#include "errhandlingapi.h"
#include "handleapi.h"
#include "processthreadsapi.h"
#include "synchapi.h"
#include "winuser.h"

namespace {

// How often a destructor waiting for the worker serves the sends the worker makes to it.
constexpr DWORD WorkerWaitSlice = 10;

std::string TextOf(LPVOID information, DWORD length)
{
    if (information == nullptr)
        return {};
    const char* text = static_cast<const char*>(information);
    return std::string(text, strnlen(text, length));
}

DWORD FirstValueOf(LPVOID information, DWORD length)
{
    DWORD value = 0;
    if (information != nullptr && length >= sizeof(value))
        std::memcpy(&value, information, sizeof(value));
    return value;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Status notifications

void TAdvHttp::Private::StatusCallback(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID information,
                              DWORD informationLength)
{
    if (context == 0)
        return; // the connection handle's own notifications
    auto* component = reinterpret_cast<Private*>(context);
    if (status == INTERNET_STATUS_HANDLE_CLOSING) {
        component->HandleStatus(status, information, informationLength);
        component->RequestHandleClosing(handle);
        return;
    }
    if (handle != component->FNotifiedRequest.load())
        return; // a request that has ended

    try {
        component->HandleStatus(status, information, informationLength);
    } catch (...) {
        // Never through the library: the thread that runs the request (the caller's, inside its
        // blocking call, or the worker) raises it once the library call returns.
        component->KeepHandlerFailure(std::current_exception());
    }
}

void TAdvHttp::Private::HandleStatus(DWORD status, LPVOID information, DWORD informationLength)
{
    FStatusInfo = information;
    FStatusInfoLength = informationLength;
    switch (status) {
    case INTERNET_STATUS_RESOLVING_NAME:
        FRoute.Fire(q->OnResolvingName);
        break;
    case INTERNET_STATUS_NAME_RESOLVED:
    case INTERNET_STATUS_CONNECTING_TO_SERVER:
    case INTERNET_STATUS_CONNECTED_TO_SERVER: {
        {
            std::lock_guard lock(FTextValuesLock);
            FServerAddress = TextOf(information, informationLength);
        }
        if (status == INTERNET_STATUS_NAME_RESOLVED)
            FRoute.Fire(q->OnNameResolved);
        else if (status == INTERNET_STATUS_CONNECTING_TO_SERVER)
            FRoute.Fire(q->OnConnectingToServer);
        else
            FRoute.Fire(q->OnConnectedToServer);
        break;
    }
    case INTERNET_STATUS_SENDING_REQUEST:
        FRoute.Fire(q->OnSendingRequest);
        break;
    case INTERNET_STATUS_REQUEST_SENT:
        FBytesSent = FirstValueOf(information, informationLength);
        FRoute.Fire(q->OnRequestSent);
        break;
    case INTERNET_STATUS_RECEIVING_RESPONSE:
        FRoute.Fire(q->OnReceivingResponse);
        break;
    case INTERNET_STATUS_RESPONSE_RECEIVED:
        FBytesReceived = FirstValueOf(information, informationLength);
        FTotalBytesReceived += FBytesReceived;
        FRoute.Fire(q->OnResponseReceived);
        break;
    case INTERNET_STATUS_CLOSING_CONNECTION:
        FRoute.Fire(q->OnClosingConnection);
        break;
    case INTERNET_STATUS_CONNECTION_CLOSED:
        FRoute.Fire(q->OnConnectionClosed);
        break;
    case INTERNET_STATUS_HANDLE_CLOSING:
        break; // the request's end (EndRequest) signals CompletionEvent, once its last event is through
    case INTERNET_STATUS_REQUEST_COMPLETE:
        RequestCompleted(information, informationLength);
        break;
    case INTERNET_STATUS_REDIRECT: {
        {
            std::lock_guard lock(FTextValuesLock);
            FRedirectURL = TextOf(information, informationLength);
        }
        FRoute.Fire(q->OnRedirect);
        break;
    }
    case INTERNET_STATUS_INTERMEDIATE_RESPONSE:
        FRoute.Fire(q->OnIntermediateResponse);
        break;
    case INTERNET_STATUS_STATE_CHANGE:
        FRoute.Fire(q->OnStateChange);
        break;
    default:
        break;
    }
}

// Success hands the response to the worker (starting one when none runs). Failure is recorded
// and signalled, and a worker waiting for this request is told so that it ends the request.
void TAdvHttp::Private::RequestCompleted(LPVOID information, DWORD informationLength)
{
    INTERNET_ASYNC_RESULT result{0, ERROR_INTERNET_INTERNAL_ERROR};
    if (information != nullptr && informationLength >= sizeof(result))
        std::memcpy(&result, information, sizeof(result));
    if (result.dwResult != 0) {
        HandOverCompletion(true);
        return;
    }
    const std::uint64_t request = CurrentRequest();
    RecordFromNotification(result.dwError);
    // The failed send ends the request, whose handles close only at the next start.
    if (HandOverCompletion(false))
        EndRequest(request);
}

// True when a failure ended the request here (no worker had it in hand).
bool TAdvHttp::Private::HandOverCompletion(bool succeeded)
{
    std::unique_lock lock(FWorkerLock);
    if (q->InState(csDestroying))
        return false;
    if (FWorkerActive) {
        FCompletionPending = true;
        FCompletionSucceeded = succeeded;
        FWorkerWake.notify_all();
        return false;
    }
    if (FCancelRequested)
        return false; // Cancel ends the request (EndCancelledWithoutWorker)
    if (!succeeded) {
        // The send failed: the request is over. Its handles are closed by the next start or
        // by destruction, not from inside the library's notification.
        FNotifiedRequest = nullptr;
        return true;
    }
    StartWorker(lock);
    return false;
}

// The worker runs on a normal stack: the library work under it needs more than a few pages.
void TAdvHttp::Private::StartWorker(std::unique_lock<std::mutex>& lock)
{
    if (FWorkerThread != nullptr) {
        // The previous worker has left its loop; join it so its handle is closed.
        WaitForSingleObject(FWorkerThread, INFINITE);
        CloseHandle(std::exchange(FWorkerThread, nullptr));
    }
    FWorkerActive = true;
    FWorkerThread = CreateThread(nullptr, 0, WorkerThreadProc, this, 0, &FWorkerThreadId);
    if (FWorkerThread != nullptr)
        return;
    DWORD code = GetLastError();
    FWorkerActive = false;
    lock.unlock();
    const std::uint64_t request = CurrentRequest();
    RecordFromNotification(code);
    EndRequest(request);
}

DWORD TAdvHttp::Private::WorkerThreadProc(LPVOID parameter)
{
    static_cast<Private*>(parameter)->RunWorker();
    return 0;
}

void TAdvHttp::Private::RunWorker()
{
    TRequestInHand inHand(*this);
    do {
        const std::uint64_t request = CurrentRequest();
        const TProgress progress = ProcessResponse();
        // A failure is recorded already (LastError, q->OnError); a worker has no caller to raise it to.
        static_cast<void>(TakeCallerFailure());
        if (progress != TProgress::Resent)
            EndRequest(request); // not when a handler has started the next request
    } while (TakeNextResponse());
}

// After a response: go on with the next completion when one is here or when the request is
// still in flight (an authentication re-send, or a request that a handler started); leave the
// loop otherwise. Deciding and leaving under the lock means a completion either finds this
// worker active or starts a new one, never neither.
bool TAdvHttp::Private::TakeNextResponse()
{
    std::unique_lock lock(FWorkerLock);
    for (;;) {
        if (FAbort || q->InState(csDestroying))
            break;
        if (FCompletionPending) {
            FCompletionPending = false;
            if (FCompletionSucceeded)
                return true;
            lock.unlock();
            const std::uint64_t request = CurrentRequest(); // busy: no other can start meanwhile
            CloseRequest(); // the failure is recorded; the request is over
            EndRequest(request);
            lock.lock();
            continue;
        }
        if (!FBusy)
            break;
        if (FCancelRequested) {
            // A re-send was pending: no completion comes for the closed handle.
            lock.unlock();
            const std::uint64_t request = CurrentRequest();
            static_cast<void>(RecordCancel());
            static_cast<void>(TakeCallerFailure()); // recorded; a worker has no caller to raise it to
            CloseRequest();
            EndRequest(request);
            lock.lock();
            continue;
        }
        FWorkerWake.wait(lock);
    }
    FWorkerActive = false;
    return false;
}

// Waits for the completion of a pending read. False when the read failed (already recorded) or
// the component is being destroyed.
bool TAdvHttp::Private::WaitForPendingRead()
{
    std::unique_lock lock(FWorkerLock);
    FWorkerWake.wait(lock,
                     [this] { return FCompletionPending || FAbort || FCancelRequested || q->InState(csDestroying); });
    if (!FCompletionPending)
        return false;
    FCompletionPending = false;
    return FCompletionSucceeded;
}

// A worker may be waiting for this very thread to deliver one of its events. While we wait,
// those deliveries are served (and dropped, destruction having begun), or the wait would never end.
void TAdvHttp::Private::WaitForWorker(HANDLE worker)
{
    if (!FRoute.OnDeliveryThread() && !TAdvHttpWindow::OnWindowThread()) {
        WaitForSingleObject(worker, INFINITE);
        return;
    }
    while (WaitForSingleObject(worker, WorkerWaitSlice) == WAIT_TIMEOUT)
        FRoute.ServeDeliveries();
}

void TAdvHttp::Private::RequestHandleClosing(HINTERNET request)
{
    std::lock_guard lock(FClosingLock);
    if (request != nullptr && request == FClosingRequest) {
        FClosingNotified = true;
        FClosingDone.notify_all();
    }
}

// The closing notification comes inside InternetCloseHandle, or, when the library's thread was
// delivering a notification of the request at that moment, from that thread once it is done.
// That delivery may be an event sent to this very thread, which is served meanwhile.
void TAdvHttp::Private::WaitForClosingNotification()
{
    const bool onDeliveryThread = FRoute.OnDeliveryThread();
    std::unique_lock lock(FClosingLock);
    while (!FClosingNotified) {
        if (!onDeliveryThread) {
            FClosingDone.wait(lock);
            continue;
        }
        lock.unlock();
        FRoute.ServeDeliveries();
        lock.lock();
        FClosingDone.wait_for(lock, std::chrono::milliseconds(WorkerWaitSlice));
    }
}
