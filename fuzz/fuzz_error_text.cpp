// LookupErrorText and ErrorText for any 32-bit code: the table's answer equals a
// plain scan of the whole table for the code's low 16 bits, no text is longer than
// 255 characters, and a system text is one line without double blanks.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "errors/messages.h"

namespace {

// The table's text for Code by looking at every record.
std::string ScanTable(int32_t Code) {
  int32_t Low = static_cast<int32_t>(static_cast<uint32_t>(Code) % 65536u);
  if (Low >= 32768) Low -= 65536;  // the low 16 bits as a signed value
  const int32_t Key = Low < 0 ? -Low : Low;
  for (const auto& Record : dud::DudMessageTable())
    if (std::abs(Record.Code) == Key) return std::string(Record.Message.substr(0, 255));
  return {};
}

using fuzz::Check;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size < 4) return 0;
  uint32_t Bits;
  std::memcpy(&Bits, Data, 4);
  const int32_t Code = static_cast<int32_t>(Bits);

  const std::string Table = dud::LookupErrorText(Code);
  Check(Table.size() <= 255, "LookupErrorText longer than 255");
  Check(Table == ScanTable(Code), "LookupErrorText differs from the scan of the table");

  const std::string Text = dud::ErrorText(Code);
  Check(Text.size() <= 255, "ErrorText longer than 255");
  if (!Table.empty()) {
    Check(Text == Table, "ErrorText differs from the table's text");
  } else {
    for (char C : Text) Check(static_cast<unsigned char>(C) >= 32, "control character in a system text");
    Check(Text.find("  ") == std::string::npos, "double blank in a system text");
  }
  return 0;
}
