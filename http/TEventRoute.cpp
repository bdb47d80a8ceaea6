#include "TEventRoute.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <exception>
#include <map>
#include <set>
#include <thread>
#include <unordered_map>
#include <utility>

#include <QAbstractEventDispatcher>
#include <QThread>
#include <QtGlobal>

#include "TAdvHttpWindow.h"
#include "winuser.h"

namespace {

// How often a delivery waiting for the component's own thread looks whether that thread has ended.
constexpr auto OwnThreadCheckInterval = std::chrono::milliseconds(20);

// Every live component's route, and every live component under the serial number of its route.
// A posted release names its component by that number, so a release for a component freed in
// the meantime finds nothing and is dropped, even when a new component has taken the freed one's
// address. Never destroyed: components are made and freed on other threads up to the end of the
// process.
std::mutex routesLock;
std::map<const TComponent*, TEventRoute*>& liveRoutes = *new std::map<const TComponent*, TEventRoute*>;
std::unordered_map<std::uintptr_t, TComponent*>& liveSerials = *new std::unordered_map<std::uintptr_t, TComponent*>;
std::atomic<std::uintptr_t> nextSerial{1};

TEventRoute* RouteOf(const TComponent* component)
{
    std::lock_guard lock(routesLock);
    const auto found = liveRoutes.find(component);
    return found == liveRoutes.end() ? nullptr : found->second;
}

TComponent* LiveComponent(std::uintptr_t serial)
{
    std::lock_guard lock(routesLock);
    const auto found = liveSerials.find(serial);
    return found == liveSerials.end() ? nullptr : found->second;
}

// The components whose handlers run on this thread, innermost last.
thread_local std::vector<const TComponent*> handlersRunning;
// The components whose release came while one of their handlers ran on this thread; each is
// posted again once its handlers here have returned.
thread_local std::set<const TComponent*> releasesHeldBack;

// While it lives, a handler of the component runs on this thread.
class THandlerScope {
public:
    explicit THandlerScope(const TComponent* component)
        : FComponent(component)
    {
        handlersRunning.push_back(component);
    }
    ~THandlerScope()
    {
        handlersRunning.pop_back();
        if (TEventRoute::HandlerRunning(FComponent) || releasesHeldBack.erase(FComponent) == 0)
            return;
        if (TEventRoute* route = RouteOf(FComponent))
            route->ReleaseLater();
    }
    THandlerScope(const THandlerScope&) = delete;
    THandlerScope& operator=(const THandlerScope&) = delete;

private:
    const TComponent* const FComponent;
};

// On the thread that runs the component's handlers: frees the component whose route has the
// serial number `released`, unless it is gone already or one of its handlers runs here (then it
// waits for that handler's scope to end).
void ReleaseWhenNoHandlerRuns(void* released)
{
    TComponent* component = LiveComponent(reinterpret_cast<std::uintptr_t>(released));
    if (component == nullptr || component->InState(csDestroying))
        return;
    if (TEventRoute::HandlerRunning(component)) {
        releasesHeldBack.insert(component);
        return;
    }
    delete component;
}

// The threads that wait in Close for a component's events to end, each with the handlers
// running on it then, innermost last; one entry a thread, its innermost wait. A handler that frees
// a component whose handler, on another thread, waits in turn (directly or round a circle) for the
// first handler to return would wait for ever, and so would every event of the threads caught in
// the circle. Only waits are recorded, so a plain event costs nothing more.
struct TCloseWait {
    const TComponent* WaitingFor = nullptr;
    std::vector<const TComponent*> Running;
};
std::mutex closeWaitsLock;
std::unordered_map<std::thread::id, const TCloseWait*>& closeWaits =
    *new std::unordered_map<std::thread::id, const TCloseWait*>; // guarded by closeWaitsLock

// Under closeWaitsLock: whether the waits that start with this thread's (for awaited) come back to
// this thread.
bool WaitsRoundACircle(const TComponent* awaited)
{
    const std::thread::id self = std::this_thread::get_id();
    std::vector<const TComponent*> toFollow{awaited};
    std::set<std::thread::id> followed;
    while (!toFollow.empty()) {
        const TComponent* component = toFollow.back();
        toFollow.pop_back();
        for (const auto& [thread, wait] : closeWaits) {
            if (std::find(wait->Running.begin(), wait->Running.end(), component) == wait->Running.end())
                continue;
            if (thread == self)
                return true;
            if (followed.insert(thread).second)
                toFollow.push_back(wait->WaitingFor);
        }
    }
    return false;
}

// While it lives, this thread waits in Close for the component's events to end. The last thread
// to join a circle of such waits finds it, and the program ends with a message, as it does for a
// component freed inside its own handler: no way on is safe.
class TCloseWaitScope {
public:
    explicit TCloseWaitScope(const TComponent* awaited)
        : FWait{awaited, handlersRunning}
    {
        std::lock_guard lock(closeWaitsLock);
        const auto [entry, added] = closeWaits.try_emplace(std::this_thread::get_id(), &FWait);
        if (!added)
            FOuter = std::exchange(entry->second, &FWait);
        if (WaitsRoundACircle(awaited))
            qFatal("TAdvHttp: components whose event handlers free each other would wait for each other for "
                   "ever; free them with PostRelease() instead");
    }
    ~TCloseWaitScope()
    {
        std::lock_guard lock(closeWaitsLock);
        if (FOuter != nullptr)
            closeWaits[std::this_thread::get_id()] = FOuter;
        else
            closeWaits.erase(std::this_thread::get_id());
    }
    TCloseWaitScope(const TCloseWaitScope&) = delete;
    TCloseWaitScope& operator=(const TCloseWaitScope&) = delete;

private:
    const TCloseWait FWait;
    const TCloseWait* FOuter = nullptr;
};

// Qt's posted-event queue is guarded by a futex that ThreadSanitizer doesn't see, so what a
// functor carries from the posting thread to the receiving one would look raced. The post and
// the functor's first step both take this lock, which makes the hand-over visible to it.
std::mutex postLock;

// The threads posted to, and whether their end has begun (guarded by postLock). Qt frees a
// thread's event dispatcher as the thread ends, right after QThread::finished, and a post that
// came at that moment would wake a dispatcher being freed (ThreadSanitizer saw the write to its
// wake-up descriptor race with the close). The finished handler takes postLock, so a post either
// completes before it or finds the end begun and posts nothing.
// Never destroyed: threads may still post while the process exits.
std::unordered_map<const QThread*, bool>& threadsEnding = *new std::unordered_map<const QThread*, bool>;

void WatchThreadEnd(QThread* thread)
{
    {
        std::lock_guard lock(postLock);
        if (!threadsEnding.try_emplace(thread, false).second)
            return;
    }
    const auto mark = [thread](bool ending) {
        std::lock_guard lock(postLock);
        threadsEnding[thread] = ending;
    };
    QObject::connect(thread, &QThread::started, [mark] { mark(false); });
    QObject::connect(thread, &QThread::finished, [mark] { mark(true); });
    QObject::connect(thread, &QObject::destroyed, [thread] {
        std::lock_guard lock(postLock);
        threadsEnding.erase(thread);
    });
}

// Runs work on context's thread, from its event loop; false (nothing posted) when that thread
// has ended or is ending. A thread watched only now may have begun to end before: its
// isFinished() is true from the start of its end.
template <class Work> bool PostTo(QObject* context, Work work)
{
    QThread* const thread = context != nullptr ? context->thread() : nullptr;
    if (thread == nullptr)
        return false;
    WatchThreadEnd(thread);
    std::lock_guard lock(postLock);
    if (threadsEnding[thread] || thread->isFinished())
        return false;
    QMetaObject::invokeMethod(
        context,
        [work = std::move(work)]() mutable {
            { std::lock_guard handedOver(postLock); }
            work();
        },
        Qt::QueuedConnection);
    return true;
}

// Runs the events that other threads are sending to this thread's windows, and nothing else: the
// waits that call it may run inside a destructor (the component's, or an owner's that is half
// torn down), where a posted event, a deferred delete or a polish of the owner must not run.
void ServeEventsSentToThisThread()
{
    MSG msg{};
    static_cast<void>(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE));
}

} // namespace

