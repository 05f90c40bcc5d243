#include "tools/receiver_decode.h"

#include <cstdio>

namespace korva::receiver {

TDecodedFrame DecodeKeyFrame(const std::array<uint8_t, FrameSize>& Bytes) {
  TDecodedFrame f;
  const uint8_t lo = Bytes[1];
  const uint8_t hi = Bytes[3];
  f.Address = static_cast<uint16_t>(hi * 256 + lo);
  f.KeyByte = Bytes[2];
  f.Key = static_cast<int>(Bytes[2]) - KeyOffset;
  f.Check = Bytes[5];
  f.ExpectedCheck = static_cast<uint8_t>((Bytes[2] + lo + hi) % 256);
  f.CheckOk = f.Check == f.ExpectedCheck;
  f.KeyInRange = f.Key >= 0 && f.Key <= 99;
  f.ZeroByteOk = Bytes[4] == 0;
  return f;
}

std::vector<TEvent> TReceiverParser::Feed(std::string_view Bytes) {
  std::vector<TEvent> events;
  for (char ch : Bytes) {
    const auto b = static_cast<uint8_t>(ch);
    if (in_frame_) {
      frame_[frame_len_++] = b;
      if (frame_len_ == FrameSize) {
        in_frame_ = false;
        awake_ = false;  // the receiver takes the key and goes back to sleep
        events.push_back({TEventKind::Frame, DecodeKeyFrame(frame_), 0});
      }
    } else if (b == FrameStart) {
      in_frame_ = true;
      frame_len_ = 0;
      frame_[frame_len_++] = b;
    } else if (b == WakeUpChar) {
      if (!awake_) {
        awake_ = true;
        wake_count_ = 0;
        events.push_back({TEventKind::WakeUp, {}, b});
      }
      ++wake_count_;
    } else {
      events.push_back({TEventKind::Stray, {}, b});
    }
  }
  return events;
}

bool TReceiverParser::Idle() {
  const bool was = awake_;
  awake_ = false;
  return was;
}

std::string Describe(const TEvent& Event) {
  char line[200];
  switch (Event.Kind) {
    case TEventKind::WakeUp:
      return "wake-up stream: LEDs on";
    case TEventKind::Stray:
      std::snprintf(line, sizeof line, "stray byte 0x%02X", Event.Byte);
      return line;
    case TEventKind::Frame: {
      const TDecodedFrame& f = Event.Frame;
      if (f.Valid()) {
        std::snprintf(line, sizeof line, "key frame: address %u, key %d, check byte 0x%02X right -> acknowledged\a",
                      f.Address, f.Key, f.Check);
        return line;
      }
      std::snprintf(line, sizeof line,
                    "key frame rejected: address %u, key byte 0x%02X%s, zero byte %s, check byte 0x%02X %s (expected 0x%02X)",
                    f.Address, f.KeyByte, f.KeyInRange ? "" : " (out of range)", f.ZeroByteOk ? "right" : "wrong", f.Check,
                    f.CheckOk ? "right" : "wrong", f.ExpectedCheck);
      return line;
    }
  }
  return {};
}

}  // namespace korva::receiver
