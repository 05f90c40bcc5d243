// The dispatch log: its entries and bound, the columns of its report, the header,
// the supporting texts, and what a report does when the file fails or producers
// keep adding.
#include "file_size_limit.h"
#include "dispatch/dispatch_log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "device/timing.h"
#include "dispatch/log_format.h"
#include "errors/error_codes.h"
#include "platform/dud_platform.h"
#include "test_support.h"

namespace dud {
namespace {

using test::ReadFileBytes;
using test::ScopedTempDir;
using test::WriteFileBytes;

const std::string kBlanks44(44, ' ');

// A settable clock for the time stamps.
std::atomic<uint32_t> gNow{0};
uint32_t TestClock() { return gNow.load(); }

class ClockGuard {
 public:
  ClockGuard() : Previous(SetMillisecondSourceForTesting(&TestClock)) {}
  ~ClockGuard() { SetMillisecondSourceForTesting(Previous); }

 private:
  TMillisecondSource Previous;
};

TLogBuffer Entry(uint8_t Type, uint16_t SubType, uint32_t Data, const std::string& Bytes, uint32_t Time = 1234) {
  return TLogBuffer(Type, SubType, Time, Data, Bytes.empty() ? nullptr : Bytes.data(),
                    static_cast<uint32_t>(Bytes.size()));
}

// The rows of a report file (the lines after the seven header lines), each row
// with its continuation lines.
std::vector<std::string> Lines(const std::string& File) {
  std::vector<std::string> Out;
  size_t Start = 0;
  for (;;) {
    const size_t End = File.find("\r\n", Start);
    if (End == std::string::npos) {
      if (Start < File.size()) Out.push_back(File.substr(Start));
      return Out;
    }
    Out.push_back(File.substr(Start, End - Start));
    Start = End + 2;
  }
}

TEST(FormatLogTimeTest, SecondsWithThreeDecimals) {
  struct Case {
    uint32_t Ms;
    const char* Text;
  } const Cases[] = {
      {0, "0000.000"},          {1, "0000.001"},          {999, "0000.999"},
      {1000, "0001.000"},       {1234, "0001.234"},       {9999999, "9999.999"},
      {10000000, "10000.000"},  {12345678, "12345.678"},  {2147483647u, "2147483.647"},
      {0xFFFFFFFFu, "-0000.001"}, {0x80000000u, "-2147483.648"},
  };
  for (const Case& c : Cases) EXPECT_EQ(FormatLogTime(c.Ms), c.Text) << c.Ms;
}

TEST(FormatLogDateTimeTest, TwoDigitFields) {
  struct Case {
    SYSTEMTIME Time;
    const char* Text;
  } const Cases[] = {
      {{2024, 3, 4, 7, 14, 5, 9, 0}, "07/03/24, 14:05:09"},
      {{2000, 1, 6, 1, 0, 0, 0, 0}, "01/01/00, 00:00:00"},
      {{1999, 12, 5, 31, 23, 59, 59, 999}, "31/12/99, 23:59:59"},
  };
  for (const Case& c : Cases) EXPECT_EQ(FormatLogDateTime(c.Time), c.Text);
}

OSVERSIONINFOA Version(DWORD Platform, DWORD Major, DWORD Minor, DWORD Build, const char* Service) {
  OSVERSIONINFOA v{};
  v.dwOSVersionInfoSize = sizeof v;
  v.dwPlatformId = Platform;
  v.dwMajorVersion = Major;
  v.dwMinorVersion = Minor;
  v.dwBuildNumber = Build;
  std::strncpy(v.szCSDVersion, Service, sizeof v.szCSDVersion - 1);
  return v;
}

TEST(OperatingSystemNameTest, VersionRecordTable) {
  struct Case {
    OSVERSIONINFOA V;
    const char* Name;
  } const Cases[] = {
      {Version(0, 3, 11, 0, "x"), "Win32s on Windows 3.11 x"},
      {Version(1, 4, 0, 0, " B"), "Win32 on Windows 95 OSR 2 4.0 "},
      {Version(1, 4, 0, 0, " C"), "Win32 on Windows 95 OSR 1 4.0 "},
      {Version(1, 4, 0, 0, ""), "Win32 on Windows 95 OSR 1 4.0 "},
      {Version(1, 4, 10, 0, " A"), "Win32 on Windows 98 OSR 2 4.10 "},
      {Version(1, 4, 10, 0, "A"), "Win32 on Windows 98 OSR 1 4.10 "},
      {Version(1, 4, 90, 0x045A0BB8, ""), "Win32 on Windows ME 4.90 "},
      {Version(1, 4, 90, 3000, ""), "4.90 "},
      {Version(1, 4, 50, 0, "zz"), "Win32 on Windows 9x4.50 "},
      {Version(2, 3, 51, 0, "SP5"), "Windows NT 3.5 3.51 SP5"},
      {Version(2, 4, 0, 0, "Service Pack 6"), "Windows NT 4 4.0 Service Pack 6"},
      {Version(2, 5, 0, 0, ""), "Windows 2000 5.0 "},
      {Version(2, 5, 1, 2600, "Service Pack 2"), "Windows XP 5.1 Service Pack 2"},
      {Version(2, 5, 2, 0, "Service Pack 1"), "5.2 Service Pack 1"},
      {Version(2, 6, 2, 9200, ""), "WinNT 6.2 "},
      {Version(3, 1, 0, 0, "x"), "Unknown1.0 "},
  };
  for (const Case& c : Cases) EXPECT_EQ(OperatingSystemNameFromVersion(c.V), c.Name);
}

TEST(OperatingSystemNameTest, NativeNameWhereTheSystemHasOne) {
  const std::string Native = platform::NativeSystemName();
  if (Native.empty()) {
    EXPECT_FALSE(OperatingSystemName().empty());
  } else {
    EXPECT_EQ(OperatingSystemName(), Native);
  }
}

TEST(CompilerIdentificationTest, NamesTheCompilerInAtMost80Characters) {
  const std::string Id = CompilerIdentification();
  EXPECT_LE(Id.size(), 80u);
  EXPECT_NE(Id, "Unknown");  // every compiler we build with says who it is
  EXPECT_FALSE(Id.empty());
}

TEST(LogRowTest, Columns) {
  const std::string Fixed = "0001.234  Dispatch  WriteCom      00000003  ";
  struct Case {
    TLogBuffer E;
    bool InHex, AllHex;
    std::string Row;
  };
  const Case Cases[] = {
      {Entry(1, 2, 3, "AT\r"), true, false, Fixed + "AT[0D]"},
      {Entry(1, 2, 3, "AT\r"), false, false, Fixed + "AT[13]"},
      {Entry(1, 2, 3, "AT\r"), true, true, Fixed + "[41][54][0D]"},
      // No data: nothing after the fixed columns; subtype 0 has an empty column.
      {Entry(1, 2, 0, ""), true, false, "0001.234  Dispatch  WriteCom      00000000  "},
      {Entry(2, 0, 0xABCDEF12, ""), true, false, "0001.234  Trigger                 ABCDEF12  "},
      {Entry(0, 1, 0, "", 0), true, false, "0000.000  No event  ReadCom       00000000  "},
      // A type code above the table's types takes whatever message has its number.
      {Entry(100, 0, 0, ""), true, false, "0001.234  ReadCom" + std::string(17, ' ') + "00000000  "},
      // Texts longer than their columns push the row to the right.
      {Entry(1, 252, 7, "", 12345678), true, false, "12345.678  Dispatch  Status Queued  00000007  "},
      // Telnet option names.
      {Entry(10, 0, 1, ""), true, false, "0001.234  Telnet                  00000001  [Echo]"},
      {Entry(10, 0, 42, ""), true, false, "0001.234  Telnet                  0000002A  [Character Set]"},
      {Entry(10, 0, 43, ""), true, false, "0001.234  Telnet                  0000002B  []"},
      {Entry(10, 0, 50, ""), true, false, "0001.234  Telnet                  00000032  []"},
      // The kind of a status trigger, from its first data byte.
      {Entry(5, 15, 0, "\x03\x41"), true, false, "0001.234  TrigAllc  Status        00000000  (Output buffer free)"},
      {Entry(6, 15, 0, std::string(1, '\0')), true, false, "0001.234  TrigDisp  Status        00000000  (Not active)"},
      {Entry(5, 15, 0, "\x05"), true, false, "0001.234  TrigAllc  Status        00000000  (Output sent)"},
      {Entry(5, 15, 0, "\x09"), true, false, "0001.234  TrigAllc  Status        00000000  "},
      {Entry(7, 15, 0, "\x03"), true, false, "0001.234  TrgHdAlc  Status        00000000  [03]"},
      // Modem status decoding after the data, without a blank.
      {Entry(1, 4, 0x91, "AB"), true, false, "0001.234  Dispatch  Modem status  00000091  AB(DCTS CTS DCD)"},
      {Entry(1, 4, 0x11, "\r"), false, false, "0001.234  Dispatch  Modem status  00000011  [13](DCTS CTS)"},
      {Entry(1, 4, 0xFF00, "A"), true, false, "0001.234  Dispatch  Modem status  0000FF00  A()"},
      {Entry(1, 4, 0xFF, "A"), true, false,
       "0001.234  Dispatch  Modem status  000000FF  A(DCTS DDSR TERI DDCD CTS DSR RI DCD)"},
      {Entry(1, 4, 0x11, ""), true, false, "0001.234  Dispatch  Modem status  00000011  "},
      // AllHex shows bytes of type User as they are, of any other type in hex.
      {Entry(19, 0, 2, "A\r"), true, true, "0001.234  User                    00000002  A\r"},
      {Entry(19, 0, 2, "A\r"), true, false, "0001.234  User                    00000002  A[0D]"},
      {Entry(18, 0, 2, "A "), false, true, "0001.234  Packet                  00000002  [41][20]"},
      {Entry(1, 8, 0, "Dispatch buffer full."), true, false,
       "0001.234  Dispatch  Status        00000000  Dispatch[20]buffer[20]full."},
  };
  for (const Case& c : Cases) {
    EXPECT_EQ(FormatLogRow(c.E, c.InHex, c.AllHex), c.Row);
  }
}

TEST(LogRowTest, DataWrapsUnderItsColumn) {
  const std::string Fixed = "0001.234  Dispatch  WriteCom      00000028  ";
  // 40 printable bytes: 33 on the first line (77 characters), 7 on the next.
  std::string Bytes;
  for (int i = 0; i < 40; ++i) Bytes += static_cast<char>('A' + i % 26);
  const std::string Row = FormatLogRow(Entry(1, 2, 40, Bytes), true, false);
  EXPECT_EQ(Row, Fixed + Bytes.substr(0, 33) + "\r\n" + kBlanks44 + Bytes.substr(33));
  EXPECT_EQ(Row.find("\r\n"), 77u);

  // Wide forms are never split: 8 hex forms take 32 columns, the ninth goes on.
  const std::string Hex9 = FormatLogRow(Entry(1, 2, 9, std::string(9, '\r')), true, false);
  std::string Eight;
  for (int i = 0; i < 8; ++i) Eight += "[0D]";
  EXPECT_EQ(Hex9, "0001.234  Dispatch  WriteCom      00000009  " + Eight + "\r\n" + kBlanks44 + "[0D]");

  // 100 bytes: lines of 33, 33, 33 and 1.
  const std::string Row100 = FormatLogRow(Entry(1, 2, 100, std::string(100, 'x')), true, false);
  const std::string Line33 = std::string(33, 'x');
  EXPECT_EQ(Row100, "0001.234  Dispatch  WriteCom      00000064  " + Line33 + "\r\n" + kBlanks44 + Line33 + "\r\n" +
                        kBlanks44 + Line33 + "\r\n" + kBlanks44 + "x");
}

TEST(DispatchLogTest, BoundDropsTheOldestEntriesBeforeAddingOne) {
  TDudDispatchLog Log;
  Log.InitDispatchLogging(10);
  for (uint32_t i = 1; i <= 4; ++i) Log.AddDispatchEntry(1, 2, i, "abcd", 4);
  // Before the fourth the three entries held 12 > 10 bytes: the first went.
  EXPECT_EQ(Log.LogQueue.Count(), 3);
  EXPECT_EQ(Log.LogQueue.BytesQueued(), 12);
  auto First = Log.LogQueue.Pop();
  EXPECT_EQ(static_cast<TLogBuffer*>(First.get())->Data, 2u);

  TDudDispatchLog Mixed;
  Mixed.InitDispatchLogging(10);
  Mixed.AddDispatchEntry(2, 5, 100, nullptr, 0);
  Mixed.AddDispatchEntry(2, 7, 101, nullptr, 0);
  Mixed.AddDispatchEntry(1, 2, 8, "12345678", 8);
  Mixed.AddDispatchEntry(1, 2, 9, "ABCDEFGH", 8);
  ASSERT_EQ(Mixed.LogQueue.Count(), 4);
  Mixed.AddDispatchEntry(9, 16, 5, nullptr, 0);
  // Both trigger entries and the first write entry stood before the bound was met.
  ASSERT_EQ(Mixed.LogQueue.Count(), 2);
  EXPECT_EQ(Mixed.LogQueue.BytesQueued(), 8);
  auto A = Mixed.LogQueue.Pop();
  auto B = Mixed.LogQueue.Pop();
  EXPECT_EQ(static_cast<TLogBuffer*>(A.get())->Data, 9u);
  EXPECT_EQ(static_cast<TLogBuffer*>(B.get())->Data, 5u);

  // Entries without data are all kept while no data-carrying entry follows.
  TDudDispatchLog NoData;
  NoData.InitDispatchLogging(1);
  for (int i = 0; i < 1000; ++i) NoData.AddDispatchEntry(2, 5, 1, nullptr, 0);
  EXPECT_EQ(NoData.LogQueue.Count(), 1000);
  EXPECT_EQ(NoData.LogQueue.BytesQueued(), 0);

  // No bound at all.
  TDudDispatchLog Unbounded;
  Unbounded.InitDispatchLogging(0);
  for (int i = 0; i < 100; ++i) Unbounded.AddDispatchEntry(1, 2, 4, "abcd", 4);
  EXPECT_EQ(Unbounded.LogQueue.BytesQueued(), 400);

  // One entry larger than the bound is still added, alone.
  TDudDispatchLog Big;
  Big.InitDispatchLogging(10);
  Big.AddDispatchEntry(1, 2, 4, "abcd", 4);
  Big.AddDispatchEntry(1, 2, 20, std::string(20, 'x').data(), 20);
  Big.AddDispatchEntry(1, 2, 1, "z", 1);
  EXPECT_EQ(Big.LogQueue.Count(), 1);
  EXPECT_EQ(Big.LogQueue.BytesQueued(), 1);
}

TEST(DispatchLogTest, StatesOfRecording) {
  TDudDispatchLog Log;
  EXPECT_FALSE(Log.LoggingOn);
  Log.AddDispatchEntry(1, 2, 1, "a", 1);  // off: ignored
  EXPECT_EQ(Log.LogQueue.Count(), 0);

  Log.InitDispatchLogging(100);
  EXPECT_TRUE(Log.LoggingOn);
  EXPECT_EQ(Log.LogSize, 100u);
  Log.AddDispatchEntry(1, 2, 1, "a", 1);
  Log.StopDispatchLogging();
  Log.AddDispatchEntry(1, 2, 2, "b", 1);
  EXPECT_FALSE(Log.LoggingOn);
  EXPECT_EQ(Log.LogQueue.Count(), 1);  // kept, nothing added
  Log.StartDispatchLogging();
  Log.AddDispatchEntry(1, 2, 3, "c", 1);
  EXPECT_EQ(Log.LogQueue.Count(), 2);
  Log.ClearDispatchLogging();
  EXPECT_TRUE(Log.LoggingOn);
  EXPECT_EQ(Log.LogQueue.Count(), 0);
  EXPECT_EQ(Log.LogQueue.BytesQueued(), 0);
  Log.AddDispatchEntry(1, 2, 4, "d", 1);
  Log.InitDispatchLogging(5);  // empties and keeps recording with the new bound
  EXPECT_EQ(Log.LogQueue.Count(), 0);
  EXPECT_EQ(Log.LogSize, 5u);
  Log.AddDispatchEntry(1, 2, 5, "e", 1);
  Log.AbortDispatchLogging();
  EXPECT_FALSE(Log.LoggingOn);
  EXPECT_EQ(Log.LogQueue.Count(), 0);
}

TEST(DispatchLogTest, TimeStampsCountFromTheStartAcrossTheClockWrap) {
  ClockGuard Clock;
  gNow = 0xFFFFFF00u;
  TDudDispatchLog Log;
  EXPECT_EQ(Log.LogStart, 0xFFFFFF00u);
  Log.InitDispatchLogging(0);
  gNow = 0xFFFFFF00u + 1234;
  Log.AddDispatchEntry(1, 2, 0, nullptr, 0);
  gNow = 0x100;
  Log.AddDispatchEntry(1, 2, 0, nullptr, 0);
  auto A = Log.LogQueue.Pop();
  auto B = Log.LogQueue.Pop();
  EXPECT_EQ(static_cast<TLogBuffer*>(A.get())->TimeStamp, 1234u);
  EXPECT_EQ(static_cast<TLogBuffer*>(B.get())->TimeStamp, 0x200u);
}

TEST(DispatchLogTest, EntryOwnsACopyOfItsBytes) {
  std::string Bytes = "AT\r";
  TLogBuffer E(1, 2, 0, 3, Bytes.data(), 3);
  Bytes = "xyz";
  ASSERT_EQ(E.Size, 3);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(E.Buffer.get()), 3), "AT\r");
  TLogBuffer None(1, 2, 0, 3, nullptr, 3);  // no source: no data
  EXPECT_EQ(None.Size, 0);
  EXPECT_EQ(None.Buffer, nullptr);
  EXPECT_FALSE(E.Locked);
}

