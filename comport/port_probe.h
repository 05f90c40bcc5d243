// Which serial ports exist: the test behind the port selection dialog's list.
//
// Threads: any thread; each call opens and closes the device on the calling thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace dud {

// The port numbers the selection dialog offers, in this order.
constexpr uint16_t FirstSelectablePort = 1;
constexpr uint16_t LastSelectablePort = 50;

// The device name of port n: "\\.\COM" and the number ("\\.\COM12").
std::string ComDeviceName(uint16_t ComNumber);

// True when port n exists: it opens (and is closed again at once), or another
// program holds it. Port 0 never exists.
bool IsPortAvailable(uint16_t ComNumber);

// The available ports among FirstSelectablePort .. LastSelectablePort, ascending.
std::vector<uint16_t> AvailablePorts();

}  // namespace dud
