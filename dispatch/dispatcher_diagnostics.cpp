// The dispatcher's tracing and dispatch log operations: the trace ring and the log
// do the work; here the dispatcher adds its DataSection where the operations need it.
#include "dispatch/base_dispatcher.h"
#include "errors/error_codes.h"

namespace dud {

// ---------------------------------------------------------------- tracing (all under DataSection)

int32_t TDudBaseDispatcher::InitTracing(uint32_t NumEntries) {
  std::lock_guard<std::recursive_mutex> Lock(DataSection);
  return Trace.InitTracing(NumEntries);
}

int32_t TDudBaseDispatcher::ClearTracing() {
  std::lock_guard<std::recursive_mutex> Lock(DataSection);
  return Trace.ClearTracing();
}

void TDudBaseDispatcher::AbortTracing() {
  std::lock_guard<std::recursive_mutex> Lock(DataSection);
  Trace.AbortTracing();
}

void TDudBaseDispatcher::AddTraceEntry(char Kind, uint8_t Ch) {
  std::lock_guard<std::recursive_mutex> Lock(DataSection);
  Trace.AddTraceEntry(Kind, Ch);
}

void TDudBaseDispatcher::StartTracing() {
  std::lock_guard<std::recursive_mutex> Lock(DataSection);
  Trace.StartTracing();
}

void TDudBaseDispatcher::StopTracing() {
  std::lock_guard<std::recursive_mutex> Lock(DataSection);
  Trace.StopTracing();
}

// The dump holds DataSection while it writes the whole file, so no entry is added
// meanwhile and the file shows one consistent ring.
int32_t TDudBaseDispatcher::DumpTracing(const std::string& FileName, bool InHex, bool AllHex) {
  std::lock_guard<std::recursive_mutex> Lock(DataSection);
  return Trace.DumpTracing(FileName, InHex, AllHex);
}

int32_t TDudBaseDispatcher::AppendTracing(const std::string& FileName, bool InHex, bool AllHex) {
  std::lock_guard<std::recursive_mutex> Lock(DataSection);
  return Trace.AppendTracing(FileName, InHex, AllHex);
}

// ---------------------------------------------------------------- dispatch log

// Producers on the dispatcher thread add entries without DataSection, so the log
// relies on its queue's lock and atomic flags; only the reports take DataSection.

void TDudBaseDispatcher::InitDispatchLogging(uint32_t MaxBytes) { Log.InitDispatchLogging(MaxBytes); }

void TDudBaseDispatcher::AddDispatchEntry(uint8_t EntryType, uint16_t EntrySubType, uint32_t Data,
                                          const void* Bytes, uint32_t Length) {
  Log.AddDispatchEntry(EntryType, EntrySubType, Data, Bytes, Length);
}

void TDudBaseDispatcher::ClearDispatchLogging() { Log.ClearDispatchLogging(); }

void TDudBaseDispatcher::AbortDispatchLogging() { Log.AbortDispatchLogging(); }

void TDudBaseDispatcher::StartDispatchLogging() { Log.StartDispatchLogging(); }

void TDudBaseDispatcher::StopDispatchLogging() { Log.StopDispatchLogging(); }

// The report holds DataSection for its whole run: producers on the caller's thread
// wait, entries from the dispatcher thread go into this report or the next.
int32_t TDudBaseDispatcher::DumpDispatchLog(const std::string& FileName, bool InHex, bool AllHex) {
  if (Log.Empty()) return ecOK;
  std::lock_guard<std::recursive_mutex> Lock(DataSection);
  return Log.DumpDispatchLog(FileName, InHex, AllHex, DeviceName);
}

int32_t TDudBaseDispatcher::AppendDispatchLog(const std::string& FileName, bool InHex, bool AllHex) {
  if (Log.Empty()) return ecOK;
  std::lock_guard<std::recursive_mutex> Lock(DataSection);
  return Log.AppendDispatchLog(FileName, InHex, AllHex, DeviceName);
}

}  // namespace dud
