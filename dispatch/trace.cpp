// The trace ring of a dispatcher and its text file.
#include "dispatch/trace.h"

#include <cstring>

#include "dispatch/log_format.h"
#include "errors/error_codes.h"

namespace dud {

TDudTrace::TDudTrace() = default;
TDudTrace::~TDudTrace() = default;

int32_t TDudTrace::InitTracing(uint32_t NumEntries) {
  if (TraceBuffer == nullptr) {
    if (NumEntries > TraceMaxEntries) return ecBadArgument;
    // Allocated once, zero-filled, at its full size: recording never allocates.
    std::unique_ptr<uint8_t[]> Ring;
    if (NumEntries > 0) Ring = std::make_unique<uint8_t[]>(2 * static_cast<size_t>(NumEntries));
    TraceBuffer = std::move(Ring);
    FTraceMax = NumEntries;
    FTraceIndex = 0;
    FTraceWrapped = false;
  } else {
    ClearTracing();
  }
  TracingOn = true;
  return ecOK;
}

int32_t TDudTrace::ClearTracing() {
  FTraceIndex = 0;
  FTraceWrapped = false;
  return ecOK;
}

void TDudTrace::AbortTracing() {
  TracingOn = false;
  TraceBuffer.reset();
}

void TDudTrace::AddTraceEntries(char Kind, const uint8_t* Bytes, uint32_t Count) {
  if (TraceBuffer == nullptr || FTraceMax == 0) return;
  // In runs up to the end of the ring, so the loop that fills a run has no wrap
  // test and the compiler can widen it.
  while (Count > 0) {
    const uint32_t Run = Count < FTraceMax - FTraceIndex ? Count : FTraceMax - FTraceIndex;
    uint8_t* Slot = TraceBuffer.get() + 2 * static_cast<size_t>(FTraceIndex);
    const auto K = static_cast<uint8_t>(Kind);
    for (uint32_t i = 0; i < Run; ++i) {
      // Kind then byte, stored as one 16-bit word in memory order.
      const uint8_t Entry[2] = {K, Bytes[i]};
      std::memcpy(Slot + 2 * i, Entry, 2);
    }
    Bytes += Run;
    Count -= Run;
    FTraceIndex += Run;
    if (FTraceIndex == FTraceMax) {
      FTraceIndex = 0;
      FTraceWrapped = true;
    }
  }
}

void TDudTrace::StartTracing() {
  if (TraceBuffer != nullptr) TracingOn = true;
}

void TDudTrace::StopTracing() { TracingOn = false; }

int32_t TDudTrace::DumpTracing(const std::string& FileName, bool InHex, bool AllHex) {
  return WriteTraceFile(FileName, false, InHex, AllHex);
}

int32_t TDudTrace::AppendTracing(const std::string& FileName, bool InHex, bool AllHex) {
  return WriteTraceFile(FileName, true, InHex, AllHex);
}

int32_t TDudTrace::WriteTraceFile(const std::string& FileName, bool Append, bool InHex, bool AllHex) {
  if (TraceBuffer == nullptr) return ecOK;
  uint32_t Slot;
  if (FTraceWrapped) {
    Slot = FTraceIndex;
  } else if (FTraceIndex > 0) {
    Slot = 0;
  } else {
    return ecOK;  // nothing recorded: no file is touched
  }

  TTextFileWriter Out;
  if (const int32_t Opened = Out.Open(FileName, Append); Opened != ecOK) {
    AbortTracing();
    return Opened;
  }

  TFormLine<TTextFileWriter> Line(Out, 0, 0, LineEnd);
  char LastKind = 0;
  bool First = true;
  const uint8_t* Ring = TraceBuffer.get();
  do {
    const char Kind = static_cast<char>(Ring[2 * static_cast<size_t>(Slot)]);
    const uint8_t Ch = Ring[2 * static_cast<size_t>(Slot) + 1];
    if (Kind != LastKind) {
      if (!First) Out.Write("\r\n\r\n");  // ends the line and leaves one empty line
      Line.Column = 0;
      if (Kind == 'T') {
        Out.Write("Transmit: ");
      } else if (Kind == 'R') {
        Out.Write("Receive: ");
      } else {
        Out.Write("Special-");
        Out.Write(std::string_view(&Kind, 1));
        Out.Write(": ");
      }
      Out.Write(LineEnd);
      LastKind = Kind;
    }
    First = false;
    Line.PutByte(Ch, InHex, AllHex);
    if (++Slot == FTraceMax) Slot = 0;
  } while (Slot != FTraceIndex);

  const int32_t Result = Out.Close();
  // Whatever the file took, the ring starts over, recording.
  InitTracing(FTraceMax);
  return Result;
}

}  // namespace dud
