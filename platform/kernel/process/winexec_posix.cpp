// Starting a program detached from this process, by fork and exec.
//
// Hand-written rather than QProcess::startDetached because the platform layer keeps Qt to the
// window calls, and because the caller needs the other platform's answers (file not found,
// path not found) that come from our own lookup.
//
// The program runs as a grandchild in its own session: the middle child exits at once and is
// reaped here, so the program belongs to init (or the nearest subreaper) and no zombie stays
// behind. A pipe closed on exec tells whether exec worked: it reads end-of-file on success and
// the errno of a failed exec otherwise.
#include "winexec.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "errhandlingapi.h"
#include "winerror.h"

namespace {

// WinExec's answers: above 31 is success; below it, the reason.
constexpr UINT kStarted = 33;
constexpr UINT kNoResources = 0;
// Programs here carry no extension; a name written for the other platform may.
constexpr std::string_view kProgramExtension = ".exe";

// The words of the command line: separated by blanks, a double-quoted span keeps its blanks
// (the quotes are removed), as the other platform's command lines are written.
std::vector<std::string> SplitCommandLine(std::string_view commandLine)
{
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    bool quoted = false;
    for (const char c : commandLine) {
        if (c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if ((c == ' ' || c == '\t') && !quoted) {
            if (inWord)
                words.push_back(std::move(word));
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord)
        words.push_back(std::move(word));
    return words;
}

bool IsExecutableFile(const std::filesystem::path& path)
{
    std::error_code error;
    return std::filesystem::is_regular_file(path, error) && ::access(path.c_str(), X_OK) == 0;
}

std::filesystem::path OwnFolder()
{
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : self.parent_path();
}

// The folders a bare name is looked up in, in order: the program's own, the current one, then
// PATH (an empty entry there means the current folder).
std::vector<std::filesystem::path> SearchFolders()
{
    std::vector<std::filesystem::path> folders;
    if (auto own = OwnFolder(); !own.empty())
        folders.push_back(std::move(own));
    folders.emplace_back(".");
    const char* path = std::getenv("PATH");
    std::string_view rest = path != nullptr ? path : "";
    while (!rest.empty()) {
        const auto colon = rest.find(':');
        const std::string_view entry = rest.substr(0, colon);
        folders.emplace_back(entry.empty() ? std::string_view(".") : entry);
        rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
    }
    return folders;
}

// The name as written, then without the other platform's program extension.
std::vector<std::string> NameCandidates(const std::string& name)
{
    std::vector<std::string> names{name};
    if (name.size() > kProgramExtension.size()) {
        std::string tail = name.substr(name.size() - kProgramExtension.size());
        for (char& c : tail)
            c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        if (tail == kProgramExtension)
            names.push_back(name.substr(0, name.size() - kProgramExtension.size()));
    }
    return names;
}

struct Lookup {
    std::filesystem::path program;  // empty when nothing was found
    UINT failure = kNoResources;
};

Lookup FindProgram(const std::string& name)
{
    if (name.find('/') != std::string::npos) {
        // A path names its file directly; its folder missing is a different answer.
        const std::filesystem::path path(name);
        for (const std::string& candidate : NameCandidates(name)) {
            if (IsExecutableFile(candidate))
                return {candidate};
        }
        std::error_code error;
        const auto folder = path.parent_path();
        const bool folderExists = folder.empty() || std::filesystem::is_directory(folder, error);
        return {{}, folderExists ? static_cast<UINT>(ERROR_FILE_NOT_FOUND) : static_cast<UINT>(ERROR_PATH_NOT_FOUND)};
    }
    const auto names = NameCandidates(name);
    for (const auto& folder : SearchFolders()) {
        for (const std::string& candidate : names) {
            if (IsExecutableFile(folder / candidate))
                return {folder / candidate};
        }
    }
    return {{}, ERROR_FILE_NOT_FOUND};
}

UINT FailureForErrno(int error)
{
    switch (error) {
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
        return ERROR_ACCESS_DENIED;
    case ENOEXEC:
        return ERROR_BAD_FORMAT;
    default:
        return kNoResources;
    }
}

// Runs in the grandchild, between fork and exec: only async-signal-safe calls.
[[noreturn]] void ExecProgram(const char* program, char* const* argv, int errorPipe)
{
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);  // threads here may block signals the program needs
    signal(SIGPIPE, SIG_DFL);
    const int devNull = ::open("/dev/null", O_RDONLY);
    if (devNull >= 0) {
        ::dup2(devNull, STDIN_FILENO);
        if (devNull != STDIN_FILENO)
            ::close(devNull);
    }
    // Nothing of ours leaks into the program but the standard streams (the pipe is CLOEXEC too).
    ::close_range(3, UINT_MAX, CLOSE_RANGE_CLOEXEC);
    ::execv(program, argv);
    const int error = errno;
    (void)!::write(errorPipe, &error, sizeof error);
    ::_exit(127);
}

// Forks the middle child, which forks the program and exits. The errno of a failed start, or 0.
int StartDetached(const char* program, char* const* argv)
{
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0)
        return errno;
    const pid_t middle = ::fork();
    if (middle < 0) {
        const int error = errno;
        ::close(pipeEnds[0]);
        ::close(pipeEnds[1]);
        return error;
    }
    if (middle == 0) {
        ::close(pipeEnds[0]);
        ::setsid();
        const pid_t program_pid = ::fork();
        if (program_pid == 0)
            ExecProgram(program, argv, pipeEnds[1]);
        if (program_pid < 0) {
            const int error = errno;
            (void)!::write(pipeEnds[1], &error, sizeof error);
        }
        ::_exit(0);
    }
    ::close(pipeEnds[1]);
    int status = 0;
    while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
    }
    int error = 0;
    ssize_t got = 0;
    do {
        got = ::read(pipeEnds[0], &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    ::close(pipeEnds[0]);
    return got == static_cast<ssize_t>(sizeof error) ? error : 0;
}

UINT Fail(UINT failure)
{
    SetLastError(failure == kNoResources ? ERROR_NOT_ENOUGH_MEMORY : failure);
    return failure;
}

}  // namespace

UINT WinExec(LPCSTR commandLine, UINT /*showCommand*/)
{
    std::vector<std::string> words = SplitCommandLine(commandLine != nullptr ? commandLine : "");
    if (words.empty())
        return Fail(ERROR_FILE_NOT_FOUND);
    const Lookup lookup = FindProgram(words.front());
    if (lookup.program.empty())
        return Fail(lookup.failure);

    // Everything the child needs is built before fork: it may not allocate.
    const std::string program = lookup.program.string();
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    const int error = StartDetached(program.c_str(), argv.data());
    if (error != 0)
        return Fail(FailureForErrno(error));
    return kStarted;
}
