// Every failure path of a request and of a sign-in, walked: for each kind of platform call
// (threads, events, libcurl's setup, the hive's statements) the operation is run once to count
// its calls, then once for each n with the n-th call failing. Each run must end soundly: the
// whole result, or a failure that is reported (a code, OnError, a message on the page), and a
// component that works again afterwards; never a crash, a hang or a wrong result reported as
// success. Leaks show at the end of the run under AddressSanitizer.
#include "winreg.h" // first: the resolver headers define DELETE as a macro

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "StoredSettings.h"
#include "WizardTestSupport.h"
#include "errhandlingapi.h"
#include "fault_injection.h"
#include "LocalHttpServer.h"
#include "synchapi.h"
#include "uAdvHttp.h"

namespace {

using platform::fault::Kind;
using dorvane::test::LocalHttpServer;

const char* NameOf(Kind kind)
{
    switch (kind) {
    case Kind::CreateThread:
        return "CreateThread";
    case Kind::CreateEvent:
        return "CreateEvent";
    case Kind::CurlSetup:
        return "CurlSetup";
    case Kind::SqliteStep:
        return "SqliteStep";
    }
    return "?";
}

// Ends the program, naming the run, when a run takes longer than any sound one could.
class Watchdog {
public:
    explicit Watchdog(std::string run)
        : m_run(std::move(run))
        , m_thread([this] {
            std::unique_lock lock(m_mutex);
            if (!m_done.wait_for(lock, std::chrono::seconds(60), [this] { return m_finished; })) {
                std::fprintf(stderr, "hung: %s\n", m_run.c_str());
                std::abort();
            }
        })
    {
    }
    ~Watchdog()
    {
        {
            std::lock_guard lock(m_mutex);
            m_finished = true;
        }
        m_done.notify_all();
        m_thread.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    const std::string m_run;
    std::mutex m_mutex;
    std::condition_variable m_done;
    bool m_finished = false;
    std::thread m_thread;
};

// The stretch of a run in which the armed call may fail; the rest (setting up, checking,
// recovering) runs with nothing armed.
class FaultWindow {
public:
    FaultWindow(Kind kind, long n)
        : m_kind(kind)
        , m_n(n)
    {
    }
    void Open() { platform::fault::Arm(m_kind, m_n); }
    void Close()
    {
        m_calls = platform::fault::Calls(m_kind);
        platform::fault::Disarm();
    }
    long Calls() const { return m_calls; }
    // The armed call came, and failed.
    bool Fired() const { return m_n > 0 && m_calls >= m_n; }
    // A failure the component may make good by trying again: its event is made again at the
    // next start. Every other failing call must fail the request it belongs to.
    bool Absorbable() const { return m_kind == Kind::CreateEvent; }

private:
    const Kind m_kind;
    const long m_n;
    long m_calls = 0;
};

// A run's verdict: empty when it ended soundly, else what went wrong.
using Scenario = std::function<std::string(FaultWindow&)>;

std::string Body()
{
    return std::string(40000, 'b'); // three chunks
}

class Service {
public:
    Service()
    {
        m_server.server().Get("/body", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(Body(), "application/octet-stream");
        });
        m_server.server().Get("/wizard_files/make_login.asp", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("17", "text/plain");
        });
        m_server.server().Get("/wizard_files/make_usr.asp", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("1", "text/plain");
        });
        m_started = m_server.start();
    }
    bool Started() const { return m_started; }
    int Port() const { return m_server.port(); }
    std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(Port()) + path; }

private:
    LocalHttpServer m_server;
    bool m_started = false;
};

Service& TheService()
{
    static Service service;
    return service;
}

