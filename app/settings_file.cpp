#include "app/settings_file.h"

#include <charconv>

#include "platform/win32.h"

namespace korva {

ESettingsWrite::ESettingsWrite(const std::string& file_name)
    : std::runtime_error("In " + file_name + " kann nicht geschrieben werden") {}

bool ParseSettingsInteger(const std::string& text, int32_t& value) {
  const char* first = text.data();
  const char* last = text.data() + text.size();
  bool hex = false;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    first += 2;
    hex = true;
  } else if (!text.empty() && text[0] == '$') {
    first += 1;
    hex = true;
  }
  if (first == last) return false;
  if (hex) {
    if (*first == '+' || *first == '-') return false;
    uint32_t bits = 0;
    auto [end, ec] = std::from_chars(first, last, bits, 16);
    if (ec != std::errc() || end != last) return false;
    value = static_cast<int32_t>(bits);
    return true;
  }
  if (*first == '+' && first + 1 != last && first[1] != '-') ++first;
  int32_t parsed = 0;
  auto [end, ec] = std::from_chars(first, last, parsed, 10);
  if (first == last || ec != std::errc() || end != last) return false;
  value = parsed;
  return true;
}

int32_t SettingsFile::ReadInteger(const std::string& section, const std::string& key, int32_t default_value) const {
  char buffer[2048];
  DWORD n = GetPrivateProfileStringA(section.c_str(), key.c_str(), "", buffer, sizeof(buffer), file_name_.c_str());
  int32_t value = default_value;
  if (!ParseSettingsInteger(std::string(buffer, n), value)) return default_value;
  return value;
}

bool SettingsFile::ReadBool(const std::string& section, const std::string& key, bool default_value) const {
  return ReadInteger(section, key, default_value ? 1 : 0) != 0;
}

void SettingsFile::WriteInteger(const std::string& section, const std::string& key, int32_t value) const {
  const std::string text = std::to_string(value);
  if (!WritePrivateProfileStringA(section.c_str(), key.c_str(), text.c_str(), file_name_.c_str()))
    throw ESettingsWrite(file_name_);
}

}  // namespace korva
