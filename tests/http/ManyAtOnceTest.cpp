// Many components at once: a thousand asynchronous requests in flight together (fewer under the
// sanitizers), each component with a body of its own, every body arriving whole at the component
// that asked for it and every completion delivered exactly once, with and without a windowed owner.
#include <QWidget>

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "HttpTestHelpers.h"
#include "LocalHttpServer.h"
#include "uAdvHttp.h"

using dorvane::test::LocalHttpServer;
using namespace std::chrono_literals;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int ManyComponents = 100;
#else
constexpr int ManyComponents = 1000;
#endif
// Each component holds its Internet handle's descriptors and a connection; the server in this
// process holds the other end.
constexpr rlim_t DescriptorsPerComponent = 8;

// Component i's body: its number, then a run of letters whose length varies from a few bytes to
// several of the component's 16 KiB reads, so that some bodies arrive in many pieces.
std::string BodyOf(int item)
{
    std::string body = "item " + std::to_string(item) + ":";
    const std::size_t length = static_cast<std::size_t>(item) * 7919 % 40000;
    for (std::size_t i = 0; i < length; ++i)
        body += static_cast<char>('a' + (i + static_cast<std::size_t>(item)) % 26);
    return body;
}

// Enough descriptors for every connection on both sides; raising the hard limit works as root.
bool RaiseOpenFileLimit(rlim_t needed)
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return false;
    if (limit.rlim_cur >= needed)
        return true;
    limit.rlim_cur = needed;
    limit.rlim_max = std::max(limit.rlim_max, needed);
    return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

struct Tally {
    std::atomic<int> completions{0};
    std::atomic<int> errors{0};
};

class ManyAtOnce : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(RaiseOpenFileLimit(ManyComponents * DescriptorsPerComponent + 256))
            << "the open-file limit is below what " << ManyComponents << " connections at once need";
        server.server().Get(R"(/item/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
            res.set_content(BodyOf(std::stoi(req.matches[1])), "application/octet-stream");
        });
        // One request per connection, so that no kept-alive connection holds a server thread, and a
        // backlog that takes every connection at once (the library listens with a backlog of 5;
        // listening again on the socket raises it).
        server.server().set_keep_alive_max_count(1);
        server.server().set_socket_options([this](int socket) {
            const int one = 1;
            ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
            listener = socket;
        });
        ASSERT_TRUE(server.start());
        ASSERT_EQ(::listen(listener, ManyComponents), 0);
    }

    std::string Url(int item) const
    {
        return "http://127.0.0.1:" + std::to_string(server.port()) + "/item/" + std::to_string(item);
    }

    LocalHttpServer server;
    int listener = -1;
};

struct OwnerCase {
    const char* tag;
    bool windowed; // events through the notification window, else straight from the worker
};

const OwnerCase ownerCases[] = {
    {"no owner: events come straight from the library's threads", false},
    {"a windowed owner: events come through the window", true},
};

TEST_F(ManyAtOnce, EveryComponentGetsItsOwnBodyWholeAndCompletesExactlyOnce)
{
    for (const OwnerCase& row : ownerCases) {
        SCOPED_TRACE(row.tag);
        QWidget form;
        std::vector<std::unique_ptr<TAdvHttp>> components;
        const auto tallies = std::make_unique<Tally[]>(ManyComponents);
        std::atomic<int> completions{0};
        for (int i = 0; i < ManyComponents; ++i) {
            // The owner frees nothing here: the test deletes every component itself, first.
            auto http = std::make_unique<TAdvHttp>(row.windowed ? &form : nullptr);
            http->SetRaiseExceptions(false);
            http->SetDefaultUi(false);
            http->SetURL(Url(i));
            Tally& tally = tallies[i];
            http->OnRequestComplete = [&tally, &completions](TObject*) {
                ++tally.completions;
                ++completions;
            };
            http->OnError = [&tally](TObject*) { ++tally.errors; };
            components.push_back(std::move(http));
        }
        for (int i = 0; i < ManyComponents; ++i)
            ASSERT_TRUE(components[i]->Execute(false)) << i << ": " << components[i]->LastError();

        ASSERT_TRUE(httptest::WaitFor([&] { return completions.load() >= ManyComponents; }, 90s))
            << completions.load() << " of " << ManyComponents << " completed";
        int wrong = 0;
        for (int i = 0; i < ManyComponents && wrong < 5; ++i) {
            const TAdvHttp& http = *components[i];
            const bool right = http.StatusCode() == 200 && http.LastError() == 0 && tallies[i].errors == 0 &&
                               http.ResponseBody() == BodyOf(i);
            EXPECT_TRUE(right) << "component " << i << ": status " << http.StatusCode() << ", error "
                               << http.LastError() << ", " << http.ResponseBody().size() << " of "
                               << BodyOf(i).size() << " bytes";
            wrong += right ? 0 : 1;
        }
        // Freed first, then counted: a second completion on its way would have arrived by now.
        components.clear();
        for (int i = 0; i < ManyComponents; ++i)
            ASSERT_EQ(tallies[i].completions.load(), 1) << "component " << i;
    }
}

} // namespace
