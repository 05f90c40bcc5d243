// korva-receiver: a receiver on a virtual serial line, to try Korva Security
// without hardware. It makes a pseudo-terminal, links its far side as COM<n> in
// the ports directory (DUD_PORTS_DIR, else ~/.config/dud/ports), and reports
// what arrives: the wake-up stream ("LEDs on"), each key frame with its address,
// key and check byte, and the acknowledgement (a line and the terminal bell).
//
//   korva-receiver [--port N] [--ports-dir DIR] [--force]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>

#include "tools/receiver_decode.h"

namespace {

std::atomic<bool> stop_requested{false};

void OnSignal(int) { stop_requested = true; }

std::string DefaultPortsDir() {
  if (const char* d = getenv("DUD_PORTS_DIR"); d != nullptr && *d != '\0') return d;
  const char* home = getenv("HOME");
  return std::string(home != nullptr ? home : ".") + "/.config/dud/ports";
}

void Say(const std::string& line) {
  const std::time_t now = std::time(nullptr);
  char stamp[16];
  std::strftime(stamp, sizeof stamp, "%H:%M:%S", std::localtime(&now));
  std::printf("[%s] %s\n", stamp, line.c_str());
  std::fflush(stdout);
}

// The line settings the sender put on the terminal, as "1200 8N1".
std::string LineSettings(int fd) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return "unknown";
  static const struct { speed_t code; int baud; } speeds[] = {
      {B300, 300}, {B600, 600}, {B1200, 1200}, {B2400, 2400}, {B4800, 4800}, {B9600, 9600},
      {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200}};
  int baud = 0;
  for (const auto& s : speeds)
    if (cfgetospeed(&t) == s.code) baud = s.baud;
  const int bits = (t.c_cflag & CSIZE) == CS5 ? 5 : (t.c_cflag & CSIZE) == CS6 ? 6 : (t.c_cflag & CSIZE) == CS7 ? 7 : 8;
  const char parity = (t.c_cflag & PARENB) == 0 ? 'N' : (t.c_cflag & PARODD) != 0 ? 'O' : 'E';
  return (baud != 0 ? std::to_string(baud) : std::string("?")) + " " + std::to_string(bits) + parity +
         ((t.c_cflag & CSTOPB) != 0 ? "2" : "1");
}

int Usage() {
  std::fprintf(stderr, "usage: korva-receiver [--port N] [--ports-dir DIR] [--force]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int port = 1;
  std::string ports_dir = DefaultPortsDir();
  bool force = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--port" && i + 1 < argc) {
      port = std::atoi(argv[++i]);
      if (port < 1 || port > 255) return Usage();
    } else if (a == "--ports-dir" && i + 1 < argc) {
      ports_dir = argv[++i];
    } else if (a == "--force") {
      force = true;
    } else {
      return Usage();
    }
  }

  // posix_openpt returns the master descriptor, or -1 with errno.
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    std::perror("korva-receiver: cannot make a pseudo-terminal");
    return 1;
  }
  const std::string slave_path = ptsname(master);
  // Keeping the far side open means the line does not hang up between the
  // sender's opens, and its settings can be read back.
  const int slave_keep = open(slave_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios t{};
  if (slave_keep < 0 || tcgetattr(slave_keep, &t) != 0) {
    std::perror("korva-receiver: cannot open the terminal");
    return 1;
  }
  cfmakeraw(&t);
  cfsetispeed(&t, B1200);
  cfsetospeed(&t, B1200);
  t.c_cflag = (t.c_cflag & ~(CSIZE | PARENB | CSTOPB)) | CS8 | CLOCAL | CREAD;
  tcsetattr(slave_keep, TCSANOW, &t);
  termios mt{};
  if (tcgetattr(master, &mt) == 0) {
    cfmakeraw(&mt);
    tcsetattr(master, TCSANOW, &mt);
  }

  std::error_code ec;
  std::filesystem::create_directories(ports_dir, ec);
  const std::string link = ports_dir + "/com" + std::to_string(port);
  struct stat st{};
  if (lstat(link.c_str(), &st) == 0) {
    const bool stale = stat(link.c_str(), &st) != 0;  // a link whose device is gone
    if (!stale && !force) {
      std::fprintf(stderr, "korva-receiver: %s exists; use --force to replace it\n", link.c_str());
      return 1;
    }
    unlink(link.c_str());
  }
  if (symlink(slave_path.c_str(), link.c_str()) != 0) {
    std::fprintf(stderr, "korva-receiver: cannot link %s: %s\n", link.c_str(), std::strerror(errno));
    return 1;
  }

  struct sigaction sa{};
  sa.sa_handler = OnSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);

  Say("receiver on COM" + std::to_string(port) + " (" + slave_path + " via " + link + "), waiting");
  korva::receiver::TReceiverParser parser;
  // The receiver falls asleep when the line has been quiet this long.
  constexpr int QuietMs = 1000;
  char buf[256];
  while (!stop_requested) {
    pollfd p{master, POLLIN, 0};
    const int rc = poll(&p, 1, QuietMs);  // ready count, 0 on time-out, -1 with errno
    if (rc < 0) {
      if (errno == EINTR) continue;
      std::perror("korva-receiver: poll");
      break;
    }
    if (rc == 0) {
      const uint64_t count = parser.WakeCount();
      if (parser.Idle()) Say("line quiet: LEDs off after " + std::to_string(count) + " wake-up characters");
      continue;
    }
    const ssize_t n = read(master, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) {
      // Cannot happen while we hold the far side open; nothing more to hear.
      break;
    }
    for (const auto& e : parser.Feed(std::string_view(buf, static_cast<size_t>(n)))) {
      if (e.Kind == korva::receiver::TEventKind::WakeUp) {
        Say(korva::receiver::Describe(e) + " (line " + LineSettings(slave_keep) + ")");
      } else {
        Say(korva::receiver::Describe(e));
      }
    }
  }
  unlink(link.c_str());
  close(slave_keep);
  close(master);
  Say("receiver stopped");
  return 0;
}
