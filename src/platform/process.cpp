#include "platform/process.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

extern char** environ;

namespace platform {

ProcessExit RunProcess(const std::string& program, const std::vector<std::string>& arguments,
                       const std::string& folder, const std::function<void()>& while_waiting) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : arguments)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0)
        return {};
    if (!folder.empty() && posix_spawn_file_actions_addchdir_np(&actions, folder.c_str()) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return {};
    }
    pid_t pid = -1;
    // posix_spawn reports a failed chdir or exec as its own error, so a program that never
    // started is never waited for.
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return {};

    ProcessExit exit;
    exit.started = true;
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            exit.signalled = WIFSIGNALED(status);
            exit.code = exit.signalled ? WTERMSIG(status) : WEXITSTATUS(status);
            return exit;
        }
        if (done < 0 && errno != EINTR)
            return exit;  // not ours to wait for any more (reaped elsewhere)
        if (while_waiting)
            while_waiting();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace platform
