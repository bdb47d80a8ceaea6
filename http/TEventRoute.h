// How the events of one component reach their handlers, and how the component is freed later.
//
// An event runs its handler in one of three ways: a direct call on the thread that fires it; a
// send through the hidden notification window, for a component whose owner is a widget (the
// window's thread runs it); or a queue to the component's own thread, whose event loop runs it
// (TEventThread::Own). In the last two the firing thread waits until the handler has run, so the
// handler reads the values of its moment, and what it raised is raised again on the firing
// thread. Every handler runs inside a handler scope, which is how the route knows that a
// component's handler is running on a thread.
//
// Freeing later has one policy whichever way the events go: the release is posted to the thread
// that would run the component's handlers (the window's, or the component's own), and there it
// frees the component once no handler of it runs on that thread. A release that arrives inside
// a handler (a nested event loop: a message box, a wait) is held back until that handler has
// returned, then posted again.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "TComponent.h"

class TEventRoute {
public:
    // windowed: the component's owner is a widget. ownThreadEnded runs when an event had to be
    // dropped because the component's own thread has ended; the firing thread is still inside
    // the delivery then, so the component is not freed under it.
    TEventRoute(TComponent* component, bool windowed, std::function<void()> ownThreadEnded);
    ~TEventRoute();
    TEventRoute(const TEventRoute&) = delete;
    TEventRoute& operator=(const TEventRoute&) = delete;

    [[nodiscard]] bool Windowed() const { return FWindowed; }
    [[nodiscard]] bool ToOwnThread() const { return FToOwnThread; }
    // Events of a component without a windowed owner go to its own thread (true) or run where
    // they are fired (false, the start value).
    void SetToOwnThread(bool own) { FToOwnThread = own; }

    // Runs handler with the component as sender, the way the route says, and raises here what it
    // raised. Nothing once the component's destruction has begun, and nothing for an event the
    // component's own thread will never take (it has ended, or destruction begins meanwhile).
    void Fire(const TNotifyEvent& handler);
    // The first step of the component's destruction: no release reaches it any more, and once
    // this returns no event of it is on its way (those waiting for this thread are served here).
    // A wait that would never end, because the handler it waits for waits in turn (round a circle
    // of handlers freeing each other's components) for this thread, stops the program with a message.
    void Close();

    // True on the thread that runs the component's events for the window or its own thread. A
    // firing thread may be waiting for it, so a wait there serves those events (ServeDeliveries).
    [[nodiscard]] bool OnDeliveryThread() const;
    // Runs the events that other threads wait to deliver on this thread, and nothing else.
    void ServeDeliveries();

    // Whether a release can be posted: a windowed component's needs the window, any other's an
    // event loop on the component's thread.
    [[nodiscard]] bool CanReleaseLater() const;
    void ReleaseLater();

    // True while a handler of component runs on this thread, however deep down the stack.
    [[nodiscard]] static bool HandlerRunning(const TComponent* component);

private:
    struct TDelivery;
    void DeliverOnOwnThread(TDelivery& delivery);
    [[nodiscard]] bool OwnThreadEnded() const;
    void ServeOwnThreadDeliveries();

    TComponent* const FComponent;
    const bool FWindowed;
    // Names the component in a posted release: unlike its address, never taken by another one.
    const std::uintptr_t FSerial;
    const std::function<void()> FOwnThreadEnded;
    std::atomic<bool> FToOwnThread{false};
    // Events on their way. A delivery counts itself before it looks at the destroying state, so
    // Close either sees it here or it sees the state and stops.
    std::atomic<int> FDeliveriesInFlight{0};
    // Events waiting for the component's own thread, oldest first.
    std::mutex FOwnThreadLock;
    std::condition_variable FOwnThreadDone;
    std::vector<TDelivery*> FOwnThreadQueue; // guarded by FOwnThreadLock
};
