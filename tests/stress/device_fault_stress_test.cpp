// Device faults under load, through the port component: the device vanishing
// (the pty's master closed) while bytes flow both ways, and a device that stops
// taking output. The stack must end its worker threads with one error shown once
// on the application thread, let the port be closed and opened again on a new
// device under the same number, refuse output once the ring is full, and finish
// every close within a bound; nothing may hang.
//
// Counts (stress_support.h): 20 losses of the device in the normal build and
// under AddressSanitizer, 10 under ThreadSanitizer; 3, 2 and 2 stalls; 5, 3 and
// 3 losses of a stalled device.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "comport/com_port.h"
#include "errors/error_codes.h"
#include "platform/win32.h"
#include "pty_port.h"
#include "stress_support.h"

namespace dud {
namespace {

using namespace dud::stress;

// The message that carries a shown exception to the application thread.
constexpr UINT ShownMsg = WM_USER + 0x52;

// An exception display as an application installs it: the worker thread that
// reports hands the text over to the application thread, which shows it when it
// handles the message. Texts shown on the application thread are kept in order.
class TAppThreadDisplay {
 public:
  TAppThreadDisplay() : AppThread(GetCurrentThreadId()) {
    MSG Msg{};
    PeekMessageA(&Msg, nullptr, 0, 0, PM_NOREMOVE);  // the queue exists before a worker posts
    Previous = SetExceptionDisplay([this](const std::exception& E) {
      {
        std::lock_guard<std::mutex> Lock(Mutex);
        Pending.push_back(E.what());
      }
      if (GetCurrentThreadId() != AppThread) PostThreadMessageA(AppThread, ShownMsg, 0, 0);
      else Take();
    });
  }
  ~TAppThreadDisplay() { SetExceptionDisplay(std::move(Previous)); }

  // The application thread's share of PumpUntil: takes a hand-over message.
  bool Handle(const MSG& Msg) {
    if (Msg.hwnd != nullptr || Msg.message != ShownMsg) return false;
    Take();
    return true;
  }
  std::vector<std::string> Shown;  // application thread only

