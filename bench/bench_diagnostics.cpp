// Cost of the diagnostics: what tracing and the dispatch log add to every byte
// written, against both off, in one run; and how long the largest trace takes to
// write out.
//
// Recording is measured twice: through the dispatcher's block write on an open
// pseudo-terminal port (the time spent inside PutBlock, with a reader draining the
// other side), beside a raw write to the pseudo-terminal; and on the trace ring
// and the log alone, recording the way the block write does.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/win32_dispatcher.h"
#include "dispatch/dispatch_log.h"
#include "dispatch/log_format.h"
#include "dispatch/trace.h"
#include "errors/error_codes.h"
#include "pty_port.h"
#include "test_support.h"

using namespace dud;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Records TotalBytes in blocks of BlockSize as the block write does; returns ns per byte.
double RecordCost(TDudTrace& Trace, TDudDispatchLog& Log, std::recursive_mutex& DataSection, uint32_t BlockSize,
                  uint64_t TotalBytes) {
  std::vector<uint8_t> Block(BlockSize);
  for (uint32_t i = 0; i < BlockSize; ++i) Block[i] = static_cast<uint8_t>(' ' + i % 95);
  const uint64_t Blocks = TotalBytes / BlockSize;
  const auto Start = Clock::now();
  for (uint64_t b = 0; b < Blocks; ++b) {
    std::lock_guard<std::recursive_mutex> Lock(DataSection);
    if (Trace.TracingOn) Trace.AddTraceEntries('T', Block.data(), BlockSize);
    if (Log.LoggingOn) Log.AddDispatchEntry(1, 2, BlockSize, Block.data(), BlockSize);
  }
  return Seconds(Clock::now() - Start) * 1e9 / static_cast<double>(Blocks * BlockSize);
}

// Nanoseconds per byte spent inside successful PutBlock calls of BlockSize bytes
// until TotalBytes went out; a full output ring is waited out, not counted.
double PutBlockCost(TDudBaseDispatcher& Disp, uint32_t BlockSize, uint64_t TotalBytes) {
  std::vector<uint8_t> Block(BlockSize);
  for (uint32_t i = 0; i < BlockSize; ++i) Block[i] = static_cast<uint8_t>(' ' + i % 95);
  Clock::duration Inside{};
  for (uint64_t Done = 0; Done < TotalBytes;) {
    const auto Start = Clock::now();
    const int32_t r = Disp.PutBlock(Block.data(), BlockSize);
    const auto End = Clock::now();
    if (r == ecOK) {
      Inside += End - Start;
      Done += BlockSize;
    } else if (r == ecOutputBufferTooSmall) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    } else {
      std::printf("PutBlock failed: %d\n", r);
      return 0;
    }
  }
  return Seconds(Inside) * 1e9 / static_cast<double>(TotalBytes);
}

// Nanoseconds per byte of write() to the pseudo-terminal slave, blocks of BlockSize.
double RawWriteCost(const std::string& SlavePath, uint32_t BlockSize, uint64_t TotalBytes) {
  const int Fd = open(SlavePath.c_str(), O_WRONLY | O_NOCTTY);  // -1 on failure
  if (Fd < 0) return 0;
  std::vector<uint8_t> Block(BlockSize, 'x');
  Clock::duration Inside{};
  for (uint64_t Done = 0; Done < TotalBytes;) {
    const auto Start = Clock::now();
    const ssize_t n = write(Fd, Block.data(), BlockSize);  // bytes written, -1 on failure
    Inside += Clock::now() - Start;
    if (n <= 0) break;
    Done += static_cast<uint64_t>(n);
  }
  close(Fd);
  return Seconds(Inside) * 1e9 / static_cast<double>(TotalBytes);
}

void MeasureThroughDispatcher() {
  test::PtyPort Port(9);
  std::atomic<bool> Stop{false};
  std::thread Drain([&] {
    while (!Stop) Port.ReadMasterAvailable(5);
  });
  {
    TDudWin32Dispatcher Disp(nullptr);
    if (Disp.InitPort(Port.name(), 115200, 0, 8, 1, 4096, 65536, ipRaiseDTR | ipRaiseRTS) != ecOK) {
      std::printf("cannot open the pseudo-terminal port\n");
    } else {
      std::printf("PutBlock on an open port, ns per byte inside the call (trace ring %u, log bound %u)\n",
                  TraceMaxEntries, 10000u);
      std::printf("%10s  %12s  %12s  %12s  %12s  %12s\n", "block", "raw pty", "both off", "trace on", "log on",
                  "both on");
      for (uint32_t BlockSize : {1u, 64u, 1024u}) {
        const uint64_t Total = BlockSize == 1 ? 200'000 : 8'000'000;
        double Cost[4];
        for (int Mode = 0; Mode < 4; ++Mode) {
          Disp.AbortTracing();
          Disp.AbortDispatchLogging();
          if (Mode & 1) Disp.InitTracing(TraceMaxEntries);
          if (Mode & 2) Disp.InitDispatchLogging(10000);
          PutBlockCost(Disp, BlockSize, Total / 8);  // warm up
          Cost[Mode] = PutBlockCost(Disp, BlockSize, Total);
        }
        const double Raw = RawWriteCost(Port.slave_path(), BlockSize, Total);
        std::printf("%10u  %9.2f ns  %9.2f ns  %9.2f ns  %9.2f ns  %9.2f ns\n", BlockSize, Raw, Cost[0], Cost[1],
                    Cost[2], Cost[3]);
      }
    }
  }
  Stop = true;
  Drain.join();
}

}  // namespace

