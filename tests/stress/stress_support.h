// Helpers of the stress suites: the sizes each build runs with, a byte stream
// whose every position is known, checksums, message pumping with hang guards,
// non-blocking master I/O, and counts of the process's threads and descriptors.
//
// Threads: everything here may run on any thread; PumpUntil handles the calling
// thread's window messages. TStreamChecker is used by one thread at a time.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "platform/win32.h"

namespace dud::stress {

// Sanitized builds run the same cases on smaller sizes: the sanitizers slow the
// stack down five to fifteen times and CI runs the suite once per build.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool Sanitized = true;
inline constexpr bool ThreadSanitized = false;
#elif defined(__SANITIZE_THREAD__)
inline constexpr bool Sanitized = true;
inline constexpr bool ThreadSanitized = true;
#else
inline constexpr bool Sanitized = false;
inline constexpr bool ThreadSanitized = false;
#endif

// Picks the size for this build: normal, AddressSanitizer, ThreadSanitizer.
template <class T>
constexpr T Scaled(T Normal, T Asan, T Tsan) {
  return ThreadSanitized ? Tsan : Sanitized ? Asan : Normal;
}

using Clock = std::chrono::steady_clock;

inline int64_t MsSince(Clock::time_point Start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - Start).count();
}

// The byte at position I of the test stream. Mixes the higher bits in, so that a
// lost or repeated chunk of any power-of-two size (256-byte reads, the 8192-byte
// ring) changes the bytes that follow it.
inline uint8_t StreamByte(uint64_t I) {
  uint64_t X = I * 0x9E3779B97F4A7C15ull;
  X ^= X >> 29;
  return static_cast<uint8_t>(X ^ (X >> 17) ^ (I >> 8));
}

// Fills Buf with the stream from position Start on.
inline void FillStream(uint8_t* Buf, size_t Len, uint64_t Start) {
  for (size_t K = 0; K < Len; ++K) Buf[K] = StreamByte(Start + K);
}

// FNV-1a over a byte sequence, with the count.
struct TFnv1a {
  uint64_t Hash = 0xCBF29CE484222325ull;
  uint64_t Count = 0;
  void Add(const uint8_t* P, size_t Len) {
    for (size_t K = 0; K < Len; ++K) {
      Hash ^= P[K];
      Hash *= 0x100000001B3ull;
    }
    Count += Len;
  }
  friend bool operator==(const TFnv1a& A, const TFnv1a& B) { return A.Hash == B.Hash && A.Count == B.Count; }
};

// The checksum of the first Len bytes of the stream.
inline TFnv1a StreamChecksum(uint64_t Len) {
  TFnv1a Sum;
  uint8_t Buf[4096];
  for (uint64_t Done = 0; Done < Len;) {
    const size_t N = static_cast<size_t>(std::min<uint64_t>(sizeof Buf, Len - Done));
    FillStream(Buf, N, Done);
    Sum.Add(Buf, N);
    Done += N;
  }
  return Sum;
}

// Receives the stream in pieces: checks every byte against its position (order
// exact) and keeps the checksum of what arrived.
class TStreamChecker {
 public:
  void Add(const uint8_t* P, size_t Len) {
    for (size_t K = 0; K < Len; ++K) {
      if (FirstMismatch < 0 && P[K] != StreamByte(Sum.Count + K)) FirstMismatch = static_cast<int64_t>(Sum.Count + K);
    }
    Sum.Add(P, Len);
  }
  void Add(const std::string& S) { Add(reinterpret_cast<const uint8_t*>(S.data()), S.size()); }
  uint64_t Count() const { return Sum.Count; }
  const TFnv1a& Checksum() const { return Sum; }
  // Position of the first wrong byte, -1 while all are right.
  int64_t FirstMismatch = -1;

 private:
  TFnv1a Sum;
};

