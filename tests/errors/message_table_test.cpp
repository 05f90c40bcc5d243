// The message table and the text lookups: integrity of the table, the texts the
// serial path and the dispatch log rely on, the search itself and the fallback to
// the system's messages.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "errors/error_codes.h"
#include "errors/messages.h"

namespace dud {
namespace {

int32_t Abs(int32_t code) { return code < 0 ? -code : code; }

// A reference search: the record whose absolute code equals key, by a plain scan.
std::string ScanFor(int32_t key) {
  for (const auto& r : DudMessageTable())
    if (Abs(r.Code) == key) return std::string(r.Message);
  return {};
}

TEST(MessageTable, HoldsExactly897RecordsFrom0To15742) {
  const auto table = DudMessageTable();
  ASSERT_EQ(table.size(), 897u);
  EXPECT_EQ(table.front().Code, 0);
  EXPECT_EQ(table.front().Message, "OK");
  EXPECT_EQ(table.back().Code, 15742);
}

TEST(MessageTable, AscendsStrictlyByAbsoluteCode) {
  const auto table = DudMessageTable();
  std::set<int32_t> seen;
  for (std::size_t i = 0; i < table.size(); ++i) {
    EXPECT_TRUE(seen.insert(Abs(table[i].Code)).second) << "absolute code twice: " << table[i].Code;
    if (i > 0) {
      EXPECT_LT(Abs(table[i - 1].Code), Abs(table[i].Code)) << "at index " << i;
    }
  }
}

TEST(MessageTable, EveryRecordHasAShortNonEmptyTextAndAKeyOf16Bits) {
  for (const auto& r : DudMessageTable()) {
    EXPECT_FALSE(r.Message.empty()) << r.Code;
    EXPECT_LE(r.Message.size(), kMaxErrorTextLength) << r.Code;
    EXPECT_LE(Abs(r.Code), 32767) << r.Code;
    EXPECT_EQ(r.Message.find('\0'), std::string_view::npos) << r.Code;
  }
}

// Families of the table: failures are negative, status texts positive.
TEST(MessageTable, SignsFollowTheFamilies) {
  struct Range {
    int32_t lo, hi;  // absolute values
    bool negative;
  };
  const Range ranges[] = {{2, 162, true},        {1001, 1009, true},   {2001, 2012, true},   {3001, 3010, true},
                          {4001, 4021, true},    {4101, 4843, false},  {5001, 5003, true},   {5501, 5506, true},
                          {6001, 6016, true},    {7001, 7502, true},   {8001, 8500, true},   {9001, 11004, false},
                          {13501, 13800, false}, {13801, 13886, true}, {13901, 13927, false}, {13928, 13932, true},
                          {13933, 13933, false}, {13934, 13980, true}, {15001, 15742, false}};
  for (const auto& r : DudMessageTable()) {
    if (r.Code == 0) continue;
    bool found = false;
    for (const auto& range : ranges) {
      if (Abs(r.Code) < range.lo || Abs(r.Code) > range.hi) continue;
      found = true;
      EXPECT_EQ(r.Code < 0, range.negative) << r.Code;
    }
    EXPECT_TRUE(found) << "code outside every family: " << r.Code;
  }
}

TEST(MessageTable, RuntimeFamilyHas27Codes) {
  int count = 0;
  for (const auto& r : DudMessageTable())
    if (r.Code <= -2 && r.Code >= -162) ++count;
  EXPECT_EQ(count, 27);
}

struct NamedText {
  int32_t Constant;
  int32_t Value;
  const char* Text;
};

// The serial path's codes: the constant's value and the exact text.
const NamedText kSerialPath[] = {
    {ecOK, 0, "OK"},
    {ecOutOfMemory, -8, "Insufficient memory"},
    {ecDeviceWrite, -160, "Device write error"},
    {ecDeviceRead, -161, "Device read error"},
    {ecBadHandle, -1001, "Bad handle passed to com function"},
    {ecBadArgument, -1002, "Bad argument passed to function"},
    {ecGotQuitMsg, -1003, "Got quit message"},
    {ecBufferTooBig, -1004, "Terminal buffer greater than 65521"},
    {ecPortNotAssigned, -1005, "ComPort component not assigned"},
    {ecInternal, -1006, "Internal error creating window class"},
    {ecModemNotAssigned, -1007, "Modem component not assigned"},
    {ecPhonebookNotAssigned, -1008, "Phonebook component not assigned"},
    {ecCannotUseWithWinSock, -1009, "Component not compatible with WinSock"},
    {ecBadId, -2001, "ie_BadId - Specified comport doesn't exist"},
    {ecBaudRate, -2002, "ie_Baudrate - unsupported baud rate"},
    {ecByteSize, -2003, "ie_Bytesize - invalid byte size"},
    {ecDefault, -2004, "ie_Default - error in default parameters"},
    {ecHardware, -2005, "ie_Hardware - Specified comport in use"},
    {ecMemory, -2006, "ie_Memory - unable to allocate queues"},
    {ecCommNotOpen, -2007, "ie_NOpen - device not open"},
    {ecAlreadyOpen, -2008, "ie_Open - device already open"},
    {ecNoHandles, -2009, "No more handles, can't open port"},
    {ecNoTimers, -2010, "No timers available"},
    {ecNoPortSelected, -2011, "The ComNumber property of the TDudComPort has not been set"},
    {ecNotOpenedByTapi, -2012, "Comport was not opened by Tapi"},
    {ecNullApi, -3001, "No device layer specified"},
    {ecNotSupported, -3002, "Function not supported by driver"},
    {ecRegisterHandlerFailed, -3003, "EnableCommNotification failed"},
    {ecPutBlockFail, -3004, "Failed to put entire block"},
    {ecGetBlockFail, -3005, "Failed to get entire block"},
    {ecOutputBufferTooSmall, -3006, "Output buffer too small for block"},
    {ecBufferIsEmpty, -3007, "Buffer is empty"},
    {ecTracingNotEnabled, -3008, "Tracing not enabled"},
    {ecLoggingNotEnabled, -3009, "Logging not enabled"},
    {ecBaseAddressNotSet, -3010, "Base address not set"},
    {ecNoMoreTriggers, -5001, "No more trigger slots"},
    {ecTriggerTooLong, -5002, "Data trigger too long"},
    {ecBadTriggerHandle, -5003, "Bad trigger handle"},
    {ecTapiNoMem, -13868, "No memory"},
};

TEST(MessageTable, SerialPathCodesHaveTheirValuesAndExactTexts) {
  for (const auto& c : kSerialPath) {
    EXPECT_EQ(c.Constant, c.Value);
    EXPECT_EQ(LookupErrorText(c.Value), c.Text) << c.Value;
    EXPECT_EQ(ErrorText(c.Value), c.Text) << c.Value;
    EXPECT_EQ(ErrorText(-c.Value), c.Text) << "positive form of " << c.Value;
  }
}

TEST(MessageTable, RuntimeFamilyTexts) {
  const std::pair<int32_t, const char*> cases[] = {
      {-2, "File not found"},
      {-3, "Path not found"},
      {-4, "Too many open files"},
      {-5, "File access denied"},
      {-6, "Invalid file handle"},
      {-15, "Invalid drive"},
      {-18, "No more files"},
      {-100, "Attempt to read beyond end of file"},
      {-101, "Disk is full"},
      {-102, "File/device not assigned"},
      {-103, "File/device not open"},
      {-104, "File/device not open for input"},
      {-105, "File/device not open for output"},
      {-150, "Disk is write-protected"},
      {-151, "Unknown disk unit"},
      {-152, "Drive is not ready"},
      {-153, "Unknown command"},
      {-154, "Data error"},
      {-155, "Bad request structure length"},
      {-156, "Seek error"},
      {-157, "Unknown media type"},
      {-158, "Disk sector not found"},
      {-159, "Printer is out of paper"},
      {-162, "General failure"},
  };
  for (const auto& [code, text] : cases) EXPECT_EQ(LookupErrorText(code), text) << code;
}

TEST(MessageTable, DispatchLogTypeNames) {
  const char* names[] = {"No event", "Dispatch", "Trigger", "Error",  "Thread", "TrigAllc", "TrigDisp",
                         "TrgHdAlc", "TrgHdDsp", "TrDatChg", "Telnet", "Fax",    "XModem",   "YModem",
                         "ZModem",   "Kermit",   "Ascii",    "BPlus",  "Packet", "User",     "Script"};
  for (int t = 0; t <= 20; ++t) EXPECT_EQ(ErrorText(msgDispatchTypeBase + t), names[t]) << t;
}

TEST(MessageTable, DispatchLogSubtypeNames) {
  const std::pair<int32_t, const char*> cases[] = {
      {1, "ReadCom"},
      {4, "Modem status"},
      {5, "Avail"},
      {13, "Data"},
      {17, "Window"},
      {20, "Sent WILL"},
      {21, "Sent WON'T"},
      {29, "Sent Term"},
      {30, "tfNone"},
      {78, "tfDone"},
      {79, "rfNone"},
      {116, "rfDone"},
      {117, "txInitial"},
      {130, "rxInitial"},
      {138, "tyInitial"},
      {149, "ryInitial"},
      {160, "tzInitial"},
      {177, "rzRqstFile"},
      {197, "tkInit"},
      {218, "rkInit"},
      {229, "taInitial"},
      {237, "raInitial"},
      {242, "Enable"},
      {251, "Collecting"},
      {252, "Status Queued"},
      {254, "Data Written"},
      {255, "ZSInit"},
      {256, "CheckSInit"},
  };
  for (const auto& [sub, text] : cases) EXPECT_EQ(ErrorText(msgDispatchSubTypeBase + sub), text) << sub;
  // Subtype 0 has no name, and every one of 1 .. 256 has one.
  EXPECT_EQ(LookupErrorText(msgDispatchSubTypeBase), "");
  for (int sub = 1; sub <= 256; ++sub) EXPECT_NE(LookupErrorText(msgDispatchSubTypeBase + sub), "") << sub;
  EXPECT_EQ(LookupErrorText(msgDispatchSubTypeBase + 257), "");
}

TEST(MessageTable, DispatchLogHeadingsBitsAndTelnetOptions) {
  EXPECT_EQ(ErrorText(msgLogHeading), "Time      Type      SubType       Data      OtherData");
  EXPECT_EQ(ErrorText(msgLogHeadingRule), "--------  --------  ------------  --------  ---------");
  EXPECT_EQ(ErrorText(msgLogHeading).size(), ErrorText(msgLogHeadingRule).size());
  const char* bits[] = {"DCTS ", "DDSR ", "TERI ", "DDCD ", "CTS ", "DSR ", "RI ", "DCD "};
  for (int b = 0; b < 8; ++b) EXPECT_EQ(ErrorText(msgModemStatusBitBase + b), bits[b]) << b;
  const std::pair<int32_t, const char*> options[] = {
      {0, "Binary"},       {1, "Echo"},           {3, "Supress Go Ahead"}, {7, "Remote Trans & Echo"},
      {21, "SUPDUP"},      {29, "Telnet3270 Regime"}, {30, "X.3 PAD"},     {38, "Telnet code 38"},
      {41, "Telnet code 41"}, {42, "Character Set"}};
  for (const auto& [n, text] : options) EXPECT_EQ(ErrorText(msgTelnetOptionBase + n), text) << n;
  for (int n = 0; n <= 42; ++n) EXPECT_NE(LookupErrorText(msgTelnetOptionBase + n), "") << n;
}

// The search must reach every record; a wrong middle (rounding, bounds) strands some.
TEST(LookupErrorText, FindsEveryRecordUnderBothSigns) {
  for (const auto& r : DudMessageTable()) {
    EXPECT_EQ(LookupErrorText(r.Code), r.Message) << r.Code;
    EXPECT_EQ(LookupErrorText(-r.Code), r.Message) << -r.Code;
  }
}

TEST(LookupErrorText, MissesEveryGapBetweenRecords) {
  const auto table = DudMessageTable();
  for (std::size_t i = 1; i < table.size(); ++i)
    for (int32_t key = Abs(table[i - 1].Code) + 1; key < Abs(table[i].Code); ++key)
      ASSERT_EQ(LookupErrorText(key), "") << key;
  for (int32_t key = 15743; key <= 32768; ++key) ASSERT_EQ(LookupErrorText(key), "") << key;
}

// A few codes of every family, including the ones the serial path never produces.
TEST(LookupErrorText, AFewCodesOfEveryFamily) {
  const int32_t codes[] = {0,      -2,     -162,   -1001,  -1009,  -2001,  -2012,  -3001,  -3010,  -4001,
                           -4021,  4101,   4201,   4301,   4401,   4501,   4801,   4843,   -5001,  -5003,
                           -5501,  -5506,  -6001,  -6016,  -7001,  -7014,  -7500,  -7502,  -8001,  -8070,
                           -8500,  9001,   10004,  11004,  13501,  13933,  -13801, -13868, -13942, -13980,
                           15001,  15742};
  for (int32_t code : codes) {
    EXPECT_NE(LookupErrorText(code), "") << code;
    EXPECT_EQ(LookupErrorText(code), ScanFor(Abs(code))) << code;
  }
  EXPECT_EQ(LookupErrorText(ecTapiNoMem), "No memory");
  EXPECT_EQ(LookupErrorText(13868), "No memory");
}

TEST(LookupErrorText, UsesTheLow16BitsAsASignedValue) {
  const std::pair<int32_t, int32_t> cases[] = {
      {65536 - 2001, 2001},              // wraps to -2001
      {65536 + 2001, 2001},              // high bits ignored
      {-65536 - 2005, 2005},             //
      {0x7FFF0000 + 15742, 15742},       //
      {65536 - 87, 87},                  // no record, but the key is still 87
      {65536, 0},                        // low bits 0: "OK"
      {INT32_MIN, 0},                    //
      {32768, 32768},                    // low bits -32768: magnitude 32768
  };
  for (const auto& [code, key] : cases) {
    EXPECT_EQ(MessageKey(code), key) << code;
    EXPECT_EQ(LookupErrorText(code), ScanFor(key)) << code;
  }
  EXPECT_EQ(ErrorText(65536 - 2001), ErrorText(-2001));
  EXPECT_EQ(ErrorText(65536 - 2001), "ie_BadId - Specified comport doesn't exist");
  EXPECT_EQ(ErrorText(INT32_MIN), "OK");
}

TEST(ErrorText, BothSignsOfACodeGiveTheSameText) {
  EXPECT_EQ(ErrorText(-2011), "The ComNumber property of the TDudComPort has not been set");
  EXPECT_EQ(ErrorText(2011), "The ComNumber property of the TDudComPort has not been set");
}

TEST(ErrorText, FallsBackToTheSystemTextOnOneLine) {
  // 87 has no record; the system's "The parameter is incorrect.\r\n" comes back
  // with the line end as blanks, collapsed to one trailing blank.
  EXPECT_EQ(LookupErrorText(-87), "");
  EXPECT_EQ(ErrorText(-87), "The parameter is incorrect. ");
  EXPECT_EQ(ErrorText(87), "The parameter is incorrect. ");
  EXPECT_EQ(ErrorText(65536 - 87), "The parameter is incorrect. ");
  const int32_t system_only[] = {-1, -7, -32, -87, -122, -183, -995, -997, -1167, -1400, -1460};
  for (int32_t code : system_only) {
    const std::string text = ErrorText(code);
    ASSERT_FALSE(text.empty()) << code;
    EXPECT_EQ(text.find("  "), std::string::npos) << code;
    for (char c : text) EXPECT_GE(static_cast<unsigned char>(c), 32) << code;
    EXPECT_EQ(text.back(), ' ') << code;
    EXPECT_NE(text[text.size() - 2], ' ') << code;
  }
  EXPECT_EQ(ErrorText(-997), "Overlapped I/O operation is in progress. ");
}

TEST(ErrorText, TableTextsWinOverSystemTexts) {
  // 5 has both; the table's runtime text is the one given.
  EXPECT_EQ(ErrorText(-5), "File access denied");
  EXPECT_EQ(ErrorText(1004), "Terminal buffer greater than 65521");
}

TEST(ErrorText, EmptyWhenNeitherTableNorSystemKnowsTheCode) {
  const int32_t codes[] = {-35, -163, -999, -1010, -2013, -3011, -4022, -5004, -5507, -6017, -7015,
                           -8501, -9000, 12000, 14000, 15022, 15357, 15743, 20000, 32767, 32768};
  for (int32_t code : codes) {
    EXPECT_EQ(LookupErrorText(code), "") << code;
    EXPECT_EQ(ErrorText(code), "") << code;
  }
}

TEST(ErrorText, NoResultIsLongerThan255Characters) {
  for (int32_t code = -33000; code <= 33000; code += 7) EXPECT_LE(ErrorText(code).size(), kMaxErrorTextLength) << code;
  EXPECT_LE(ErrorText(INT32_MAX).size(), kMaxErrorTextLength);
}

// The lookups keep no state: threads reading the table together all see every text.
TEST(ErrorText, ConcurrentLookupsAgree) {
  std::vector<int> mismatches(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &mismatches] {
      for (const auto& r : DudMessageTable()) {
        if (ErrorText(r.Code) != r.Message) ++mismatches[t];
        if (ErrorText(-87 - t) != ErrorText(87 + t)) ++mismatches[t];
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

}  // namespace
}  // namespace dud
