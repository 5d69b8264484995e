// Running a program from the user-interface thread: the windows keep painting while it runs, but
// nothing else of the program is handled until it has ended, as if the thread were blocked.
//
// RunProgramPainting waits as platform::RunProcess does (no time limit) and, while it waits,
// lets Qt deliver only what keeps the windows drawn (paint, expose, resize and layout events).
// Keyboard and mouse input stays queued for after the wait; the window messages posted to the
// program's windows (window_message.h) are held back and arrive after the wait, in their order;
// a window's close (its title bar's close box) is asked again after the wait. A timer tick that
// comes due during the wait is not handled: the timer stays due and ticks at its next interval
// after the wait (a repeating timer loses the ticks in between). UI thread only.
#pragma once

#include <string>
#include <vector>

#include "platform/process.h"

namespace platform {

ProcessExit RunProgramPainting(const std::string& program,
                               const std::vector<std::string>& arguments,
                               const std::string& folder);

}  // namespace platform
