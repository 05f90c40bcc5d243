// COM numbers to device paths.
#include "platform/posix/port_names.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace dud::posix {

int ParseComName(const char* name) {
  if (name == nullptr) return 0;
  if (std::strncmp(name, "\\\\.\\", 4) == 0) name += 4;
  if (std::strlen(name) < 4) return 0;
  if (std::toupper(static_cast<unsigned char>(name[0])) != 'C' ||
      std::toupper(static_cast<unsigned char>(name[1])) != 'O' ||
      std::toupper(static_cast<unsigned char>(name[2])) != 'M')
    return 0;
  const char* digits = name + 3;
  size_t len = std::strlen(digits);
  if (len == 0 || len > 4 || digits[0] == '0') return 0;
  int n = 0;
  for (size_t i = 0; i < len; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(digits[i]))) return 0;
    n = n * 10 + (digits[i] - '0');
  }
  return n;
}

std::string PortsDirectory() {
  const char* dir = std::getenv("DUD_PORTS_DIR");
  if (dir != nullptr && *dir != '\0') return dir;
  const char* home = std::getenv("HOME");
  std::string base;
  if (home != nullptr && *home != '\0') {
    base = home;
  } else {
    struct passwd* pw = getpwuid(getuid());  // null when the user has no entry
    if (pw != nullptr && pw->pw_dir != nullptr) base = pw->pw_dir;
  }
  return base + "/.config/dud/ports";
}

DWORD ResolveComPort(int number, std::string* path) {
  if (number <= 0) return ERROR_FILE_NOT_FOUND;
  const std::string dir = PortsDirectory();
  struct stat st {};
  if (stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {  // 0 on success
    std::string entry = dir + "/com" + std::to_string(number);
    if (lstat(entry.c_str(), &st) != 0) return ERROR_FILE_NOT_FOUND;
    *path = entry;
    return ERROR_SUCCESS;
  }
  if (number <= 32) {
    *path = "/dev/ttyS" + std::to_string(number - 1);
  } else if (number <= 40) {
    *path = "/dev/ttyUSB" + std::to_string(number - 33);
  } else if (number <= 48) {
    *path = "/dev/ttyACM" + std::to_string(number - 41);
  } else {
    return ERROR_FILE_NOT_FOUND;
  }
  return ERROR_SUCCESS;
}

}  // namespace dud::posix
