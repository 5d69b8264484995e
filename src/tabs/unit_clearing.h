// The clearing of one unit after a failed write or a refused report (the MAC and key tabs): the
// identity is taken off again at once where the tab's sequence says so, and on the ticks of the
// tab's clearing timer (seven, 500 ms apart).
//
// A UnitClearing belongs to the failed operation: it keeps that operation's connection and unit,
// so every attempt reaches the unit whose write failed, on the session that wrote it (after a
// late write has landed there), and never another unit or a later operation of the same one.
//
// What a caller may rely on:
// - Begin opens the clearing with the failed operation's connection (still the tab's); Attempt
//   runs the clearing once on it; the first attempt that succeeds closes the clearing.
// - When the operation ends with the clearing still open, the tab hands its connection over
//   (Adopt); from then on the clearing stops it when it closes, so a session stays open on the
//   unit only while its clearing runs (at most the seven ticks).
// - Close ends the clearing (stopping an adopted connection) and answers what the operator must
//   know: the unit, and the identity it may still carry, when no attempt succeeded.
// - Serial numbers tell one clearing from the next: a tick or message of a closed clearing is
//   recognised as such and does nothing.
// User-interface thread only.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "device/ZQNet.h"
#include "tabs/tab_prompter.h"

namespace tabs {

class UnitClearing {
  public:
    // One clearing attempt on a connection; true when the identity is off the unit.
    using ClearFunction = std::function<bool(ZQNET_HANDLE)>;

    struct Unit {
        std::string ip;
        long long port = 0;
        std::string identity;  // what the unit may carry, as the tab's list shows it
    };

    UnitClearing() = default;
    UnitClearing(const UnitClearing&) = delete;
    UnitClearing& operator=(const UnitClearing&) = delete;
    ~UnitClearing();

    // Opens a clearing. The tab closes the previous one (Close) before an operation begins, so
    // none is open here; one still open would be closed first.
    void Begin(ZQNET_HANDLE connection, ClearFunction clear, Unit unit);
    bool Open() const { return open_; }
    unsigned Serial() const { return serial_; }

    // One attempt, when open; true when the unit is cleared (the clearing is then closed).
    bool Attempt();
    // The operation has ended: the clearing owns the connection from now on.
    void Adopt(ZQNET_HANDLE connection);

    // A tick of the clearing timer; true on the last one (the seventh), after which the timer
    // stops and the clearing closes with its next attempt.
    bool Tick();
    bool TicksDone() const { return ticks_done_; }
    int TickCount() const { return ticks_.Count(); }

    // Closes the clearing: the unit and identity when it was never cleared, else nothing.
    std::optional<Unit> Close();

  private:
    bool open_ = false;
    bool cleared_ = false;
    bool owns_connection_ = false;
    bool ticks_done_ = false;
    unsigned serial_ = 0;
    ZQNET_HANDLE connection_ = 0;
    ClearFunction clear_;
    Unit unit_;
    ClearingTicks ticks_;
};

}  // namespace tabs
