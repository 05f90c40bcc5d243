#include <algorithm>
#include <string>

#include "errors/messages.h"
#include "platform/win32.h"

namespace dud {

int32_t MessageKey(int32_t Code) {
  const auto low = static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(Code) & 0xFFFFu));
  return low < 0 ? -static_cast<int32_t>(low) : low;
}

std::string LookupErrorText(int32_t Code) {
  const auto table = DudMessageTable();
  const int32_t key = MessageKey(Code);
  int32_t low = 0;
  int32_t high = static_cast<int32_t>(table.size()) - 1;
  while (high >= low) {
    // (low + high) / 2 rounded to the nearest integer, halves to even: the probe
    // order lookups of this table have always used. Any middle within [low, high]
    // would find every record.
    const int32_t sum = low + high;
    int32_t middle = sum / 2;
    if ((sum & 1) != 0 && (middle & 1) != 0) ++middle;
    const int32_t code = table[static_cast<std::size_t>(middle)].Code;
    const int32_t abs_code = code < 0 ? -code : code;
    if (abs_code == key) return std::string(table[static_cast<std::size_t>(middle)].Message.substr(0, kMaxErrorTextLength));
    if (abs_code > key)
      high = middle - 1;
    else
      low = middle + 1;
  }
  return {};
}

namespace {

// System texts end with CR LF and may wrap: make them one line with single blanks.
// A trailing single blank stays, as callers have always seen it.
std::string CleanSystemText(std::string text) {
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 32) c = ' ';
  std::string::size_type pos;
  while ((pos = text.find("  ")) != std::string::npos) text.erase(pos, 1);
  return text;
}

}  // namespace

std::string ErrorText(int32_t Code) {
  std::string text = LookupErrorText(Code);
  if (!text.empty()) return text;
  constexpr DWORD kFromSystem = 4096;  // FORMAT_MESSAGE_FROM_SYSTEM
  char buffer[kMaxErrorTextLength] = {};
  // Returns the number of characters stored, 0 when the system has no text.
  const DWORD n = FormatMessageA(kFromSystem, nullptr, static_cast<DWORD>(MessageKey(Code)), 0, buffer,
                                 static_cast<DWORD>(sizeof buffer), nullptr);
  if (n == 0) return {};
  return CleanSystemText(std::string(buffer, std::min<std::size_t>(n, sizeof buffer - 1)));
}

}  // namespace dud