const TLogHeader kHeader{"TestCompiler 1.0", "Windows XP 5.1 Service Pack 2", "COM1", "07/03/24, 14:05:09"};
const std::string kHeaderText =
    "RIZI v4.07\r\n"
    "Compiler : TestCompiler 1.0\r\n"
    "Operating System : Windows XP 5.1 Service Pack 2\r\n"
    "Device: COM1\r\n"
    "Date/time: 07/03/24, 14:05:09\r\n"
    "Time      Type      SubType       Data      OtherData\r\n"
    "--------  --------  ------------  --------  ---------\r\n";

TEST(DispatchReportTest, WholeReportWithOneEntry) {
  ClockGuard Clock;
  gNow = 5000;
  ScopedTempDir Dir;
  TDudDispatchLog Log;
  Log.InitDispatchLogging(10000);
  gNow = 5000 + 1234;
  Log.AddDispatchEntry(1, 2, 3, "AT\r", 3);
  ASSERT_EQ(Log.WriteReport(Dir.File("r.log"), false, true, false, kHeader), ecOK);
  EXPECT_EQ(ReadFileBytes(Dir.File("r.log")),
            kHeaderText + "0001.234  Dispatch  WriteCom      00000003  AT[0D]\r\n");
  EXPECT_TRUE(Log.Empty());
  EXPECT_TRUE(Log.LoggingOn);
}

