// TAdvHttp as a program uses it, written from its public header alone (uAdvHttp.h and what it
// includes): owners of every kind, events delivered to the component's own thread, requests that
// end every way (cancelled, timed out, ...), handlers that raise or free their component, a start
// refused while busy, and waiting for the end on the owner's thread. What a
// caller must know is stated in uAdvHttp.h; these cases hold the component to it.
#include <QCoreApplication>
#include <QEventLoop>
#include <QPointer>
#include <QProcess>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <latch>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "LocalHttpServer.h"
#include "uAdvHttp.h"

using dorvane::test::LocalHttpServer;
using namespace std::chrono_literals;

namespace {

constexpr int WaitLimitMs = 10000; // reached only when something is broken
constexpr std::size_t BigBodySize = 2000000;
constexpr std::size_t GatedBodySize = 1000000;
constexpr std::size_t BeforeTheGate = 100000;
constexpr std::size_t CutBodySize = 1000;
constexpr int WaitRounds = 20;
constexpr int RaceRounds = 40;
// Runs of the exiting program per way of ending: races at exit show one run in a few.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int ExitRuns = 3;
#else
constexpr int ExitRuns = 20;
#endif
constexpr std::size_t EndlessChunk = 16384;
constexpr std::size_t EndlessLimit = std::size_t{64} << 20; // reached only when a child hangs

// ---- owners ----

enum class OwnerKind { None, Object, HiddenWidget, ShownWidget };

struct OwnerRow {
    const char* tag;
    OwnerKind kind;
    TEventThread eventThread = TEventThread::Firing;
};

const OwnerRow Owners[] = {
    {"noOwner", OwnerKind::None},
    {"objectOwner", OwnerKind::Object},
    {"objectOwnerEventsOnItsThread", OwnerKind::Object, TEventThread::Own},
    {"hiddenWidgetOwner", OwnerKind::HiddenWidget},
    {"shownWidgetOwner", OwnerKind::ShownWidget},
};

// Events that come to this thread: a widget owner's, and those of a component that asked for
// them on its own thread (made on this one).
bool EventsComeToThisThread(const OwnerRow& row)
{
    return row.kind == OwnerKind::HiddenWidget || row.kind == OwnerKind::ShownWidget ||
           row.eventThread == TEventThread::Own;
}

void PrintTo(const OwnerRow& row, std::ostream* out)
{
    *out << row.tag;
}

std::unique_ptr<QObject> MakeOwner(OwnerKind kind)
{
    switch (kind) {
    case OwnerKind::None:
        return nullptr;
    case OwnerKind::Object:
        return std::make_unique<QObject>();
    case OwnerKind::HiddenWidget:
        return std::make_unique<QWidget>();
    case OwnerKind::ShownWidget: {
        auto widget = std::make_unique<QWidget>();
        widget->show();
        return widget;
    }
    }
    return nullptr;
}

// Waits with the event loop turning all the time, as a busy program's does: whatever is posted to
// this thread runs at once, and a release that comes too early meets its component at once.
bool WaitFor(const std::function<bool()>& condition)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(WaitLimitMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

// Waits on this thread without letting its events in.
bool WaitWithoutEvents(const std::function<bool()>& condition)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(WaitLimitMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// ---- the server ----

// A body that stops after its first part until the test opens the gate, so a request is surely
// in the middle of its body when the test acts.
class Gate {
public:
    // The server has sent the part before the gate on this many requests.
    bool WaitUntilReached(int requests)
    {
        std::unique_lock lock(m_lock);
        return m_changed.wait_for(lock, std::chrono::milliseconds(WaitLimitMs),
                                  [this, requests] { return m_reached >= requests; });
    }
    void Open()
    {
        std::lock_guard lock(m_lock);
        m_open = true;
        m_changed.notify_all();
    }
    bool IsOpen()
    {
        std::lock_guard lock(m_lock);
        return m_open;
    }
    void Pass()
    {
        std::unique_lock lock(m_lock);
        ++m_reached;
        m_changed.notify_all();
        m_changed.wait_for(lock, std::chrono::milliseconds(WaitLimitMs), [this] { return m_open; });
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    int m_reached = 0;
    bool m_open = false;
};

class Consumer : public testing::Test {
protected:
    void SetUp() override
    {
        server.server().Get("/ok", [](const httplib::Request&, httplib::Response& res) {
            res.set_header("X-Served-By", "consumer-test");
            res.set_content("fine", "text/plain");
        });
        server.server().Get("/big", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(std::string(BigBodySize, 'b'), "application/octet-stream");
        });
        // Announces more than it sends, then closes the connection.
        server.server().Get("/cut", [](const httplib::Request&, httplib::Response& res) {
            res.set_content_provider(CutBodySize, "application/octet-stream",
                                     [](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                         if (offset > 0)
                                             return false;
                                         const std::string part(CutBodySize / 10, 'c');
                                         return sink.write(part.data(), part.size());
                                     });
        });
        // A body that keeps coming, a chunk a millisecond, until the client goes.
        server.server().Get("/endless", [](const httplib::Request&, httplib::Response& res) {
            res.set_chunked_content_provider("application/octet-stream",
                                             [](std::size_t offset, httplib::DataSink& sink) {
                                                 if (offset >= EndlessLimit) {
                                                     sink.done();
                                                     return true;
                                                 }
                                                 std::this_thread::sleep_for(1ms); // the pace of the body
                                                 const std::string bytes(EndlessChunk, 'e');
                                                 return sink.write(bytes.data(), bytes.size());
                                             });
        });
        // Sends nothing at all, not even the head, until the gate opens.
        server.server().Get("/stalled", [this](const httplib::Request&, httplib::Response& res) {
            gate.Pass();
            res.set_content("late", "text/plain");
        });
        server.server().Get("/gated", [this](const httplib::Request&, httplib::Response& res) {
            res.set_content_provider(GatedBodySize, "application/octet-stream",
                                     [this](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                                         if (offset == BeforeTheGate)
                                             gate.Pass();
                                         const std::size_t part = offset < BeforeTheGate
                                                                      ? std::min(length, BeforeTheGate - offset)
                                                                      : length;
                                         const std::string bytes(std::min<std::size_t>(part, 16384), 'g');
                                         return sink.write(bytes.data(), bytes.size());
                                     });
        });
        ASSERT_TRUE(server.start());
    }
    void TearDown() override { gate.Open(); }

    std::string Url(const std::string& path) const
    {
        return "http://127.0.0.1:" + std::to_string(server.port()) + path;
    }
    static std::string RefusedUrl()
    {
        LocalHttpServer closed; // bound, then stopped: nobody listens on its port any more
        if (!closed.start())
            return "http://127.0.0.1:1/";
        const int port = closed.port();
        closed.stop();
        return "http://127.0.0.1:" + std::to_string(port) + "/";
    }

    Gate gate;
    LocalHttpServer server;
};

// ---- owners x endings ----

enum class Ending {
    RunsToItsEnd,         // nothing special: the request completes
    OwnerDeletedMidBody,  // the owner goes while the body is on its way (no owner: the component)
    ReleaseOnClose,       // the component frees itself when its request ends
    PostReleaseWhenDone,  // OnRequestComplete or OnError frees the component with PostRelease
    PostReleaseThenWait,  // ... and then runs an event loop of its own (a message box)
    RaiseInDataAvailable, // OnDataAvailable raises: the transfer stops
    RaiseInStatusEvent,   // OnResponseReceived raises (on the library's thread when asynchronous)
    FailureAfterSuccess,  // a request succeeds, the next one can't connect
    StartWhileBusy,       // Execute while the first request runs
    CancelFromAnotherThread, // another thread cancels while the server holds the answer back
    CancelFromTheCaller,     // the program's thread cancels an asynchronous request meanwhile
    CancelInAHandler,        // OnDataAvailable cancels its own request
    CancelThenReleased,      // another thread cancels a component that frees itself when it ends
    CancelWhenIdle,          // Cancel before and after a request: nothing happens
    CancelInOnError,         // OnError of a failed request cancels it: nothing more happens
    ReceiveTimeout,          // the server stays silent longer than the component's receive time-out
    ReleaseOnCloseRefusedStart, // a component that frees itself on close, whose start is refused
    ReleaseOnCloseThenStartAgain, // ... starts again once its request has failed: refused, then freed
};

struct EndingRow {
    const char* tag;
    Ending ending;
    const char* path; // nullptr: a port nobody listens on
    bool synchronous;
    bool raiseExceptions;
    int components;
    // What the program sees, per component.
    int completes;
    int errors;
    DWORD lastError;
    bool freed; // the component is gone at the end, freed by the library or with its owner
};

const EndingRow Endings[] = {
    {"runsToItsEnd", Ending::RunsToItsEnd, "/big", false, true, 1, 1, 0, 0, false},
    {"runsToItsEndSynchronously", Ending::RunsToItsEnd, "/big", true, true, 1, 1, 0, 0, false},
    {"ownerDeletedMidBody", Ending::OwnerDeletedMidBody, "/gated", false, true, 1, 0, 0, 0, true},
    {"ownerDeletedMidBodyOfThree", Ending::OwnerDeletedMidBody, "/gated", false, true, 3, 0, 0, 0, true},
    {"releaseOnClose", Ending::ReleaseOnClose, "/ok", false, true, 1, 1, 0, 0, true},
    {"releaseOnCloseFiftyAtOnce", Ending::ReleaseOnClose, "/ok", false, true, 50, 1, 0, 0, true},
    {"releaseOnCloseSynchronously", Ending::ReleaseOnClose, "/ok", true, true, 1, 1, 0, 0, true},
    {"releaseOnCloseAfterAFailedConnect", Ending::ReleaseOnClose, nullptr, false, false, 1, 0, 1,
     ERROR_INTERNET_CANNOT_CONNECT, true},
    {"postReleaseWhenDone", Ending::PostReleaseWhenDone, "/ok", false, true, 3, 1, 0, 0, true},
    {"postReleaseAfterAFailedConnect", Ending::PostReleaseWhenDone, nullptr, false, false, 1, 0, 1,
     ERROR_INTERNET_CANNOT_CONNECT, true},
    {"postReleaseThenAMessageBox", Ending::PostReleaseThenWait, "/ok", false, true, 1, 1, 0, 0, true},
    {"postReleaseThenAMessageBoxSynchronously", Ending::PostReleaseThenWait, "/ok", true, true, 1, 1, 0, 0, true},
    {"raiseInDataAvailable", Ending::RaiseInDataAvailable, "/big", false, true, 1, 0, 1,
     ERROR_INTERNET_OPERATION_CANCELLED, false},
    {"raiseInDataAvailableSynchronously", Ending::RaiseInDataAvailable, "/big", true, true, 1, 0, 1,
     ERROR_INTERNET_OPERATION_CANCELLED, false},
    {"raiseInDataAvailableSynchronouslyQuietly", Ending::RaiseInDataAvailable, "/big", true, false, 1, 0, 1,
     ERROR_INTERNET_OPERATION_CANCELLED, false},
    {"raiseInAStatusEvent", Ending::RaiseInStatusEvent, "/big", false, true, 1, 0, 1,
     ERROR_INTERNET_OPERATION_CANCELLED, false},
    {"raiseInAStatusEventSynchronously", Ending::RaiseInStatusEvent, "/big", true, true, 1, 0, 1,
     ERROR_INTERNET_OPERATION_CANCELLED, false},
    {"failureAfterSuccess", Ending::FailureAfterSuccess, nullptr, false, false, 1, 1, 1, ERROR_INTERNET_CANNOT_CONNECT,
     false},
    {"failureAfterSuccessSynchronously", Ending::FailureAfterSuccess, nullptr, true, false, 1, 1, 1,
     ERROR_INTERNET_CANNOT_CONNECT, false},
    {"startWhileBusy", Ending::StartWhileBusy, "/gated", false, false, 1, 1, 0, 0, false},
    {"cancelFromAnotherThreadMidBody", Ending::CancelFromAnotherThread, "/gated", true, true, 1, 0, 1,
     ERROR_INTERNET_OPERATION_CANCELLED, false},
    {"cancelFromAnotherThreadMidBodyQuietly", Ending::CancelFromAnotherThread, "/gated", true, false, 1, 0, 1,
     ERROR_INTERNET_OPERATION_CANCELLED, false},
    {"cancelFromAnotherThreadBeforeTheHead", Ending::CancelFromAnotherThread, "/stalled", true, false, 1, 0, 1,
     ERROR_INTERNET_OPERATION_CANCELLED, false},
    {"cancelMidBody", Ending::CancelFromTheCaller, "/gated", false, true, 1, 0, 1, ERROR_INTERNET_OPERATION_CANCELLED,
     false},
    {"cancelBeforeTheHead", Ending::CancelFromTheCaller, "/stalled", false, true, 1, 0, 1,
     ERROR_INTERNET_OPERATION_CANCELLED, false},
    {"cancelInAHandler", Ending::CancelInAHandler, "/big", false, true, 1, 0, 1, ERROR_INTERNET_OPERATION_CANCELLED,
     false},
    {"cancelInAHandlerSynchronously", Ending::CancelInAHandler, "/big", true, true, 1, 0, 1,
     ERROR_INTERNET_OPERATION_CANCELLED, false},
    {"cancelThenReleased", Ending::CancelThenReleased, "/stalled", false, true, 1, 0, 1,
     ERROR_INTERNET_OPERATION_CANCELLED, true},
    {"cancelWhenIdle", Ending::CancelWhenIdle, "/ok", false, true, 1, 1, 0, 0, false},
    {"cancelInOnErrorOfAFailedConnect", Ending::CancelInOnError, nullptr, false, false, 1, 0, 1,
     ERROR_INTERNET_CANNOT_CONNECT, false},
    {"cancelInOnErrorOfAFailedConnectSynchronously", Ending::CancelInOnError, nullptr, true, true, 1, 0, 1,
     ERROR_INTERNET_CANNOT_CONNECT, false},
    {"cancelInOnErrorOfACutBody", Ending::CancelInOnError, "/cut", false, false, 1, 0, 1,
     ERROR_INTERNET_CONNECTION_ABORTED, false},
    {"releaseOnCloseRefusedStart", Ending::ReleaseOnCloseRefusedStart, "/ok", false, false, 1, 0, 1,
     ERROR_INVALID_PARAMETER, true},
    {"releaseOnCloseRefusedStartSynchronously", Ending::ReleaseOnCloseRefusedStart, "/ok", true, true, 1, 0, 1,
     ERROR_INVALID_PARAMETER, true},
    {"releaseOnCloseThenStartAgain", Ending::ReleaseOnCloseThenStartAgain, nullptr, true, false, 1, 0, 1,
     ERROR_INTERNET_CANNOT_CONNECT, true},
    {"receiveTimeout", Ending::ReceiveTimeout, "/stalled", true, false, 1, 0, 1, ERROR_INTERNET_TIMEOUT, false},
    {"receiveTimeoutAsynchronously", Ending::ReceiveTimeout, "/stalled", false, false, 1, 0, 1, ERROR_INTERNET_TIMEOUT,
     false},
};

bool IsCancel(Ending ending)
{
    return ending == Ending::CancelFromAnotherThread || ending == Ending::CancelFromTheCaller ||
           ending == Ending::CancelInAHandler || ending == Ending::CancelInOnError;
}

void PrintTo(const EndingRow& row, std::ostream* out)
{
    *out << row.tag;
}

// What the handlers of one component saw; outlives the component.
struct Seen {
    std::atomic<int> completes{0};
    std::atomic<int> errors{0};
    std::atomic<int> data{0};
    std::atomic<int> afterDeletion{0}; // events that came once the owner had started going
    std::atomic<bool> deleting{false};
    std::atomic<int> elsewhere{0}; // events that ran on another thread than the one asked for
    std::int64_t contentLength = -2; // as OnDataAvailable's first chunk saw it
};

class OwnersAndEndings : public Consumer,
                         public testing::WithParamInterface<std::tuple<OwnerRow, EndingRow>> {};

TEST_P(OwnersAndEndings, EveryEndingLeavesTheProgramSound)
{
    const auto& [ownerRow, row] = GetParam();
    std::unique_ptr<QObject> owner = MakeOwner(ownerRow.kind);
    std::vector<std::unique_ptr<Seen>> seen;
    std::vector<QPointer<TAdvHttp>> components;
    std::vector<TAdvHttp*> created;
    const std::string url = row.path == nullptr ? RefusedUrl() : Url(row.path);

    for (int i = 0; i < row.components; ++i) {
        seen.push_back(std::make_unique<Seen>());
        Seen& events = *seen.back();
        auto* http = new TAdvHttp(owner.get());
        http->SetEventThread(ownerRow.eventThread);
        http->SetURL(row.ending == Ending::FailureAfterSuccess ? Url("/ok") : url);
        http->SetDefaultUi(false);
        http->SetRaiseExceptions(row.raiseExceptions);
        if (row.ending == Ending::ReceiveTimeout)
            http->SetReceiveTimeout(200);
        const bool ownThread = ownerRow.eventThread == TEventThread::Own;
        const auto where = [&events, ownThread] {
            if (ownThread && QThread::currentThread() != QCoreApplication::instance()->thread())
                ++events.elsewhere;
        };
        const bool releaseWhenDone =
            row.ending == Ending::PostReleaseWhenDone || row.ending == Ending::PostReleaseThenWait;
        const bool waitAfterwards = row.ending == Ending::PostReleaseThenWait;
        http->OnRequestComplete = [&events, releaseWhenDone, waitAfterwards, where](TObject* sender) {
            where();
            ++events.completes;
            events.afterDeletion += events.deleting ? 1 : 0;
            if (releaseWhenDone) {
                static_cast<TAdvHttp*>(sender)->PostRelease();
                static_cast<TAdvHttp*>(sender)->PostRelease(); // asking twice frees it once
            }
            if (waitAfterwards && QThread::currentThread() == QCoreApplication::instance()->thread())
                QTest::qWait(50); // the component is still there while its handler runs
        };
        const bool cancelInError = row.ending == Ending::CancelInOnError;
        http->OnError = [&events, releaseWhenDone, cancelInError, where](TObject* sender) {
            where();
            ++events.errors;
            events.afterDeletion += events.deleting ? 1 : 0;
            if (releaseWhenDone)
                static_cast<TAdvHttp*>(sender)->PostRelease();
            if (cancelInError)
                static_cast<TAdvHttp*>(sender)->Cancel(); // the ending is decided: nothing changes
        };
        const bool raise = row.ending == Ending::RaiseInDataAvailable;
        const bool cancel = row.ending == Ending::CancelInAHandler;
        http->OnDataAvailable = [&events, raise, cancel, where](TObject* sender) {
            where();
            if (events.data == 0)
                events.contentLength = static_cast<TAdvHttp*>(sender)->ContentLength();
            if (cancel && events.data == 1)
                static_cast<TAdvHttp*>(sender)->Cancel(); // the second chunk is the last one
            ++events.data;
            events.afterDeletion += events.deleting ? 1 : 0;
            if (raise)
                throw std::runtime_error("the program stops the transfer");
        };
        if (row.ending == Ending::RaiseInStatusEvent) {
            http->OnResponseReceived = [](TObject* sender) {
                if (static_cast<TAdvHttp*>(sender)->BytesRead() > 0)
                    throw std::runtime_error("the program stops the transfer");
            };
        }
        if (row.ending == Ending::ReleaseOnClose || row.ending == Ending::CancelThenReleased ||
            row.ending == Ending::ReleaseOnCloseRefusedStart || row.ending == Ending::ReleaseOnCloseThenStartAgain)
            http->SetReleaseOnClose(true);
        if (row.ending == Ending::ReleaseOnCloseRefusedStart)
            http->SetMethod("NOT A METHOD");
        components.emplace_back(http);
        created.push_back(http);
    }

    if (row.ending == Ending::FailureAfterSuccess) {
        TAdvHttp& http = *components[0];
        ASSERT_TRUE(http.Execute(row.synchronous));
        ASSERT_TRUE(WaitFor([&] { return seen[0]->completes == 1 && !http.Busy(); }));
        ASSERT_EQ(http.StatusCode(), 200u);
        ASSERT_GT(http.ResponseHeaders().Count(), 0u);
        http.SetURL(url);
    }

    if (row.ending == Ending::CancelWhenIdle) {
        components[0]->Cancel();
        EXPECT_EQ(seen[0]->errors, 0);
        EXPECT_EQ(components[0]->LastError(), 0u);
    }
    // The server holds back the body (or its head) until the gate opens, which the test never does
    // while the request runs: the cancellation has to end a call blocked on a silent server.
    const bool midBody = row.path != nullptr && std::string(row.path) == "/gated";
    const auto cancelOnceHeldBack = [&] {
        ASSERT_TRUE(gate.WaitUntilReached(1));
        if (midBody) {
            ASSERT_TRUE(WaitWithoutEvents([&] { return created[0]->BytesRead() > 0; }));
        }
        created[0]->Cancel();
    };
    std::thread canceller;
    std::atomic<bool> cancellerDone{true};
    if (row.ending == Ending::CancelFromAnotherThread || row.ending == Ending::CancelThenReleased) {
        cancellerDone = false;
        canceller = std::thread([&] {
            cancelOnceHeldBack();
            cancellerDone = true;
        });
    }

    std::string raised;
    std::vector<bool> results;
    std::vector<DWORD> whyNot; // the thread's last error after a false result
    for (TAdvHttp* http : created) {
        try {
            results.push_back(http->Execute(row.synchronous));
        } catch (const std::exception& error) {
            raised = error.what();
            results.push_back(false);
        }
        whyNot.push_back(GetLastError());
    }

    if (row.ending == Ending::CancelFromTheCaller)
        cancelOnceHeldBack();

    if (row.ending == Ending::ReleaseOnCloseThenStartAgain) {
        // Its release is on its way to this thread's event loop, which has not turned since.
        SetLastError(ERROR_SUCCESS);
        EXPECT_FALSE(created[0]->Execute(row.synchronous)) << "a component about to be freed takes no request";
        EXPECT_EQ(GetLastError(), ERROR_BUSY);
    }

    if (row.ending == Ending::StartWhileBusy) {
        TAdvHttp& http = *components[0];
        ASSERT_TRUE(WaitFor([&] { return seen[0]->data > 0; }));
        ASSERT_TRUE(http.Busy());
        const DWORD running = http.LastError();
        SetLastError(ERROR_SUCCESS);
        EXPECT_FALSE(http.Execute(false)) << "refused";
        EXPECT_EQ(GetLastError(), ERROR_BUSY) << "a refused start is told by the thread's last error";
        EXPECT_EQ(http.LastError(), running) << "the running request's code stays";
        EXPECT_EQ(http.ErrorText(ERROR_BUSY), "The requested resource is in use.");
        http.SetRaiseExceptions(true);
        try {
            static_cast<void>(http.Execute(false));
            ADD_FAILURE() << "a refused start raises with RaiseExceptions";
        } catch (const EInetError& error) {
            EXPECT_NE(std::string(error.what()).find("already running"), std::string::npos) << error.what();
        }
        gate.Open();
    }

    if (row.ending == Ending::OwnerDeletedMidBody) {
        // Without a turn of the event loop: the owner has never been polished, and events of a
        // widget-owned component are still waiting for this thread.
        ASSERT_TRUE(gate.WaitUntilReached(row.components));
        ASSERT_TRUE(WaitWithoutEvents([&] { // OnDataAvailable is on its way
            return std::all_of(created.begin(), created.end(), [](TAdvHttp* http) { return http->BytesRead() > 0; });
        }));
        // Events that run on the library's threads (no widget owner, fired where they happen): one
        // that began just before the delete may still be running inside it (the destructor waits
        // for it), so only what comes after the delete returns counts. Events for this thread
        // can't have begun: any that arrive once the delete has begun count.
        const bool firedElsewhere = (ownerRow.kind == OwnerKind::None || ownerRow.kind == OwnerKind::Object)
                                    && ownerRow.eventThread == TEventThread::Firing;
        const auto markDeleting = [&] {
            for (auto& events : seen)
                events->deleting = true;
        };
        if (!firedElsewhere)
            markDeleting();
        if (owner) {
            owner.reset(); // frees its components with it
        } else {
            for (TAdvHttp* http : created)
                delete http;
        }
        if (firedElsewhere)
            markDeleting();
        QTest::qWait(20); // an event still on its way would arrive now
        gate.Open();
    }

    // Settled: each component freed when it should be, else its request over, as Busy tells (its
    // last event has come by then: checked below). A canceller is joined only then: the OnError it
    // delivers to this thread needs this thread's event loop.
    EXPECT_TRUE(WaitFor([&] {
        for (std::size_t i = 0; i < components.size(); ++i) {
            if (row.freed ? !components[i].isNull() : components[i]->Busy())
                return false;
        }
        return true;
    }));
    EXPECT_TRUE(WaitFor([&] { return cancellerDone.load(); }));
    if (canceller.joinable())
        canceller.join();

    for (std::size_t i = 0; i < components.size(); ++i) {
        SCOPED_TRACE("component " + std::to_string(i));
        EXPECT_EQ(seen[i]->completes, row.completes);
        EXPECT_EQ(seen[i]->errors, row.errors);
        EXPECT_EQ(seen[i]->afterDeletion, 0);
        EXPECT_EQ(seen[i]->elsewhere, 0) << "every event on the thread asked for";
        EXPECT_EQ(components[i].isNull(), row.freed);
        if (components[i].isNull())
            continue;
        TAdvHttp& http = *components[i];
        EXPECT_EQ(http.LastError(), row.lastError) << http.ErrorText(http.LastError());
        switch (row.ending) {
        case Ending::RunsToItsEnd:
            EXPECT_TRUE(results[i]);
            EXPECT_EQ(http.ResponseBody().size(), BigBodySize);
            EXPECT_EQ(seen[i]->contentLength, static_cast<std::int64_t>(BigBodySize)) << "known for progress";
            EXPECT_EQ(http.ContentLength(), static_cast<std::int64_t>(BigBodySize));
            EXPECT_EQ(http.ResponseHeader("content-TYPE"), "application/octet-stream") << "any case";
            EXPECT_EQ(http.ResponseHeader("X-Not-Sent"), "");
            break;
        case Ending::CancelFromAnotherThread:
        case Ending::CancelFromTheCaller:
        case Ending::CancelInAHandler:
        case Ending::ReceiveTimeout:
            EXPECT_FALSE(gate.IsOpen()) << "ended while the server still held the answer back";
            EXPECT_FALSE(http.Busy());
            EXPECT_LT(http.ResponseBody().size(), BigBodySize);
            if (row.synchronous) {
                EXPECT_FALSE(results[i]) << "a cancelled request never returns true";
                EXPECT_EQ(raised, row.raiseExceptions ? http.ErrorText(row.lastError) : "");
                if (!row.raiseExceptions) {
                    EXPECT_EQ(whyNot[i], row.lastError);
                }
            }
            if (IsCancel(row.ending)) {
                http.Cancel(); // over already: nothing more happens
                EXPECT_EQ(seen[i]->errors, 1);
            }
            // Ready for the next request at once.
            http.SetURL(Url("/ok"));
            http.SetReceiveTimeout(0);
            http.OnDataAvailable = nullptr;
            EXPECT_TRUE(http.Execute(row.synchronous));
            EXPECT_TRUE(WaitFor([&] { return seen[i]->completes == 1 && !http.Busy(); }));
            EXPECT_EQ(http.LastError(), 0u);
            EXPECT_EQ(http.Text(), "fine");
            EXPECT_EQ(http.ResponseHeader("x-served-by"), "consumer-test");
            EXPECT_EQ(seen[i]->errors, 1);
            break;
        case Ending::CancelInOnError:
            if (row.synchronous) {
                EXPECT_FALSE(results[i]);
                EXPECT_EQ(raised, "A connection with the server could not be established.") << "the failure's own";
            }
            http.Cancel(); // over already: nothing more happens
            EXPECT_EQ(seen[i]->errors, 1);
            EXPECT_EQ(http.LastError(), row.lastError);
            EXPECT_EQ(http.Text(), "") << "a failed request leaves no answer to read";
            break;
        case Ending::CancelWhenIdle:
            http.Cancel();
            EXPECT_EQ(http.LastError(), 0u);
            EXPECT_EQ(http.Text(), "fine");
            EXPECT_EQ(seen[i]->errors, 0);
            break;
        case Ending::RaiseInDataAvailable:
        case Ending::RaiseInStatusEvent:
            EXPECT_LT(http.ResponseBody().size(), BigBodySize);
            if (row.synchronous && row.raiseExceptions) {
                EXPECT_EQ(raised, "the program stops the transfer") << "the handler's own exception";
            }
            if (row.synchronous && !row.raiseExceptions) {
                EXPECT_FALSE(results[i]) << "an unfinished transfer never returns true";
                EXPECT_EQ(raised, "");
            }
            break;
        case Ending::FailureAfterSuccess:
            if (row.synchronous) {
                EXPECT_FALSE(results[i]);
                EXPECT_EQ(whyNot[i], http.LastError()) << "a failed start is told by the thread's last error too";
            }
            EXPECT_EQ(http.StatusCode(), 0u) << "nothing of the earlier response";
            EXPECT_EQ(http.ResponseHeaders().Count(), 0u);
            EXPECT_EQ(http.ContentLength(), TAdvHttp::UnknownContentLength);
            EXPECT_EQ(http.ResponseHeader("X-Served-By"), "");
            EXPECT_EQ(http.Text(), "");
            break;
        default:
            break;
        }
    }
    for (QPointer<TAdvHttp>& http : components)
        delete http.data();
}

INSTANTIATE_TEST_SUITE_P(Rows, OwnersAndEndings, testing::Combine(testing::ValuesIn(Owners), testing::ValuesIn(Endings)),
                         [](const testing::TestParamInfo<std::tuple<OwnerRow, EndingRow>>& info) {
                             return std::string(std::get<0>(info.param).tag) + "_" + std::get<1>(info.param).tag;
                         });

// The thread a component's events go to (TEventThread::Own) ends in the middle of its request.
// The threads that fire events are shared with other components: none may wait for the ended
// thread. The orphan's request stops with ERROR_INVALID_THREAD_ID, its events are dropped (none
// runs anywhere else), the other components run to their end, and deleting the orphan returns.
TEST_F(Consumer, AComponentWhoseEventThreadEndsMidRequestHoldsNothingUp)
{
    constexpr int others = 8;
    TAdvHttp* orphan = nullptr;
    std::atomic<int> elsewhere{0};
    std::unique_ptr<QThread> eventThread(QThread::create([&] {
        auto* http = new TAdvHttp(nullptr); // belongs to this thread
        http->SetEventThread(TEventThread::Own);
        http->SetURL(Url("/gated"));
        http->SetRaiseExceptions(false);
        QThread* const self = QThread::currentThread();
        const TNotifyEvent where = [&elsewhere, self](TObject*) {
            if (QThread::currentThread() != self)
                ++elsewhere;
        };
        http->OnDataAvailable = where;
        http->OnResponseReceived = where;
        http->OnError = where;
        http->OnRequestComplete = where;
        orphan = http;
        EXPECT_TRUE(http->Execute(false));
        QEventLoop loop; // runs until the body is under way, then the thread ends
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
            if (http->BytesRead() > 0)
                loop.quit();
        });
        poll.start(1);
        QTimer::singleShot(WaitLimitMs, &loop, &QEventLoop::quit);
        loop.exec();
    }));
    eventThread->start();
    ASSERT_TRUE(eventThread->wait(WaitLimitMs + 1000));
    ASSERT_NE(orphan, nullptr);
    gate.Open(); // the rest of the orphan's body comes, and its events with it

    std::atomic<int> completes{0};
    std::vector<std::unique_ptr<TAdvHttp>> components;
    for (int i = 0; i < others; ++i) {
        components.push_back(std::make_unique<TAdvHttp>(nullptr));
        components.back()->SetURL(Url("/big"));
        components.back()->OnRequestComplete = [&](TObject*) { ++completes; };
        ASSERT_TRUE(components.back()->Execute(false));
    }
    EXPECT_TRUE(WaitFor([&] { return completes == others; })) << completes << " of " << others;
    EXPECT_TRUE(WaitFor([&] { return !orphan->Busy(); }));
    EXPECT_EQ(orphan->LastError(), ERROR_INVALID_THREAD_ID);
    EXPECT_EQ(orphan->ErrorText(orphan->LastError()), "Invalid thread identifier.");
    EXPECT_EQ(elsewhere, 0) << "no event ran on another thread than the orphan's";
    const auto started = std::chrono::steady_clock::now();
    delete orphan;
    EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
}

// Freeing later, and events on the component's own thread, need an event loop on that thread;
// where there is none, each way of asking for them fails loudly, and the component stays the program's to free.
TEST_F(Consumer, AComponentWhoseThreadRunsNoEventLoopCannotBeFreedLaterAndSaysSo)
{
    std::vector<std::string> refusals;
    std::thread([&] {
        TAdvHttp http(nullptr);
        for (auto ask : {+[](TAdvHttp& component) { component.SetReleaseOnClose(true); },
                         +[](TAdvHttp& component) { component.PostRelease(); },
                         +[](TAdvHttp& component) { component.SetEventThread(TEventThread::Own); }}) {
            try {
                ask(http);
            } catch (const EInetError& error) {
                refusals.emplace_back(error.what());
            }
        }
        EXPECT_FALSE(http.ReleaseOnClose());
        EXPECT_EQ(http.EventThread(), TEventThread::Firing);
    }).join();
    ASSERT_EQ(refusals.size(), 3u);
    for (const std::string& refusal : refusals)
        EXPECT_NE(refusal.find("runs no event loop"), std::string::npos) << refusal;
}

// ---- freeing a component inside its own handler ----

enum class FreedBy {
    Itself,
    ItsOwner,      // freed with its owner
    TheOther,      // two components whose handlers, running at once, free each other
    ServedHandler, // another component's handler, served while this one's handler frees a third
};

struct SelfFreeRow {
    const char* tag;
    bool synchronous;
    FreedBy freedBy;
    const char* message;
};

const SelfFreeRow SelfFrees[] = {
    {"asynchronous", false, FreedBy::Itself, "while its own event handler runs.*PostRelease"},
    {"synchronous", true, FreedBy::Itself, "while its own event handler runs.*PostRelease"},
    {"ownerFreedAsynchronously", false, FreedBy::ItsOwner, "while its own event handler runs.*PostRelease"},
    {"eachFreesTheOther", false, FreedBy::TheOther, "handlers free each other.*PostRelease"},
    {"byAHandlerServedInsideAFree", false, FreedBy::ServedHandler,
     "while its own event handler runs.*another component's handler served.*PostRelease"},
};

void PrintTo(const SelfFreeRow& row, std::ostream* out)
{
    *out << row.tag;
}

// Each one's OnRequestComplete waits until the other's runs too, then frees the other.
void FreeEachOtherWhenBothRun(TAdvHttp& one, TAdvHttp& other)
{
    auto bothRunning = std::make_shared<std::latch>(2);
    one.OnRequestComplete = [bothRunning, &other](TObject*) {
        bothRunning->arrive_and_wait();
        delete &other;
    };
    other.OnRequestComplete = [bothRunning, &one](TObject*) {
        bothRunning->arrive_and_wait();
        delete &one;
    };
}

// On a widget owner's thread, freeing a component whose worker is busy serves the events sent to
// that thread meanwhile. Here the freed one's handler sleeps on its worker, and the handler that
// frees it has started `starter`, whose OnRequestComplete (served inside that free) frees the
// freeing handler's component.
void FreeInsideAFree(QObject* owner, TAdvHttp& starter, const std::string& quick, const std::string& big)
{
    auto* busy = new TAdvHttp(nullptr);
    busy->SetURL(big);
    auto busyReading = std::make_shared<std::atomic<bool>>(false);
    busy->OnDataAvailable = [busyReading](TObject*) {
        *busyReading = true;
        std::this_thread::sleep_for(2s); // the free below waits this long, serving events
    };
    auto* freeing = new TAdvHttp(owner);
    freeing->SetURL(quick);
    freeing->OnRequestComplete = [&starter, busy](TObject*) {
        static_cast<void>(starter.Execute(false));
        delete busy;
    };
    starter.OnRequestComplete = [freeing](TObject*) { delete freeing; };
    static_cast<void>(busy->Execute(false));
    static_cast<void>(QTest::qWaitFor([&] { return busyReading->load(); }, WaitLimitMs));
    static_cast<void>(freeing->Execute(false));
}

class FreedInItsOwnHandler : public Consumer,
                             public testing::WithParamInterface<std::tuple<OwnerRow, SelfFreeRow>> {};

// Freeing the component while its handler runs would pull it from under the request that fired
// the event, and handlers freeing each other would wait for each other; the program ends with a
// message that names the way out, instead of hanging.
TEST_P(FreedInItsOwnHandler, FailsLoudlyInsteadOfHanging)
{
    const auto& [ownerRow, row] = GetParam();
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            ::alarm(20); // a hang ends the child as a failure, without the message
            std::unique_ptr<QObject> owner = MakeOwner(ownerRow.kind);
            auto* http = new TAdvHttp(owner.get());
            http->SetURL(Url("/ok"));
            if (row.freedBy == FreedBy::TheOther) {
                auto* other = new TAdvHttp(owner.get());
                other->SetURL(Url("/ok"));
                FreeEachOtherWhenBothRun(*http, *other);
                static_cast<void>(other->Execute(false));
            } else if (row.freedBy == FreedBy::ServedHandler) {
                FreeInsideAFree(owner.get(), *http, Url("/ok"), Url("/big"));
            } else if (row.freedBy == FreedBy::ItsOwner) {
                QObject* doomed = owner.release();
                http->OnRequestComplete = [doomed](TObject*) { delete doomed; };
            } else {
                http->OnRequestComplete = [](TObject* sender) { delete sender; };
            }
            if (row.freedBy != FreedBy::ServedHandler) // there a handler starts it
                static_cast<void>(http->Execute(row.synchronous));
            QTest::qWait(WaitLimitMs);
        },
        row.message);
}

