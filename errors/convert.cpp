#include "errors/convert.h"

#include <charconv>

namespace dud {

EConvertError::EConvertError(const std::string& Text)
    : Exception("'" + Text + "' ist kein g\xC3\xBCltiger Integerwert") {}

int32_t StrToInt(const std::string& Text) {
  const char* First = Text.data();
  const char* Last = First + Text.size();
  // from_chars takes a minus sign only; a plus may stand alone in front of the digits.
  if (First != Last && *First == '+' && First + 1 != Last && First[1] != '-') ++First;
  int32_t Value = 0;
  auto [End, Error] = std::from_chars(First, Last, Value, 10);
  if (First == Last || Error != std::errc() || End != Last) throw EConvertError(Text);
  return Value;
}

}  // namespace dud
