// MatchDataChar, fed byte by byte, against the plain reference matcher of the unit
// tests: the same end positions for any pattern of 1 to MaxTriggerLen bytes and any
// input, with and without IgnoreCase (the received bytes upper-cased in the
// Windows Latin code page, the pattern compared as stored).
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "dispatch/base_dispatcher.h"
#include "match_reference.h"

namespace {

// Upper case of the code page: a-z, and 0xE0-0xFE except the division sign, go
// down by 0x20; four letters have their capitals elsewhere.
uint8_t Upper1252(uint8_t C) {
  if ((C >= 'a' && C <= 'z') || (C >= 0xE0 && C <= 0xFE && C != 0xF7)) return static_cast<uint8_t>(C - 0x20);
  if (C == 0x9A) return 0x8A;  // s caron
  if (C == 0x9C) return 0x8C;  // oe
  if (C == 0x9E) return 0x8E;  // z caron
  if (C == 0xFF) return 0x9F;  // y diaeresis
  return C;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size < 2) return 0;
  const bool IgnoreCase = (Data[0] & 0x80) != 0;
  const size_t Length = 1 + (Data[0] & 0x7F) % dud::MaxTriggerLen;
  if (Size < 1 + Length) return 0;
  const std::string Pattern(reinterpret_cast<const char*>(Data + 1), Length);
  const std::string Input(reinterpret_cast<const char*>(Data + 1 + Length), Size - 1 - Length);

  std::array<uint32_t, dud::MaxTriggerLen> State{};
  std::vector<size_t> Got;
  std::string Seen;
  for (size_t I = 0; I < Input.size(); ++I) {
    const uint8_t B = static_cast<uint8_t>(Input[I]);
    Seen += static_cast<char>(IgnoreCase ? Upper1252(B) : B);
    if (dud::MatchDataChar(State, B, static_cast<uint32_t>(Length), IgnoreCase,
                           reinterpret_cast<const uint8_t*>(Pattern.data())))
      Got.push_back(I);
  }
  if (Got != dud::test::ReferenceMatches(Pattern, Seen)) {
    std::fprintf(stderr, "MatchDataChar differs from the reference (pattern of %zu bytes, %zu input bytes)\n", Length,
                 Input.size());
    std::abort();
  }
  return 0;
}
