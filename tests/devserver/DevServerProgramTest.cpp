// The dorvane-devserver program as scripts use it: started with --port 0, read its port from the
// first line of standard output, send requests, stop it with a signal.
#include "AccountStore.h"
#include "DevServerTestSupport.h"

#include <QTest>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <optional>
#include <poll.h>
#include <regex>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <vector>

extern char** environ;

using namespace dorvane::devserver::test;

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto StartDeadline = std::chrono::seconds(20);
constexpr auto StopDeadline = std::chrono::seconds(20);

// Reads from `fd` until `done(text)` holds, the pipe closes or the deadline passes.
template <typename Done>
std::string readUntil(int fd, Clock::time_point deadline, Done done)
{
    std::string text;
    while (!done(text)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
            continue;
        char buffer[4096];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

// One run of the program with its standard output and error on pipes.
class ServerProcess {
public:
    // `runner`, when given, starts the program (setpriv as another user, say).
    explicit ServerProcess(std::vector<std::string> arguments, std::vector<std::string> runner = {})
    {
        arguments.insert(arguments.begin(), DORVANE_DEVSERVER_PROGRAM);
        arguments.insert(arguments.begin(), runner.begin(), runner.end());
        int out[2];
        int err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        std::vector<char*> argv;
        for (std::string& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        if (posix_spawnp(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        m_stdout = out[0];
        m_stderr = err[0];
    }

    ~ServerProcess()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        if (m_stdout >= 0)
            close(m_stdout);
        if (m_stderr >= 0)
            close(m_stderr);
    }

    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // The first line on standard output, without its line break.
    std::string firstLine()
    {
        const std::string text = readUntil(m_stdout, Clock::now() + StartDeadline,
            [](const std::string& t) { return t.find('\n') != std::string::npos; });
        return text.substr(0, text.find('\n'));
    }

    // Sends `signal` and waits for the exit; the exit status, or -1 when it didn't end normally.
    int stop(int signal)
    {
        kill(m_pid, signal);
        return waitForExit();
    }

    int waitForExit()
    {
        const auto deadline = Clock::now() + StopDeadline;
        m_errors = readUntil(m_stderr, deadline, [](const std::string&) { return false; });
        int status = 0;
        while (waitpid(m_pid, &status, WNOHANG) == 0) {
            if (Clock::now() >= deadline)
                return -1;
            usleep(10000);
        }
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    const std::string& errors() const { return m_errors; }
    pid_t pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
    int m_stdout = -1;
    int m_stderr = -1;
    std::string m_errors;
};

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::optional<int> portOf(const std::string& line)
{
    static const std::regex Listening(R"(^listening on 127\.0\.0\.1:([0-9]+)$)");
    std::smatch match;
    if (!std::regex_match(line, match, Listening))
        return std::nullopt;
    return std::stoi(match[1]);
}

TEST(DevServerProgram, PortZeroPrintsTheChosenPortServesItAndLogsWithoutPasswords)
{
    ServerProcess server({"--port", "0"}); // the default, interactive hash cost
    const std::string line = server.firstLine();
    const auto port = portOf(line);
    ASSERT_TRUE(port) << "first line: " << line;

    const Reply created = get(*port,
        "/wizard_files/make_login.asp?userlogin=alice&userpassword=Top%26Secret&email=a%40example.com");
    EXPECT_EQ(created.status, 200);
    EXPECT_EQ(created.body, "1");
    EXPECT_EQ(get(*port, "/wizard_files/make_usr.asp?id=%201").body, "1");

    EXPECT_EQ(server.stop(SIGTERM), 0);
    const std::string& log = server.errors();
    EXPECT_NE(log.find("GET /wizard_files/make_login.asp?userlogin=alice&userpassword=***&email=a%40example.com "
                       "200 \"1\"\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("GET /wizard_files/make_usr.asp?id=%201 200 \"1\"\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("Secret"), std::string::npos) << log;
}

TEST(DevServerProgram, InterruptStopsItCleanly)
{
    ServerProcess server({"--port", "0", "--password-cost", "minimum"});
    ASSERT_TRUE(portOf(server.firstLine()));
    EXPECT_EQ(server.stop(SIGINT), 0);
}

TEST(DevServerProgram, AccountsInADatabaseFileOutliveTheProcess)
{
    TemporaryFolder folder;
    const std::string database = (folder.path() / "accounts.db").string();
    const std::string alice = "/wizard_files/make_login.asp?userlogin=alice&userpassword=pw&email=a";
    {
        ServerProcess server({"--port", "0", "--db", database, "--password-cost", "minimum"});
        const auto port = portOf(server.firstLine());
        ASSERT_TRUE(port);
        EXPECT_EQ(get(*port, alice).body, "1");
        EXPECT_EQ(server.stop(SIGTERM), 0);
    }
    ServerProcess server({"--port", "0", "--db", database, "--password-cost", "minimum"});
    const auto port = portOf(server.firstLine());
    ASSERT_TRUE(port);
    EXPECT_EQ(get(*port, alice).body, "0");
    EXPECT_EQ(get(*port, "/wizard_files/make_login.asp?userlogin=bob&userpassword=pw&email=b").body, "2");
    EXPECT_EQ(server.stop(SIGTERM), 0);
}

TEST(DevServerProgram, BadArgumentsExitWithUsageAndNoServer)
{
    for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
             {"--port", "70000"}, {"--port", "12ab"}, {"--port"}, {"--frobnicate"}, {"--password-cost", "max"},
             {"--max-connections", "0"}, {"--idle-timeout", "soon"}, {"--request-timeout", "-1"}, {"--host", ""},
             {"--db", ""}}) {
        SCOPED_TRACE(arguments[0]);
        ServerProcess server(arguments);
        EXPECT_EQ(server.waitForExit(), 2);
        EXPECT_NE(server.errors().find("Usage: dorvane-devserver"), std::string::npos);
    }
}

// The service is killed (SIGKILL, from the preloaded fault shim) just before each call it makes that
// changes a file while it upgrades a store of release 1.0.0, in turn: the store then opens, whole,
// with every account, upgraded or not at all.
TEST(DevServerProgram, AnUpgradeKilledAtAnyPointLeavesEveryAccountInTheStore)
{
    TemporaryFolder folder;
    const auto path = folder.path() / "accounts.db";
    const auto reset = [&] {
        std::filesystem::remove(path);
        std::filesystem::remove(path.string() + "-journal");
        std::filesystem::copy_file(DORVANE_FIRST_RELEASE_STORE, path);
        std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    };
    const auto withFault = [&](const std::string& fault, auto run) {
        setenv("LD_PRELOAD", DORVANE_FAULT_SHIM, 1);
        setenv("DORVANE_FAULT", fault.c_str(), 1);
        setenv("DORVANE_FAULT_REPORT", (folder.path() / "fault-count").c_str(), 1);
        const std::string asan = std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "";
        setenv("ASAN_OPTIONS", (asan + ":verify_asan_link_order=0").c_str(), 1);
        ServerProcess server({"--port", "0", "--db", path.string(), "--password-cost", "minimum"});
        unsetenv("LD_PRELOAD");
        unsetenv("DORVANE_FAULT");
        unsetenv("DORVANE_FAULT_REPORT");
        setenv("ASAN_OPTIONS", asan.c_str(), 1);
        run(server);
    };
    reset();
    withFault("count", [](ServerProcess& server) {
        ASSERT_TRUE(portOf(server.firstLine()));
        EXPECT_EQ(server.stop(SIGTERM), 0);
    });
    int points = 0;
    std::ifstream(folder.path() / "fault-count") >> points;
    ASSERT_GT(points, 0);
    for (int point = 1; point <= points; ++point) {
        SCOPED_TRACE("killed before call " + std::to_string(point) + " of " + std::to_string(points));
        reset();
        withFault("kill:" + std::to_string(point), [](ServerProcess& server) { EXPECT_EQ(server.waitForExit(), -1); });
        dorvane::devserver::AccountStore store;
        ASSERT_TRUE(store.open(path.string())) << store.errorText();
        for (int64_t id = 1; id <= 5; ++id)
            EXPECT_TRUE(store.findById(id)) << id;
        EXPECT_EQ(store.findByLogin("ÜNÏ")->id, 2);
    }
}

// Root writes any file, so the read-only case runs as nobody when the test runs as root.
std::vector<std::string> asUnprivilegedUser()
{
    if (geteuid() != 0)
        return {};
    return {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
}

// A database file of SQLite's own making, holding what `sql` leaves.
std::string sqliteFile(const std::filesystem::path& path, const char* sql)
{
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return path.string();
}

// Whether the process has the file open (it has reached the store).
bool holdsOpen(pid_t pid, const std::string& path)
{
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
        if (std::filesystem::read_symlink(entry.path(), error) == path)
            return true;
    }
    return false;
}

// Each row: the store the service is started on, and what it says; none listens. A signal during
// start-up ends it at once.
TEST(DevServerProgram, AnUnusableDatabaseOrAddressIsReportedAsWhatFailedAndNothingListens)
{
    TemporaryFolder folder;
    std::filesystem::permissions(folder.path(), std::filesystem::perms::all); // reachable for nobody
    const std::string readOnly = (folder.path() / "read-only.db").string();
    { std::ofstream(readOnly) << ""; }
    std::filesystem::permissions(readOnly, std::filesystem::perms::owner_read | std::filesystem::perms::others_read);
    const auto readOnlyFolder = folder.path() / "read-only-folder";
    std::filesystem::create_directory(readOnlyFolder);
    const std::string inReadOnlyFolder = (readOnlyFolder / "accounts.db").string();
    {
        dorvane::devserver::AccountStore store; // a store that opens without a write
        ASSERT_TRUE(store.open(inReadOnlyFolder));
    }
    std::filesystem::permissions(inReadOnlyFolder, std::filesystem::perms::all);
    std::filesystem::permissions(readOnlyFolder, std::filesystem::perms::owner_all | std::filesystem::perms::others_read
                                                     | std::filesystem::perms::others_exec);
    const std::string fifo = (folder.path() / "fifo.db").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string notes = sqliteFile(folder.path() / "notes.db", "CREATE TABLE notes(text TEXT)");
    const std::string foreign = sqliteFile(folder.path() / "foreign.db", "CREATE TABLE accounts(id INTEGER, name TEXT)");
    const std::string locked = (folder.path() / "locked.db").string();
    {
        dorvane::devserver::AccountStore store;
        ASSERT_TRUE(store.open(locked));
    }
    sqlite3* holder = nullptr; // another program writing the store, for as long as the test runs
    ASSERT_EQ(sqlite3_open(locked.c_str(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);

    struct Case {
        const char* tag;
        std::string database;
        std::vector<std::string> runner;
        std::string message;
        int exitCode = 1;
        bool stopWhileOpening = false; // SIGTERM once it holds the store open
        std::vector<std::string> listenOn = {"--port", "0"};
    };
    const std::string fine = (folder.path() / "fine.db").string();
    const int taken = socket(AF_INET, SOCK_STREAM, 0); // a port another program listens on
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(taken, 1), 0);
    ASSERT_EQ(getsockname(taken, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string takenPort = std::to_string(ntohs(address.sin_port));
    const Case cases[] = {
        {"missing folder", "/nonexistent-folder/accounts.db", {}, "cannot create /nonexistent-folder/accounts.db: "},
        {"a folder", folder.path().string(), {}, folder.path().string() + " is a folder, not a regular file"},
        {"a FIFO", fifo, {}, fifo + " is a FIFO, not a regular file"},
        {"read-only file", readOnly, asUnprivilegedUser(),
         "cannot open " + readOnly + " for writing: Permission denied"},
        {"a writable file in a read-only folder", inReadOnlyFolder, asUnprivilegedUser(),
         "cannot write in " + readOnlyFolder.string() + ", where " + inReadOnlyFolder
             + " keeps its journal: Permission denied"},
        {"another program's database", notes, {}, notes + " holds other tables (notes): not an account database"},
        {"an accounts table of another layout", foreign, {},
         foreign + " has an accounts table of another layout (id, name): not an account database"},
        {"a store another program holds locked", locked, {},
         "cannot open " + locked + ": database is locked (another program holds it; try again when it is done)"},
        {"a locked store's wait, ended by SIGTERM", locked, {}, "dorvane-devserver: stopped", 0, true},
        {"a host name that doesn't resolve", fine, {}, "cannot listen on nowhere.invalid:0: the name does not resolve (",
         1, false, {"--host", "nowhere.invalid", "--port", "0"}},
        {"a port another program listens on", fine, {},
         "cannot listen on 127.0.0.1:" + takenPort + ": the port is in use, or the address is not one of this machine's",
         1, false, {"--host", "127.0.0.1", "--port", takenPort}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tag);
        const auto started = Clock::now();
        std::vector<std::string> arguments = c.listenOn;
        arguments.insert(arguments.end(), {"--db", c.database});
        ServerProcess server(arguments, c.runner);
        if (c.stopWhileOpening) {
            ASSERT_TRUE(QTest::qWaitFor([&] { return holdsOpen(server.pid(), c.database); }, 10000));
            kill(server.pid(), SIGTERM);
        }
        EXPECT_EQ(server.waitForExit(), c.exitCode);
        EXPECT_NE(server.errors().find(c.message), std::string::npos) << server.errors();
        EXPECT_EQ(server.errors().find("listening"), std::string::npos);
        const auto says = [](const std::string& text) { return text.find("not an account database") != std::string::npos; };
        EXPECT_EQ(says(server.errors()), says(c.message)) << server.errors();
        std::cout << "[ measured ] " << c.tag << ": ended after " << secondsSince(started) << " s\n";
    }
    sqlite3_close(holder);
    close(taken);
}

} // namespace

namespace {

// --- slow and many peers -------------------------------------------------------------------------

// Raw loopback connections of the kinds that used to stop the service.
class Peers {
public:
    Peers() = default;
    ~Peers() { closeAll(); }
    Peers(const Peers&) = delete;
    Peers& operator=(const Peers&) = delete;

    // Connects `count` peers and sends each `opening` (nothing for idle peers).
    void connect(int port, int count, const std::string& opening)
    {
        connectEach(port, count, [&](int) { return opening; });
    }

    // Connects `count` peers and sends the i-th `opening(i)`.
    void connectEach(int port, int count, const std::function<std::string(int)>& openingOf)
    {
        for (int i = 0; i < count; ++i) {
            const std::string opening = openingOf(i);
            const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address {};
            address.sin_family = AF_INET;
            address.sin_port = htons(static_cast<uint16_t>(port));
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
                ADD_FAILURE() << "connect: " << std::strerror(errno);
                if (fd >= 0)
                    close(fd);
                return;
            }
            if (!opening.empty())
                static_cast<void>(send(fd, opening.data(), opening.size(), MSG_NOSIGNAL));
            m_fds.push_back(fd);
        }
    }

    // One more header line on every peer (a slow client's next dribble); the empty line ends the
    // request's head.
    void dribble(const std::string& line = "X-Slow: still here\r\n")
    {
        for (const int fd : m_fds)
            static_cast<void>(send(fd, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT));
    }

    // How many peers the server has closed (EOF or reset), waiting until all are or the deadline
    // passes; `answers` collects what was read before the close.
    size_t waitForClosed(Clock::time_point deadline, std::string* answers = nullptr)
    {
        std::vector<bool> closed(m_fds.size(), false);
        size_t count = 0;
        while (count < m_fds.size() && Clock::now() < deadline) {
            std::vector<pollfd> polls;
            for (const int fd : m_fds)
                polls.push_back({fd, POLLIN, 0});
            if (poll(polls.data(), polls.size(), 50) <= 0)
                continue;
            for (size_t i = 0; i < polls.size(); ++i) {
                if (closed[i] || polls[i].revents == 0)
                    continue;
                char buffer[512];
                const ssize_t n = recv(m_fds[i], buffer, sizeof buffer, MSG_DONTWAIT);
                if (n > 0 && answers != nullptr)
                    answers->append(buffer, static_cast<size_t>(n));
                if (n <= 0 && !(n < 0 && errno == EAGAIN)) {
                    closed[i] = true;
                    ++count;
                }
            }
        }
        return count;
    }

    void closeAll()
    {
        for (const int fd : m_fds)
            close(fd);
        m_fds.clear();
    }

private:
    std::vector<int> m_fds;
};

// Room for thousands of sockets in this process and in the server it starts.
void raiseOpenFileLimit()
{
    constexpr rlim_t needed = 8192;
    rlimit files {};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &files), 0);
    if (files.rlim_max < needed && geteuid() == 0)
        files.rlim_max = needed; // root may raise the hard limit too
    files.rlim_cur = files.rlim_max;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &files), 0);
    ASSERT_GE(files.rlim_cur, 4500u) << "the hard open-file limit is too low for this suite";
}


const std::string SlowHead = "GET /wizard_files/make_usr.asp?id=1 HTTP/1.1\r\nHost: x\r\n";
const std::string HugeHead = "GET / HTTP/1.1\r\nX-Big: " + std::string(64 * 1024, 'x') + "\r\n\r\n";
const std::string NormalRequest = "/wizard_files/make_login.asp?userlogin=normal&userpassword=pw&email=e";

// Each row holds peers of some kinds against a fresh service, then checks that a normal request
// is answered within the bound, that the peers that must be closed are, and that SIGTERM ends
// the service promptly with all of them still there. Measured times go to the test's output.
struct PeerCase {
    const char* tag;
    std::vector<std::string> options;
    int slow = 0;     // request heads that stop half-way, a header line now and then
    int idle = 0;     // connections that send nothing
    int huge = 0;     // request heads far over the limit
    int burst = 0;    // connections beyond --max-connections, opened after the others
    bool normalAnswered = true;  // a normal request while all are held (else 503)
    bool heldClosed = false;     // the slow and idle peers are closed by the server in time
    int signUps = 0;             // whole sign-ups sent at once, each on its own connection
    int trickling = 0;           // requests whose head comes a line every TrickleEvery
    std::chrono::milliseconds trickleFor {0}; // how long they trickle before the head ends
    bool trickledAnswered = false; // they are answered (else closed, unanswered, while trickling)
};

constexpr auto AnswerBound = std::chrono::seconds(5);
constexpr auto TrickleEvery = std::chrono::milliseconds(300);
// A request that needs no hash, asked while the peers are held.
const std::string CheapRequest = "/wizard_files/make_usr.asp?id=999";
// The sign-ups past the bound are answered 503 at once; those within it wait for their hash.
constexpr int MaxWaitingSignUps = 16;
constexpr auto StopBound = std::chrono::seconds(5);
constexpr auto CloseBound = std::chrono::seconds(6);

TEST(DevServerPeers, SlowIdleAndGreedyPeersCostTheirConnectionsNeverTheService)
{
    raiseOpenFileLimit();
    const std::vector<std::string> quiet = {"--port", "0", "--password-cost", "minimum"};
    const PeerCase cases[] = {
        {"1000 slow and 1000 idle, held", {"--idle-timeout", "60", "--request-timeout", "60"}, 1000, 1000},
        {"slow and idle past their deadlines", {"--idle-timeout", "1", "--request-timeout", "2"}, 50, 50, 0, 0,
         true, true},
        {"heads over the limit", {}, 0, 0, 20},
        {"a burst past the connection limit", {"--max-connections", "100"}, 50, 50, 0, 200, false},
        {"a burst of sign-ups at the interactive cost", {"--password-cost", "interactive"}, 0, 0, 0, 0, false, false,
         100},
        {"a request trickling in, a line at a time", {"--idle-timeout", "1", "--request-timeout", "30"}, 0, 0, 0, 0,
         true, false, 0, 5, std::chrono::milliseconds(1600), true},
        {"a request trickling past its deadline", {"--idle-timeout", "30", "--request-timeout", "1"}, 0, 0, 0, 0,
         true, false, 0, 5, std::chrono::milliseconds(2500), false},
    };
    for (const PeerCase& c : cases) {
        SCOPED_TRACE(c.tag);
        std::vector<std::string> arguments = quiet;
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        ServerProcess server(arguments);
        const auto port = portOf(server.firstLine());
        ASSERT_TRUE(port);

        Peers slow;
        slow.connect(*port, c.slow, SlowHead);
        Peers idle;
        idle.connect(*port, c.idle, "");
        Peers huge;
        huge.connect(*port, c.huge, HugeHead);
        slow.dribble();
        Peers signUps;
        signUps.connectEach(*port, c.signUps, [](int i) {
            return "GET /wizard_files/make_login.asp?userlogin=burst" + std::to_string(i)
                + "&userpassword=pw&email=e HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
        });

        if (c.trickling > 0) {
            Peers trickling;
            trickling.connect(*port, c.trickling, SlowHead);
            const auto start = Clock::now();
            size_t closed = 0;
            while (Clock::now() < start + c.trickleFor && closed < static_cast<size_t>(c.trickling)) {
                trickling.dribble();
                closed = trickling.waitForClosed(std::min(Clock::now() + TrickleEvery, start + c.trickleFor));
            }
            if (c.trickledAnswered) {
                EXPECT_EQ(closed, 0u) << "closed while it still sent";
                trickling.dribble("\r\n");
                std::string answers;
                trickling.waitForClosed(Clock::now() + CloseBound, &answers);
                size_t answered = 0;
                for (auto at = answers.find("HTTP/1.1 200 OK"); at != std::string::npos;
                     at = answers.find("HTTP/1.1 200 OK", at + 1))
                    ++answered;
                EXPECT_EQ(answered, static_cast<size_t>(c.trickling)) << answers;
            } else {
                EXPECT_EQ(closed, static_cast<size_t>(c.trickling));
                std::cout << "[ measured ] " << c.tag << ": closed " << secondsSince(start) << " s after its first byte\n";
            }
        }

        if (c.burst > 0) {
            Peers burst;
            const auto start = Clock::now();
            burst.connect(*port, c.burst, "");
            std::string answers;
            EXPECT_EQ(burst.waitForClosed(start + CloseBound, &answers), static_cast<size_t>(c.burst));
            EXPECT_NE(answers.find("HTTP/1.1 503 Service Unavailable"), std::string::npos);
            std::cout << "[ measured ] " << c.tag << ": " << c.burst << " refused in " << secondsSince(start) << " s\n";
        }

        if (c.burst == 0) { // with room for one more connection
            const auto cheapAsked = Clock::now();
            EXPECT_EQ(get(*port, CheapRequest).body, "0");
            const double cheapIn = secondsSince(cheapAsked);
            EXPECT_LT(cheapIn, std::chrono::duration<double>(AnswerBound).count());
            std::cout << "[ measured ] " << c.tag << ": a request needing no hash answered in " << cheapIn << " s\n";
        }

        const auto asked = Clock::now();
        const Reply reply = get(*port, NormalRequest);
        const double answeredIn = secondsSince(asked);
        if (c.normalAnswered) {
            EXPECT_EQ(reply.body, "1");
            EXPECT_LT(answeredIn, std::chrono::duration<double>(AnswerBound).count());
            std::cout << "[ measured ] " << c.tag << ": normal request answered in " << answeredIn << " s\n";
        } else {
            EXPECT_EQ(reply.status, 503);
        }
        if (c.huge > 0) {
            std::string answers;
            EXPECT_EQ(huge.waitForClosed(Clock::now() + CloseBound, &answers), static_cast<size_t>(c.huge));
            EXPECT_NE(answers.find("HTTP/1.1 431 "), std::string::npos);
        }
        if (c.heldClosed) {
            const auto start = Clock::now();
            EXPECT_EQ(slow.waitForClosed(start + CloseBound) + idle.waitForClosed(start + CloseBound),
                      static_cast<size_t>(c.slow + c.idle));
            std::cout << "[ measured ] " << c.tag << ": held peers closed after " << secondsSince(start) << " s\n";
        }
        if (c.signUps > 0) {
            // Those past the bound were answered 503 at once, and their connections closed.
            std::string answers;
            signUps.waitForClosed(Clock::now() + std::chrono::seconds(1), &answers);
            size_t refused = 0;
            for (auto at = answers.find("HTTP/1.1 503 "); at != std::string::npos; at = answers.find("HTTP/1.1 503 ", at + 1))
                ++refused;
            // A few hashes may end while the burst still arrives (a loaded machine, a sanitizer),
            // each making room for one more.
            EXPECT_GE(refused, static_cast<size_t>(c.signUps - MaxWaitingSignUps - 4));
            std::cout << "[ measured ] " << c.tag << ": " << refused << " of " << c.signUps << " refused with 503\n";
        } else if (!c.normalAnswered) {
            slow.closeAll(); // room again: served as usual
            idle.closeAll();
            EXPECT_TRUE(QTest::qWaitFor([&] { return get(*port, NormalRequest).body == "1"; }, 5000));
        }

        const auto stopping = Clock::now();
        EXPECT_EQ(server.stop(SIGTERM), 0);
        const double stoppedIn = secondsSince(stopping);
        EXPECT_LT(stoppedIn, std::chrono::duration<double>(StopBound).count());
        std::cout << "[ measured ] " << c.tag << ": SIGTERM ended it in " << stoppedIn << " s\n";
    }
}

} // namespace
