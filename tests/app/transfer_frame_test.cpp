#include "app/transfer_frame.h"

#include <gtest/gtest.h>

namespace korva {
namespace {

std::string Hex(const std::string& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out += ' ';
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

struct FrameCase {
  const char* address;
  const char* key;
  int syslo, key_value, syshi, chk;
  const char* frame;
};

// The masked fields yield one character per position, a blank for an empty or zero digit.
const FrameCase kFrames[] = {
    {"    1", "  ", 1, 139, 0, 140, "59 01 8B 00 00 8C"},
    {"     ", "  ", 0, 139, 0, 139, "59 00 8B 00 00 8B"},
    {"12345", "  ", 57, 139, 48, 244, "59 39 8B 30 00 F4"},
    {"65535", "  ", 255, 139, 255, 137, "59 FF 8B FF 00 89"},
    {"65536", "  ", 0, 139, 0, 139, "59 00 8B 00 00 8B"},
    {"99999", "  ", 159, 139, 134, 176, "59 9F 8B 86 00 B0"},
    // A key moves offset 2 and CHK by its value.
    {"12345", "42", 57, 181, 48, 30, "59 39 B5 30 00 1E"},
    // Blank positions are zeros in their place: "12 3 " reads as 12030.
    {"12 3 ", "  ", 254, 139, 46, 183, "59 FE 8B 2E 00 B7"},
    // The largest sum the fields admit: 65535 with key 99 gives 748.
    {"65535", "99", 255, 238, 255, 236, "59 FF EE FF 00 EC"},
    {"1", " 5", 1, 144, 0, 145, "59 01 90 00 00 91"},
};

TEST(TransferFrame, WorkedExamplesGiveTheirBytesAndStatusValues) {
  for (const auto& c : kFrames) {
    SCOPED_TRACE(std::string("address '") + c.address + "' key '" + c.key + "'");
    TKeyFrame f = BuildKeyFrame(c.address, c.key);
    EXPECT_EQ(f.SYSLO, c.syslo);
    EXPECT_EQ(f.KEY, static_cast<uint32_t>(c.key_value));
    EXPECT_EQ(f.SYSHI, c.syshi);
    EXPECT_EQ(f.CHK, c.chk);
    std::string bytes = f.Bytes();
    ASSERT_EQ(bytes.size(), 6u) << "the 0x00 at offset 4 must not end the frame";
    EXPECT_EQ(Hex(bytes), c.frame);
  }
}

TEST(TransferFrame, SpacesToZerosKeepsLengthAndOtherCharacters) {
  EXPECT_EQ(spaces_to_zeros(""), "");
  EXPECT_EQ(spaces_to_zeros("     "), "00000");
  EXPECT_EQ(spaces_to_zeros(" 1 2 "), "01020");
  EXPECT_EQ(spaces_to_zeros("a\tb"), "a\tb");
  EXPECT_EQ(spaces_to_zeros(std::string("\0 ", 2)), std::string("\0" "0", 2));
}

TEST(TransferFrame, TextThatIsNoNumberRaisesTheGermanConversionMessage) {
  for (const char* bad : {"", "12a45", "1 2", "0x10", "99999999999", "-"}) {
    SCOPED_TRACE(bad);
    try {
      StrToInt(bad);
      FAIL() << "no exception";
    } catch (const EConvertError& e) {
      EXPECT_EQ(std::string(e.what()), std::string("'") + bad + "' ist kein g\xC3\xBCltiger Integerwert");
    }
  }
  // The frame builder converts after replacing blanks, so a letter still fails.
  EXPECT_THROW(BuildKeyFrame("1x345", "  "), EConvertError);
  EXPECT_THROW(BuildKeyFrame("12345", "k1"), EConvertError);
}

TEST(TransferFrame, IntegerConversionAcceptsSignsAndTheFull32BitRange) {
  EXPECT_EQ(StrToInt("00000"), 0);
  EXPECT_EQ(StrToInt("+17"), 17);
  EXPECT_EQ(StrToInt("-17"), -17);
  EXPECT_EQ(StrToInt("2147483647"), 2147483647);
  EXPECT_EQ(StrToInt("-2147483648"), INT32_MIN);
  EXPECT_THROW(StrToInt("2147483648"), EConvertError);
  EXPECT_THROW(StrToInt("+-1"), EConvertError);
}

}  // namespace
}  // namespace korva
