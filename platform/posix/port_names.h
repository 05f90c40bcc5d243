// COM port names and the Linux devices behind them.
//
// A COM number names a device through the ports directory: $DUD_PORTS_DIR when
// set, else ~/.config/dud/ports. When that directory exists it is the whole
// mapping: COMn is whatever its entry "comn" (a symbolic link, lower case)
// points at, and a number without an entry does not exist. Without the
// directory COM1-COM32 are /dev/ttyS0-31, COM33-COM40 /dev/ttyUSB0-7 and
// COM41-COM48 /dev/ttyACM0-7.
//
// Threads: any; the functions read the environment and the file system only.
#pragma once

#include <string>

#include "platform/win32.h"

namespace dud::posix {

// The port number of "\\.\COMn" or "COMn" (letters in any case, n from 1 to
// 9999 without leading zeros), or 0 when the name is no COM port name.
int ParseComName(const char* name);

// The ports directory as configured (it need not exist).
std::string PortsDirectory();

// Finds the device path of COMn. Returns ERROR_SUCCESS with *path set, or
// ERROR_FILE_NOT_FOUND when the number maps to nothing.
DWORD ResolveComPort(int number, std::string* path);

}  // namespace dud::posix
