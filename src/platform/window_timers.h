// Window timers with the caller's own ids, as a window's timers on the original platform.
//
// A window (any QObject) owns one WindowTimers; Start(id, ms) makes the handler run with `id`
// every `ms` milliseconds on the owner's thread until Stop(id). What a caller may rely on:
// - Starting a timer that is running restarts its interval: the next tick comes `ms` after the
//   call, no tick is lost or added, and nothing else is reset (a tab's own tick counter keeps
//   counting across the restart).
// - Ticks never pile up: a tick that could not be delivered in time is delivered once.
// - The handler may start or stop any timer, the ticking one included; a stopped timer never
//   ticks again until it is started, even if its tick was already due.
// - Ticks are delivered inside nested event loops too (a modal message box keeps them coming).
// - Destroying the owner (or the WindowTimers) stops every timer.
// UI thread only (the thread of the owner).
#pragma once

#include <QObject>
#include <functional>
#include <map>

class QTimerEvent;

namespace platform {

class WindowTimers : public QObject {
    Q_OBJECT
  public:
    using Handler = std::function<void(int id)>;

    // `owner` becomes the QObject parent; the handler is called for every tick.
    WindowTimers(QObject* owner, Handler handler);
    ~WindowTimers() override;

    // Starts timer `id` (any int), or restarts it with the new interval. Returns false only for
    // an interval below 0 (nothing changes then).
    bool Start(int id, int interval_ms);
    // Stops timer `id`; false when it was not running.
    bool Stop(int id);
    bool IsRunning(int id) const;

  protected:
    void timerEvent(QTimerEvent* event) override;

  private:
    Handler handler_;
    std::map<int, int> qt_ids_;  // our id -> Qt's timer id
};

}  // namespace platform
