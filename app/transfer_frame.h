// The key frame: how the two entry texts of the main window become the six bytes
// that tell a receiver its system address and security key.
#pragma once

#include <cstdint>
#include <string>

#include "errors/convert.h"

namespace korva {

// A copy of text with every blank replaced by "0"; length and other characters kept.
std::string spaces_to_zeros(const std::string& text);

using dud::EConvertError;
using dud::StrToInt;

// The values of one frame, as the status list shows them.
struct TKeyFrame {
  uint8_t SYSLO = 0;
  uint8_t SYSHI = 0;
  uint32_t KEY = 0;  // the key plus 139; the frame carries its low byte
  uint8_t CHK = 0;

  // The six bytes: "Y", SYSLO, KEY's low byte, SYSHI, 0x00, CHK.
  std::string Bytes() const;
};

// Builds the frame from the two entry texts (one character per digit position,
// blank for an empty or zero position). Raises EConvertError when a text is not
// a number after the blanks are read as zeros.
TKeyFrame BuildKeyFrame(const std::string& address_text, const std::string& key_text);

}  // namespace korva
