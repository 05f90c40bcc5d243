// The thread-safe first-in-first-out queue between the device threads and the
// dispatcher, and the buffers it carries: chunks of received bytes, status
// events and (derived elsewhere) dispatch log entries.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "platform/win32.h"

namespace dud {

// The base of every queued item. Whoever holds a buffer that is not in a queue owns it.
//
// Threads: Size is fixed at construction. Locked is set by TIOQueue::Peek under
// the queue's lock and cleared by the consumer that peeked, from its own thread,
// while Clear may read it on another thread: hence atomic.
class TIOBuffer {
 public:
  explicit TIOBuffer(int32_t Size) : Size(Size) {}
  virtual ~TIOBuffer() = default;
  TIOBuffer(const TIOBuffer&) = delete;
  TIOBuffer& operator=(const TIOBuffer&) = delete;

  // True while a consumer works on the buffer at the head of its queue: the
  // buffer is then hidden from further peeks and kept by Clear.
  std::atomic<bool> Locked{false};
  // What the buffer adds to its queue's byte total.
  const int32_t Size;
};

// A chunk of received bytes. Invariant: 0 <= Consumed <= Filled <= Size.
// Threads: filled by its creator before it is pushed; afterwards only the
// consumer that peeked it (Locked) touches Filled, Consumed and Data.
class TDataBuffer : public TIOBuffer {
 public:
  // Allocates a zero-filled block of Size bytes; raises the general exception
  // "Insufficient memory to allocate I/O buffer." when it cannot be had.
  explicit TDataBuffer(int32_t Size);

  std::unique_ptr<uint8_t[]> Data;
  int32_t Filled = 0;    // valid bytes in Data
  int32_t Consumed = 0;  // bytes already taken out
};

// One status event of the device: the event mask of its event wait.
class TStatusBuffer : public TIOBuffer {
 public:
  TStatusBuffer() : TIOBuffer(0) {}

  uint32_t Status = 0;
};

// Result of TIOQueue::WaitForBuffer.
enum TWaitResult : int32_t {
  wrSignaled = 0,   // something was pushed (or is queued)
  wrTimeout = 1,    // nothing arrived in time
  wrAbandoned = 2,  // the wait was abandoned
  wrError = 3,      // the wait failed
};

// An ordered queue of buffers that owns what it holds.
//
// Threads: any thread may call any operation. Lock guards Items and
// FBytesQueued; FCount mirrors Items.size() and is atomic so that Count() and
// the first test of WaitForBuffer need no lock. ItemAdded is signalled inside
// Lock on every Push.
//
// Consumer protocol: Peek marks the head Locked and hands it out while it stays
// in the queue; the consumer either Pops it (the head is still that buffer,
// since only Pop removes a Locked buffer) or clears its Locked flag and leaves
// it, after which it must not touch it again.
class TIOQueue {
 public:
  // Raises std::bad_alloc when the system cannot create the queue's event.
  TIOQueue();
  // Frees every buffer still queued, Locked ones included: nobody may be working
  // on a peeked buffer once the queue goes.
  ~TIOQueue();
  TIOQueue(const TIOQueue&) = delete;
  TIOQueue& operator=(const TIOQueue&) = delete;

  // Appends Buffer at the tail and takes ownership; a null Buffer is ignored.
  void Push(std::unique_ptr<TIOBuffer> Buffer);
  // The head marked Locked, still owned by the queue; null when the queue is
  // empty or its head is already Locked (a Locked head hides the whole queue).
  TIOBuffer* Peek();
  // Removes the head whether Locked or not and hands it to the caller; null when empty.
  std::unique_ptr<TIOBuffer> Pop();
  // Frees every buffer that is not Locked; Locked ones stay in place.
  void Clear();
  // Waits up to Timeout ms for the queue to hold something. Returns wrSignaled at
  // once, without the lock, when something is queued. Since ItemAdded wakes a
  // waiter once for several pushes, and may still be set from a buffer that was
  // taken without waiting, a consumer must cope with finding nothing after
  // wrSignaled.
  TWaitResult WaitForBuffer(DWORD Timeout);
  // Wakes a consumer waiting in WaitForBuffer (or on AddedEvent) without queuing
  // anything: it then finds the queue as it is.
  void Wake() { SetEvent(ItemAdded); }
  // The auto-reset event every Push signals, for a consumer that waits for it
  // together with other objects; test Count() before waiting.
  HANDLE AddedEvent() const { return ItemAdded; }

  int32_t Count() const { return FCount.load(std::memory_order_acquire); }
  int32_t BytesQueued() const { return FBytesQueued.load(std::memory_order_acquire); }

 private:
  std::recursive_mutex Lock;
  HANDLE ItemAdded = nullptr;  // auto-reset, unnamed, not signalled at first
  std::deque<std::unique_ptr<TIOBuffer>> Items;
  std::atomic<int32_t> FCount{0};
  // Written under Lock; atomic so that the dispatch log can read its total anywhere.
  std::atomic<int32_t> FBytesQueued{0};
};

}  // namespace dud
