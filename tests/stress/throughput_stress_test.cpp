// Bulk data through the whole stack on a pseudo-terminal, checked byte for byte:
// the output ring filled as fast as it takes blocks while the master reads, the
// input read out of the dispatch ring by the avail event on the application
// thread, and both at once. Every byte's value depends on its position, so a lost,
// repeated or reordered byte shows as the first wrong position; the FNV-1a sums
// and counts must match the stream's.
//
// Sizes (stress_support.h): 64 MiB each way in the normal build, 32 MiB under
// AddressSanitizer and 16 MiB under ThreadSanitizer; the duplex case a quarter of it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
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

constexpr uint64_t MiB = uint64_t{1} << 20;
const uint64_t StreamSize = Scaled<uint64_t>(64 * MiB, 32 * MiB, 16 * MiB);

// A guard that gives up when nothing moved for this long (the stack hangs).
constexpr int64_t NoProgressLimitMs = 15000;

// Joins a helper thread on every way out of a test (a failed assertion included).
class TJoiner {
 public:
  explicit TJoiner(std::thread& T) : T(T) {}
  ~TJoiner() {
    if (T.joinable()) T.join();
  }
  TJoiner(const TJoiner&) = delete;
  TJoiner& operator=(const TJoiner&) = delete;

 private:
  std::thread& T;
};

// Block lengths for the writer: a small generator, so that blocks of every size
// up to the ring's size wrap the ring at every position.
class TLengths {
 public:
  explicit TLengths(uint32_t Max) : Max(Max) {}
  uint32_t Next() {
    State = State * 1103515245u + 12345u;
    const uint32_t R = State >> 8;
    // Mostly large blocks (throughput), some tiny ones (odd wrap positions).
    return (R & 7) == 0 ? 1 + R % 17 : 1 + R % Max;
  }

 private:
  uint32_t Max;
  uint32_t State = 12345;
};

// Reads the master on its own thread until Total bytes were checked or nothing
// came for the no-progress limit.
std::thread StartMasterReader(int Fd, uint64_t Total, TStreamChecker& Checker) {
  return std::thread([Fd, Total, &Checker] {
    auto Last = Clock::now();
    while (Checker.Count() < Total && MsSince(Last) < NoProgressLimitMs) {
      const std::string S = ReadSome(Fd, 65536, 100);
      if (S.empty()) continue;
      Checker.Add(S);
      Last = Clock::now();
    }
  });
}

// Writes Total bytes of the stream to the master on its own thread (stops on
// Stop or when the slave takes nothing for the no-progress limit).
std::thread StartMasterWriter(int Fd, uint64_t Total, std::atomic<uint64_t>& Written, std::atomic<bool>& Stop) {
  return std::thread([Fd, Total, &Written, &Stop] {
    std::vector<uint8_t> Buf(16384);
    auto Last = Clock::now();
    uint64_t Done = 0;
    while (Done < Total && !Stop.load() && MsSince(Last) < NoProgressLimitMs) {
      const size_t N = static_cast<size_t>(std::min<uint64_t>(Buf.size(), Total - Done));
      FillStream(Buf.data(), N, Done);
      const size_t W = WriteSome(Fd, Buf.data(), N, 100);
      if (W == 0) continue;
      Done += W;
      Written.store(Done);
      Last = Clock::now();
      // A partly written buffer is built again from the new position next round.
    }
  });
}

