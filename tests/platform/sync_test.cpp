// Events, waits, threads and the clock of the platform layer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/win32.h"

namespace {

constexpr DWORD kHangGuardMs = 5000;  // bounds waits that should succeed

using SteadyClock = std::chrono::steady_clock;

int64_t MillisecondsSince(SteadyClock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start).count();
}

// Closes its handle when it goes, so that a failing assertion leaks nothing.
class Handle {
 public:
  explicit Handle(HANDLE h) : h_(h) {}
  ~Handle() {
    if (h_ != nullptr) CloseHandle(h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return h_; }
  // Closes now; the value stays readable as a stale handle.
  BOOL Close() {
    BOOL ok = CloseHandle(h_);
    h_ = nullptr;
    return ok;
  }

 private:
  HANDLE h_;
};

HANDLE NewEvent(bool manual, bool initial) { return CreateEventA(nullptr, manual, initial, nullptr); }

bool IsSet(HANDLE ev) { return WaitForSingleObject(ev, 0) == WAIT_OBJECT_0; }

// ---------------------------------------------------------------- events

TEST(PlatformEvents, InitialStateAndResetKindTable) {
  struct Case {
    bool manual;
    bool initial;
    DWORD first_wait;
    DWORD second_wait;  // what a second wait sees without any SetEvent in between
  };
  const Case cases[] = {
      {false, false, WAIT_TIMEOUT, WAIT_TIMEOUT},
      {false, true, WAIT_OBJECT_0, WAIT_TIMEOUT},  // auto-reset: the first wait takes the signal
      {true, false, WAIT_TIMEOUT, WAIT_TIMEOUT},
      {true, true, WAIT_OBJECT_0, WAIT_OBJECT_0},  // manual reset: stays set
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "manual=" << c.manual << " initial=" << c.initial);
    Handle ev(NewEvent(c.manual, c.initial));
    ASSERT_NE(ev.get(), nullptr);
    EXPECT_EQ(WaitForSingleObject(ev.get(), 0), c.first_wait);
    EXPECT_EQ(WaitForSingleObject(ev.get(), 0), c.second_wait);
  }
}

TEST(PlatformEvents, SetAndResetManualEvent) {
  Handle ev(NewEvent(true, false));
  ASSERT_TRUE(SetEvent(ev.get()));
  EXPECT_TRUE(IsSet(ev.get()));
  EXPECT_TRUE(IsSet(ev.get()));
  ASSERT_TRUE(ResetEvent(ev.get()));
  EXPECT_FALSE(IsSet(ev.get()));
}

TEST(PlatformEvents, AutoResetEventSetTwiceReleasesOneWait) {
  Handle ev(NewEvent(false, false));
  SetEvent(ev.get());
  SetEvent(ev.get());  // a set event stays one signal, not a count
  EXPECT_TRUE(IsSet(ev.get()));
  EXPECT_FALSE(IsSet(ev.get()));
}

TEST(PlatformEvents, ResetEventClearsPendingAutoReset) {
  Handle ev(NewEvent(false, true));
  ResetEvent(ev.get());
  EXPECT_FALSE(IsSet(ev.get()));
}

