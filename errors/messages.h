// Message texts for error codes and the dispatch log's names.
//
// Threads: every function here may be called from any thread; the table is built
// at compile time and never changes, and nothing else keeps state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace dud {

struct DudMessageNumberLookupRecord {
  int32_t Code;
  std::string_view Message;
};

inline constexpr std::size_t kDudMessageCount = 897;
// The longest text LookupErrorText and ErrorText return.
inline constexpr std::size_t kMaxErrorTextLength = 255;

// The whole table, ascending by the absolute value of Code.
std::span<const DudMessageNumberLookupRecord> DudMessageTable();

// The key under which Code is looked up: its low 16 bits as a signed value, made
// positive (so 65536 - 2001 and -2001 share the key 2001).
int32_t MessageKey(int32_t Code);

// The table's text for Code, at most 255 characters; empty when the table has none.
std::string LookupErrorText(int32_t Code);

// The table's text for Code, else the operating system's message for the key (on
// one line: control characters as blanks, no double blanks), else empty. At most
// 255 characters.
std::string ErrorText(int32_t Code);

}  // namespace dud