TEST(DispatchReportTest, HeaderFieldsAreCutTo80Characters) {
  ScopedTempDir Dir;
  TDudDispatchLog Log;
  Log.InitDispatchLogging(0);
  Log.AddDispatchEntry(2, 5, 1, nullptr, 0);
  const std::string Long(100, 'x');
  ASSERT_EQ(Log.WriteReport(Dir.File("r.log"), false, true, false, TLogHeader{Long, Long, Long, Long}), ecOK);
  const std::vector<std::string> L = Lines(ReadFileBytes(Dir.File("r.log")));
  ASSERT_EQ(L.size(), 8u);
  EXPECT_EQ(L[1], "Compiler : " + std::string(80, 'x'));
  EXPECT_EQ(L[2], "Operating System : " + std::string(80, 'x'));
  EXPECT_EQ(L[3], "Device: " + Long);
  EXPECT_EQ(L[4], "Date/time: " + std::string(80, 'x'));
}

TEST(DispatchReportTest, DumpWritesTheCurrentHeader) {
  ScopedTempDir Dir;
  TDudDispatchLog Log;
  Log.InitDispatchLogging(0);
  Log.AddDispatchEntry(1, 2, 40, std::string(40, 'a').data(), 40);
  Log.AddDispatchEntry(7, 17, 0x1234, nullptr, 0);
  ASSERT_EQ(Log.DumpDispatchLog(Dir.File("r.log"), true, false, "COM3"), ecOK);
  const std::string File = ReadFileBytes(Dir.File("r.log"));
  const std::vector<std::string> L = Lines(File);
  ASSERT_EQ(L.size(), 10u);
  EXPECT_EQ(L[0], "RIZI v4.07");
  EXPECT_EQ(L[1], "Compiler : " + CompilerIdentification());
  EXPECT_EQ(L[2], "Operating System : " + OperatingSystemName().substr(0, 80));
  EXPECT_EQ(L[3], "Device: COM3");
  EXPECT_TRUE(std::regex_match(L[4], std::regex(R"(Date/time: \d\d/\d\d/\d\d, \d\d:\d\d:\d\d)"))) << L[4];
  EXPECT_EQ(L[5], "Time      Type      SubType       Data      OtherData");
  EXPECT_EQ(L[6], "--------  --------  ------------  --------  ---------");
  EXPECT_TRUE(std::regex_match(L[7], std::regex(R"(\d{4}\.\d{3}  Dispatch  WriteCom      00000028  a{33})"))) << L[7];
  EXPECT_EQ(L[8], kBlanks44 + "aaaaaaa");
  EXPECT_TRUE(std::regex_match(L[9], std::regex(R"(\d{4}\.\d{3}  TrgHdAlc  Window        00001234  )"))) << L[9];
  EXPECT_EQ(File.substr(File.size() - 2), "\r\n");
}

