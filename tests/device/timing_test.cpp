// The millisecond clock, the 55 ms tick timer and the timer resolution.
#include "device/timing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <limits>

#include "platform/win32.h"

namespace dud {
namespace {

std::atomic<uint32_t> g_fake_ms{0};
uint32_t FakeClock() { return g_fake_ms.load(); }

constexpr uint32_t kLastMs = std::numeric_limits<uint32_t>::max();  // the clock's value before it wraps to 0

// Runs each case against a clock the test sets.
class TickTimerTest : public testing::Test {
 protected:
  void SetUp() override { previous_ = SetMillisecondSourceForTesting(FakeClock); }
  void TearDown() override { SetMillisecondSourceForTesting(previous_); }

 private:
  TMillisecondSource previous_ = nullptr;
};

TEST_F(TickTimerTest, StartFieldsTable) {
  struct Case {
    uint32_t start_ms;
    int32_t ticks;
    int32_t start_ticks;
    int32_t expire_ticks;
  };
  const Case cases[] = {
      {0, 36, 0, 36},
      {54, 36, 0, 36},  // still tick 0
      {55, 36, 1, 37},
      {110000, 0, 2000, 2000},
      {110000, -5, 2000, 1995},
      {0, MaxTimerTicks, 0, MaxTimerTicks},
      {0, 40000000, 0, MaxTimerTicks},  // limited
      {0, std::numeric_limits<int32_t>::max(), 0, MaxTimerTicks},
      {kLastMs, 36, 78090314, 78090350},  // unsigned division: the highest tick there is
      {kLastMs, 40000000, 78090314, 78090314 + MaxTimerTicks},
      {0x80000000u, 1, 39045157, 39045158},  // past the signed range of milliseconds
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "start_ms=" << c.start_ms << " ticks=" << c.ticks);
    g_fake_ms = c.start_ms;
    TickTimer t;
    StartTickTimer(t, c.ticks);
    EXPECT_EQ(t.StartTicks, c.start_ticks);
    EXPECT_EQ(t.ExpireTicks, c.expire_ticks);
  }
}

TEST_F(TickTimerTest, ExpiryTable) {
  struct Case {
    uint32_t start_ms;
    int32_t ticks;
    uint32_t now_ms;
    bool expired;
  };
  const Case cases[] = {
      // 36 ticks from the start of tick 0: expired once tick 37 begins (37 ticks later).
      {0, 36, 0, false},
      {0, 36, 36 * 55, false},
      {0, 36, 37 * 55 - 1, false},
      {0, 36, 37 * 55, true},
      // Started at the end of tick 0: expires after a little more than 36 ticks.
      {54, 36, 37 * 55 - 1, false},
      {54, 36, 37 * 55, true},
      // Zero ticks: expired with the next tick.
      {110000, 0, 110000, false},
      {110000, 0, 110054, false},
      {110000, 0, 110055, true},
      // Negative ticks: already expired.
      {110000, -1, 110000, true},
      // The limit.
      {0, 40000000, MaxTimerTicks * 55u + 54u, false},
      {0, 40000000, (MaxTimerTicks + 1) * 55u, true},
      // Same tick as the start, and a clock reading earlier than the start: the
      // latter counts as wrapped, a whole cycle later, so long expired.
      {1000000, 36, 999999, false},
      {1000000, 36, 999000, true},
      // The clock wraps 1001 ms after the start at tick 78090296 (expiry 78090332).
      // Counted on across the wrap, tick 78090333 begins at 1019 ms after it.
      {kLastMs - 1000, 36, kLastMs, false},
      {kLastMs - 1000, 36, 0, false},
      {kLastMs - 1000, 36, 1018, false},
      {kLastMs - 1000, 36, 1019, true},
      {kLastMs - 1000, 36, 60000, true},
      // Started on the very last tick.
      {kLastMs, 1, 0, false},
      {kLastMs, 1, 83, false},
      {kLastMs, 1, 84, true},
      // The longest timer started at the last tick ends well into the next cycle.
      {kLastMs, 40000000, 1000, false},
      {kLastMs, 40000000, 2147483663u, false},
      {kLastMs, 40000000, 2147483664u, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "start_ms=" << c.start_ms << " ticks=" << c.ticks << " now_ms=" << c.now_ms);
    g_fake_ms = c.start_ms;
    TickTimer t;
    StartTickTimer(t, c.ticks);
    g_fake_ms = c.now_ms;
    EXPECT_EQ(TickTimerExpired(t), c.expired);
  }
}

TEST_F(TickTimerTest, ThirtySixTicksLastBetween36And37Ticks) {
  // Whatever millisecond of its tick a timer starts in, it expires no sooner than
  // 36 full ticks and no later than 37 after the start.
  for (uint32_t start = 1000 * 55; start < 1000 * 55 + 55; ++start) {
    g_fake_ms = start;
    TickTimer t;
    StartTickTimer(t, 36);
    uint32_t first_expired = 0;
    for (uint32_t now = start; now <= start + 38 * 55; ++now) {
      g_fake_ms = now;
      if (TickTimerExpired(t)) {
        first_expired = now;
        break;
      }
    }
    ASSERT_NE(first_expired, 0u) << start;
    EXPECT_GT(first_expired - start, 36u * 55u) << start;
    EXPECT_LE(first_expired - start, 37u * 55u) << start;
  }
}

TEST_F(TickTimerTest, ClockFollowsTheInstalledSourceAndRestores) {
  g_fake_ms = 123456;
  EXPECT_EQ(MillisecondClock(), 123456u);
  g_fake_ms = kLastMs;
  EXPECT_EQ(MillisecondClock(), kLastMs);

  // Installing the system clock back hands out the fake one as the previous source.
  EXPECT_EQ(SetMillisecondSourceForTesting(nullptr), &FakeClock);
  DWORD before = timeGetTime();
  uint32_t clock = MillisecondClock();
  DWORD after = timeGetTime();
  EXPECT_LE(clock - before, after - before);  // unsigned: correct across a wrap
  EXPECT_EQ(SetMillisecondSourceForTesting(FakeClock), nullptr);
}

TEST(TimerResolution, RaisesToTheFinestOfferedPeriod) {
  TIMECAPS caps{};
  ASSERT_EQ(timeGetDevCaps(&caps, sizeof(caps)), TIMERR_NOERROR);
  TTimerResolution resolution;
  EXPECT_EQ(resolution.Period(), caps.wPeriodMin);
}

}  // namespace
}  // namespace dud
