// The Win32 device layer's ring and queue operations, without a device: the
// output ring as WriteCom fills it, its count, reading received chunks out of
// InQueue, and the slots that must behave when no device or thread is there.
#include "device/win32_dispatcher.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "device/io_queue.h"
#include "device/io_threads.h"
#include "errors/error_codes.h"

namespace dud {
namespace {

// A dispatcher whose output ring is set up by hand, as InitPort would.
class RingDispatcher : public TDudWin32Dispatcher {
 public:
  explicit RingDispatcher(uint32_t Size) : TDudWin32Dispatcher(nullptr) {
    OutQue = Size;
    OutBuffer = std::make_unique<uint8_t[]>(Size);
    std::memset(OutBuffer.get(), '.', Size);
  }
  std::string Ring() const { return std::string(reinterpret_cast<const char*>(OutBuffer.get()), OutQue); }
};

std::unique_ptr<TDataBuffer> Chunk(const std::string& Bytes, int32_t Size = ReadChunkSize) {
  auto B = std::make_unique<TDataBuffer>(Size);
  std::memcpy(B->Data.get(), Bytes.data(), Bytes.size());
  B->Filled = static_cast<int32_t>(Bytes.size());
  return B;
}

std::unique_ptr<TStatusBuffer> StatusItem(uint32_t Events) {
  auto S = std::make_unique<TStatusBuffer>();
  S->Status = Events;
  return S;
}

std::string Pattern(size_t N, char First) {
  std::string S(N, '\0');
  for (size_t I = 0; I < N; ++I) S[I] = static_cast<char>(First + I % 23);
  return S;
}

// ---------------------------------------------------------------- WriteCom

struct WriteCase {
  const char* Name;
  uint32_t Head;
  std::string Bytes;
  uint32_t HeadAfter;
  std::string RingAfter;  // the 16-byte ring after the write ('.' untouched)
};

TEST(Win32DispatcherRing, WriteComPlacesBytesAndAdvancesHead) {
  const WriteCase Cases[] = {
      {"wraps in two pieces", 12, "ABCDEFGHIJ", 6, "EFGHIJ......ABCD"},
      {"ends exactly at the end", 6, "ABCDEFGHIJ", 0, "......ABCDEFGHIJ"},
      {"from the start", 0, "ABCDE", 5, "ABCDE..........."},
      {"fills the whole ring from the middle", 8, "0123456789abcdef", 8, "89abcdef01234567"},
      {"one byte before the end", 15, "XY", 1, "Y..............X"},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(C.Name);
    RingDispatcher D(16);
    D.OBufHead = C.Head;
    D.OBufTail = C.Head;
    EXPECT_EQ(D.WriteCom(reinterpret_cast<const uint8_t*>(C.Bytes.data()), static_cast<uint32_t>(C.Bytes.size())),
              static_cast<int32_t>(C.Bytes.size()));
    EXPECT_EQ(D.OBufHead, C.HeadAfter);
    EXPECT_EQ(D.Ring(), C.RingAfter);
    EXPECT_FALSE(D.OBufFull) << "WriteCom leaves the full mark to PutBlock";
    EXPECT_EQ(D.OBufTail, C.Head) << "the tail belongs to the write thread";
  }
}

TEST(Win32DispatcherRing, WriteComRefusesMoreThanTheRingHolds) {
  RingDispatcher D(16);
  D.OBufHead = D.OBufTail = 3;
  const std::string Bytes(17, 'Z');
  EXPECT_EQ(D.WriteCom(reinterpret_cast<const uint8_t*>(Bytes.data()), 17), 0);
  EXPECT_EQ(D.OBufHead, 3u);
  EXPECT_EQ(D.Ring(), std::string(16, '.'));
}

TEST(Win32DispatcherRing, WriteComSignalsTheWriteThread) {
  RingDispatcher D(16);
  D.OutputEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  ASSERT_NE(D.OutputEvent, nullptr);
  EXPECT_EQ(WaitForSingleObject(D.OutputEvent, 0), WAIT_TIMEOUT);
  const uint8_t B = 'q';
  D.WriteCom(&B, 1);
  EXPECT_EQ(WaitForSingleObject(D.OutputEvent, 0), WAIT_OBJECT_0);
}

// ---------------------------------------------------------------- OutBufUsed

TEST(Win32DispatcherRing, OutBufUsedCountsTheRing) {
  struct Case {
    uint32_t Head, Tail;
    bool Full;
    uint32_t Used;
  };
  const Case Cases[] = {
      {0, 0, false, 0},   {7, 7, false, 0}, {0, 0, true, 16}, {7, 7, true, 16},
      {10, 3, false, 7},  {3, 10, false, 9}, {0, 15, false, 1}, {15, 0, false, 15},
  };
  for (const auto& C : Cases) {
    SCOPED_TRACE(testing::Message() << "head " << C.Head << " tail " << C.Tail << " full " << C.Full);
    RingDispatcher D(16);
    D.OBufHead = C.Head;
    D.OBufTail = C.Tail;
    D.OBufFull = C.Full;
    EXPECT_EQ(D.OutBufUsed(), C.Used);
  }
}

TEST(Win32DispatcherRing, WritesAndCountAgreeAcrossTheWrap) {
  // Whatever WriteCom adds, OutBufUsed reports, from every start position.
  for (uint32_t Start = 0; Start < 16; ++Start) {
    for (uint32_t Len = 1; Len < 16; ++Len) {
      RingDispatcher D(16);
      D.OBufHead = D.OBufTail = Start;
      const std::string Bytes = Pattern(Len, 'a');
      D.WriteCom(reinterpret_cast<const uint8_t*>(Bytes.data()), Len);
      ASSERT_EQ(D.OutBufUsed(), Len) << "start " << Start << " len " << Len;
      ASSERT_EQ(D.OBufHead, (Start + Len) % 16);
    }
  }
}

// ---------------------------------------------------------------- ReadCom and InQueueUsed

TEST(Win32DispatcherInput, ReadComSpansChunksAndKeepsTheRest) {
  TDudWin32Dispatcher D(nullptr);
  const std::string First = Pattern(256, 'A');
  const std::string Second = Pattern(100, 'a');
  D.InQueue.Push(Chunk(First));
  D.InQueue.Push(Chunk(Second));

  std::vector<uint8_t> Buf(300);
  ASSERT_EQ(D.ReadCom(Buf.data(), 300), 300);
  EXPECT_EQ(std::string(Buf.begin(), Buf.end()), First + Second.substr(0, 44));
  EXPECT_EQ(D.InQueue.Count(), 1) << "the first chunk is freed";
  EXPECT_EQ(D.InQueue.BytesQueued(), ReadChunkSize);
  EXPECT_EQ(D.InQueueUsed(), 56u);

  Buf.assign(100, 0);
  ASSERT_EQ(D.ReadCom(Buf.data(), 100), 56);
  EXPECT_EQ(std::string(Buf.begin(), Buf.begin() + 56), Second.substr(44));
  EXPECT_EQ(D.InQueue.Count(), 0);
  EXPECT_EQ(D.ReadCom(Buf.data(), 100), 0);
}

TEST(Win32DispatcherInput, ReadComStopsAtAStatusItem) {
  TDudWin32Dispatcher D(nullptr);
  D.InQueue.Push(StatusItem(EV_CTS));
  D.InQueue.Push(Chunk("behind"));
  uint8_t Buf[16];
  EXPECT_EQ(D.ReadCom(Buf, sizeof(Buf)), 0);
  EXPECT_EQ(D.InQueue.Count(), 2);
  // The status item is released for the dispatcher, not left locked.
  TIOBuffer* Head = D.InQueue.Peek();
  ASSERT_NE(Head, nullptr);
  EXPECT_NE(dynamic_cast<TStatusBuffer*>(Head), nullptr);
  D.InQueue.Pop();
  EXPECT_EQ(D.ReadCom(Buf, sizeof(Buf)), 6);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(Buf), 6), "behind");
}

