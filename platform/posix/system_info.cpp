// The running system's name and version.
#include <sys/utsname.h>

#include <cstring>
#include <string>

#include "platform/dud_platform.h"
#include "platform/posix/kobject.h"
#include "platform/win32.h"

namespace dud::platform {

std::string NativeSystemName() {
  utsname u{};
  if (uname(&u) != 0) return "Unknown";  // returns 0 on success
  return std::string(u.sysname) + " " + u.release;
}

uint32_t SystemErrorFromErrno(int err) { return dud::posix::ErrnoToWin32(err); }

}  // namespace dud::platform

// The stack asks only which family it runs on: report the NT family, whose
// behaviour (RTS toggled by the driver in RS485 mode) this layer gives.
BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info) {
  if (info == nullptr || info->dwOSVersionInfoSize < sizeof(OSVERSIONINFOA)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  info->dwMajorVersion = 6;
  info->dwMinorVersion = 2;
  info->dwBuildNumber = 9200;
  info->dwPlatformId = VER_PLATFORM_WIN32_NT;
  std::memset(info->szCSDVersion, 0, sizeof(info->szCSDVersion));
  return TRUE;
}
