// Tracing and the dispatch log of a dispatcher on an open port: what the block
// write records, and that entries made on another thread while a file is written
// are neither lost nor written twice.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "device/win32_dispatcher.h"
#include "errors/error_codes.h"
#include "pty_port.h"
#include "test_support.h"

namespace dud {
namespace {

using test::PtyPort;
using test::ReadFileBytes;
using test::ScopedTempDir;

class DiagnosticsPtyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(Disp.InitPort(Port.name(), 9600, 0, 8, 1, 4096, 4096, ipRaiseDTR | ipRaiseRTS), ecOK);
    Disp.DeviceName = "COM" + std::to_string(Port.number());
  }

  // Keeps reading what the dispatcher sends, so that its output ring drains.
  void StartDrain() {
    Drain = std::thread([this] {
      while (!StopDrain) Sent += Port.ReadMasterAvailable(20).size();
    });
  }
  void StopDraining() {
    StopDrain = true;
    if (Drain.joinable()) Drain.join();
  }
  void TearDown() override { StopDraining(); }

  PtyPort Port{7};
  TDudWin32Dispatcher Disp{nullptr};
  ScopedTempDir Dir;
  std::thread Drain;
  std::atomic<bool> StopDrain{false};
  std::atomic<size_t> Sent{0};
};

TEST_F(DiagnosticsPtyTest, BlockWriteIsTracedAndLogged) {
  ASSERT_EQ(Disp.InitTracing(100), ecOK);
  Disp.InitDispatchLogging(10000);
  ASSERT_EQ(Disp.PutBlock("AT\r", 3), ecOK);
  EXPECT_EQ(Port.ReadMaster(3), "AT\r");

  ASSERT_EQ(Disp.DumpTracing(Dir.File("t.trc"), true, false), ecOK);
  EXPECT_EQ(ReadFileBytes(Dir.File("t.trc")), "Transmit: \r\nAT[0D]");

  ASSERT_EQ(Disp.DumpDispatchLog(Dir.File("r.log"), true, false), ecOK);
  const std::string Report = ReadFileBytes(Dir.File("r.log"));
  EXPECT_EQ(Report.find("RIZI v4.07\r\n"), 0u);
  EXPECT_NE(Report.find("\r\nDevice: COM7\r\n"), std::string::npos);
  const std::regex Row(R"(\n\d{4}\.\d{3}  Dispatch  WriteCom      00000003  AT\[0D\]\r\n)");
  EXPECT_TRUE(std::regex_search(Report, Row)) << Report;
  EXPECT_TRUE(Disp.Log.Empty());
  EXPECT_TRUE(Disp.Log.LoggingOn);
}

TEST_F(DiagnosticsPtyTest, StoppedTraceKeepsOnlyWhatCameBefore) {
  ASSERT_EQ(Disp.InitTracing(100), ecOK);
  ASSERT_EQ(Disp.PutBlock("A", 1), ecOK);
  Disp.StopTracing();
  ASSERT_EQ(Disp.PutBlock("B", 1), ecOK);
  EXPECT_EQ(Port.ReadMaster(2), "AB");
  ASSERT_EQ(Disp.DumpTracing(Dir.File("t.trc"), true, false), ecOK);
  EXPECT_EQ(ReadFileBytes(Dir.File("t.trc")), "Transmit: \r\nA");
  // The dump turned recording on again.
  ASSERT_EQ(Disp.PutBlock("C", 1), ecOK);
  ASSERT_EQ(Disp.AppendTracing(Dir.File("t.trc"), true, false), ecOK);
  EXPECT_EQ(ReadFileBytes(Dir.File("t.trc")), "Transmit: \r\nATransmit: \r\nC");
}

