// Triggers and their delivery over the FakeDevice test double: the avail trigger,
// data triggers restored from a saved set, timer and status triggers, the three
// kinds of handlers, window delivery flags and deferred removal.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "device/timing.h"
#include "dispatch/base_dispatcher.h"
#include "errors/error_codes.h"
#include "fake_device.h"

namespace dud {
namespace {

using test::FakeDevice;

struct Delivered {
  uint32_t Msg;
  uint32_t WParam;
  int32_t LParam;
  bool operator==(const Delivered&) const = default;
};

// ---------------------------------------------------------------- a window that records

std::map<HWND, std::vector<Delivered>*> WindowLogs;
std::vector<std::string>* Sequence = nullptr;  // which kinds of handler ran, in order
void (*WindowHook)(HWND) = nullptr;

LRESULT CALLBACK RecordingProc(HWND Wnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  if (Msg >= TriggerAvailMsg && Msg <= TriggerStatusMsg) {
    auto It = WindowLogs.find(Wnd);
    if (It != WindowLogs.end())
      It->second->push_back({Msg, static_cast<uint32_t>(wParam), static_cast<int32_t>(lParam)});
    if (Sequence != nullptr) Sequence->push_back("window");
    if (WindowHook != nullptr) WindowHook(Wnd);
    return 0;
  }
  return DefWindowProcA(Wnd, Msg, wParam, lParam);
}

class RecordingWindow {
 public:
  RecordingWindow() {
    static const ATOM Class = [] {
      WNDCLASSA C{};
      C.lpfnWndProc = &RecordingProc;
      C.lpszClassName = "coreTestWindow";
      return RegisterClassA(&C);
    }();
    (void)Class;
    Wnd = CreateWindowExA(0, "coreTestWindow", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    WindowLogs[Wnd] = &Log;
  }
  ~RecordingWindow() {
    WindowLogs.erase(Wnd);
    WindowHook = nullptr;
    DestroyWindow(Wnd);
  }
  HWND Wnd;
  std::vector<Delivered> Log;
};

std::vector<Delivered>* ProcLog = nullptr;
void RecordingProcHandler(uint32_t Msg, uint32_t TriggerHandle, int32_t LParam) {
  if (ProcLog != nullptr) ProcLog->push_back({Msg, TriggerHandle, LParam});
  if (Sequence != nullptr) Sequence->push_back("procedure");
}

// ---------------------------------------------------------------- avail

TEST(FakeDeviceAvail, FiresOncePerNewHeadPositionWithTheCount) {
  FakeDevice D;
  ASSERT_EQ(D.Open(), ecOK);
  RecordingWindow W;
  D.RegisterWndHandler(W.Wnd);
  D.UpdateHandlerFlags(uhForceWndOn);
  D.SetAvailLevel(10);

  D.Receive(std::string(9, 'x'));
  D.ProcessCommEvents();
  EXPECT_TRUE(W.Log.empty());

  D.Receive("y");
  D.ProcessCommEvents();
  const int32_t HighWord = D.Handle * 65536;
  ASSERT_EQ(W.Log, (std::vector<Delivered>{{TriggerAvailMsg, 10, HighWord}}));

  // Nothing new arrived: no second message, although nothing was read.
  D.ProcessCommEvents();
  D.ProcessCommEvents();
  EXPECT_EQ(W.Log.size(), 1u);

  // More bytes: the larger count is announced.
  D.Receive("zz");
  D.ProcessCommEvents();
  ASSERT_EQ(W.Log.size(), 2u);
  EXPECT_EQ(W.Log[1], (Delivered{TriggerAvailMsg, 12, HighWord}));
}

TEST(FakeDeviceAvail, LevelZeroNeverFires) {
  FakeDevice D;
  ASSERT_EQ(D.Open(), ecOK);
  RecordingWindow W;
  D.RegisterWndHandler(W.Wnd);
  D.UpdateHandlerFlags(uhForceWndOn);
  D.Receive(std::string(500, 'x'));
  D.ProcessCommEvents();
  EXPECT_TRUE(W.Log.empty());
}

TEST(FakeDeviceHandlers, OwnWindowGetsMessagesOnlyWhenForced) {
  FakeDevice D;
  ASSERT_EQ(D.Open(), ecOK);
  RecordingWindow W;
  D.RegisterWndHandler(W.Wnd);
  D.UpdateHandlerFlags(uhForceWndOff);
  EXPECT_TRUE(D.DispatchEvent(TriggerTimerMsg, 8, 0));
  EXPECT_TRUE(W.Log.empty());
  D.UpdateHandlerFlags(uhForceWndOn);
  D.DispatchEvent(TriggerTimerMsg, 8, 0);
  D.DispatchEvent(TriggerStatusMsg, 13, 7);
  EXPECT_EQ(W.Log.size(), 2u);
  // A second window: both get messages without forcing.
  RecordingWindow Other;
  D.RegisterWndHandler(Other.Wnd);
  D.UpdateHandlerFlags(uhForceWndOff);
  W.Log.clear();
  D.DispatchEvent(TriggerTimerMsg, 8, 0);
  EXPECT_EQ(W.Log.size(), 1u);
  EXPECT_EQ(Other.Log.size(), 1u);
}

TEST(FakeDeviceHandlers, UpdateHandlerFlagsModes) {
  // (windows, procedures, mode, force before) -> (installed, force after)
  const struct {
    int Windows;
    int Procs;
    int32_t Mode;
    bool ForceBefore;
    bool Installed;
    bool ForceAfter;
  } Cases[] = {{1, 0, uhRecompute, false, false, false}, {1, 0, uhRecompute, true, true, true},
               {2, 0, uhRecompute, false, true, false},  {0, 1, uhRecompute, false, true, false},
               {1, 0, uhForceWndOn, false, true, true},  {0, 0, uhForceWndOn, false, true, true},
               {1, 0, uhForceWndOff, true, false, false}, {2, 0, uhForceWndOff, true, true, false},
               {0, 1, uhForceWndOff, true, true, false}};
  for (const auto& C : Cases) {
    FakeDevice D;
    std::vector<std::unique_ptr<RecordingWindow>> Windows;
    for (int I = 0; I < C.Windows; ++I) {
      Windows.push_back(std::make_unique<RecordingWindow>());
      D.RegisterWndHandler(Windows.back()->Wnd);
    }
    if (C.Procs > 0) D.RegisterProcHandler(&RecordingProcHandler);
    D.ForceWndDispatch.store(C.ForceBefore);
    D.UpdateHandlerFlags(C.Mode);
    EXPECT_EQ(D.HandlersInstalled.load(), C.Installed) << C.Windows << " " << C.Procs << " " << C.Mode;
    EXPECT_EQ(D.ForceWndDispatch.load(), C.ForceAfter) << C.Windows << " " << C.Procs << " " << C.Mode;
  }
}

TEST(FakeDeviceHandlers, RegistrationsAndTheAvailLevelAreLogged) {
  FakeDevice D;
  ASSERT_EQ(D.Open(), ecOK);
  D.InitDispatchLogging(1000);
  RecordingWindow W;
  D.RegisterWndHandler(W.Wnd);
  D.SetAvailLevel(17);
  D.DeregisterWndHandler(W.Wnd);
  const auto Window = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(W.Wnd));
  const struct {
    uint8_t Type;
    uint16_t SubType;
    uint32_t Data;
  } Expected[] = {{7, 17, Window}, {9, 16, 17}, {8, 17, Window}};
  ASSERT_EQ(D.Log.LogQueue.Count(), 3);
  for (const auto& E : Expected) {
    auto Entry = D.Log.LogQueue.Pop();
    auto* L = dynamic_cast<TLogBuffer*>(Entry.get());
    ASSERT_NE(L, nullptr);
    EXPECT_EQ(L->EntryType, E.Type);
    EXPECT_EQ(L->EntrySubType, E.SubType);
    EXPECT_EQ(L->Data, E.Data);
    EXPECT_EQ(L->Size, 0);
  }
  EXPECT_TRUE(D.WndHandlers.empty());
}

TEST(FakeDeviceHandlers, LParamCarriesTheDispatcherHandle) {
  auto D0 = std::make_unique<FakeDevice>();
  auto D1 = std::make_unique<FakeDevice>();
  FakeDevice D2;
  ASSERT_EQ(D2.Handle, 2);
  ASSERT_EQ(D2.Open(), ecOK);
  std::vector<Delivered> Log;
  ProcLog = &Log;
  D2.RegisterProcHandler(&RecordingProcHandler);
  D2.DispatchEvent(TriggerDataMsg, 8, 5);
  ProcLog = nullptr;
  ASSERT_EQ(Log.size(), 1u);
  EXPECT_EQ(Log[0].LParam, 131077);
  EXPECT_EQ(TDudBaseDispatcher::StatusKindOf(0x0C), 4u);
}

TEST(FakeDeviceHandlers, MethodsThenProceduresThenWindows) {
  FakeDevice D;
  ASSERT_EQ(D.Open(), ecOK);
  RecordingWindow W;
  D.RegisterWndHandler(W.Wnd);
  std::vector<Delivered> Procs;
  ProcLog = &Procs;
  D.RegisterProcHandler(&RecordingProcHandler);
  std::vector<Delivered> Methods;
  std::vector<std::string> Order;
  Sequence = &Order;
  D.RegisterEventHandler(
      [&](uint32_t M, uint32_t T, int32_t L) {
        Methods.push_back({M, T, L});
        Order.push_back("method");
      },
      false);
  D.UpdateHandlerFlags(uhForceWndOn);
  const int32_t L = D.Handle * 65536 + 3;
  D.DispatchEvent(TriggerDataMsg, 40, 3);
  ProcLog = nullptr;
  Sequence = nullptr;
  EXPECT_EQ(Order, (std::vector<std::string>{"method", "procedure", "window"}));
  EXPECT_EQ(Methods, (std::vector<Delivered>{{TriggerDataMsg, 40, L}}));
  EXPECT_EQ(Procs, (std::vector<Delivered>{{TriggerDataMsg, 40, L}}));
  EXPECT_EQ(W.Log, (std::vector<Delivered>{{TriggerDataMsg, 40, L}}));
}

TEST(FakeDeviceHandlers, SynchronizedMethodRunsOnTheRegisteringThread) {
  FakeDevice D;
  ASSERT_EQ(D.Open(), ecOK);
  const DWORD Self = GetCurrentThreadId();
  std::atomic<DWORD> RanOn{0};
  D.RegisterEventHandler([&](uint32_t, uint32_t, int32_t) { RanOn = GetCurrentThreadId(); }, true);
  std::atomic<bool> Done{false};
  std::thread Worker([&] {
    D.DispatchEvent(TriggerTimerMsg, 8, 0);
    Done = true;
  });
  // The worker waits in its send until this thread handles it.
  for (int I = 0; I < 500 && !Done.load(); ++I) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    MSG Msg;
    while (PeekMessageA(&Msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&Msg);
  }
  Worker.join();
  EXPECT_EQ(RanOn.load(), Self);
}

TEST(FakeDeviceHandlers, DeregisteringDuringDeliveryIsDeferred) {
  FakeDevice D;
  ASSERT_EQ(D.Open(), ecOK);
  RecordingWindow W;
  static FakeDevice* Target;
  static size_t CountInside;
  Target = &D;
  CountInside = 0;
  WindowHook = [](HWND Wnd) {
    Target->DeregisterWndHandler(Wnd);
    std::lock_guard<std::recursive_mutex> Guard(Target->DataSection);
    CountInside = Target->WndHandlers.size();
  };
  D.RegisterWndHandler(W.Wnd);
  D.UpdateHandlerFlags(uhForceWndOn);
  D.DispatchEvent(TriggerTimerMsg, 8, 0);
  EXPECT_EQ(CountInside, 1u);  // marked only
  EXPECT_TRUE(D.WndHandlers.empty());  // freed when the dispatch ended
  EXPECT_FALSE(D.HandlersDeleted);
}

TEST(FakeDeviceHandlers, CloseFromAHandlerStopsTheRemainingHandlers) {
  FakeDevice D;
  ASSERT_EQ(D.Open(), ecOK);
  D.Receive("abcd");
  D.FillDispatchBuffer();
  int Second = 0;
  D.RegisterEventHandler(
      [&](uint32_t, uint32_t, int32_t) {
        char B[2];
        D.GetBlock(B, 2);
        D.ClosePort();
      },
      false);
  D.RegisterEventHandler([&](uint32_t, uint32_t, int32_t) { ++Second; }, false);
  EXPECT_FALSE(D.DispatchEvent(TriggerAvailMsg, 4, 0));
  EXPECT_EQ(Second, 0);
  EXPECT_TRUE(D.ClosePending.load());
}

// ---------------------------------------------------------------- data triggers

TEST(FakeDeviceDataTrigger, FiresFromARestoredSetAfterTheAvailInFront) {
  TTriggerSave Saved;
  int32_t Trigger;
  {
    FakeDevice First;
    ASSERT_EQ(First.Open(), ecOK);
    Trigger = First.AddDataTrigger("ok", true);
    ASSERT_GT(Trigger, 0);
    First.SetAvailLevel(1);
    First.SaveTriggers(Saved);
  }
  ASSERT_NE(Saved.DataTriggers, nullptr);
  FakeDevice D;
  ASSERT_EQ(D.Open(), ecOK);
  EXPECT_EQ(D.AvailLevel.load(), 0u);  // opening cleared the triggers
  D.RestoreTriggers(Saved);
  EXPECT_EQ(D.AvailLevel.load(), 1u);
  std::vector<Delivered> Log;
  ProcLog = &Log;
  D.RegisterProcHandler(&RecordingProcHandler);
  D.Receive("xxOKyy");
  D.ProcessCommEvents();
  ProcLog = nullptr;
  const int32_t H = D.Handle * 65536;
  // The two bytes in front of the match, the match, then the rest (nobody reads).
  ASSERT_GE(Log.size(), 2u);
  EXPECT_EQ(Log[0], (Delivered{TriggerAvailMsg, 2, H}));
  EXPECT_EQ(Log[1], (Delivered{TriggerDataMsg, static_cast<uint32_t>(Trigger), H + 2}));
  TDudBaseDispatcher::FreeTriggerSet(Saved);
  EXPECT_EQ(Saved.DataTriggers, nullptr);
}

TEST(FakeDeviceDataTrigger, FlushedBytesNeverCompleteAPattern) {
  FakeDevice D;
  ASSERT_EQ(D.Open(), ecOK);
  ASSERT_GT(D.AddDataTrigger("ok", false), 0);
  std::vector<Delivered> Log;
  ProcLog = &Log;
  D.RegisterProcHandler(&RecordingProcHandler);
  // Half a pattern seen, then flushed: the other half alone does not match.
  D.Receive("o");
  D.ProcessCommEvents();
  D.FlushInBuffer();
  D.Receive("k");
  D.ProcessCommEvents();
  // A whole pattern that arrived but was flushed before it was scanned.
  D.Receive("ok");
  D.FillDispatchBuffer();
  D.FlushInBuffer();
  D.Receive("x");
  D.ProcessCommEvents();
  EXPECT_TRUE(Log.empty());
  D.Receive("ok");
  D.ProcessCommEvents();
  ProcLog = nullptr;
  ASSERT_EQ(Log.size(), 1u);
  EXPECT_EQ(Log[0].Msg, TriggerDataMsg);
}

TEST(FakeDeviceDataTrigger, AddingChecksTheLengthAndRemovingTheHandle) {
  FakeDevice D;
  ASSERT_EQ(D.Open(), ecOK);
  EXPECT_EQ(D.AddDataTrigger(std::string(23, 'x'), false), ecTriggerTooLong);
  EXPECT_EQ(D.AddDataTrigger("", false), ecBadArgument);
  const int32_t T = D.AddDataTrigger(std::string(22, 'x'), false);
  ASSERT_GT(T, 0);
  EXPECT_EQ(D.RemoveTrigger(static_cast<uint32_t>(T)), ecOK);
  EXPECT_EQ(D.RemoveTrigger(static_cast<uint32_t>(T)), ecBadTriggerHandle);
}

TEST(FakeDeviceDataTrigger, RemovalInsideADispatchWaitsForItsEnd) {
  FakeDevice D;
  ASSERT_EQ(D.Open(), ecOK);
  const int32_t T = D.AddDataTrigger("!", false);
  size_t Inside = 0;
  D.RegisterEventHandler(
      [&](uint32_t Msg, uint32_t Handle, int32_t) {
        if (Msg != TriggerDataMsg) return;
        D.RemoveTrigger(Handle);
        std::lock_guard<std::recursive_mutex> Guard(D.DataSection);
        Inside = D.DataTriggers.size();
      },
      false);
  D.Receive("a!b!");
  D.ProcessCommEvents();
  EXPECT_EQ(Inside, 1u);
  EXPECT_TRUE(D.DataTriggers.empty());
  EXPECT_EQ(D.RemoveTrigger(static_cast<uint32_t>(T)), ecBadTriggerHandle);
}

// ---------------------------------------------------------------- timer triggers

uint32_t FakeNow = 0;
uint32_t FakeClock() { return FakeNow; }

TEST(FakeDeviceTimerTrigger, FiresOnceWhenItsTicksHavePassed) {
  FakeNow = 55 * 1000;
  const TMillisecondSource Previous = SetMillisecondSourceForTesting(&FakeClock);
  FakeDevice D;
  ASSERT_EQ(D.Open(), ecOK);
  const int32_t T = D.AddTimerTrigger();
  ASSERT_EQ(D.SetTimerTrigger(static_cast<uint32_t>(T), 2, true), ecOK);
  std::vector<Delivered> Log;
  ProcLog = &Log;
  D.RegisterProcHandler(&RecordingProcHandler);
  D.ProcessTimersAndStatus();
  FakeNow += 2 * 55;
  D.ProcessTimersAndStatus();
  EXPECT_TRUE(Log.empty());
  FakeNow += 55;
  D.ProcessTimersAndStatus();
  D.ProcessTimersAndStatus();
  ProcLog = nullptr;
  SetMillisecondSourceForTesting(Previous);
  EXPECT_EQ(Log, (std::vector<Delivered>{{TriggerTimerMsg, static_cast<uint32_t>(T), D.Handle * 65536}}));
  EXPECT_EQ(D.SetTimerTrigger(12345, 1, true), ecBadTriggerHandle);
}

// ---------------------------------------------------------------- status triggers

TEST(FakeDeviceStatusTrigger, EachKindFiresOnceUntilArmedAgain) {
  FakeDevice D;
  ASSERT_EQ(D.Open(4096, 64), ecOK);
  const auto Out = static_cast<uint32_t>(D.AddStatusTrigger(stOutSent));
  const auto Used = static_cast<uint32_t>(D.AddStatusTrigger(stOutBuffUsed));
  const auto Free = static_cast<uint32_t>(D.AddStatusTrigger(stOutBuffFree));
  const auto Line = static_cast<uint32_t>(D.AddStatusTrigger(stLine));
  const auto Modem = static_cast<uint32_t>(D.AddStatusTrigger(stModem));
  EXPECT_EQ(TDudBaseDispatcher::StatusKindOf(Out), static_cast<uint32_t>(stOutSent));
  EXPECT_EQ(TDudBaseDispatcher::StatusKindOf(Modem), static_cast<uint32_t>(stModem));
  EXPECT_EQ(D.AddStatusTrigger(9), ecBadArgument);
  std::vector<Delivered> Log;
  ProcLog = &Log;
  D.RegisterProcHandler(&RecordingProcHandler);
  D.OutSentPending.store(false);
  ASSERT_EQ(D.SetStatusTrigger(Out, 0, true), ecOK);
  ASSERT_EQ(D.SetStatusTrigger(Used, 5, true), ecOK);    // fires at 5 bytes or fewer
  ASSERT_EQ(D.SetStatusTrigger(Free, 70, true), ecOK);   // needs 70 free of 64: never
  ASSERT_EQ(D.SetStatusTrigger(Line, CE_FRAME, true), ecOK);
  ASSERT_EQ(D.SetStatusTrigger(Modem, 0x1010, true), ecOK);  // CTS expected up; it reads down

  ASSERT_EQ(D.PutBlock("abc", 3), ecOK);
  D.ProcessTimersAndStatus();
  const int32_t H = D.Handle * 65536;
  EXPECT_EQ(Log, (std::vector<Delivered>{{TriggerStatusMsg, Out, H}, {TriggerStatusMsg, Used, H + 3},
                                         {TriggerStatusMsg, Modem, H}}));
  Log.clear();
  D.LastError.store(CE_FRAME | CE_RXPARITY);
  D.ProcessTimersAndStatus();
  EXPECT_EQ(Log, (std::vector<Delivered>{{TriggerStatusMsg, Line, H}}));
  Log.clear();
  // Fired triggers stay quiet until armed again.
  D.ProcessTimersAndStatus();
  EXPECT_TRUE(Log.empty());
  ASSERT_EQ(D.SetStatusTrigger(Free, 60, true), ecOK);
  D.ProcessTimersAndStatus();
  ProcLog = nullptr;
  EXPECT_EQ(Log, (std::vector<Delivered>{{TriggerStatusMsg, Free, H + 61}}));
}

}  // namespace
}  // namespace dud
