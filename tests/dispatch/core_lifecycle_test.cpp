// The dispatcher's life cycle over the FakeDevice test double: port list slots,
// opening in order, every failure path of InitPort releasing what it took,
// closing, thread bookkeeping and the deferred close from inside a handler.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "display_capture.h"
#include "dispatch/base_dispatcher.h"
#include "errors/error_codes.h"
#include "fake_device.h"

namespace dud {
namespace {

using test::FakeDevice;

std::vector<TDudBaseDispatcher*> Snapshot() {
  std::lock_guard<std::recursive_mutex> Guard(PortListSection());
  return PortList();
}

TEST(FakeDevicePortList, SlotsAreTakenInOrderReusedAndShrunk) {
  ASSERT_TRUE(Snapshot().empty());
  auto A = std::make_unique<FakeDevice>();
  auto B = std::make_unique<FakeDevice>();
  auto C = std::make_unique<FakeDevice>();
  EXPECT_EQ(A->Handle, 0);
  EXPECT_EQ(B->Handle, 1);
  EXPECT_EQ(C->Handle, 2);
  EXPECT_EQ(Snapshot(), (std::vector<TDudBaseDispatcher*>{A.get(), B.get(), C.get()}));

  // A freed slot in the middle stays as an empty slot and is reused first.
  B.reset();
  EXPECT_EQ(Snapshot(), (std::vector<TDudBaseDispatcher*>{A.get(), nullptr, C.get()}));
  auto D = std::make_unique<FakeDevice>();
  EXPECT_EQ(D->Handle, 1);

  // Freeing the last shrinks the list to its last occupied slot.
  D.reset();
  C.reset();
  EXPECT_EQ(Snapshot(), (std::vector<TDudBaseDispatcher*>{A.get()}));
  A.reset();
  EXPECT_TRUE(Snapshot().empty());

  auto E = std::make_unique<FakeDevice>();
  EXPECT_EQ(E->Handle, 0);
}

TEST(FakeDeviceInitPort, OpensAppliesLineAndStarts) {
  FakeDevice D;
  ASSERT_EQ(D.Open(1000, 64), ecOK);
  EXPECT_EQ(D.OpenCount, 1);
  EXPECT_EQ(D.StartCount, 1);
  EXPECT_NE(D.DBuffer, nullptr);
  EXPECT_NE(D.OutBuffer, nullptr);
  EXPECT_EQ(D.InQue, 1000u);
  EXPECT_EQ(D.OutQue, 64u);
  EXPECT_FALSE(D.EventsClosed());
  // 1200-8-N-1 applied (the device was at 9600), DTR and RTS raised.
  EXPECT_EQ(D.Device.BaudRate, 1200u);
  EXPECT_EQ(D.LastBaud, 1200u);
  EXPECT_EQ(D.Device.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
  EXPECT_EQ(D.Device.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
  EXPECT_TRUE(D.DTRState);
  EXPECT_TRUE(D.RTSState);

  D.ClosePort();
  EXPECT_GE(D.CloseCount, 1);
  EXPECT_EQ(D.ComHandle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(D.DBuffer, nullptr);
  EXPECT_EQ(D.OutBuffer, nullptr);
  EXPECT_TRUE(D.EventsClosed());
}

TEST(FakeDeviceInitPort, FlowOptionsLeaveTheLinesToTheDriver) {
  FakeDevice D;
  ASSERT_EQ(D.InitPort("\\\\.\\COM7", 1200, 0, 8, 1, 100, 16, ipDTRFlow | ipRTSFlow | ipRaiseDTR), ecOK);
  EXPECT_TRUE(D.DTRFlowControlled);
  EXPECT_TRUE(D.RTSFlowControlled);
  EXPECT_TRUE(D.Escapes.empty());  // neither line was set by hand
}

// Every failure path of InitPort: the code it returns and that nothing stays taken.
struct FailureCase {
  const char* Name;
  void (*Arrange)(FakeDevice&);
  int32_t Expected;
};

std::ostream& operator<<(std::ostream& Out, const FailureCase& C) { return Out << C.Name; }

class FakeDeviceInitFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(FakeDeviceInitFailure, ReturnsTheCodeAndReleasesEverything) {
  FakeDevice D;
  GetParam().Arrange(D);
  EXPECT_EQ(D.Open(), GetParam().Expected);
  EXPECT_EQ(D.StartCount, 0);
  EXPECT_FALSE(D.ThreadsActive.load());
  EXPECT_EQ(D.ComHandle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(D.DBuffer, nullptr);
  EXPECT_EQ(D.OutBuffer, nullptr);
  EXPECT_TRUE(D.EventsClosed());
  EXPECT_EQ(D.ActiveThreads.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FakeDeviceInitFailure,
    ::testing::Values(
        FailureCase{"OpenComFails", [](FakeDevice& D) { D.FailOpen = true; }, -2},
        FailureCase{"OpenComOutOfMemory", [](FakeDevice& D) { D.OpenOutOfMemory = true; }, ecOutOfMemory},
        FailureCase{"SetupComFails", [](FakeDevice& D) { D.FailSetup = true; }, -87},
        FailureCase{"GetComStateFails", [](FakeDevice& D) { D.FailGetState = true; }, -31},
        FailureCase{"SetComStateFails", [](FakeDevice& D) { D.SetStateResult = -87; }, -87}),
    [](const ::testing::TestParamInfo<FailureCase>& Info) { return std::string(Info.param.Name); });

TEST(FakeDeviceInitFailure, DeviceIsClosedAfterALaterFailure) {
  FakeDevice D;
  D.FailSetup = true;
  EXPECT_EQ(D.Open(), -87);
  EXPECT_EQ(D.OpenCount, 1);
  EXPECT_EQ(D.CloseCount, 1);  // the opened device was closed again
}

using DisplayCapture = test::TDisplayCapture;

// A worker that ends at once with a given exit code.
class QuickThread : public TDudDispatcherThread {
 public:
  QuickThread(TDudBaseDispatcher* D, int32_t Code) : TDudDispatcherThread(D), Code(Code) {}

 protected:
  void Execute() override {
    Dispatcher->ThreadStarted();
    ReturnValue = Code;
    Dispatcher->ThreadGone(this);
  }

 private:
  int32_t Code;
};

// A worker whose run procedure throws before it reports anything.
class ThrowingThread : public TDudDispatcherThread {
 public:
  explicit ThrowingThread(TDudBaseDispatcher* D) : TDudDispatcherThread(D) {}

 protected:
  void Execute() override {
    Dispatcher->ThreadStarted();
    throw Exception("worker failed");
  }
};

// Waits (bounded) until every launched thread of D has finished.
void AwaitThreads(FakeDevice& D) {
  HANDLE Gone = D.ThreadGoneEvent.get();
  for (int I = 0; I < 100 && (D.ActiveThreads.load() > 0 || D.LaunchedThreads.load() > 0); ++I)
    WaitForSingleObject(Gone, 50);
}

TEST(FakeDeviceThreads, FailingExitCodeIsShownAndTheFieldCleared) {
  DisplayCapture Display;
  FakeDevice D;
  {
    std::lock_guard<std::recursive_mutex> Guard(D.DataSection);
    ASSERT_TRUE(TDudDispatcherThread::Launch<QuickThread>(D.OutThread, &D, ecDeviceWrite));
    ASSERT_TRUE(TDudDispatcherThread::Launch<QuickThread>(D.ComThread, &D, 0));
  }
  AwaitThreads(D);
  EXPECT_EQ(D.ActiveThreads.load(), 0);
  EXPECT_EQ(D.OutThread.load(), nullptr);
  EXPECT_EQ(D.ComThread.load(), nullptr);
  const auto Shown = Display.Taken();
  ASSERT_EQ(Shown.size(), 1u);  // exit code 0 raises nothing
  EXPECT_NE(Shown[0].find("write"), std::string::npos) << Shown[0];
}

TEST(FakeDeviceThreads, RunProcedureThatThrowsStillCompletesTheBookkeeping) {
  DisplayCapture Display;
  FakeDevice D;
  {
    std::lock_guard<std::recursive_mutex> Guard(D.DataSection);
    D.ThreadsActive.store(true);
    ASSERT_TRUE(TDudDispatcherThread::Launch<ThrowingThread>(D.StatusThread, &D));
  }
  AwaitThreads(D);
  EXPECT_EQ(D.ActiveThreads.load(), 0);
  EXPECT_FALSE(D.ThreadsActive.load());
  EXPECT_EQ(D.StatusThread.load(), nullptr);
  const auto Shown = Display.Taken();
  ASSERT_EQ(Shown.size(), 1u);
  EXPECT_EQ(Shown[0], "worker failed");
}

// A worker that waits for a release before it ends, without reporting a start.
std::atomic<bool> GateOpen{false};
std::atomic<bool> GateFinished{false};
class GateThread : public TDudDispatcherThread {
 public:
  explicit GateThread(TDudBaseDispatcher* D) : TDudDispatcherThread(D) {}

 protected:
  void Execute() override {
    while (!GateOpen.load()) Sleep(1);
    GateFinished = true;
  }
};

TEST(FakeDeviceThreads, DestructionWaitsAlsoForAThreadThatHasNotStarted) {
  GateOpen = false;
  GateFinished = false;
  std::thread Releaser;
  {
    FakeDevice D;
    {
      std::lock_guard<std::recursive_mutex> Guard(D.DataSection);
      ASSERT_TRUE(TDudDispatcherThread::Launch<GateThread>(D.ComThread, &D));
    }
    Releaser = std::thread([] {
      Sleep(50);
      GateOpen = true;
    });
  }  // the destructor returns only after the worker has finished
  EXPECT_TRUE(GateFinished.load());
  Releaser.join();
}

TEST(FakeDeviceThreads, BoostSetsWorkerPriorities) {
  FakeDevice D;
  D.RunDispThread = true;
  ASSERT_EQ(D.Open(), ecOK);
  D.SetThreadBoost(1);
  {
    std::lock_guard<std::recursive_mutex> Guard(D.DataSection);
    ASSERT_NE(D.DispThread.load(), nullptr);
    EXPECT_EQ(D.DispThread.load()->Priority(), THREAD_PRIORITY_ABOVE_NORMAL);
  }
  D.SetThreadBoost(9);  // past the top of the scale
  {
    std::lock_guard<std::recursive_mutex> Guard(D.DataSection);
    EXPECT_EQ(D.DispThread.load()->Priority(), THREAD_PRIORITY_TIME_CRITICAL);
  }
  D.ClosePort();
  EXPECT_EQ(D.DispThread.load(), nullptr);
  D.Destroy();
  EXPECT_EQ(D.ActiveThreads.load(), 0);
}

TEST(FakeDeviceThreads, DispatcherThreadEndsOnCloseAndBuffersAreFreed) {
  FakeDevice D;
  D.RunDispThread = true;
  ASSERT_EQ(D.Open(), ecOK);
  EXPECT_EQ(D.ActiveThreads.load(), 1);
  EXPECT_NE(D.DispThread.load(), nullptr);
  D.ClosePort();
  EXPECT_EQ(D.DispThread.load(), nullptr);
  EXPECT_EQ(D.DBuffer, nullptr);
  EXPECT_TRUE(D.EventsClosed());
  D.Destroy();  // the thread may still be finishing its bookkeeping until here
  EXPECT_FALSE(D.ThreadsActive.load());
  EXPECT_EQ(D.ActiveThreads.load(), 0);
  EXPECT_EQ(D.LaunchedThreads.load(), 0);
}

TEST(FakeDeviceThreads, FullRingHoldsTheThreadUntilSomethingIsRead) {
  FakeDevice D;
  D.RunDispThread = true;
  ASSERT_EQ(D.Open(), ecOK);
  D.InitDispatchLogging(1000000);
  const std::string In(8192 + 100, 'q');
  D.Receive(In);
  HANDLE Gone = D.ThreadGoneEvent.get();  // only as a bounded sleep between looks
  for (int I = 0; I < 100 && D.InBuffUsed() < 8192; ++I) WaitForSingleObject(Gone, 50);
  ASSERT_EQ(D.InBuffUsed(), 8192u);
  // While nothing is read, each pass logs "Dispatch buffer full.": a thread that
  // spun would log thousands in this time, one that waits a handful.
  Sleep(300);
  EXPECT_LT(D.Log.LogQueue.Count(), 60);
  std::string Out(8192, '\0');
  ASSERT_EQ(D.GetBlock(Out.data(), 8192), ecOK);
  for (int I = 0; I < 100 && D.InBuffUsed() < 100; ++I) WaitForSingleObject(Gone, 50);
  EXPECT_EQ(D.InBuffUsed(), 100u);  // the waiting bytes followed once there was room
}

TEST(FakeDeviceThreads, ClosePortFromInsideAHandlerIsDeferredToTheThreadsEnd) {
  FakeDevice D;
  D.RunDispThread = true;
  ASSERT_EQ(D.Open(), ecOK);
  std::atomic<bool> BufferWhileInHandler{false};
  std::atomic<int> Calls{0};
  D.RegisterEventHandler(
      [&](uint32_t, uint32_t, int32_t) {
        ++Calls;
        D.ClosePort();
        // Still inside the dispatch: nothing is freed yet.
        std::lock_guard<std::recursive_mutex> Guard(D.DispSection);
        BufferWhileInHandler = D.DBuffer != nullptr;
      },
      false);
  D.SetAvailLevel(1);
  D.Receive("x");
  // The thread ends by itself; the destructor-style wait sees it go.
  AwaitThreads(D);
  EXPECT_EQ(Calls.load(), 1);
  EXPECT_TRUE(BufferWhileInHandler.load());
  EXPECT_TRUE(D.ClosePending.load());
  EXPECT_EQ(D.ActiveThreads.load(), 0);
  EXPECT_EQ(D.DispThread.load(), nullptr);
  std::lock_guard<std::recursive_mutex> Guard(D.DispSection);
  EXPECT_EQ(D.DBuffer, nullptr);  // DonePort ran when the thread had gone
}

TEST(FakeDeviceThreads, ClosePortOnTheApplicationThreadDuringADispatchSetsClosePending) {
  FakeDevice D;
  ASSERT_EQ(D.Open(), ecOK);
  bool SawPending = false;
  D.RegisterEventHandler(
      [&](uint32_t, uint32_t, int32_t) {
        D.ClosePort();
        SawPending = D.ClosePending.load();
      },
      false);
  // The dispatch runs on this thread here, as a synchronized handler would.
  EXPECT_FALSE(D.DispatchEvent(TriggerTimerMsg, 8, 0));  // the close ends the dispatch
  EXPECT_TRUE(SawPending);
  EXPECT_NE(D.DBuffer, nullptr);  // freed only by DonePort
  D.Destroy();                    // ClosePending: DonePort
  EXPECT_EQ(D.DBuffer, nullptr);
  EXPECT_TRUE(D.EventsClosed());
}


// The stop event: a worker's wait ends at once when the threads are told to end,
// and a stop event left set by a caller that cleared KillThreads alone is reset
// instead of ending every later wait at once.
TEST(FakeDeviceStop, SignalEndsAWaitThatNothingElseEnds) {
  FakeDevice D;
  HANDLE Never = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  ASSERT_NE(Never, nullptr);
  // Without a time-out the wait can only end through the stop.
  auto Waiter = std::async(std::launch::async, [&] { return D.WaitOrStop(1, &Never, INFINITE); });
  EXPECT_FALSE(D.SignalKillThreads());
  EXPECT_TRUE(D.SignalKillThreads()) << "the second signal finds the flag set";
  ASSERT_EQ(Waiter.wait_for(std::chrono::seconds(5)), std::future_status::ready);  // hang guard
  EXPECT_EQ(Waiter.get(), static_cast<DWORD>(WAIT_TIMEOUT));
  // The stop stays set for every later wait until the next start clears it.
  EXPECT_EQ(D.WaitOrStop(1, &Never, INFINITE), static_cast<DWORD>(WAIT_TIMEOUT));
  D.ClearKillThreads();
  EXPECT_FALSE(D.KillThreads.load());
  EXPECT_EQ(WaitForSingleObject(D.StopEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  SetEvent(Never);
  EXPECT_EQ(D.WaitOrStop(1, &Never, 0), static_cast<DWORD>(WAIT_OBJECT_0));
  CloseHandle(Never);
}

TEST(FakeDeviceStop, StaleStopEventIsResetOnce) {
  FakeDevice D;
  HANDLE Work = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  ASSERT_NE(Work, nullptr);
  D.SignalKillThreads();
  D.KillThreads.store(false);  // cleared without the event
  EXPECT_EQ(D.WaitOrStop(1, &Work, 5000), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(WaitForSingleObject(D.StopEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "the stale event was reset";
  // The next wait sleeps until its own object is signalled.
  auto Waiter = std::async(std::launch::async, [&] { return D.WaitOrStop(1, &Work, INFINITE); });
  SetEvent(Work);
  ASSERT_EQ(Waiter.wait_for(std::chrono::seconds(5)), std::future_status::ready);  // hang guard
  EXPECT_EQ(Waiter.get(), static_cast<DWORD>(WAIT_OBJECT_0));
  CloseHandle(Work);
}

TEST(FakeDeviceStop, TimedChecksPendingOnlyForArmedTimersAndEnabledStatusTriggers) {
  FakeDevice D;
  ASSERT_EQ(D.Open(), ecOK);
  EXPECT_FALSE(D.TimedChecksPending());
  const int32_t Timer = D.AddTimerTrigger();
  ASSERT_GT(Timer, 0);
  EXPECT_FALSE(D.TimedChecksPending()) << "added but not armed";
  ASSERT_EQ(D.SetTimerTrigger(static_cast<uint32_t>(Timer), 100, true), ecOK);
  EXPECT_TRUE(D.TimedChecksPending());
  ASSERT_EQ(D.SetTimerTrigger(static_cast<uint32_t>(Timer), 100, false), ecOK);
  EXPECT_FALSE(D.TimedChecksPending());
  const int32_t Status = D.AddStatusTrigger(stOutBuffFree);
  ASSERT_GT(Status, 0);
  EXPECT_FALSE(D.TimedChecksPending());
  ASSERT_EQ(D.SetStatusTrigger(static_cast<uint32_t>(Status), 1, true), ecOK);
  EXPECT_TRUE(D.TimedChecksPending());
  ASSERT_EQ(D.RemoveTrigger(static_cast<uint32_t>(Status)), ecOK);
  EXPECT_FALSE(D.TimedChecksPending());
}

TEST(FakeDeviceStop, LoweringTheAvailLevelReachesBytesAlreadyInTheRing) {
  // Nothing more arrives after the level is lowered: the change itself must make
  // the event loop, which sleeps without polling, run a pass.
  FakeDevice D;
  D.RunDispThread = true;
  ASSERT_EQ(D.Open(), ecOK);
  std::atomic<uint32_t> Announced{0};
  D.RegisterEventHandler(
      [&](uint32_t Msg, uint32_t Count, int32_t) {
        if (Msg == TriggerAvailMsg) Announced.store(Count);
      },
      false);
  D.SetAvailLevel(10);
  D.Receive("12345");
  HANDLE Gone = D.ThreadGoneEvent.get();  // only as a bounded sleep between looks
  for (int I = 0; I < 100 && D.InBuffUsed() < 5; ++I) WaitForSingleObject(Gone, 50);
  ASSERT_EQ(D.InBuffUsed(), 5u);
  EXPECT_EQ(Announced.load(), 0u);
  D.SetAvailLevel(5);
  for (int I = 0; I < 100 && Announced.load() == 0; ++I) WaitForSingleObject(Gone, 50);
  EXPECT_EQ(Announced.load(), 5u);
  D.ClosePort();
}

}  // namespace
}  // namespace dud
