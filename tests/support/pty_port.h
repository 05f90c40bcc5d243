// A pseudo-terminal that the stack opens as a COM port, for tests and benchmarks.
//
//   dud::test::PtyPort port(3);                 // COM3 is now this pty
//   HANDLE h = CreateFileA(port.name().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
//                          OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
//   port.WriteMaster("abc");                    // the stack receives "abc"
//   std::string got = port.ReadMaster(6);       // what the stack sent, waiting at most 5 s
//
// The constructor makes a pty (both sides in raw mode), links its slave as
// "com<number>" in a temporary ports directory and points DUD_PORTS_DIR at it
// for the whole process. Several PtyPort objects alive at once share that
// directory (give them different numbers); the last one to go removes it and
// restores DUD_PORTS_DIR. A number without a PtyPort is a missing port.
//
// The helper keeps a descriptor of the slave open (it never reads from it), so
// that the master does not see a hang-up between two opens of the port and
// bytes written before the stack opens the port wait for it.
//
// Threads: one PtyPort is used by one thread at a time; ReadMaster and
// WriteMaster may run on two threads at once. Failures to set up throw
// std::runtime_error.
#pragma once

#include <cstddef>
#include <string>

namespace dud::test {

class PtyPort {
 public:
  explicit PtyPort(int number = 1);
  ~PtyPort();
  PtyPort(const PtyPort&) = delete;
  PtyPort& operator=(const PtyPort&) = delete;

  int number() const { return number_; }
  // The device name for CreateFileA: "\\.\COM<number>".
  std::string name() const;
  // The master side: what the stack writes can be read here, what is written here the stack receives.
  int master_fd() const { return master_; }
  const std::string& slave_path() const { return slave_path_; }
  static std::string PortsDir();

  // Reads until exactly n bytes have arrived or timeout_ms have passed; returns
  // what arrived (fewer than n bytes only on time-out). Bytes may be zero.
  std::string ReadMaster(size_t n, int timeout_ms = 5000);
  // Reads whatever arrives within timeout_ms (at most max bytes); for checking that nothing came.
  std::string ReadMasterAvailable(int timeout_ms, size_t max = 65536);
  // Writes all bytes to the master; false when the pty refused them.
  bool WriteMaster(const std::string& bytes);
  // Closes the master: to the stack the device is gone, as if unplugged.
  void CloseMaster();

 private:
  int number_;
  int master_ = -1;
  int slave_keep_ = -1;
  std::string slave_path_;
  std::string link_;
};

}  // namespace dud::test
