// The plain reference for the data trigger's matcher, shared by its unit test and
// its fuzz target: every occurrence of the pattern that begins after the end of the
// previous one, found by comparing at each position.
#pragma once

#include <string>
#include <vector>

namespace dud::test {

// The positions (index of the last byte) at which Pattern ends in Input, matches
// not overlapping. Pattern must not be empty.
inline std::vector<size_t> ReferenceMatches(const std::string& Pattern, const std::string& Input) {
  std::vector<size_t> Out;
  size_t From = 0;
  for (size_t End = Pattern.size() - 1; End < Input.size(); ++End) {
    const size_t Start = End + 1 - Pattern.size();
    if (Start >= From && Input.compare(Start, Pattern.size(), Pattern) == 0) {
      Out.push_back(End);
      From = End + 1;
    }
  }
  return Out;
}

}  // namespace dud::test
