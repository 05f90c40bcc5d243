// The Win32 device layer over real pseudo-terminals: the four threads start and
// stop, bytes travel through them in both directions in order, received bytes
// are cut into 256-byte chunks, large and flushed writes, a device that goes away
// under the port, and many opens and closes that must leave nothing behind.
#include <dirent.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "display_capture.h"
#include "device/io_queue.h"
#include "device/io_threads.h"
#include "device/win32_dispatcher.h"
#include "errors/error_codes.h"
#include "errors/exceptions.h"
#include "pty_port.h"

namespace dud {
namespace {

using test::PtyPort;

// Polls Pred every 5 ms until it holds or TimeoutMs have passed (a hang guard).
bool WaitFor(const std::function<bool()>& Pred, int TimeoutMs = 5000) {
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
  while (!Pred()) {
    if (std::chrono::steady_clock::now() > Deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::string Pattern(size_t N, uint32_t Seed) {
  std::string S(N, '\0');
  for (size_t I = 0; I < N; ++I) S[I] = static_cast<char>((I * 131 + Seed * 7 + I / 251) & 0xFF);
  return S;
}

int CountEntries(const char* Dir) {
  int N = 0;
  if (DIR* D = opendir(Dir)) {
    while (const dirent* E = readdir(D))
      if (std::strcmp(E->d_name, ".") != 0 && std::strcmp(E->d_name, "..") != 0) ++N;
    closedir(D);
  }
  return N;
}

// What the process's descriptors refer to, for the message of a failed count.
std::string FdTargets() {
  std::string Out;
  if (DIR* D = opendir("/proc/self/fd")) {
    while (const dirent* E = readdir(D)) {
      if (E->d_name[0] == '.') continue;
      char Target[256] = {};
      const std::string Link = std::string("/proc/self/fd/") + E->d_name;
      // Returns the length stored, or -1.
      if (readlink(Link.c_str(), Target, sizeof(Target) - 1) < 0) continue;
      Out += std::string(E->d_name) + " -> " + Target + "\n";
    }
    closedir(D);
  }
  return Out;
}

class Win32DispatcherPty : public testing::Test {
 protected:
  test::TDisplayCapture Display;

  std::vector<std::string> ShownExceptions() { return Display.Taken(); }

  static int32_t Open(TDudWin32Dispatcher& D, PtyPort& P, uint32_t OutSize = 4096) {
    return D.InitPort(P.name(), 9600, 0, 8, 1, 4096, OutSize, ipRaiseDTR | ipRaiseRTS);
  }

  static bool AllThreadsRun(TDudWin32Dispatcher& D) {
    return D.ComThread.load() != nullptr && D.DispThread.load() != nullptr && D.OutThread.load() != nullptr &&
           D.StatusThread.load() != nullptr;
  }
  static bool NoThreadRuns(TDudWin32Dispatcher& D) {
    return D.ComThread.load() == nullptr && D.DispThread.load() == nullptr && D.OutThread.load() == nullptr &&
           D.StatusThread.load() == nullptr && D.ActiveThreads.load() == 0 && !D.ThreadsActive.load();
  }

  // Waits until N received bytes have reached the dispatch ring and takes them.
  static std::string Receive(TDudWin32Dispatcher& D, uint32_t N) {
    if (!WaitFor([&] { return D.InBuffUsed() >= N; })) return "(only " + std::to_string(D.InBuffUsed()) + " bytes)";
    std::string Got(N, '\0');
    if (D.GetBlock(Got.data(), N) != ecOK) return "(GetBlock failed)";
    return Got;
  }

  // Fills the output ring until the write thread is stuck on a master that does
  // not read: the ring stays full.
  static bool JamOutput(TDudWin32Dispatcher& D, size_t& Sent) {
    const std::string Block = Pattern(1024, 3);
    return WaitFor(
        [&] {
          if (D.OutBuffFree() >= Block.size()) {
            if (D.PutBlock(Block.data(), static_cast<uint32_t>(Block.size())) == ecOK) Sent += Block.size();
            return false;
          }
          // Full now; still full a moment later means the writer is blocked.
          std::this_thread::sleep_for(std::chrono::milliseconds(200));
          return D.OutBuffFree() == 0;
        },
        20000);
  }

};

TEST_F(Win32DispatcherPty, OpenStartsFourThreadsAndCloseEndsThemQuietly) {
  PtyPort P(11);
  {
    TDudWin32Dispatcher D(nullptr);
    ASSERT_EQ(Open(D, P), ecOK);
    EXPECT_TRUE(AllThreadsRun(D));
    EXPECT_EQ(D.ActiveThreads.load(), 4);
    EXPECT_TRUE(D.ThreadsActive.load());
    EXPECT_NE(D.ComHandle, INVALID_HANDLE_VALUE);

    // A second open of the same device is refused while this one holds it.
    TDudWin32Dispatcher Other(nullptr);
    EXPECT_EQ(Open(Other, P), -static_cast<int32_t>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(NoThreadRuns(Other));

    D.ClosePort();
    EXPECT_TRUE(NoThreadRuns(D));
    EXPECT_EQ(D.ComHandle, INVALID_HANDLE_VALUE);
  }
  // Closing while idle: every thread ended with 0, so nothing was shown.
  EXPECT_TRUE(ShownExceptions().empty()) << ShownExceptions().front();

  // The device is free again.
  TDudWin32Dispatcher Again(nullptr);
  EXPECT_EQ(Open(Again, P), ecOK);
}

TEST_F(Win32DispatcherPty, StartDispatcherTwiceRaises) {
  PtyPort P(12);
  TDudWin32Dispatcher D(nullptr);
  ASSERT_EQ(Open(D, P), ecOK);
  TDudDispatcherThread* Read = D.ComThread.load();
  try {
    D.StartDispatcher();
    ADD_FAILURE() << "no exception";
  } catch (const Exception& E) {
    EXPECT_STREQ(E.what(), "Dispatcher already started.");
    EXPECT_EQ(dynamic_cast<const EDudException*>(&E), nullptr) << "a general exception, not an error code";
  }
  EXPECT_EQ(D.ComThread.load(), Read) << "the running threads are left alone";
  EXPECT_EQ(D.ActiveThreads.load(), 4);
  D.ClosePort();
  EXPECT_TRUE(NoThreadRuns(D));
}

TEST_F(Win32DispatcherPty, CloseComTwiceThenFlushOutputDoesNothing) {
  PtyPort P(13);
  TDudWin32Dispatcher D(nullptr);
  ASSERT_EQ(Open(D, P), ecOK);
  EXPECT_EQ(D.CloseCom(), ecOK);
  EXPECT_TRUE(NoThreadRuns(D));
  EXPECT_EQ(D.ComHandle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(D.CloseCom(), ecOK);
  EXPECT_EQ(D.FlushCom(0), ecOK);
  EXPECT_TRUE(ShownExceptions().empty());
}

TEST_F(Win32DispatcherPty, TwoClosesAtOnceBothReturnWithTheThreadsGone) {
  PtyPort P(25);
  for (int Round = 0; Round < 5; ++Round) {
    TDudWin32Dispatcher D(nullptr);
    ASSERT_EQ(Open(D, P), ecOK);
    std::atomic<int> Ready{0};
    std::atomic<int> Done{0};
    auto Close = [&] {
      Ready.fetch_add(1);
      while (Ready.load() < 2) std::this_thread::yield();
      // Whichever comes second waits for the first: on return, everything is stopped.
      const int32_t R = D.CloseCom();
      if (R == ecOK && NoThreadRuns(D) && D.ComHandle == INVALID_HANDLE_VALUE) Done.fetch_add(1);
    };
    std::thread A(Close), B(Close);
    A.join();
    B.join();
    EXPECT_EQ(Done.load(), 2) << "round " << Round;
  }
  EXPECT_TRUE(ShownExceptions().empty());
}

TEST_F(Win32DispatcherPty, TelephonyDispatcherAdoptsAnOpenDevice) {
  PtyPort P(26);
  // Returns INVALID_HANDLE_VALUE on failure.
  HANDLE H = CreateFileA(P.name().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(H, INVALID_HANDLE_VALUE);
  TDudTAPI32Dispatcher D(nullptr, H);
  ASSERT_EQ(D.InitPort("unused", 9600, 0, 8, 1, 4096, 4096, 0), ecOK);
  EXPECT_EQ(D.ComHandle, H);
  const std::string Out = "adopted";
  ASSERT_EQ(D.PutBlock(Out.data(), static_cast<uint32_t>(Out.size())), ecOK);
  EXPECT_EQ(P.ReadMaster(Out.size()), Out);
  ASSERT_TRUE(P.WriteMaster("back"));
  EXPECT_EQ(Receive(D, 4), "back");
  D.ClosePort();
  EXPECT_TRUE(NoThreadRuns(D));
  EXPECT_FALSE(CloseHandle(H)) << "the port's close closed the adopted handle";
}

TEST_F(Win32DispatcherPty, OutputReachesTheLineInOrder) {
  PtyPort P(14);
  TDudWin32Dispatcher D(nullptr);
  ASSERT_EQ(Open(D, P), ecOK);
  std::string Expected;
  for (uint32_t I = 1; I <= 40; ++I) {
    const std::string Block = Pattern(I * 5, I);
    // A full ring refuses the whole block; it fits again once the writer took the rest.
    ASSERT_TRUE(WaitFor([&] { return D.PutBlock(Block.data(), static_cast<uint32_t>(Block.size())) == ecOK; }));
    Expected += Block;
  }
  EXPECT_EQ(P.ReadMaster(Expected.size()), Expected);
  EXPECT_TRUE(WaitFor([&] { return D.OutBufUsed() == 0; }));
  D.ClosePort();
  EXPECT_TRUE(ShownExceptions().empty());
}

TEST_F(Win32DispatcherPty, InputReachesTheDispatchRingInOrder) {
  PtyPort P(15);
  TDudWin32Dispatcher D(nullptr);
  ASSERT_EQ(Open(D, P), ecOK);
  const std::string Sent = Pattern(3000, 9);
  for (size_t At = 0; At < Sent.size(); At += 37) ASSERT_TRUE(P.WriteMaster(Sent.substr(At, 37)));
  EXPECT_EQ(Receive(D, static_cast<uint32_t>(Sent.size())), Sent);
  D.ClosePort();
  EXPECT_TRUE(ShownExceptions().empty());
}

TEST_F(Win32DispatcherPty, BothDirectionsAtOnce) {
  PtyPort P(16);
  TDudWin32Dispatcher D(nullptr);
  ASSERT_EQ(Open(D, P), ecOK);
  const std::string In = Pattern(6000, 1);
  const std::string Out = Pattern(6000, 2);
  std::string Echoed;
  std::thread Peer([&] {
    for (size_t At = 0; At < In.size(); At += 500) P.WriteMaster(In.substr(At, 500));
    Echoed = P.ReadMaster(Out.size(), 10000);
  });
  for (size_t At = 0; At < Out.size();) {
    const uint32_t Len = static_cast<uint32_t>(std::min<size_t>(700, Out.size() - At));
    if (D.PutBlock(Out.data() + At, Len) == ecOK)
      At += Len;
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  // The dispatch ring holds 8192 bytes: all of the input fits.
  EXPECT_EQ(Receive(D, static_cast<uint32_t>(In.size())), In);
  Peer.join();
  EXPECT_EQ(Echoed, Out);
  D.ClosePort();
  EXPECT_TRUE(ShownExceptions().empty());
}

TEST_F(Win32DispatcherPty, WaitingBytesAreQueuedInChunksOf256) {
  // Only the read thread runs, so the chunks stay in InQueue to be looked at.
  PtyPort P(17);
  TDudWin32Dispatcher D(nullptr);
  ASSERT_EQ(D.OpenCom(P.name(), 4096, 4096), 0);
  const std::string Sent = Pattern(600, 4);
  ASSERT_TRUE(P.WriteMaster(Sent));
  ASSERT_TRUE(WaitFor([&] {
    DWORD Errors = 0;
    COMSTAT Stat{};
    return ClearCommError(D.ComHandle, &Errors, &Stat) && Stat.cbInQue == 600;
  })) << "the driver never held the 600 bytes";

  ASSERT_TRUE(TDudDispatcherThread::Launch<TReadThread>(D.ComThread, &D));
  ASSERT_TRUE(WaitFor([&] { return D.InQueue.Count() >= 3; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(150));  // more reads find nothing
  ASSERT_EQ(D.InQueue.Count(), 3) << "the empty chunk stays with the thread";

  std::string Got;
  const int32_t Filled[] = {256, 256, 88};
  for (int32_t Expected : Filled) {
    std::unique_ptr<TIOBuffer> Item = D.InQueue.Pop();
    auto* Data = dynamic_cast<TDataBuffer*>(Item.get());
    ASSERT_NE(Data, nullptr);
    EXPECT_EQ(Data->Filled, Expected);
    EXPECT_EQ(Data->Consumed, 0);
    EXPECT_EQ(Data->Size, ReadChunkSize);
    Got.append(reinterpret_cast<const char*>(Data->Data.get()), static_cast<size_t>(Data->Filled));
  }
  EXPECT_EQ(Got, Sent);

  D.SignalKillThreads();
  EXPECT_TRUE(WaitFor([&] { return D.ComThread.load() == nullptr && D.ActiveThreads.load() == 0; }));
  EXPECT_TRUE(ShownExceptions().empty());
}

TEST_F(Win32DispatcherPty, ReceivedCharactersQueueNoStatusItems) {
  // The read and status threads alone: an event word with only the received
  // character wakes the reader and queues nothing of its own.
  PtyPort P(18);
  TDudWin32Dispatcher D(nullptr);
  ASSERT_EQ(D.OpenCom(P.name(), 4096, 4096), 0);
  ASSERT_TRUE(TDudDispatcherThread::Launch<TReadThread>(D.ComThread, &D));
  ASSERT_TRUE(TDudDispatcherThread::Launch<TStatusThread>(D.StatusThread, &D));
  ASSERT_TRUE(WaitFor([&] { return D.ActiveThreads.load() == 2; }));
  std::string Sent;
  for (int I = 0; I < 20; ++I) {
    const std::string Piece = Pattern(10, static_cast<uint32_t>(I));
    ASSERT_TRUE(P.WriteMaster(Piece));
    Sent += Piece;
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
  }
  std::string Got;
  ASSERT_TRUE(WaitFor([&] {
    while (std::unique_ptr<TIOBuffer> Item = D.InQueue.Pop()) {
      auto* Data = dynamic_cast<TDataBuffer*>(Item.get());
      if (Data == nullptr) {
        Got += "<status>";
        continue;
      }
      Got.append(reinterpret_cast<const char*>(Data->Data.get()), static_cast<size_t>(Data->Filled));
    }
    return Got.size() >= Sent.size();
  }));
  EXPECT_EQ(Got, Sent);

  // Stopped as CloseCom stops it: the mask cleared ends the pending event wait.
  D.SignalKillThreads();
  SetCommMask(D.ComHandle, 0);
  EXPECT_TRUE(WaitFor([&] { return D.ActiveThreads.load() == 0; }));
  EXPECT_TRUE(ShownExceptions().empty());
}

TEST_F(Win32DispatcherPty, LargeWriteWhileTheLineReadsSlowly) {
  PtyPort P(19);
  TDudWin32Dispatcher D(nullptr);
  ASSERT_EQ(Open(D, P, 4096), ecOK);
  const std::string Out = Pattern(200 * 1024, 5);
  std::string Got;
  std::thread Slow([&] {
    while (Got.size() < Out.size()) {
      const std::string Piece = P.ReadMasterAvailable(50, 1024);
      if (Piece.empty() && Got.size() < Out.size()) {
        // Nothing for a while: give up only after a long silence (hang guard).
        const std::string More = P.ReadMasterAvailable(10000, 1024);
        if (More.empty()) return;
        Got += More;
      }
      Got += Piece;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (size_t At = 0; At < Out.size() && std::chrono::steady_clock::now() < Deadline;) {
    const uint32_t Len = static_cast<uint32_t>(std::min<size_t>(1500, Out.size() - At));
    if (D.PutBlock(Out.data() + At, Len) == ecOK)
      At += Len;
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(1));  // the ring is full: wait for the writer
  }
  Slow.join();
  ASSERT_EQ(Got.size(), Out.size());
  EXPECT_TRUE(Got == Out) << "bytes lost or reordered";
  D.ClosePort();
  EXPECT_TRUE(ShownExceptions().empty());
}

TEST_F(Win32DispatcherPty, RS485WritesLeaveRTSToTheDriverOnNT) {
  ASSERT_TRUE(PlatformIsNT()) << "the POSIX platform reports the NT family";
  PtyPort P(24);
  TDudWin32Dispatcher D(nullptr);
  ASSERT_EQ(Open(D, P), ecOK);
  ASSERT_EQ(D.SetRTS(true), 0);
  D.SetRS485Mode(true);
  const std::string Out = "direction";
  ASSERT_EQ(D.PutBlock(Out.data(), static_cast<uint32_t>(Out.size())), ecOK);
  EXPECT_EQ(P.ReadMaster(Out.size()), Out);
  ASSERT_TRUE(WaitFor([&] { return D.OutBufUsed() == 0; }));
  // The write thread has finished with the block; it did not lower RTS.
  const std::string More = "more";
  ASSERT_EQ(D.PutBlock(More.data(), static_cast<uint32_t>(More.size())), ecOK);
  EXPECT_EQ(P.ReadMaster(More.size()), More);
  EXPECT_TRUE(D.RTSState);
  D.ClosePort();
  EXPECT_TRUE(ShownExceptions().empty());
}

TEST_F(Win32DispatcherPty, FlushDuringAPendingWriteDropsTheRestAndGoesOn) {
  PtyPort P(20);
  TDudWin32Dispatcher D(nullptr);
  ASSERT_EQ(Open(D, P, 4096), ecOK);
  size_t Sent = 0;
  ASSERT_TRUE(JamOutput(D, Sent)) << "the line never filled up";

  D.FlushOutBuffer();
  EXPECT_EQ(D.OutBufUsed(), 0u);
  EXPECT_NE(D.OutThread.load(), nullptr) << "the write thread survives a flush";

  const std::string Mark = "<after the flush>";
  ASSERT_EQ(D.PutBlock(Mark.data(), static_cast<uint32_t>(Mark.size())), ecOK);
  std::string Got;
  ASSERT_TRUE(WaitFor(
      [&] {
        Got += P.ReadMasterAvailable(20);
        return Got.size() >= Mark.size() && Got.compare(Got.size() - Mark.size(), Mark.size(), Mark) == 0;
      },
      10000))
      << "the bytes written after the flush never came";
  EXPECT_LT(Got.size(), Sent + Mark.size()) << "the flushed bytes were sent all the same";
  D.ClosePort();
  EXPECT_TRUE(ShownExceptions().empty());
}

TEST_F(Win32DispatcherPty, CloseWhileAWriteIsPendingEndsQuietly) {
  PtyPort P(21);
  {
    TDudWin32Dispatcher D(nullptr);
    ASSERT_EQ(Open(D, P, 4096), ecOK);
    size_t Sent = 0;
    ASSERT_TRUE(JamOutput(D, Sent));
    D.ClosePort();
    EXPECT_TRUE(NoThreadRuns(D));
    EXPECT_EQ(D.ComHandle, INVALID_HANDLE_VALUE);
  }
  EXPECT_TRUE(ShownExceptions().empty()) << ShownExceptions().front();
}

TEST_F(Win32DispatcherPty, DeviceGoneEndsTheThreadsWithOneError) {
  PtyPort P(22);
  TDudWin32Dispatcher D(nullptr);
  ASSERT_EQ(Open(D, P), ecOK);
  P.CloseMaster();
  ASSERT_TRUE(WaitFor([&] { return NoThreadRuns(D); })) << "the threads did not notice the device going";
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const std::vector<std::string> Errors = ShownExceptions();
  ASSERT_EQ(Errors.size(), 1u);
  EXPECT_EQ(Errors[0], "Device read error");
  // The application's close still completes.
  D.ClosePort();
  EXPECT_EQ(D.ComHandle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(ShownExceptions().size(), 1u);
}

TEST_F(Win32DispatcherPty, RepeatedDeviceLossLeavesNothingBehind) {
  // After a failure the threads end and leave the device to the application's
  // close, which must release everything, round after round.
  auto LoseOnce = [&](int I) {
    PtyPort P(27);
    TDudWin32Dispatcher D(nullptr);
    ASSERT_EQ(Open(D, P), ecOK) << "round " << I;
    const std::string Ping = "ping";
    ASSERT_EQ(D.PutBlock(Ping.data(), 4), ecOK);
    ASSERT_EQ(P.ReadMaster(4), Ping);
    P.CloseMaster();
    ASSERT_TRUE(WaitFor([&] { return NoThreadRuns(D); })) << "round " << I;
    D.ClosePort();
  };
  LoseOnce(-1);
  ASSERT_FALSE(HasFatalFailure());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  // This thread's message queue (with its descriptor) lives as long as the thread;
  // the close makes it when it has to wait, which the first round may not have.
  MSG Msg{};
  PeekMessageA(&Msg, nullptr, 0, 0, PM_NOREMOVE);
  const int FdsBefore = CountEntries("/proc/self/fd");
  const int TasksBefore = CountEntries("/proc/self/task");
  for (int I = 0; I < 20 && !HasFatalFailure(); ++I) LoseOnce(I);
  ASSERT_FALSE(HasFatalFailure());
  // Threads free themselves (and their descriptors) just after their last report.
  WaitFor([&] {
    return CountEntries("/proc/self/task") == TasksBefore && CountEntries("/proc/self/fd") == FdsBefore;
  });
  EXPECT_EQ(CountEntries("/proc/self/task"), TasksBefore);
  EXPECT_EQ(CountEntries("/proc/self/fd"), FdsBefore) << FdTargets();
  EXPECT_EQ(ShownExceptions().size(), 21u) << "one error for each loss of the device";
}

TEST_F(Win32DispatcherPty, TwoHundredOpensWithTrafficLeaveNothingBehind) {
  PtyPort P(23);
  // One open first, so that what lives as long as the process (this thread's
  // message queue, for one) is there before counting.
  auto OpenOnce = [&](int I) {
    TDudWin32Dispatcher D(nullptr);
    ASSERT_EQ(Open(D, P, 256), ecOK) << "open " << I;
    const std::string Ping = "ping " + std::to_string(I);
    ASSERT_EQ(D.PutBlock(Ping.data(), static_cast<uint32_t>(Ping.size())), ecOK);
    ASSERT_EQ(P.ReadMaster(Ping.size()), Ping) << "open " << I;
    const std::string Pong = "pong " + std::to_string(I);
    ASSERT_TRUE(P.WriteMaster(Pong));
    ASSERT_EQ(Receive(D, static_cast<uint32_t>(Pong.size())), Pong) << "open " << I;
  };
  OpenOnce(-1);
  ASSERT_FALSE(HasFatalFailure());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // its threads finish freeing themselves
  MSG Msg{};
  PeekMessageA(&Msg, nullptr, 0, 0, PM_NOREMOVE);  // this thread's queue, as in the test above
  const int FdsBefore = CountEntries("/proc/self/fd");
  const int TasksBefore = CountEntries("/proc/self/task");
  for (int I = 0; I < 200 && !HasFatalFailure(); ++I) OpenOnce(I);
  ASSERT_FALSE(HasFatalFailure());
  // Threads free themselves (and their descriptors) just after their last report.
  WaitFor([&] {
    return CountEntries("/proc/self/task") == TasksBefore && CountEntries("/proc/self/fd") == FdsBefore;
  });
  EXPECT_EQ(CountEntries("/proc/self/task"), TasksBefore);
  EXPECT_EQ(CountEntries("/proc/self/fd"), FdsBefore) << FdTargets();
  EXPECT_TRUE(ShownExceptions().empty());
}

}  // namespace
}  // namespace dud
