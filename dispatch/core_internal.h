// Constants shared by the dispatcher core's source files: the dispatch log's type
// and subtype codes that the core produces, and the ring arithmetic.
#pragma once

#include <cstdint>

#include "dispatch/base_dispatcher.h"

namespace dud::core {

// Dispatch log entry types.
constexpr uint8_t lgDispatch = 1;
constexpr uint8_t lgTrigger = 2;
constexpr uint8_t lgHandlerAlloc = 7;
constexpr uint8_t lgHandlerDispose = 8;
constexpr uint8_t lgTriggerDataChange = 9;

// Dispatch log entry subtypes.
constexpr uint16_t lsReadCom = 1;
constexpr uint16_t lsWriteCom = 2;
constexpr uint16_t lsAvailTrigger = 5;
constexpr uint16_t lsTimerTrigger = 6;
constexpr uint16_t lsDataTrigger = 7;
constexpr uint16_t lsStatus = 8;  // a status message, or a status trigger that fired
constexpr uint16_t lsAvailLevel = 16;
constexpr uint16_t lsWindow = 17;

// Bytes in a ring of Size bytes with the given head, tail and full mark.
constexpr uint32_t RingBytes(uint32_t Head, uint32_t Tail, bool Full, uint32_t Size) {
  if (Head == Tail) return Full ? Size : 0;
  if (Tail < Head) return Head - Tail;
  return Head + Size - Tail;
}

// The ring index Pos + 1, wrapping at the end of the dispatch ring.
constexpr uint32_t NextPos(uint32_t Pos) { return Pos + 1 >= DispatchBufferSize ? 0 : Pos + 1; }

// The dispatcher whose synchronized method handler the calling thread is running,
// or null. Its dispatcher thread waits for that handler to return, so a close
// requested from inside it must not wait for the dispatcher thread (ClosePort).
const TDudBaseDispatcher*& SyncHandlerRunningFor();

}  // namespace dud::core