std::vector<std::tuple<OwnerRow, SelfFreeRow>> SelfFreesWithOwners()
{
    std::vector<std::tuple<OwnerRow, SelfFreeRow>> rows;
    for (const OwnerRow& owner : Owners) {
        // Two handlers run at once only where events run on the threads that fire them.
        const bool handlersRunAtOnce = !EventsComeToThisThread(owner);
        const bool widget = owner.kind == OwnerKind::HiddenWidget || owner.kind == OwnerKind::ShownWidget;
        for (const SelfFreeRow& selfFree : SelfFrees) {
            const bool fits = selfFree.freedBy == FreedBy::ItsOwner        ? owner.kind != OwnerKind::None
                              : selfFree.freedBy == FreedBy::TheOther      ? handlersRunAtOnce
                              : selfFree.freedBy == FreedBy::ServedHandler ? widget
                                                                           : true;
            if (fits)
                rows.emplace_back(owner, selfFree);
        }
    }
    return rows;
}

INSTANTIATE_TEST_SUITE_P(Rows, FreedInItsOwnHandler, testing::ValuesIn(SelfFreesWithOwners()),
                         [](const testing::TestParamInfo<std::tuple<OwnerRow, SelfFreeRow>>& info) {
                             return std::string(std::get<0>(info.param).tag) + "_" + std::get<1>(info.param).tag;
                         });

