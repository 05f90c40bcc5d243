// What the receiver simulator makes of the bytes on its line: the wake-up stream
// of "_" and the six-byte key frame ("Y", address low byte, key + 139, address
// high byte, 0x00, check byte).
//
// Threads: plain values and a parser object used by one thread at a time.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace korva::receiver {

constexpr uint8_t WakeUpChar = 0x5F;  // "_"
constexpr uint8_t FrameStart = 0x59;  // "Y"
constexpr size_t FrameSize = 6;
constexpr int KeyOffset = 139;

struct TDecodedFrame {
  uint16_t Address = 0;   // high byte * 256 + low byte
  int Key = 0;            // the key byte minus 139
  uint8_t KeyByte = 0;
  uint8_t Check = 0;      // as received
  uint8_t ExpectedCheck = 0;
  bool CheckOk = false;
  bool KeyInRange = false;   // 0..99
  bool ZeroByteOk = false;   // offset 4 holds 0x00
  bool Valid() const { return CheckOk && KeyInRange && ZeroByteOk; }
};

// Decodes one frame; Bytes[0] is the start byte (not checked here).
TDecodedFrame DecodeKeyFrame(const std::array<uint8_t, FrameSize>& Bytes);

enum class TEventKind {
  WakeUp,  // the first "_" after quiet: the receiver's red LEDs light
  Frame,   // a complete six-byte frame
  Stray,   // a byte that is neither "_" nor part of a frame
};

struct TEvent {
  TEventKind Kind;
  TDecodedFrame Frame;  // Frame only
  uint8_t Byte = 0;     // Stray only
};

// Follows the line byte by byte. "_" wakes the receiver (reported once until it
// sleeps again: after a frame or after Idle); "Y" starts a frame, whose next five
// bytes are taken whatever they are ("_" and "Y" may be address or check bytes).
class TReceiverParser {
 public:
  std::vector<TEvent> Feed(std::string_view Bytes);
  // The line was quiet long enough for the receiver to fall asleep. True when it
  // was awake.
  bool Idle();

  bool Awake() const { return awake_; }
  // "_" bytes seen since the last wake-up.
  uint64_t WakeCount() const { return wake_count_; }
  // Bytes of a frame still missing (0 outside a frame).
  size_t Pending() const { return in_frame_ ? FrameSize - frame_len_ : 0; }

 private:
  bool awake_ = false;
  bool in_frame_ = false;
  size_t frame_len_ = 0;
  std::array<uint8_t, FrameSize> frame_{};
  uint64_t wake_count_ = 0;
};

// One line for the operator's terminal; the acknowledgement of a valid frame
// ends with the terminal bell.
std::string Describe(const TEvent& Event);

}  // namespace korva::receiver
