// Text to integer conversion as the runtime does it, with its failure.
#pragma once

#include <cstdint>
#include <string>

#include "errors/exceptions.h"

namespace dud {

// A text that is not a decimal integer. The message is the runtime's German one
// ("'<text>' ist kein gültiger Integerwert", UTF-8), which the operator sees.
class EConvertError : public Exception {
 public:
  explicit EConvertError(const std::string& Text);
};

// A signed decimal integer: an optional sign, then digits only, fitting 32 bits.
// Raises EConvertError for anything else.
int32_t StrToInt(const std::string& Text);

}  // namespace dud