// ---- waiting for the end ----

class WaitingForTheEnd : public Consumer, public testing::WithParamInterface<OwnerRow> {};

// As uAdvHttp.h says: on a widget owner's thread a plain wait on CompletionEvent can't end, since
// the request's events wait for that very thread; the wait that lets them in ends. For any other
// owner, events run on the request's threads and a plain wait serves. Either way, once the event
// is signalled the request is over: OnRequestComplete (or OnError) has returned, Busy is false,
// and the next Execute is taken, round after round.
TEST_P(WaitingForTheEnd, WorksTheWayTheHeaderShows)
{
    const OwnerKind kind = GetParam().kind;
    const bool windowed = EventsComeToThisThread(GetParam());
    std::unique_ptr<QObject> owner = MakeOwner(kind);
    auto* http = new TAdvHttp(owner.get());
    http->SetEventThread(GetParam().eventThread);
    http->SetURL(Url("/big"));
    std::atomic<int> data{0};
    std::atomic<int> completes{0};
    QEventLoop loop;
    http->OnDataAvailable = [&](TObject*) { ++data; };
    http->OnRequestComplete = [&](TObject*) {
        std::this_thread::sleep_for(1ms); // a handler that does some work
        ++completes;
        loop.quit();
    };
    std::atomic<int> errors{0};
    http->OnError = [&](TObject*) {
        std::this_thread::sleep_for(1ms);
        ++errors;
        loop.quit();
    };
    ResetEvent(http->CompletionEvent());
    ASSERT_TRUE(http->Execute(false));
    if (windowed) { // the way the header shows; other owners' events come on other threads
        EXPECT_EQ(WaitForSingleObject(http->CompletionEvent(), 200), WAIT_TIMEOUT) << "its events wait for us";
        QTimer::singleShot(WaitLimitMs, &loop, &QEventLoop::quit); // only when something is broken
        loop.exec();
        EXPECT_EQ(completes, 1);
    }
    EXPECT_EQ(WaitForSingleObject(http->CompletionEvent(), static_cast<DWORD>(WaitLimitMs)), WAIT_OBJECT_0);
    EXPECT_EQ(http->ResponseBody().size(), BigBodySize);
    EXPECT_GT(data, 0);

    http->SetURL(Url("/ok"));
    for (int round = 2; round <= WaitRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        ResetEvent(http->CompletionEvent());
        ASSERT_TRUE(http->Execute(false)) << "the next request is taken once the wait has ended";
        if (windowed) {
            QTimer::singleShot(WaitLimitMs, &loop, &QEventLoop::quit);
            loop.exec();
        }
        ASSERT_EQ(WaitForSingleObject(http->CompletionEvent(), static_cast<DWORD>(WaitLimitMs)), WAIT_OBJECT_0);
        EXPECT_FALSE(http->Busy());
        EXPECT_EQ(completes, round) << "OnRequestComplete has returned";
        EXPECT_EQ(http->Text(), "fine");
    }

    // A request that fails likewise: once the event is signalled, OnError has returned.
    http->SetURL(Url("/cut"));
    ResetEvent(http->CompletionEvent());
    ASSERT_TRUE(http->Execute(false));
    if (windowed) {
        QTimer::singleShot(WaitLimitMs, &loop, &QEventLoop::quit);
        loop.exec();
    }
    ASSERT_EQ(WaitForSingleObject(http->CompletionEvent(), static_cast<DWORD>(WaitLimitMs)), WAIT_OBJECT_0);
    EXPECT_FALSE(http->Busy());
    EXPECT_EQ(errors, 1) << "OnError has returned";
    delete http;
}

