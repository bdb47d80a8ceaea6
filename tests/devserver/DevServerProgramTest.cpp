// The dorvane-devserver program as scripts use it: started with --port 0, read its port from the
// first line of standard output, send requests, stop it with a signal.
#include "DevServerTestSupport.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <optional>
#include <poll.h>
#include <regex>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
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
    explicit ServerProcess(std::vector<std::string> arguments)
    {
        arguments.insert(arguments.begin(), DORVANE_DEVSERVER_PROGRAM);
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
        if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
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

private:
    pid_t m_pid = -1;
    int m_stdout = -1;
    int m_stderr = -1;
    std::string m_errors;
};

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
             {"--port", "70000"}, {"--port", "12ab"}, {"--port"}, {"--frobnicate"}, {"--password-cost", "max"}}) {
        SCOPED_TRACE(arguments[0]);
        ServerProcess server(arguments);
        EXPECT_EQ(server.waitForExit(), 2);
        EXPECT_NE(server.errors().find("Usage: dorvane-devserver"), std::string::npos);
    }
}

TEST(DevServerProgram, AnUnusableDatabaseIsReportedAndNothingListens)
{
    ServerProcess server({"--port", "0", "--db", "/nonexistent-folder/accounts.db"});
    EXPECT_EQ(server.waitForExit(), 1);
    EXPECT_NE(server.errors().find("/nonexistent-folder/accounts.db"), std::string::npos) << server.errors();
}

} // namespace
