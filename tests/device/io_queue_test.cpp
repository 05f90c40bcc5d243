// The I/O queue, its buffers, and the two consumers' protocol over it.
#include "device/io_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <limits>
#include <thread>
#include <vector>

#include "errors/exceptions.h"

namespace dud {
namespace {

constexpr DWORD kHangGuardMs = 5000;

// A buffer that counts how many of its kind are alive, to see the queue free them.
class TCountedBuffer : public TIOBuffer {
 public:
  explicit TCountedBuffer(int32_t Size, std::atomic<int>& Alive) : TIOBuffer(Size), alive_(Alive) { ++alive_; }
  ~TCountedBuffer() override { --alive_; }

 private:
  std::atomic<int>& alive_;
};

std::unique_ptr<TDataBuffer> DataWith(int32_t Size, int32_t Filled, uint8_t First) {
  auto buf = std::make_unique<TDataBuffer>(Size);
  for (int32_t i = 0; i < Filled; ++i) buf->Data[i] = static_cast<uint8_t>(First + i);
  buf->Filled = Filled;
  return buf;
}

std::unique_ptr<TStatusBuffer> StatusWith(uint32_t Status) {
  auto buf = std::make_unique<TStatusBuffer>();
  buf->Status = Status;
  return buf;
}

// The read operation's side of the protocol: takes up to Want bytes from data
// buffers at the head, stopping at anything else. Returns the bytes taken.
int32_t ReadData(TIOQueue& Queue, uint8_t* Dest, int32_t Want) {
  int32_t got = 0;
  while (got < Want) {
    TIOBuffer* head = Queue.Peek();
    if (head == nullptr) break;
    auto* data = dynamic_cast<TDataBuffer*>(head);
    if (data == nullptr) {
      head->Locked = false;
      break;
    }
    const int32_t n = std::min(Want - got, data->Filled - data->Consumed);
    std::memcpy(Dest + got, data->Data.get() + data->Consumed, static_cast<size_t>(n));
    data->Consumed += n;
    got += n;
    if (data->Consumed == data->Filled) {
      std::unique_ptr<TIOBuffer> popped = Queue.Pop();
      EXPECT_EQ(popped.get(), head) << "the peeked buffer must still be the head";
    } else {
      data->Locked = false;
    }
  }
  return got;
}

// The status step's side: takes one status buffer from the head, if that is one.
bool TakeStatus(TIOQueue& Queue, uint32_t& Status) {
  TIOBuffer* head = Queue.Peek();
  if (head == nullptr) return false;
  auto* status = dynamic_cast<TStatusBuffer*>(head);
  if (status == nullptr) {
    head->Locked = false;
    return false;
  }
  Status = status->Status;
  std::unique_ptr<TIOBuffer> popped = Queue.Pop();
  EXPECT_EQ(popped.get(), head);
  return true;
}

// ---------------------------------------------------------------- buffers

TEST(IOBuffers, FreshBuffersTable) {
  for (int32_t size : {0, 1, 256, 4096}) {
    SCOPED_TRACE(size);
    TDataBuffer buf(size);
    EXPECT_EQ(buf.Size, size);
    EXPECT_EQ(buf.Filled, 0);
    EXPECT_EQ(buf.Consumed, 0);
    EXPECT_FALSE(buf.Locked);
    ASSERT_NE(buf.Data, nullptr);
    EXPECT_TRUE(std::all_of(buf.Data.get(), buf.Data.get() + size, [](uint8_t b) { return b == 0; }));
  }
  TStatusBuffer status;
  EXPECT_EQ(status.Size, 0);
  EXPECT_EQ(status.Status, 0u);
  EXPECT_FALSE(status.Locked);
}

TEST(IOBuffers, BlockThatCannotBeHadRaisesTheGeneralException) {
  for (int32_t size : {-1, -256, std::numeric_limits<int32_t>::min()}) {
    try {
      TDataBuffer buf(size);
      ADD_FAILURE() << "no exception for size " << size;
    } catch (const Exception& e) {
      EXPECT_STREQ(e.what(), "Insufficient memory to allocate I/O buffer.");
    }
  }
}

// ---------------------------------------------------------------- queue basics

TEST(IOQueue, EmptyQueueGivesNothingAndNeverWaits) {
  TIOQueue q;
  EXPECT_EQ(q.Count(), 0);
  EXPECT_EQ(q.BytesQueued(), 0);
  EXPECT_EQ(q.Peek(), nullptr);
  EXPECT_EQ(q.Pop(), nullptr);
  q.Clear();
  q.Push(nullptr);  // nothing to queue
  EXPECT_EQ(q.Count(), 0);
  EXPECT_EQ(q.WaitForBuffer(0), wrTimeout) << "a null push must not wake anyone";
}

TEST(IOQueue, CountAndBytesQueuedFollowPushAndPop) {
  TIOQueue q;
  struct Step {
    bool push;
    int32_t size;  // of the pushed buffer, or of the one Pop must return
    int32_t count;
    int32_t bytes;
  };
  const Step steps[] = {
      {true, 256, 1, 256}, {true, 0, 2, 256},  {true, 100, 3, 356},  {false, 256, 2, 100},
      {true, 256, 3, 356}, {false, 0, 2, 356}, {false, 100, 1, 256}, {false, 256, 0, 0},
  };
  int n = 0;
  for (const Step& s : steps) {
    SCOPED_TRACE(testing::Message() << "step " << n++);
    if (s.push) {
      if (s.size == 0)
        q.Push(std::make_unique<TStatusBuffer>());
      else
        q.Push(std::make_unique<TDataBuffer>(s.size));
    } else {
      auto popped = q.Pop();
      ASSERT_NE(popped, nullptr);
      EXPECT_EQ(popped->Size, s.size);
    }
    EXPECT_EQ(q.Count(), s.count);
    EXPECT_EQ(q.BytesQueued(), s.bytes);
  }
}

TEST(IOQueue, DataBufferCountsItsBlockSizeNotFilled) {
  TIOQueue q;
  q.Push(DataWith(256, 3, 0));
  EXPECT_EQ(q.BytesQueued(), 256);
}

TEST(IOQueue, PopReturnsBuffersInArrivalOrderAndHandsOverOwnership) {
  TIOQueue q;
  std::vector<TIOBuffer*> pushed;
  for (int i = 0; i < 5; ++i) {
    auto buf = std::make_unique<TDataBuffer>(10 + i);
    pushed.push_back(buf.get());
    q.Push(std::move(buf));
  }
  for (TIOBuffer* expected : pushed) {
    std::unique_ptr<TIOBuffer> got = q.Pop();
    EXPECT_EQ(got.get(), expected);
  }
  EXPECT_EQ(q.Pop(), nullptr);
}

TEST(IOQueue, ClearOfThreeUnlockedBuffersEmptiesTheQueue) {
  std::atomic<int> alive{0};
  TIOQueue q;
  for (int i = 0; i < 3; ++i) q.Push(std::make_unique<TCountedBuffer>(256, alive));
  EXPECT_EQ(q.BytesQueued(), 768);
  q.Clear();
  EXPECT_EQ(q.Count(), 0);
  EXPECT_EQ(q.BytesQueued(), 0);
  EXPECT_EQ(alive.load(), 0) << "Clear frees what it removes";
}

// ---------------------------------------------------------------- Locked

TEST(IOQueue, LockedHeadHidesTheWholeQueueUntilReleased) {
  TIOQueue q;
  auto first = std::make_unique<TDataBuffer>(256);
  auto second = std::make_unique<TStatusBuffer>();
  TIOBuffer* first_raw = first.get();
  TIOBuffer* second_raw = second.get();
  q.Push(std::move(first));
  q.Push(std::move(second));

  TIOBuffer* head = q.Peek();
  ASSERT_EQ(head, first_raw);
  EXPECT_TRUE(head->Locked);
  EXPECT_EQ(q.Count(), 2) << "Peek leaves the buffer in the queue";
  EXPECT_EQ(q.Peek(), nullptr) << "a second consumer sees nothing, although more follows";

  head->Locked = false;
  EXPECT_EQ(q.Peek(), first_raw) << "released: the same head again";
  q.Pop();
  EXPECT_EQ(q.Peek(), second_raw) << "popped: the next one";
}

TEST(IOQueue, PopIgnoresLocked) {
  TIOQueue q;
  q.Push(std::make_unique<TDataBuffer>(256));
  TIOBuffer* head = q.Peek();
  ASSERT_NE(head, nullptr);
  std::unique_ptr<TIOBuffer> popped = q.Pop();
  EXPECT_EQ(popped.get(), head);
  EXPECT_TRUE(popped->Locked) << "Pop hands the buffer over as it is";
  EXPECT_EQ(q.Count(), 0);
  EXPECT_EQ(q.BytesQueued(), 0);
}

TEST(IOQueue, ClearKeepsExactlyTheLockedHead) {
  std::atomic<int> alive{0};
  TIOQueue q;
  q.Push(std::make_unique<TCountedBuffer>(256, alive));
  q.Push(std::make_unique<TCountedBuffer>(100, alive));
  q.Push(std::make_unique<TCountedBuffer>(7, alive));
  TIOBuffer* head = q.Peek();
  ASSERT_NE(head, nullptr);

  q.Clear();
  EXPECT_EQ(q.Count(), 1);
  EXPECT_EQ(q.BytesQueued(), 256);
  EXPECT_EQ(alive.load(), 1);
  EXPECT_TRUE(head->Locked) << "the consumer's buffer is still intact";

  // Buffers pushed afterwards line up behind it.
  q.Push(std::make_unique<TCountedBuffer>(30, alive));
  EXPECT_EQ(q.BytesQueued(), 286);
  EXPECT_EQ(q.Pop().get(), head);
  EXPECT_EQ(q.BytesQueued(), 30);
}

TEST(IOQueue, ClearKeepsLockedBuffersWhereverTheyStand) {
  TIOQueue q;
  std::vector<TIOBuffer*> raw;
  for (int32_t size : {1, 2, 4, 8, 16}) {
    auto buf = std::make_unique<TDataBuffer>(size);
    raw.push_back(buf.get());
    q.Push(std::move(buf));
  }
  raw[1]->Locked = true;
  raw[3]->Locked = true;
  q.Clear();
  EXPECT_EQ(q.Count(), 2);
  EXPECT_EQ(q.BytesQueued(), 2 + 8);
  EXPECT_EQ(q.Pop().get(), raw[1]);
  EXPECT_EQ(q.Pop().get(), raw[3]);
}

TEST(IOQueue, DestroyingTheQueueFreesEveryBufferLockedOrNot) {
  std::atomic<int> alive{0};
  {
    TIOQueue q;
    for (int i = 0; i < 4; ++i) q.Push(std::make_unique<TCountedBuffer>(256, alive));
    ASSERT_NE(q.Peek(), nullptr);
    EXPECT_EQ(alive.load(), 4);
  }
  EXPECT_EQ(alive.load(), 0);
}

// ---------------------------------------------------------------- consumer protocol

TEST(IOQueue, DataBufferReadInTwoHalves) {
  TIOQueue q;
  q.Push(DataWith(256, 200, 1));
  uint8_t out[200] = {};

  EXPECT_EQ(ReadData(q, out, 100), 100);
  ASSERT_EQ(q.Count(), 1);
  auto* data = dynamic_cast<TDataBuffer*>(q.Peek());
  ASSERT_NE(data, nullptr) << "still at the head and released again";
  EXPECT_EQ(data->Consumed, 100);
  EXPECT_EQ(data->Consumed * 2, data->Filled);
  data->Locked = false;

  EXPECT_EQ(ReadData(q, out + 100, 100), 100);
  EXPECT_EQ(q.Count(), 0);
  EXPECT_EQ(q.BytesQueued(), 0);
  for (int i = 0; i < 200; ++i) ASSERT_EQ(out[i], static_cast<uint8_t>(1 + i)) << i;
}

TEST(IOQueue, ReadRunsAcrossDataBuffersAndStopsAtStatus) {
  TIOQueue q;
  q.Push(DataWith(256, 3, 10));
  q.Push(DataWith(256, 2, 20));
  q.Push(StatusWith(EV_CTS));
  q.Push(DataWith(256, 4, 30));
  uint8_t out[16] = {};

  EXPECT_EQ(ReadData(q, out, 16), 5);
  const uint8_t expected[] = {10, 11, 12, 20, 21};
  EXPECT_EQ(std::memcmp(out, expected, sizeof(expected)), 0);
  ASSERT_EQ(q.Count(), 2);
  EXPECT_EQ(ReadData(q, out, 16), 0) << "the status change holds back the data behind it";

  uint32_t status = 0;
  ASSERT_TRUE(TakeStatus(q, status));
  EXPECT_EQ(status, EV_CTS);
  EXPECT_EQ(ReadData(q, out, 16), 4);
  EXPECT_EQ(out[0], 30);
  EXPECT_EQ(q.Count(), 0);
}

TEST(IOQueue, UnreadDataHoldsBackLaterStatus) {
  TIOQueue q;
  q.Push(DataWith(256, 4, 0));
  q.Push(StatusWith(EV_RLSD));
  uint32_t status = 0;
  EXPECT_FALSE(TakeStatus(q, status));
  EXPECT_EQ(q.Count(), 2);
  TIOBuffer* head = q.Peek();
  ASSERT_NE(head, nullptr) << "the status step released the data buffer";
  head->Locked = false;

  uint8_t out[4];
  EXPECT_EQ(ReadData(q, out, 2), 2);
  EXPECT_FALSE(TakeStatus(q, status)) << "half-read data still holds it back";
  EXPECT_EQ(ReadData(q, out, 2), 2);
  ASSERT_TRUE(TakeStatus(q, status));
  EXPECT_EQ(status, EV_RLSD);
}

// ---------------------------------------------------------------- WaitForBuffer

TEST(IOQueueWait, NonEmptyQueueAnswersAtOnce) {
  TIOQueue q;
  q.Push(std::make_unique<TStatusBuffer>());
  EXPECT_EQ(q.WaitForBuffer(50), wrSignaled);
  // Answered from the count, so asking again (and with no limit) cannot block.
  EXPECT_EQ(q.WaitForBuffer(50), wrSignaled);
  EXPECT_EQ(q.WaitForBuffer(INFINITE), wrSignaled);
}

TEST(IOQueueWait, EmptyQueueTimesOutNoEarlierThanAsked) {
  TIOQueue q;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(q.WaitForBuffer(50), wrTimeout);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
}

TEST(IOQueueWait, PushFromAnotherThreadWakesTheWaiter) {
  TIOQueue q;
  std::thread producer([&] {
    Sleep(20);
    q.Push(std::make_unique<TDataBuffer>(256));
  });
  EXPECT_EQ(q.WaitForBuffer(kHangGuardMs), wrSignaled);
  producer.join();
  EXPECT_EQ(q.Count(), 1);
}

TEST(IOQueueWait, SeveralPushesWakeOnceAndTakenBuffersLeaveAStaleWake) {
  TIOQueue q;
  for (int i = 0; i < 3; ++i) q.Push(std::make_unique<TStatusBuffer>());
  while (q.Pop() != nullptr) {
  }
  // Three pushes set the auto-reset event once; it is still set, as nobody waited.
  EXPECT_EQ(q.WaitForBuffer(0), wrSignaled);
  EXPECT_EQ(q.Count(), 0) << "a consumer finds nothing after this wake";
  EXPECT_EQ(q.WaitForBuffer(0), wrTimeout);
}

// ---------------------------------------------------------------- threads

// Several producers push data buffers while one consumer drains them with the
// read protocol in odd-sized pieces: bytes, their sum and the buffers must all
// come out exact.
TEST(IOQueueThreads, ProducersAndOneConsumerKeepEveryByte) {
  constexpr int kProducers = 4;
  constexpr int kBuffersEach = 2000;
  TIOQueue q;
  std::atomic<int64_t> sent_bytes{0}, sent_sum{0};
  std::atomic<int> producers_done{0};

  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p)
    producers.emplace_back([&, p] {
      for (int i = 0; i < kBuffersEach; ++i) {
        const int32_t filled = 1 + (p * 37 + i * 13) % 256;
        auto buf = DataWith(256, filled, static_cast<uint8_t>(p * 50 + i));
        int64_t sum = 0;
        for (int32_t j = 0; j < filled; ++j) sum += buf->Data[j];
        sent_bytes += filled;
        sent_sum += sum;
        q.Push(std::move(buf));
      }
      ++producers_done;
    });

