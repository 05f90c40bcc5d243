// Output into the ring that the write thread drains, and everything about the line:
// character format and baud rate, DTR and RTS, hardware and software flow control,
// RS485 direction control, modem status and line errors.
#include <cstdlib>
#include <cstring>

#include "dispatch/base_dispatcher.h"
#include "dispatch/core_internal.h"
#include "errors/error_codes.h"

namespace dud {

namespace {

// DCB flag bits, in the Windows layout of the flag word.
constexpr uint32_t dfBinary = 0x1;
constexpr uint32_t dfParity = 0x2;
constexpr uint32_t dfOutxCtsFlow = 0x4;
constexpr uint32_t dfOutxDsrFlow = 0x8;
constexpr uint32_t dfDtrControl = 0x30;
constexpr uint32_t dfDtrEnable = 0x10;
constexpr uint32_t dfDtrHandshake = 0x20;
constexpr uint32_t dfDsrSensitivity = 0x40;
constexpr uint32_t dfTXContinueOnXoff = 0x80;
constexpr uint32_t dfOutX = 0x100;
constexpr uint32_t dfInX = 0x200;
constexpr uint32_t dfNull = 0x800;
constexpr uint32_t dfRtsControl = 0x3000;
constexpr uint32_t dfRtsEnable = 0x1000;
constexpr uint32_t dfRtsHandshake = 0x2000;
constexpr uint32_t dfRtsToggle = 0x3000;

// The flag word follows DCBlength and BaudRate.
constexpr size_t FlagWordOffset = 2 * sizeof(DWORD);

uint32_t DcbFlags(const ::DCB& State) {
  uint32_t Flags;
  std::memcpy(&Flags, reinterpret_cast<const char*>(&State) + FlagWordOffset, sizeof(Flags));
  return Flags;
}

void SetDcbFlags(::DCB& State, uint32_t Flags) {
  std::memcpy(reinterpret_cast<char*>(&State) + FlagWordOffset, &Flags, sizeof(Flags));
}

// Whether the system is of the NT family, where the driver switches RS485
// direction itself (the RTS toggle) and no UART port address is needed.
bool IsNTFamily() {
  static const bool NT = [] {
    OSVERSIONINFOA Version{};
    Version.dwOSVersionInfoSize = sizeof(Version);
    // Returns FALSE when the version cannot be read; every supported system is NT then.
    if (!GetVersionExA(&Version)) return true;
    return Version.dwPlatformId == VER_PLATFORM_WIN32_NT;
  }();
  return NT;
}

}  // namespace

uint32_t DecodeBaud(uint32_t Baud) {
  if (Baud == 0xFEFF) return 115200;
  if (Baud >= 0xFF10 && Baud <= 0xFF27) {
    switch (Baud - 0xFF10) {
      case 0: return 110;
      case 1: return 300;
      case 2: return 600;
      case 3: return 1200;
      case 4: return 2400;
      case 5: return 4800;
      case 6: return 9600;
      case 7: return 14400;
      case 8: return 19200;
      case 11: return 38400;
      case 15: return 56000;
      case 19: return 128000;
      case 23: return 256000;
      default: break;
    }
  }
  return Baud;
}

// ---------------------------------------------------------------- output

int32_t TDudBaseDispatcher::PutChar(uint8_t C) { return PutBlock(&C, 1); }

int32_t TDudBaseDispatcher::PutBlock(const void* Buf, uint32_t Len) {
  if (Len == 0) return ecOK;
  const auto* Bytes = static_cast<const uint8_t*>(Buf);
  int32_t Result = ecOK;
  uint32_t Written = 0;
  {
    std::lock_guard<std::recursive_mutex> Guard(OutputSection);
    if (OutBuffer == nullptr) return ecCommNotOpen;
    const uint32_t Used = OutBufUsed();
    const uint32_t Free = OutQue > Used ? OutQue - Used : 0;
    if (Len > Free) return ecOutputBufferTooSmall;
    if (RS485Mode.load() && !IsNTFamily()) {
      if (BaseAddress == 0) return ecBaseAddressNotSet;
      SetRTS(true);  // the write thread lowers it once the UART has sent the last bit
    }
    // Set before WriteCom wakes the write thread: the block fills the ring exactly.
    if (Len == Free) OBufFull = true;
    const int32_t Count = WriteCom(Bytes, Len);
    if (Count <= 0) {
      // Never report (or log, or trace) more bytes than the caller gave.
      const uint32_t Magnitude = static_cast<uint32_t>(std::abs(static_cast<int64_t>(Count)));
      Written = Magnitude < Len ? Magnitude : Len;
      Result = ecPutBlockFail;
      if (Written == 0) OBufFull = false;
      LastError.store(static_cast<uint32_t>(GetComError(ComStatus)));
    } else {
      Written = static_cast<uint32_t>(Count) < Len ? static_cast<uint32_t>(Count) : Len;
    }
    OutSentPending.store(true);
  }
  std::lock_guard<std::recursive_mutex> Guard(DataSection);
  if (Log.LoggingOn.load())
    AddDispatchEntry(core::lgDispatch, core::lsWriteCom, Written, Written != 0 ? Bytes : nullptr, Written);
  if (Trace.TracingOn && Written != 0) Trace.AddTraceEntries('T', Bytes, Written);
  return Result;
}

void TDudBaseDispatcher::RefreshComError() {
  // ComStatus is filled under OutputSection; LastError only accumulates here.
  std::lock_guard<std::recursive_mutex> Guard(OutputSection);
  const auto Bits = static_cast<uint32_t>(GetComError(ComStatus));
  LastError.fetch_or(Bits & 31);
}

uint32_t TDudBaseDispatcher::OutBuffUsed() {
  std::lock_guard<std::recursive_mutex> Guard(OutputSection);
  RefreshComError();
  return ComStatus.cbOutQue;
}

uint32_t TDudBaseDispatcher::OutBuffFree() {
  std::lock_guard<std::recursive_mutex> Guard(OutputSection);
  const uint32_t Used = OutBuffUsed();
  return OutQue > Used ? OutQue - Used : 0;
}

void TDudBaseDispatcher::FlushOutBuffer() { FlushCom(0); }

// ---------------------------------------------------------------- line settings

int32_t TDudBaseDispatcher::SetLine(uint32_t Baud, uint16_t Parity, uint16_t DataBits, uint16_t StopBits) {
  ::DCB Current;
  {
    std::lock_guard<std::recursive_mutex> Guard(DataSection);
    GetComState(DCB);
    Current = DCB;
  }
  uint32_t Flags = DcbFlags(Current);
  Flags |= dfBinary | dfTXContinueOnXoff;
  Flags &= ~(dfParity | dfDsrSensitivity | dfNull);

  if (StopBits != 3) {
    if (StopBits < 1) StopBits = 1;
    if (StopBits > 2) StopBits = 2;
  }
  const uint32_t NewBaud = Baud != 0 ? Baud : Current.BaudRate;
  const uint8_t NewParity = Parity != 5 ? static_cast<uint8_t>(Parity) : Current.Parity;
  const uint8_t NewSize = DataBits != 9 ? static_cast<uint8_t>(DataBits) : Current.ByteSize;
  uint8_t NewStop = Current.StopBits;
  if (DataBits != 9 && DataBits == 5) NewStop = ONE5STOPBITS;
  if (StopBits != 3) {
    NewStop = StopBits == 1 ? ONESTOPBIT : TWOSTOPBITS;
    if (NewSize == 5) NewStop = ONE5STOPBITS;
  }

  if (NewBaud == Current.BaudRate && NewParity == Current.Parity && NewSize == Current.ByteSize &&
      NewStop == Current.StopBits && Flags == DcbFlags(Current))
    return ecOK;

  // Not under DataSection: the write thread keeps draining meanwhile.
  WaitForOutputDrain();

  std::lock_guard<std::recursive_mutex> Guard(DataSection);
  GetComState(DCB);
  DCB.BaudRate = NewBaud;
  DCB.Parity = NewParity;
  DCB.ByteSize = NewSize;
  DCB.StopBits = NewStop;
  SetDcbFlags(DCB, Flags);
  return ApplyComState(DCB);
}

void TDudBaseDispatcher::GetLine(uint32_t& Baud, uint16_t& Parity, uint16_t& DataBits, uint16_t& StopBits) {
  std::lock_guard<std::recursive_mutex> Guard(DataSection);
  GetComState(DCB);
  Baud = DecodeBaud(DCB.BaudRate);
  Parity = DCB.Parity;
  DataBits = DCB.ByteSize;
  StopBits = DCB.StopBits == ONESTOPBIT ? 1 : 2;
}

void TDudBaseDispatcher::WaitForOutputDrain() {
  // The write thread empties the ring; about 10 s at most.
  for (int I = 0; I < 5000 && OutBuffUsed() != 0; ++I) Sleep(2);

  uint32_t Bits;
  {
    std::lock_guard<std::recursive_mutex> Guard(DataSection);
    GetComState(DCB);
    Bits = DCB.ByteSize + 2u + (DCB.Parity != NOPARITY ? 1u : 0u) + (DCB.StopBits != ONESTOPBIT ? 1u : 0u);
  }
  // The last characters may still be in the UART: wait 18 character times at the
  // baud that sent them (36 when that is below 1 ms), in units of 100 ns.
  const uint32_t Rate = DecodeBaud(LastBaud);
  if (Rate == 0) return;
  const uint64_t CharTime = static_cast<uint64_t>(10000000u / Rate) * Bits;
  uint64_t X = 18 * CharTime;
  if (X < 10000) X = 36 * CharTime;
  const uint64_t Ms = X / 10000 + (X % 10000 != 0 ? 1 : 0);
  if (Ms > 0) Sleep(static_cast<DWORD>(Ms));
}

int32_t TDudBaseDispatcher::ApplyComState(::DCB& State) {
  std::lock_guard<std::recursive_mutex> Guard(DataSection);
  uint32_t Flags = DcbFlags(State);
  if (!DTRFlowControlled) {
    Flags &= ~dfDtrControl;
    if (DTRState) Flags |= dfDtrEnable;
  }
  if (!RTSFlowControlled) {
    Flags &= ~dfRtsControl;
    if (RTSState) Flags |= dfRtsEnable;
  }
  SetDcbFlags(State, Flags);
  const int32_t Result = SetComState(State);
  LastBaud = State.BaudRate;
  SetDTR(DTRState);
  if (!RS485Mode.load()) SetRTS(RTSState);
  return Result;
}

// ---------------------------------------------------------------- DTR and RTS

int32_t TDudBaseDispatcher::SetDTR(bool On) {
  std::lock_guard<std::recursive_mutex> Guard(DataSection);
  if (DTRFlowControlled) return 1;
  const int32_t Result = EscapeComFunction(On ? SETDTR : CLRDTR);
  DTRState = On;
  return Result < 0 ? ecBadArgument : Result;
}

int32_t TDudBaseDispatcher::SetRTS(bool On) {
  std::lock_guard<std::recursive_mutex> Guard(DataSection);
  if (RTSFlowControlled) return 1;
  const int32_t Result = EscapeComFunction(On ? SETRTS : CLRRTS);
  RTSState = On;
  return Result < 0 ? ecBadArgument : Result;
}

// ---------------------------------------------------------------- flow control

int32_t TDudBaseDispatcher::SetHardwareFlow(uint32_t Full, uint32_t Resume, uint32_t Options) {
  if (Full < Resume || Full > InQue) return ecBadArgument;
  std::lock_guard<std::recursive_mutex> Guard(DataSection);
  GetComState(DCB);
  uint32_t Flags = DcbFlags(DCB);
  Flags &= ~(dfOutxCtsFlow | dfOutxDsrFlow | dfDtrControl | dfRtsControl);
  DTRFlowControlled = false;
  RTSFlowControlled = false;
  if ((Options & hfUseDTR) != 0) {
    Flags |= dfDtrHandshake;
    DTRFlowControlled = true;
  } else if (DTRState) {
    Flags |= dfDtrEnable;
  }
  if ((Options & hfUseRTS) != 0) {
    Flags |= dfRtsHandshake;
    RTSFlowControlled = true;
  } else if (RTSState) {
    Flags |= dfRtsEnable;
  }
  if (RS485Mode.load() && IsNTFamily()) {
    // The driver raises RTS while it sends.
    Flags |= dfRtsToggle;
    RTSFlowControlled = true;
  }
  DCB.XoffLim = static_cast<WORD>(InQue - Full);
  DCB.XonLim = static_cast<WORD>(Resume);
  if ((Options & hfRequireDSR) != 0) Flags |= dfOutxDsrFlow;
  if ((Options & hfRequireCTS) != 0) Flags |= dfOutxCtsFlow;
  SetDcbFlags(DCB, Flags);
  return ApplyComState(DCB);
}

int32_t TDudBaseDispatcher::SetSoftwareFlow(uint32_t Full, uint32_t Resume, uint32_t Options) {
  if (Full < Resume || Full > InQue) return ecBadArgument;
  std::lock_guard<std::recursive_mutex> Guard(DataSection);
  GetComState(DCB);
  uint32_t Flags = DcbFlags(DCB);
  // Only adds: a side not given keeps its setting; ClearSoftwareFlow removes both.
  if ((Options & sfReceiveFlow) != 0) {
    Flags |= dfInX;
    DCB.XoffLim = static_cast<WORD>(InQue - Full);
    DCB.XonLim = static_cast<WORD>(Resume);
  }
  if ((Options & sfTransmitFlow) != 0) Flags |= dfOutX;
  if ((Options & (sfReceiveFlow | sfTransmitFlow)) != 0) {
    DCB.XonChar = 0x11;
    DCB.XoffChar = 0x13;
  }
  SetDcbFlags(DCB, Flags);
  return ApplyComState(DCB);
}

int32_t TDudBaseDispatcher::ClearSoftwareFlow() {
  std::lock_guard<std::recursive_mutex> Guard(DataSection);
  GetComState(DCB);
  SetDcbFlags(DCB, DcbFlags(DCB) & ~(dfOutX | dfInX));
  return ApplyComState(DCB);
}

int32_t TDudBaseDispatcher::SetFlowChars(char XOn, char XOff) {
  std::lock_guard<std::recursive_mutex> Guard(DataSection);
  DCB.XonChar = XOn;
  DCB.XoffChar = XOff;
  return ApplyComState(DCB);
}

int32_t TDudBaseDispatcher::GetFlowOptions(uint32_t& HWOpts, uint32_t& SWOpts, char& XOn, char& XOff) {
  std::lock_guard<std::recursive_mutex> Guard(DataSection);
  const int32_t Result = GetComState(DCB);
  const uint32_t Flags = DcbFlags(DCB);
  HWOpts = 0;
  if ((Flags & dfDtrControl) == dfDtrHandshake) HWOpts |= hfUseDTR;
  if ((Flags & dfRtsControl) == dfRtsHandshake) HWOpts |= hfUseRTS;
  if ((Flags & dfOutxDsrFlow) != 0) HWOpts |= hfRequireDSR;
  if ((Flags & dfOutxCtsFlow) != 0) HWOpts |= hfRequireCTS;
  SWOpts = 0;
  if ((Flags & dfInX) != 0) SWOpts |= sfReceiveFlow;
  if ((Flags & dfOutX) != 0) SWOpts |= sfTransmitFlow;
  XOn = DCB.XonChar;
  XOff = DCB.XoffChar;
  return Result;
}

// ---------------------------------------------------------------- RS485

void TDudBaseDispatcher::SetRS485Mode(bool On) {
  {
    std::lock_guard<std::recursive_mutex> Guard(DataSection);
    RS485Mode.store(On);
    // Outside the NT family the UART's port address would be asked of the driver
    // here; the systems this stack runs on are all of the NT family, where the
    // driver's RTS toggle switches direction and no address is needed.
  }
  ApplyThreadPriorities();
}

uint8_t TDudBaseDispatcher::ReadPortByte(uint16_t Address) {
  // User programs cannot read I/O ports on the systems this stack runs on. The
  // value reads as "transmitter empty", so a caller waiting for that never hangs.
  (void)Address;
  return 0xFF;
}

// ---------------------------------------------------------------- modem status and line errors

uint8_t TDudBaseDispatcher::ReadModemStatus(uint8_t ClearMask) {
  DWORD Lines = 0;
  // Outside the lock: the call may reach the driver. FALSE leaves Lines at 0.
  if (ComHandle != INVALID_HANDLE_VALUE) GetCommModemStatus(ComHandle, &Lines);
  std::lock_guard<std::recursive_mutex> Guard(DataSection);
  ModemStatus = (Lines & 0xF0) | (ModemStatus & 0x0F);
  if (RingFlag.exchange(false)) ModemStatus |= 0x04;
  const auto Result = static_cast<uint8_t>(ModemStatus);
  ModemStatus &= ClearMask;
  return Result;
}

uint8_t TDudBaseDispatcher::GetModemStatus() { return ReadModemStatus(0xF0); }

void TDudBaseDispatcher::UpdateModemDeltas() {
  uint32_t Old;
  {
    std::lock_guard<std::recursive_mutex> Guard(DataSection);
    Old = ModemStatus;
  }
  const uint8_t Now = ReadModemStatus(0xFF);
  std::lock_guard<std::recursive_mutex> Guard(DataSection);
  ModemStatus |= ((Old ^ Now) & 0xF0) >> 4;
}

uint16_t TDudBaseDispatcher::GetLineError() {
  std::lock_guard<std::recursive_mutex> Guard(DataSection);
  const uint32_t Bits = LastError.load();
  uint16_t Code = 0;
  if ((Bits & CE_RXOVER) != 0)
    Code = 1;
  else if ((Bits & CE_OVERRUN) != 0)
    Code = 2;
  else if ((Bits & CE_RXPARITY) != 0)
    Code = 3;
  else if ((Bits & CE_FRAME) != 0)
    Code = 4;
  else if ((Bits & CE_BREAK) != 0)
    Code = 9;
  // The four receive errors go together; the break bit stays for CheckLineBreak.
  if (Code != 0) LastError.fetch_and(~0x0Fu);
  return Code;
}

bool TDudBaseDispatcher::CheckLineBreak() {
  std::lock_guard<std::recursive_mutex> Guard(DataSection);
  return (LastError.fetch_and(~CE_BREAK) & CE_BREAK) != 0;
}

void TDudBaseDispatcher::SetOptionFlags(uint32_t Mask) {
  std::lock_guard<std::recursive_mutex> Guard(DataSection);
  OptionFlags.fetch_or(Mask);
}

void TDudBaseDispatcher::ClearOptionFlags(uint32_t Mask) {
  std::lock_guard<std::recursive_mutex> Guard(DataSection);
  OptionFlags.fetch_and(~Mask);
}

}  // namespace dud