// Puts Total bytes of the stream into the output ring in blocks of up to MaxBlock
// bytes. A refusal (-3006: no room for the block) is answered by handling messages
// for up to a millisecond and trying again; no room for the no-progress limit
// fails. Returns the refusals seen, or -1 on failure.
int64_t FeedOutputRing(TDudBaseDispatcher& D, uint64_t Total, uint32_t MaxBlock) {
  std::vector<uint8_t> Block(MaxBlock);
  TLengths Lengths(MaxBlock);
  uint64_t Sent = 0;
  int64_t Refusals = 0;
  auto LastAccepted = Clock::now();
  uint32_t Len = 0;
  while (Sent < Total) {
    if (Len == 0) {
      Len = static_cast<uint32_t>(std::min<uint64_t>(Lengths.Next(), Total - Sent));
      FillStream(Block.data(), Len, Sent);
    }
    const int32_t R = D.PutBlock(Block.data(), Len);
    if (R == ecOK) {
      Sent += Len;
      Len = 0;
      LastAccepted = Clock::now();
      continue;
    }
    EXPECT_EQ(R, ecOutputBufferTooSmall) << "after " << Sent << " bytes";
    if (R != ecOutputBufferTooSmall) return -1;
    ++Refusals;
    if (MsSince(LastAccepted) > NoProgressLimitMs) {
      ADD_FAILURE() << "the output ring stayed full for " << NoProgressLimitMs << " ms after " << Sent << " bytes";
      return -1;
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
    MSG Msg{};
    while (PeekMessageA(&Msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&Msg);
  }
  return Refusals;
}

// The avail event of a component that reads everything announced, plus anything
// that arrived meanwhile, into Checker.
struct TAvailReader {
  TStreamChecker Checker;
  uint64_t Events = 0;
  uint64_t CountMismatches = 0;  // the event's count was not what the ring held
  void Attach(TDudComPort& Port) {
    Port.SetOnTriggerAvail([this](TDudCustomComPort* CP, uint16_t Count) {
      ++Events;
      const uint32_t Used = CP->InBuffUsed();
      if (Used != Count) ++CountMismatches;
      if (Used > 0) Checker.Add(CP->GetBlock(Used));
    });
  }
};

// Pumps until Reader has Total bytes; fails when nothing arrives for the
// no-progress limit.
bool PumpUntilReceived(TAvailReader& Reader, uint64_t Total) {
  while (Reader.Checker.Count() < Total && Reader.Checker.FirstMismatch < 0) {
    const uint64_t Before = Reader.Checker.Count();
    if (!PumpUntil([&] { return Reader.Checker.Count() != Before; }, static_cast<int>(NoProgressLimitMs))) {
      ADD_FAILURE() << "nothing more arrived after " << Before << " of " << Total << " bytes";
      return false;
    }
  }
  return Reader.Checker.FirstMismatch < 0;
}

TEST(ThroughputStress, OutputRingFilledAsFastAsItTakesBlocksLosesNothing) {
  test::PtyPort Pty(7);
  TDudComPort Port;
  Port.SetComNumber(7);
  Port.SetOutSize(32768);
  Port.SetOpen(true);
  ASSERT_NE(Port.Dispatcher(), nullptr);
  const auto Start = Clock::now();

  TStreamChecker Checker;
  std::thread Reader = StartMasterReader(Pty.master_fd(), StreamSize, Checker);
  TJoiner Join(Reader);
  const int64_t Refusals = FeedOutputRing(*Port.Dispatcher(), StreamSize, 32768);
  Reader.join();

  ASSERT_GE(Refusals, 0);
  EXPECT_EQ(Checker.FirstMismatch, -1);
  EXPECT_EQ(Checker.Count(), StreamSize);
  EXPECT_TRUE(Checker.Checksum() == StreamChecksum(StreamSize)) << "checksum differs";
  // The writer outran the device: the refusal path was taken, and cost nothing.
  EXPECT_GT(Refusals, 0);
  // Nothing more than the stream went out.
  EXPECT_EQ(ReadSome(Pty.master_fd(), 16, 100), "");
  Report("output MiB", static_cast<double>(StreamSize) / MiB, "MiB");
  Report("output refusals", static_cast<double>(Refusals), "");
  Report("output time", static_cast<double>(MsSince(Start)), "ms");
  Port.SetOpen(false);
  EXPECT_EQ(Port.PortState(), psClosed);
}

TEST(ThroughputStress, InputReadOutOfTheRingByTheAvailEventLosesNothing) {
  test::PtyPort Pty(8);
  TDudComPort Port;
  Port.SetComNumber(8);
  TAvailReader Avail;
  Avail.Attach(Port);
  Port.SetOpen(true);
  const auto Start = Clock::now();

  std::atomic<uint64_t> Written{0};
  std::atomic<bool> Stop{false};
  std::thread Writer = StartMasterWriter(Pty.master_fd(), StreamSize, Written, Stop);
  TJoiner Join(Writer);
  const bool Received = PumpUntilReceived(Avail, StreamSize);
  Stop.store(true);
  Writer.join();

  EXPECT_TRUE(Received);
  EXPECT_EQ(Written.load(), StreamSize);
  EXPECT_EQ(Avail.Checker.FirstMismatch, -1);
  EXPECT_EQ(Avail.Checker.Count(), StreamSize);
  EXPECT_TRUE(Avail.Checker.Checksum() == StreamChecksum(StreamSize)) << "checksum differs";
  EXPECT_EQ(Avail.CountMismatches, 0u);
  // Everything was read inside the events: the ring is empty and stays so.
  PumpFor(200);
  EXPECT_EQ(Port.InBuffUsed(), 0u);
  EXPECT_EQ(Avail.Checker.Count(), StreamSize);
  Report("input MiB", static_cast<double>(StreamSize) / MiB, "MiB");
  Report("input avail events", static_cast<double>(Avail.Events), "");
  Report("input time", static_cast<double>(MsSince(Start)), "ms");
}

TEST(ThroughputStress, BothDirectionsAtOnceLoseNothing) {
  const uint64_t Size = StreamSize / 4;
  test::PtyPort Pty(9);
  TDudComPort Port;
  Port.SetComNumber(9);
  Port.SetOutSize(4096);
  TAvailReader Avail;
  Avail.Attach(Port);
  Port.SetOpen(true);
  ASSERT_NE(Port.Dispatcher(), nullptr);
  const auto Start = Clock::now();

  TStreamChecker Out;
  std::thread Reader = StartMasterReader(Pty.master_fd(), Size, Out);
  TJoiner JoinReader(Reader);
  std::atomic<uint64_t> Written{0};
  std::atomic<bool> Stop{false};
  std::thread Writer = StartMasterWriter(Pty.master_fd(), Size, Written, Stop);
  TJoiner JoinWriter(Writer);

  // The application thread feeds the output ring; the avail event runs whenever it
  // handles messages (also while it waits for room in the ring).
  const int64_t Refusals = FeedOutputRing(*Port.Dispatcher(), Size, 4096);
  const bool Received = PumpUntilReceived(Avail, Size);
  Stop.store(true);
  Reader.join();
  Writer.join();

  ASSERT_GE(Refusals, 0);
  EXPECT_TRUE(Received);
  EXPECT_EQ(Out.FirstMismatch, -1);
  EXPECT_TRUE(Out.Checksum() == StreamChecksum(Size)) << "output: " << Out.Count() << " bytes";
  EXPECT_EQ(Avail.Checker.FirstMismatch, -1);
  EXPECT_TRUE(Avail.Checker.Checksum() == StreamChecksum(Size)) << "input: " << Avail.Checker.Count() << " bytes";
  Report("duplex MiB each way", static_cast<double>(Size) / MiB, "MiB");
  Report("duplex time", static_cast<double>(MsSince(Start)), "ms");
}

// Input with a marker at irregular places, and a data trigger for the marker: every
// marker fires the trigger exactly once, and the avail and data events together
// read every byte, in order. The events read everything there is, also the bytes
// behind the marker, so the scan works on a ring that is emptied under it.
TEST(ThroughputStress, DataTriggersFireOncePerMarkerInBulkInput) {
  const size_t Size = static_cast<size_t>(StreamSize / 4);
  const std::string Marker("\x01\x02\x03", 3);
  std::string Stream(Size, '\0');
  for (size_t I = 0; I < Size; ++I) Stream[I] = static_cast<char>('a' + StreamByte(I) % 26);
  for (size_t I = 0; I + Marker.size() < Size;) {
    Stream.replace(I, Marker.size(), Marker);
    // Gaps from 0 to about 2000 bytes, also markers back to back.
    I += Marker.size() + (StreamByte(I * 31 + 7) % 4 == 0 ? StreamByte(I) % 5 : 8u * StreamByte(I + 1));
  }
  size_t Markers = 0;
  for (size_t At = Stream.find(Marker); At != std::string::npos; At = Stream.find(Marker, At + Marker.size()))
    ++Markers;

  test::PtyPort Pty(13);
  TDudComPort Port;
  Port.SetComNumber(13);
  std::string Received;
  Received.reserve(Size);
  size_t Hits = 0;
  Port.SetOnTriggerAvail([&](TDudCustomComPort* CP, uint16_t) { Received += CP->GetBlock(CP->InBuffUsed()); });
  Port.SetOnTriggerData([&](TDudCustomComPort* CP, uint16_t) {
    ++Hits;
    Received += CP->GetBlock(CP->InBuffUsed());
  });
  Port.SetOpen(true);
  Port.AddDataTrigger(Marker, false);
  const auto Start = Clock::now();

  std::atomic<bool> Stop{false};
  std::thread Writer([&] {
    size_t Done = 0;
    auto Last = Clock::now();
    while (Done < Size && !Stop.load() && MsSince(Last) < NoProgressLimitMs) {
      const size_t N = WriteSome(Pty.master_fd(), reinterpret_cast<const uint8_t*>(Stream.data()) + Done,
                                 std::min<size_t>(16384, Size - Done), 100);
      if (N > 0) Last = Clock::now();
      Done += N;
    }
  });
  TJoiner Join(Writer);
  while (Received.size() < Size) {
    const size_t Before = Received.size();
    if (!PumpUntil([&] { return Received.size() != Before; }, static_cast<int>(NoProgressLimitMs))) break;
  }
  // Markers at the very end may still be on their way to the data event.
  PumpUntil([&] { return Hits >= Markers; }, 2000);
  Stop.store(true);
  Writer.join();

  ASSERT_EQ(Received.size(), Size);
  EXPECT_TRUE(Received == Stream) << "first difference at "
                                  << std::mismatch(Received.begin(), Received.end(), Stream.begin()).first -
                                         Received.begin();
  EXPECT_EQ(Hits, Markers);
  Report("marker stream MiB", static_cast<double>(Size) / MiB, "MiB");
  Report("markers", static_cast<double>(Markers), "");
  Report("marker stream time", static_cast<double>(MsSince(Start)), "ms");
}

// A whole ring's worth that arrives while the dispatcher thread is held up by an
// event lands in the ring in one pass (head back where it started): the data
// triggers must still see those bytes.
TEST(ThroughputStress, DataTriggerSeesAWholeRingStoredInOnePass) {
  test::PtyPort Pty(10);
  TDudComPort Port;
  Port.SetComNumber(10);
  Port.SetAvailLevel(0);
  const std::string Burst = std::string(DispatchBufferSize - 2, '.') + "OK";
  int Fired = 0;
  Port.SetOnTriggerData([&](TDudCustomComPort* CP, uint16_t) {
    ++Fired;
    CP->GetBlock(CP->InBuffUsed());
    if (Fired == 1) {
      // The ring is empty with its head at 0; the dispatcher thread waits for this
      // event while the next burst queues up behind it.
      EXPECT_TRUE(Pty.WriteMaster(Burst));
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
  });
  Port.SetOpen(true);
  Port.AddDataTrigger("OK", false);
  ASSERT_TRUE(Pty.WriteMaster(Burst));
  EXPECT_TRUE(PumpUntil([&] { return Fired >= 2; }, 5000)) << "the pattern of the second burst was not seen";
  EXPECT_EQ(Fired, 2);
}

// A match returns before the scan has seen the rest of the ring; when the event
// then empties the ring and a whole ring's worth is queued behind it, the bytes
// the scan had not seen yet must not be overwritten before it sees them, and the
// new bytes must be scanned as well.
TEST(ThroughputStress, DataTriggerSeesBytesStoredOverAScanThatLagsBehind) {
  test::PtyPort Pty(10);
  TDudComPort Port;
  Port.SetComNumber(10);
  Port.SetAvailLevel(0);
  // The ring is 8192 bytes; the first event leaves its head at 1.
  const std::string Second = std::string(8100, '.') + "Z" + std::string(90, '.');
  std::string Third(DispatchBufferSize, '.');
  Third[50] = 'Z';
  std::string Received;
  int Fired = 0;
  Port.SetOnTriggerData([&](TDudCustomComPort* CP, uint16_t) {
    ++Fired;
    Received += CP->GetBlock(CP->InBuffUsed());
    const std::string* Next = Fired == 1 ? &Second : Fired == 2 ? &Third : nullptr;
    if (Next != nullptr) {
      // The dispatcher thread waits for this event while the next burst queues up.
      EXPECT_TRUE(Pty.WriteMaster(*Next));
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
  });
  Port.SetOpen(true);
  Port.AddDataTrigger("Z", false);
  ASSERT_TRUE(Pty.WriteMaster("Z"));
  EXPECT_TRUE(PumpUntil([&] { return Fired >= 3; }, 5000)) << "fired " << Fired << " times";
  EXPECT_EQ(Fired, 3);
  Received += Port.GetBlock(Port.InBuffUsed());
  EXPECT_TRUE(Received == "Z" + Second + Third) << Received.size() << " bytes";
}

}  // namespace
}  // namespace dud