TEST(Win32DispatcherInput, ReadComTakesDataOnlyUpToTheNextStatusItem) {
  TDudWin32Dispatcher D(nullptr);
  D.InQueue.Push(Chunk("before"));
  D.InQueue.Push(StatusItem(EV_BREAK));
  D.InQueue.Push(Chunk("after"));
  uint8_t Buf[64];
  EXPECT_EQ(D.ReadCom(Buf, sizeof(Buf)), 6);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(Buf), 6), "before");
  EXPECT_EQ(D.InQueue.Count(), 2);
  EXPECT_EQ(D.InQueueUsed(), 0u) << "a status item at the head has no readable bytes";
}

TEST(Win32DispatcherInput, InQueueUsedCountsOnlyTheHeadChunk) {
  TDudWin32Dispatcher D(nullptr);
  EXPECT_EQ(D.InQueueUsed(), 0u);
  auto Head = Chunk(Pattern(200, 'x'));
  Head->Consumed = 50;
  D.InQueue.Push(std::move(Head));
  D.InQueue.Push(Chunk(Pattern(256, 'y')));
  D.InQueue.Push(Chunk(Pattern(10, 'z')));
  EXPECT_EQ(D.InQueueUsed(), 150u);
  // Asking again gives the same: the head is unlocked after each look.
  EXPECT_EQ(D.InQueueUsed(), 150u);
  EXPECT_EQ(D.InQueue.Count(), 3);
}