  int64_t got_bytes = 0, got_sum = 0;
  uint8_t piece[97];
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (;;) {
    const bool all_sent = producers_done.load() == kProducers;
    if (all_sent && q.Count() == 0) break;
    if (std::chrono::steady_clock::now() > deadline) break;
    if (q.WaitForBuffer(100) == wrError) break;
    int32_t n = ReadData(q, piece, sizeof(piece));
    got_bytes += n;
    for (int32_t i = 0; i < n; ++i) got_sum += piece[i];
  }
  for (auto& t : producers) t.join();

  EXPECT_EQ(got_bytes, sent_bytes.load());
  EXPECT_EQ(got_sum, sent_sum.load());
  EXPECT_EQ(q.Count(), 0);
  EXPECT_EQ(q.BytesQueued(), 0);
}

// One data producer and one status producer against a consumer that runs both
// steps: the data stream arrives in order and every status word exactly once.
TEST(IOQueueThreads, DataStreamStaysInOrderBetweenStatusChanges) {
  constexpr int kDataBuffers = 3000;
  constexpr int kStatuses = 3000;
  TIOQueue q;
  std::atomic<int> done{0};

  std::thread data_producer([&] {
    uint32_t next = 0;
    for (int i = 0; i < kDataBuffers; ++i) {
      const int32_t filled = 1 + i % 256;
      auto buf = std::make_unique<TDataBuffer>(256);
      for (int32_t j = 0; j < filled; ++j) buf->Data[j] = static_cast<uint8_t>(next++);
      buf->Filled = filled;
      q.Push(std::move(buf));
    }
    ++done;
  });
  std::thread status_producer([&] {
    for (int i = 1; i <= kStatuses; ++i) q.Push(StatusWith(static_cast<uint32_t>(i)));
    ++done;
  });

  uint32_t expected_next = 0;
  bool in_order = true;
  int64_t status_count = 0, status_sum = 0;
  uint32_t last_status = 0;
  bool status_in_order = true;
  uint8_t piece[61];
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (;;) {
    if (done.load() == 2 && q.Count() == 0) break;
    if (std::chrono::steady_clock::now() > deadline) break;
    if (q.WaitForBuffer(100) == wrError) break;
    uint32_t status = 0;
    while (TakeStatus(q, status)) {
      ++status_count;
      status_sum += status;
      if (status != last_status + 1) status_in_order = false;
      last_status = status;
    }
    int32_t n = ReadData(q, piece, sizeof(piece));
    for (int32_t i = 0; i < n; ++i)
      if (piece[i] != static_cast<uint8_t>(expected_next++)) in_order = false;
  }
  data_producer.join();
  status_producer.join();

  int64_t total = 0;
  for (int i = 0; i < kDataBuffers; ++i) total += 1 + i % 256;
  EXPECT_EQ(expected_next, static_cast<uint32_t>(total));
  EXPECT_TRUE(in_order);
  EXPECT_EQ(status_count, kStatuses);
  EXPECT_EQ(status_sum, int64_t{kStatuses} * (kStatuses + 1) / 2);
  EXPECT_TRUE(status_in_order);
}

// Clear from a third thread while the consumer works on a peeked buffer: the
// consumer's buffer is never freed under it (the sanitizer builds watch this),
// and every buffer is freed exactly once.
TEST(IOQueueThreads, ClearNeverTakesTheConsumersBuffer) {
  constexpr int kBuffers = 5000;
  std::atomic<int> alive{0};
  std::atomic<bool> produced{false};
  {
    TIOQueue q;
    std::thread producer([&] {
      for (int i = 0; i < kBuffers; ++i) q.Push(std::make_unique<TCountedBuffer>(256, alive));
      produced = true;
    });
    std::thread clearer([&] {
      while (!produced.load()) {
        q.Clear();
        Sleep(1);
      }
    });
    int taken = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!(produced.load() && q.Count() == 0) && std::chrono::steady_clock::now() < deadline) {
      if (q.WaitForBuffer(100) == wrError) break;
      TIOBuffer* head = q.Peek();
      if (head == nullptr) continue;
      // Work on it: Size is read again after Clear has had every chance to run.
      std::this_thread::yield();
      EXPECT_EQ(head->Size, 256);
      if (++taken % 2 == 0) {
        EXPECT_EQ(q.Pop().get(), head);
      } else {
        head->Locked = false;
      }
    }
    producer.join();
    clearer.join();
    EXPECT_EQ(q.BytesQueued(), 256 * q.Count());
  }
  EXPECT_EQ(alive.load(), 0);
}

}  // namespace
}  // namespace dud
