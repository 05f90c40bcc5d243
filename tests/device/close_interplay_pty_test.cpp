// Closing a Win32 dispatcher while its threads are busy with the application:
// a close requested from inside a synchronized trigger handler (the dispatcher
// thread waits for that handler, so the close must not wait for that thread), and
// a close on the dispatcher thread racing with the application's own close, and
// the application's close after the device went away under the threads.
//
// Each scenario runs on a thread of its own that plays the application thread;
// the test thread only watches it, so that a close that hangs fails the test
// instead of hanging the run.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "display_capture.h"
#include "device/win32_dispatcher.h"
#include "errors/error_codes.h"
#include "errors/exceptions.h"
#include "pty_port.h"

namespace dud {
namespace {

using test::PtyPort;

// Runs Scenario on a thread of its own; true when it finished within TimeoutMs.
// A scenario that hangs cannot be joined: the process ends, reporting the failure.
bool RunsToEnd(const std::function<void()>& Scenario, int TimeoutMs = 20000) {
  std::promise<void> Done;
  std::future<void> Finished = Done.get_future();
  std::thread T([&] {
    Scenario();
    Done.set_value();
  });
  if (Finished.wait_for(std::chrono::milliseconds(TimeoutMs)) != std::future_status::ready) {
    ADD_FAILURE() << "the scenario did not finish within " << TimeoutMs << " ms";
    std::fprintf(stderr, "hang: the close never returned\n");
    std::_Exit(1);
  }
  T.join();
  return true;
}

// Handles this thread's messages until Pred holds or TimeoutMs pass (a hang guard);
// sleeps until a message arrives, at most 50 ms at a time.
bool PumpUntil(const std::function<bool()>& Pred, int TimeoutMs = 10000) {
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
  while (!Pred()) {
    if (std::chrono::steady_clock::now() > Deadline) return false;
    if (MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT) == WAIT_OBJECT_0) {
      MSG Msg{};
      while (PeekMessageA(&Msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&Msg);
    }
  }
  return true;
}

class CloseInterplayPty : public testing::Test {
 protected:
  test::TDisplayCapture Display;
  std::vector<std::string> ShownExceptions() { return Display.Taken(); }
  static int32_t Open(TDudWin32Dispatcher& D, PtyPort& P) {
    return D.InitPort(P.name(), 9600, 0, 8, 1, 4096, 4096, ipRaiseDTR | ipRaiseRTS);
  }

};

TEST_F(CloseInterplayPty, ClosePortFromASynchronizedHandlerIsDeferredNotHung) {
  PtyPort P(41);
  RunsToEnd([&] {
    TDudWin32Dispatcher D(nullptr);
    ASSERT_EQ(Open(D, P), ecOK);
    std::atomic<int> Calls{0};
    bool BufferInHandler = false;
    D.RegisterEventHandler(
        [&](uint32_t Msg, uint32_t, int32_t) {
          if (Msg != TriggerAvailMsg) return;
          ++Calls;
          // Runs on this thread while the dispatcher thread waits for it to return.
          D.ClosePort();
          std::lock_guard<std::recursive_mutex> Guard(D.DispSection);
          BufferInHandler = D.DBuffer != nullptr;
        },
        true);
    D.SetAvailLevel(1);
    P.WriteMaster("x");
    ASSERT_TRUE(PumpUntil([&] { return Calls.load() > 0; })) << "the handler never ran";
    // The threads end by themselves; the deferred close releases everything then.
    ASSERT_TRUE(PumpUntil([&] { return !D.ThreadsActive.load() && D.ActiveThreads.load() == 0; }));
    EXPECT_EQ(Calls.load(), 1);
    EXPECT_TRUE(BufferInHandler) << "the buffers went while the handler still ran";
    EXPECT_TRUE(D.ClosePending.load());
    D.Destroy();
    EXPECT_EQ(D.ComHandle, INVALID_HANDLE_VALUE);
    std::lock_guard<std::recursive_mutex> Guard(D.DispSection);
    EXPECT_EQ(D.DBuffer, nullptr);
  });
  EXPECT_TRUE(ShownExceptions().empty()) << ShownExceptions().front();
  // The device is free again.
  HANDLE H = CreateFileA(P.name().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
  EXPECT_NE(H, INVALID_HANDLE_VALUE);
  if (H != INVALID_HANDLE_VALUE) CloseHandle(H);
}

TEST_F(CloseInterplayPty, CloseOnTheDispatcherThreadMeetsTheApplicationsClose) {
  PtyPort P(42);
  RunsToEnd([&] {
    for (int Round = 0; Round < 5; ++Round) {
      TDudWin32Dispatcher D(nullptr);
      ASSERT_EQ(Open(D, P), ecOK) << "round " << Round;
      std::atomic<bool> Closed{false};
      D.RegisterEventHandler(
          [&](uint32_t Msg, uint32_t, int32_t) {
            if (Msg != TriggerAvailMsg) return;
            D.ClosePort();  // on the dispatcher thread: finished when that thread ends
            Closed = true;
          },
          false);
      D.SetAvailLevel(1);
      P.WriteMaster("x");
      ASSERT_TRUE(PumpUntil([&] { return Closed.load(); })) << "round " << Round;
      // The application closes as well, at different points of the dispatcher
      // thread's own close.
      std::this_thread::sleep_for(std::chrono::milliseconds(Round * 15));
      D.ClosePort();
      D.Destroy();
      EXPECT_EQ(D.ComHandle, INVALID_HANDLE_VALUE);
      EXPECT_EQ(D.ActiveThreads.load(), 0);
      EXPECT_FALSE(D.ThreadsActive.load());
      EXPECT_EQ(D.ReadyEvent, INVALID_HANDLE_VALUE);
      std::lock_guard<std::recursive_mutex> Guard(D.DispSection);
      EXPECT_EQ(D.DBuffer, nullptr);
    }
  });
  EXPECT_TRUE(ShownExceptions().empty()) << ShownExceptions().front();
}

TEST_F(CloseInterplayPty, WritesGoOnWhileTheDispatcherThreadCloses) {
  PtyPort P(44);
  RunsToEnd([&] {
    TDudWin32Dispatcher D(nullptr);
    ASSERT_EQ(Open(D, P), ecOK);
    std::atomic<bool> Closing{false};
    D.RegisterEventHandler(
        [&](uint32_t Msg, uint32_t, int32_t) {
          if (Msg != TriggerAvailMsg) return;
          Closing = true;
          D.ClosePort();
        },
        false);
    D.SetAvailLevel(1);
    P.WriteMaster("x");
    ASSERT_TRUE(PumpUntil([&] { return Closing.load(); }));
    // The application keeps writing until the close has taken the output ring away.
    const uint8_t B = 'w';
    int32_t R = ecOK;
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);  // hang guard
    while (R != ecCommNotOpen && std::chrono::steady_clock::now() < Deadline)
      for (int I = 0; I < 1000 && R != ecCommNotOpen; ++I) R = D.PutBlock(&B, 1);
    EXPECT_EQ(R, ecCommNotOpen);
    D.Destroy();
  });
  EXPECT_TRUE(ShownExceptions().empty()) << ShownExceptions().front();
}

TEST_F(CloseInterplayPty, AfterADeviceLossTheApplicationsCloseReleasesEverything) {
  PtyPort P(43);
  RunsToEnd([&] {
    TDudWin32Dispatcher D(nullptr);
    ASSERT_EQ(Open(D, P), ecOK);
    P.CloseMaster();
    // The threads end by themselves; the dispatcher thread leaves the device, the
    // events and the buffers to the application's close (no second closer).
    ASSERT_TRUE(PumpUntil([&] { return !D.ThreadsActive.load() && D.ActiveThreads.load() == 0; }));
    EXPECT_NE(D.ComHandle, INVALID_HANDLE_VALUE);
    EXPECT_NE(D.ReadyEvent, INVALID_HANDLE_VALUE);
    {
      std::lock_guard<std::recursive_mutex> Guard(D.DispSection);
      EXPECT_NE(D.DBuffer, nullptr);
    }
    D.ClosePort();
    EXPECT_EQ(D.ComHandle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(D.ReadyEvent, INVALID_HANDLE_VALUE);
    std::lock_guard<std::recursive_mutex> Guard(D.DispSection);
    EXPECT_EQ(D.DBuffer, nullptr);
  });
  ASSERT_EQ(ShownExceptions().size(), 1u);
  EXPECT_EQ(ShownExceptions()[0], "Device read error");
}

}  // namespace
}  // namespace dud
