// The port component while its port is closed: defaults, stored values, the flow
// levels, loading, Assign, and the refusals that need no device.
#include "display_capture.h"
#include "comport/com_port.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "errors/error_codes.h"
#include "test_support.h"

namespace dud {
namespace {

// Points the ports directory at an empty folder, so every port number is missing.
class NoPortsEnvironment {
 public:
  NoPortsEnvironment() {
    const char* Old = getenv("DUD_PORTS_DIR");
    if (Old != nullptr) {
      Saved = Old;
      HadOld = true;
    }
    setenv("DUD_PORTS_DIR", Dir.path().c_str(), 1);
  }
  ~NoPortsEnvironment() {
    if (HadOld) setenv("DUD_PORTS_DIR", Saved.c_str(), 1);
    else unsetenv("DUD_PORTS_DIR");
  }

 private:
  test::ScopedTempDir Dir;
  std::string Saved;
  bool HadOld = false;
};

// Installs a port prompt for one test and counts its calls.
class PromptScope {
 public:
  PromptScope(bool Choose, uint16_t Number) {
    Previous = SetPortPrompt([this, Choose, Number](uint16_t& Out) {
      ++Calls;
      if (Choose) Out = Number;
      return Choose;
    });
  }
  ~PromptScope() { SetPortPrompt(std::move(Previous)); }
  int Calls = 0;

