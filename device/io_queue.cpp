#include "device/io_queue.h"

#include <new>

#include "errors/exceptions.h"

namespace dud {

TDataBuffer::TDataBuffer(int32_t Size) : TIOBuffer(Size) {
  // A negative size cannot be had either; nothrow so the failure reaches the
  // reader thread as the stack's own exception.
  if (Size >= 0) Data.reset(new (std::nothrow) uint8_t[static_cast<size_t>(Size)]());
  if (!Data) throw Exception("Insufficient memory to allocate I/O buffer.");
}

TIOQueue::TIOQueue() {
  // Returns the new handle, or null when the system is out of resources.
  ItemAdded = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (ItemAdded == nullptr) throw std::bad_alloc();
}

TIOQueue::~TIOQueue() {
  // Nobody else can reach the queue any more: the buffers go with Items.
  Items.clear();
  CloseHandle(ItemAdded);
}

void TIOQueue::Push(std::unique_ptr<TIOBuffer> Buffer) {
  if (!Buffer) return;
  std::lock_guard<std::recursive_mutex> guard(Lock);
  const int32_t size = Buffer->Size;
  Items.push_back(std::move(Buffer));
  FBytesQueued.store(FBytesQueued.load(std::memory_order_relaxed) + size, std::memory_order_release);
  FCount.store(static_cast<int32_t>(Items.size()), std::memory_order_release);
  SetEvent(ItemAdded);
}

TIOBuffer* TIOQueue::Peek() {
  std::lock_guard<std::recursive_mutex> guard(Lock);
  if (Items.empty()) return nullptr;
  TIOBuffer* head = Items.front().get();
  if (head->Locked.load(std::memory_order_acquire)) return nullptr;
  head->Locked.store(true, std::memory_order_release);
  return head;
}

std::unique_ptr<TIOBuffer> TIOQueue::Pop() {
  std::lock_guard<std::recursive_mutex> guard(Lock);
  if (Items.empty()) return nullptr;
  std::unique_ptr<TIOBuffer> head = std::move(Items.front());
  Items.pop_front();
  FBytesQueued.store(FBytesQueued.load(std::memory_order_relaxed) - head->Size, std::memory_order_release);
  FCount.store(static_cast<int32_t>(Items.size()), std::memory_order_release);
  return head;
}

void TIOQueue::Clear() {
  std::lock_guard<std::recursive_mutex> guard(Lock);
  std::deque<std::unique_ptr<TIOBuffer>> kept;
  int32_t bytes = 0;
  for (auto& item : Items) {
    if (item->Locked.load(std::memory_order_acquire)) {
      bytes += item->Size;
      kept.push_back(std::move(item));
    }
  }
  // The dropped buffers are freed here, with the rest of the old list.
  Items.swap(kept);
  FBytesQueued.store(bytes, std::memory_order_release);
  FCount.store(static_cast<int32_t>(Items.size()), std::memory_order_release);
}

TWaitResult TIOQueue::WaitForBuffer(DWORD Timeout) {
  if (Count() > 0) return wrSignaled;
  // Returns WAIT_OBJECT_0, WAIT_TIMEOUT, WAIT_ABANDONED or WAIT_FAILED.
  switch (WaitForSingleObject(ItemAdded, Timeout)) {
    case WAIT_OBJECT_0: return wrSignaled;
    case WAIT_TIMEOUT: return wrTimeout;
    case WAIT_ABANDONED: return wrAbandoned;
    default: return wrError;
  }
}

}  // namespace dud
