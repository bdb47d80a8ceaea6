// Inside the Internet client layer: the driver of an Internet handle's transfers.
//
// Each Internet handle has a driver and its own store of connections and cookies (a share
// handle), so that no session ever reuses another's connection or sees its cookies. Callers
// hand work to the driver as commands, run by whoever drives its transfers next: in asynchronous
// mode the thread of the loop the session shares with others (DriverLoop), whose one multi
// handle drives the transfers of all its sessions; in synchronous mode the caller that waits,
// on the session's own multi handle, so that nothing crosses threads on the way and the
// notifications come on the caller's thread, inside its call. Only one thread drives at a time
// (the holder of the drive lock: the loop's, or the session's own); libcurl's callbacks then
// fill the request's Transfer. The driver holds the transfers it works on; a transfer holds its
// driver only weakly, so nothing holds itself alive.
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

    // A driver with its store, and in synchronous mode its multi handle, in asynchronous mode its
    // place on a loop; nullptr with the last error set when one of them can't be had.
    static std::shared_ptr<Driver> create(std::shared_ptr<SessionShared> shared);
    ~Driver();
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    // Runs command where the transfers are driven; dropped once the driver has stopped.
    void post(Command command);
    // Synchronous mode: one round of the caller's wait. Runs the commands, waits for network
    // activity first when waitFirst is set (at most a moment; cut short by new commands), then
    // lets libcurl work. False once the driver has stopped.
    bool drive(bool waitFirst);
    // Releases every transfer and the store on the calling thread, once a round of driving in
    // progress has ended, and leaves the loop. Status callbacks are never called while a round
    // runs, so this may be called from inside one.
    void stop();

    // Asynchronous mode, the loop's thread in its round (the drive lock held). Runs the commands
    // posted; true when there was any.
    bool runLoopCommands();
    // Hands each transfer that libcurl has finished in multi to its driver (transferDone), and
    // puts those drivers in concerned, which holds them until the caller lets go.
    static void collectFinished(void* multi, std::vector<std::shared_ptr<Driver>>& concerned);
    void failSilentTransfers();
    // Moves the transfers with notifications to deliver into due.
    void takeEventful(std::vector<std::shared_ptr<Transfer>>& due);

    // The driving thread only.
    void startTransfer(const std::shared_ptr<Transfer>& transfer, const TransferSetup& setup);
    void resumeTransfer(const std::shared_ptr<Transfer>& transfer);
    void releaseTransfer(const std::shared_ptr<Transfer>& transfer);
    void scheduleEvents(const std::shared_ptr<Transfer>& transfer);
    // Asynchronous mode: whether the calling thread drives the transfers right now.
    bool onDriverThread() const;
    // Sockets are closed through the driver, which outlives every easy handle, so the request
    // that last used a connection hears of its closing. 0, or the code a failed option gives.
    [[nodiscard]] int configureSockets(void* easy);
    void socketOpened(int socket, Transfer* owner);
    // Only the closing of a connection that was established is reported.
    void socketEstablished(int socket);
    void socketClosing(int socket);

private:
    Driver(std::shared_ptr<SessionShared> shared, curl::Multi multi, curl::Share share);
    // The multi handle the transfers are driven in: the loop's, or the session's own.
    void* multi() const;
    std::mutex& driveLock();
    // False once stopping; ran: whether there was any command.
    bool runCommands(bool* ran = nullptr);
    void wait(int milliseconds);
    // libcurl is done with the transfer (a CURLcode).
    void transferDone(Transfer* transfer, int result);
    void detach(const std::shared_ptr<Transfer>& transfer);
    void releaseAll();

    const std::shared_ptr<SessionShared> m_shared;
    // Declared first, so that it goes last: releaseAll frees the easy handles that use it first.
    curl::Share m_share;
    curl::Multi m_multi; // synchronous mode; guarded by m_mutex for wake-ups from other threads
    std::shared_ptr<DriverLoop> m_loop; // asynchronous mode; set once, before any transfer exists
    std::mutex m_mutex;
    std::vector<Command> m_commands;
    bool m_stopping = false;
    bool m_leftLoop = false; // guarded by m_mutex
    std::mutex m_driveMutex; // synchronous mode: held by the thread that drives the multi handle
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
