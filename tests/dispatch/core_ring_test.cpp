// The dispatch ring over the FakeDevice test double: filling in two pieces at the
// ring's end, the full ring, counting, flushing, and reading inside and outside a
// dispatch.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "dispatch/base_dispatcher.h"
#include "errors/error_codes.h"
#include "fake_device.h"

namespace dud {
namespace {

using test::FakeDevice;

std::string Bytes(size_t N, char First = 'a') {
  std::string S(N, '\0');
  for (size_t I = 0; I < N; ++I) S[I] = static_cast<char>(First + I % 26);
  return S;
}

void SetRing(FakeDevice& D, uint32_t Head, uint32_t Tail, bool Full = false) {
  std::lock_guard<std::recursive_mutex> Guard(D.DispSection);
  D.DBufHead = Head;
  D.DBufTail = Tail;
  D.DBufFull = Full;
}

TEST(FakeDeviceRing, CountsEmptyPartialWrappedAndFull) {
  FakeDevice D;
  ASSERT_EQ(D.Open(), ecOK);
  const struct {
    uint32_t Head, Tail;
    bool Full;
    uint32_t Count;
  } Cases[] = {{0, 0, false, 0}, {5, 5, true, 8192}, {10, 3, false, 7}, {3, 10, false, 8185}, {0, 8191, false, 1}};
  for (const auto& C : Cases) {
    SetRing(D, C.Head, C.Tail, C.Full);
    EXPECT_EQ(D.InBuffUsed(), C.Count) << C.Head << "/" << C.Tail;
  }
}

TEST(FakeDeviceRing, FillsInTwoPiecesAtTheEnd) {
  FakeDevice D;
  ASSERT_EQ(D.Open(), ecOK);
  SetRing(D, 8190, 100);
  const std::string In = Bytes(50);
  D.Receive(In);
  EXPECT_TRUE(D.FillDispatchBuffer());
  EXPECT_EQ(D.ReadRequests, (std::vector<uint32_t>{2, 48}));
  EXPECT_EQ(D.DBufHead, 48u);
  EXPECT_FALSE(D.DBufFull);
  EXPECT_EQ(std::memcmp(D.DBuffer.get() + 8190, In.data(), 2), 0);
  EXPECT_EQ(std::memcmp(D.DBuffer.get(), In.data() + 2, 48), 0);
  EXPECT_EQ(D.InBuffUsed(), 8192u - 100 + 48);
}

TEST(FakeDeviceRing, HeadWrapsToZeroExactlyAtTheEnd) {
  FakeDevice D;
  ASSERT_EQ(D.Open(), ecOK);
  SetRing(D, 8100, 8100);
  D.Receive(Bytes(92));
  EXPECT_TRUE(D.FillDispatchBuffer());
  EXPECT_EQ(D.DBufHead, 0u);
  EXPECT_EQ(D.InBuffUsed(), 92u);
}

TEST(FakeDeviceRing, ReadsTheWholeContiguousPieceAcrossQueuedItems) {
  FakeDevice D;
  ASSERT_EQ(D.Open(), ecOK);
  D.Receive(Bytes(300));  // two items: 256 and 44 bytes
  EXPECT_TRUE(D.FillDispatchBuffer());
  EXPECT_EQ(D.ReadRequests, (std::vector<uint32_t>{8192}));
  EXPECT_EQ(D.InBuffUsed(), 300u);
  EXPECT_EQ(D.InQueue.Count(), 0);
  EXPECT_FALSE(D.FillDispatchBuffer());  // nothing queued any more
}

TEST(FakeDeviceRing, FullRingLeavesFurtherBytesQueued) {
  FakeDevice D;
  ASSERT_EQ(D.Open(), ecOK);
  SetRing(D, 4000, 4000);
  const std::string In = Bytes(8192 + 40, 'A');
  D.Receive(In);
  for (int I = 0; I < 100 && !D.DBufFull; ++I) D.FillDispatchBuffer();
  ASSERT_TRUE(D.DBufFull);
  EXPECT_EQ(D.DBufHead, 4000u);
  EXPECT_EQ(D.InBuffUsed(), 8192u);
  EXPECT_EQ(D.InQueue.Count(), 1);  // the last 40 bytes wait in their item

  D.InitDispatchLogging(10000);
  D.ReadRequests.clear();
  EXPECT_TRUE(D.FillDispatchBuffer());
  EXPECT_TRUE(D.ReadRequests.empty());
  EXPECT_EQ(D.InBuffUsed(), 8192u);
  ASSERT_EQ(D.Log.LogQueue.Count(), 1);
  auto Entry = D.Log.LogQueue.Pop();
  auto* L = dynamic_cast<TLogBuffer*>(Entry.get());
  ASSERT_NE(L, nullptr);
  EXPECT_EQ(L->EntryType, 1);
  EXPECT_EQ(L->EntrySubType, 8);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(L->Buffer.get()), L->Size), "Dispatch buffer full.");

