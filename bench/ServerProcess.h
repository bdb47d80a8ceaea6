// The benchmark server (bench_server) as a child process, so that it shares neither the
// client's threads nor its memory: started by the constructor, ended when the destructor closes
// its stdin. Used() asks it for its own CPU time, responses and accepted connections so far.
#pragma once

#include <dirent.h>
#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "LoopbackServer.h"

extern char** environ;

class ServerProcess {
public:
    explicit ServerProcess(const std::string& path)
    {
        int in[2], out[2];
        if (::pipe(in) != 0)
            return;
        if (::pipe(out) != 0) {
            ::close(in[0]);
            ::close(in[1]);
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, in[1]);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        char* args[] = {const_cast<char*>(path.c_str()), nullptr};
        const int spawned = posix_spawn(&m_pid, path.c_str(), &actions, nullptr, args, environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        m_commands = ::fdopen(in[1], "w");
        m_answers = ::fdopen(out[0], "r");
        if (spawned != 0) {
            m_pid = 0;
            return;
        }
        char line[64] = {};
        if (m_answers != nullptr && std::fgets(line, sizeof line, m_answers) != nullptr)
            std::sscanf(line, "port %d", &m_port);
    }
    ~ServerProcess()
    {
        if (m_commands != nullptr)
            std::fclose(m_commands);
        if (m_pid > 0)
            ::waitpid(m_pid, nullptr, 0);
        if (m_answers != nullptr)
            std::fclose(m_answers);
    }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // 0 when the server did not start.
    int Port() const { return m_port; }
    std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(m_port) + path; }

    // Runs every thread of the server on the given CPUs.
    void SetAffinity(const cpu_set_t& cpus)
    {
        const std::string tasks = "/proc/" + std::to_string(m_pid) + "/task";
        DIR* directory = ::opendir(tasks.c_str());
        if (directory == nullptr)
            return;
        while (const dirent* entry = ::readdir(directory)) {
            const pid_t thread = static_cast<pid_t>(std::atoi(entry->d_name));
            if (thread > 0)
                ::sched_setaffinity(thread, sizeof cpus, &cpus);
        }
        ::closedir(directory);
    }

    LoopbackServer::Usage Used()
    {
        LoopbackServer::Usage usage;
        if (m_commands == nullptr || m_answers == nullptr)
            return usage;
        std::fputs("usage\n", m_commands);
        std::fflush(m_commands);
        char line[128] = {};
        unsigned long long responses = 0, connections = 0;
        if (std::fgets(line, sizeof line, m_answers) != nullptr &&
            std::sscanf(line, "usage %lf %llu %llu", &usage.cpuSeconds, &responses, &connections) == 3) {
            usage.responses = responses;
            usage.connections = connections;
        }
        return usage;
    }

private:
    pid_t m_pid = 0;
    FILE* m_commands = nullptr;
    FILE* m_answers = nullptr;
    int m_port = 0;
};
