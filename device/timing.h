// Timing helpers of the device layer and the dispatcher: the millisecond clock,
// a coarse tick timer counted in 55 ms ticks, and the timer resolution held for
// the program's lifetime.
//
// Threads: every function here may be called from any thread; a TickTimer is a
// plain value owned by whoever started it.
#pragma once

#include <cstdint>

namespace dud {

// The multimedia millisecond counter: unsigned 32-bit, wraps after about 49.7 days.
uint32_t MillisecondClock();

// Length of one tick of a TickTimer, in milliseconds.
constexpr uint32_t MillisecondsPerTick = 55;
// The longest timer: the largest signed 32-bit value divided by 55.
constexpr int32_t MaxTimerTicks = 39045157;

// A deadline in ticks of 55 ms since the clock last wrapped.
struct TickTimer {
  int32_t StartTicks = 0;
  int32_t ExpireTicks = 0;
};

// Starts Timer to run for Ticks ticks (at most MaxTimerTicks).
void StartTickTimer(TickTimer& Timer, int32_t Ticks);
// True once the tick count has passed ExpireTicks, also across a wrap of the clock.
bool TickTimerExpired(const TickTimer& Timer);

// Raises the system timer resolution to the finest period the multimedia timer
// offers while the object lives, and lowers it again with the same period. The
// device layer holds one for the whole program (see timing.cpp); more instances
// are harmless, each pairs its own begin and end.
class TTimerResolution {
 public:
  TTimerResolution();
  ~TTimerResolution();
  TTimerResolution(const TTimerResolution&) = delete;
  TTimerResolution& operator=(const TTimerResolution&) = delete;

  // The period raised to, in milliseconds; 0 when the timer refused.
  uint32_t Period() const { return period_; }

 private:
  uint32_t period_ = 0;
};

// PumpOneMessage(), the one-message pump of the same wait loops, lives with the
// window-message code in device/message_pump.h.

// Test seam: replaces the source of MillisecondClock() so that tests can set the
// clock, including just before and after its wrap. nullptr restores the system
// clock. Returns the previous source. Production code never calls it.
using TMillisecondSource = uint32_t (*)();
TMillisecondSource SetMillisecondSourceForTesting(TMillisecondSource Source);

}  // namespace dud
