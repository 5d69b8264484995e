#include "platform/window_timers.h"

#include <QTimerEvent>
#include <utility>

namespace platform {

WindowTimers::WindowTimers(QObject* owner, Handler handler)
    : QObject(owner), handler_(std::move(handler)) {}

WindowTimers::~WindowTimers() {
    for (const auto& [id, qt_id] : qt_ids_) {
        killTimer(qt_id);
    }
}

bool WindowTimers::Start(int id, int interval_ms) {
    if (interval_ms < 0) {
        return false;
    }
    auto it = qt_ids_.find(id);
    if (it != qt_ids_.end()) {
        killTimer(it->second);
        qt_ids_.erase(it);
    }
    int qt_id = startTimer(interval_ms, Qt::PreciseTimer);
    if (qt_id == 0) {
        return false;
    }
    qt_ids_[id] = qt_id;
    return true;
}

bool WindowTimers::Stop(int id) {
    auto it = qt_ids_.find(id);
    if (it == qt_ids_.end()) {
        return false;
    }
    killTimer(it->second);
    qt_ids_.erase(it);
    return true;
}

bool WindowTimers::IsRunning(int id) const {
    return qt_ids_.count(id) != 0;
}

void WindowTimers::timerEvent(QTimerEvent* event) {
    for (const auto& [id, qt_id] : qt_ids_) {
        if (qt_id == event->timerId()) {
            int ticking = id;  // the handler may change the map
            if (handler_) {
                handler_(ticking);
            }
            return;
        }
    }
}

}  // namespace platform
