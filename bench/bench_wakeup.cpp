// The wake-up stream of the main window as the line receives it: one "_" every
// 25 ms while the transmit panel waits for the receiver. Measured over 4 s on the
// master side of a pseudo-terminal, beside a plain writer thread that sleeps to
// absolute 25 ms deadlines with clock_nanosleep on another pseudo-terminal, in
// the same run.
//
// Goals: median interval 25 +- 0.3 ms, 99th percentile <= 26.5 ms, and 160
// intervals summing to 4000 +- 2 ms.
// Usage: bench_wakeup [seconds=4]
#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QEventLoop>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "app/main_window.h"
#include "pty_port.h"
#include "test_support.h"

namespace {

constexpr double kPeriodMs = 25.0;

double NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) * 1e-6;
}

// Arrival time of every byte read from fd until `count` bytes arrived or
// timeout_ms passed. Bytes read together share their time.
std::vector<double> Arrivals(int fd, size_t count, double timeout_ms) {
  std::vector<double> at;
  const double end = NowMs() + timeout_ms;
  char buf[256];
  while (at.size() < count) {
    const double left = end - NowMs();
    if (left <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left) + 1) <= 0) continue;  // ready count, 0 on time-out
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    const double t = NowMs();
    for (ssize_t i = 0; i < n; ++i)
      if (buf[i] == '_') at.push_back(t);
  }
  return at;
}

void Report(const char* name, const std::vector<double>& at, size_t intervals) {
  std::vector<double> d;
  for (size_t i = 1; i < at.size(); ++i) d.push_back(at[i] - at[i - 1]);
  if (d.size() < intervals) {
    std::printf("%-26s only %zu intervals arrived (wanted %zu)\n", name, d.size(), intervals);
    return;
  }
  d.resize(intervals);
  double sum = 0;
  for (double x : d) sum += x;
  std::vector<double> s = d;
  std::sort(s.begin(), s.end());
  const double median = s[s.size() / 2];
  const double p99 = s[std::min(s.size() - 1, static_cast<size_t>(static_cast<double>(s.size()) * 0.99))];
  const double expected = kPeriodMs * static_cast<double>(intervals);
  std::printf("%-26s n=%zu median=%.3f ms p99=%.3f ms min=%.3f ms max=%.3f ms sum=%.3f ms\n", name, d.size(), median,
              p99, s.front(), s.back(), sum);
  std::printf("%-26s goals: median %s, p99 %s, sum %s\n", "", std::abs(median - kPeriodMs) <= 0.3 ? "met" : "MISSED",
              p99 <= 26.5 ? "met" : "MISSED", std::abs(sum - expected) <= 2.0 ? "met" : "MISSED");
}

void Spin(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
  loop.exec();
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 4.0;
  const size_t intervals = static_cast<size_t>(seconds * 1000.0 / kPeriodMs);
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);

  dud::test::ScopedTempDir dir;
  const auto old_cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  dud::test::WriteFileBytes(dir.File("settings.ini"), "[com]\nport=1\n");
  dud::test::PtyPort window_line(1);
  dud::test::PtyPort raw_line(2);

  std::printf("wake-up stream over %.1f s (%zu intervals of %.0f ms)\n", seconds, intervals, kPeriodMs);

  // Plain writer: absolute deadlines, one byte each, on the raw pseudo-terminal.
  {
    const int slave = open(raw_line.slave_path().c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
      timespec next{};
      clock_gettime(CLOCK_MONOTONIC, &next);
      while (!stop) {
        if (write(slave, "_", 1) != 1) break;
        next.tv_nsec += 25'000'000;
        if (next.tv_nsec >= 1'000'000'000) {
          next.tv_nsec -= 1'000'000'000;
          ++next.tv_sec;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
      }
    });
    const auto at = Arrivals(raw_line.master_fd(), intervals + 1, seconds * 1000.0 + 1000.0);
    stop = true;
    writer.join();
    close(slave);
    Report("clock_nanosleep writer:", at, intervals);
  }

  // The window: "Weiter" opens COM1 and starts its 25 ms timer.
  {
    Tgui_main gui_main;
    gui_main.findChild<QPushButton*>("btn_next")->click();
    if (!gui_main.com_port().Open()) {
      std::printf("window: the port did not open\n");
      return 1;
    }
    Spin(200);  // let the stream settle
    window_line.ReadMasterAvailable(0);
    std::vector<double> at;
    std::thread reader([&] { at = Arrivals(window_line.master_fd(), intervals + 1, seconds * 1000.0 + 1000.0); });
    Spin(static_cast<int>(seconds * 1000.0) + 400);
    reader.join();
    gui_main.findChild<QPushButton*>("btn_back")->click();
    Report("window (timer + PutChar):", at, intervals);
  }
  std::filesystem::current_path(old_cwd);
  return 0;
}