TEST(PlatformEvents, NamedEventIsRefused) {
  EXPECT_EQ(CreateEventA(nullptr, FALSE, FALSE, "shared"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  Handle empty_name(CreateEventA(nullptr, FALSE, FALSE, ""));  // an empty name is no name
  EXPECT_NE(empty_name.get(), nullptr);
}

TEST(PlatformEvents, TimedWaitTimesOutNoEarlierThanAsked) {
  Handle ev(NewEvent(false, false));
  auto start = SteadyClock::now();
  EXPECT_EQ(WaitForSingleObject(ev.get(), 60), WAIT_TIMEOUT);
  EXPECT_GE(MillisecondsSince(start), 60);
}

TEST(PlatformEvents, WaiterWakesWhenAnotherThreadSets) {
  Handle ev(NewEvent(false, false));
  std::thread setter([&] {
    Sleep(20);
    SetEvent(ev.get());
  });
  EXPECT_EQ(WaitForSingleObject(ev.get(), kHangGuardMs), WAIT_OBJECT_0);
  setter.join();
  EXPECT_FALSE(IsSet(ev.get()));  // the waiter took the auto-reset signal
}

TEST(PlatformEvents, InfiniteWaitWakesOnSet) {
  Handle ev(NewEvent(true, false));
  Handle done(NewEvent(true, false));
  std::atomic<DWORD> result{WAIT_FAILED};
  std::thread waiter([&] {
    result = WaitForSingleObject(ev.get(), INFINITE);
    SetEvent(done.get());
  });
  Sleep(20);
  SetEvent(ev.get());
  EXPECT_EQ(WaitForSingleObject(done.get(), kHangGuardMs), WAIT_OBJECT_0);
  waiter.join();
  EXPECT_EQ(result.load(), WAIT_OBJECT_0);
}

TEST(PlatformEvents, AutoResetSetWakesExactlyOneOfTwoWaiters) {
  Handle ev(NewEvent(false, false));
  Handle first_woke(NewEvent(true, false));
  std::atomic<int> woken{0};
  auto wait = [&] {
    if (WaitForSingleObject(ev.get(), kHangGuardMs) == WAIT_OBJECT_0) {
      ++woken;
      SetEvent(first_woke.get());
    }
  };
  std::thread a(wait), b(wait);
  Sleep(20);  // let both block; a signal set earlier is kept by the event anyway
  SetEvent(ev.get());
  ASSERT_EQ(WaitForSingleObject(first_woke.get(), kHangGuardMs), WAIT_OBJECT_0);
  // Give a wrongly woken second waiter the chance to show itself.
  Sleep(50);
  EXPECT_EQ(woken.load(), 1);
  SetEvent(ev.get());  // releases the other one
  a.join();
  b.join();
  EXPECT_EQ(woken.load(), 2);
  EXPECT_FALSE(IsSet(ev.get()));
}

TEST(PlatformEvents, ManualSetWakesEveryWaiter) {
  constexpr int kWaiters = 8;
  Handle ev(NewEvent(true, false));
  std::atomic<int> woken{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kWaiters; ++i)
    threads.emplace_back([&] {
      if (WaitForSingleObject(ev.get(), kHangGuardMs) == WAIT_OBJECT_0) ++woken;
    });
  Sleep(20);
  SetEvent(ev.get());
  for (auto& t : threads) t.join();
  EXPECT_EQ(woken.load(), kWaiters);
}

TEST(PlatformEvents, PingPongLosesNoSignal) {
  // Two auto-reset events handed back and forth: a lost wake-up hangs one side
  // until its guard runs out and shows as a failed round.
  constexpr int kRounds = 2000;
  Handle ping(NewEvent(false, false)), pong(NewEvent(false, false));
  std::atomic<int> failures{0};
  std::thread other([&] {
    for (int i = 0; i < kRounds; ++i) {
      if (WaitForSingleObject(ping.get(), kHangGuardMs) != WAIT_OBJECT_0) ++failures;
      SetEvent(pong.get());
    }
  });
  for (int i = 0; i < kRounds; ++i) {
    SetEvent(ping.get());
    if (WaitForSingleObject(pong.get(), kHangGuardMs) != WAIT_OBJECT_0) ++failures;
  }
  other.join();
  EXPECT_EQ(failures.load(), 0);
}

// ---------------------------------------------------------------- multiple objects

TEST(PlatformWaitMultiple, AnyReportsLowestSignalledIndexAndTakesOnlyThat) {
  Handle a(NewEvent(false, false)), b(NewEvent(false, true)), c(NewEvent(false, true));
  HANDLE hs[] = {a.get(), b.get(), c.get()};
  EXPECT_EQ(WaitForMultipleObjects(3, hs, FALSE, 0), WAIT_OBJECT_0 + 1);
  EXPECT_FALSE(IsSet(b.get()));
  EXPECT_EQ(WaitForMultipleObjects(3, hs, FALSE, 0), WAIT_OBJECT_0 + 2);
  EXPECT_EQ(WaitForMultipleObjects(3, hs, FALSE, 0), WAIT_TIMEOUT);
}

TEST(PlatformWaitMultiple, AnyWakesOnLaterSet) {
  Handle a(NewEvent(false, false)), b(NewEvent(false, false));
  HANDLE hs[] = {a.get(), b.get()};
  std::thread setter([&] {
    Sleep(20);
    SetEvent(b.get());
  });
  EXPECT_EQ(WaitForMultipleObjects(2, hs, FALSE, kHangGuardMs), WAIT_OBJECT_0 + 1);
  setter.join();
}

TEST(PlatformWaitMultiple, AllWaitsForEveryObjectAndTakesNothingUntilThen) {
  Handle automatic(NewEvent(false, true)), manual(NewEvent(true, false));
  HANDLE hs[] = {automatic.get(), manual.get()};
  EXPECT_EQ(WaitForMultipleObjects(2, hs, TRUE, 30), WAIT_TIMEOUT);
  // A wait for all that did not complete leaves the auto-reset event signalled.
  EXPECT_TRUE(IsSet(automatic.get()));
  SetEvent(automatic.get());
  SetEvent(manual.get());
  EXPECT_EQ(WaitForMultipleObjects(2, hs, TRUE, 0), WAIT_OBJECT_0);
  EXPECT_FALSE(IsSet(automatic.get()));
  EXPECT_TRUE(IsSet(manual.get()));
}

TEST(PlatformWaitMultiple, AllCompletesWhenLastObjectIsSetByAnotherThread) {
  Handle a(NewEvent(true, true)), b(NewEvent(false, false));
  HANDLE hs[] = {a.get(), b.get()};
  std::thread setter([&] {
    Sleep(20);
    SetEvent(b.get());
  });
  EXPECT_EQ(WaitForMultipleObjects(2, hs, TRUE, kHangGuardMs), WAIT_OBJECT_0);
  setter.join();
}

TEST(PlatformWaitMultiple, BadParametersFailWith87) {
  Handle ev(NewEvent(true, true));
  std::vector<HANDLE> many(MAXIMUM_WAIT_OBJECTS + 1, ev.get());
  struct Case {
    DWORD count;
    const HANDLE* handles;
  };
  const Case cases[] = {{0, many.data()}, {MAXIMUM_WAIT_OBJECTS + 1, many.data()}, {1, nullptr}};
  for (const Case& c : cases) {
    SetLastError(0);
    EXPECT_EQ(WaitForMultipleObjects(c.count, c.handles, FALSE, 0), WAIT_FAILED) << c.count;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << c.count;
  }
  // The full 64 are allowed.
  EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, many.data(), FALSE, 0), WAIT_OBJECT_0);
}

