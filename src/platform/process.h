// Starting a program and waiting for it to end.
//
// RunProcess starts `program` (a full path) with `arguments` in the working folder `folder`,
// with the station's environment and standard streams, and waits for it with no time limit.
// While it waits it calls `while_waiting` (when given) about every 10 ms on the calling thread,
// so a window can keep painting. It returns how the program ended; a program that could not be
// started (missing, not executable, a folder that does not exist) returns at once with
// started == false. Any thread; the caller owns nothing afterwards (the child is reaped).
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace platform {

struct ProcessExit {
    bool started = false;
    bool signalled = false;  // ended by a signal (a crash, a kill)
    int code = 0;            // exit code, or the signal's number when signalled
};

ProcessExit RunProcess(const std::string& program, const std::vector<std::string>& arguments,
                       const std::string& folder, const std::function<void()>& while_waiting);

}  // namespace platform
