// The Win32 device layer measured against the bare pseudo-terminal, side by side
// in one run:
//   - throughput from PutBlock to the far end of the line, in 64-byte and 4 KiB
//     blocks, against plain write() on the terminal;
//   - latency from a byte written at the far end to the avail handler on the
//     application thread that pumps its messages (p50/p99), against a thread
//     blocked in poll() and read() on the terminal;
//   - CPU used by an idle open port;
//   - open and close times.
// With python3 and its serial module, pyserial's write throughput is added.
//
// Usage: bench_dispatcher [idle-seconds]   (default 10)
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/win32_dispatcher.h"
#include "errors/error_codes.h"
#include "pty_port.h"

namespace {

using dud::TDudWin32Dispatcher;
using dud::test::PtyPort;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration D) { return std::chrono::duration<double>(D).count(); }
double Micros(Clock::duration D) { return std::chrono::duration<double, std::micro>(D).count(); }

double CpuSeconds() {
  timespec T{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &T);
  return static_cast<double>(T.tv_sec) + static_cast<double>(T.tv_nsec) / 1e9;
}

constexpr uint32_t InSize = 4096;
constexpr uint32_t OutSize = 65536;

int32_t OpenStack(TDudWin32Dispatcher& D, PtyPort& P) {
  return D.InitPort(P.name(), 115200, 0, 8, 1, InSize, OutSize, dud::ipRaiseDTR | dud::ipRaiseRTS);
}

// The slave side of the terminal opened directly, in raw mode: the bare line.
int OpenRaw(const PtyPort& P) {
  // Returns the descriptor, or -1 with errno set.
  const int Fd = open(P.slave_path().c_str(), O_RDWR | O_NOCTTY);
  if (Fd < 0) return -1;
  termios T{};
  tcgetattr(Fd, &T);
  cfmakeraw(&T);
  tcsetattr(Fd, TCSANOW, &T);
  return Fd;
}

// Reads Total bytes from Fd (poll + read); returns when they have all come or
// nothing came for 10 s.
size_t Drain(int Fd, size_t Total) {
  std::vector<char> Buf(65536);
  size_t Got = 0;
  while (Got < Total) {
    pollfd P{Fd, POLLIN, 0};
    if (poll(&P, 1, 10000) <= 0) break;
    const ssize_t N = read(Fd, Buf.data(), Buf.size());
    if (N <= 0) break;
    Got += static_cast<size_t>(N);
  }
  return Got;
}

// Throws away whatever is still on its way to the master.
void Flush(PtyPort& P) {
  while (!P.ReadMasterAvailable(50).empty()) {
  }
}

std::string Pattern(size_t N) {
  std::string S(N, '\0');
  for (size_t I = 0; I < N; ++I) S[I] = static_cast<char>(I * 131 + 7);
  return S;
}

// ---------------------------------------------------------------- throughput