// One event on its way to its handler. It lives on the firing thread's stack for the length of
// the delivery, so two threads firing at once each carry their own handler and exception.
struct TEventRoute::TDelivery {
    TComponent* Component = nullptr;
    const TNotifyEvent* Handler = nullptr;
    std::exception_ptr Raised; // what the handler raised, to be raised again on the firing thread
    bool Done = false;         // for the component's own thread: guarded by FOwnThreadLock

    // The one place a handler runs, on the thread the route names. An event still on its way when
    // destruction began is dropped, so no handler of a dying component runs.
    void Run()
    {
        if (Component->InState(csDestroying))
            return;
        try {
            THandlerScope running(Component);
            (*Handler)(Component);
        } catch (...) {
            Raised = std::current_exception();
        }
    }
    static void RunSent(void* delivery) { static_cast<TDelivery*>(delivery)->Run(); }
};

TEventRoute::TEventRoute(TComponent* component, bool windowed, std::function<void()> ownThreadEnded)
    : FComponent(component)
    , FWindowed(windowed)
    , FSerial(nextSerial++)
    , FOwnThreadEnded(std::move(ownThreadEnded))
{
    if (FWindowed)
        TAdvHttpWindow::AddUser();
    std::lock_guard lock(routesLock);
    liveRoutes[FComponent] = this;
    liveSerials[FSerial] = FComponent;
}

TEventRoute::~TEventRoute()
{
    Close();
    if (FWindowed)
        TAdvHttpWindow::RemoveUser();
}

