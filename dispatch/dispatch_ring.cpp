// The dispatch ring: received bytes move from InQueue into it on the dispatcher
// thread, and leave it by reading, flushing, or the end of an avail or data dispatch.
#include <algorithm>
#include <cstring>

#include "dispatch/base_dispatcher.h"
#include "dispatch/core_internal.h"
#include "errors/error_codes.h"

namespace dud {

using core::RingBytes;

uint32_t TDudBaseDispatcher::RingCount() const { return RingBytes(DBufHead, DBufTail, DBufFull, DispatchBufferSize); }

uint32_t TDudBaseDispatcher::InBuffUsed() {
  std::lock_guard<std::recursive_mutex> Guard(DispSection);
  const uint32_t Count = RingCount();
  // During an avail or data dispatch the bytes a handler read are still in the ring.
  if (DataDispatch) return Count - std::min(Count, DispReadCount);
  return Count;
}

bool TDudBaseDispatcher::RingStalled() {
  {
    std::lock_guard<std::recursive_mutex> Guard(DispSection);
    if (!DBufFull) return false;
  }
  return InQueueUsed() > 0;
}

int32_t TDudBaseDispatcher::FlushInBuffer() {
  const int32_t Result = FlushCom(1);
  SetEvent(RoomEvent);
  {
    std::lock_guard<std::recursive_mutex> Guard(DispSection);
    if (DataDispatch) {
      // The end of the running dispatch removes everything.
      DispReadMax = RingCount();
    } else {
      DBufTail = DBufHead;
      DispReadCount = 0;
    }
    DBufFull = false;
  }
  // Discarded bytes must not complete a pattern: matches start afresh and the
  // scan resumes at the new tail.
  ResetDataMatches();
  RescanFromTail.store(true);
  return Result;
}

bool TDudBaseDispatcher::FillDispatchBuffer() {
  static constexpr char FullText[] = "Dispatch buffer full.";
  // Pieces read this pass, logged after DispSection is left: only this thread
  // writes into the ring, so the bytes stay as they are.
  struct TPiece {
    uint32_t Start;
    int32_t Got;
  } Pieces[2] = {{0, -1}, {0, -1}};
  uint32_t Available = 0;
  {
    std::lock_guard<std::recursive_mutex> Guard(DispSection);
    if (DBuffer == nullptr) return false;
    if (DBufFull) {
      if (Log.LoggingOn.load()) AddDispatchEntry(core::lgDispatch, core::lsStatus, 0, FullText, sizeof(FullText) - 1);
      return true;
    }
    Available = InQueueUsed();
    if (Available != 0) {
      // Free space and the first contiguous piece from the head.
      uint32_t Free;
      uint32_t First;
      if (DBufHead == DBufTail) {
        Free = DispatchBufferSize;
        First = DispatchBufferSize - DBufHead;
      } else if (DBufTail < DBufHead) {
        Free = DispatchBufferSize - DBufHead + DBufTail;
        First = DispatchBufferSize - DBufHead;
      } else {
        Free = First = DBufTail - DBufHead;
      }
      const uint32_t Want = std::min(Free, Available);
      uint32_t Second = First < Want ? Want - First : 0;

      if (First > 0) {
        // Asks for the whole contiguous piece: several queued items may fill it.
        int32_t Got = ReadCom(DBuffer.get() + DBufHead, First);
        if (Got < 0) {
          ClearComEvents(0xFFFFFFFF);
          Got = 0;
        }
        Pieces[0] = {DBufHead, Got};
        DBufHead += static_cast<uint32_t>(Got);
        if (static_cast<uint32_t>(Got) < First) Second = 0;
        if (DBufHead >= DispatchBufferSize) DBufHead = 0;
        if (Got > 0) DBufFull = DBufHead == DBufTail;
      }
      if (Second > 0) {
        int32_t Got = ReadCom(DBuffer.get() + DBufHead, Second);
        if (Got < 0) {
          ClearComEvents(0xFFFFFFFF);
          Got = 0;
        }
        Pieces[1] = {DBufHead, Got};
        DBufHead += static_cast<uint32_t>(Got);
        if (DBufHead >= DispatchBufferSize) DBufHead = 0;
        DBufFull = DBufHead == DBufTail;
      }
      // A whole ring's worth that brings the head back onto the position of the
      // last avail report is new all the same: move that mark off the ring, or
      // the full ring would never be reported and input would stop for good.
      if ((Pieces[0].Got > 0 || Pieces[1].Got > 0) && DBufHead == LastAvailPos) LastAvailPos = DispatchBufferSize;
      // Likewise the data triggers' scan, which otherwise sees no bytes between
      // ScanPos and a head that came back onto it.
      if ((Pieces[0].Got > 0 || Pieces[1].Got > 0) && DBufHead == ScanPos) ScanLap = true;
    }
  }
  {
    // ComStatus is filled by GetComError under OutputSection; its input count too.
    std::lock_guard<std::recursive_mutex> Guard(OutputSection);
    ComStatus.cbInQue = Available;
  }
  if (Available == 0) return false;
  if (Log.LoggingOn.load()) {
    for (const TPiece& P : Pieces) {
      if (P.Got < 0) continue;
      if (P.Got == 0)
        AddDispatchEntry(core::lgDispatch, core::lsReadCom, 0, nullptr, 0);
      else
        AddDispatchEntry(core::lgDispatch, core::lsReadCom, static_cast<uint32_t>(P.Got), DBuffer.get() + P.Start,
                         static_cast<uint32_t>(P.Got));
    }
  }
  return true;
}

int32_t TDudBaseDispatcher::ReadRing(void* Buf, uint32_t Len, bool Consume) {
  std::lock_guard<std::recursive_mutex> Guard(DispSection);
  if (DBuffer == nullptr) return ecCommNotOpen;
  if (Len == 0) return ecOK;
  const uint32_t Count = RingCount();
  // Inside an avail or data dispatch every handler reads from the tail; what it
  // has read so far is counted in DispReadCount.
  const uint32_t Skip = DataDispatch ? std::min(Count, DispReadCount) : 0;
  if (Count - Skip < Len) return ecBufferIsEmpty;
  const uint32_t Start = (DBufTail + Skip) % DispatchBufferSize;
  const uint32_t First = std::min(Len, DispatchBufferSize - Start);
  auto* Out = static_cast<uint8_t*>(Buf);
  std::memcpy(Out, DBuffer.get() + Start, First);
  if (First < Len) std::memcpy(Out + First, DBuffer.get(), Len - First);
  if (Consume) {
    if (DataDispatch) {
      DispReadCount += Len;
    } else {
      DBufTail = (DBufTail + Len) % DispatchBufferSize;
      DBufFull = false;
      SetEvent(RoomEvent);  // a dispatcher thread held up by the full ring goes on
    }
  }
  return ecOK;
}

int32_t TDudBaseDispatcher::GetChar(uint8_t& C) { return ReadRing(&C, 1, true); }
int32_t TDudBaseDispatcher::GetBlock(void* Buf, uint32_t Len) { return ReadRing(Buf, Len, true); }
int32_t TDudBaseDispatcher::PeekChar(uint8_t& C) { return ReadRing(&C, 1, false); }
int32_t TDudBaseDispatcher::PeekBlock(void* Buf, uint32_t Len) { return ReadRing(Buf, Len, false); }

}  // namespace dud