double StackThroughput(PtyPort& P, size_t Block, size_t Total) {
  TDudWin32Dispatcher D(nullptr);
  if (OpenStack(D, P) != dud::ecOK) return -1;
  const std::string Data = Pattern(Block);
  size_t Got = 0;
  const auto Start = Clock::now();
  std::thread Reader([&] { Got = Drain(P.master_fd(), Total); });
  for (size_t Sent = 0; Sent < Total;) {
    if (D.PutBlock(Data.data(), static_cast<uint32_t>(Block)) == dud::ecOK)
      Sent += Block;
    else
      // The ring is full: the writer is behind. Sleep briefly, as the raw writer
      // sleeps in write(); a yield loop would take from the stack's own threads
      // the CPU they need to empty the ring (there are only 2 cores).
      std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
  Reader.join();
  const double S = Seconds(Clock::now() - Start);
  D.ClosePort();
  return Got == Total ? static_cast<double>(Total) / S / 1e6 : -1;
}

double RawThroughput(PtyPort& P, size_t Block, size_t Total) {
  const int Fd = OpenRaw(P);
  if (Fd < 0) return -1;
  const std::string Data = Pattern(Block);
  size_t Got = 0;
  const auto Start = Clock::now();
  std::thread Reader([&] { Got = Drain(P.master_fd(), Total); });
  for (size_t Sent = 0; Sent < Total;) {
    // Blocks while the terminal is full; returns the count written or -1.
    const ssize_t N = write(Fd, Data.data(), Block);
    if (N <= 0) break;
    Sent += static_cast<size_t>(N);
  }
  Reader.join();
  const double S = Seconds(Clock::now() - Start);
  close(Fd);
  return Got == Total ? static_cast<double>(Total) / S / 1e6 : -1;
}

// pyserial writing the same blocks; -1 when python3 or its serial module is missing.
double PySerialThroughput(PtyPort& P, size_t Block, size_t Total) {
  // The system's python first: Debian's python3-serial installs there.
  std::string Python;
  for (const char* Candidate : {"/usr/bin/python3", "python3"}) {
    if (std::system((std::string(Candidate) + " -c 'import serial' >/dev/null 2>&1").c_str()) == 0) {
      Python = Candidate;
      break;
    }
  }
  if (Python.empty()) return -1;
  const std::string Script =
      Python + " -c \"import serial\n"
      "s=serial.Serial('" + P.slave_path() + "',115200)\n"
      "b=bytes(" + std::to_string(Block) + ")\n"
      "for i in range(" + std::to_string(Total / Block) + "): s.write(b)\n"
      "s.flush(); s.close()\"";
  // The clock starts when python has opened the port, as for the others: the
  // first byte marks it.
  std::atomic<bool> Failed{false};
  Clock::time_point First{};
  size_t Got = 0;
  std::thread Reader([&] {
    std::vector<char> Buf(65536);
    while (Got < Total) {
      pollfd Pd{P.master_fd(), POLLIN, 0};
      if (poll(&Pd, 1, 20000) <= 0) break;
      const ssize_t N = read(P.master_fd(), Buf.data(), Buf.size());
      if (N <= 0) break;
      if (Got == 0) First = Clock::now();
      Got += static_cast<size_t>(N);
    }
  });
  if (std::system(Script.c_str()) != 0) Failed = true;
  Reader.join();
  const auto End = Clock::now();
  if (Failed || Got != Total) return -1;
  return static_cast<double>(Total) / Seconds(End - First) / 1e6;
}

// ---------------------------------------------------------------- latency

struct Percentiles {
  double P50 = -1, P99 = -1;
};

Percentiles Summarize(std::vector<double> V) {
  Percentiles R;
  if (V.empty()) return R;
  std::sort(V.begin(), V.end());
  R.P50 = V[V.size() / 2];
  R.P99 = V[std::min(V.size() - 1, V.size() * 99 / 100)];
  return R;
}

// Writes one byte at a time at the far end and waits until Arrived has counted it.
struct Stopwatch {
  std::mutex M;
  std::condition_variable Cv;
  uint32_t Arrived = 0;

  void Arrive(uint32_t N) {
    {
      std::lock_guard<std::mutex> G(M);
      Arrived += N;
    }
    Cv.notify_all();
  }

  std::vector<double> Run(int MasterFd, int Rounds) {
    std::vector<double> Samples;
    for (int I = 0; I < Rounds; ++I) {
      const char B = static_cast<char>('a' + I % 26);
      const auto Start = Clock::now();
      if (write(MasterFd, &B, 1) != 1) break;
      std::unique_lock<std::mutex> L(M);
      if (!Cv.wait_for(L, std::chrono::seconds(2), [&] { return Arrived >= static_cast<uint32_t>(I + 1); })) break;
      Samples.push_back(Micros(Clock::now() - Start));
      L.unlock();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return Samples;
  }
};

Stopwatch* GWatch = nullptr;
TDudWin32Dispatcher* GStack = nullptr;

LRESULT CALLBACK AvailWndProc(HWND Wnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  if (Msg == dud::TriggerAvailMsg && GStack != nullptr && GWatch != nullptr) {
    // Take the bytes, as an application would.
    char Buf[256];
    const uint32_t N = std::min<uint32_t>(static_cast<uint32_t>(wParam), sizeof(Buf));
    if (GStack->GetBlock(Buf, N) == dud::ecOK) GWatch->Arrive(N);
    return 0;
  }
  return DefWindowProcA(Wnd, Msg, wParam, lParam);
}

Percentiles StackLatency(PtyPort& P, int Rounds) {
  WNDCLASSA Class{};
  Class.lpfnWndProc = &AvailWndProc;
  Class.hInstance = GetModuleHandleA(nullptr);
  Class.lpszClassName = "benchAvailWindow";
  RegisterClassA(&Class);  // 0 when already registered: fine
  HWND Wnd = CreateWindowExA(0, "benchAvailWindow", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                             GetModuleHandleA(nullptr), nullptr);
  if (Wnd == nullptr) return {};

  TDudWin32Dispatcher D(nullptr);
  if (OpenStack(D, P) != dud::ecOK) return {};
  D.RegisterWndHandler(Wnd);
  D.UpdateHandlerFlags(dud::uhForceWndOn);  // as the port component does once its events are set
  D.SetAvailLevel(1);
  Stopwatch Watch;
  GWatch = &Watch;
  GStack = &D;

  // This thread is the application thread: it only pumps messages.
  const DWORD AppThread = GetCurrentThreadId();
  std::vector<double> Samples;
  std::thread Peer([&] {
    Samples = Watch.Run(P.master_fd(), Rounds);
    PostThreadMessageA(AppThread, WM_QUIT, 0, 0);
  });
  MSG Msg{};
  while (GetMessageA(&Msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&Msg);
    DispatchMessageA(&Msg);
  }
  Peer.join();
  D.DeregisterWndHandler(Wnd);
  D.ClosePort();
  GStack = nullptr;
  GWatch = nullptr;
  DestroyWindow(Wnd);
  return Summarize(Samples);
}

Percentiles RawLatency(PtyPort& P, int Rounds) {
  const int Fd = OpenRaw(P);
  if (Fd < 0) return {};
  Stopwatch Watch;
  std::atomic<bool> Stop{false};
  std::thread Reader([&] {
    char Buf[256];
    while (!Stop.load()) {
      pollfd Pd{Fd, POLLIN, 0};
      if (poll(&Pd, 1, 100) <= 0) continue;
      const ssize_t N = read(Fd, Buf, sizeof(Buf));
      if (N > 0) Watch.Arrive(static_cast<uint32_t>(N));
    }
  });
  const std::vector<double> Samples = Watch.Run(P.master_fd(), Rounds);
  Stop = true;
  Reader.join();
  close(Fd);
  return Summarize(Samples);
}

// ---------------------------------------------------------------- idle CPU

double StackIdleCpu(PtyPort& P, int IdleSeconds) {
  TDudWin32Dispatcher D(nullptr);
  if (OpenStack(D, P) != dud::ecOK) return -1;
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // settle after the start
  const double Cpu0 = CpuSeconds();
  const auto Start = Clock::now();
  const auto End = Start + std::chrono::seconds(IdleSeconds);
  // The application thread waits for messages, as an idle window does.
  for (auto Now = Clock::now(); Now < End; Now = Clock::now()) {
    const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(End - Now).count();
    if (MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(Left), QS_ALLINPUT) == WAIT_OBJECT_0) {
      MSG Msg{};
      while (PeekMessageA(&Msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&Msg);
    }
  }
  const double Percent = (CpuSeconds() - Cpu0) / Seconds(Clock::now() - Start) * 100.0;
  D.ClosePort();
  return Percent;
}

double RawIdleCpu(PtyPort& P, int IdleSeconds) {
  const int Fd = OpenRaw(P);
  if (Fd < 0) return -1;
  const double Cpu0 = CpuSeconds();
  const auto Start = Clock::now();
  std::thread Reader([&] {
    pollfd Pd{Fd, POLLIN, 0};
    poll(&Pd, 1, IdleSeconds * 1000);
  });
  Reader.join();
  const double Percent = (CpuSeconds() - Cpu0) / Seconds(Clock::now() - Start) * 100.0;
  close(Fd);
  return Percent;
}

// ---------------------------------------------------------------- open and close

struct OpenClose {
  double OpenMs = -1, CloseMs = -1;
};

OpenClose StackOpenClose(PtyPort& P, int Rounds) {
  std::vector<double> Opens, Closes;
  for (int I = 0; I < Rounds; ++I) {
    auto D = std::make_unique<TDudWin32Dispatcher>(nullptr);
    const auto T0 = Clock::now();
    if (OpenStack(*D, P) != dud::ecOK) return {};
    const auto T1 = Clock::now();
    D.reset();  // closes the port and waits for its threads
    const auto T2 = Clock::now();
    Opens.push_back(Micros(T1 - T0) / 1000);
    Closes.push_back(Micros(T2 - T1) / 1000);
  }
  return {Summarize(Opens).P50, Summarize(Closes).P50};
}

OpenClose RawOpenClose(PtyPort& P, int Rounds) {
  std::vector<double> Opens, Closes;
  for (int I = 0; I < Rounds; ++I) {
    const auto T0 = Clock::now();
    const int Fd = OpenRaw(P);
    if (Fd < 0) return {};
    const auto T1 = Clock::now();
    close(Fd);
    const auto T2 = Clock::now();
    Opens.push_back(Micros(T1 - T0) / 1000);
    Closes.push_back(Micros(T2 - T1) / 1000);
  }
  return {Summarize(Opens).P50, Summarize(Closes).P50};
}

// ---------------------------------------------------------------- the table

std::string Fmt(double V, const char* Unit, int Decimals = 2) {
  if (V < 0) return "n/a";
  char Buf[64];
  std::snprintf(Buf, sizeof(Buf), "%.*f %s", Decimals, V, Unit);
  return Buf;
}

void Row(const std::string& What, const std::string& Stack, const std::string& Raw, const std::string& Py = "") {
  std::printf("%-44s %18s %18s %14s\n", What.c_str(), Stack.c_str(), Raw.c_str(), Py.c_str());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const int IdleSeconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
  PtyPort P(1);
  dud::SetExceptionDisplay([](const std::exception& E) { std::fprintf(stderr, "stack error: %s\n", E.what()); });

  std::printf("Win32 device layer over a pseudo-terminal vs the bare terminal\n\n");
  Row("measure", "stack", "raw pty", "pyserial");
  Row("-------", "-----", "-------", "--------");

  struct {
    size_t Block, Total;
    const char* Name;
  } Sizes[] = {{64, 4u << 20, "throughput, 64-byte blocks (4 MiB)"}, {4096, 32u << 20, "throughput, 4 KiB blocks (32 MiB)"}};
  for (const auto& S : Sizes) {
    const double Stack = StackThroughput(P, S.Block, S.Total);
    Flush(P);
    const double Raw = RawThroughput(P, S.Block, S.Total);
    Flush(P);
    const double Py = PySerialThroughput(P, S.Block, S.Total);
    Flush(P);
    Row(S.Name, Fmt(Stack, "MB/s"), Fmt(Raw, "MB/s"), Fmt(Py, "MB/s"));
  }

  const int Rounds = 1000;
  const Percentiles StackLat = StackLatency(P, Rounds);
  Flush(P);
  const Percentiles RawLat = RawLatency(P, Rounds);
  Flush(P);
  Row("latency byte -> avail handler, p50", Fmt(StackLat.P50, "us", 0), Fmt(RawLat.P50, "us", 0));
  Row("latency byte -> avail handler, p99", Fmt(StackLat.P99, "us", 0), Fmt(RawLat.P99, "us", 0));

  const double StackCpu = StackIdleCpu(P, IdleSeconds);
  const double RawCpu = RawIdleCpu(P, IdleSeconds);
  Row("CPU of an idle open port (" + std::to_string(IdleSeconds) + " s)", Fmt(StackCpu, "%", 3), Fmt(RawCpu, "%", 3));

  const OpenClose StackOc = StackOpenClose(P, 30);
  const OpenClose RawOc = RawOpenClose(P, 30);
  Row("open, median of 30", Fmt(StackOc.OpenMs, "ms", 3), Fmt(RawOc.OpenMs, "ms", 3));
  Row("close, median of 30", Fmt(StackOc.CloseMs, "ms", 3), Fmt(RawOc.CloseMs, "ms", 3));

  std::printf("\nraw pty: plain write/read/poll on the terminal's slave side; latency raw: a thread in\n"
              "poll()+read(); stack: PutBlock and the avail trigger on a message-pumping thread.\n");
  return 0;
}