 private:
  TPortPrompt Previous;
};

using DisplayScope = test::TDisplayCapture;

TEST(ComPortDefaults, NewComponentHasTheDocumentedSettings) {
  TDudComPort Port;
  EXPECT_EQ(Port.DeviceLayer(), dlWin32);
  EXPECT_EQ(Port.ComNumber(), 0);
  EXPECT_EQ(Port.Baud(), 19200);
  EXPECT_TRUE(Port.PromptForPort());
  EXPECT_EQ(Port.Parity(), pNone);
  EXPECT_EQ(Port.DataBits(), 8);
  EXPECT_EQ(Port.StopBits(), 1);
  EXPECT_EQ(Port.InSize(), 4096);
  EXPECT_EQ(Port.OutSize(), 4096);
  EXPECT_TRUE(Port.AutoOpen());
  EXPECT_FALSE(Port.Open());
  EXPECT_TRUE(Port.DTR());
  EXPECT_TRUE(Port.RTS());
  EXPECT_TRUE(Port.HWFlowOptions().Empty());
  EXPECT_EQ(Port.SWFlowOptions(), swfNone);
  EXPECT_EQ(Port.XOnChar(), 17);
  EXPECT_EQ(Port.XOffChar(), 19);
  EXPECT_EQ(Port.BufferFull(), 0);
  EXPECT_EQ(Port.BufferResume(), 0);
  EXPECT_EQ(Port.Tracing(), tlOff);
  EXPECT_EQ(Port.TraceSize(), 10000u);
  EXPECT_EQ(Port.TraceName(), "RIZI.TRC");
  EXPECT_TRUE(Port.TraceHex());
  EXPECT_FALSE(Port.TraceAllHex());
  EXPECT_EQ(Port.Logging(), tlOff);
  EXPECT_EQ(Port.LogSize(), 10000u);
  EXPECT_EQ(Port.LogName(), "RIZI.LOG");
  EXPECT_TRUE(Port.LogHex());
  EXPECT_FALSE(Port.LogAllHex());
  EXPECT_TRUE(Port.UseMSRShadow());
  EXPECT_TRUE(Port.UseEventWord());
  EXPECT_EQ(Port.CommNotificationLevel(), 10);
  EXPECT_EQ(Port.TapiMode(), tmAuto);
  EXPECT_FALSE(Port.RS485Mode());
  EXPECT_EQ(Port.AvailLevel(), 1);
  EXPECT_EQ(Port.ThreadBoost(), 0);
  EXPECT_EQ(Port.PortState(), psClosed);
  EXPECT_EQ(Port.Dispatcher(), nullptr);
  EXPECT_EQ(Port.NotificationWindow(), nullptr);
  EXPECT_FALSE(Port.OnTriggerAvail());
  EXPECT_FALSE(Port.OnPortOpen());
}

TEST(ComPortDefaults, VersionIsFixedAndOwnerNameTagAreKept) {
  TDudComPort Owner;
  TDudComPort Port(&Owner);
  EXPECT_EQ(Port.Owner(), &Owner);
  EXPECT_EQ(Port.Version(), "v4.07");
  Port.SetVersion("v9.99");
  EXPECT_EQ(Port.Version(), "v4.07");
  Port.SetName("com_port");
  Port.SetTag(42);
  EXPECT_EQ(Port.Name(), "com_port");
  EXPECT_EQ(Port.Tag(), 42);
}

TEST(ComPortClosed, SettersStoreWithoutADevice) {
  TDudComPort Port;
  Port.SetComNumber(7);
  Port.SetBaud(1200);
  Port.SetParity(pEven);
  Port.SetDataBits(7);
  Port.SetStopBits(2);
  Port.SetInSize(1000);
  Port.SetOutSize(2000);
  Port.SetDTR(false);
  Port.SetRTS(false);
  Port.SetXOnChar('a');
  Port.SetXOffChar('b');
  Port.SetUseEventWord(false);
  Port.SetCommNotificationLevel(3);
  Port.SetTapiMode(tmOff);
  Port.SetAvailLevel(10);
  Port.SetThreadBoost(2);
  EXPECT_EQ(Port.ComNumber(), 7);
  EXPECT_EQ(Port.Baud(), 1200);
  EXPECT_EQ(Port.Parity(), pEven);
  EXPECT_EQ(Port.DataBits(), 7);
  EXPECT_EQ(Port.StopBits(), 2);
  EXPECT_EQ(Port.InSize(), 1000);
  EXPECT_EQ(Port.OutSize(), 2000);
  EXPECT_FALSE(Port.DTR());
  EXPECT_FALSE(Port.RTS());
  EXPECT_EQ(Port.XOnChar(), 'a');
  EXPECT_EQ(Port.XOffChar(), 'b');
  EXPECT_FALSE(Port.UseEventWord());
  EXPECT_EQ(Port.CommNotificationLevel(), 3);
  EXPECT_EQ(Port.TapiMode(), tmOff);
  EXPECT_EQ(Port.AvailLevel(), 10);
  EXPECT_EQ(Port.ThreadBoost(), 2);
  // Nothing of this opened a port.
  EXPECT_FALSE(Port.Open());
  EXPECT_EQ(Port.Dispatcher(), nullptr);
}

TEST(ComPortClosed, UnsupportedDeviceLayerAndMsrShadowAreIgnored) {
  TDudComPort Port;
  Port.SetDeviceLayer(dlWinsock);
  EXPECT_EQ(Port.DeviceLayer(), dlWin32);
  Port.SetUseMSRShadow(false);
  EXPECT_TRUE(Port.UseMSRShadow());
}

TEST(ComPortClosed, SizesAndNamesAreBounded) {
  TDudComPort Port;
  Port.SetTraceSize(5000000);
  EXPECT_EQ(Port.TraceSize(), 4000000u);
  Port.SetTraceSize(123);
  EXPECT_EQ(Port.TraceSize(), 123u);
  Port.SetLogSize(20000000);
  EXPECT_EQ(Port.LogSize(), 16000000u);
  Port.SetTraceName(std::string(300, 't'));
  EXPECT_EQ(Port.TraceName(), std::string(255, 't'));
  Port.SetLogName(std::string(256, 'l'));
  EXPECT_EQ(Port.LogName(), std::string(255, 'l'));
}

TEST(ComPortClosed, TraceAndLogRequestsStoreOnlyOnOrOff) {
  struct Case {
    TTraceLogState Request;
    TTraceLogState Stored;
  };
  const Case Cases[] = {{tlOn, tlOn},         {tlOff, tlOff},   {tlDump, tlOff},
                        {tlAppend, tlOff},    {tlClear, tlOff}, {tlPause, tlOff},
                        {tlAppendAndContinue, tlOff}};
  for (const Case& C : Cases) {
    TDudComPort Port;
    Port.SetTracing(tlOn);
    Port.SetLogging(tlOn);
    Port.SetTracing(C.Request);
    Port.SetLogging(C.Request);
    EXPECT_EQ(Port.Tracing(), C.Stored) << "request " << int(C.Request);
    EXPECT_EQ(Port.Logging(), C.Stored) << "request " << int(C.Request);
  }
}

TEST(ComPortFlowLevels, FlowOptionsAdjustTheLevels) {
  struct Case {
    const char* Name;
    uint16_t InSize, Full, Resume;
    THWFlowOptionSet HW;
    TSWFlowOptions SW;
    uint16_t ExpectFull, ExpectResume;
  };
  const Case Cases[] = {
      {"hardware from zero", 4096, 0, 0, {hwfUseRTS}, swfNone, 3686, 409},
      {"hardware, DSR only", 4096, 0, 0, {hwfRequireDSR}, swfNone, 3686, 409},
      {"software from zero", 4096, 0, 0, {}, swfBoth, 3072, 1024},
      {"software receive", 4096, 0, 0, {}, swfReceive, 3072, 1024},
      {"levels in range stay", 4096, 2000, 100, {hwfUseDTR}, swfNone, 2000, 100},
      {"resume above full is replaced", 4096, 2000, 0, {hwfUseDTR}, swfNone, 2000, 409},
      {"smaller input buffer", 1000, 0, 0, {hwfRequireCTS}, swfNone, 900, 100},
      {"no flow control, no change", 4096, 0, 0, {}, swfNone, 0, 0},
  };
  for (const Case& C : Cases) {
    TDudComPort Port;
    Port.SetInSize(C.InSize);
    Port.SetBufferFull(C.Full);
    Port.SetBufferResume(C.Resume);
    Port.SetHWFlowOptions(C.HW);
    Port.SetSWFlowOptions(C.SW);
    EXPECT_EQ(Port.BufferFull(), C.ExpectFull) << C.Name;
    EXPECT_EQ(Port.BufferResume(), C.ExpectResume) << C.Name;
    EXPECT_TRUE(Port.HWFlowOptions() == C.HW) << C.Name;
    EXPECT_EQ(Port.SWFlowOptions(), C.SW) << C.Name;
  }
}

TEST(ComPortFlowLevels, BufferLevelsAreBoundedByWhatTheyAreSetTo) {
  TDudComPort Port;
  // Above InSize: 90 % of the value given.
  Port.SetBufferFull(5000);
  EXPECT_EQ(Port.BufferFull(), 4500);
  Port.SetBufferFull(1000);
  EXPECT_EQ(Port.BufferFull(), 1000);
  // Above BufferFull: a tenth of BufferFull.
  Port.SetBufferResume(2000);
  EXPECT_EQ(Port.BufferResume(), 100);
  Port.SetBufferResume(300);
  EXPECT_EQ(Port.BufferResume(), 300);
}

TEST(ComPortFlowLevels, BufferLevelsReapplyTheFlowOptions) {
  TDudComPort Port;
  Port.SetHWFlowOptions({hwfUseDTR});
  EXPECT_EQ(Port.BufferFull(), 3686);
  // 5000 is stored as 4500, above InSize: re-applying hardware flow brings it back.
  Port.SetBufferFull(5000);
  EXPECT_EQ(Port.BufferFull(), 3686);
  // A resume level of 0 is replaced by the flow option's default.
  Port.SetBufferResume(0);
  EXPECT_EQ(Port.BufferResume(), 409);
}

TEST(ComPortFlowLevels, RtsFlowAndRs485ExcludeEachOther) {
  {
    TDudComPort Port;
    Port.SetRS485Mode(true);
    Port.SetHWFlowOptions({hwfUseRTS});
    EXPECT_FALSE(Port.RS485Mode());
  }
  {
    TDudComPort Port;
    Port.SetRS485Mode(true);
    Port.SetHWFlowOptions({hwfRequireCTS});
    EXPECT_FALSE(Port.RS485Mode());
  }
  {
    TDudComPort Port;
    Port.SetRS485Mode(true);
    Port.SetHWFlowOptions({hwfRequireDSR, hwfUseDTR});
    EXPECT_TRUE(Port.RS485Mode());
  }
  {
    TDudComPort Port;
    Port.SetHWFlowOptions({hwfUseDTR, hwfUseRTS, hwfRequireCTS, hwfRequireDSR});
    Port.SetRS485Mode(true);
    EXPECT_TRUE(Port.RS485Mode());
    EXPECT_TRUE(Port.HWFlowOptions() == THWFlowOptionSet({hwfUseDTR, hwfRequireDSR}));
    EXPECT_FALSE(Port.RTS());
  }
}

TEST(ComPortSets, ContainsIncludeExclude) {
  THWFlowOptionSet S{hwfUseDTR, hwfRequireCTS};
  EXPECT_TRUE(S.Contains(hwfUseDTR));
  EXPECT_FALSE(S.Contains(hwfUseRTS));
  EXPECT_EQ(S.Mask(), 0x9u);
  S.Include(hwfUseRTS).Exclude(hwfUseDTR);
  EXPECT_EQ(S.Mask(), 0xAu);
  EXPECT_FALSE(S.Empty());
  EXPECT_TRUE(THWFlowOptionSet{}.Empty());
}

TEST(ComPortOpening, NoPortAndNoPromptRaisesWithoutAsking) {
  PromptScope Prompt(true, 3);
  TDudComPort Port;
  Port.SetPromptForPort(false);
  try {
    Port.SetOpen(true);
    FAIL() << "no exception";
  } catch (const ENoPortSelected& E) {
    EXPECT_EQ(E.ErrorCode(), ecNoPortSelected);
    EXPECT_STREQ(E.what(), "The ComNumber property of the TDudComPort has not been set");
  }
  EXPECT_EQ(Prompt.Calls, 0);
  EXPECT_FALSE(Port.Open());
  EXPECT_EQ(Port.PortState(), psClosed);
  EXPECT_EQ(Port.Dispatcher(), nullptr);
}

TEST(ComPortOpening, DeclinedPromptRaisesNoPortSelected) {
  PromptScope Prompt(false, 0);
  TDudComPort Port;
  EXPECT_THROW(Port.SetOpen(true), ENoPortSelected);
  EXPECT_EQ(Prompt.Calls, 1);
  EXPECT_EQ(Port.ComNumber(), 0);
  EXPECT_FALSE(Port.Open());
}

TEST(ComPortOpening, WithoutAnyPromptNoPortIsSelected) {
  TPortPrompt Previous = SetPortPrompt(nullptr);
  TDudComPort Port;
  EXPECT_THROW(Port.SetOpen(true), ENoPortSelected);
  SetPortPrompt(std::move(Previous));
}

TEST(ComPortOpening, MissingPortRaisesBadIdAndStaysUsable) {
  NoPortsEnvironment NoPorts;
  PromptScope Prompt(true, 12);
  TDudComPort Port;
  try {
    Port.SetOpen(true);
    FAIL() << "no exception";
  } catch (const EBadId& E) {
    EXPECT_EQ(E.ErrorCode(), ecBadId);
    EXPECT_STREQ(E.what(), "ie_BadId - Specified comport doesn't exist");
  }
  // The chosen number stays; the component is closed and has no dispatcher.
  EXPECT_EQ(Port.ComNumber(), 12);
  EXPECT_FALSE(Port.Open());
  EXPECT_EQ(Port.PortState(), psClosed);
  EXPECT_EQ(Port.Dispatcher(), nullptr);
  EXPECT_EQ(Port.NotificationWindow(), nullptr);
  // A second attempt fails the same way (nothing was left behind).
  EXPECT_THROW(Port.SetOpen(true), EBadId);
}

// A program without a window answers the question for a port itself.
class TChoosingPort : public TDudComPort {
 public:
  int Asked = 0;

