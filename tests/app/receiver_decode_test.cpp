#include "tools/receiver_decode.h"

#include <gtest/gtest.h>

namespace korva::receiver {
namespace {

std::array<uint8_t, FrameSize> Bytes(const std::string& s) {
  std::array<uint8_t, FrameSize> a{};
  for (size_t i = 0; i < FrameSize; ++i) a[i] = static_cast<uint8_t>(s.at(i));
  return a;
}

TEST(ReceiverDecode, Frames) {
  struct Case {
    std::string frame;
    uint16_t address;
    int key;
    bool check_ok, key_ok, zero_ok;
  } cases[] = {
      {std::string("\x59\x01\x8B\x00\x00\x8C", 6), 1, 0, true, true, true},
      {std::string("\x59\x39\x8B\x30\x00\xF4", 6), 12345, 0, true, true, true},
      {std::string("\x59\xFF\x8B\xFF\x00\x89", 6), 65535, 0, true, true, true},
      {std::string("\x59\x9F\x8B\x86\x00\xB0", 6), 0x869F, 0, true, true, true},
      {std::string("\x59\xFF\xEE\xFF\x00\xEC", 6), 65535, 99, true, true, true},
      {std::string("\x59\x39\x8B\x30\x00\xF5", 6), 12345, 0, false, true, true},   // check byte off by one
      {std::string("\x59\x39\x30\x8B\x00\xF4", 6), 0x8B39, -91, true, false, true}, // key and high byte swapped
      {std::string("\x59\x01\x8B\x00\x01\x8C", 6), 1, 0, true, true, false},        // no zero byte
      {std::string("\x59\x00\xEF\x00\x00\xEF", 6), 0, 100, true, false, true},      // key above 99
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    const TDecodedFrame f = DecodeKeyFrame(Bytes(c.frame));
    EXPECT_EQ(f.Address, c.address);
    EXPECT_EQ(f.Key, c.key);
    EXPECT_EQ(f.CheckOk, c.check_ok);
    EXPECT_EQ(f.KeyInRange, c.key_ok);
    EXPECT_EQ(f.ZeroByteOk, c.zero_ok);
    EXPECT_EQ(f.Valid(), c.check_ok && c.key_ok && c.zero_ok);
  }
}

TEST(ReceiverDecode, StreamWakesOnceAndTakesFrameBytesWhateverTheyAre) {
  TReceiverParser p;
  // Address 0x595F: its low byte is "_" and its high byte "Y"; both belong to the frame.
  const std::string frame("\x59\x5F\x8B\x59\x00\x43", 6);
  auto events = p.Feed("____" + frame.substr(0, 3));
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].Kind, TEventKind::WakeUp);
  EXPECT_EQ(p.WakeCount(), 4u);
  EXPECT_EQ(p.Pending(), 3u);
  events = p.Feed(frame.substr(3));
  ASSERT_EQ(events.size(), 1u);
  ASSERT_EQ(events[0].Kind, TEventKind::Frame);
  EXPECT_EQ(events[0].Frame.Address, 0x595F);
  EXPECT_TRUE(events[0].Frame.Valid());
  EXPECT_FALSE(p.Awake()) << "the receiver sleeps after taking a key";

  events = p.Feed("__x_");
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].Kind, TEventKind::WakeUp);
  EXPECT_EQ(events[1].Kind, TEventKind::Stray);
  EXPECT_EQ(events[1].Byte, 'x');
  EXPECT_TRUE(p.Idle());
  EXPECT_FALSE(p.Idle());
  events = p.Feed("_");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].Kind, TEventKind::WakeUp) << "after a quiet line the next \"_\" wakes it again";
}

TEST(ReceiverDecode, AcknowledgementRingsOnlyForValidFrames) {
  TReceiverParser p;
  auto good = p.Feed(std::string("\x59\x39\x8B\x30\x00\xF4", 6));
  auto bad = p.Feed(std::string("\x59\x39\x8B\x30\x00\xF5", 6));
  ASSERT_EQ(good.size(), 1u);
  ASSERT_EQ(bad.size(), 1u);
  const std::string ack = Describe(good[0]);
  EXPECT_NE(ack.find("address 12345, key 0"), std::string::npos) << ack;
  EXPECT_EQ(ack.back(), '\a');
  const std::string nak = Describe(bad[0]);
  EXPECT_EQ(nak.find('\a'), std::string::npos) << nak;
  EXPECT_NE(nak.find("wrong (expected 0xF4)"), std::string::npos) << nak;
}

}  // namespace
}  // namespace korva::receiver