// Handles the calling thread's window messages until Done() holds or TimeoutMs
// passed (a hang guard). Sleeps while nothing arrives; checks Done() after every
// message, so that a test can act between two of them.
inline bool PumpUntil(const std::function<bool()>& Done, int TimeoutMs = 10000) {
  const auto Deadline = Clock::now() + std::chrono::milliseconds(TimeoutMs);
  while (!Done()) {
    if (Clock::now() >= Deadline) return false;
    MSG Msg{};
    if (PeekMessageA(&Msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&Msg);
      DispatchMessageA(&Msg);
      continue;
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
  }
  return true;
}

// Handles messages for Ms milliseconds.
inline void PumpFor(int Ms) { PumpUntil([] { return false; }, Ms); }

// Writes to a descriptor without ever blocking for longer than TimeoutMs at a
// time: returns the bytes written (fewer on time-out or failure).
inline size_t WriteSome(int Fd, const uint8_t* P, size_t Len, int TimeoutMs) {
  size_t Done = 0;
  while (Done < Len) {
    pollfd Pfd{Fd, POLLOUT, 0};
    // poll returns the ready count, 0 on time-out, -1 with errno.
    const int R = poll(&Pfd, 1, TimeoutMs);
    if (R < 0 && errno == EINTR) continue;
    if (R <= 0 || (Pfd.revents & POLLOUT) == 0) break;
    // write returns the count or -1 with errno (EAGAIN: full after all).
    const ssize_t N = write(Fd, P + Done, Len - Done);
    if (N < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (N <= 0) break;
    Done += static_cast<size_t>(N);
  }
  return Done;
}

// Reads what is there within TimeoutMs (at most Max bytes); empty on time-out or hang-up.
inline std::string ReadSome(int Fd, size_t Max, int TimeoutMs) {
  pollfd Pfd{Fd, POLLIN, 0};
  const int R = poll(&Pfd, 1, TimeoutMs);
  if (R <= 0 || (Pfd.revents & POLLIN) == 0) return std::string();
  std::string Out(Max, '\0');
  const ssize_t N = read(Fd, Out.data(), Max);
  Out.resize(N > 0 ? static_cast<size_t>(N) : 0);
  return Out;
}

// Makes a descriptor non-blocking (the pty master, so that a writer never hangs
// on a full slave queue).
inline bool SetNonBlocking(int Fd) {
  const int Flags = fcntl(Fd, F_GETFL);
  return Flags >= 0 && fcntl(Fd, F_SETFL, Flags | O_NONBLOCK) == 0;
}

// Entries of a /proc directory (threads in /proc/self/task, descriptors in /proc/self/fd).
inline int CountEntries(const char* Path) {
  DIR* Dir = opendir(Path);
  if (Dir == nullptr) return -1;
  int N = 0;
  while (dirent* E = readdir(Dir)) {
    if (E->d_name[0] != '.') ++N;
  }
  closedir(Dir);
  return N - (std::string(Path) == "/proc/self/fd" ? 1 : 0);  // the directory's own descriptor
}

inline int ThreadCount() { return CountEntries("/proc/self/task"); }
inline int FdCount() { return CountEntries("/proc/self/fd"); }

// Waits (bounded) until the process has Threads threads and Fds descriptors again:
// worker threads free themselves just after their last report.
inline bool SettlesTo(int Threads, int Fds, int TimeoutMs = 5000) {
  return PumpUntil([&] { return ThreadCount() == Threads && FdCount() == Fds; }, TimeoutMs);
}

// The thread count once it has stayed the same for 100 ms (at most 3 s): threads
// of an earlier close may still be on their way out when a test takes its baseline.
inline int SteadyThreadCount() {
  int Last = ThreadCount();
  auto Since = Clock::now();
  const auto Start = Clock::now();
  while (MsSince(Since) < 100 && MsSince(Start) < 3000) {
    PumpFor(10);
    const int Now = ThreadCount();
    if (Now != Last) {
      Last = Now;
      Since = Clock::now();
    }
  }
  return Last;
}

// Prints a figure for the report (suite durations and sizes).
inline void Report(const char* What, double Value, const char* Unit) {
  std::printf("[stress] %s: %.1f %s\n", What, Value, Unit);
  std::fflush(stdout);
}

}  // namespace dud::stress
