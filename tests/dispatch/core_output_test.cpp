// Output and line control over the FakeDevice test double: PutBlock's whole-or-
// nothing rule, the output counts, SetLine's keep values and skip, the baud code
// table, flow control as DCB bits, DTR/RTS, modem status deltas and line errors.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>

#include "dispatch/base_dispatcher.h"
#include "errors/error_codes.h"
#include "fake_device.h"

namespace dud {
namespace {

using test::FakeDevice;

uint32_t Flags(const ::DCB& State) {
  uint32_t F;
  std::memcpy(&F, reinterpret_cast<const char*>(&State) + 8, 4);
  return F;
}

// ---------------------------------------------------------------- PutBlock

TEST(FakeDevicePutBlock, ExactFillMarksFullAndOneMoreIsRefused) {
  FakeDevice D;
  ASSERT_EQ(D.Open(4096, 16), ecOK);
  EXPECT_EQ(D.PutBlock("0123456789", 10), ecOK);
  EXPECT_FALSE(D.OBufFull);
  EXPECT_EQ(D.OutBuffFree(), 6u);
  // One byte more than the free space: nothing at all is written.
  EXPECT_EQ(D.PutBlock("abcdefg", 7), ecOutputBufferTooSmall);
  EXPECT_EQ(D.Written, "0123456789");
  EXPECT_FALSE(D.OBufFull);
  // Exactly the free space: accepted, and the ring is marked full.
  EXPECT_EQ(D.PutBlock("abcdef", 6), ecOK);
  EXPECT_TRUE(D.OBufFull);
  EXPECT_EQ(D.OutBuffUsed(), 16u);
  EXPECT_EQ(D.OutBuffFree(), 0u);
  EXPECT_EQ(D.PutChar('z'), ecOutputBufferTooSmall);
  EXPECT_EQ(D.Written, "0123456789abcdef");
  EXPECT_TRUE(D.OutSentPending.load());
}

TEST(FakeDevicePutBlock, EmptyBlockDoesNothingAndLogsNothing) {
  FakeDevice D;
  ASSERT_EQ(D.Open(), ecOK);
  D.InitDispatchLogging(1000);
  EXPECT_EQ(D.PutBlock(nullptr, 0), ecOK);
  EXPECT_EQ(D.Log.LogQueue.Count(), 0);
  EXPECT_FALSE(D.OutSentPending.load());
}

TEST(FakeDevicePutBlock, WrittenBlockIsLoggedAndTraced) {
  FakeDevice D;
  ASSERT_EQ(D.Open(), ecOK);
  D.InitDispatchLogging(1000);
  ASSERT_EQ(D.InitTracing(100), ecOK);
  D.StartTracing();
  const uint8_t Frame[6] = {'Y', 0x39, 0x8B, 0x30, 0x00, 0xF4};
  ASSERT_EQ(D.PutBlock(Frame, 6), ecOK);
  EXPECT_EQ(D.Trace.TraceIndex(), 6u);  // one entry per written byte
  ASSERT_EQ(D.Log.LogQueue.Count(), 1);
  auto Entry = D.Log.LogQueue.Pop();
  auto* L = dynamic_cast<TLogBuffer*>(Entry.get());
  ASSERT_NE(L, nullptr);
  EXPECT_EQ(L->EntryType, 1);
  EXPECT_EQ(L->EntrySubType, 2);
  EXPECT_EQ(L->Data, 6u);
  EXPECT_EQ(std::memcmp(L->Buffer.get(), Frame, 6), 0);
  // A refused block leaves no entry.
  std::string Big(100, 'x');
  EXPECT_EQ(D.PutBlock(Big.data(), 100), ecOutputBufferTooSmall);
  EXPECT_EQ(D.Log.LogQueue.Count(), 0);
  EXPECT_EQ(D.Trace.TraceIndex(), 6u);
}

TEST(FakeDevicePutBlock, FailedWriteReplacesLastErrorBits) {
  FakeDevice D;
  ASSERT_EQ(D.Open(), ecOK);
  D.LastError.store(CE_FRAME | CE_BREAK);
  D.WriteFails = true;
  D.ErrorBits.store(CE_OVERRUN);
  EXPECT_EQ(D.PutBlock("ab", 2), ecPutBlockFail);
  EXPECT_EQ(D.LastError.load(), CE_OVERRUN);  // replaced, not ORed
}

TEST(FakeDevicePutBlock, ClosedPortAcceptsNothing) {
  FakeDevice D;
  EXPECT_EQ(D.PutChar('x'), ecCommNotOpen);
}

// ---------------------------------------------------------------- SetLine and GetLine

TEST(FakeDeviceSetLine, KeepValuesChangeNothingOnceFlagsAreRight) {
  FakeDevice D;
  ASSERT_EQ(D.Open(), ecOK);
  const int Applied = D.SetStateCount;
  const ::DCB Before = D.Device;
  EXPECT_EQ(D.SetLine(0, 5, 9, 3), ecOK);
  EXPECT_EQ(D.SetStateCount, Applied);
  EXPECT_EQ(std::memcmp(&Before, &D.Device, sizeof(::DCB)), 0);
  // The same values given explicitly: also skipped.
  EXPECT_EQ(D.SetLine(1200, 0, 8, 1), ecOK);
  EXPECT_EQ(D.SetStateCount, Applied);
}

TEST(FakeDeviceSetLine, KeepValuesStillFixTheModeFlags) {
  FakeDevice D;
  ASSERT_EQ(D.Open(), ecOK);
  D.Device.fParity = 1;
  D.Device.fNull = 1;
  D.Device.fDsrSensitivity = 1;
  D.Device.fBinary = 0;
  const int Applied = D.SetStateCount;
  EXPECT_EQ(D.SetLine(0, 5, 9, 3), ecOK);
  EXPECT_EQ(D.SetStateCount, Applied + 1);
  EXPECT_EQ(Flags(D.Device) & (0x1 | 0x2 | 0x40 | 0x80 | 0x800), 0x1u | 0x80u);
  EXPECT_EQ(D.Device.BaudRate, 1200u);
}

struct StopCase {
  uint16_t DataBits;
  uint16_t StopBits;
  uint8_t StartStop;  // the device's stop-bit code before
  uint8_t Expected;   // the stop-bit code programmed
};

std::ostream& operator<<(std::ostream& Out, const StopCase& C) {
  return Out << "data " << C.DataBits << " stop " << C.StopBits << " from code " << int(C.StartStop);
}

class FakeDeviceStopBits : public ::testing::TestWithParam<StopCase> {};

TEST_P(FakeDeviceStopBits, StopBitCode) {
  FakeDevice D;
  ASSERT_EQ(D.Open(), ecOK);
  D.Device.StopBits = GetParam().StartStop;
  D.Device.ByteSize = 7;
  EXPECT_EQ(D.SetLine(0, 5, GetParam().DataBits, GetParam().StopBits), ecOK);
  EXPECT_EQ(D.Device.StopBits, GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, FakeDeviceStopBits,
                         ::testing::Values(StopCase{8, 1, TWOSTOPBITS, ONESTOPBIT},
                                           StopCase{8, 2, ONESTOPBIT, TWOSTOPBITS},
                                           StopCase{8, 0, TWOSTOPBITS, ONESTOPBIT},   // 0 counts as 1
                                           StopCase{8, 7, ONESTOPBIT, TWOSTOPBITS},   // 7 counts as 2
                                           StopCase{5, 2, ONESTOPBIT, ONE5STOPBITS},  // 5 data bits: 1.5
                                           StopCase{5, 3, TWOSTOPBITS, ONE5STOPBITS},
                                           StopCase{9, 3, TWOSTOPBITS, TWOSTOPBITS}));

TEST(FakeDeviceSetLine, FailureIsReturnedAndTheCopyKeepsTheNewValues) {
  FakeDevice D;
  ASSERT_EQ(D.Open(), ecOK);
  D.SetStateResult = -87;
  EXPECT_EQ(D.SetLine(19200, 5, 9, 3), -87);
  EXPECT_EQ(D.DCB.BaudRate, 19200u);
  EXPECT_EQ(D.Device.BaudRate, 1200u);
}

TEST(DecodeBaud, CodeTable) {
  const struct {
    uint32_t In, Out;
  } Cases[] = {{0xFEFF, 115200}, {0xFF10, 110},   {0xFF11, 300},    {0xFF12, 600},    {0xFF13, 1200},
               {0xFF14, 2400},   {0xFF15, 4800},  {0xFF16, 9600},   {0xFF17, 14400},  {0xFF18, 19200},
               {0xFF1B, 38400},  {0xFF1F, 56000}, {0xFF23, 128000}, {0xFF27, 256000}, {0xFF19, 0xFF19},
               {0xFF1A, 0xFF1A}, {0xFF0F, 0xFF0F}, {0xFF28, 0xFF28}, {1200, 1200},     {0, 0}};
  for (const auto& C : Cases) EXPECT_EQ(DecodeBaud(C.In), C.Out) << std::hex << C.In;
}

TEST(FakeDeviceGetLine, DecodesTheDeviceState) {
  FakeDevice D;
  ASSERT_EQ(D.Open(), ecOK);
  uint32_t Baud;
  uint16_t Parity, DataBits, StopBits;
  D.Device.BaudRate = 0xFF16;
  D.Device.Parity = EVENPARITY;
  D.Device.ByteSize = 7;
  D.Device.StopBits = ONE5STOPBITS;
  D.GetLine(Baud, Parity, DataBits, StopBits);
  EXPECT_EQ(Baud, 9600u);
  EXPECT_EQ(Parity, 2);
  EXPECT_EQ(DataBits, 7);
  EXPECT_EQ(StopBits, 2);
  D.Device.BaudRate = 0xFF19;
  D.Device.StopBits = ONESTOPBIT;
  D.GetLine(Baud, Parity, DataBits, StopBits);
  EXPECT_EQ(Baud, 65305u);
  EXPECT_EQ(StopBits, 1);
}

// ---------------------------------------------------------------- DTR, RTS and flow control

TEST(FakeDeviceLines, DtrAndRtsEscapesAndRefusals) {
  FakeDevice D;
  ASSERT_EQ(D.Open(), ecOK);
  D.Escapes.clear();
  EXPECT_EQ(D.SetDTR(false), 0);
  EXPECT_EQ(D.SetRTS(true), 0);
  EXPECT_EQ(D.Escapes, (std::vector<int32_t>{CLRDTR, SETRTS}));
  D.EscapeResult = -6;
  EXPECT_EQ(D.SetRTS(false), ecBadArgument);
  EXPECT_FALSE(D.RTSState);  // recorded all the same
  D.EscapeResult = 0;
  ASSERT_EQ(D.SetHardwareFlow(100, 10, hfUseDTR), ecOK);
  D.Escapes.clear();
  EXPECT_EQ(D.SetDTR(true), 1);  // the driver owns the line
  EXPECT_TRUE(D.Escapes.empty());
}

TEST(FakeDeviceFlow, HardwareFlowBitsAndLimits) {
  FakeDevice D;
  ASSERT_EQ(D.Open(1000, 64), ecOK);
  ASSERT_EQ(D.SetHardwareFlow(900, 100, hfUseRTS | hfRequireCTS | hfRequireDSR), ecOK);
  // RTS handshake, DTR enabled (raised, not flow controlled), CTS and DSR output flow.
  EXPECT_EQ(Flags(D.Device) & 0x303C, 0x2000u | 0x10u | 0x4u | 0x8u);
  EXPECT_EQ(D.Device.XoffLim, 100);
  EXPECT_EQ(D.Device.XonLim, 100);
  EXPECT_TRUE(D.RTSFlowControlled);
  EXPECT_FALSE(D.DTRFlowControlled);
  uint32_t HW, SW;
  char On, Off;
  ASSERT_EQ(D.GetFlowOptions(HW, SW, On, Off), ecOK);
  EXPECT_EQ(HW, hfUseRTS | hfRequireCTS | hfRequireDSR);
  EXPECT_EQ(SW, 0u);

  ASSERT_EQ(D.SetHardwareFlow(500, 500, hfUseDTR), ecOK);
  EXPECT_EQ(Flags(D.Device) & 0x303C, 0x20u | 0x1000u);
  EXPECT_TRUE(D.DTRFlowControlled);
  EXPECT_FALSE(D.RTSFlowControlled);
}

TEST(FakeDeviceFlow, LevelRangeChecks) {
  FakeDevice D;
  ASSERT_EQ(D.Open(1000, 64), ecOK);
  const int Applied = D.SetStateCount;
  EXPECT_EQ(D.SetHardwareFlow(1000, 1000, 0), ecOK);  // full = resume = InQue
  EXPECT_EQ(D.SetHardwareFlow(1001, 10, 0), ecBadArgument);
  EXPECT_EQ(D.SetHardwareFlow(10, 11, 0), ecBadArgument);
  EXPECT_EQ(D.SetSoftwareFlow(1001, 10, 3), ecBadArgument);
  EXPECT_EQ(D.SetStateCount, Applied + 1);
}

TEST(FakeDeviceFlow, SoftwareFlowOnlyAddsAndResetsTheCharacters) {
  FakeDevice D;
  ASSERT_EQ(D.Open(1000, 64), ecOK);
  ASSERT_EQ(D.SetFlowChars('A', 'B'), ecOK);
  EXPECT_EQ(D.Device.XonChar, 'A');
  EXPECT_EQ(D.Device.XoffChar, 'B');
  ASSERT_EQ(D.SetSoftwareFlow(800, 200, sfReceiveFlow | sfTransmitFlow), ecOK);
  EXPECT_EQ(Flags(D.Device) & 0x300, 0x300u);
  EXPECT_EQ(D.Device.XonChar, 17);
  EXPECT_EQ(D.Device.XoffChar, 19);
  EXPECT_EQ(D.Device.XoffLim, 200);
  EXPECT_EQ(D.Device.XonLim, 200);
  // Only the transmit side given: the receive side stays on.
  ASSERT_EQ(D.SetSoftwareFlow(800, 200, sfTransmitFlow), ecOK);
  EXPECT_EQ(Flags(D.Device) & 0x300, 0x300u);
  ASSERT_EQ(D.ClearSoftwareFlow(), ecOK);
  EXPECT_EQ(Flags(D.Device) & 0x300, 0u);
  ASSERT_EQ(D.SetSoftwareFlow(800, 200, sfTransmitFlow), ecOK);
  EXPECT_EQ(Flags(D.Device) & 0x300, 0x100u);
  uint32_t HW, SW;
  char On, Off;
  ASSERT_EQ(D.GetFlowOptions(HW, SW, On, Off), ecOK);
  EXPECT_EQ(SW, sfTransmitFlow);
  EXPECT_EQ(On, 17);
  EXPECT_EQ(Off, 19);
}

TEST(FakeDeviceFlow, Rs485UsesTheDriversRtsToggle) {
  FakeDevice D;
  ASSERT_EQ(D.Open(1000, 64), ecOK);
  D.SetRS485Mode(true);
  ASSERT_EQ(D.SetHardwareFlow(900, 100, 0), ecOK);
  EXPECT_EQ(Flags(D.Device) & 0x3000, 0x3000u);
  EXPECT_TRUE(D.RTSFlowControlled);
  // The block goes out without an address: the driver switches direction.
  EXPECT_EQ(D.PutBlock("ab", 2), ecOK);
}

// ---------------------------------------------------------------- modem status and line errors

TEST(FakeDeviceModem, DeltasFromChangedLinesAndRing) {
  FakeDevice D;
  ASSERT_EQ(D.Open(), ecOK);
  // The device (no modem lines) reads 0; CTS and DCD were up before.
  {
    std::lock_guard<std::recursive_mutex> Guard(D.DataSection);
    D.ModemStatus = 0x90;
  }
  D.UpdateModemDeltas();
  EXPECT_EQ(D.ModemStatus, 0x09u);  // CTS and DCD changed
  // A ring status item sets RingFlag; the next read reports delta 4 once.
  D.Status(EV_RING);
  D.ProcessCommEvents();  // also reads the status as its pass ends, keeping the deltas
  EXPECT_EQ(D.GetModemStatus(), 0x0D);
  EXPECT_EQ(D.GetModemStatus(), 0x00);  // deltas reported once
  EXPECT_FALSE(D.RingFlag.load());
}

TEST(FakeDeviceModem, ChangedLineEventUpdatesDeltas) {
  FakeDevice D;
  ASSERT_EQ(D.Open(), ecOK);
  {
    std::lock_guard<std::recursive_mutex> Guard(D.DataSection);
    D.ModemStatus = 0x20;  // DSR was up
  }
  D.Status(EV_DSR);
  D.ProcessCommEvents();
  EXPECT_EQ(D.GetModemStatus(), 0x02);
}

TEST(FakeDeviceLineErrors, ReportedInOrderAndClearedTogether) {
  const struct {
    uint32_t Bits;
    uint16_t Code;
    uint32_t Left;
  } Cases[] = {{0, 0, 0},
               {CE_RXOVER | CE_FRAME, 1, 0},
               {CE_OVERRUN, 2, 0},
               {CE_RXPARITY | CE_FRAME, 3, 0},  // the framing error goes with the parity error
               {CE_FRAME | CE_BREAK, 4, CE_BREAK},
               {CE_BREAK, 9, CE_BREAK}};
  FakeDevice D;
  ASSERT_EQ(D.Open(), ecOK);
  for (const auto& C : Cases) {
    D.LastError.store(C.Bits);
    EXPECT_EQ(D.GetLineError(), C.Code) << C.Bits;
    EXPECT_EQ(D.LastError.load(), C.Left) << C.Bits;
  }
  D.LastError.store(CE_BREAK | CE_RXPARITY);
  EXPECT_TRUE(D.CheckLineBreak());
  EXPECT_FALSE(D.CheckLineBreak());
  EXPECT_EQ(D.LastError.load(), static_cast<uint32_t>(CE_RXPARITY));
}

TEST(FakeDeviceLineErrors, DeviceErrorsAccumulateOnlyReceiveBits) {
  FakeDevice D;
  ASSERT_EQ(D.Open(), ecOK);
  D.ErrorBits.store(CE_RXPARITY | CE_TXFULL);
  D.RefreshComError();
  D.ErrorBits.store(CE_OVERRUN);
  D.Status(EV_ERR);
  D.ProcessCommEvents();
  EXPECT_EQ(D.LastError.load(), static_cast<uint32_t>(CE_RXPARITY | CE_OVERRUN));
}

}  // namespace
}  // namespace dud
