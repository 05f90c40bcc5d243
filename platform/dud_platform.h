// The few platform services that the stack needs beyond the Win32 functions.
// Each has an implementation per platform (platform/posix/, platform/win/), so the
// layers above never test which system they run on.
#pragma once

#include <cstdint>
#include <string>

namespace dud::platform {

// A descriptor that becomes readable while the calling thread's window-message
// queue holds a message, so that a toolkit's own event loop can drain the queue
// on that thread. -1 where the toolkit already dispatches window messages itself.
int MessageQueueWakeFd();

// The running system in one line, for example "Linux 6.1.0-18-amd64", on systems
// that have no Windows version record; empty on Windows, where the caller names
// the system from GetVersionExA.
std::string NativeSystemName();

// The system error number (a Windows error number) for a C library errno value,
// for code that works with files through the C library.
uint32_t SystemErrorFromErrno(int err);

}  // namespace dud::platform
