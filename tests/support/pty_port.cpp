#include "pty_port.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <stdexcept>

namespace dud::test {
namespace {

// The ports directory shared by all live PtyPort objects of the process.
struct SharedDir {
  std::mutex lock;
  int users = 0;
  std::string path;
  std::optional<std::string> saved_env;  // DUD_PORTS_DIR before the first PtyPort
};

SharedDir& Shared() {
  static SharedDir* d = new SharedDir;
  return *d;
}

std::string AcquireDir() {
  SharedDir& d = Shared();
  std::lock_guard<std::mutex> g(d.lock);
  if (d.users++ == 0) {
    std::string tmpl = (std::filesystem::temp_directory_path() / "dudports-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) {
      d.users = 0;
      throw std::runtime_error("cannot create a ports directory");
    }
    d.path = tmpl;
    const char* old = getenv("DUD_PORTS_DIR");
    d.saved_env = old != nullptr ? std::optional<std::string>(old) : std::nullopt;
    setenv("DUD_PORTS_DIR", d.path.c_str(), 1);
  }
  return d.path;
}

void ReleaseDir() {
  SharedDir& d = Shared();
  std::lock_guard<std::mutex> g(d.lock);
  if (--d.users > 0) return;
  std::error_code ec;
  std::filesystem::remove_all(d.path, ec);
  if (d.saved_env)
    setenv("DUD_PORTS_DIR", d.saved_env->c_str(), 1);
  else
    unsetenv("DUD_PORTS_DIR");
}

void MakeRaw(int fd) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) throw std::runtime_error("tcgetattr failed on the pty");
  cfmakeraw(&t);
  if (tcsetattr(fd, TCSANOW, &t) != 0) throw std::runtime_error("tcsetattr failed on the pty");
}

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

PtyPort::PtyPort(int number) : number_(number) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);  // -1 with errno on failure
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    if (master_ >= 0) close(master_);
    throw std::runtime_error("cannot create a pseudo-terminal");
  }
  char buf[128];
  if (ptsname_r(master_, buf, sizeof buf) != 0) {
    close(master_);
    throw std::runtime_error("cannot name the pseudo-terminal");
  }
  slave_path_ = buf;
  slave_keep_ = open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave_keep_ < 0) {
    close(master_);
    throw std::runtime_error("cannot open the pseudo-terminal's slave");
  }
  MakeRaw(master_);
  MakeRaw(slave_keep_);
  const std::string dir = AcquireDir();
  link_ = dir + "/com" + std::to_string(number);
  if (symlink(slave_path_.c_str(), link_.c_str()) != 0) {
    close(slave_keep_);
    close(master_);
    ReleaseDir();
    throw std::runtime_error("cannot link " + link_);
  }
}

PtyPort::~PtyPort() {
  unlink(link_.c_str());
  if (slave_keep_ >= 0) close(slave_keep_);
  if (master_ >= 0) close(master_);
  ReleaseDir();
}

std::string PtyPort::name() const { return "\\\\.\\COM" + std::to_string(number_); }

std::string PtyPort::PortsDir() {
  SharedDir& d = Shared();
  std::lock_guard<std::mutex> g(d.lock);
  return d.path;
}

std::string PtyPort::ReadMaster(size_t n, int timeout_ms) {
  std::string out;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  char buf[4096];
  while (out.size() < n && master_ >= 0) {
    pollfd p{master_, POLLIN, 0};
    // poll returns the number of ready descriptors, 0 on time-out, -1 with errno.
    int rc = poll(&p, 1, RemainingMs(deadline));
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) break;
    if ((p.revents & POLLIN) == 0) break;  // hang-up without data: nothing more will come
    ssize_t got = read(master_, buf, std::min(sizeof buf, n - out.size()));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    out.append(buf, static_cast<size_t>(got));
  }
  return out;
}

std::string PtyPort::ReadMasterAvailable(int timeout_ms, size_t max) {
  std::string out;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  char buf[4096];
  while (out.size() < max && master_ >= 0) {
    pollfd p{master_, POLLIN, 0};
    int rc = poll(&p, 1, RemainingMs(deadline));
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0 || (p.revents & POLLIN) == 0) break;
    ssize_t got = read(master_, buf, std::min(sizeof buf, max - out.size()));
    if (got <= 0) break;
    out.append(buf, static_cast<size_t>(got));
  }
  return out;
}

bool PtyPort::WriteMaster(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size() && master_ >= 0) {
    // write returns the count written or -1 with errno; the master blocks while the slave's input is full.
    ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return done == bytes.size();
}

void PtyPort::CloseMaster() {
  if (master_ >= 0) close(master_);
  master_ = -1;
}

}  // namespace dud::test
