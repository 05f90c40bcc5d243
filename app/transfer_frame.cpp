#include "app/transfer_frame.h"

namespace korva {

std::string spaces_to_zeros(const std::string& text) {
  std::string out = text;
  for (char& c : out)
    if (c == ' ') c = '0';
  return out;
}

std::string TKeyFrame::Bytes() const {
  std::string frame = "Y";
  frame += static_cast<char>(SYSLO);
  frame += static_cast<char>(KEY & 0xFF);
  frame += static_cast<char>(SYSHI);
  frame += '\0';  // part of the frame: the block is counted, not terminated
  frame += static_cast<char>(CHK);
  return frame;
}

TKeyFrame BuildKeyFrame(const std::string& address_text, const std::string& key_text) {
  const int32_t address = StrToInt(spaces_to_zeros(address_text));
  const uint32_t addr16 = static_cast<uint32_t>(address) & 0xFFFF;
  TKeyFrame f;
  f.SYSHI = static_cast<uint8_t>(addr16 >> 8);
  f.SYSLO = static_cast<uint8_t>(addr16 & 0xFF);
  f.KEY = static_cast<uint32_t>(static_cast<int64_t>(StrToInt(spaces_to_zeros(key_text))) + 139);
  f.CHK = static_cast<uint8_t>((f.KEY + f.SYSLO + f.SYSHI) % 256);
  return f;
}

}  // namespace korva
