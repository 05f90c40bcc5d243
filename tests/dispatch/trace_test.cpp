// The trace ring and its file: entries, states, the byte forms and line layout of
// the file, and what a dump does when the file fails.
#include "file_size_limit.h"
#include "dispatch/trace.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "dispatch/log_format.h"
#include "errors/error_codes.h"
#include "test_support.h"

namespace dud {
namespace {

using test::ReadFileBytes;
using test::ScopedTempDir;
using test::WriteFileBytes;

const std::string kHeaderT = "Transmit: \r\n";

void Record(TDudTrace& Trace, const std::string& Bytes, char Kind = 'T') {
  for (char c : Bytes) Trace.AddTraceEntry(Kind, static_cast<uint8_t>(c));
}

// A ring of Capacity entries holding Bytes as transmitted, dumped to a fresh file.
std::string DumpOf(const std::string& Bytes, bool InHex, bool AllHex, uint32_t Capacity = 10000) {
  ScopedTempDir Dir;
  TDudTrace Trace;
  EXPECT_EQ(Trace.InitTracing(Capacity), ecOK);
  Record(Trace, Bytes);
  EXPECT_EQ(Trace.DumpTracing(Dir.File("t.trc"), InHex, AllHex), ecOK);
  return ReadFileBytes(Dir.File("t.trc"));
}

TEST(ByteFormTest, FormsAndWidths) {
  struct Case {
    uint8_t Ch;
    bool InHex, AllHex;
    const char* Form;
  } const Cases[] = {
      {'A', false, false, "A"},      {'A', true, false, "A"},       {'A', false, true, "[41]"},
      {0x20, false, false, " "},     {0x20, true, false, "[20]"},   {0x21, true, false, "!"},
      {0x7E, false, false, "~"},     {0x7E, true, false, "~"},      {0x7F, false, false, "[127]"},
      {0x7F, true, false, "[7F]"},   {0xFF, false, false, "[255]"}, {0xFF, true, false, "[FF]"},
      {0x00, false, false, "[0]"},   {0x07, false, false, "[7]"},   {0x09, false, false, "[9]"},
      {0x0A, false, false, "[10]"},  {0x0D, false, false, "[13]"},  {0x0D, true, false, "[0D]"},
      {0x1F, false, false, "[31]"},  {0xC8, false, false, "[200]"}, {0xAB, true, true, "[AB]"},
      {0x0D, true, true, "[0D]"},
  };
  for (const Case& c : Cases) {
    char Out[5];
    const uint32_t Width = ByteForm(c.Ch, c.InHex, c.AllHex, Out);
    EXPECT_EQ(std::string(Out, Width), c.Form) << "byte " << int(c.Ch) << " hex " << c.InHex << " all " << c.AllHex;
  }
}

TEST(TraceFileTest, ATCrInItsThreeForms) {
  EXPECT_EQ(DumpOf("AT\r", true, false), kHeaderT + "AT[0D]");
  EXPECT_EQ(DumpOf("AT\r", false, false), kHeaderT + "AT[13]");
  EXPECT_EQ(DumpOf("AT\r", true, true), kHeaderT + "[41][54][0D]");
  EXPECT_EQ(DumpOf("AT\r", false, true), kHeaderT + "[41][54][0D]");
}

TEST(TraceFileTest, MixedKindsGetAHeaderPerRun) {
  ScopedTempDir Dir;
  TDudTrace Trace;
  ASSERT_EQ(Trace.InitTracing(16), ecOK);
  Trace.AddTraceEntry('T', 'A');
  Trace.AddTraceEntry('T', 'B');
  Trace.AddTraceEntry('R', 'x');
  Trace.AddTraceEntry('T', 'C');
  Trace.AddTraceEntry('X', 0x0D);
  ASSERT_EQ(Trace.DumpTracing(Dir.File("t.trc"), true, false), ecOK);
  EXPECT_EQ(ReadFileBytes(Dir.File("t.trc")),
            "Transmit: \r\nAB\r\n\r\nReceive: \r\nx\r\n\r\nTransmit: \r\nC\r\n\r\nSpecial-X: \r\n[0D]");
}

TEST(TraceFileTest, WrappedRingWritesTheLastEntriesOldestFirst) {
  ScopedTempDir Dir;
  TDudTrace Trace;
  ASSERT_EQ(Trace.InitTracing(4), ecOK);
  Record(Trace, "ABCDEF");
  EXPECT_TRUE(Trace.TraceWrapped());
  EXPECT_EQ(Trace.TraceIndex(), 2u);
  ASSERT_EQ(Trace.DumpTracing(Dir.File("t.trc"), true, false), ecOK);
  EXPECT_EQ(ReadFileBytes(Dir.File("t.trc")), kHeaderT + "CDEF");
  // Emptied and recording again, with the same capacity.
  EXPECT_TRUE(Trace.TracingOn);
  EXPECT_FALSE(Trace.TraceWrapped());
  EXPECT_EQ(Trace.TraceIndex(), 0u);
  EXPECT_EQ(Trace.TraceMax(), 4u);
  // Exactly full: wrapped at index 0, all four entries.
  Record(Trace, "WXYZ");
  EXPECT_TRUE(Trace.TraceWrapped());
  EXPECT_EQ(Trace.TraceIndex(), 0u);
  ASSERT_EQ(Trace.DumpTracing(Dir.File("t.trc"), true, false), ecOK);
  EXPECT_EQ(ReadFileBytes(Dir.File("t.trc")), kHeaderT + "WXYZ");
}

std::string Repeat(const std::string& Text, int Times) {
  std::string Out;
  for (int i = 0; i < Times; ++i) Out += Text;
  return Out;
}

TEST(TraceFileTest, LinesHoldAtMost78ColumnsAndNeverSplitAForm) {
  const std::string A78(78, 'A');
  struct Case {
    std::string Bytes;
    bool InHex;
    std::string Body;
  } const Cases[] = {
      {std::string(100, 'A'), true, A78 + "\r\n" + std::string(22, 'A')},
      {std::string(78, 'A'), true, A78},
      {std::string(79, 'A'), true, A78 + "\r\nA"},
      {std::string(77, 'A') + "\r", true, std::string(77, 'A') + "\r\n[0D]"},
      {std::string(74, 'A') + "\r", true, std::string(74, 'A') + "[0D]"},
      {std::string(75, 'A') + "\r", true, std::string(75, 'A') + "\r\n[0D]"},
      {std::string(75, 'A') + "\x07", false, std::string(75, 'A') + "[7]"},
      {std::string(76, 'A') + "\x07", false, std::string(76, 'A') + "\r\n[7]"},
      {std::string(73, 'A') + "\xC8", false, std::string(73, 'A') + "[200]"},
      {std::string(74, 'A') + "\xC8", false, std::string(74, 'A') + "\r\n[200]"},
      {std::string(20, '\r'), true, Repeat("[0D]", 19) + "\r\n[0D]"},
      // Larger than the 512-byte output buffer: 25 full lines and one of 50.
      {std::string(2000, 'A'), true, Repeat(A78 + "\r\n", 25) + std::string(50, 'A')},
  };
  for (const Case& c : Cases) {
    EXPECT_EQ(DumpOf(c.Bytes, c.InHex, false), kHeaderT + c.Body) << c.Bytes.size() << " bytes";
  }
}

TEST(TraceFileTest, AKindChangeStartsTheColumnCountAgain) {
  ScopedTempDir Dir;
  TDudTrace Trace;
  ASSERT_EQ(Trace.InitTracing(1000), ecOK);
  Record(Trace, std::string(70, 'A'));
  Record(Trace, std::string(78, 'b'), 'R');
  ASSERT_EQ(Trace.DumpTracing(Dir.File("t.trc"), true, false), ecOK);
  EXPECT_EQ(ReadFileBytes(Dir.File("t.trc")),
            kHeaderT + std::string(70, 'A') + "\r\n\r\nReceive: \r\n" + std::string(78, 'b'));
}

TEST(TraceFileTest, AppendContinuesOnTheLastLineOfAnEarlierDump) {
  ScopedTempDir Dir;
  const std::string File = Dir.File("t.trc");
  TDudTrace Trace;
  ASSERT_EQ(Trace.InitTracing(100), ecOK);
  Record(Trace, "AB");
  ASSERT_EQ(Trace.DumpTracing(File, true, false), ecOK);
  Record(Trace, "C\r");
  ASSERT_EQ(Trace.AppendTracing(File, true, false), ecOK);
  EXPECT_EQ(ReadFileBytes(File), kHeaderT + "AB" + kHeaderT + "C[0D]");
  // Append creates a missing file; Dump replaces an existing one.
  Record(Trace, "D");
  ASSERT_EQ(Trace.AppendTracing(Dir.File("new.trc"), true, false), ecOK);
  EXPECT_EQ(ReadFileBytes(Dir.File("new.trc")), kHeaderT + "D");
  Record(Trace, "E");
  ASSERT_EQ(Trace.DumpTracing(File, true, false), ecOK);
  EXPECT_EQ(ReadFileBytes(File), kHeaderT + "E");
}

TEST(TraceFileTest, NothingRecordedTouchesNoFile) {
  ScopedTempDir Dir;
  const std::string Existing = Dir.File("old.trc");
  ASSERT_TRUE(WriteFileBytes(Existing, "earlier"));
  TDudTrace Trace;
  // No ring at all.
  EXPECT_EQ(Trace.DumpTracing(Existing, true, false), ecOK);
  EXPECT_EQ(Trace.DumpTracing(Dir.File("none.trc"), true, false), ecOK);
  // A ring, emptied.
  ASSERT_EQ(Trace.InitTracing(8), ecOK);
  Record(Trace, "ABC");
  ASSERT_EQ(Trace.ClearTracing(), ecOK);
  EXPECT_TRUE(Trace.TracingOn);
  EXPECT_EQ(Trace.DumpTracing(Existing, true, false), ecOK);
  EXPECT_EQ(Trace.AppendTracing(Existing, true, false), ecOK);
  EXPECT_EQ(Trace.DumpTracing(Dir.File("none.trc"), true, false), ecOK);
  EXPECT_EQ(ReadFileBytes(Existing), "earlier");
  EXPECT_FALSE(std::filesystem::exists(Dir.File("none.trc")));
}

// The four states, as the component sees them through HasRing and TracingOn.
struct TState {
  bool Ring, On;
};

TEST(TraceStateTest, EveryOperationFromEveryState) {
  enum TStart { Off, Recording, Paused, IdleOn };
  auto Enter = [](TDudTrace& Trace, TStart s) {
    switch (s) {
      case Off:
        break;
      case Recording:
        ASSERT_EQ(Trace.InitTracing(8), ecOK);
        Record(Trace, "AB");
        break;
      case Paused:
        ASSERT_EQ(Trace.InitTracing(8), ecOK);
        Record(Trace, "AB");
        Trace.StopTracing();
        break;
      case IdleOn:
        ASSERT_EQ(Trace.InitTracing(0), ecOK);
        break;
    }
  };
  struct Case {
    TStart From;
    const char* Op;
    TState To;
    uint32_t Entries;  // entries left in the ring, when there is one
  } const Cases[] = {
      {Off, "init", {true, true}, 0},        {Off, "clear", {false, false}, 0},
      {Off, "abort", {false, false}, 0},     {Off, "start", {false, false}, 0},
      {Off, "stop", {false, false}, 0},      {Off, "add", {false, false}, 0},
      {Recording, "init", {true, true}, 0},  {Recording, "clear", {true, true}, 0},
      {Recording, "abort", {false, false}, 0}, {Recording, "start", {true, true}, 2},
      {Recording, "stop", {true, false}, 2}, {Recording, "add", {true, true}, 3},
      {Paused, "init", {true, true}, 0},     {Paused, "clear", {true, false}, 0},
      {Paused, "abort", {false, false}, 0},  {Paused, "start", {true, true}, 2},
      {Paused, "stop", {true, false}, 2},    {Paused, "add", {true, false}, 3},
      {IdleOn, "init", {true, true}, 0},     {IdleOn, "clear", {false, true}, 0},
      {IdleOn, "abort", {false, false}, 0},  {IdleOn, "start", {false, true}, 0},
      {IdleOn, "stop", {false, false}, 0},   {IdleOn, "add", {false, true}, 0},
  };
  for (const Case& c : Cases) {
    TDudTrace Trace;
    Enter(Trace, c.From);
    const std::string Op = c.Op;
    if (Op == "init") {
      EXPECT_EQ(Trace.InitTracing(8), ecOK);
    } else if (Op == "clear") {
      EXPECT_EQ(Trace.ClearTracing(), ecOK);
    } else if (Op == "abort") {
      Trace.AbortTracing();
    } else if (Op == "start") {
      Trace.StartTracing();
    } else if (Op == "stop") {
      Trace.StopTracing();
    } else {
      Trace.AddTraceEntry('T', 'C');  // whether or not TracingOn is set
    }
    const std::string What = "from state " + std::to_string(c.From) + " by " + Op;
    EXPECT_EQ(Trace.HasRing(), c.To.Ring) << What;
    EXPECT_EQ(Trace.TracingOn, c.To.On) << What;
    if (c.To.Ring) {
      EXPECT_EQ(Trace.TraceIndex(), c.Entries) << What;
    }
  }
}

TEST(TraceStateTest, InitKeepsAnExistingRingAndItsCapacity) {
  TDudTrace Trace;
  EXPECT_EQ(Trace.InitTracing(TraceMaxEntries + 1), ecBadArgument);
  EXPECT_FALSE(Trace.HasRing());
  EXPECT_FALSE(Trace.TracingOn);
  EXPECT_EQ(Trace.TraceMax(), 0u);

  ASSERT_EQ(Trace.InitTracing(3), ecOK);
  Record(Trace, "ABCD");
  Trace.StopTracing();
  // With a ring, the size asked for is not looked at, not even when it is too large.
  EXPECT_EQ(Trace.InitTracing(TraceMaxEntries + 1), ecOK);
  EXPECT_TRUE(Trace.TracingOn);
  EXPECT_EQ(Trace.TraceMax(), 3u);
  EXPECT_EQ(Trace.TraceIndex(), 0u);
  EXPECT_FALSE(Trace.TraceWrapped());
  EXPECT_EQ(Trace.InitTracing(50), ecOK);
  EXPECT_EQ(Trace.TraceMax(), 3u);

  TDudTrace Largest;
  EXPECT_EQ(Largest.InitTracing(TraceMaxEntries), ecOK);
  EXPECT_EQ(Largest.TraceMax(), TraceMaxEntries);
}

TEST(TraceStateTest, ZeroEntriesIsOnButRecordsNothing) {
  ScopedTempDir Dir;
  TDudTrace Trace;
  EXPECT_EQ(Trace.InitTracing(0), ecOK);
  EXPECT_TRUE(Trace.TracingOn);
  EXPECT_FALSE(Trace.HasRing());
  Record(Trace, "ABC");
  const uint8_t Block[] = {1, 2, 3};
  Trace.AddTraceEntries('T', Block, 3);
  EXPECT_EQ(Trace.DumpTracing(Dir.File("t.trc"), true, false), ecOK);
  EXPECT_FALSE(std::filesystem::exists(Dir.File("t.trc")));
}

TEST(TraceStateTest, BlockOfEntriesEqualsEntriesOneByOne) {
  TDudTrace One, Block;
  ASSERT_EQ(One.InitTracing(5), ecOK);
  ASSERT_EQ(Block.InitTracing(5), ecOK);
  const std::string Bytes = "0123456";
  Record(One, Bytes);
  Block.AddTraceEntries('T', reinterpret_cast<const uint8_t*>(Bytes.data()), static_cast<uint32_t>(Bytes.size()));
  EXPECT_EQ(One.TraceIndex(), Block.TraceIndex());
  EXPECT_EQ(One.TraceWrapped(), Block.TraceWrapped());
  ScopedTempDir Dir;
  ASSERT_EQ(One.DumpTracing(Dir.File("one"), true, false), ecOK);
  ASSERT_EQ(Block.DumpTracing(Dir.File("block"), true, false), ecOK);
  EXPECT_EQ(ReadFileBytes(Dir.File("block")), kHeaderT + "23456");
  EXPECT_EQ(ReadFileBytes(Dir.File("one")), ReadFileBytes(Dir.File("block")));
}

// Blocks recorded in one call against the same bytes one entry at a time, for
// blocks that stop short of the ring's end, end on it, cross it, and wrap it
// more than once.
TEST(TraceStateTest, BlocksMatchSingleEntriesAcrossTheRingsEnd) {
  struct Case {
    uint32_t Capacity;
    std::vector<uint32_t> Blocks;
  } Cases[] = {
      {8, {3}},          {8, {8}},    {8, {5, 3}},     {8, {5, 4}},   {8, {0, 7, 0, 2}},
      {8, {19}},         {1, {1, 2}}, {3, {2, 2, 2}}, {16, {64, 5}}, {5, {4, 1, 5, 6}},
  };
  for (const Case& C : Cases) {
    TDudTrace One, Block;
    ASSERT_EQ(One.InitTracing(C.Capacity), ecOK);
    ASSERT_EQ(Block.InitTracing(C.Capacity), ecOK);
    uint8_t Next = 0;
    for (uint32_t Len : C.Blocks) {
      std::vector<uint8_t> Bytes(Len);
      for (uint8_t& B : Bytes) B = static_cast<uint8_t>('A' + Next++ % 26);
      for (uint8_t B : Bytes) One.AddTraceEntry('R', B);
      Block.AddTraceEntries('R', Bytes.data(), Len);
      ASSERT_EQ(Block.TraceIndex(), One.TraceIndex()) << "capacity " << C.Capacity;
      ASSERT_EQ(Block.TraceWrapped(), One.TraceWrapped()) << "capacity " << C.Capacity;
    }
    ScopedTempDir Dir;
    ASSERT_EQ(One.DumpTracing(Dir.File("one"), true, false), ecOK);
    ASSERT_EQ(Block.DumpTracing(Dir.File("block"), true, false), ecOK);
    EXPECT_EQ(ReadFileBytes(Dir.File("block")), ReadFileBytes(Dir.File("one"))) << "capacity " << C.Capacity;
  }
}

TEST(TraceFaultTest, FileThatCannotBeOpenedAbortsTheTrace) {
  ScopedTempDir Dir;
  struct Case {
    std::string File;
    int32_t Code;
  } const Cases[] = {
      {Dir.File("missing/t.trc"), -3},  // no such folder
      {Dir.path(), -5},                 // a folder cannot be written as a file
  };
  for (const Case& c : Cases) {
    for (bool Append : {false, true}) {
      TDudTrace Trace;
      ASSERT_EQ(Trace.InitTracing(8), ecOK);
      Record(Trace, "AB");
      const int32_t Result =
          Append ? Trace.AppendTracing(c.File, true, false) : Trace.DumpTracing(c.File, true, false);
      EXPECT_EQ(Result, c.Code) << c.File;
      EXPECT_FALSE(Trace.HasRing());
      EXPECT_FALSE(Trace.TracingOn);
      Trace.StartTracing();  // Off stays Off until the next InitTracing
      EXPECT_FALSE(Trace.TracingOn);
      EXPECT_EQ(Trace.InitTracing(8), ecOK);
      EXPECT_TRUE(Trace.TracingOn);
    }
  }
  EXPECT_FALSE(std::filesystem::exists(Dir.File("missing")));
}

TEST(TraceFaultTest, WriteErrorIsReportedAfterTheWholeWalk) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full here";
  for (uint32_t Count : {3u, 5000u}) {  // within one buffer, and across many
    TDudTrace Trace;
    ASSERT_EQ(Trace.InitTracing(10000), ecOK);
    Record(Trace, std::string(Count, 'A'));
    Trace.StopTracing();
    EXPECT_EQ(Trace.DumpTracing("/dev/full", true, false), -112) << Count;
    // Emptied and recording, as after a dump that worked.
    EXPECT_TRUE(Trace.HasRing());
    EXPECT_TRUE(Trace.TracingOn);
    EXPECT_EQ(Trace.TraceIndex(), 0u);
    EXPECT_FALSE(Trace.TraceWrapped());
  }
}

using test::FileSizeLimit;

TEST(TraceFaultTest, WriteErrorPartWayKeepsWhatFitAndEmptiesTheRing) {
  ScopedTempDir Dir;
  TDudTrace Trace;
  ASSERT_EQ(Trace.InitTracing(10000), ecOK);
  Record(Trace, std::string(5000, 'A'));
  int32_t Result;
  {
    FileSizeLimit Limit(1000);
    if (!Limit.Applied) GTEST_SKIP() << "cannot limit the file size";
    Result = Trace.DumpTracing(Dir.File("t.trc"), true, false);
  }
  EXPECT_EQ(Result, -112);
  const std::string Full = kHeaderT + Repeat(std::string(78, 'A') + "\r\n", 64) + std::string(8, 'A');
  EXPECT_EQ(ReadFileBytes(Dir.File("t.trc")), Full.substr(0, 1000));
  EXPECT_TRUE(Trace.TracingOn);
  EXPECT_EQ(Trace.TraceIndex(), 0u);
}

}  // namespace
}  // namespace dud