 private:
  void Take() {
    std::lock_guard<std::mutex> Lock(Mutex);
    for (std::string& S : Pending) Shown.push_back(std::move(S));
    Pending.clear();
  }
  const DWORD AppThread;
  std::mutex Mutex;
  std::vector<std::string> Pending;  // Mutex
  TExceptionDisplay Previous;
};

// PumpUntil with the display's hand-over messages taken on the way.
bool PumpShowing(TAppThreadDisplay& Display, const std::function<bool()>& Done, int TimeoutMs = 10000) {
  const auto Deadline = Clock::now() + std::chrono::milliseconds(TimeoutMs);
  while (!Done()) {
    if (Clock::now() >= Deadline) return false;
    MSG Msg{};
    if (PeekMessageA(&Msg, nullptr, 0, 0, PM_REMOVE)) {
      if (!Display.Handle(Msg)) {
        TranslateMessage(&Msg);
        DispatchMessageA(&Msg);
      }
      continue;
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
  }
  return true;
}

bool PortIsFree(const test::PtyPort& Pty) {
  HANDLE H = CreateFileA(Pty.name().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
  if (H == INVALID_HANDLE_VALUE) return false;
  CloseHandle(H);
  return true;
}

// Opens and closes a port once, so that what lives as long as the process exists
// before a test counts threads and descriptors.
void WarmUp(int Com) {
  test::PtyPort Pty(Com);
  TDudComPort Port;
  Port.SetComNumber(static_cast<uint16_t>(Com));
  Port.SetOpen(true);
}

bool ThreadsGone(const TDudBaseDispatcher* D) {
  return !D->ThreadsActive.load() && D->ActiveThreads.load() == 0 && D->ComThread.load() == nullptr &&
         D->DispThread.load() == nullptr && D->OutThread.load() == nullptr && D->StatusThread.load() == nullptr;
}

// A round trip both ways on an open port: the port works.
void ExpectRoundTrip(TDudComPort& Port, test::PtyPort& Pty, std::string& Received, TAppThreadDisplay& Display) {
  Received.clear();
  Port.PutString("ping");
  EXPECT_EQ(Pty.ReadMaster(4), "ping");
  ASSERT_TRUE(Pty.WriteMaster("pong"));
  EXPECT_TRUE(PumpShowing(Display, [&] { return Received.size() >= 4; }));
  EXPECT_EQ(Received, "pong");
}

TEST(DeviceFaultStress, DeviceVanishingUnderLoadIsReportedOnceAndThePortRecovers) {
  const int Losses = Scaled(20, 20, 10);
  constexpr int Com = 14;
  TAppThreadDisplay Display;
  WarmUp(Com);
  const int Threads = SteadyThreadCount();
  const int Fds = FdCount();
  auto Pty = std::make_unique<test::PtyPort>(Com);
  TDudComPort Port;
  Port.SetComNumber(Com);
  std::string Received;
  Port.SetOnTriggerAvail([&](TDudCustomComPort* CP, uint16_t) { Received += CP->GetBlock(CP->InBuffUsed()); });
  Port.SetOpen(true);
  ASSERT_TRUE(Port.Open());
  const auto Start = Clock::now();
  int64_t LongestEndMs = 0, LongestCloseMs = 0;

  for (int I = 0; I < Losses && !HasFatalFailure(); ++I) {
    TDudBaseDispatcher* D = Port.Dispatcher();
    ASSERT_NE(D, nullptr);
    Display.Shown.clear();
    // The peer writes for a while and then goes away: the master closes on the
    // writer's own thread, so nothing else uses its descriptor meanwhile.
    const int LoadMs = 30 + (I * 37) % 150;
    std::atomic<bool> Gone{false};
    std::thread Peer([&, LoadMs] {
      std::vector<uint8_t> Buf(4096);
      const auto T0 = Clock::now();
      uint64_t Pos = 0;
      while (MsSince(T0) < LoadMs) {
        FillStream(Buf.data(), Buf.size(), Pos);
        Pos += WriteSome(Pty->master_fd(), Buf.data(), Buf.size(), 10);
      }
      Pty->CloseMaster();
      Gone.store(true);
    });
    // Meanwhile the application writes (nobody reads the master, so the output
    // stalls and PutBlock starts refusing) and handles its messages.
    std::vector<uint8_t> Block(1000);
    uint64_t OutPos = 0;
    const bool PeerGone = PumpShowing(Display, [&] {
      FillStream(Block.data(), Block.size(), OutPos);
      const int32_t R = D->PutBlock(Block.data(), static_cast<uint32_t>(Block.size()));
      if (R == ecOK) OutPos += Block.size();
      else EXPECT_EQ(R, ecOutputBufferTooSmall);
      return Gone.load();
    });
    Peer.join();
    ASSERT_TRUE(PeerGone) << "loss " << I;
    const auto LostAt = Clock::now();

    // The worker threads notice and end, all of them.
    ASSERT_TRUE(PumpShowing(Display, [&] { return ThreadsGone(D); })) << "loss " << I << ": the threads did not end";
    LongestEndMs = std::max<int64_t>(LongestEndMs, MsSince(LostAt));
    // Whatever else arrives in a moment: the failure is shown once, on this thread.
    PumpShowing(Display, [] { return false; }, 150);
    ASSERT_EQ(Display.Shown.size(), 1u) << "loss " << I << ": " << testing::PrintToString(Display.Shown);
    EXPECT_TRUE(Display.Shown[0] == "Device read error" || Display.Shown[0] == "Device write error")
        << Display.Shown[0];
    // Output on a gone device still goes into the ring until it is full, never further.
    uint8_t C = 'x';
    for (int K = 0; K < 10000 && D->PutBlock(&C, 1) == ecOK; ++K) {
    }
    EXPECT_EQ(D->PutBlock(&C, 1), ecOutputBufferTooSmall);

    // The application closes the port, which completes.
    const auto CloseStart = Clock::now();
    Port.SetOpen(false);
    LongestCloseMs = std::max<int64_t>(LongestCloseMs, MsSince(CloseStart));
    ASSERT_EQ(Port.PortState(), psClosed) << "loss " << I;
    EXPECT_EQ(Port.Dispatcher(), nullptr);

    // A new device under the same number (as when the adapter is plugged in
    // again): the port opens and works.
    Pty.reset();
    Pty = std::make_unique<test::PtyPort>(Com);
    Port.SetOpen(true);
    ASSERT_TRUE(Port.Open()) << "loss " << I;
    ExpectRoundTrip(Port, *Pty, Received, Display);
    EXPECT_EQ(Display.Shown.size(), 1u) << "loss " << I << ": " << testing::PrintToString(Display.Shown);
  }
  ASSERT_FALSE(HasFatalFailure());
  Port.SetOpen(false);
  EXPECT_TRUE(PortIsFree(*Pty));
  Pty.reset();
  EXPECT_TRUE(SettlesTo(Threads, Fds)) << ThreadCount() << " threads (were " << Threads << "), " << FdCount()
                                       << " descriptors (were " << Fds << ")";
  Report("device losses survived", Losses, "");
  Report("longest end of the threads after a loss", static_cast<double>(LongestEndMs), "ms");
  Report("longest close after a loss", static_cast<double>(LongestCloseMs), "ms");
  Report("device losses time", static_cast<double>(MsSince(Start)), "ms");
}

// Fills the output ring of a device that takes nothing more until PutBlock
// refuses even one byte and the ring stays full. Returns the bytes accepted (the
// stream from position 0), so that what the device took can be checked.
uint64_t FillUntilStalled(TDudComPort& Port, uint32_t OutSize) {
  TDudBaseDispatcher* D = Port.Dispatcher();
  std::vector<uint8_t> Block(512);
  uint64_t Sent = 0;
  const auto Start = Clock::now();
  // The pty's own buffers take some kilobytes first; then the write thread's
  // write stays pending and the ring fills. A busy machine may hold the write
  // thread up for a moment, so the ring must also stay full for a while.
  while (MsSince(Start) < 10000) {
    auto LastAccepted = Clock::now();
    PumpUntil(
        [&] {
          FillStream(Block.data(), Block.size(), Sent);
          if (D->PutBlock(Block.data(), static_cast<uint32_t>(Block.size())) == ecOK) {
            Sent += Block.size();
            LastAccepted = Clock::now();
          }
          return MsSince(LastAccepted) > 300;
        },
        10000);
    // Top up to the last byte (bounded, should the device take bytes again after all).
    for (uint32_t K = 0; K <= OutSize; ++K) {
      uint8_t C = StreamByte(Sent);
      if (D->PutBlock(&C, 1) != ecOK) break;
      ++Sent;
    }
    PumpFor(100);
    if (D->OutBuffUsed() == OutSize) break;
  }
  return Sent;
}

TEST(DeviceFaultStress, StalledOutputIsRefusedWhenTheRingIsFullAndCloseStillCompletes) {
  const int Stalls = Scaled(3, 2, 2);
  constexpr uint32_t OutSize = 4096;
  TAppThreadDisplay Display;
  int64_t LongestCloseMs = 0;
  uint64_t BytesChecked = 0;
  const auto Start = Clock::now();

  for (int I = 0; I < Stalls && !HasFatalFailure(); ++I) {
    test::PtyPort Pty(15);
    TDudComPort Port;
    Port.SetComNumber(15);
    Port.SetOutSize(OutSize);
    std::string Received;
    Port.SetOnTriggerAvail([&](TDudCustomComPort* CP, uint16_t) { Received += CP->GetBlock(CP->InBuffUsed()); });
    Port.SetOpen(true);
    ASSERT_TRUE(Port.Open());
    // The master never reads: the device stops taking output.
    const uint64_t Sent = FillUntilStalled(Port, OutSize);
    TDudBaseDispatcher* D = Port.Dispatcher();
    EXPECT_EQ(D->OutBuffUsed(), OutSize) << "stall " << I;
    EXPECT_EQ(D->OutBuffFree(), 0u);
    uint8_t C = 'x';
    EXPECT_EQ(D->PutBlock(&C, 1), ecOutputBufferTooSmall);
    EXPECT_THROW(Port.PutChar('x'), EOutputBufferTooSmall);
    // Input still flows while the output is stuck.
    ASSERT_TRUE(Pty.WriteMaster("still here"));
    EXPECT_TRUE(PumpShowing(Display, [&] { return Received.size() >= 10; }));
    EXPECT_EQ(Received, "still here");

    // The close discards the stuck output and completes; only a hang is a failure.
    const auto CloseStart = Clock::now();
    Port.SetOpen(false);
    const int64_t CloseMs = MsSince(CloseStart);
    LongestCloseMs = std::max(LongestCloseMs, CloseMs);
    EXPECT_LT(CloseMs, 10000) << "stall " << I;
    EXPECT_EQ(Port.PortState(), psClosed);
    EXPECT_TRUE(PortIsFree(Pty));
    // What the device took is the stream's beginning, in order.
    TStreamChecker Taken;
    for (std::string S = ReadSome(Pty.master_fd(), 65536, 100); !S.empty(); S = ReadSome(Pty.master_fd(), 65536, 50))
      Taken.Add(S);
    EXPECT_EQ(Taken.FirstMismatch, -1);
    EXPECT_GT(Taken.Count(), 0u);
    EXPECT_LE(Taken.Count(), Sent);
    BytesChecked += Taken.Count();

    // And the port opens again on the same device, which takes output again.
    Port.SetOpen(true);
    ExpectRoundTrip(Port, Pty, Received, Display);
    Port.SetOpen(false);
  }
  ASSERT_FALSE(HasFatalFailure());
  EXPECT_TRUE(Display.Shown.empty()) << Display.Shown.front();
  Report("stalls survived", Stalls, "");
  Report("stalled bytes checked", static_cast<double>(BytesChecked), "bytes");
  Report("longest close of a stalled port", static_cast<double>(LongestCloseMs), "ms");
  Report("stalls time", static_cast<double>(MsSince(Start)), "ms");
}

TEST(DeviceFaultStress, DeviceVanishingWhileItsOutputIsStalledEndsOnceAndCloses) {
  const int Rounds = Scaled(5, 3, 3);
  constexpr uint32_t OutSize = 4096;
  TAppThreadDisplay Display;
  WarmUp(16);
  const int Threads = SteadyThreadCount();
  const int Fds = FdCount();
  const auto Start = Clock::now();
  int64_t LongestEndMs = 0;
  for (int I = 0; I < Rounds && !HasFatalFailure(); ++I) {
    test::PtyPort Pty(16);
    TDudComPort Port;
    Port.SetComNumber(16);
    Port.SetOutSize(OutSize);
    Port.SetOpen(true);
    ASSERT_TRUE(Port.Open());
    FillUntilStalled(Port, OutSize);
    Display.Shown.clear();
    // The write thread waits on a write the device will never finish; the device goes.
    Pty.CloseMaster();
    const auto LostAt = Clock::now();
    TDudBaseDispatcher* D = Port.Dispatcher();
    ASSERT_TRUE(PumpShowing(Display, [&] { return ThreadsGone(D); })) << "round " << I;
    LongestEndMs = std::max<int64_t>(LongestEndMs, MsSince(LostAt));
    PumpShowing(Display, [] { return false; }, 150);
    EXPECT_EQ(Display.Shown.size(), 1u) << "round " << I << ": " << testing::PrintToString(Display.Shown);
    const auto CloseStart = Clock::now();
    Port.SetOpen(false);
    EXPECT_LT(MsSince(CloseStart), 10000);
    EXPECT_EQ(Port.PortState(), psClosed);
    EXPECT_EQ(Port.Dispatcher(), nullptr);
  }
  // The write that the device never finished left nothing behind either.
  EXPECT_TRUE(SettlesTo(Threads, Fds)) << ThreadCount() << " threads (were " << Threads << "), " << FdCount()
                                       << " descriptors (were " << Fds << ")";
  Report("losses of a stalled device survived", Rounds, "");
  Report("longest end of the threads after losing a stalled device", static_cast<double>(LongestEndMs), "ms");
  Report("stalled losses time", static_cast<double>(MsSince(Start)), "ms");
}

// The device goes while the application is inside an event (the dispatcher
// thread waits for it), and the event closes the port: the failure is shown once,
// the deferred close completes, and the port opens again on a new device.
TEST(DeviceFaultStress, DeviceVanishingDuringAnEventThatClosesThePort) {
  const int Rounds = Scaled(10, 10, 5);
  constexpr int Com = 17;
  TAppThreadDisplay Display;
  for (int I = 0; I < Rounds && !HasFatalFailure(); ++I) {
    auto Pty = std::make_unique<test::PtyPort>(Com);
    TDudComPort Port;
    Port.SetComNumber(Com);
    int Events = 0, Closes = 0;
    Port.SetOnPortClose([&](TDudCustomComPort*) { ++Closes; });
    Port.SetOnTriggerAvail([&](TDudCustomComPort* CP, uint16_t) {
      if (++Events > 1) return;
      CP->GetBlock(CP->InBuffUsed());
      Pty->CloseMaster();
      // The device threads notice meanwhile; the dispatcher thread still waits here.
      std::this_thread::sleep_for(std::chrono::milliseconds(50 + I * 10));
      CP->SetOpen(false);
    });
    Port.SetOpen(true);
    ASSERT_TRUE(Port.Open());
    Display.Shown.clear();
    ASSERT_TRUE(Pty->WriteMaster(std::string(300, 'q')));
    ASSERT_TRUE(PumpShowing(Display, [&] { return Port.PortState() == psClosed; })) << "round " << I;
    PumpShowing(Display, [] { return false; }, 150);
    EXPECT_EQ(Closes, 1);
    EXPECT_EQ(Display.Shown.size(), 1u) << "round " << I << ": " << testing::PrintToString(Display.Shown);
    EXPECT_EQ(Port.Dispatcher(), nullptr);
    EXPECT_EQ(Port.NotificationWindow(), nullptr);

    Pty.reset();
    Pty = std::make_unique<test::PtyPort>(Com);
    Port.SetOnTriggerAvail(nullptr);
    std::string Received;
    Port.SetOnTriggerAvail([&](TDudCustomComPort* CP, uint16_t) { Received += CP->GetBlock(CP->InBuffUsed()); });
    Port.SetOpen(true);
    ASSERT_TRUE(Port.Open()) << "round " << I;
    ExpectRoundTrip(Port, *Pty, Received, Display);
    Port.SetOpen(false);
    EXPECT_EQ(Display.Shown.size(), 1u) << "round " << I;
  }
}

}  // namespace
}  // namespace dud