int main() {
  MeasureThroughDispatcher();
  std::printf("\nThe trace ring and the log alone, recording as the block write does\n");
  std::printf("%10s  %12s  %12s  %12s  %12s\n", "block", "both off", "trace on", "log on", "both on");
  for (uint32_t BlockSize : {1u, 6u, 64u, 1024u}) {
    const uint64_t Total = BlockSize < 64 ? 8'000'000 : 64'000'000;
    double Cost[4];
    for (int Mode = 0; Mode < 4; ++Mode) {
      std::recursive_mutex DataSection;
      TDudTrace Trace;
      TDudDispatchLog Log;
      if (Mode & 1) Trace.InitTracing(TraceMaxEntries);
      if (Mode & 2) Log.InitDispatchLogging(10000);
      RecordCost(Trace, Log, DataSection, BlockSize, Total / 8);  // warm up
      Cost[Mode] = RecordCost(Trace, Log, DataSection, BlockSize, Total);
    }
    std::printf("%10u  %9.2f ns  %9.2f ns  %9.2f ns  %9.2f ns\n", BlockSize, Cost[0], Cost[1], Cost[2], Cost[3]);
  }

  std::printf("\nWriting a full trace of %u entries\n", TraceMaxEntries);
  std::printf("%-28s  %10s  %12s\n", "forms", "seconds", "file bytes");
  test::ScopedTempDir Dir;
  struct Form {
    const char* Name;
    bool InHex, AllHex;
    bool Mixed;  // alternate transmitted and received runs
  } const Forms[] = {
      {"printable, InHex", true, false, false},
      {"all bytes, decimal", false, false, false},
      {"all bytes, AllHex", true, true, false},
      {"runs of T and R, InHex", true, false, true},
  };
  for (const Form& f : Forms) {
    TDudTrace Trace;
    Trace.InitTracing(TraceMaxEntries);
    for (uint32_t i = 0; i < TraceMaxEntries + 1000; ++i) {
      const uint8_t Ch = f.Name[0] == 'p' ? static_cast<uint8_t>('!' + i % 94) : static_cast<uint8_t>(i);
      Trace.AddTraceEntry(f.Mixed && (i / 100) % 2 ? 'R' : 'T', Ch);
    }
    const std::string File = Dir.File("bench.trc");
    const auto Start = Clock::now();
    const int32_t Result = Trace.DumpTracing(File, f.InHex, f.AllHex);
    const double Took = Seconds(Clock::now() - Start);
    std::printf("%-28s  %10.3f  %12ju%s\n", f.Name, Took, static_cast<uintmax_t>(std::filesystem::file_size(File)),
                Result == 0 ? "" : "  (write failed)");
  }

  std::printf("\nWriting a full dispatch log (bound %u bytes, blocks of 256)\n", LogMaxBytes);
  {
    TDudDispatchLog Log;
    Log.InitDispatchLogging(LogMaxBytes);
    std::vector<uint8_t> Block(256);
    for (uint32_t i = 0; i < Block.size(); ++i) Block[i] = static_cast<uint8_t>(i);
    for (uint32_t n = 0; n < LogMaxBytes / 256 + 1; ++n) Log.AddDispatchEntry(1, 2, 256, Block.data(), 256);
    const int32_t Entries = Log.LogQueue.Count();
    const std::string File = Dir.File("bench.log");
    const auto Start = Clock::now();
    const int32_t Result = Log.DumpDispatchLog(File, true, false, "COM1");
    const double Took = Seconds(Clock::now() - Start);
    std::printf("%d entries in %.3f s, %ju bytes%s\n", Entries, Took,
                static_cast<uintmax_t>(std::filesystem::file_size(File)), Result == 0 ? "" : "  (write failed)");
  }
  return 0;
}
