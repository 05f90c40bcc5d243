// The port availability test: a short-lived device-layer dispatcher opens the
// device with small queues and closes it again.
#include "comport/port_probe.h"

#include <memory>

#include "device/win32_dispatcher.h"
#include "platform/win32.h"

namespace dud {

namespace {
// Queue sizes of the test open; the device is closed before anything could use them.
constexpr uint32_t ProbeQueueSize = 64;
}  // namespace

std::string ComDeviceName(uint16_t ComNumber) { return "\\\\.\\COM" + std::to_string(ComNumber); }

bool IsPortAvailable(uint16_t ComNumber) {
  if (ComNumber == 0) return false;
  // Owned here, so it is destroyed also when a step raises.
  auto Probe = std::make_unique<TDudWin32Dispatcher>(nullptr);
  if (Probe->OpenCom(ComDeviceName(ComNumber), ProbeQueueSize, ProbeQueueSize) >= 0) {
    Probe->CloseCom();
    return true;
  }
  // Access denied: the port exists, another program holds it.
  return GetLastError() == ERROR_ACCESS_DENIED;
}

std::vector<uint16_t> AvailablePorts() {
  std::vector<uint16_t> Ports;
  for (uint16_t N = FirstSelectablePort; N <= LastSelectablePort; ++N)
    if (IsPortAvailable(N)) Ports.push_back(N);
  return Ports;
}

}  // namespace dud