void TEventRoute::Close()
{
    {
        std::lock_guard lock(routesLock);
        liveRoutes.erase(FComponent);
        liveSerials.erase(FSerial);
    }
    if (FDeliveriesInFlight.load() == 0)
        return;
    const TCloseWaitScope waiting(FComponent);
    const bool onWindowThread = TAdvHttpWindow::OnWindowThread();
    const bool onOwnThread = QThread::currentThread() == FComponent->thread();
    while (FDeliveriesInFlight.load() > 0) {
        if (onOwnThread)
            ServeOwnThreadDeliveries();
        if (onWindowThread) {
            ServeEventsSentToThisThread();
            continue;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void TEventRoute::Fire(const TNotifyEvent& handler)
{
    if (!handler)
        return;
    ++FDeliveriesInFlight;
    struct TDeliveryCount {
        std::atomic<int>& Count;
        ~TDeliveryCount() { --Count; }
    } counted{FDeliveriesInFlight};
    if (FComponent->InState(csDestroying))
        return;
    // A copy, so a handler that reassigns its own event doesn't pull the function from under itself.
    const TNotifyEvent call = handler;
    TDelivery delivery{FComponent, &call, nullptr, false};
    if (!FWindowed && FToOwnThread && QThread::currentThread() != FComponent->thread()) {
        DeliverOnOwnThread(delivery);
    } else if (HWND window = FWindowed ? TAdvHttpWindow::Handle() : nullptr) {
        // On the window's own thread the send is a direct call.
        SendMessageA(window, WM_ADVHTTP_CALL, reinterpret_cast<WPARAM>(&TDelivery::RunSent),
                     reinterpret_cast<LPARAM>(&delivery));
    } else {
        delivery.Run(); // here, on the firing thread
    }
    if (delivery.Raised)
        std::rethrow_exception(delivery.Raised);
}

// The delivery waits in the queue until the component's thread runs it from its event loop (or
// from a wait of ours on that thread). An event that thread will never take (it has ended) is
// let go unrun, and so is one on its way when destruction begins: a firing thread is often shared
// with other components, and must not wait for ever.
void TEventRoute::DeliverOnOwnThread(TDelivery& delivery)
{
    {
        std::lock_guard lock(FOwnThreadLock);
        FOwnThreadQueue.push_back(&delivery);
    }
    PostTo(FComponent, [this] { ServeOwnThreadDeliveries(); });
    bool dropped = false;
    {
        std::unique_lock lock(FOwnThreadLock);
        while (!delivery.Done) {
            if (FComponent->InState(csDestroying) || OwnThreadEnded()) {
                const auto queued = std::find(FOwnThreadQueue.begin(), FOwnThreadQueue.end(), &delivery);
                if (queued != FOwnThreadQueue.end()) { // else that thread runs it now
                    FOwnThreadQueue.erase(queued);
                    dropped = true;
                    break;
                }
            }
            FOwnThreadDone.wait_for(lock, OwnThreadCheckInterval);
        }
    }
    if (dropped && !FComponent->InState(csDestroying))
        FOwnThreadEnded();
}

// The component's thread has ended (or its QThread is gone): nothing runs its event loop again.
bool TEventRoute::OwnThreadEnded() const
{
    const QThread* thread = FComponent->thread();
    return thread == nullptr || thread->isFinished();
}

// On the component's own thread.
void TEventRoute::ServeOwnThreadDeliveries()
{
    for (;;) {
        TDelivery* delivery = nullptr;
        {
            std::lock_guard lock(FOwnThreadLock);
            if (FOwnThreadQueue.empty())
                return;
            delivery = FOwnThreadQueue.front();
            FOwnThreadQueue.erase(FOwnThreadQueue.begin());
        }
        delivery->Run();
        {
            std::lock_guard lock(FOwnThreadLock);
            delivery->Done = true;
        }
        FOwnThreadDone.notify_all();
    }
}

bool TEventRoute::OnDeliveryThread() const
{
    if (FWindowed)
        return TAdvHttpWindow::OnWindowThread();
    return FToOwnThread && QThread::currentThread() == FComponent->thread();
}

void TEventRoute::ServeDeliveries()
{
    if (TAdvHttpWindow::OnWindowThread())
        ServeEventsSentToThisThread();
    if (!FWindowed && QThread::currentThread() == FComponent->thread())
        ServeOwnThreadDeliveries();
}

bool TEventRoute::CanReleaseLater() const
{
    if (FWindowed)
        return TAdvHttpWindow::Handle() != nullptr;
    return QAbstractEventDispatcher::instance(FComponent->thread()) != nullptr;
}

// Not deleteLater: a nested event loop inside one of the component's handlers on its own thread
// (a message box, QTest::qWait) runs deferred deletes, and would free the component under the
// request that fired the handler.
void TEventRoute::ReleaseLater()
{
    void* const released = reinterpret_cast<void*>(FSerial);
    if (FWindowed) {
        PostMessageA(TAdvHttpWindow::Handle(), WM_ADVHTTP_CALL, reinterpret_cast<WPARAM>(&ReleaseWhenNoHandlerRuns),
                     reinterpret_cast<LPARAM>(released));
        return;
    }
    PostTo(QAbstractEventDispatcher::instance(FComponent->thread()), [released] { ReleaseWhenNoHandlerRuns(released); });
}

bool TEventRoute::HandlerRunning(const TComponent* component)
{
    return std::find(handlersRunning.begin(), handlersRunning.end(), component) != handlersRunning.end();
}
