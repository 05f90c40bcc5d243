// BuildKeyFrame for any two entry texts, against the worked formula: blanks read as
// zeros, a text that is not a decimal integer of 32 bits is refused with
// EConvertError, and otherwise the six bytes are Y, SYSLO, KEY, SYSHI, 0, CHK with
// ADDR16 = address mod 65536, KEY = key + 139, CHK = (KEY + SYSLO + SYSHI) mod 256.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "fuzz/fuzz_support.h"
#include "app/transfer_frame.h"

namespace {

// The decimal value of Text with blanks as zeros: an optional sign and at least one
// digit, within 32 bits; nothing otherwise.
std::optional<int64_t> Decimal(const std::string& Text) {
  size_t I = 0;
  bool Negative = false;
  if (I < Text.size() && (Text[I] == '-' || Text[I] == '+')) Negative = Text[I++] == '-';
  if (I == Text.size()) return std::nullopt;
  int64_t Value = 0;
  for (; I < Text.size(); ++I) {
    const char C = Text[I] == ' ' ? '0' : Text[I];
    if (C < '0' || C > '9') return std::nullopt;
    Value = Value * 10 + (C - '0');
    if (Value > 2147483648LL) return std::nullopt;
  }
  if (Negative) Value = -Value;
  if (Value > INT32_MAX || Value < INT32_MIN) return std::nullopt;
  return Value;
}

using fuzz::Check;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size < 1) return 0;
  // The first byte splits the rest into the address and the key text.
  const size_t Split = std::min<size_t>(Data[0], Size - 1);
  const std::string Address(reinterpret_cast<const char*>(Data + 1), Split);
  const std::string Key(reinterpret_cast<const char*>(Data + 1 + Split), Size - 1 - Split);

  const std::optional<int64_t> A = Decimal(Address);
  const std::optional<int64_t> K = Decimal(Key);
  korva::TKeyFrame Frame;
  try {
    Frame = korva::BuildKeyFrame(Address, Key);
  } catch (const korva::EConvertError&) {
    Check(!A || !K, "a number was refused");
    return 0;
  }
  Check(A && K, "a text that is no number was taken");
  const uint32_t Addr16 = static_cast<uint32_t>(*A % 65536 + 65536) % 65536;
  const uint8_t SysLo = static_cast<uint8_t>(Addr16 % 256);
  const uint8_t SysHi = static_cast<uint8_t>(Addr16 / 256);
  const uint32_t KeyValue = static_cast<uint32_t>(*K + 139);
  const uint8_t Chk = static_cast<uint8_t>((KeyValue + SysLo + SysHi) % 256);
  Check(Frame.SYSLO == SysLo && Frame.SYSHI == SysHi && Frame.KEY == KeyValue && Frame.CHK == Chk,
        "frame values differ from the formula");
  const std::string Bytes = Frame.Bytes();
  const std::string Expected{'Y', static_cast<char>(SysLo), static_cast<char>(KeyValue % 256), static_cast<char>(SysHi),
                             '\0', static_cast<char>(Chk)};
  Check(Bytes == Expected, "frame bytes differ from the formula");
  return 0;
}