// ---- ending the process ----

class EndingTheProcess : public Consumer, public testing::WithParamInterface<const char*> {};

// A program may end at any moment, its requests running on every kind of component: the layer's
// and the component's process-wide state outlives every thread that can still reach it. Each
// way of ending runs as a child process (tests/consumer/ExitingProgramTool.cpp), many times.
TEST_P(EndingTheProcess, NeverCrashesWhileRequestsRun)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // The child leaves components running on purpose: what it holds at exit is no leak.
    environment.insert("ASAN_OPTIONS", environment.value("ASAN_OPTIONS") + ":detect_leaks=0");
    // Ending with threads running races the exit-time teardown by nature, and ThreadSanitizer says
    // so; what the row checks under it is that the program never crashes.
    environment.insert("TSAN_OPTIONS", environment.value("TSAN_OPTIONS") + ":report_bugs=0");
    for (int run = 0; run < ExitRuns; ++run) {
        QProcess child;
        child.setProcessEnvironment(environment);
        child.start(EXITING_PROGRAM_PATH, {GetParam(), QString::fromStdString(Url("/endless")), QString::number(run)});
        const bool ended = child.waitForFinished(WaitLimitMs * 2);
        if (!ended)
            child.kill();
        EXPECT_TRUE(ended) << "run " << run << ": still running";
        EXPECT_EQ(child.exitStatus(), QProcess::NormalExit) << "run " << run << ": " << child.readAllStandardError().toStdString();
        EXPECT_EQ(child.exitCode(), 0) << "run " << run << ": " << child.readAllStandardError().toStdString();
        if (HasFailure())
            return;
    }
}