TEST(DispatchReportTest, AppendAddsAfterAnEarlierReport) {
  ClockGuard Clock;
  gNow = 0;
  ScopedTempDir Dir;
  const std::string File = Dir.File("r.log");
  ASSERT_TRUE(WriteFileBytes(File, "earlier"));
  TDudDispatchLog Log;
  Log.InitDispatchLogging(0);
  Log.AddDispatchEntry(2, 5, 1, nullptr, 0);
  ASSERT_EQ(Log.WriteReport(File, true, true, false, kHeader), ecOK);
  Log.AddDispatchEntry(2, 5, 2, nullptr, 0);
  ASSERT_EQ(Log.AppendDispatchLog(File, true, false, "COM1"), ecOK);
  const std::vector<std::string> L = Lines(ReadFileBytes(File));
  ASSERT_EQ(L.size(), 16u);
  EXPECT_EQ(L[0], "earlierRIZI v4.07");
  EXPECT_EQ(L[8], "RIZI v4.07");
  EXPECT_EQ(L[7], "0000.000  Trigger   Avail         00000001  ");
  EXPECT_EQ(L[15], "0000.000  Trigger   Avail         00000002  ");
  // A dump replaces the file.
  Log.AddDispatchEntry(2, 5, 3, nullptr, 0);
  ASSERT_EQ(Log.WriteReport(File, false, true, false, kHeader), ecOK);
  EXPECT_EQ(ReadFileBytes(File), kHeaderText + "0000.000  Trigger   Avail         00000003  \r\n");
}

