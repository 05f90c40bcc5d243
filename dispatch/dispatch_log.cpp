// The dispatch log of a dispatcher and its report.
#include "dispatch/dispatch_log.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>

#include "device/timing.h"
#include "dispatch/log_format.h"
#include "errors/error_codes.h"
#include "errors/messages.h"
#include "platform/dud_platform.h"

namespace dud {

namespace {

// Message numbers of the report's names and headings.
constexpr int32_t TypeNameBase = 15001;       // + type code
constexpr int32_t SubTypeNameBase = 15100;    // + subtype code (from 1)
constexpr int32_t ColumnHeading = 15501;
constexpr int32_t ColumnDashes = 15502;
constexpr int32_t ModemBitNameBase = 15601;   // + bit number, each name with a trailing blank
constexpr int32_t TelnetOptionBase = 15700;   // + option number
constexpr uint32_t LastTelnetOption = 42;

constexpr uint8_t TypeTelnet = 10;
constexpr uint8_t TypeTrigAlloc = 5;
constexpr uint8_t TypeTrigDispose = 6;
constexpr uint8_t TypeUser = 19;
constexpr uint16_t SubTypeModemStatus = 4;
constexpr uint16_t SubTypeStatusTrigger = 15;

// The OtherData column begins after 44 characters of fixed columns.
constexpr uint32_t FixedWidth = 44;
constexpr size_t HeaderFieldMax = 80;

// The kinds of status trigger, by the first data byte of a status trigger entry.
constexpr const char* StatusTriggerKinds[] = {"(Not active)",         "(Modem status)",        "(Line status)",
                                              "(Output buffer free)", "(Output buffer used)", "(Output sent)"};

void PadRight(std::string& Out, const std::string& Text, size_t Width) {
  Out += Text;
  if (Text.size() < Width) Out.append(Width - Text.size(), ' ');
}

void PadLeft(std::string& Out, const std::string& Text, size_t Width) {
  if (Text.size() < Width) Out.append(Width - Text.size(), ' ');
  Out += Text;
}

std::string Trim(const std::string& Text) {
  const size_t First = Text.find_first_not_of(' ');
  if (First == std::string::npos) return std::string();
  const size_t Last = Text.find_last_not_of(' ');
  return Text.substr(First, Last - First + 1);
}

std::string TwoDigits(unsigned Value) {
  char Text[8];
  std::snprintf(Text, sizeof Text, "%02u", Value % 100);
  return Text;
}

}  // namespace

TLogBuffer::TLogBuffer(uint8_t EntryType, uint16_t EntrySubType, uint32_t TimeStamp, uint32_t Data,
                       const void* Bytes, uint32_t Length)
    : TIOBuffer(Bytes != nullptr ? static_cast<int32_t>(std::min<uint32_t>(Length, INT32_MAX)) : 0),
      EntryType(EntryType),
      EntrySubType(EntrySubType),
      TimeStamp(TimeStamp),
      Data(Data) {
  // A block too large for the queue's signed byte count cannot be logged at all.
  if (Bytes != nullptr && Length > static_cast<uint32_t>(INT32_MAX)) throw std::bad_alloc();
  if (Size > 0) {
    Buffer = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(Size));
    std::memcpy(Buffer.get(), Bytes, static_cast<size_t>(Size));
  }
}

TLogBuffer::~TLogBuffer() = default;

std::string FormatLogTime(uint32_t Milliseconds) {
  char Digits[16];
  std::snprintf(Digits, sizeof Digits, "%.7d", static_cast<int32_t>(Milliseconds));
  std::string Text(Digits);
  Text.insert(Text.size() - 3, 1, '.');
  return Text;
}

std::string FormatLogDateTime(const SYSTEMTIME& Time) {
  return TwoDigits(Time.wDay) + "/" + TwoDigits(Time.wMonth) + "/" + TwoDigits(Time.wYear) + ", " +
         TwoDigits(Time.wHour) + ":" + TwoDigits(Time.wMinute) + ":" + TwoDigits(Time.wSecond);
}

