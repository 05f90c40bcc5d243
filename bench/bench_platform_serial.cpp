// Serial device layer against the raw pseudo-terminal, side by side in one run:
//  - latency from a byte written on the master to the return of a pending
//    WaitCommEvent (raw: to the return of poll() on the slave);
//  - CPU time of an open port with a pending wait over an idle period
//    (raw: a thread blocked in poll() on the slave).
// Usage: bench_platform_serial [samples=2000] [idle_seconds=10]
#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32.h"
#include "pty_port.h"

namespace {

using Clock = std::chrono::steady_clock;

double CpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct Stats {
  double p50 = 0, p99 = 0, max = 0;
  size_t n = 0;
};

Stats Summarise(std::vector<double> us) {
  Stats s;
  if (us.empty()) return s;
  std::sort(us.begin(), us.end());
  s.n = us.size();
  s.p50 = us[us.size() / 2];
  s.p99 = us[std::min(us.size() - 1, us.size() * 99 / 100)];
  s.max = us.back();
  return s;
}

std::vector<double> RawLatency(dud::test::PtyPort& port, int samples) {
  std::vector<double> us;
  int fd = open(port.slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return us;
  char buf[64];
  for (int i = 0; i < samples; ++i) {
    auto t0 = Clock::now();
    port.WriteMaster("x");
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) break;  // returns 1 when the byte is readable
    auto t1 = Clock::now();
    us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    while (read(fd, buf, sizeof buf) > 0) {
    }
  }
  close(fd);
  return us;
}

std::vector<double> StackLatency(dud::test::PtyPort& port, int samples) {
  std::vector<double> us;
  HANDLE h = CreateFileA(port.name().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    std::printf("cannot open %s: %u\n", port.name().c_str(), GetLastError());
    return us;
  }
  COMMTIMEOUTS t{MAXDWORD, 0, 0, 0, 0};
  SetCommTimeouts(h, &t);
  SetCommMask(h, EV_RXCHAR);
  OVERLAPPED ov{};
  ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  char buf[64];
  for (int i = 0; i < samples; ++i) {
    DWORD ev = 0, n = 0;
    if (WaitCommEvent(h, &ev, &ov) || GetLastError() != ERROR_IO_PENDING) {
      std::printf("the wait did not stay pending (sample %d)\n", i);
      break;
    }
    auto t0 = Clock::now();
    port.WriteMaster("x");
    if (WaitForSingleObject(ov.hEvent, 5000) != WAIT_OBJECT_0) break;
    auto t1 = Clock::now();
    us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    GetOverlappedResult(h, &ov, &n, FALSE);
    OVERLAPPED rov{};
    while (ReadFile(h, buf, sizeof buf, &n, &rov) && n > 0) {
    }
  }
  CloseHandle(ov.hEvent);
  CloseHandle(h);
  return us;
}

double RawIdleCpu(dud::test::PtyPort& port, int seconds) {
  int fd = open(port.slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  double before = CpuSeconds();
  std::thread waiter([&] {
    pollfd p{fd, POLLIN, 0};
    poll(&p, 1, seconds * 1000 + 500);
  });
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  double used = CpuSeconds() - before;
  port.WriteMaster("w");  // ends the waiter
  waiter.join();
  close(fd);
  return used;
}

double StackIdleCpu(dud::test::PtyPort& port, int seconds) {
  HANDLE h = CreateFileA(port.name().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) return -1;
  SetCommMask(h, EV_RXCHAR | EV_CTS | EV_DSR | EV_RLSD | EV_BREAK | EV_ERR | EV_RING);
  OVERLAPPED ov{};
  ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD ev = 0;
  WaitCommEvent(h, &ev, &ov);
  double before = CpuSeconds();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  double used = CpuSeconds() - before;
  CloseHandle(h);
  CloseHandle(ov.hEvent);
  return used;
}

}  // namespace

int main(int argc, char** argv) {
  const int samples = argc > 1 ? std::atoi(argv[1]) : 2000;
  const int idle = argc > 2 ? std::atoi(argv[2]) : 10;
  dud::test::PtyPort raw_port(1);
  dud::test::PtyPort stack_port(2);

  Stats raw = Summarise(RawLatency(raw_port, samples));
  Stats stack = Summarise(StackLatency(stack_port, samples));
  double raw_cpu = RawIdleCpu(raw_port, idle);
  double stack_cpu = StackIdleCpu(stack_port, idle);

  std::printf("\nSerial device layer vs raw pseudo-terminal (%d samples, %d s idle)\n\n", samples, idle);
  std::printf("%-44s %16s %18s\n", "", "raw pty (poll)", "WaitCommEvent");
  std::printf("%-44s %16zu %18zu\n", "latency samples", raw.n, stack.n);
  std::printf("%-44s %16.1f %18.1f\n", "byte on master -> wait returns, p50 (us)", raw.p50, stack.p50);
  std::printf("%-44s %16.1f %18.1f\n", "byte on master -> wait returns, p99 (us)", raw.p99, stack.p99);
  std::printf("%-44s %16.1f %18.1f\n", "byte on master -> wait returns, max (us)", raw.max, stack.max);
  std::printf("%-44s %16.3f %18.3f\n", "idle CPU with a pending wait (ms)", raw_cpu * 1e3, stack_cpu * 1e3);
  std::printf("%-44s %15.4f%% %17.4f%%\n", "idle CPU, share of one core (goal < 0.1%)", raw_cpu * 100.0 / idle,
              stack_cpu * 100.0 / idle);
  return 0;
}