TEST(DispatchReportTest, EmptyLogTouchesNoFile) {
  ScopedTempDir Dir;
  const std::string Existing = Dir.File("old.log");
  ASSERT_TRUE(WriteFileBytes(Existing, "earlier"));
  TDudDispatchLog Log;
  Log.InitDispatchLogging(0);
  EXPECT_EQ(Log.DumpDispatchLog(Existing, true, false, "COM1"), ecOK);
  EXPECT_EQ(Log.AppendDispatchLog(Existing, true, false, "COM1"), ecOK);
  EXPECT_EQ(Log.WriteReport(Dir.File("none.log"), false, true, false, kHeader), ecOK);
  EXPECT_EQ(ReadFileBytes(Existing), "earlier");
  EXPECT_FALSE(std::filesystem::exists(Dir.File("none.log")));
  EXPECT_TRUE(Log.LoggingOn);
}

TEST(DispatchReportFaultTest, FileThatCannotBeOpenedKeepsTheEntries) {
  ScopedTempDir Dir;
  struct Case {
    std::string File;
    int32_t Code;
  } const Cases[] = {{Dir.File("missing/r.log"), -3}, {Dir.path(), -5}};
  for (const Case& c : Cases) {
    for (bool On : {true, false}) {
      TDudDispatchLog Log;
      Log.InitDispatchLogging(0);
      Log.AddDispatchEntry(1, 2, 1, "a", 1);
      Log.AddDispatchEntry(2, 5, 1, nullptr, 0);
      if (!On) Log.StopDispatchLogging();
      EXPECT_EQ(Log.DumpDispatchLog(c.File, true, false, "COM1"), c.Code);
      EXPECT_EQ(Log.AppendDispatchLog(c.File, true, false, "COM1"), c.Code);
      EXPECT_EQ(Log.LogQueue.Count(), 2);
      EXPECT_EQ(Log.LogQueue.BytesQueued(), 1);
      EXPECT_EQ(Log.LoggingOn, On);
      // A later attempt writes them.
      EXPECT_EQ(Log.WriteReport(Dir.File("ok.log"), false, true, false, kHeader), ecOK);
      EXPECT_EQ(Lines(ReadFileBytes(Dir.File("ok.log"))).size(), 9u);
    }
  }
}