  // Reading makes room; the waiting bytes follow in order.
  std::string Out(8192, '\0');
  ASSERT_EQ(D.GetBlock(Out.data(), 8192), ecOK);
  EXPECT_EQ(Out, In.substr(0, 8192));
  EXPECT_TRUE(D.FillDispatchBuffer());
  std::string Rest(40, '\0');
  ASSERT_EQ(D.GetBlock(Rest.data(), 40), ecOK);
  EXPECT_EQ(Rest, In.substr(8192));
}

TEST(FakeDeviceRing, ReadsAreWholeOrNothingAndWrap) {
  FakeDevice D;
  ASSERT_EQ(D.Open(), ecOK);
  SetRing(D, 8188, 8188);
  D.Receive("012345");
  D.FillDispatchBuffer();
  char Buf[8] = {};
  EXPECT_EQ(D.GetBlock(Buf, 7), ecBufferIsEmpty);
  EXPECT_EQ(D.InBuffUsed(), 6u);
  ASSERT_EQ(D.PeekBlock(Buf, 6), ecOK);
  EXPECT_EQ(std::string(Buf, 6), "012345");
  EXPECT_EQ(D.InBuffUsed(), 6u);
  uint8_t C = 0;
  ASSERT_EQ(D.GetChar(C), ecOK);
  EXPECT_EQ(C, '0');
  ASSERT_EQ(D.GetBlock(Buf, 5), ecOK);  // across the end of the ring
  EXPECT_EQ(std::string(Buf, 5), "12345");
  EXPECT_EQ(D.InBuffUsed(), 0u);
  EXPECT_EQ(D.PeekChar(C), ecBufferIsEmpty);
}

TEST(FakeDeviceRing, FlushEmptiesRingAndQueue) {
  FakeDevice D;
  ASSERT_EQ(D.Open(), ecOK);
  SetRing(D, 100, 100, true);
  D.Receive("abc");
  EXPECT_EQ(D.FlushInBuffer(), 0);
  EXPECT_EQ(D.InBuffUsed(), 0u);
  EXPECT_FALSE(D.DBufFull);
  EXPECT_EQ(D.InQueue.Count(), 0);
}

TEST(FakeDeviceRing, ClosedPortHasNothingToRead) {
  FakeDevice D;
  uint8_t C;
  EXPECT_EQ(D.GetChar(C), ecCommNotOpen);
  EXPECT_FALSE(D.FillDispatchBuffer());
}

TEST(FakeDeviceRing, HandlersReadTheSameBytesAndTheRingLosesTheMost) {
  FakeDevice D;
  ASSERT_EQ(D.Open(), ecOK);
  D.Receive("abcdefgh");
  D.FillDispatchBuffer();
  std::string First, Second;
  uint32_t UsedInside = 0;
  D.RegisterEventHandler(
      [&](uint32_t, uint32_t, int32_t) {
        char B[3];
        ASSERT_EQ(D.GetBlock(B, 3), ecOK);
        First.assign(B, 3);
        UsedInside = D.InBuffUsed();
      },
      false);
  D.RegisterEventHandler(
      [&](uint32_t, uint32_t, int32_t) {
        char B[5];
        ASSERT_EQ(D.GetBlock(B, 5), ecOK);
        Second.assign(B, 5);
      },
      false);
  // Announced 8, read at most 5: the avail dispatch reports false.
  EXPECT_FALSE(D.DispatchEvent(TriggerAvailMsg, 8, 0));
  EXPECT_EQ(First, "abc");
  EXPECT_EQ(Second, "abcde");
  EXPECT_EQ(UsedInside, 5u);  // counted, not yet removed
  EXPECT_EQ(D.InBuffUsed(), 3u);
  char B[3];
  ASSERT_EQ(D.GetBlock(B, 3), ecOK);
  EXPECT_EQ(std::string(B, 3), "fgh");
}

TEST(FakeDeviceRing, FlushInsideADispatchRemovesEverythingAtItsEnd) {
  FakeDevice D;
  ASSERT_EQ(D.Open(), ecOK);
  D.Receive("abcdef");
  D.FillDispatchBuffer();
  D.RegisterEventHandler([&](uint32_t, uint32_t, int32_t) { D.FlushInBuffer(); }, false);
  D.DispatchEvent(TriggerDataMsg, 8, 2);
  EXPECT_EQ(D.InBuffUsed(), 0u);
}

}  // namespace
}  // namespace dud
