// The dispatch log of a dispatcher: time-stamped entries of what it does, written
// as a fixed-column report on request.
//
// Threads: entries are added from the application thread and from the dispatcher
// thread. LogQueue has its own lock, so every push and pop is atomic and an entry
// is never lost or written twice; LoggingOn, LogSize and LogStart are atomic. The
// report writers take no lock beyond the queue's: the dispatcher holds its
// DataSection around them, so that caller-thread producers wait while it writes.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "device/io_queue.h"
#include "platform/win32.h"

namespace dud {

// One log entry. Size (inherited) is the number of data bytes copied into Buffer;
// 0 when the entry carries none. Locked is never set for log entries.
class TLogBuffer : public TIOBuffer {
 public:
  // Copies Length bytes from Bytes when Length is above 0 (Bytes may be null
  // otherwise). Raises std::bad_alloc when the copy cannot be had.
  TLogBuffer(uint8_t EntryType, uint16_t EntrySubType, uint32_t TimeStamp, uint32_t Data, const void* Bytes,
             uint32_t Length);
  ~TLogBuffer() override;

  const uint8_t EntryType;      // dispatch type code; its name is message 15001 + code
  const uint16_t EntrySubType;  // subtype code, 0 for none; its name is message 15100 + code
  const uint32_t TimeStamp;     // milliseconds since LogStart
  const uint32_t Data;          // meaning depends on type and subtype
  std::unique_ptr<uint8_t[]> Buffer;  // Size bytes; null when Size is 0
};

// The header lines of a report that depend on the build, the system, the device and
// the moment of writing (each without its caption).
struct TLogHeader {
  std::string Compiler;
  std::string OperatingSystem;
  std::string Device;
  std::string DateTime;
};

// The header for a report written now for the device DeviceName.
TLogHeader CurrentLogHeader(const std::string& DeviceName);

// The time column: Milliseconds as a signed 32-bit decimal number of at least
// seven digits with a point before the last three: 1234 gives 0001.234.
std::string FormatLogTime(uint32_t Milliseconds);
// Local date and time as dd/mm/yy, hh:mm:ss (our regional separators are / and :).
std::string FormatLogDateTime(const SYSTEMTIME& Time);
// The running system's name: the native system's own name where it has one, else
// the name derived from its Windows version record.
std::string OperatingSystemName();
// The name that a Windows version record stands for, with its version and service text.
std::string OperatingSystemNameFromVersion(const OSVERSIONINFOA& Version);
// The compiler and version this program was built with (at most 80 characters),
// or "Unknown".
std::string CompilerIdentification();
// The report row of Entry, without its line end: four fixed columns of 44
// characters, then the OtherData column, continued on lines indented by 44 blanks.
std::string FormatLogRow(const TLogBuffer& Entry, bool InHex, bool AllHex);

class TDudDispatchLog {
 public:
  // LogStart is the clock's value now; the dispatcher is made when its port opens.
  TDudDispatchLog();
  ~TDudDispatchLog();
  TDudDispatchLog(const TDudDispatchLog&) = delete;
  TDudDispatchLog& operator=(const TDudDispatchLog&) = delete;

  std::atomic<bool> LoggingOn{false};  // entries are made only while set
  TIOQueue LogQueue;                   // the entries, oldest at the head; BytesQueued sums their Size
  std::atomic<uint32_t> LogSize{0};    // bound on LogQueue.BytesQueued(); 0 for none
  std::atomic<uint32_t> LogStart{0};   // MillisecondClock() when the port opened

  // Empties the log, sets LogSize = MaxBytes and starts recording.
  void InitDispatchLogging(uint32_t MaxBytes);
  // While recording: drops the oldest entries while the copied bytes exceed
  // LogSize, then appends an entry stamped with the time since LogStart.
  void AddDispatchEntry(uint8_t EntryType, uint16_t EntrySubType, uint32_t Data, const void* Bytes,
                        uint32_t Length);
  // Empties the log; recording is left as it is.
  void ClearDispatchLogging();
  // Stops recording and empties the log.
  void AbortDispatchLogging();
  void StartDispatchLogging();
  // Stops recording; the entries stay.
  void StopDispatchLogging();

  // Writes the report of all entries to FileName, replacing its contents, and
  // consumes them (also those added meanwhile, until the log is found empty).
  // An empty log: ecOK, no file touched. The file cannot be opened: the system's
  // error number negated, the entries stay. A write error does not stop the
  // report; it is returned (negated) after the file is closed. LoggingOn stays.
  int32_t DumpDispatchLog(const std::string& FileName, bool InHex, bool AllHex, const std::string& DeviceName);
  // As DumpDispatchLog, but the report goes after the end of an existing file.
  int32_t AppendDispatchLog(const std::string& FileName, bool InHex, bool AllHex, const std::string& DeviceName);
  // The report with the given header lines (the writers above pass CurrentLogHeader).
  int32_t WriteReport(const std::string& FileName, bool Append, bool InHex, bool AllHex,
                      const TLogHeader& Header);

  bool Empty() const { return LogQueue.Count() == 0; }
};

}  // namespace dud