// What a finished request shows: the whole body and no failure, or a failure that says so.
std::string JudgeRequest(const FaultWindow& window, const TAdvHttp& http, bool succeeded, const std::string& raised,
                         int errors, int completions)
{
    if (succeeded) {
        if (window.Fired() && !window.Absorbable())
            return "reported success although a call failed";
        if (WaitForSingleObject(http.CompletionEvent(), 0) != WAIT_OBJECT_0)
            return "succeeded without signalling CompletionEvent";
        if (http.ResponseBody() != Body())
            return "reported success with " + std::to_string(http.ResponseBody().size()) + " bytes of the body";
        if (http.LastError() != 0 || errors != 0)
            return "reported success, and LastError " + std::to_string(http.LastError());
        if (completions != 1)
            return "succeeded with " + std::to_string(completions) + " OnRequestComplete";
        return {};
    }
    if (http.LastError() == 0)
        return "failed without a code (" + raised + ")";
    if (errors == 0)
        return "failed with " + std::to_string(http.LastError()) + " and no OnError";
    if (completions != 0)
        return "failed, yet OnRequestComplete came";
    if (http.Busy())
        return "still busy after failing";
    return {};
}

std::string SyncRequest(FaultWindow& window, bool raise)
{
    window.Open();
    auto http = std::make_unique<TAdvHttp>(nullptr);
    http->SetRaiseExceptions(raise);
    int errors = 0;
    int completions = 0;
    http->OnError = [&](TObject*) { ++errors; };
    http->OnRequestComplete = [&](TObject*) { ++completions; };
    bool succeeded = false;
    bool returnedFalse = false;
    DWORD reason = 0;
    std::string raised;
    try {
        http->SetURL(TheService().Url("/body"));
        succeeded = http->Execute(true);
        returnedFalse = !succeeded;
        reason = GetLastError();
    } catch (const Exception& error) {
        raised = error.Message().empty() ? "an exception without a message" : error.Message();
    }
    window.Close();
    if (returnedFalse && raise)
        return "returned false with RaiseExceptions true";
    if (returnedFalse && reason != http->LastError())
        return "returned false with " + std::to_string(reason) + " as the reason, LastError " +
               std::to_string(http->LastError());
    if (std::string verdict = JudgeRequest(window, *http, succeeded, raised, errors, completions); !verdict.empty())
        return verdict;
    // The component works again.
    http->SetURL(TheService().Url("/body"));
    if (!http->Execute(true) || http->ResponseBody() != Body())
        return "the next request failed: " + std::to_string(http->LastError());
    return {};
}

std::string AsyncRequest(FaultWindow& window)
{
    window.Open();
    auto http = std::make_unique<TAdvHttp>(nullptr);
    http->SetRaiseExceptions(false);
    std::atomic<int> errors{0};
    std::atomic<int> completions{0};
    http->OnError = [&](TObject*) { ++errors; };
    http->OnRequestComplete = [&](TObject*) { ++completions; };
    bool started = false;
    std::string raised;
    try {
        http->SetURL(TheService().Url("/body"));
        started = http->Execute(false);
    } catch (const Exception& error) {
        raised = error.Message();
    }
    // Busy turns false as OnRequestComplete starts, and CompletionEvent is signalled once it has
    // returned: the request is over when both have happened.
    bool ended = true;
    if (started)
        ended = QTest::qWaitFor([&] {
            return (completions > 0 || errors > 0) && !http->Busy() &&
                   WaitForSingleObject(http->CompletionEvent(), 0) == WAIT_OBJECT_0;
        }, 20000);
    window.Close();
    if (!ended)
        return "the request never ended, or ended without signalling CompletionEvent";
    const bool succeeded = started && errors == 0;
    if (std::string verdict = JudgeRequest(window, *http, succeeded, raised, errors, completions); !verdict.empty())
        return verdict;
    const int before = completions;
    http->SetURL(TheService().Url("/body"));
    if (!http->Execute(false))
        return "the next request failed to start: " + std::to_string(http->LastError());
    if (!QTest::qWaitFor([&] { return completions > before || http->LastError() != 0; }, 20000))
        return "the next request never ended";
    if (http->LastError() != 0 || http->ResponseBody() != Body())
        return "the next request failed: " + std::to_string(http->LastError());
    return {};
}

std::string Stored(const char* name)
{
    const std::optional<StoredValue> value = ReadStoredValue(kSettingsKey, name);
    return value ? value->bytes : "(none)";
}