// ---------------------------------------------------------------- stale handles

TEST(PlatformHandles, ClosedHandleFailsWith6Everywhere) {
  Handle ev(NewEvent(true, true));
  HANDLE stale = ev.get();
  ASSERT_TRUE(ev.Close());
  // A new object never takes the closed handle's value.
  Handle fresh(NewEvent(true, true));
  EXPECT_NE(fresh.get(), stale);

  SetLastError(0);
  EXPECT_FALSE(SetEvent(stale));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  SetLastError(0);
  EXPECT_FALSE(ResetEvent(stale));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  SetLastError(0);
  EXPECT_EQ(WaitForSingleObject(stale, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  SetLastError(0);
  HANDLE mixed[] = {fresh.get(), stale};
  EXPECT_EQ(WaitForMultipleObjects(2, mixed, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(stale));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(PlatformHandles, NeverIssuedValuesFailWith6) {
  const HANDLE bogus[] = {nullptr, INVALID_HANDLE_VALUE, reinterpret_cast<HANDLE>(uintptr_t{0x7ffff000})};
  for (HANDLE h : bogus) {
    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  }
}

TEST(PlatformHandles, LastErrorIsPerThread) {
  SetLastError(ERROR_ACCESS_DENIED);
  DWORD seen_there = 12345;
  std::thread other([&] {
    seen_there = GetLastError();
    SetLastError(ERROR_DISK_FULL);
  });
  other.join();
  EXPECT_EQ(seen_there, 0u);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

// ---------------------------------------------------------------- threads

struct ThreadArgs {
  HANDLE go = nullptr;  // the thread waits for it before returning
  DWORD exit_code = 0;
  std::atomic<DWORD> seen_id{0};
};

DWORD WINAPI WaitThenReturn(LPVOID p) {
  auto* args = static_cast<ThreadArgs*>(p);
  args->seen_id = GetCurrentThreadId();
  if (args->go != nullptr) WaitForSingleObject(args->go, kHangGuardMs);
  return args->exit_code;
}

TEST(PlatformThreads, HandleSignalledAtEndWithExitCode) {
  Handle go(NewEvent(true, false));
  ThreadArgs args;
  args.go = go.get();
  args.exit_code = 0xC0DE;
  DWORD id = 0;
  Handle thread(CreateThread(nullptr, 0, WaitThenReturn, &args, 0, &id));
  ASSERT_NE(thread.get(), nullptr);
  EXPECT_NE(id, 0u);

  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(thread.get(), &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(WaitForSingleObject(thread.get(), 0), WAIT_TIMEOUT);

  SetEvent(go.get());
  ASSERT_EQ(WaitForSingleObject(thread.get(), kHangGuardMs), WAIT_OBJECT_0);
  EXPECT_EQ(args.seen_id.load(), id);
  ASSERT_TRUE(GetExitCodeThread(thread.get(), &code));
  EXPECT_EQ(code, 0xC0DEu);
  // An ended thread stays signalled for every later wait.
  EXPECT_EQ(WaitForSingleObject(thread.get(), 0), WAIT_OBJECT_0);
}

TEST(PlatformThreads, ThreadIdArgumentIsOptional) {
  ThreadArgs args;
  args.exit_code = 7;
  Handle thread(CreateThread(nullptr, 0, WaitThenReturn, &args, 0, nullptr));
  ASSERT_NE(thread.get(), nullptr);
  ASSERT_EQ(WaitForSingleObject(thread.get(), kHangGuardMs), WAIT_OBJECT_0);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(thread.get(), &code));
  EXPECT_EQ(code, 7u);
}

TEST(PlatformThreads, WaitAllOnSeveralThreads) {
  constexpr int kThreads = 4;
  Handle go(NewEvent(true, false));
  ThreadArgs args[kThreads];
  std::vector<std::unique_ptr<Handle>> handles;
  std::vector<HANDLE> raw;
  for (int i = 0; i < kThreads; ++i) {
    args[i].go = go.get();
    args[i].exit_code = static_cast<DWORD>(100 + i);
    handles.push_back(std::make_unique<Handle>(CreateThread(nullptr, 0, WaitThenReturn, &args[i], 0, nullptr)));
    ASSERT_NE(handles.back()->get(), nullptr);
    raw.push_back(handles.back()->get());
  }
  EXPECT_EQ(WaitForMultipleObjects(kThreads, raw.data(), TRUE, 0), WAIT_TIMEOUT);
  SetEvent(go.get());
  ASSERT_EQ(WaitForMultipleObjects(kThreads, raw.data(), TRUE, kHangGuardMs), WAIT_OBJECT_0);
  for (int i = 0; i < kThreads; ++i) {
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(raw[i], &code));
    EXPECT_EQ(code, static_cast<DWORD>(100 + i));
  }
}

TEST(PlatformThreads, ClosingTheHandleLeavesTheThreadRunning) {
  Handle go(NewEvent(true, false));
  Handle finished(NewEvent(true, false));
  struct Args {
    HANDLE go, finished;
  } args{go.get(), finished.get()};
  HANDLE thread = CreateThread(
      nullptr, 0,
      [](LPVOID p) -> DWORD {
        auto* a = static_cast<Args*>(p);
        WaitForSingleObject(a->go, kHangGuardMs);
        SetEvent(a->finished);
        return 0;
      },
      &args, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  ASSERT_TRUE(CloseHandle(thread));
  SetLastError(0);
  DWORD code = 0;
  EXPECT_FALSE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  SetEvent(go.get());
  EXPECT_EQ(WaitForSingleObject(finished.get(), kHangGuardMs), WAIT_OBJECT_0);
}

TEST(PlatformThreads, CreateThreadRefusesMissingRoutineAndSuspendedStart) {
  ThreadArgs args;
  SetLastError(0);
  EXPECT_EQ(CreateThread(nullptr, 0, nullptr, &args, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  SetLastError(0);
  EXPECT_EQ(CreateThread(nullptr, 0, WaitThenReturn, &args, CREATE_SUSPENDED, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(PlatformThreads, ExitCodeWithoutPlaceToStoreItFailsWith87) {
  ThreadArgs args;
  Handle thread(CreateThread(nullptr, 0, WaitThenReturn, &args, 0, nullptr));
  ASSERT_NE(thread.get(), nullptr);
  SetLastError(0);
  EXPECT_FALSE(GetExitCodeThread(thread.get(), nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << "a failure must say why";
  EXPECT_EQ(WaitForSingleObject(thread.get(), kHangGuardMs), WAIT_OBJECT_0);
}

TEST(PlatformThreads, SetEventOnThreadHandleFailsWith6) {
  ThreadArgs args;
  Handle thread(CreateThread(nullptr, 0, WaitThenReturn, &args, 0, nullptr));
  ASSERT_NE(thread.get(), nullptr);
  SetLastError(0);
  EXPECT_FALSE(SetEvent(thread.get()));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(WaitForSingleObject(thread.get(), kHangGuardMs), WAIT_OBJECT_0);
}

const int kValidPriorities[] = {
    THREAD_PRIORITY_IDLE,         THREAD_PRIORITY_LOWEST,  THREAD_PRIORITY_BELOW_NORMAL, THREAD_PRIORITY_NORMAL,
    THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST, THREAD_PRIORITY_TIME_CRITICAL};
const int kInvalidPriorities[] = {-16, -14, -3, 3, 14, 16, THREAD_PRIORITY_ERROR_RETURN};

TEST(PlatformThreads, SetThreadPriorityAcceptsValidValuesOnAThreadHandle) {
  Handle go(NewEvent(true, false));
  ThreadArgs args;
  args.go = go.get();
  Handle thread(CreateThread(nullptr, 0, WaitThenReturn, &args, 0, nullptr));
  ASSERT_NE(thread.get(), nullptr);
  EXPECT_EQ(GetThreadPriority(thread.get()), THREAD_PRIORITY_NORMAL);
  for (int p : kValidPriorities) {
    EXPECT_TRUE(SetThreadPriority(thread.get(), p)) << p;
    EXPECT_EQ(GetThreadPriority(thread.get()), p);
  }
  for (int p : kInvalidPriorities) {
    SetLastError(0);
    EXPECT_FALSE(SetThreadPriority(thread.get(), p)) << p;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << p;
    EXPECT_EQ(GetThreadPriority(thread.get()), THREAD_PRIORITY_TIME_CRITICAL) << "a refused value changes nothing";
  }
  SetEvent(go.get());
  ASSERT_EQ(WaitForSingleObject(thread.get(), kHangGuardMs), WAIT_OBJECT_0);
  // An ended thread still answers for its handle.
  EXPECT_TRUE(SetThreadPriority(thread.get(), THREAD_PRIORITY_NORMAL));
}

TEST(PlatformThreads, SetThreadPriorityOnCurrentThreadPseudoHandle) {
  // Run in a thread of its own so that the test runner's priority is left alone.
  struct Result {
    std::atomic<int> accepted{0};
    std::atomic<int> read_back{0};
  } result;
  HANDLE thread = CreateThread(
      nullptr, 0,
      [](LPVOID p) -> DWORD {
        auto* r = static_cast<Result*>(p);
        for (int prio : {THREAD_PRIORITY_BELOW_NORMAL, THREAD_PRIORITY_LOWEST}) {
          if (SetThreadPriority(GetCurrentThread(), prio)) ++r->accepted;
          if (GetThreadPriority(GetCurrentThread()) == prio) ++r->read_back;
        }
        return 0;
      },
      &result, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  Handle owner(thread);
  ASSERT_EQ(WaitForSingleObject(thread, kHangGuardMs), WAIT_OBJECT_0);
  EXPECT_EQ(result.accepted.load(), 2);
  EXPECT_EQ(result.read_back.load(), 2);
  // The thread's own handle saw what it set through the pseudo handle.
  EXPECT_EQ(GetThreadPriority(thread), THREAD_PRIORITY_LOWEST);
}

TEST(PlatformThreads, PriorityOnStaleHandleFailsWith6) {
  ThreadArgs args;
  Handle thread(CreateThread(nullptr, 0, WaitThenReturn, &args, 0, nullptr));
  ASSERT_NE(thread.get(), nullptr);
  ASSERT_EQ(WaitForSingleObject(thread.get(), kHangGuardMs), WAIT_OBJECT_0);
  HANDLE stale = thread.get();
  thread.Close();
  SetLastError(0);
  EXPECT_FALSE(SetThreadPriority(stale, THREAD_PRIORITY_NORMAL));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(GetThreadPriority(stale), THREAD_PRIORITY_ERROR_RETURN);
}

// ---------------------------------------------------------------- sleep and clock

TEST(PlatformTime, SleepLastsAtLeastTheAskedTime) {
  Sleep(0);  // yields and returns
  auto start = SteadyClock::now();
  Sleep(30);
  EXPECT_GE(MillisecondsSince(start), 30);
}

TEST(PlatformTime, TimeGetTimeFollowsTheMonotonicClock) {
  DWORD before = timeGetTime();
  Sleep(40);
  DWORD after = timeGetTime();
  // Unsigned difference: correct across a wrap too.
  EXPECT_GE(after - before, 40u);
  DWORD tick = GetTickCount();
  EXPECT_GE(tick - before, 40u);
}

TEST(PlatformTime, ResolutionCallsCheckTheirInput) {
  TIMECAPS caps{};
  ASSERT_EQ(timeGetDevCaps(&caps, sizeof(caps)), TIMERR_NOERROR);
  EXPECT_GE(caps.wPeriodMin, 1u);
  EXPECT_LE(caps.wPeriodMin, caps.wPeriodMax);
  EXPECT_EQ(timeGetDevCaps(nullptr, sizeof(caps)), TIMERR_NOCANDO);
  EXPECT_EQ(timeGetDevCaps(&caps, sizeof(caps) - 1), TIMERR_NOCANDO);
  EXPECT_EQ(timeBeginPeriod(caps.wPeriodMin), TIMERR_NOERROR);
  EXPECT_EQ(timeEndPeriod(caps.wPeriodMin), TIMERR_NOERROR);
  EXPECT_EQ(timeBeginPeriod(0), TIMERR_NOCANDO);
  EXPECT_EQ(timeEndPeriod(0), TIMERR_NOCANDO);
}

TEST(PlatformTime, LocalTimeFieldsAreInRange) {
  SYSTEMTIME st{};
  GetLocalTime(&st);
  EXPECT_GE(st.wYear, 2020);
  EXPECT_GE(st.wMonth, 1);
  EXPECT_LE(st.wMonth, 12);
  EXPECT_LE(st.wDayOfWeek, 6);
  EXPECT_GE(st.wDay, 1);
  EXPECT_LE(st.wDay, 31);
  EXPECT_LE(st.wHour, 23);
  EXPECT_LE(st.wMinute, 59);
  EXPECT_LE(st.wSecond, 60);
  EXPECT_LE(st.wMilliseconds, 999);
}

}  // namespace