 protected:
  bool SelectPort(uint16_t& Number) override {
    ++Asked;
    Number = 8;
    return true;
  }
};

TEST(ComPortOpening, DerivedComponentSuppliesThePort) {
  NoPortsEnvironment NoPorts;
  PromptScope Prompt(true, 3);  // not consulted: the override answers
  TChoosingPort Port;
  EXPECT_THROW(Port.SetOpen(true), EBadId);
  EXPECT_EQ(Port.Asked, 1);
  EXPECT_EQ(Prompt.Calls, 0);
  EXPECT_EQ(Port.ComNumber(), 8);
}

TEST(ComPortOpening, TelephonyModeNeedsAHandedOverDevice) {
  PromptScope Prompt(true, 3);
  TDudComPort Port;
  Port.SetTapiMode(tmOn);
  // No port number is asked for in this mode; without a device the open fails.
  try {
    Port.SetOpen(true);
    FAIL() << "no exception";
  } catch (const ENotOpenedByTapi& E) {
    EXPECT_EQ(E.ErrorCode(), ecNotOpenedByTapi);
  }
  EXPECT_EQ(Prompt.Calls, 0);
  EXPECT_FALSE(Port.Open());
  EXPECT_EQ(Port.Dispatcher(), nullptr);
}

TEST(ComPortWriting, ClosedPortWithoutAutoOpenRaisesNotOpen) {
  TDudComPort Port;
  Port.SetAutoOpen(false);
  try {
    Port.PutChar('_');
    FAIL() << "no exception";
  } catch (const ECommNotOpen& E) {
    EXPECT_EQ(E.ErrorCode(), ecCommNotOpen);
    EXPECT_STREQ(E.what(), "ie_NOpen - device not open");
  }
  EXPECT_THROW(Port.PutString("abc"), ECommNotOpen);
  EXPECT_THROW(Port.GetChar(), ECommNotOpen);
  EXPECT_EQ(Port.LineError(), 0);
  EXPECT_FALSE(Port.LineBreak());
}

TEST(ComPortWriting, AutoOpenTriesToOpenFirst) {
  TDudComPort Port;
  Port.SetPromptForPort(false);
  // The open fails for want of a port number, and that failure is what the write raises.
  EXPECT_THROW(Port.PutChar('_'), ENoPortSelected);
  EXPECT_FALSE(Port.Open());
}

TEST(ComPortLoading, OpenWhileLoadingWaitsForLoaded) {
  DisplayScope Display;
  TDudComPort Port;
  Port.BeginLoading();
  EXPECT_TRUE(Port.Loading());
  Port.SetPromptForPort(false);
  Port.SetOpen(true);
  // Stored only; nothing is raised while loading, not even for a write.
  EXPECT_TRUE(Port.Open());
  EXPECT_EQ(Port.Dispatcher(), nullptr);
  Port.SetAutoOpen(false);
  EXPECT_NO_THROW(Port.PutChar('x'));
  // Loaded opens; the failure (no port number) is shown, not raised.
  EXPECT_NO_THROW(Port.Loaded());
  EXPECT_FALSE(Port.Loading());
  EXPECT_FALSE(Port.Open());
  ASSERT_EQ(Display.Taken().size(), 1u);
  EXPECT_EQ(Display.Taken()[0], "The ComNumber property of the TDudComPort has not been set");
}

TEST(ComPortLoading, ClosedAfterLoadingWhenOpenWasNotSet) {
  DisplayScope Display;
  TDudComPort Port;
  Port.BeginLoading();
  Port.SetOpen(true);
  Port.SetOpen(false);
  Port.Loaded();
  EXPECT_FALSE(Port.Open());
  EXPECT_TRUE(Display.Taken().empty());
}

TEST(ComPortAssign, CopiesTheListedSettingsOnly) {
  TDudComPort Source;
  Source.SetComNumber(9);
  Source.SetBaud(1200);
  Source.SetParity(pOdd);
  Source.SetDataBits(7);
  Source.SetStopBits(2);
  Source.SetInSize(2048);
  Source.SetOutSize(512);
  Source.SetAutoOpen(false);
  Source.SetPromptForPort(false);
  Source.SetThreadBoost(1);
  Source.SetDTR(false);
  Source.SetHWFlowOptions({hwfUseDTR});
  Source.SetSWFlowOptions(swfTransmit);
  Source.SetXOnChar('q');
  Source.SetTracing(tlOn);
  Source.SetTraceName("x.trc");
  Source.SetLogging(tlOn);
  Source.SetLogSize(777);
  Source.SetAvailLevel(5);
  Source.SetTapiMode(tmNone);
  Source.SetRS485Mode(true);
  // Not copied:
  Source.SetCommNotificationLevel(99);
  Source.SetUseEventWord(false);
  Source.SetTapiHandle(4);
  int AvailCalls = 0;
  Source.SetOnTriggerAvail([&AvailCalls](TDudCustomComPort*, uint16_t) { ++AvailCalls; });
  Source.SetOnTriggerOutSent([](TDudCustomComPort*) {});
  Source.SetOnPortOpen([](TDudCustomComPort*) {});

  TDudComPort Target;
  Target.Assign(Source);
  EXPECT_EQ(Target.ComNumber(), 9);
  EXPECT_EQ(Target.Baud(), 1200);
  EXPECT_EQ(Target.Parity(), pOdd);
  EXPECT_EQ(Target.DataBits(), 7);
  EXPECT_EQ(Target.StopBits(), 2);
  EXPECT_EQ(Target.InSize(), 2048);
  EXPECT_EQ(Target.OutSize(), 512);
  EXPECT_FALSE(Target.AutoOpen());
  EXPECT_FALSE(Target.PromptForPort());
  EXPECT_EQ(Target.ThreadBoost(), 1);
  EXPECT_FALSE(Target.DTR());
  EXPECT_FALSE(Target.RTS());  // RS485Mode turned it off in the source
  EXPECT_TRUE(Target.HWFlowOptions() == THWFlowOptionSet({hwfUseDTR}));
  EXPECT_EQ(Target.SWFlowOptions(), swfTransmit);
  EXPECT_EQ(Target.BufferFull(), Source.BufferFull());
  EXPECT_EQ(Target.BufferResume(), Source.BufferResume());
  EXPECT_EQ(Target.XOnChar(), 'q');
  EXPECT_EQ(Target.Tracing(), tlOn);
  EXPECT_EQ(Target.TraceName(), "x.trc");
  EXPECT_EQ(Target.Logging(), tlOn);
  EXPECT_EQ(Target.LogSize(), 777u);
  EXPECT_EQ(Target.AvailLevel(), 5);
  EXPECT_EQ(Target.TapiMode(), tmNone);
  EXPECT_TRUE(Target.RS485Mode());
  EXPECT_TRUE(static_cast<bool>(Target.OnTriggerAvail()));
  EXPECT_TRUE(static_cast<bool>(Target.OnPortOpen()));
  EXPECT_FALSE(Target.Open());
  EXPECT_EQ(Target.CommNotificationLevel(), 10);
  EXPECT_TRUE(Target.UseEventWord());
  EXPECT_EQ(Target.TapiHandle(), 0);
  EXPECT_FALSE(Target.OnTriggerOutSent());
  Target.OnTriggerAvail()(&Target, 1);
  EXPECT_EQ(AvailCalls, 1);
}

}  // namespace
}  // namespace dud