// The Create path of the wizard, from opening the window to the Thanks page.
std::string SignIn(FaultWindow& window)
{
    ScopedHive hive;
    WriteStoredValue(kServiceKey, "wPath", REG_SZ, StoredString("127.0.0.1:" + std::to_string(TheService().Port())));
    WriteStoredValue(kSettingsKey, "UserName", REG_SZ, StoredString("old"));
    WriteStoredValue(kSettingsKey, "PassWord", REG_SZ, StoredString("\xEF\xEC\xE4\xE5\xF2"));
    ErrorCapture errors;
    window.Open();
    auto form = std::make_unique<TForm1>();
    form->show();
    if (!QTest::qWaitForWindowExposed(form.get()))
        return "the window never showed";
    // What the start could not read it said then; Create reads it again, and may succeed.
    const qsizetype shownAtStart = errors.messages.size();
    ClickButton(form->NextBtn);
    TypeInto(form->txt_Email, "a@b.test");
    TypeInto(form->txt_Login, "alice");
    TypeInto(form->txt_pwd, "abc");
    ClickButton(form->CreateBtn);
    window.Close();
    const std::string page = form->ActivePage().toStdString();
    const std::string shown = errors.messages.join(" / ").toStdString();
    const std::string label = form->Label7->isVisible() ? form->Label7->text().toStdString() : "";
    form.reset();
    const std::string userName = Stored("UserName");
    const std::string password = Stored("PassWord");
    const bool stored = userName == StoredString("alice") && password == StoredString("\xE1\xE2\xE3");
    const bool untouched = userName == StoredString("old") && password == StoredString("\xEF\xEC\xE4\xE5\xF2");
    if (page == "Thanks") {
        if (!stored)
            return "thanked, but stored " + userName + " / " + password;
        if (errors.messages.size() > shownAtStart)
            return "thanked, and showed " + shown;
        return {};
    }
    if (shown.empty() && label.find("error") == std::string::npos)
        return "stayed on " + page + " and told nothing";
    if (!stored && !untouched)
        return "left half the credentials: " + userName + " / " + password;
    return {};
}

struct Row {
    const char* scenario;
    Kind kind;
};

const Scenario& ScenarioOf(const std::string& name)
{
    static const std::map<std::string, Scenario> scenarios = {
        {"syncRequest", [](FaultWindow& window) { return SyncRequest(window, false); }},
        {"syncRequestRaising", [](FaultWindow& window) { return SyncRequest(window, true); }},
        {"asyncRequest", AsyncRequest},
        {"signIn", SignIn},
    };
    return scenarios.at(name);
}

class FaultInjection : public testing::TestWithParam<Row> {
};

TEST_P(FaultInjection, EveryFailingCallEndsInAWholeResultOrAReportedFailure)
{
    ASSERT_TRUE(TheService().Started());
    const Row row = GetParam();
    const Scenario& scenario = ScenarioOf(row.scenario);
    FaultWindow counting(row.kind, 0);
    ASSERT_EQ(scenario(counting), "") << "without a fault";
    const long calls = counting.Calls();
    const auto started = std::chrono::steady_clock::now();
    for (long n = 1; n <= calls; ++n) {
        const std::string run = std::string(row.scenario) + ", " + NameOf(row.kind) + " call " + std::to_string(n) +
                                " of " + std::to_string(calls) + " failing";
        Watchdog watchdog(run);
        FaultWindow window(row.kind, n);
        EXPECT_EQ(scenario(window), "") << run;
    }
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("%s, %s: %ld calls walked in %.1f s\n", row.scenario, NameOf(row.kind), calls, seconds);
}

std::vector<Row> Rows()
{
    std::vector<Row> rows;
    for (const char* scenario : {"syncRequest", "syncRequestRaising", "asyncRequest", "signIn"}) {
        for (Kind kind : {Kind::CreateThread, Kind::CreateEvent, Kind::CurlSetup, Kind::SqliteStep})
            rows.push_back({scenario, kind});
    }
    return rows;
}

INSTANTIATE_TEST_SUITE_P(Walk, FaultInjection, testing::ValuesIn(Rows()),
                         [](const testing::TestParamInfo<Row>& info) {
                             return std::string(info.param.scenario) + "_" + NameOf(info.param.kind);
                         });

} // namespace