TEST(DispatchReportFaultTest, WriteErrorConsumesEveryEntryAndIsReportedAtTheEnd) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full here";
  for (int Count : {1, 500}) {  // within the first buffer, and across many
    TDudDispatchLog Log;
    Log.InitDispatchLogging(0);
    for (int i = 0; i < Count; ++i) Log.AddDispatchEntry(1, 2, 3, "AT\r", 3);
    EXPECT_EQ(Log.DumpDispatchLog("/dev/full", true, false, "COM1"), -112) << Count;
    EXPECT_TRUE(Log.Empty());
    EXPECT_EQ(Log.LogQueue.BytesQueued(), 0);
    EXPECT_TRUE(Log.LoggingOn);
  }
}

using test::FileSizeLimit;

TEST(DispatchReportFaultTest, WriteErrorPartWayKeepsWhatFitAndConsumesTheRest) {
  ClockGuard Clock;
  gNow = 0;
  ScopedTempDir Dir;
  TDudDispatchLog Whole, Cut;
  for (TDudDispatchLog* Log : {&Whole, &Cut}) {
    Log->InitDispatchLogging(0);
    for (uint32_t i = 0; i < 200; ++i) Log->AddDispatchEntry(1, 2, i, "AT\r", 3);
  }
  ASSERT_EQ(Whole.WriteReport(Dir.File("whole.log"), false, true, false, kHeader), ecOK);
  int32_t Result;
  {
    FileSizeLimit Limit(2000);
    if (!Limit.Applied) GTEST_SKIP() << "cannot limit the file size";
    Result = Cut.WriteReport(Dir.File("cut.log"), false, true, false, kHeader);
  }
  EXPECT_EQ(Result, -112);
  EXPECT_EQ(ReadFileBytes(Dir.File("cut.log")), ReadFileBytes(Dir.File("whole.log")).substr(0, 2000));
  EXPECT_TRUE(Cut.Empty());
  EXPECT_EQ(Cut.LogQueue.BytesQueued(), 0);
}

