// The application's settings file: an INI file read and written through the
// platform's private-profile functions.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace korva {

// A write to the settings file failed. The message names the file.
class ESettingsWrite : public std::runtime_error {
 public:
  explicit ESettingsWrite(const std::string& file_name);
};

// Parses an integer as the settings file stores it: "0x"/"0X" followed by hex
// digits (more than two characters in all), "$" followed by hex digits, or a
// signed decimal number; every form must fit 32 bits (hex wraps into the sign).
// Returns false, leaving value alone, for any other text.
bool ParseSettingsInteger(const std::string& text, int32_t& value);

// Threads: one object per use, on the application thread.
class SettingsFile {
 public:
  explicit SettingsFile(std::string file_name) : file_name_(std::move(file_name)) {}

  int32_t ReadInteger(const std::string& section, const std::string& key, int32_t default_value) const;
  bool ReadBool(const std::string& section, const std::string& key, bool default_value) const;
  // Raises ESettingsWrite when the file cannot be written.
  void WriteInteger(const std::string& section, const std::string& key, int32_t value) const;

  const std::string& FileName() const { return file_name_; }

 private:
  std::string file_name_;
};

}  // namespace korva
