// The port component on pseudo-terminals: opening and closing, writing, the
// events through the notification window, the deferred close, a port held by
// another program, and a change of the port number while open.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "display_capture.h"
#include "comport/com_port.h"
#include "errors/error_codes.h"
#include "platform/win32.h"
#include "pty_port.h"
#include "test_support.h"

namespace dud {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// Handles the calling thread's window messages one at a time until Done() holds
// or TimeoutMs passed (a hang guard). Sleeps while nothing arrives.
bool PumpUntil(const std::function<bool()>& Done, int TimeoutMs = 5000) {
  const auto Deadline = steady_clock::now() + milliseconds(TimeoutMs);
  while (!Done()) {
    if (steady_clock::now() >= Deadline) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    MSG Msg{};
    while (!Done() && PeekMessageA(&Msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&Msg);
      DispatchMessageA(&Msg);
    }
  }
  return true;
}

// Handles messages for a while (to let anything stray arrive).
void PumpFor(int Ms) { PumpUntil([] { return false; }, Ms); }

// True when nobody holds the port: we can open it ourselves.
bool PortIsFree(const test::PtyPort& Pty) {
  HANDLE H = CreateFileA(Pty.name().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
  if (H == INVALID_HANDLE_VALUE) return false;
  CloseHandle(H);
  return true;
}

using DisplayScope = test::TDisplayCapture;

TEST(ComPortPty, OpensWritesAndCloses) {
  test::PtyPort Pty(3);
  TDudComPort Port;
  std::vector<std::string> Events;
  Port.SetOnPortOpen([&](TDudCustomComPort* CP) {
    EXPECT_EQ(CP, &Port);
    Events.push_back("open");
  });
  Port.SetOnPortClose([&](TDudCustomComPort*) { Events.push_back("close"); });
  Port.SetComNumber(3);
  Port.SetBaud(1200);
  Port.SetOpen(true);
  ASSERT_TRUE(Port.Open());
  EXPECT_EQ(Port.PortState(), psOpen);
  ASSERT_NE(Port.Dispatcher(), nullptr);
  EXPECT_EQ(Port.Dispatcher()->DeviceName, "COM3");
  EXPECT_NE(Port.NotificationWindow(), nullptr);
  // Held by us now.
  EXPECT_FALSE(PortIsFree(Pty));

  // The key frame holds a zero byte; all six bytes go out in order.
  const std::string Frame("Y\x34\x8B\x12\x00\x5A", 6);
  Port.PutString(Frame);
  EXPECT_EQ(Pty.ReadMaster(6), Frame);
  Port.PutChar('_');
  EXPECT_EQ(Pty.ReadMaster(1), "_");
  // An empty text writes nothing and raises nothing.
  EXPECT_NO_THROW(Port.PutString(std::string()));
  EXPECT_EQ(Pty.ReadMasterAvailable(100), "");

  Port.SetOpen(false);
  EXPECT_FALSE(Port.Open());
  EXPECT_EQ(Port.PortState(), psClosed);
  EXPECT_EQ(Port.Dispatcher(), nullptr);
  EXPECT_EQ(Port.NotificationWindow(), nullptr);
  EXPECT_TRUE(PortIsFree(Pty));
  EXPECT_EQ(Events, (std::vector<std::string>{"open", "close"}));
}

TEST(ComPortPty, BlockLargerThanTheOutputRingIsRefusedWhole) {
  test::PtyPort Pty(3);
  TDudComPort Port;
  Port.SetComNumber(3);
  Port.SetOutSize(16);
  Port.SetOpen(true);
  try {
    Port.PutString(std::string(17, 'x'));
    FAIL() << "no exception";
  } catch (const EOutputBufferTooSmall& E) {
    EXPECT_EQ(E.ErrorCode(), ecOutputBufferTooSmall);
  }
  EXPECT_EQ(Pty.ReadMasterAvailable(200), "");
  Port.PutString(std::string(16, 'y'));
  EXPECT_EQ(Pty.ReadMaster(16), std::string(16, 'y'));
}

TEST(ComPortPty, HeldPortRaisesAlreadyOpenAndLeavesTheComponentClosed) {
  test::PtyPort Pty(5);
  HANDLE Holder = CreateFileA(Pty.name().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(Holder, INVALID_HANDLE_VALUE);
  TDudComPort Port;
  Port.SetComNumber(5);
  try {
    Port.SetOpen(true);
    FAIL() << "no exception";
  } catch (const EAlreadyOpen& E) {
    EXPECT_EQ(E.ErrorCode(), ecAlreadyOpen);
    EXPECT_STREQ(E.what(), "ie_Open - device already open");
  }
  EXPECT_FALSE(Port.Open());
  EXPECT_EQ(Port.PortState(), psClosed);
  EXPECT_EQ(Port.Dispatcher(), nullptr);
  EXPECT_EQ(Port.NotificationWindow(), nullptr);
  CloseHandle(Holder);
  // Usable again once the other program lets go.
  Port.SetOpen(true);
  EXPECT_TRUE(Port.Open());
}

TEST(ComPortPty, BaudWhileClosedTouchesNoDeviceAndWhileOpenChangesTheLine) {
  test::PtyPort Pty(3);
  TDudComPort Port;
  Port.SetComNumber(3);
  Port.SetBaud(9600);
  EXPECT_EQ(Port.Dispatcher(), nullptr);
  EXPECT_TRUE(PortIsFree(Pty));
  Port.SetOpen(true);
  uint32_t Baud = 0;
  uint16_t Parity = 9, DataBits = 0, StopBits = 0;
  Port.Dispatcher()->GetLine(Baud, Parity, DataBits, StopBits);
  EXPECT_EQ(Baud, 9600u);
  EXPECT_EQ(Parity, 0);
  EXPECT_EQ(DataBits, 8);
  EXPECT_EQ(StopBits, 1);
  Port.SetBaud(1200);
  Port.SetParity(pEven);
  Port.SetDataBits(7);
  Port.SetStopBits(2);
  Port.Dispatcher()->GetLine(Baud, Parity, DataBits, StopBits);
  EXPECT_EQ(Baud, 1200u);
  EXPECT_EQ(Parity, pEven);
  EXPECT_EQ(DataBits, 7);
  EXPECT_EQ(StopBits, 2);
}

TEST(ComPortPty, FlowOptionsReachTheDeviceWhenOpening) {
  test::PtyPort Pty(3);
  TDudComPort Port;
  Port.SetComNumber(3);
  Port.SetSWFlowOptions(swfBoth);
  Port.SetXOnChar('A');
  Port.SetXOffChar('B');
  Port.SetOpen(true);
  uint32_t HW = 99, SW = 0;
  char XOn = 0, XOff = 0;
  Port.Dispatcher()->GetFlowOptions(HW, SW, XOn, XOff);
  EXPECT_EQ(HW, 0u);
  EXPECT_EQ(SW, sfTransmitFlow | sfReceiveFlow);
  // Software flow resets the characters; opening puts ours back afterwards.
  EXPECT_EQ(XOn, 'A');
  EXPECT_EQ(XOff, 'B');
  // Also when software flow is switched while open.
  Port.SetSWFlowOptions(swfReceive);
  Port.Dispatcher()->GetFlowOptions(HW, SW, XOn, XOff);
  EXPECT_EQ(XOn, 'A');
  EXPECT_EQ(XOff, 'B');
  Port.SetSWFlowOptions(swfNone);
  Port.Dispatcher()->GetFlowOptions(HW, SW, XOn, XOff);
  EXPECT_EQ(SW, 0u);
}

TEST(ComPortPty, TriggerEventsDecideWhetherTheWindowGetsMessages) {
  test::PtyPort Pty(3);
  TDudComPort Port;
  Port.SetComNumber(3);
  Port.SetOpen(true);
  // No trigger event: delivery to the component's window is forced off.
  EXPECT_FALSE(Port.Dispatcher()->ForceWndDispatch.load());
  Port.SetOnTriggerAvail([](TDudCustomComPort*, uint16_t) {});
  EXPECT_TRUE(Port.Dispatcher()->ForceWndDispatch.load());
  Port.SetOnTriggerAvail(nullptr);
  EXPECT_FALSE(Port.Dispatcher()->ForceWndDispatch.load());
  // The open/close events take no part.
  Port.SetOnPortOpen([](TDudCustomComPort*) {});
  EXPECT_FALSE(Port.Dispatcher()->ForceWndDispatch.load());
  Port.SetOnTriggerOutSent([](TDudCustomComPort*) {});
  EXPECT_TRUE(Port.Dispatcher()->ForceWndDispatch.load());
}

TEST(ComPortPty, AvailEventRunsOnTheApplicationThreadWithTheCount) {
  test::PtyPort Pty(3);
  TDudComPort Port;
  Port.SetComNumber(3);
  std::string Received;
  std::vector<std::string> Order;
  bool CountsMatched = true;
  const std::thread::id AppThread = std::this_thread::get_id();
  Port.SetOnTrigger([&](TDudCustomComPort*, uint16_t Msg, uint16_t Handle, uint16_t Data) {
    EXPECT_EQ(std::this_thread::get_id(), AppThread);
    if (Msg == TriggerAvailMsg) {
      EXPECT_EQ(Handle, Data);  // both carry the count
    }
    Order.push_back("trigger");
  });
  Port.SetOnTriggerAvail([&](TDudCustomComPort* CP, uint16_t Count) {
    EXPECT_EQ(std::this_thread::get_id(), AppThread);
    Order.push_back("avail");
    if (CP->InBuffUsed() != Count) CountsMatched = false;
    Received += CP->GetBlock(Count);
  });
  Port.SetOpen(true);
  ASSERT_TRUE(Pty.WriteMaster("hello"));
  ASSERT_TRUE(PumpUntil([&] { return Received.size() >= 5; }));
  EXPECT_EQ(Received, "hello");
  EXPECT_TRUE(CountsMatched);
  ASSERT_GE(Order.size(), 2u);
  EXPECT_EQ(Order[0], "trigger");
  EXPECT_EQ(Order[1], "avail");
  // Read in the events, so the ring is empty.
  EXPECT_EQ(Port.InBuffUsed(), 0u);
}

TEST(ComPortPty, ReadsTheRingOutsideEvents) {
  test::PtyPort Pty(3);
  TDudComPort Port;
  Port.SetComNumber(3);
  Port.SetOpen(true);
  ASSERT_TRUE(Pty.WriteMaster(std::string("ab\0c", 4)));
  ASSERT_TRUE(PumpUntil([&] { return Port.InBuffUsed() == 4; }));
  EXPECT_TRUE(Port.CharReady());
  EXPECT_EQ(Port.PeekChar(), 'a');
  EXPECT_EQ(Port.PeekBlock(3), std::string("ab\0", 3));
  EXPECT_EQ(Port.GetBlock(2), "ab");
  EXPECT_EQ(Port.GetChar(), '\0');
  EXPECT_THROW(Port.GetBlock(2), EBufferIsEmpty);  // whole block or nothing
  EXPECT_EQ(Port.GetChar(), 'c');
  EXPECT_THROW(Port.GetChar(), EBufferIsEmpty);
  EXPECT_FALSE(Port.CharReady());
}

TEST(ComPortPty, WindowProcedureDeliversInOrderAndIgnoresStrangers) {
  test::PtyPort Pty(3);
  TDudComPort Port;
  Port.SetComNumber(3);
  std::vector<std::string> Log;
  auto Add = [&Log](std::string S) { Log.push_back(std::move(S)); };
  Port.SetOnTrigger([&](TDudCustomComPort*, uint16_t Msg, uint16_t Handle, uint16_t Data) {
    Add("trigger " + std::to_string(Msg) + " " + std::to_string(Handle) + " " + std::to_string(Data));
  });
  Port.SetOnTriggerAvail([&](TDudCustomComPort*, uint16_t Count) { Add("avail " + std::to_string(Count)); });
  Port.SetOnTriggerData([&](TDudCustomComPort*, uint16_t H) { Add("data " + std::to_string(H)); });
  Port.SetOnTriggerTimer([&](TDudCustomComPort*, uint16_t H) { Add("timer " + std::to_string(H)); });
  Port.SetOnTriggerStatus([&](TDudCustomComPort*, uint16_t H) { Add("status " + std::to_string(H)); });
  Port.SetOnTriggerModemStatus([&](TDudCustomComPort*) { Add("modem"); });
  Port.SetOnTriggerLineError([&](TDudCustomComPort*, uint16_t E, bool B) {
    Add("line " + std::to_string(E) + " " + std::to_string(B));
  });
  Port.SetOnTriggerOutbuffFree([&](TDudCustomComPort*) { Add("free"); });
  Port.SetOnTriggerOutbuffUsed([&](TDudCustomComPort*) { Add("used"); });
  Port.SetOnTriggerOutSent([&](TDudCustomComPort*) { Add("sent"); });
  Port.SetAvailLevel(0);  // nothing from the dispatcher itself
  Port.SetOpen(true);
  HWND W = Port.NotificationWindow();
  const WORD H = static_cast<WORD>(Port.Dispatcher()->Handle);

  struct Case {
    UINT Msg;
    WPARAM WParam;
    WORD Low;
    std::vector<std::string> Expect;
  };
  const Case Cases[] = {
      {TriggerAvailMsg, 5, 0, {"trigger 32257 5 5", "avail 5"}},
      {TriggerDataMsg, 17, 2, {"trigger 32258 17 2", "data 17"}},
      {TriggerTimerMsg, 9, 0, {"trigger 32259 9 0", "timer 9"}},
      {TriggerStatusMsg, 0x09, 0, {"trigger 32260 9 0", "status 9", "modem"}},
      {TriggerStatusMsg, 0x0A, 0, {"trigger 32260 10 0", "status 10", "line 0 0"}},
      {TriggerStatusMsg, 0x0B, 300, {"trigger 32260 11 300", "status 11", "free"}},
      {TriggerStatusMsg, 0x0C, 1, {"trigger 32260 12 1", "status 12", "used"}},
      {TriggerStatusMsg, 0x0D, 0, {"trigger 32260 13 0", "status 13", "sent"}},
      {TriggerStatusMsg, 0x0E, 0, {"trigger 32260 14 0", "status 14"}},
  };
  for (const Case& C : Cases) {
    Log.clear();
    EXPECT_EQ(SendMessageA(W, C.Msg, C.WParam, MAKELONG(C.Low, H)), 0);
    EXPECT_EQ(Log, C.Expect) << "message " << C.Msg << " handle " << C.WParam;
  }
  // A dispatcher handle with no PortList entry: answered with 0, nothing called.
  Log.clear();
  EXPECT_EQ(SendMessageA(W, TriggerAvailMsg, 5, MAKELONG(0, 999)), 0);
  EXPECT_TRUE(Log.empty());
}

TEST(ComPortPty, ExceptionsOfEventMethodsAreShownOnTheMainThreadOnly) {
  test::PtyPort Pty(3);
  DisplayScope Display;
  {
    TDudComPort Port;
    Port.SetComNumber(3);
    Port.SetOnTriggerAvail([](TDudCustomComPort*, uint16_t) { throw Exception("boom"); });
    Port.SetAvailLevel(0);
    Port.SetOpen(true);
    EXPECT_EQ(SendMessageA(Port.NotificationWindow(), TriggerAvailMsg, 1,
                           MAKELONG(0, Port.Dispatcher()->Handle)),
              0);
    EXPECT_EQ(Display.Taken(), std::vector<std::string>{"boom"});
  }
  // A component living on another thread: its window procedure runs there, and
  // the exception is dropped.
  bool Delivered = false;
  std::thread Other([&] {
    TDudComPort Port;
    Port.SetComNumber(3);
    Port.SetOnTriggerAvail([&](TDudCustomComPort*, uint16_t) {
      Delivered = true;
      throw Exception("dropped");
    });
    Port.SetAvailLevel(0);
    Port.SetOpen(true);
    SendMessageA(Port.NotificationWindow(), TriggerAvailMsg, 1, MAKELONG(0, Port.Dispatcher()->Handle));
  });
  Other.join();
  EXPECT_TRUE(Delivered);
  EXPECT_EQ(Display.Taken(), std::vector<std::string>{"boom"});
}

TEST(ComPortPty, OutSentStatusTriggerFiresItsEventsInOrder) {
  test::PtyPort Pty(3);
  TDudComPort Port;
  Port.SetComNumber(3);
  std::vector<std::string> Log;
  Port.SetOnTrigger([&](TDudCustomComPort*, uint16_t Msg, uint16_t, uint16_t) {
    if (Msg == TriggerStatusMsg) Log.push_back("trigger");
  });
  Port.SetOnTriggerStatus([&](TDudCustomComPort*, uint16_t) { Log.push_back("status"); });
  Port.SetOnTriggerOutSent([&](TDudCustomComPort*) { Log.push_back("sent"); });
  Port.SetOpen(true);
  const uint16_t Handle = Port.AddStatusTrigger(stOutSent);
  EXPECT_EQ(TDudBaseDispatcher::StatusKindOf(Handle), stOutSent);
  Port.SetStatusTrigger(Handle, 0, true);
  Port.PutChar('x');
  EXPECT_EQ(Pty.ReadMaster(1), "x");
  ASSERT_TRUE(PumpUntil([&] { return Log.size() >= 3; }));
  EXPECT_EQ(Log, (std::vector<std::string>{"trigger", "status", "sent"}));
  // A status trigger fires once until it is armed again.
  Port.PutChar('y');
  EXPECT_EQ(Pty.ReadMaster(1), "y");
  PumpFor(200);
  EXPECT_EQ(Log.size(), 3u);
  EXPECT_THROW(Port.SetStatusTrigger(0x7FF8, 0, true), EBadTriggerHandle);
}

TEST(ComPortPty, ComNumberChangedWhileOpenReopensWithTheTriggers) {
  test::PtyPort First(3);
  test::PtyPort Second(4);
  test::ScopedTempDir Dir;
  TDudComPort Port;
  Port.SetComNumber(3);
  Port.SetTraceName(Dir.File("port.trc"));
  Port.SetTracing(tlOn);
  uint16_t Fired = 0;
  Port.SetOnTriggerData([&](TDudCustomComPort*, uint16_t Handle) { Fired = Handle; });
  Port.SetOpen(true);
  const uint16_t Handle = Port.AddDataTrigger("OK", false);
  Port.SetAvailLevel(7);
  Port.PutString("AT");
  EXPECT_EQ(First.ReadMaster(2), "AT");

  Port.SetComNumber(4);
  EXPECT_TRUE(Port.Open());
  EXPECT_EQ(Port.PortState(), psOpen);
  EXPECT_EQ(Port.ComNumber(), 4);
  ASSERT_NE(Port.Dispatcher(), nullptr);
  EXPECT_EQ(Port.Dispatcher()->DeviceName, "COM4");
  EXPECT_EQ(Port.Tracing(), tlOn);
  EXPECT_EQ(Port.Dispatcher()->AvailLevel.load(), 7u);
  {
    std::lock_guard<std::recursive_mutex> Lock(Port.Dispatcher()->DataSection);
    ASSERT_EQ(Port.Dispatcher()->DataTriggers.size(), 1u);
    EXPECT_EQ(Port.Dispatcher()->DataTriggers[0].Handle, Handle);
  }
  EXPECT_TRUE(PortIsFree(First));
  // The trace of the first port was written when it closed.
  EXPECT_EQ(test::ReadFileBytes(Dir.File("port.trc")), "Transmit: \r\nAT");

  Port.PutChar('!');
  EXPECT_EQ(Second.ReadMaster(1), "!");
  ASSERT_TRUE(Second.WriteMaster("xxOK"));
  ASSERT_TRUE(PumpUntil([&] { return Fired != 0; }));
  EXPECT_EQ(Fired, Handle);
}

TEST(ComPortPty, TraceIsWrittenWhenThePortCloses) {
  test::PtyPort Pty(3);
  test::ScopedTempDir Dir;
  TDudComPort Port;
  Port.SetComNumber(3);
  Port.SetTraceName(Dir.File("close.trc"));
  Port.SetTracing(tlOn);
  Port.SetOpen(true);
  Port.PutString("AT\r");
  EXPECT_EQ(Pty.ReadMaster(3), "AT\r");
  Port.SetOpen(false);
  EXPECT_EQ(Port.Tracing(), tlOff);
  EXPECT_EQ(test::ReadFileBytes(Dir.File("close.trc")), "Transmit: \r\nAT[0D]");
}

TEST(ComPortPty, FailingOpenEventUndoesTheOpen) {
  test::PtyPort Pty(3);
  TDudComPort Port;
  Port.SetComNumber(3);
  Port.SetOnPortOpen([](TDudCustomComPort*) { throw Exception("refused"); });
  EXPECT_THROW(Port.SetOpen(true), Exception);
  EXPECT_FALSE(Port.Open());
  EXPECT_EQ(Port.PortState(), psClosed);
  EXPECT_EQ(Port.Dispatcher(), nullptr);
  EXPECT_EQ(Port.NotificationWindow(), nullptr);
  EXPECT_TRUE(PortIsFree(Pty));
}

TEST(ComPortPty, CloseFromInsideAnEventIsCompletedLater) {
  test::PtyPort Pty(3);
  TDudComPort Port;
  Port.SetComNumber(3);
  TPortState StateInHandler = psOpen;
  int Closed = 0;
  Port.SetOnPortClose([&](TDudCustomComPort*) { ++Closed; });
  Port.SetOnTriggerAvail([&](TDudCustomComPort* CP, uint16_t) {
    CP->SetOpen(false);
    StateInHandler = CP->PortState();
    // Writing while the close completes is ignored.
    CP->PutChar('z');
  });
  Port.SetOpen(true);
  ASSERT_TRUE(Pty.WriteMaster("q"));
  ASSERT_TRUE(PumpUntil([&] { return Port.PortState() == psClosed; }));
  EXPECT_EQ(StateInHandler, psClosing);
  EXPECT_EQ(Closed, 1);
  EXPECT_FALSE(Port.Open());
  EXPECT_EQ(Port.Dispatcher(), nullptr);
  EXPECT_EQ(Port.NotificationWindow(), nullptr);
  EXPECT_TRUE(PortIsFree(Pty));
  EXPECT_EQ(Pty.ReadMasterAvailable(100), "");
}

TEST(ComPortPty, OpenRequestedDuringADeferredCloseHappensAfterIt) {
  test::PtyPort Pty(3);
  TDudComPort Port;
  Port.SetComNumber(3);
  int Opened = 0;
  bool Reopened = false;
  Port.SetOnPortOpen([&](TDudCustomComPort*) { ++Opened; });
  Port.SetOnTriggerAvail([&](TDudCustomComPort* CP, uint16_t) {
    if (Reopened) return;
    Reopened = true;
    CP->SetOpen(false);
    CP->SetOpen(true);  // remembered: the port is still closing
    EXPECT_FALSE(CP->Open());
  });
  Port.SetOpen(true);
  ASSERT_TRUE(Pty.WriteMaster("q"));
  ASSERT_TRUE(PumpUntil([&] { return Opened == 2; }));
  EXPECT_TRUE(Port.Open());
  EXPECT_EQ(Port.PortState(), psOpen);
  Port.PutChar('r');
  EXPECT_EQ(Pty.ReadMaster(1), "r");
}

TEST(ComPortPty, DestroyingDuringADeferredCloseCompletesItFirst) {
  test::PtyPort Pty(3);
  auto Port = std::make_unique<TDudComPort>();
  Port->SetComNumber(3);
  bool Handled = false;
  Port->SetOnTriggerAvail([&](TDudCustomComPort* CP, uint16_t) {
    Handled = true;
    CP->SetOpen(false);
  });
  Port->SetOpen(true);
  ASSERT_TRUE(Pty.WriteMaster("q"));
  ASSERT_TRUE(PumpUntil([&] { return Handled; }));
  // The completion message is still queued.
  EXPECT_EQ(Port->PortState(), psClosing);
  Port.reset();
  // Completion messages still queued must find nobody.
  PumpFor(200);
  EXPECT_TRUE(PortIsFree(Pty));
}

}  // namespace
}  // namespace dud

namespace dud {
namespace {

TEST(ComPortPtyTriggers, AddArmAndRemoveTriggers) {
  test::PtyPort Pty(3);
  TDudComPort Port;
  Port.SetComNumber(3);
  std::vector<uint16_t> Data, Timer;
  Port.SetOnTriggerData([&](TDudCustomComPort*, uint16_t H) { Data.push_back(H); });
  Port.SetOnTriggerTimer([&](TDudCustomComPort*, uint16_t H) { Timer.push_back(H); });
  Port.SetAvailLevel(0);
  Port.SetOpen(true);

  const uint16_t Ok = Port.AddDataTrigger("OK", true);
  const uint16_t Tick = Port.AddTimerTrigger();
  EXPECT_NE(Ok, Tick);
  EXPECT_THROW(Port.AddDataTrigger(std::string(23, 'x'), false), ETriggerTooLong);
  EXPECT_THROW(Port.SetTimerTrigger(0x7FF8, 1, true), EBadTriggerHandle);

  // Case is ignored for the received bytes.
  ASSERT_TRUE(Pty.WriteMaster("..ok"));
  ASSERT_TRUE(PumpUntil([&] { return !Data.empty(); }));
  EXPECT_EQ(Data, std::vector<uint16_t>{Ok});
  Port.SetTimerTrigger(Tick, 1, true);
  ASSERT_TRUE(PumpUntil([&] { return !Timer.empty(); }));
  EXPECT_EQ(Timer, std::vector<uint16_t>{Tick});

  // Removed: the pattern fires no more.
  Port.RemoveTrigger(Ok);
  EXPECT_THROW(Port.RemoveTrigger(Ok), EBadTriggerHandle);
  ASSERT_TRUE(Pty.WriteMaster("OK"));
  PumpFor(200);
  EXPECT_EQ(Data.size(), 1u);
}

TEST(ComPortPtyProperties, FlowRefusedByTheDeviceKeepsTheOldSet) {
  // A pseudo-terminal has no hardware handshake: the device refuses it (87).
  test::PtyPort Pty(3);
  TDudComPort Port;
  Port.SetComNumber(3);
  Port.SetOpen(true);
  try {
    Port.SetHWFlowOptions({hwfUseRTS});
    FAIL() << "no exception";
  } catch (const EInOutError& E) {
    EXPECT_EQ(E.ErrorCode(), 87);
  }
  EXPECT_TRUE(Port.HWFlowOptions().Empty());
  // The levels were adjusted before the device refused.
  EXPECT_EQ(Port.BufferFull(), 3686);
  EXPECT_EQ(Port.BufferResume(), 409);
  EXPECT_TRUE(Port.Open());
}

TEST(ComPortPtyProperties, FailureWhileReapplyingUndoesTheOpen) {
  test::PtyPort Pty(3);
  TDudComPort Port;
  Port.SetComNumber(3);
  Port.SetHWFlowOptions({hwfRequireCTS});
  EXPECT_THROW(Port.SetOpen(true), EInOutError);
  EXPECT_FALSE(Port.Open());
  EXPECT_EQ(Port.PortState(), psClosed);
  EXPECT_EQ(Port.Dispatcher(), nullptr);
  EXPECT_TRUE(PortIsFree(Pty));
}

TEST(ComPortPtyProperties, LineAndOptionSettingsReachTheDispatcher) {
  test::PtyPort Pty(3);
  TDudComPort Port;
  Port.SetComNumber(3);
  Port.SetAvailLevel(4);
  Port.SetOpen(true);
  TDudBaseDispatcher* D = Port.Dispatcher();
  EXPECT_TRUE(D->DTRState);
  EXPECT_TRUE(D->RTSState);
  EXPECT_EQ(D->AvailLevel.load(), 4u);
  EXPECT_EQ(D->OptionFlags.load() & 4u, 4u);
  Port.SetDTR(false);
  Port.SetRTS(false);
  EXPECT_FALSE(Port.DTR());
  EXPECT_FALSE(D->DTRState);
  EXPECT_FALSE(D->RTSState);
  Port.SetUseEventWord(false);
  EXPECT_EQ(D->OptionFlags.load() & 4u, 0u);
  Port.SetAvailLevel(9);
  EXPECT_EQ(D->AvailLevel.load(), 9u);
  Port.SetRS485Mode(true);
  EXPECT_TRUE(D->RS485Mode.load());
  Port.SetThreadBoost(1);
  EXPECT_EQ(D->ThreadBoost, 1);
}

TEST(ComPortPtyProperties, TraceRequestsWhileOpen) {
  test::PtyPort Pty(3);
  test::ScopedTempDir Dir;
  const std::string File = Dir.File("t.trc");
  TDudComPort Port;
  Port.SetComNumber(3);
  Port.SetTraceName(File);
  Port.SetTraceSize(100);
  Port.SetOpen(true);
  TDudBaseDispatcher* D = Port.Dispatcher();
  auto Ring = [D] {
    std::lock_guard<std::recursive_mutex> Lock(D->DataSection);
    return D->Trace.HasRing() ? D->Trace.TraceMax() : 0u;
  };
  EXPECT_EQ(Ring(), 0u);
  Port.SetTracing(tlOn);
  EXPECT_EQ(Ring(), 100u);
  // A new size starts a running trace afresh.
  Port.SetTraceSize(50);
  EXPECT_EQ(Port.Tracing(), tlOn);
  EXPECT_EQ(Ring(), 50u);
  Port.PutString("ab");
  EXPECT_EQ(Pty.ReadMaster(2), "ab");
  Port.SetTracing(tlAppendAndContinue);
  EXPECT_EQ(Port.Tracing(), tlOn);
  EXPECT_EQ(test::ReadFileBytes(File), "Transmit: \r\nab");
  Port.SetTracing(tlPause);
  EXPECT_EQ(Port.Tracing(), tlPause);
  Port.PutString("c");
  EXPECT_EQ(Pty.ReadMaster(1), "c");
  // Paused: nothing recorded, so the dump leaves the file alone.
  Port.SetTracing(tlDump);
  EXPECT_EQ(Port.Tracing(), tlOff);
  EXPECT_EQ(test::ReadFileBytes(File), "Transmit: \r\nab");
  // A paused trace ends when the size changes.
  Port.SetTracing(tlOn);
  Port.SetTracing(tlPause);
  Port.SetTraceSize(60);
  EXPECT_EQ(Port.Tracing(), tlOff);
  EXPECT_EQ(Ring(), 0u);
}

TEST(ComPortPtyProperties, LogIsWrittenWhenThePortCloses) {
  test::PtyPort Pty(3);
  test::ScopedTempDir Dir;
  const std::string File = Dir.File("d.log");
  TDudComPort Port;
  Port.SetComNumber(3);
  Port.SetLogName(File);
  Port.SetLogging(tlOn);
  Port.SetOpen(true);
  EXPECT_TRUE(Port.Dispatcher()->Log.LoggingOn.load());
  Port.PutString("AT");
  EXPECT_EQ(Pty.ReadMaster(2), "AT");
  Port.SetOpen(false);
  EXPECT_EQ(Port.Logging(), tlOff);
  const std::string Report = test::ReadFileBytes(File);
  EXPECT_EQ(Report.rfind("RIZI v4.07", 0), 0u) << Report;
  EXPECT_NE(Report.find("COM3"), std::string::npos);
}

}  // namespace
}  // namespace dud
