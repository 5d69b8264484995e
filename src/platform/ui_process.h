// Running a program from the user-interface thread: the windows keep painting while it runs, but
// nothing else of the program is handled until it has ended, as if the thread were blocked.
//
// RunProgramPainting waits as platform::RunProcess does (no time limit) and, while it waits,
// lets Qt deliver only what keeps the windows drawn (paint, expose, resize and layout events).
// Keyboard and mouse input stays queued for after the wait; the window messages posted to the
// program's windows (window_message.h) and the timer ticks that come due are held back and
// arrive after the wait, in their order. UI thread only.
#pragma once

#include <string>
#include <vector>

#include "platform/process.h"

namespace platform {

ProcessExit RunProgramPainting(const std::string& program,
                               const std::vector<std::string>& arguments,
                               const std::string& folder);

}  // namespace platform
