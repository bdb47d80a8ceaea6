// Starting programs: lookup, arguments, failures, and no child left behind.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

#include "errhandlingapi.h"
#include "winerror.h"
#include "winexec.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr UINT kStarted = 33;
constexpr auto kMarkerLimit = 10s;  // only reached when something is broken

// Writes its arguments after the first into the file the first names; the rename makes the
// file appear complete.
constexpr const char* kStubScript = R"(#!/bin/sh
marker="$1"
shift
printf '%s' "$*" > "$marker.part" && mv "$marker.part" "$marker"
)";

void WriteFile(const fs::path& path, const std::string& text, fs::perms permissions)
{
    std::ofstream(path) << text;
    fs::permissions(path, permissions);
}

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to)
{
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// The marker's text once the program wrote it; nothing if it didn't within the limit.
std::optional<std::string> AwaitMarker(const fs::path& marker)
{
    const auto deadline = std::chrono::steady_clock::now() + kMarkerLimit;
    while (!fs::exists(marker)) {
        if (std::chrono::steady_clock::now() > deadline)
            return std::nullopt;
        std::this_thread::sleep_for(5ms);
    }
    std::ifstream in(marker);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool HasChildren()
{
    return !(::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD);
}

class WinExecTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "winexec-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        const auto executable = fs::perms::owner_all;
        WriteFile(dir_ / "dorvane-stub", kStubScript, executable);
        fs::create_directory(dir_ / "with blank");
        WriteFile(dir_ / "with blank" / "dorvane-stub", kStubScript, executable);
        WriteFile(dir_ / "plain.txt", "not a program\n", fs::perms::owner_read | fs::perms::owner_write);
        WriteFile(dir_ / "no-interpreter", "just text, no #! line\n", executable);

        const char* path = std::getenv("PATH");
        savedPath_ = path != nullptr ? path : "";
        ::setenv("PATH", (dir_.string() + ":" + savedPath_).c_str(), 1);
    }
    void TearDown() override
    {
        ::setenv("PATH", savedPath_.c_str(), 1);
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    std::string Expand(const std::string& command, const fs::path& marker) const
    {
        return ReplaceAll(ReplaceAll(command, "{dir}", dir_.string()), "{marker}", marker.string());
    }

    fs::path dir_;
    std::string savedPath_;
};

TEST_F(WinExecTest, StartsTheProgramWithItsArgumentsAndLeavesNoChild)
{
    struct Case {
        const char* tag;
        const char* command;
        const char* written;
    };
    const Case cases[] = {
        {"bare name on PATH", "dorvane-stub {marker} hello world", "hello world"},
        {"bare name with the other platform's extension", "dorvane-stub.EXE {marker} one", "one"},
        {"absolute path", "{dir}/dorvane-stub {marker}", ""},
        {"quoted path with a blank", "\"{dir}/with blank/dorvane-stub\" {marker} \"two words\"  x", "two words x"},
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tag);
        const fs::path marker = dir_ / ("marker" + std::to_string(index++));
        EXPECT_EQ(WinExec(Expand(c.command, marker).c_str(), 1), kStarted);
        const auto written = AwaitMarker(marker);
        ASSERT_TRUE(written.has_value());
        EXPECT_EQ(*written, c.written);
        EXPECT_FALSE(HasChildren());
    }
}

TEST_F(WinExecTest, ABareNameIsFoundInTheCurrentFolder)
{
    const fs::path folder = dir_ / "current";
    fs::create_directory(folder);
    WriteFile(folder / "here-stub", kStubScript, fs::perms::owner_all);
    const fs::path saved = fs::current_path();
    fs::current_path(folder);
    const fs::path marker = dir_ / "marker-here";
    const UINT result = WinExec(("here-stub " + marker.string() + " here").c_str(), 1);
    fs::current_path(saved);

    EXPECT_EQ(result, kStarted);
    const auto written = AwaitMarker(marker);
    ASSERT_TRUE(written.has_value());
    EXPECT_EQ(*written, "here");
}

TEST_F(WinExecTest, FailuresGiveTheirReason)
{
    struct Case {
        const char* tag;
        const char* command;
        UINT result;
    };
    const Case cases[] = {
        {"empty", "", ERROR_FILE_NOT_FOUND},
        {"blanks only", "   ", ERROR_FILE_NOT_FOUND},
        {"unknown bare name", "no-such-program-here arg", ERROR_FILE_NOT_FOUND},
        {"missing file in a folder that exists", "{dir}/missing", ERROR_FILE_NOT_FOUND},
        {"missing folder", "{dir}/no-folder/program", ERROR_PATH_NOT_FOUND},
        {"file that may not be run", "{dir}/plain.txt", ERROR_FILE_NOT_FOUND},
        {"runnable file that isn't a program", "{dir}/no-interpreter", ERROR_BAD_FORMAT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tag);
        SetLastError(0);
        EXPECT_EQ(WinExec(Expand(c.command, {}).c_str(), 1), c.result);
        EXPECT_EQ(GetLastError(), c.result);
        EXPECT_FALSE(HasChildren());
    }
    SetLastError(0);
    EXPECT_EQ(WinExec(nullptr, 1), ERROR_FILE_NOT_FOUND);
}

}  // namespace
