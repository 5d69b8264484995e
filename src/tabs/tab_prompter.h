// What a tab's operation asks of its window: the message boxes an operator answers and the
// window timers that go with them. The tab's window implements it with real boxes and timers;
// tests implement it with a recorder that answers as an operator would.
//
// An operation calls these on the user-interface thread, in the order the operator sees them.
#pragma once

namespace tabs {

// Kinds of the program's own message box ("Prompt").
inline constexpr int kErrorBox = 0;
inline constexpr int kQuestionBox = 1;  // information with OK and Cancel
inline constexpr int kSuccessBox = 2;

class TabPrompter {
  public:
    // Shows the program's message box with language text `message_id`; true when the operator
    // answered OK (Cancel, Escape, the close box and the closing timer give false).
    virtual bool Box(int message_id, int kind) = 0;
    // Shows the system's plain message box with language text `message_id` (OK only).
    virtual void SystemBox(int message_id) = 0;
    // Starts (or restarts) window timer `id` of the tab with `interval_ms`.
    virtual void StartTimer(int id, int interval_ms) = 0;

  protected:
    ~TabPrompter() = default;
};

// The ticks of a clearing timer (the MAC and key tabs take a unit's identity off again on seven
// ticks, 500 ms apart, after a failure): Tick counts one and answers true on the seventh, when
// the timer must stop and the count starts over. Restarting the timer keeps the count.
class ClearingTicks {
  public:
    static constexpr int kTicks = 7;
    static constexpr int kIntervalMs = 500;

    bool Tick() {
        if (++count_ < kTicks)
            return false;
        count_ = 0;
        return true;
    }
    int Count() const { return count_; }
    void Reset() { count_ = 0; }

  private:
    int count_ = 0;
};

// The row text of a unit the station could not take an identity off again, or could not read
// back after a write whose answer was lost: the unit may carry the identity the row names and is
// to be set aside.
inline constexpr int kUnclearedText = 317;
// The row text of a write whose answer was lost but which the unit took: read back in a new
// session and recorded.
inline constexpr int kTakenLateText = 318;

// The success flag the closing timers look at before they close a "Prompt" box; one for the
// whole program, as the tabs share it.
bool& SuccessFlag();

}  // namespace tabs