std::string OperatingSystemNameFromVersion(const OSVERSIONINFOA& Version) {
  const std::string Service(Version.szCSDVersion, strnlen(Version.szCSDVersion, sizeof Version.szCSDVersion));
  const char Second = Service.size() >= 2 ? Service[1] : '\0';
  const uint32_t Major = Version.dwMajorVersion;
  const uint32_t Minor = Version.dwMinorVersion;
  std::string Name;
  bool ShowService = false;
  switch (Version.dwPlatformId) {
    case VER_PLATFORM_WIN32s:
      Name = "Win32s on Windows ";
      ShowService = true;
      break;
    case VER_PLATFORM_WIN32_WINDOWS:
      if (Minor == 0) {
        Name = Second == 'B' ? "Win32 on Windows 95 OSR 2 " : "Win32 on Windows 95 OSR 1 ";
      } else if (Minor == 10) {
        Name = Second == 'A' ? "Win32 on Windows 98 OSR 2 " : "Win32 on Windows 98 OSR 1 ";
      } else if (Minor == 90) {
        if (Version.dwBuildNumber == 0x045A0BB8) Name = "Win32 on Windows ME ";
      } else {
        Name = "Win32 on Windows 9x";
      }
      break;
    case VER_PLATFORM_WIN32_NT:
      ShowService = true;
      if (Major == 3) {
        Name = "Windows NT 3.5 ";
      } else if (Major == 4) {
        Name = "Windows NT 4 ";
      } else if (Major == 5) {
        if (Minor == 0) Name = "Windows 2000 ";
        if (Minor == 1) Name = "Windows XP ";
      } else {
        Name = "WinNT ";
      }
      break;
    default:
      Name = "Unknown";
      break;
  }
  return Name + std::to_string(Major) + "." + std::to_string(Minor) + " " + (ShowService ? Service : std::string());
}

std::string OperatingSystemName() {
  std::string Native = platform::NativeSystemName();
  if (!Native.empty()) return Native;
  OSVERSIONINFOA Version{};
  Version.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);  // 148
  if (!GetVersionExA(&Version)) return "Unknown";
  return OperatingSystemNameFromVersion(Version);
}

std::string CompilerIdentification() {
  std::string Id;
#if defined(__clang__)
  Id = "Clang " __clang_version__;
#elif defined(__GNUC__)
  Id = "GCC " + std::to_string(__GNUC__) + "." + std::to_string(__GNUC_MINOR__) + "." +
       std::to_string(__GNUC_PATCHLEVEL__);
#elif defined(_MSC_FULL_VER)
  Id = "Microsoft C/C++ " + std::to_string(_MSC_FULL_VER);
#endif
  if (Id.empty()) return "Unknown";
  Id += ", C++ " + std::to_string(__cplusplus);
  return Id.substr(0, HeaderFieldMax);
}

TLogHeader CurrentLogHeader(const std::string& DeviceName) {
  SYSTEMTIME Now{};
  GetLocalTime(&Now);
  return TLogHeader{CompilerIdentification(), OperatingSystemName(), DeviceName, FormatLogDateTime(Now)};
}

std::string FormatLogRow(const TLogBuffer& Entry, bool InHex, bool AllHex) {
  std::string Row;
  Row.reserve(128);
  PadLeft(Row, FormatLogTime(Entry.TimeStamp), 8);
  Row += "  ";
  PadRight(Row, ErrorText(TypeNameBase + Entry.EntryType), 8);
  Row += "  ";
  PadRight(Row, Entry.EntrySubType == 0 ? std::string() : ErrorText(SubTypeNameBase + Entry.EntrySubType), 12);
  Row += "  ";
  char Hex[12];
  std::snprintf(Hex, sizeof Hex, "%08X", Entry.Data);
  Row += Hex;
  Row += "  ";

  if (Entry.Size == 0) {
    if (Entry.EntryType == TypeTelnet) {
      Row += '[';
      if (Entry.Data <= LastTelnetOption) Row += ErrorText(TelnetOptionBase + static_cast<int32_t>(Entry.Data));
      Row += ']';
    }
    return Row;
  }

  if (Entry.EntrySubType == SubTypeStatusTrigger &&
      (Entry.EntryType == TypeTrigAlloc || Entry.EntryType == TypeTrigDispose)) {
    const uint8_t Kind = Entry.Buffer[0];
    if (Kind < std::size(StatusTriggerKinds)) Row += StatusTriggerKinds[Kind];
  } else {
    static const std::string Continuation = std::string(LineEnd) + std::string(FixedWidth, ' ');
    TStringSink Sink{Row};
    TFormLine<TStringSink> Line(Sink, FixedWidth + 1, FixedWidth + 1, Continuation);
    const bool AsIs = AllHex && Entry.EntryType == TypeUser;
    for (int32_t i = 0; i < Entry.Size; ++i) {
      const uint8_t Ch = Entry.Buffer[static_cast<size_t>(i)];
      if (AsIs) {
        const char Form = static_cast<char>(Ch);
        Line.Put(&Form, 1);
      } else {
        Line.PutByte(Ch, InHex, AllHex);
      }
    }
  }

  if (Entry.EntrySubType == SubTypeModemStatus) {
    std::string Bits = " (";
    for (int32_t Bit = 0; Bit < 8; ++Bit) {
      if (Entry.Data & (1u << Bit)) Bits += ErrorText(ModemBitNameBase + Bit);
    }
    Row += Trim(Bits) + ")";
  }
  return Row;
}