// The traced bytes in a trace file of printable transmitted bytes: everything
// but line ends and the "Transmit: " headers.
size_t TracedBytes(const std::string& File) {
  size_t Count = 0;
  for (char c : File) Count += (c != '\r' && c != '\n') ? 1 : 0;
  size_t Headers = 0;
  for (size_t Pos = 0; (Pos = File.find("Transmit: ", Pos)) != std::string::npos; Pos += 10) ++Headers;
  return Count - Headers * 10;
}

// Writes Count single bytes from another thread, retrying while the output ring is
// full; Done is set when it ends, also after an unexpected result (kept in Failure).
struct TWriter {
  TWriter(TDudBaseDispatcher& Disp, int Count, bool Alphabet) {
    Thread = std::thread([this, &Disp, Count, Alphabet] {
      for (int i = 0; i < Count && Failure == ecOK; ++i) {
        const char Ch = Alphabet ? static_cast<char>('a' + i % 26) : 'x';
        int32_t r;
        while ((r = Disp.PutBlock(&Ch, 1)) == ecOutputBufferTooSmall) std::this_thread::yield();
        if (r == ecOK) {
          ++Written;
        } else {
          Failure = r;
        }
      }
      Done = true;
    });
  }
  ~TWriter() {
    if (Thread.joinable()) Thread.join();
  }
  std::thread Thread;
  std::atomic<bool> Done{false};
  std::atomic<size_t> Written{0};
  std::atomic<int32_t> Failure{ecOK};
};

// Hang guard for the loops that write files while the writer runs.
bool Within60s(std::chrono::steady_clock::time_point Start) {
  return std::chrono::steady_clock::now() - Start < std::chrono::seconds(60);
}

TEST_F(DiagnosticsPtyTest, WritesDuringATraceDumpAreCountedOnce) {
  ASSERT_EQ(Disp.InitTracing(100000), ecOK);
  StartDrain();
  TWriter Writer(Disp, 3000, true);
  const auto Start = std::chrono::steady_clock::now();
  size_t Traced = 0;
  for (int Round = 0; (!Writer.Done || Round == 0) && Within60s(Start); ++Round) {
    const std::string File = Dir.File("t" + std::to_string(Round) + ".trc");
    ASSERT_EQ(Disp.DumpTracing(File, true, false), ecOK);
    Traced += TracedBytes(ReadFileBytes(File));
  }
  Writer.Thread.join();
  EXPECT_EQ(Writer.Failure.load(), ecOK);
  ASSERT_EQ(Disp.DumpTracing(Dir.File("last.trc"), true, false), ecOK);
  Traced += TracedBytes(ReadFileBytes(Dir.File("last.trc")));
  EXPECT_EQ(Traced, Writer.Written.load());
  EXPECT_EQ(Traced, 3000u);
}

TEST_F(DiagnosticsPtyTest, WritesDuringAReportAreCountedOnce) {
  Disp.InitDispatchLogging(0);
  StartDrain();
  TWriter Writer(Disp, 3000, false);
  const auto Start = std::chrono::steady_clock::now();
  size_t Rows = 0;
  auto CountRows = [&Rows](const std::string& Report) {
    const std::string Row = "  WriteCom      00000001  x\r\n";
    for (size_t Pos = 0; (Pos = Report.find(Row, Pos)) != std::string::npos; ++Pos) ++Rows;
  };
  for (int Round = 0; (!Writer.Done || Round == 0) && Within60s(Start); ++Round) {
    const std::string File = Dir.File("r" + std::to_string(Round) + ".log");
    ASSERT_EQ(Disp.DumpDispatchLog(File, true, false), ecOK);
    CountRows(ReadFileBytes(File));
  }
  Writer.Thread.join();
  EXPECT_EQ(Writer.Failure.load(), ecOK);
  ASSERT_EQ(Disp.DumpDispatchLog(Dir.File("last.log"), true, false), ecOK);
  CountRows(ReadFileBytes(Dir.File("last.log")));
  EXPECT_EQ(Rows, Writer.Written.load());
  EXPECT_EQ(Rows, 3000u);
}

}  // namespace
}  // namespace dud
