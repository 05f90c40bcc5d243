// MatchDataChar: the data trigger's incremental pattern matcher, checked against a
// plain reference over many random patterns and inputs, and its stated cases.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "dispatch/base_dispatcher.h"
#include "match_reference.h"

namespace dud {
namespace {

// Positions at which the matcher reports a complete pattern, feeding Input byte by byte.
std::vector<size_t> Matches(const std::string& Pattern, const std::string& Input, bool IgnoreCase = false) {
  std::array<uint32_t, MaxTriggerLen> State{};
  std::vector<size_t> Out;
  for (size_t I = 0; I < Input.size(); ++I) {
    if (MatchDataChar(State, static_cast<uint8_t>(Input[I]), static_cast<uint32_t>(Pattern.size()), IgnoreCase,
                      reinterpret_cast<const uint8_t*>(Pattern.data())))
      Out.push_back(I);
  }
  return Out;
}

std::vector<size_t> Reference(const std::string& Pattern, const std::string& Input) {
  return test::ReferenceMatches(Pattern, Input);
}

TEST(MatchDataChar, AgreesWithTheReferenceOnRandomPatterns) {
  std::mt19937 Random(20261209);
  for (const std::string Alphabet : {"ab", "abc", "aab"}) {
    for (int Round = 0; Round < 4000; ++Round) {
      const size_t Length = 1 + Random() % MaxTriggerLen;
      std::string Pattern, Input;
      for (size_t I = 0; I < Length; ++I) Pattern += Alphabet[Random() % Alphabet.size()];
      const size_t InputLength = Random() % 120;
      for (size_t I = 0; I < InputLength; ++I) Input += Alphabet[Random() % Alphabet.size()];
      // Plant a copy of the pattern now and then, so long patterns match too.
      if (Round % 3 == 0 && Input.size() > Length) Input.replace(Random() % (Input.size() - Length), Length, Pattern);
      ASSERT_EQ(Matches(Pattern, Input), Reference(Pattern, Input)) << "pattern " << Pattern << " input " << Input;
    }
  }
}

TEST(MatchDataChar, StatedCases) {
  const struct {
    const char* Pattern;
    const char* Input;
    bool IgnoreCase;
    std::vector<size_t> Expected;
  } Cases[] = {
      {"ab", "aab", false, {2}},
      {"AB", "ab", true, {1}},          // the received byte is upper-cased
      {"ab", "ab", true, {}},           // a stored lower-case pattern never matches letters
      {"ab", "AB", false, {}},
      {"a", "aaa", false, {0, 1, 2}},
      {"aa", "aaaa", false, {1, 3}},    // matches do not overlap
      {"aba", "ababa", false, {2}},
      {"abcabd", "abcabcabd", false, {8}},
      {"1+1", "1+1+1", false, {2}},
      {"\r\n", "OK\r\nOK\r\n", false, {3, 7}},
  };
  for (const auto& C : Cases)
    EXPECT_EQ(Matches(C.Pattern, C.Input, C.IgnoreCase), C.Expected) << C.Pattern << " in " << C.Input;
}

TEST(MatchDataChar, LongestPatternMatchesAfterFalseStarts) {
  const std::string Pattern(MaxTriggerLen - 1, 'a');
  const std::string P = Pattern + "b";
  std::string Input(60, 'a');
  Input += "b";
  EXPECT_EQ(Matches(P, Input), (std::vector<size_t>{60}));
}

}  // namespace
}  // namespace dud