INSTANTIATE_TEST_SUITE_P(Ways, EndingTheProcess,
                         testing::Values("returnFromMain", "exitFromMain", "exitFromAHandler", "exitFromAnotherThread",
                                         "quit", "releaseOnClose"),
                         [](const testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

// ---- a cancel racing a failure ----

class CancelRacingAFailure : public Consumer, public testing::WithParamInterface<OwnerRow> {};

// Another thread cancels a request that fails on its own (its body cut short) at a random
// moment: whichever comes first is its one ending, and the other changes nothing.
TEST_P(CancelRacingAFailure, EndsTheRequestOnceWithTheCodeOfWhicheverCameFirst)
{
    std::unique_ptr<QObject> owner = MakeOwner(GetParam().kind);
    std::mt19937 random(20261209);
    for (int round = 0; round < RaceRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        auto* http = new TAdvHttp(owner.get());
        http->SetEventThread(GetParam().eventThread);
        http->SetURL(Url("/cut"));
        http->SetRaiseExceptions(false);
        std::atomic<int> errors{0};
        std::atomic<int> completes{0};
        std::atomic<DWORD> errorSeen{0};
        http->OnError = [&](TObject* sender) {
            errorSeen = static_cast<TAdvHttp*>(sender)->LastError();
            ++errors;
        };
        http->OnRequestComplete = [&](TObject*) { ++completes; };
        ResetEvent(http->CompletionEvent());
        ASSERT_TRUE(http->Execute(false));
        std::atomic<bool> cancelled{false};
        std::thread canceller([&, delay = std::chrono::microseconds(random() % 3000)] {
            std::this_thread::sleep_for(delay);
            http->Cancel();
            cancelled = true;
        });
        EXPECT_TRUE(WaitFor([&] { return cancelled && WaitForSingleObject(http->CompletionEvent(), 0) == WAIT_OBJECT_0; }));
        canceller.join();
        EXPECT_EQ(errors, 1);
        EXPECT_EQ(completes, 0);
        const DWORD code = http->LastError();
        EXPECT_TRUE(code == ERROR_INTERNET_OPERATION_CANCELLED || code == ERROR_INTERNET_CONNECTION_ABORTED) << code;
        EXPECT_EQ(errorSeen, code) << "the code OnError saw is the one kept";
        delete http;
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, CancelRacingAFailure, testing::ValuesIn(Owners),
                         [](const testing::TestParamInfo<OwnerRow>& info) { return std::string(info.param.tag); });

INSTANTIATE_TEST_SUITE_P(Rows, WaitingForTheEnd, testing::ValuesIn(Owners),
                         [](const testing::TestParamInfo<OwnerRow>& info) { return std::string(info.param.tag); });

} // namespace
