// The trace ring of a dispatcher: a bounded record of the bytes it sends, written
// to a text file on request.
//
// The ring holds entries of two bytes, the kind ('T' transmitted, 'R' received,
// anything else a special entry) and the byte. It is allocated once at its full
// size and then overwrites its oldest entries. States: Off (no ring, not
// recording), Recording (ring, TracingOn), Paused (ring, not recording) and
// Idle on (no ring but TracingOn, after InitTracing(0): nothing is recorded).
//
// Threads: no lock of its own. The dispatcher calls every operation while it holds
// its DataSection, so all fields are guarded by that lock.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace dud {

class TDudTrace {
 public:
  TDudTrace();
  ~TDudTrace();
  TDudTrace(const TDudTrace&) = delete;
  TDudTrace& operator=(const TDudTrace&) = delete;

  bool TracingOn = false;  // recording: PutBlock adds entries only while set

  // Sets the ring up with room for NumEntries entries and turns recording on. An
  // existing ring is only emptied (its capacity stays, NumEntries is ignored).
  // Returns ecOK, or ecBadArgument when a new ring of more than TraceMaxEntries is
  // asked for (nothing changes then). Raises std::bad_alloc when the ring cannot
  // be had.
  int32_t InitTracing(uint32_t NumEntries);
  // Empties the ring; recording is left as it is. Always ecOK.
  int32_t ClearTracing();
  // Stops recording and releases the ring.
  void AbortTracing();
  // Stores one entry when the ring exists, whether or not recording is on.
  void AddTraceEntry(char Kind, uint8_t Ch) {
    if (TraceBuffer == nullptr) return;
    uint8_t* Slot = TraceBuffer.get() + 2 * static_cast<size_t>(FTraceIndex);
    Slot[0] = static_cast<uint8_t>(Kind);
    Slot[1] = Ch;
    if (++FTraceIndex == FTraceMax) {
      FTraceIndex = 0;
      FTraceWrapped = true;
    }
  }
  // AddTraceEntry(Kind, b) for each of Count bytes in order.
  void AddTraceEntries(char Kind, const uint8_t* Bytes, uint32_t Count);
  // Turns recording on when the ring exists.
  void StartTracing();
  // Turns recording off; the entries stay.
  void StopTracing();
  // Writes the entries, oldest first, to FileName, replacing its contents, then
  // empties the ring and turns recording on. Nothing recorded: ecOK, no file
  // touched. The file cannot be opened: the trace is aborted and the system's
  // error number is returned negated. A write error does not stop the walk; it is
  // returned (negated) after the file is closed.
  int32_t DumpTracing(const std::string& FileName, bool InHex, bool AllHex);
  // As DumpTracing, but the output goes after the end of an existing file.
  int32_t AppendTracing(const std::string& FileName, bool InHex, bool AllHex);

  bool HasRing() const { return TraceBuffer != nullptr; }
  uint32_t TraceMax() const { return FTraceMax; }
  uint32_t TraceIndex() const { return FTraceIndex; }
  bool TraceWrapped() const { return FTraceWrapped; }

 private:
  int32_t WriteTraceFile(const std::string& FileName, bool Append, bool InHex, bool AllHex);

  std::unique_ptr<uint8_t[]> TraceBuffer;  // TraceMax entries of kind and byte; null when absent
  uint32_t FTraceMax = 0;                  // capacity in entries
  uint32_t FTraceIndex = 0;                // slot of the next entry, < FTraceMax while the ring exists
  bool FTraceWrapped = false;              // all slots hold entries; the oldest is at FTraceIndex
};

}  // namespace dud
