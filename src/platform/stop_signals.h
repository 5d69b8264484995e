// The signals that end a program from outside (SIGTERM: a shutdown, a logout, a watchdog;
// SIGINT: Ctrl-C; SIGHUP: the terminal went away), delivered to the user-interface thread.
//
// What a caller may rely on:
// - After OnStopSignals, each of those signals calls `on_stop` with its number, once the
//   user-interface thread's event loop runs again (never inside the signal handler). A signal
//   that arrives while the loop does not take socket events (a test script runs) is handled
//   when it does again.
// - Signals before the call keep their default action. Calling it again replaces `on_stop`.
// UI thread only; needs a QCoreApplication.
#pragma once

#include <functional>

namespace platform {

void OnStopSignals(std::function<void(int signal)> on_stop);

}  // namespace platform