TEST(Win32DispatcherInput, ReadComLeavesALockedHeadAlone) {
  // While another consumer holds the head, nothing can be read.
  TDudWin32Dispatcher D(nullptr);
  D.InQueue.Push(Chunk("held"));
  TIOBuffer* Held = D.InQueue.Peek();
  ASSERT_NE(Held, nullptr);
  uint8_t Buf[8];
  EXPECT_EQ(D.ReadCom(Buf, sizeof(Buf)), 0);
  EXPECT_EQ(D.InQueueUsed(), 0u);
  Held->Locked.store(false);
  EXPECT_EQ(D.ReadCom(Buf, sizeof(Buf)), 4);
}

// ---------------------------------------------------------------- slots without a device or threads

TEST(Win32DispatcherIdle, FlushOutputWithoutWriteThreadDoesNothing) {
  RingDispatcher D(16);
  D.OBufHead = 9;
  D.OBufTail = 4;
  EXPECT_EQ(D.FlushCom(0), ecOK);
  EXPECT_EQ(D.OBufHead, 9u);
  EXPECT_EQ(D.OBufTail, 4u);
  EXPECT_EQ(D.OutBufUsed(), 5u);
}

TEST(Win32DispatcherIdle, FlushInputClearsTheQueueAndReportsAMissingDevice) {
  TDudWin32Dispatcher D(nullptr);
  D.InQueue.Push(Chunk("stale"));
  D.InQueue.Push(StatusItem(EV_RING));
  // No device is open: the purge fails, and says so instead of reporting success.
  EXPECT_EQ(D.FlushCom(1), -static_cast<int32_t>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(D.InQueue.Count(), 0);
  EXPECT_EQ(D.InQueue.BytesQueued(), 0);
}

TEST(Win32DispatcherIdle, CloseComTwiceReturnsZero) {
  TDudWin32Dispatcher D(nullptr);
  EXPECT_EQ(D.CloseCom(), ecOK);
  EXPECT_EQ(D.CloseCom(), ecOK);
  EXPECT_EQ(D.ComHandle, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(D.Closing);
}

TEST(Win32DispatcherIdle, CloseComFailsOnAHandleThatDoesNotClose) {
  TDudWin32Dispatcher D(nullptr);
  HANDLE Bogus = reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x7ffff123));
  D.ComHandle = Bogus;
  EXPECT_EQ(D.CloseCom(), -1);
  EXPECT_EQ(D.ComHandle, Bogus) << "the handle field keeps its value";
  EXPECT_FALSE(D.Closing) << "cleared also on failure";
  D.ComHandle = INVALID_HANDLE_VALUE;
}

TEST(Win32DispatcherIdle, SmallSlots) {
  RingDispatcher D(16);
  uint32_t Value = 77;
  EXPECT_TRUE(D.ReservedQuery(Value));
  EXPECT_EQ(Value, 0u);
  EXPECT_EQ(D.ClearComEvents(0xFFFFFFFF), ecOK);
  EXPECT_EQ(D.ProcessCommunications(), ecOK);
  EXPECT_EQ(D.FlushCom(2), ecBadArgument);

  // Without a device the driver's status is unknown, but the output count is the ring's.
  D.OBufHead = 11;
  D.OBufTail = 2;
  COMSTAT Stat{};
  Stat.cbOutQue = 12345;
  EXPECT_EQ(D.GetComError(Stat), 0);
  EXPECT_EQ(Stat.cbOutQue, 9u);

  ::DCB State{};
  EXPECT_EQ(D.GetComState(State), -1);
  EXPECT_EQ(D.SetComState(State), -static_cast<int32_t>(ERROR_INVALID_HANDLE));
  EXPECT_LT(D.EscapeComFunction(SETDTR), 0) << "a refused line function is not reported as success";
}

TEST(Win32DispatcherIdle, OpenComOfAMissingPortFails) {
  TDudWin32Dispatcher D(nullptr);
  // Number 0 never names a port.
  EXPECT_EQ(D.OpenCom("\\\\.\\COM0", 64, 64), -1);
  EXPECT_EQ(D.ComHandle, INVALID_HANDLE_VALUE);
  EXPECT_NE(GetLastError(), 0u);
}

TEST(Win32DispatcherIdle, TelephonyDispatcherWithoutHandleFailsToOpen) {
  TDudTAPI32Dispatcher D(nullptr, nullptr);
  EXPECT_EQ(D.OpenCom("ignored", 64, 64), ecCommNotOpen);
  EXPECT_EQ(GetLastError(), 2007u);

  TDudTAPI32Dispatcher E(nullptr, nullptr);
  EXPECT_EQ(E.InitPort("ignored", 1200, 0, 8, 1, 64, 64, 0), ecCommNotOpen);
  EXPECT_FALSE(E.ThreadsActive.load());
  EXPECT_EQ(E.ActiveThreads.load(), 0);
}

}  // namespace
}  // namespace dud
