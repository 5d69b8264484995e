#include "platform/stop_signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <csignal>
#include <utility>

namespace platform {

namespace {

// The handler only writes the signal number into a pipe, which is all it may safely do; the
// read end wakes the event loop.
int pipe_ends[2] = {-1, -1};

void WriteSignal(int signal) {
    const int saved = errno;
    const unsigned char number = static_cast<unsigned char>(signal);
    [[maybe_unused]] ssize_t written = ::write(pipe_ends[1], &number, 1);
    errno = saved;
}

std::function<void(int)>& OnStop() {
    static std::function<void(int)> on_stop;
    return on_stop;
}

}  // namespace

void OnStopSignals(std::function<void(int signal)> on_stop) {
    OnStop() = std::move(on_stop);
    if (pipe_ends[0] >= 0)
        return;
    if (::pipe2(pipe_ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        pipe_ends[0] = pipe_ends[1] = -1;
        return;
    }
    auto* notifier =
        new QSocketNotifier(pipe_ends[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] {
        unsigned char number = 0;
        while (::read(pipe_ends[0], &number, 1) == 1) {
            if (OnStop())
                OnStop()(number);
        }
    });
    struct sigaction action {};
    action.sa_handler = WriteSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(signal, &action, nullptr);
}

}  // namespace platform
