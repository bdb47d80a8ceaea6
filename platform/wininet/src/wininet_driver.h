// Inside the Internet client layer: the driver of an Internet handle's transfers.
//
// Each Internet handle owns one libcurl multi handle (its connection pool) and a driver for it.
// Callers hand work to it as commands, run by whoever drives the multi handle next: in
// asynchronous mode the thread of the loop the session shares with others (DriverLoop), in
// synchronous mode the caller that waits, so that nothing crosses threads on the way and the
// notifications come on the caller's thread, inside its call. Only one thread drives at a time;
// libcurl's callbacks then fill the request's Transfer. The driver holds the transfers it works
// on; a transfer holds its driver only weakly, so nothing holds itself alive.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "wininet_curl.h"
#include "wininet_handles.h"

namespace wininet {

class DriverLoop;
class Transfer;
struct TransferSetup;

class Driver : public std::enable_shared_from_this<Driver> {
public:
    using Command = std::function<void(Driver&)>;
    // driveLoopRound's socket when there is none to act on: only the commands are run.
    static constexpr int commandsOnly = -2;

    // A driver with its multi handle and cookie store, and in asynchronous mode its place on a
    // loop; nullptr with the last error set when one of them can't be had.
    static std::shared_ptr<Driver> create(std::shared_ptr<SessionShared> shared);
    ~Driver();
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    // Runs command where the multi handle is driven; dropped once the driver has stopped.
    void post(Command command);
    // Synchronous mode: one round of the caller's wait. Runs the commands, waits for network
    // activity first when waitFirst is set (at most a moment; cut short by new commands), then
    // lets libcurl work. False once the driver has stopped.
    bool drive(bool waitFirst);
    // Releases every transfer and the multi handle on the calling thread, once a round of
    // driving in progress has ended, and leaves the loop. Status callbacks are never called
    // while a round runs, so this may be called from inside one.
    void stop();
    // Asynchronous mode, the loop's thread: one round for a socket that is ready (action:
    // CURL_CSELECT_*), the timer (CURL_SOCKET_TIMEOUT), or commandsOnly; then the notifications
    // gathered are delivered with nothing held.
    void driveLoopRound(int socket, int action);

    // The driving thread only.
    void startTransfer(const std::shared_ptr<Transfer>& transfer, const TransferSetup& setup);
    void resumeTransfer(const std::shared_ptr<Transfer>& transfer);
    void releaseTransfer(const std::shared_ptr<Transfer>& transfer);
    void scheduleEvents(const std::shared_ptr<Transfer>& transfer);
    // Asynchronous mode: whether the calling thread drives the multi handle right now.
    bool onDriverThread() const { return std::this_thread::get_id() == m_drivingThread.load(); }
    // Sockets are closed through the driver, which outlives every easy handle, so the request
    // that last used a connection hears of its closing. 0, or the code a failed option gives.
    [[nodiscard]] int configureSockets(void* easy);
    void socketOpened(int socket, Transfer* owner);
    // Only the closing of a connection that was established is reported.
    void socketEstablished(int socket);
    void socketClosing(int socket);

private:
    Driver(std::shared_ptr<SessionShared> shared, curl::Multi multi, curl::Share share);
    [[nodiscard]] bool joinLoop();
    // False once stopping; ran: whether there was any command.
    bool runCommands(bool* ran = nullptr);
    void wait(int milliseconds);
    void collectFinished();
    void failSilentTransfers();
    void detach(const std::shared_ptr<Transfer>& transfer);
    void releaseAll();

    const std::shared_ptr<SessionShared> m_shared;
    // Declared first, so that it goes last: releaseAll frees the easy handles that use it first.
    curl::Share m_share;
    curl::Multi m_multi; // guarded by m_mutex for wake-ups from other threads
    std::shared_ptr<DriverLoop> m_loop; // asynchronous mode; set once, before any transfer exists
    std::pair<DriverLoop*, Driver*> m_callbackTarget{}; // what libcurl's socket and timer callbacks get
    std::mutex m_mutex;
    std::vector<Command> m_commands;
    bool m_stopping = false;
    bool m_leftLoop = false; // guarded by m_mutex
    std::mutex m_driveMutex; // held by the thread that drives the multi handle
    std::atomic<std::thread::id> m_drivingThread{}; // asynchronous mode: while it holds m_driveMutex
    bool m_released = false;
    std::atomic<bool> m_waiting{false}; // a driver waits in curl_multi_poll

    // The driving thread only.
    std::map<Transfer*, std::shared_ptr<Transfer>> m_attached; // in the multi handle now
    std::set<std::shared_ptr<Transfer>> m_owners;   // holding an easy handle
    std::vector<std::shared_ptr<Transfer>> m_eventful;
    struct SocketOwner {
        std::weak_ptr<Transfer> transfer;
        bool established = false;
    };
    std::map<int, SocketOwner> m_socketOwners;
};

} // namespace wininet
