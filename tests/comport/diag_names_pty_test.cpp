// The trace and log file names the operator may give: the longest name kept, a
// folder that does not exist, a device that takes no bytes (/dev/full). Each
// failure is raised as the exception of its mapped error code, and nothing is lost
// that could still be written: the log keeps its entries for a name that works.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "comport/com_port.h"
#include "errors/exceptions.h"
#include "pty_port.h"
#include "test_support.h"

namespace dud {
namespace {

class DiagNames : public ::testing::Test {
 protected:
  void SetUp() override {
    Port.SetComNumber(5);
    Port.SetOpen(true);
    ASSERT_TRUE(Port.Open());
  }
  // Sends bytes and waits until they have left, so the trace and log hold them.
  void Send(const std::string& Bytes) {
    Port.PutString(Bytes);
    ASSERT_EQ(Pty.ReadMaster(Bytes.size()), Bytes);
  }
  // The error number that a diagnostic file request raised, or 0.
  template <class F>
  int32_t RaisedInOutError(F Request) {
    try {
      Request();
    } catch (const EInOutError& E) {
      EXPECT_FALSE(std::string(E.what()).empty()) << "the error has a message";
      return E.ErrorCode();
    }
    return 0;
  }

  test::PtyPort Pty{5};
  test::ScopedTempDir Dir;
  TDudComPort Port;
};

TEST_F(DiagNames, NamesOf255CharactersAreKeptAndLongerOnesCut) {
  const std::string Trace = Dir.File(std::string(255 - Dir.path().size() - 1, 't'));
  const std::string Log = Dir.File(std::string(255 - Dir.path().size() - 1, 'l'));
  ASSERT_EQ(Trace.size(), 255u);
  Port.SetTraceName(Trace + "-beyond");
  Port.SetLogName(Log + "-beyond");
  EXPECT_EQ(Port.TraceName(), Trace);
  EXPECT_EQ(Port.LogName(), Log);
  Port.SetTracing(tlOn);
  Port.SetLogging(tlOn);
  Send("AT\r");
  Port.SetTracing(tlDump);
  Port.SetLogging(tlDump);
  EXPECT_EQ(test::ReadFileBytes(Trace), "Transmit: \r\nAT[0D]");
  EXPECT_NE(test::ReadFileBytes(Log).find("AT[0D]"), std::string::npos);
}

TEST_F(DiagNames, MissingFolderRaisesPathNotFoundAndTheLogKeepsItsEntries) {
  const std::string Missing = Dir.File("missing/sub");
  Port.SetTraceName(Missing + "/RIZI.TRC");
  Port.SetLogName(Missing + "/RIZI.LOG");
  Port.SetTracing(tlOn);
  Port.SetLogging(tlOn);
  Send("AT");

  EXPECT_EQ(RaisedInOutError([&] { Port.SetTracing(tlDump); }), 3);
  EXPECT_EQ(Port.Tracing(), tlOff) << "the trace could not be written and is gone, as documented";
  EXPECT_EQ(RaisedInOutError([&] { Port.SetLogging(tlAppend); }), 3);
  EXPECT_EQ(RaisedInOutError([&] { Port.SetLogging(tlDump); }), 3);
  EXPECT_FALSE(std::filesystem::exists(Missing));

  // Given a name that works, the entries recorded before are all written.
  Send("OK");
  Port.SetLogName(Dir.File("RIZI.LOG"));
  Port.SetLogging(tlDump);
  const std::string Report = test::ReadFileBytes(Dir.File("RIZI.LOG"));
  EXPECT_NE(Report.find("AT\r\n"), std::string::npos) << Report;
  EXPECT_NE(Report.find("OK\r\n"), std::string::npos) << Report;
  EXPECT_EQ(Port.Logging(), tlOff);

  // The port carries on.
  Port.PutChar('!');
  EXPECT_EQ(Pty.ReadMaster(1), "!");
}

TEST_F(DiagNames, FullDeviceRaisesDiskFull) {
  if (!std::filesystem::is_character_file("/dev/full")) GTEST_SKIP() << "this system has no /dev/full";
  Port.SetTraceName("/dev/full");
  Port.SetLogName("/dev/full");
  for (const TTraceLogState Request : {tlDump, tlAppend, tlAppendAndContinue}) {
    SCOPED_TRACE(static_cast<int>(Request));
    Port.SetTracing(tlOn);
    Port.SetLogging(tlOn);
    Send("AT");
    EXPECT_EQ(RaisedInOutError([&] { Port.SetTracing(Request); }), 112);
    EXPECT_EQ(RaisedInOutError([&] { Port.SetLogging(Request); }), 112);
    // A write error consumes what was recorded, as a dump does; nothing waits for a retry.
    EXPECT_EQ(Port.Tracing(), tlOff);
    EXPECT_EQ(Port.Logging(), Request == tlAppendAndContinue ? tlOn : tlOff);
    Port.SetTracing(tlOff);
    Port.SetLogging(tlOff);
  }
}

}  // namespace
}  // namespace dud