TDudDispatchLog::TDudDispatchLog() : LogStart(MillisecondClock()) {}

TDudDispatchLog::~TDudDispatchLog() = default;

void TDudDispatchLog::InitDispatchLogging(uint32_t MaxBytes) {
  LogQueue.Clear();
  LogSize = MaxBytes;
  LoggingOn = true;
}

void TDudDispatchLog::AddDispatchEntry(uint8_t EntryType, uint16_t EntrySubType, uint32_t Data, const void* Bytes,
                                       uint32_t Length) {
  if (!LoggingOn) return;
  // The copy is made first, so that a failed allocation leaves the log as it was.
  auto Entry = std::make_unique<TLogBuffer>(EntryType, EntrySubType, MillisecondClock() - LogStart, Data,
                                            Length > 0 ? Bytes : nullptr, Length);
  // Oldest first, with or without data, until the copied bytes are within the
  // bound; re-checked after every pop because other producers and the report pop too.
  for (;;) {
    const uint32_t Bound = LogSize;
    if (Bound == 0 || static_cast<int64_t>(LogQueue.BytesQueued()) <= static_cast<int64_t>(Bound)) break;
    if (LogQueue.Pop() == nullptr) break;
  }
  LogQueue.Push(std::move(Entry));
}

void TDudDispatchLog::ClearDispatchLogging() { LogQueue.Clear(); }

void TDudDispatchLog::AbortDispatchLogging() {
  LoggingOn = false;
  LogQueue.Clear();
}

void TDudDispatchLog::StartDispatchLogging() { LoggingOn = true; }

void TDudDispatchLog::StopDispatchLogging() { LoggingOn = false; }

int32_t TDudDispatchLog::DumpDispatchLog(const std::string& FileName, bool InHex, bool AllHex,
                                         const std::string& DeviceName) {
  if (Empty()) return ecOK;
  return WriteReport(FileName, false, InHex, AllHex, CurrentLogHeader(DeviceName));
}

int32_t TDudDispatchLog::AppendDispatchLog(const std::string& FileName, bool InHex, bool AllHex,
                                           const std::string& DeviceName) {
  if (Empty()) return ecOK;
  return WriteReport(FileName, true, InHex, AllHex, CurrentLogHeader(DeviceName));
}

int32_t TDudDispatchLog::WriteReport(const std::string& FileName, bool Append, bool InHex, bool AllHex,
                                     const TLogHeader& Header) {
  if (Empty()) return ecOK;  // no file is touched
  TTextFileWriter Out;
  if (const int32_t Opened = Out.Open(FileName, Append); Opened != ecOK) return Opened;

  auto Line = [&Out](const std::string& Text) {
    Out.Write(Text);
    Out.Write(LineEnd);
  };
  Line("RIZI v4.07");
  Line("Compiler : " + Header.Compiler.substr(0, HeaderFieldMax));
  Line("Operating System : " + Header.OperatingSystem.substr(0, HeaderFieldMax));
  Line("Device: " + Header.Device);
  Line("Date/time: " + Header.DateTime.substr(0, HeaderFieldMax));
  Line(ErrorText(ColumnHeading));
  Line(ErrorText(ColumnDashes));

  // Every entry is consumed, also after a write error; entries that producers add
  // meanwhile are written as long as they come before the log is found empty.
  while (std::unique_ptr<TIOBuffer> Item = LogQueue.Pop()) {
    if (const auto* Entry = dynamic_cast<const TLogBuffer*>(Item.get())) Line(FormatLogRow(*Entry, InHex, AllHex));
  }
  return Out.Close();
}

}  // namespace dud