// Producers keep adding while reports are written: every entry lands in exactly
// one report.
TEST(DispatchReportConcurrencyTest, EntriesAddedDuringAReportAreNeitherLostNorRepeated) {
  ScopedTempDir Dir;
  TDudDispatchLog Log;
  Log.InitDispatchLogging(0);
  constexpr uint32_t PerProducer = 20000;
  constexpr uint32_t Producers = 2;
  std::atomic<uint32_t> Running{Producers};
  std::vector<std::thread> Threads;
  for (uint32_t p = 0; p < Producers; ++p) {
    Threads.emplace_back([&Log, &Running, p] {
      for (uint32_t i = 0; i < PerProducer; ++i) {
        const uint8_t Byte = static_cast<uint8_t>(i);
        Log.AddDispatchEntry(1, 2, p * PerProducer + i, &Byte, 1);
      }
      --Running;
    });
  }
  std::vector<std::string> Files;
  for (int Round = 0; Running > 0 || !Log.Empty(); ++Round) {
    const std::string File = Dir.File("r" + std::to_string(Round) + ".log");
    ASSERT_EQ(Log.WriteReport(File, false, true, false, kHeader), ecOK);
    if (std::filesystem::exists(File)) Files.push_back(File);
    ASSERT_LT(Round, 1000000);  // hang guard
  }
  for (std::thread& t : Threads) t.join();
  ASSERT_EQ(Log.WriteReport(Dir.File("last.log"), false, true, false, kHeader), ecOK);
  if (std::filesystem::exists(Dir.File("last.log"))) Files.push_back(Dir.File("last.log"));

  std::set<uint32_t> Seen;
  uint32_t Rows = 0;
  for (const std::string& File : Files) {
    const std::vector<std::string> L = Lines(ReadFileBytes(File));
    ASSERT_GE(L.size(), 8u);
    for (size_t i = 7; i < L.size(); ++i) {
      ++Rows;
      Seen.insert(static_cast<uint32_t>(std::stoul(L[i].substr(34, 8), nullptr, 16)));
    }
  }
  EXPECT_EQ(Rows, Producers * PerProducer);
  EXPECT_EQ(Seen.size(), Producers * PerProducer);
  EXPECT_GT(Files.size(), 0u);
}

}  // namespace
}  // namespace dud
