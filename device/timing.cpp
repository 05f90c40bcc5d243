#include "device/timing.h"

#include <atomic>

#include "platform/win32.h"

namespace dud {
namespace {

// Null means the system's multimedia clock; only tests install anything else.
std::atomic<TMillisecondSource> g_clock_source{nullptr};

// Ticks per full cycle of the 32-bit millisecond clock, as a 64-bit count.
constexpr uint64_t kClockCycle = uint64_t{1} << 32;

int32_t TicksOf(uint32_t Milliseconds) {
  // Unsigned division: the result is at most 78090314 and fits a signed 32-bit value.
  return static_cast<int32_t>(Milliseconds / MillisecondsPerTick);
}

}  // namespace

uint32_t MillisecondClock() {
  TMillisecondSource source = g_clock_source.load(std::memory_order_acquire);
  return source != nullptr ? source() : static_cast<uint32_t>(timeGetTime());
}

TMillisecondSource SetMillisecondSourceForTesting(TMillisecondSource Source) {
  return g_clock_source.exchange(Source, std::memory_order_acq_rel);
}

void StartTickTimer(TickTimer& Timer, int32_t Ticks) {
  if (Ticks > MaxTimerTicks) Ticks = MaxTimerTicks;
  Timer.StartTicks = TicksOf(MillisecondClock());
  // StartTicks <= 78090314 and Ticks <= 39045157: the sum cannot overflow.
  Timer.ExpireTicks = Timer.StartTicks + Ticks;
}

bool TickTimerExpired(const TickTimer& Timer) {
  const uint32_t ms = MillisecondClock();
  const int32_t now = TicksOf(ms);
  if (now > Timer.ExpireTicks) return true;
  if (now >= Timer.StartTicks) return false;
  // The clock has wrapped since the timer started. Count on from the start's
  // cycle: ticks since then are (ms + 2^32) / 55, which exceeds any ExpireTicks
  // within one more cycle, so a timer started just before the wrap still ends
  // on time rather than weeks later.
  const int64_t continued = static_cast<int64_t>((uint64_t{ms} + kClockCycle) / MillisecondsPerTick);
  return continued > static_cast<int64_t>(Timer.ExpireTicks);
}

TTimerResolution::TTimerResolution() {
  TIMECAPS caps{};
  // Both return TIMERR_NOERROR (0) on success.
  if (timeGetDevCaps(&caps, sizeof(caps)) != TIMERR_NOERROR) return;
  if (timeBeginPeriod(caps.wPeriodMin) != TIMERR_NOERROR) return;
  period_ = caps.wPeriodMin;
}

TTimerResolution::~TTimerResolution() {
  if (period_ != 0) timeEndPeriod(period_);
}

namespace {
// Held from static initialisation to program exit by every program that links
// the device layer's timing, so the device threads' short waits and the tick
// timers run at the finest resolution the system offers.
const TTimerResolution g_program_timer_resolution;
}  // namespace

}  // namespace dud
