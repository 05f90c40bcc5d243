// The port component opened and closed many times with traffic both ways and its
// events assigned, and closed from inside its events and from timers while bytes
// flow: every cycle must deliver exactly its own bytes, and afterwards no thread,
// descriptor, window or dispatcher may be left (AddressSanitizer's leak check
// covers memory).
//
// Counts (stress_support.h): 500 open/close cycles in the normal build and under
// AddressSanitizer, 300 under ThreadSanitizer; 100, 100 and 60 rounds of closing
// from events and timers.
#include <gtest/gtest.h>

#include <atomic>
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
#include "stress_support.h"

namespace dud {
namespace {

using namespace dud::stress;

using dud::test::TDisplayCapture;

bool PortIsFree(const test::PtyPort& Pty) {
  HANDLE H = CreateFileA(Pty.name().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
  if (H == INVALID_HANDLE_VALUE) return false;
  CloseHandle(H);
  return true;
}

bool NoDispatcherListed() {
  std::lock_guard<std::recursive_mutex> Lock(PortListSection());
  for (TDudBaseDispatcher* D : PortList())
    if (D != nullptr) return false;
  return true;
}

// Bytes of one cycle: a piece of the stream starting at a position of its own, so
// that bytes of one cycle never pass for those of another.
std::string CycleBytes(int Cycle, uint64_t Seed, size_t Len) {
  std::string S(Len, '\0');
  FillStream(reinterpret_cast<uint8_t*>(S.data()), Len, Seed * 1000003u + static_cast<uint64_t>(Cycle) * 7919u);
  return S;
}

bool IsPrefix(const std::string& Part, const std::string& Whole) {
  return Part.size() <= Whole.size() && Whole.compare(0, Part.size(), Part) == 0;
}

TEST(ComPortCyclesStress, OpenCloseCyclesWithTrafficLeaveNothingBehind) {
  const int Cycles = Scaled(500, 500, 300);
  TDisplayCapture Display;
  test::PtyPort Pty(11);
  TDudComPort Port;
  Port.SetComNumber(11);
  int Opens = 0, Closes = 0;
  std::string Received;
  Port.SetOnPortOpen([&](TDudCustomComPort*) { ++Opens; });
  Port.SetOnPortClose([&](TDudCustomComPort*) { ++Closes; });
  Port.SetOnTriggerAvail([&](TDudCustomComPort* CP, uint16_t) { Received += CP->GetBlock(CP->InBuffUsed()); });
  std::vector<HWND> Windows;
  int Drained = 0, CutShort = 0;
  uint64_t BytesChecked = 0;

  // One cycle. Three of four wait for both directions and check them exactly;
  // every fourth closes while the bytes are still on their way, and then only
  // what arrived must be a prefix of what was sent. The next exact cycle shows
  // whether anything of a cut-short one was left behind.
  auto Cycle = [&](int I) {
    Port.SetOpen(true);
    ASSERT_TRUE(Port.Open()) << "cycle " << I;
    ASSERT_NE(Port.NotificationWindow(), nullptr);
    Windows.push_back(Port.NotificationWindow());
    const std::string In = CycleBytes(I, 1, 1 + static_cast<size_t>(I * 37 + 100) % 1500);
    const std::string Out = CycleBytes(I, 2, 1 + static_cast<size_t>(I * 53 + 7) % 1500);
    ASSERT_TRUE(Pty.WriteMaster(In));
    Port.PutString(Out);
    if (I % 4 != 3) {
      ASSERT_EQ(Pty.ReadMaster(Out.size()), Out) << "cycle " << I;
      ASSERT_TRUE(PumpUntil([&] { return Received.size() >= In.size(); })) << "cycle " << I;
      ASSERT_EQ(Received, In) << "cycle " << I;
      BytesChecked += In.size() + Out.size();
      ++Drained;
    }
    const HWND Window = Port.NotificationWindow();
    Port.SetOpen(false);
    ASSERT_EQ(Port.PortState(), psClosed) << "cycle " << I;
    ASSERT_EQ(Port.Dispatcher(), nullptr);
    ASSERT_EQ(Port.NotificationWindow(), nullptr);
    ASSERT_FALSE(IsWindow(Window));
    if (I % 4 == 3) {
      ++CutShort;
      EXPECT_TRUE(IsPrefix(Received, In)) << "cycle " << I;
      // The threads are gone: all the stack sent is on the master already.
      EXPECT_TRUE(IsPrefix(Pty.ReadMasterAvailable(20), Out)) << "cycle " << I;
    }
    Received.clear();
  };

  // A first cycle makes what lives as long as the process or this thread (the
  // thread's message queue, the window class, the timer resolution).
  Cycle(-1);
  ASSERT_FALSE(HasFatalFailure());
  const int Threads = SteadyThreadCount();
  const int Fds = FdCount();
  const auto Start = Clock::now();
  for (int I = 0; I < Cycles && !HasFatalFailure(); ++I) Cycle(I);
  ASSERT_FALSE(HasFatalFailure());
  const int64_t Ms = MsSince(Start);

  EXPECT_TRUE(SettlesTo(Threads, Fds)) << ThreadCount() << " threads (were " << Threads << "), " << FdCount()
                                       << " descriptors (were " << Fds << ")";
  EXPECT_EQ(Opens, Cycles + 1);
  EXPECT_EQ(Closes, Cycles + 1);
  int LiveWindows = 0;
  for (HWND W : Windows) LiveWindows += IsWindow(W) ? 1 : 0;
  EXPECT_EQ(LiveWindows, 0);
  EXPECT_TRUE(NoDispatcherListed());
  EXPECT_TRUE(PortIsFree(Pty));
  EXPECT_TRUE(Display.Taken().empty()) << Display.Taken().front();
  Report("cycles", Cycles, "");
  Report("cycles checked exactly", Drained, "");
  Report("cycles cut short", CutShort, "");
  Report("cycle bytes checked", static_cast<double>(BytesChecked), "bytes");
  Report("cycles time", static_cast<double>(Ms), "ms");
}

// Bytes that wait on the device when the port opens arrive before the component
// has registered its window: they must still be reported by the avail event, also
// when nothing more arrives after them.
TEST(ComPortCyclesStress, BytesWaitingAtTheOpenAreReported) {
  const int Rounds = Scaled(20, 20, 10);
  test::PtyPort Pty(18);
  for (int I = 0; I < Rounds && !HasFatalFailure(); ++I) {
    TDudComPort Port;
    Port.SetComNumber(18);
    std::string Received;
    Port.SetOnTriggerAvail([&](TDudCustomComPort* CP, uint16_t) { Received += CP->GetBlock(CP->InBuffUsed()); });
    // Within what the pty holds for a reader that is not there yet.
    const std::string Waiting = CycleBytes(I, 3, 1 + static_cast<size_t>(I * 211) % 3000);
    ASSERT_TRUE(Pty.WriteMaster(Waiting));
    Port.SetOpen(true);
    ASSERT_TRUE(Port.Open());
    EXPECT_TRUE(PumpUntil([&] { return Received.size() >= Waiting.size(); }, 5000))
        << "round " << I << ": " << Received.size() << " of " << Waiting.size() << " bytes reported";
    EXPECT_EQ(Received, Waiting) << "round " << I;
  }
}

// ---------------------------------------------------------------- closing from events and timers

enum TCloseWay { cwAvail, cwTimerTrigger, cwOutSent, cwWorkerMessage, cwPumpLoop, cwWayCount };

const char* WayName(int W) {
  static const char* const Names[] = {"avail event", "timer event", "out-sent event", "worker message", "pump loop"};
  return Names[W];
}

// The message a worker posts to the application thread to ask for the close.
constexpr UINT CloseRequestMsg = WM_USER + 0x51;

// Traffic on the master while the test runs: a writer that keeps the stack's
// input busy and a reader that takes everything the stack sends. Neither blocks
// for long, whether the port is open or not.
class TMasterTraffic {
 public:
  explicit TMasterTraffic(int Fd) : Fd(Fd) {
    Writer = std::thread([this] {
      std::vector<uint8_t> Buf(2048);
      uint64_t Pos = 0;
      while (!Stop.load()) {
        FillStream(Buf.data(), Buf.size(), Pos);
        const size_t N = WriteSome(this->Fd, Buf.data(), Buf.size(), 20);
        Pos += N;
        Written.fetch_add(N);
      }
    });
    Reader = std::thread([this] {
      while (!Stop.load()) Read.fetch_add(ReadSome(this->Fd, 65536, 20).size());
    });
  }
  ~TMasterTraffic() {
    Stop.store(true);
    Writer.join();
    Reader.join();
  }
  TMasterTraffic(const TMasterTraffic&) = delete;
  TMasterTraffic& operator=(const TMasterTraffic&) = delete;

  std::atomic<uint64_t> Written{0};
  std::atomic<uint64_t> Read{0};

 private:
  int Fd;
  std::atomic<bool> Stop{false};
  std::thread Writer;
  std::thread Reader;
};

TEST(ComPortCyclesStress, ClosingFromEventsAndTimersWhileBytesFlow) {
  const int Rounds = Scaled(100, 100, 60);
  TDisplayCapture Display;
  test::PtyPort Pty(12);
  const DWORD AppThread = GetCurrentThreadId();
  // This thread's queue exists before a worker posts to it.
  MSG Msg{};
  PeekMessageA(&Msg, nullptr, 0, 0, PM_NOREMOVE);
  {
    // What lives as long as the process is made before the baseline is taken.
    TDudComPort Warm;
    Warm.SetComNumber(12);
    Warm.SetOpen(true);
  }
  TMasterTraffic Traffic(Pty.master_fd());
  const int Threads = SteadyThreadCount();
  const int Fds = FdCount();
  const auto Start = Clock::now();
  int Ways[cwWayCount] = {};
  int64_t SlowestRoundMs[cwWayCount] = {};
  uint64_t BytesIn = 0;
  int64_t LongestCloseMs = 0;

  for (int I = 0; I < Rounds && !HasFatalFailure(); ++I) {
    const int Way = I % cwWayCount;
    // A new component each round: triggers saved by one close are not carried on.
    auto Port = std::make_unique<TDudComPort>();
    Port->SetComNumber(12);
    int Closes = 0;
    bool CloseAsked = false;
    Clock::time_point AskedAt{};
    uint64_t RoundIn = 0;
    auto Close = [&](TDudCustomComPort* CP) {
      if (CloseAsked) return;
      CloseAsked = true;
      AskedAt = Clock::now();
      CP->SetOpen(false);
    };
    const uint64_t CloseAfter = 1 + static_cast<uint64_t>(I * 997) % 20000;
    Port->SetOnPortClose([&](TDudCustomComPort*) { ++Closes; });
    Port->SetOnTriggerAvail([&](TDudCustomComPort* CP, uint16_t) {
      RoundIn += CP->GetBlock(CP->InBuffUsed()).size();
      if (Way == cwAvail && RoundIn >= CloseAfter) Close(CP);
    });
    Port->SetOnTriggerTimer([&](TDudCustomComPort* CP, uint16_t) {
      if (Way == cwTimerTrigger) Close(CP);
    });
    Port->SetOnTriggerOutSent([&](TDudCustomComPort* CP) {
      if (Way == cwOutSent) Close(CP);
    });
    Port->SetOpen(true);
    ASSERT_TRUE(Port->Open()) << "round " << I;
    const HWND Window = Port->NotificationWindow();
    if (Way == cwTimerTrigger) Port->SetTimerTrigger(Port->AddTimerTrigger(), 1 + I % 3, true);
    if (Way == cwOutSent) {
      const uint16_t H = Port->AddStatusTrigger(stOutSent);
      Port->SetStatusTrigger(H, 0, true);
    }
    std::thread Timer;
    const int DelayMs = 5 + (I * 13) % 60;
    if (Way == cwWorkerMessage) {
      Timer = std::thread([AppThread, DelayMs] {
        std::this_thread::sleep_for(std::chrono::milliseconds(DelayMs));
        PostThreadMessageA(AppThread, CloseRequestMsg, 0, 0);
      });
    }
    const auto RoundStart = Clock::now();

    // The application thread's loop: output whenever there is room, messages as
    // they come, and the two closes that happen outside events.
    std::vector<uint8_t> Block(700);
    uint64_t OutPos = 0;
    bool Guarded = true;
    while (Port->PortState() != psClosed) {
      if (MsSince(RoundStart) > 10000) {
        Guarded = false;
        break;
      }
      if (Port->PortState() == psOpen && Port->Dispatcher() != nullptr) {
        FillStream(Block.data(), Block.size(), OutPos);
        if (Port->Dispatcher()->PutBlock(Block.data(), static_cast<uint32_t>(Block.size())) == ecOK)
          OutPos += Block.size();
      }
      if (Way == cwPumpLoop && !CloseAsked && MsSince(RoundStart) >= DelayMs) Close(Port.get());
      if (PeekMessageA(&Msg, nullptr, 0, 0, PM_REMOVE)) {
        if (Msg.hwnd == nullptr && Msg.message == CloseRequestMsg) {
          Close(Port.get());
        } else {
          TranslateMessage(&Msg);
          DispatchMessageA(&Msg);
        }
        continue;
      }
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 2, QS_ALLINPUT);
    }
    if (Timer.joinable()) Timer.join();
    ASSERT_TRUE(Guarded) << "round " << I << " (" << WayName(Way) << "): still " << static_cast<int>(Port->PortState())
                         << " after 10 s, close asked: " << CloseAsked;
    LongestCloseMs = std::max<int64_t>(LongestCloseMs, MsSince(AskedAt));
    EXPECT_TRUE(CloseAsked);
    EXPECT_EQ(Closes, 1) << "round " << I << " (" << WayName(Way) << ")";
    EXPECT_FALSE(Port->Open());
    EXPECT_EQ(Port->Dispatcher(), nullptr);
    EXPECT_FALSE(IsWindow(Window));
    EXPECT_TRUE(PortIsFree(Pty)) << "round " << I;
    Port.reset();
    // Completion messages still queued find nobody.
    PumpFor(5);
    BytesIn += RoundIn;
    ++Ways[Way];
    SlowestRoundMs[Way] = std::max<int64_t>(SlowestRoundMs[Way], MsSince(RoundStart));
  }
  ASSERT_FALSE(HasFatalFailure());
  EXPECT_TRUE(SettlesTo(Threads, Fds)) << ThreadCount() << " threads (were " << Threads << "), " << FdCount()
                                       << " descriptors (were " << Fds << ")";
  EXPECT_TRUE(NoDispatcherListed());
  EXPECT_TRUE(Display.Taken().empty()) << Display.Taken().front();
  for (int W = 0; W < cwWayCount; ++W) EXPECT_GT(Ways[W], 0) << WayName(W);
  Report("close rounds", Rounds, "");
  Report("close rounds bytes received", static_cast<double>(BytesIn), "bytes");
  Report("close rounds master read", static_cast<double>(Traffic.Read.load()), "bytes");
  Report("longest close after the request", static_cast<double>(LongestCloseMs), "ms");
  for (int W = 0; W < cwWayCount; ++W)
    Report((std::string("slowest round closed from the ") + WayName(W)).c_str(), static_cast<double>(SlowestRoundMs[W]),
           "ms");
  Report("close rounds time", static_cast<double>(MsSince(Start)), "ms");
}

}  // namespace
}  // namespace dud
